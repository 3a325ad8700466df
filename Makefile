# make run     - build swp-host and serve this folder on 127.0.0.1:2121 (ARGS="..." passes more options)
# make test    - build and run every test
# make faults  - build and run the fault suite: hostile clients against swp-host, one table of figures
# make bench   - build and run the benchmarks
# make install - install swp-host, its plug-in, manual page, systemd unit and settings, and swp-search
#                (PREFIX, DESTDIR)
# make deb     - build a Debian package of the same files into $(BUILD)/deb
# make asan    - every test under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)
# make tsan    - every test under ThreadSanitizer (build-tsan/)
# make fuzz    - build the libFuzzer targets (build-fuzz/) and run each for FUZZ_SECONDS
# make windows      - cross-build swp.dll, swp-host.exe and swp-search.exe for Windows (build-windows/)
# make test-windows - cross-build, then run the Windows build's tests under Wine
BUILD ?= build
BUILD_WINDOWS ?= build-windows
CMAKE_FLAGS ?=
ARGS ?=
PREFIX ?= /usr/local
DESTDIR ?=
FAULTS_ARGS ?=

# Debian packages the build, the tests and the benchmarks need.
PACKAGES = cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev \
           libre2-dev libutf8proc-dev python3 curl wget lftp util-linux dpkg-dev
# vsftpd conflicts with pure-ftpd as a package; the transfer benchmark unpacks it into the build folder.
BENCH_PACKAGES = pure-ftpd python3-pyftpdlib plocate gnuplot-nox
# The cross compiler, Wine and Xvfb for the Windows build and its tests; dpkg-dev, unicode-data,
# perl and python3-six to unpack RE2 and utf8proc and regenerate RE2's tables.
WINDOWS_PACKAGES = g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev wine wine64 xvfb \
                   dpkg-dev unicode-data perl python3-six

# What building and checking the Debian package needs beyond the build.
DEB_PACKAGES = dpkg-dev fakeroot lintian
# libFuzzer comes with clang's runtime libraries.
FUZZ_PACKAGES = clang-14 libclang-rt-14-dev

COMMA := ,
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 30
FUZZ_RUNS ?= 10000000
FUZZ_TARGETS = control_receive port_arguments paths list_filter banner text_format settings_reader search_text
# Any sanitizer report ends the program with its stack; leak checking stays on. $(1) adds to the
# options of AddressSanitizer and ThreadSanitizer; undefined-behaviour reports always go to stderr,
# as that runtime ignores a log_path beside AddressSanitizer.
SANITIZER_OPTIONS = ASAN_OPTIONS=detect_leaks=1$(1) UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
                    TSAN_OPTIONS=halt_on_error=1$(1)

.PHONY: all deps bench-deps deb-deps fuzz-deps windows-deps configure build run test faults bench install deb asan \
        tsan fuzz windows test-windows clean

all: build

# Installs the Debian packages of $(1) that are missing, with apt-get options $(2).
define install_missing
	@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(2) $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

bench-deps: deps
	$(call install_missing,$(BENCH_PACKAGES))

fuzz-deps: deps
	$(call install_missing,$(FUZZ_PACKAGES))

deb-deps: deps
	$(call install_missing,$(DEB_PACKAGES))

windows-deps: deps
	$(call install_missing,$(WINDOWS_PACKAGES),--no-install-recommends)

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

# FAULTS_ARGS passes options and case names to the suite, e.g. FAULTS_ARGS="--large no readers regex".
faults: build
	python3 tests/faults/run_faults.py --build $(BUILD) $(FAULTS_ARGS)

bench: bench-deps build
	python3 bench/run.py --build $(BUILD)

install: configure
	cmake --build $(BUILD) --target swp-host swp-search manual-page
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" --strip

deb: deb-deps configure
	cmake --build $(BUILD) --target swp-host swp-search manual-page
	sh packaging/make_deb.sh $(BUILD)

# Builds folder $(1) with sanitizers $(2) and runs every test. Memory, leak and race reports go to
# files in $(1)/reports, so that one from a process whose exit status no test reads (a swp-host
# that an end-to-end test stops) fails the run as well. The folder is configured on every run, so
# that one made with other flags follows.
define sanitized_test
	cmake -S . -B $(1) -G Ninja -DSWP_SANITIZE=$(2) -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build $(1)
	rm -rf $(1)/reports && mkdir -p $(1)/reports
	cd $(1) && $(call SANITIZER_OPTIONS,:log_path=$(CURDIR)/$(1)/reports/report) \
	  ctest --output-on-failure -j2; status=$$?; \
	  if [ -n "$$(ls reports)" ]; then cat reports/*; echo "sanitizer reports in $(1)/reports"; exit 1; fi; \
	  exit $$status
endef

asan: deps
	$(call sanitized_test,build-asan,address$(COMMA)undefined)

tsan: deps
	$(call sanitized_test,build-tsan,thread)

# Each target runs its committed seeds (fuzz/corpus/NAME) and then new inputs for a bounded time
# and count; new inputs go to the build folder. Any crash, leak, timeout or report fails the gate,
# and the input that caused it is left in $(FUZZ_BUILD)/findings/.
fuzz: fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DSWP_FUZZ=ON \
	  -DSWP_SANITIZE=address,undefined $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) --target fuzz_targets
	@mkdir -p $(FUZZ_BUILD)/findings
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  echo "fuzz_$$t: up to $(FUZZ_SECONDS) s"; \
	  $(call SANITIZER_OPTIONS,) $(FUZZ_BUILD)/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -runs=$(FUZZ_RUNS) \
	    -timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/findings/$$t- $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t \
	    > $(FUZZ_BUILD)/fuzz_$$t.log 2>&1 \
	    || { tail -n 60 $(FUZZ_BUILD)/fuzz_$$t.log; echo "fuzz_$$t failed"; exit 1; }; \
	  grep -E "^stat::(number_of_executed_units|average_exec_per_sec)" $(FUZZ_BUILD)/fuzz_$$t.log || true; \
	done

$(BUILD_WINDOWS)/build.ninja:
	windows/third_party.sh $(BUILD_WINDOWS)/third_party
	cmake -S . -B $(BUILD_WINDOWS) -G Ninja -DCMAKE_TOOLCHAIN_FILE=windows/toolchain.cmake $(CMAKE_FLAGS)

windows: windows-deps $(BUILD_WINDOWS)/build.ninja
	cmake --build $(BUILD_WINDOWS)

test-windows: windows
	windows/run_tests.sh $(BUILD_WINDOWS) -j2

clean:
	rm -rf build build-asan build-tsan $(FUZZ_BUILD) $(BUILD_WINDOWS)
