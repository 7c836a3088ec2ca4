# Talmo — build, test and run. `make` alone lists the targets; those that
# build install the Debian packages they miss first.
SHELL := /bin/bash
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD_TYPE ?= RelWithDebInfo

# Debian packages the program needs; the tests and benchmarks need TEST_DEPS too.
DEPS := g++ cmake make pkg-config git ca-certificates tzdata \
        libcpp-httplib-dev libcurl4-openssl-dev nlohmann-json3-dev libre2-dev \
        libicu-dev libsqlitecpp-dev libsqlite3-dev libspdlog-dev libfmt-dev \
        libcli11-dev libtomlplusplus-dev libhowardhinnant-date-dev \
        libphonenumber-dev libboost-dev libsystemd-dev libpoppler-cpp-dev
TEST_DEPS := libgtest-dev libgmock-dev libbenchmark-dev qpdf

# The builds below are cmake's own makes: one line per step, without the
# directory each sub-make enters.
MAKEFLAGS += --no-print-directory

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: help deps build test sanitize tsan run bench fuzz clean install uninstall node bridge-deps bridge-test

# A plain `make` only says what there is; nothing is installed or built.
help:
	@echo "make run              set up what is missing, build talmo, onboard the first time, run Talmo and the bridge"
	@echo "make build            build the program only (build/talmo), as your own user"
	@echo "make test             build and run the whole test suite, the bridge's included"
	@echo "sudo make install     copy a finished build, the bridge and the systemd units under PREFIX (/usr/local)"
	@echo "sudo make uninstall   remove what make install copied (the data in /var/lib/talmo stays)"
	@echo "make deps             install the Debian packages only"
	@echo "make sanitize         the tests under AddressSanitizer and UndefinedBehaviorSanitizer"
	@echo "make tsan             the threaded tests under ThreadSanitizer"
	@echo "make bench            benchmarks"
	@echo "make fuzz             the fuzz targets, FUZZ_SECONDS each"
	@echo "make clean            remove the build folders"

deps:
	@missing=""; for p in $(DEPS); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

# The program only: test programs are built by `make test`.
build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	cmake --build build -j$(JOBS) --target talmo

test: node build bridge-deps
	@$(MAKE) --no-print-directory deps DEPS="$(TEST_DEPS)"
	cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	cmake --build build -j$(JOBS)
	cd build && ctest --output-on-failure -j$(JOBS) --timeout 300
	@$(MAKE) --no-print-directory bridge-test

sanitize: deps
	@$(MAKE) --no-print-directory deps DEPS="$(TEST_DEPS)"
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTALMO_SANITIZE=ON >/dev/null
	cmake --build build-sanitize -j$(JOBS)
	cd build-sanitize && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j$(JOBS) --timeout 600

# ThreadSanitizer over the test programs most concerned with threads: the
# server's event loops and workers, the routes, the conversation runner with
# its inbox and outbox, the scheduler's thread, and the whole server in process
# and as a child process (a report makes its normal exit code non-zero).
TSAN_TESTS := talmo_web_test ingrest_test talmo_host_test talmo_scheduler_test talmo_integration_test

tsan: deps
	@$(MAKE) --no-print-directory deps DEPS="$(TEST_DEPS)"
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALMO_TSAN=ON >/dev/null
	cmake --build build-tsan -j$(JOBS) --target $(TSAN_TESTS)
	@for t in $(TSAN_TESTS); do echo "== $$t"; \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 build-tsan/$$t --gtest_brief=1 || exit 1; \
	done

# Only the program (no test programs), the bridge's packages, onboarding when
# there is no configuration yet, then Talmo and the bridge in the foreground.
run: node build bridge-deps
	@scripts/run

# The HTTP benchmark's load generators and reference server, installed here only.
BENCH_DEPS := wrk nginx-light curl sqlite3

bench: deps bridge-deps
	@$(MAKE) --no-print-directory deps DEPS="$(BENCH_DEPS)"
	@$(MAKE) --no-print-directory deps DEPS="$(TEST_DEPS)"
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTALMO_BENCH=ON >/dev/null
	cmake --build build-bench -j$(JOBS)
	@for b in build-bench/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2 || exit 1; done
	bench/http_bench.sh build-bench
	bench/bridge_idle.sh

# Coverage-guided fuzzing (clang + libFuzzer): each target runs FUZZ_SECONDS on
# a copy of its seed corpus, so what it discovers stays in build-fuzz.
FUZZ_SECONDS ?= 30
FUZZ_TARGETS := $(sort $(basename $(notdir $(wildcard fuzz/*_fuzz.cpp))))
FUZZ_DEPS := clang libclang-rt-14-dev

fuzz: deps
	@$(MAKE) --no-print-directory deps DEPS="$(FUZZ_DEPS)"
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALMO_FUZZ=ON >/dev/null
	cmake --build build-fuzz -j$(JOBS) --target $(FUZZ_TARGETS)
	@for t in $(FUZZ_TARGETS); do \
	  name=$${t%_fuzz}; echo "== $$t ($(FUZZ_SECONDS) s)"; \
	  mkdir -p build-fuzz/corpus/$$name build-fuzz/artifacts/$$name && \
	  cp fuzz/corpus/$$name/* build-fuzz/corpus/$$name/ && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  build-fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/artifacts/$$name/ build-fuzz/corpus/$$name || exit 1; \
	done

# Installs the stripped binary, the bridge (and its packages, with npm), the
# systemd units and an example configuration under PREFIX; DESTDIR for
# staging, NODE=/path/to/node, BRIDGE_PACKAGES=no to leave out `npm ci` (see
# scripts/install). It only copies: `make build` first, as your own user, so
# that `sudo make install` never leaves root's files in build/.
PREFIX ?= /usr/local
install:
	@PREFIX="$(PREFIX)" DESTDIR="$(DESTDIR)" NODE="$(NODE)" scripts/install build/talmo

# Removes exactly the files `make install` listed; the data stays.
uninstall:
	@PREFIX="$(PREFIX)" DESTDIR="$(DESTDIR)" scripts/uninstall

clean:
	rm -rf build build-sanitize build-tsan build-bench build-fuzz

# --- The WhatsApp bridge (Node.js, bridge/) ---------------------------------
# Node.js comes with its own npm (never Debian's separate npm package).
NODE_MAJOR_MIN := 20

node:
	@v=$$(node --version 2>/dev/null); major=$${v#v}; major=$${major%%.*}; \
	if [ -z "$$v" ] || [ "$$major" -lt $(NODE_MAJOR_MIN) ] 2>/dev/null; then \
	  echo "Talmo's WhatsApp bridge needs Node.js $(NODE_MAJOR_MIN) or newer (found: $${v:-none}): install Node.js $(NODE_MAJOR_MIN) or newer with its npm, then run make again." >&2; exit 1; \
	fi

# npm ci again whenever the lock file changed since the last install.
bridge/node_modules/.installed: bridge/package-lock.json bridge/package.json
	cd bridge && npm ci --no-audit --no-fund
	@touch $@

bridge-deps: node bridge/node_modules/.installed

# The bridge's tests, as `npm test` runs them; the end-to-end one runs the
# built talmo binary.
bridge-test: node bridge-deps
	cd bridge && TALMO_BINARY=$(CURDIR)/build/talmo npm test
