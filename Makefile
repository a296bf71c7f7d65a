# make build  - configure and build into build/ (binaries in build/bin/)
# make test   - install what is missing, build, run every test twice:
#               once normally (build/) and once under ASan+UBSan (build-asan/)
# make demo   - see README.md

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD ?= build
ASAN_BUILD ?= build-asan
CMAKE_FLAGS ?=

.PHONY: build test test-normal test-asan deps clean

# Packages the tests need that a fresh machine may lack (program:package).
DEPS := lighttpd:lighttpd curl:curl

deps:
	@missing=""; for d in $(DEPS); do prog=$${d%%:*}; pkg=$${d##*:}; \
	  command -v $$prog >/dev/null 2>&1 || [ -x /usr/sbin/$$prog ] || missing="$$missing $$pkg"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get install -y --no-install-recommends $$missing || \
	  { $$SUDO apt-get update && $$SUDO apt-get install -y --no-install-recommends $$missing; }; \
	fi

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: deps test-normal test-asan

test-normal:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUIB_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
