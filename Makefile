# Front door for people and CI. `make run` and `make test` work on a fresh Debian 12 machine.
PRESET ?= default
BUILD_DIR := build
JOBS ?= $(shell nproc)

.PHONY: deps configure build run test test-asan test-tsan bench format clean

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

# The window where a display exists, the headless monitor otherwise.
run: build
	@if [ -x $(BUILD_DIR)/bin/tarvik ] && [ -n "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ]; then \
		exec $(BUILD_DIR)/bin/tarvik; \
	else \
		exec $(BUILD_DIR)/bin/tarvikd; \
	fi

test: build
	@ctest --preset $(PRESET) -j $(JOBS)

test-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)
	@ctest --preset asan -j $(JOBS)

test-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS)
	@ctest --preset tsan -j $(JOBS)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf build build-asan build-tsan
