# make build  - configure and build into build/ (binaries in build/bin/)
# make test   - install what is missing, build, run every test twice:
#               once normally (build/) and once under ASan+UBSan (build-asan/),
#               then each fuzz target for 15 s (build-fuzz/, clang)
# make fuzz   - run each fuzz target for FUZZ_SECONDS (default 120), one after another
# make demo   - build, make a fresh demo instrument and serve its page on
#               127.0.0.1 until Ctrl-C (variables BOARD, FLASH, LOADER_GEN, PORT)

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 120
FUZZ_SMOKE_SECONDS := 15
CMAKE_FLAGS ?=

# The demo instrument: board 1 (NOR image regions) or 2 (NAND drive), the flash
# chip's code, the CINT loader generation in flash (3, 4, or 0 for none), the port.
BOARD ?= 1
FLASH ?= 0x93
LOADER_GEN ?= 4
PORT ?= 8080

.PHONY: build test test-normal test-asan test-fuzz fuzz fuzz-build deps test-deps fuzz-deps demo clean

# Packages that a fresh machine may lack (program:package): DEPS for the build
# and the demo, TEST_DEPS in addition for the browser tests.
DEPS := lighttpd:lighttpd curl:curl
TEST_DEPS := chromium:chromium chromedriver:chromium-driver node:nodejs npm:npm

# Shell text that installs the Debian packages named by the shell variable $$missing.
APT_INSTALL = echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get install -y --no-install-recommends $$missing || \
	  { $$SUDO apt-get update && $$SUDO apt-get install -y --no-install-recommends $$missing; }

# $(call install_missing,program:package ...)
define install_missing
	@missing=""; for d in $(1); do prog=$${d%%:*}; pkg=$${d##*:}; \
	  command -v $$prog >/dev/null 2>&1 || [ -x /usr/sbin/$$prog ] || missing="$$missing $$pkg"; done; \
	if [ -n "$$missing" ]; then $(APT_INSTALL); fi
endef

deps:
	$(call install_missing,$(DEPS))

# The browser tests drive Debian's chromium with playwright-core from npm,
# pinned by tests/browser/package-lock.json; no browser is ever downloaded.
BROWSER_DIR := tests/browser
test-deps: deps fuzz-deps
	$(call install_missing,$(TEST_DEPS))
	@if ! cmp -s $(BROWSER_DIR)/package-lock.json $(BROWSER_DIR)/node_modules/.quib-lock; then \
	  cd $(BROWSER_DIR) && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund && \
	  cp package-lock.json node_modules/.quib-lock; \
	fi

# The fuzz targets need clang and libFuzzer's runtime, which Debian ships
# apart from clang (libclang-rt-N-dev; older releases in libclang-common-N-dev).
fuzz-deps:
	$(call install_missing,clang:clang)
	@if ! ls $$(clang -print-resource-dir)/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1 && \
	    ! ls $$(clang -print-resource-dir)/lib/*/libclang_rt.fuzzer.a >/dev/null 2>&1; then \
	  missing=libclang-rt-$$(clang -dumpversion | cut -d. -f1)-dev; $(APT_INSTALL); \
	fi

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: test-deps test-normal test-asan test-fuzz

test-normal:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUIB_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# The fuzz targets (tests/fuzz/) in their own tree, built with clang; the gcc
# builds above do not need it.
fuzz-build:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DQUIB_FUZZ=ON -DQUIB_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets

test-fuzz: fuzz-build
	sh tests/fuzz/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS)

fuzz: fuzz-deps fuzz-build
	sh tests/fuzz/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Refuses early when a demo of this build tree already runs; builds only what it serves.
DEMO_ENV = BUILD=$(BUILD) BOARD=$(BOARD) FLASH=$(FLASH) LOADER_GEN=$(LOADER_GEN) PORT=$(PORT)
demo: deps
	@$(DEMO_ENV) web/demo.sh check
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target upgrade_cgi state_cgi instrument
	@$(DEMO_ENV) web/demo.sh run

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
