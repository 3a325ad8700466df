# make run     - build swp-host and serve this folder on 127.0.0.1:2121 (ARGS="..." passes more options)
# make test    - build and run every test
# make bench   - build and run the benchmarks
# make install - install swp-host, its plug-in, manual page, systemd unit and settings (PREFIX, DESTDIR)
# make deb     - build a Debian package of the same files into $(BUILD)/deb
BUILD ?= build
CMAKE_FLAGS ?=
ARGS ?=
PREFIX ?= /usr/local
DESTDIR ?=

# Debian packages the build, the tests and the benchmarks need.
PACKAGES = cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
           libre2-dev libutf8proc-dev python3 curl wget lftp
# vsftpd conflicts with pure-ftpd as a package; the transfer benchmark unpacks it into the build folder.
BENCH_PACKAGES = pure-ftpd python3-pyftpdlib plocate gnuplot-nox
# What building and checking the Debian package needs beyond the build.
DEB_PACKAGES = dpkg-dev fakeroot lintian

.PHONY: all deps bench-deps deb-deps configure build run test bench install deb asan tsan clean

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

deb-deps: deps
	@missing=""; for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD)

# Serving needs swp-host and the plug-in only, not the tests and benchmarks. The address is
# announced by swp-host once it listens, as ARGS may change it.
run: configure
	cmake --build $(BUILD) --target swp-host
	@echo "Serving $(CURDIR) (any user name, no password unless ARGS set them); Ctrl+C stops."
	$(BUILD)/swp-host --index $(CURDIR) --port 2121 --bind 127.0.0.1 $(ARGS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

bench: bench-deps build
	python3 bench/run.py --build $(BUILD)

install: configure
	cmake --build $(BUILD) --target swp-host manual-page
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

deb: deb-deps configure
	cmake --build $(BUILD) --target swp-host manual-page
	sh packaging/make_deb.sh $(BUILD)

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DSWP_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_FLAGS="-DSWP_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug"

clean:
	rm -rf build build-asan build-tsan
