# Front door for people and CI. `make run` and `make test` work on a fresh Debian 12 machine.
PRESET ?= default
BUILD_DIR := build
JOBS ?= $(shell nproc)

.PHONY: deps configure build run test test-asan test-tsan fuzz bench package screenshot format clean

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

# The window where a display exists, the headless monitor otherwise; builds only the programs
# (no tests, no benchmarks). Run from the build folder, so a root run's logs/ lands there.
run: configure
	@targets="tarvikd tarvikctl"; \
	if [ -n "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ] && \
		grep -qs '^TARVIK_BUILD_GUI:BOOL=ON' $(BUILD_DIR)/CMakeCache.txt; then \
		targets="$$targets tarvik"; \
	fi; \
	cmake --build --preset $(PRESET) -j $(JOBS) --target $$targets
	@cd $(BUILD_DIR) && if [ -x bin/tarvik ] && [ -n "$${DISPLAY:-}$${WAYLAND_DISPLAY:-}" ]; then \
		echo "make run: the window starts; close it (or press Ctrl+C here) to stop"; \
		exec bin/tarvik; \
	else \
		echo "make run: tarvikd runs in this terminal; press Ctrl+C to stop it"; \
		exec bin/tarvikd; \
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

# Every fuzz target for FUZZ_SECONDS seconds from its seeds in fuzz/corpus/; fails on a crash.
FUZZ_SECONDS ?= 30
fuzz:
	@./scripts/install-deps.sh fuzz
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)
	@./fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# Benchmarks against the kernel's own cost; prints a table and writes build/bench-results.txt.
bench: build
	@./scripts/bench.sh $(BUILD_DIR)
	@# The poll path beside the bare dump in one run, and tarvikd's resident set per row.
	@cmake --build $${BENCH_BUILD_DIR:-build-bench} -j $(JOBS) --target bench_pollpath bench_socket tarvikd >/dev/null
	@$${BENCH_BUILD_DIR:-build-bench}/bin/bench_pollpath --tarvikd $${BENCH_BUILD_DIR:-build-bench}/bin/tarvikd \
		--out $(BUILD_DIR)/bench-pollpath.txt
	@# tarvikd per acquisition mode: idle at 2,000 and 100,000 rows beside the bare dump (the
	@# peak MiB column is VmHWM, the first full read included), then 1,000 connections of 30 ms
	@# a second for 10 s and how many of their sides it logged.
	@# events needs root (CAP_BPF and CAP_PERFMON); elsewhere its line says what ran instead.
	@$${BENCH_BUILD_DIR:-build-bench}/bin/bench_pollpath --tarvikd $${BENCH_BUILD_DIR:-build-bench}/bin/tarvikd \
		--modes events,destroy,poll --sizes 1000,50000 --settle 10 --tarvikd-seconds 20 \
		--churn-rate 1000 --churn-seconds 10 --out $(BUILD_DIR)/bench-modes.txt
	@# One event line's cost, native and in ECS names.
	@cmake --build $${BENCH_BUILD_DIR:-build-bench} -j $(JOBS) --target bench_event_format >/dev/null
	@$${BENCH_BUILD_DIR:-build-bench}/bin/bench_event_format --benchmark_out=$(BUILD_DIR)/bench-event-format.json
	@# The control socket: follow latency, CPU with 0/1/10 followers, memory with 5 stalled ones.
	@$${BENCH_BUILD_DIR:-build-bench}/bin/bench_socket --tarvikd $${BENCH_BUILD_DIR:-build-bench}/bin/tarvikd --out $(BUILD_DIR)/bench-socket.txt
	@# Scan detection on loopback with forged sources (root): the alert's delay after the probe
	@# that reaches the threshold, false alerts over ordinary traffic, CPU and memory under a
	@# flood of 20,000 forged SYNs a second beside scanlogd, and a real client alerted mid-flood.
	@./scripts/install-deps.sh bench || echo "scanlogd could not be installed: tarvikd runs alone"
	@cmake --build $${BENCH_BUILD_DIR:-build-bench} -j $(JOBS) --target bench_scanflood >/dev/null
	@$${BENCH_BUILD_DIR:-build-bench}/bin/bench_scanflood --tarvikd $${BENCH_BUILD_DIR:-build-bench}/bin/tarvikd \
		--rate 20000 --seconds 10 --out $(BUILD_DIR)/bench-scanflood.txt

# The Debian packages of the programs alone (no tests, no benchmarks), with hardening flags:
# build-package/tarvikd_*.deb (the monitor, no Qt) and build-package/tarvik_*.deb (the window).
# apt-get install ./build-package/tarvikd_*.deb ./build-package/tarvik_*.deb
package: deps
	@cmake --preset package >/dev/null
	@cmake --build --preset package -j $(JOBS)
	@rm -f build-package/*.deb
	@cd build-package && cpack -G DEB

# The packages as Debian 12's tools see them: lintian, the desktop entry, and the monitor's
# install into a scratch root without Qt.
.PHONY: package-check
package-check: package
	@./scripts/install-deps.sh package
	@desktop-file-validate packaging/tarvik.desktop
	@lintian --fail-on error,warning build-package/tarvikd_*.deb build-package/tarvik_*.deb
	@python3 scripts/check-packages.py build-package

# Screenshots of the window and the option dialogs under Xvfb, into docs/.
screenshot: build
	@./scripts/screenshot.sh $(BUILD_DIR)/bin/tarvik
	@./scripts/screenshot-dialogs.sh $(BUILD_DIR)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf build build-asan build-tsan build-package build-fuzz
