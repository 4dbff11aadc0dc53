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
	@# The control socket: follow latency, CPU with 0/1/10 followers, memory with 5 stalled ones.
	@$${BENCH_BUILD_DIR:-build-bench}/bin/bench_socket --tarvikd $${BENCH_BUILD_DIR:-build-bench}/bin/tarvikd --out $(BUILD_DIR)/bench-socket.txt
	@# Scan detection on loopback with forged sources (root): the alert's delay after the probe
	@# that reaches the threshold, false alerts over ordinary traffic, CPU and memory under a
	@# flood of 20,000 forged SYNs a second beside scanlogd, and a real client alerted mid-flood.
	@./scripts/install-deps.sh bench || echo "scanlogd could not be installed: tarvikd runs alone"
	@cmake --build $${BENCH_BUILD_DIR:-build-bench} -j $(JOBS) --target bench_scanflood >/dev/null
	@$${BENCH_BUILD_DIR:-build-bench}/bin/bench_scanflood --tarvikd $${BENCH_BUILD_DIR:-build-bench}/bin/tarvikd \
		--rate 20000 --seconds 10 --out $(BUILD_DIR)/bench-scanflood.txt

# A Debian package of the programs alone (no tests, no benchmarks), with hardening flags:
# apt-get install ./build-package/tarvik_*.deb
package: deps
	@cmake --preset package >/dev/null
	@cmake --build --preset package -j $(JOBS)
	@cd build-package && cpack -G DEB

# Screenshots of the window and the option dialogs under Xvfb, into docs/.
screenshot: build
	@./scripts/screenshot.sh $(BUILD_DIR)/bin/tarvik
	@./scripts/screenshot-dialogs.sh $(BUILD_DIR)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	@rm -rf build build-asan build-tsan build-package build-fuzz
