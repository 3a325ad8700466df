# make run          - build and serve this folder on 127.0.0.1:2121 (ARGS="..." passes more options)
# make test         - build and run every test
# make bench        - build and run the benchmarks
# make windows      - cross-build swp.dll and swp-host.exe for Windows
# make test-windows - cross-build, then run the Windows build's tests under Wine
BUILD ?= build
BUILD_WINDOWS ?= build-windows
CMAKE_FLAGS ?=
ARGS ?=

# Debian packages the build, the tests and the benchmarks need.
PACKAGES = cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
           libre2-dev libutf8proc-dev python3 curl wget lftp
# vsftpd conflicts with pure-ftpd as a package; the transfer benchmark unpacks it into the build folder.
BENCH_PACKAGES = pure-ftpd plocate gnuplot-nox
# The cross compiler, Wine and Xvfb for the Windows build and its tests; dpkg-dev, unicode-data,
# perl and python3-six to unpack RE2 and utf8proc and regenerate RE2's tables.
WINDOWS_PACKAGES = g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev wine wine64 xvfb \
                   dpkg-dev unicode-data perl python3-six

.PHONY: all deps bench-deps windows-deps configure build run test bench asan tsan windows test-windows clean

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

windows-deps: deps
	@missing=""; for p in $(WINDOWS_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
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

bench: bench-deps build
	python3 bench/run.py --build $(BUILD)

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DSWP_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DSWP_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug"

$(BUILD_WINDOWS)/build.ninja:
	windows/third_party.sh $(BUILD_WINDOWS)/third_party
	cmake -S . -B $(BUILD_WINDOWS) -G Ninja -DCMAKE_TOOLCHAIN_FILE=windows/toolchain.cmake $(CMAKE_FLAGS)

windows: windows-deps $(BUILD_WINDOWS)/build.ninja
	cmake --build $(BUILD_WINDOWS)

test-windows: windows
	windows/run_tests.sh $(BUILD_WINDOWS) -j2

clean:
	rm -rf build build-asan build-tsan $(BUILD_WINDOWS)
