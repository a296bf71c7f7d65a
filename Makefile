# make build  - configure and build into build/ (binaries in build/bin/)
# make test   - install what is missing, build, run every test three times, one
#               leg after another (also under make -j): normally (build/), under
#               ASan+UBSan (build-asan/), each fuzz target for 15 s (build-fuzz/,
#               clang), and as a 32-bit big-endian PowerPC build under qemu
#               (build-ppc/, make test-ppc); warnings are errors in every build
# make fuzz   - run each fuzz target for FUZZ_SECONDS (default 120), one after another
# make demo   - build, make a fresh demo instrument and serve its page on
#               127.0.0.1 until Ctrl-C (variables BOARD, FLASH, LOADER_GEN, PORT, PEERS)
# make bench  - install the yardsticks, build, run every benchmark (not a test)
# make mutants - the unit tests' mutation score over a fixed list of faults (not a test)

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan
PPC_BUILD ?= build-ppc
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 120
FUZZ_SMOKE_SECONDS := 15
CMAKE_FLAGS ?=

# The demo instrument: board 1 (NOR image regions) or 2 (NAND drive), the flash
# chip's code, the CINT loader generation in flash (3, 4, or 0 for none), the port,
# and options for `instrument peers` (how the simulated peers answer).
BOARD ?= 1
FLASH ?= 0x93
LOADER_GEN ?= 4
PORT ?= 8080
PEERS ?=

.PHONY: build test test-normal test-asan test-ppc test-fuzz fuzz fuzz-build deps test-deps browser-deps ppc-deps fuzz-deps demo bench mutants clean

# Packages that a fresh machine may lack (program:package, where a path stands
# for a file the package installs): DEPS for the build and the demo, TEST_DEPS
# in addition for the browser tests. nlohmann-json and libcrypto are for the
# host tools only.
DEPS := lighttpd:lighttpd curl:curl /usr/include/nlohmann/json.hpp:nlohmann-json3-dev \
	/usr/include/openssl/evp.h:libssl-dev
TEST_DEPS := chromium:chromium chromedriver:chromium-driver node:nodejs npm:npm
# The PowerPC leg: the cross compiler, the user-mode emulator, and GoogleTest's
# sources to build for the target (a path stands for a file the package installs).
PPC_DEPS := powerpc-linux-gnu-g++:g++-powerpc-linux-gnu qemu-ppc:qemu-user \
	/usr/src/googletest/googletest/CMakeLists.txt:googletest

# $(call apt_get,packages): one shell command that installs Debian packages;
# it waits for another install that holds dpkg's lock instead of failing.
APT_GET := apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends
define apt_get
SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO $(APT_GET) $(1) || \
	  { $$SUDO apt-get -o DPkg::Lock::Timeout=600 update && $$SUDO $(APT_GET) $(1); }
endef

# $(call install_missing,program:package ...)
define install_missing
	@missing=""; for d in $(1); do prog=$${d%%:*}; pkg=$${d##*:}; \
	  command -v $$prog >/dev/null 2>&1 || [ -x /usr/sbin/$$prog ] || [ -e $$prog ] || \
	  missing="$$missing $$pkg"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(call apt_get,$$missing); \
	fi
endef

# $(call cmake_build,DIR,OPTIONS,TARGETS): the one configure-and-build of every
# build tree, warnings as errors; all targets when TARGETS is empty. The same
# options for the same tree each time, so that no target reconfigures another's.
NORMAL_OPTIONS := -DCMAKE_BUILD_TYPE=RelWithDebInfo
define cmake_build
cmake -S . -B $(1) -DQUIB_WERROR=ON $(2) $(CMAKE_FLAGS)
cmake --build $(1) -j $(JOBS) $(if $(3),--target $(3))
endef

deps:
	$(call install_missing,$(DEPS))

# The browser tests drive Debian's chromium with playwright-core from npm,
# pinned by tests/browser/package-lock.json; no browser is ever downloaded.
BROWSER_DIR := tests/browser
test-deps: browser-deps fuzz-deps
browser-deps: deps
	$(call install_missing,$(TEST_DEPS))
	@if ! cmp -s $(BROWSER_DIR)/package-lock.json $(BROWSER_DIR)/node_modules/.quib-lock; then \
	  cd $(BROWSER_DIR) && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund && \
	  cp package-lock.json node_modules/.quib-lock; \
	fi

# The fuzz targets need clang and libFuzzer's runtime, which Debian ships
# apart from clang (libclang-rt-N-dev; older releases in libclang-common-N-dev).
fuzz-deps: deps
	$(call install_missing,clang:clang)
	@if ! ls $$(clang -print-resource-dir)/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 && \
	    ! ls $$(clang -print-resource-dir)/lib/*/libclang_rt.fuzzer.a >/dev/null 2>&1; then \
	  missing=libclang-rt-$$(clang -dumpversion | cut -d. -f1)-dev; echo "installing: $$missing"; \
	  $(call apt_get,$$missing); \
	fi

build: deps
	$(call cmake_build,$(BUILD),$(NORMAL_OPTIONS))

# The legs one after another, each in its own tree and each after the installs
# it depends on, whatever -j says: run side by side, their builds and timed
# tests would share the machine's cores. -j applies within each leg.
test:
	$(MAKE) --no-print-directory test-normal
	$(MAKE) --no-print-directory test-asan
	$(MAKE) --no-print-directory test-fuzz
	$(MAKE) --no-print-directory test-ppc

# The browser test needs its npm packages, or it reports itself skipped.
test-normal: browser-deps
	$(call cmake_build,$(BUILD),$(NORMAL_OPTIONS))
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: browser-deps
	$(call cmake_build,$(ASAN_BUILD),-DCMAKE_BUILD_TYPE=Debug -DQUIB_SANITIZE=ON)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# The multipart bench's yardsticks: Debian's python3-multipart, and busboy from
# npm into the build tree (never into the source tree).
BUSBOY := busboy@1.6.0
bench: build
	$(call install_missing,node:nodejs npm:npm)
	@/usr/bin/python3 -c 'import multipart.multipart' 2>/dev/null || { $(call apt_get,python3-multipart); }
	@[ -d $(BUILD)/bench-node/node_modules/busboy ] || \
	  npm install --prefix $(BUILD)/bench-node --no-audit --no-fund --no-save $(BUSBOY)
	$(BUILD)/bin/bench_flash
	$(BUILD)/bin/bench_multipart

# Applies each fault of tools/mutants/mutants.py to the sources in turn, in its
# own build tree; the sources are restored after each, and on Ctrl-C.
MUTANTS_BUILD ?= build-mutants
mutants: deps
	python3 tools/mutants/mutants.py --build $(CURDIR)/$(MUTANTS_BUILD) --jobs $(JOBS)

ppc-deps: deps
	$(call install_missing,$(PPC_DEPS))

# The normal build for the instrument's byte order and word size; the
# sanitizers stay with the native leg.
test-ppc: ppc-deps
	$(call cmake_build,$(PPC_BUILD),-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/ppc-linux-gnu.cmake $(NORMAL_OPTIONS))
	cd $(PPC_BUILD) && ctest --output-on-failure -j $(JOBS)

# The fuzz targets (tests/fuzz/) in their own tree, built with clang; the gcc
# builds above do not need it.
fuzz-build: fuzz-deps
	$(call cmake_build,$(FUZZ_BUILD),$(NORMAL_OPTIONS) -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DQUIB_FUZZ=ON -DQUIB_TESTS=OFF,fuzz_targets)

test-fuzz: fuzz-build
	sh tests/fuzz/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS)

fuzz: fuzz-build
	sh tests/fuzz/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Refuses early when a demo of this build tree already runs; builds only what it serves.
DEMO_ENV = BUILD=$(BUILD) BOARD=$(BOARD) FLASH=$(FLASH) LOADER_GEN=$(LOADER_GEN) PORT=$(PORT) PEERS="$(PEERS)"
demo: deps
	@$(DEMO_ENV) web/demo.sh check
	$(call cmake_build,$(BUILD),$(NORMAL_OPTIONS),upgrade_cgi state_cgi form_echo instrument)
	@$(DEMO_ENV) web/demo.sh run

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(PPC_BUILD) $(FUZZ_BUILD) $(MUTANTS_BUILD)
