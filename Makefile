# make run    - build and serve this folder on 127.0.0.1:2121 (ARGS="..." passes more options)
# make test   - build and run every test
# make faults - build and run the fault suite: hostile clients against swp-host, one table of figures
# make bench  - build and run the benchmarks
BUILD ?= build
CMAKE_FLAGS ?=
ARGS ?=
FAULTS_ARGS ?=

# Debian packages the build, the tests and the benchmarks need.
PACKAGES = cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
           libre2-dev libutf8proc-dev python3 curl wget lftp util-linux
# vsftpd conflicts with pure-ftpd as a package; the transfer benchmark unpacks it into the build folder.
BENCH_PACKAGES = pure-ftpd plocate gnuplot-nox

.PHONY: all deps bench-deps configure build run test faults bench asan tsan clean

all: build

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

bench-deps: deps
	@missing=""; for p in $(BENCH_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD)

run: build
	@echo "Serving $(CURDIR) at ftp://127.0.0.1:2121/ (any user name, no password); Ctrl+C stops."
	@echo "Try: curl ftp://127.0.0.1:2121/   or   lftp -p 2121 127.0.0.1"
	$(BUILD)/swp-host --index $(CURDIR) --port 2121 --bind 127.0.0.1 $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

# FAULTS_ARGS passes options and case names to the suite, e.g. FAULTS_ARGS="--large no readers regex".
faults: build
	python3 tests/faults/run_faults.py --build $(BUILD) $(FAULTS_ARGS)

bench: bench-deps build
	python3 bench/run.py --build $(BUILD)

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DSWP_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DSWP_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug"

clean:
	rm -rf build build-asan build-tsan
