# Front door of the build: wraps CMake. `make test` is what CI runs.
BUILD_DIR   ?= build
ASAN_DIR    ?= build-asan
TSAN_DIR    ?= build-tsan
JOBS        ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure --no-tests=error -j $(JOBS)

.PHONY: docs package all build bootstrap bootstrap-bench configure test test-normal test-asan test-tsan clean format format-check \
  bench bench-client

all: build

bootstrap:
	@scripts/bootstrap

# The benchmarks' peers; configuring again picks up packages installed after the first configure.
bootstrap-bench: $(BUILD_DIR)/CMakeCache.txt
	@scripts/bootstrap bench
	@cmake -S . -B $(BUILD_DIR) > /dev/null

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

$(ASAN_DIR)/CMakeCache.txt:
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DSTAVO_SANITIZE=ON \
	  -DSTAVO_BUILD_BENCH=OFF $(CMAKE_FLAGS)

$(TSAN_DIR)/CMakeCache.txt:
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DSTAVO_TSAN=ON \
	  -DSTAVO_BUILD_BENCH=OFF $(CMAKE_FLAGS)

configure: $(BUILD_DIR)/CMakeCache.txt

build: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test-normal: bootstrap $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)
	@scripts/tmp-leftovers snapshot $(BUILD_DIR)/tmp-before
	cd $(BUILD_DIR) && ctest $(CTEST_FLAGS)
	@scripts/tmp-leftovers check $(BUILD_DIR)/tmp-before

test-asan: bootstrap $(ASAN_DIR)/CMakeCache.txt
	cmake --build $(ASAN_DIR) -j $(JOBS)
	@scripts/tmp-leftovers snapshot $(ASAN_DIR)/tmp-before
	cd $(ASAN_DIR) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_FLAGS)
	@scripts/tmp-leftovers check $(ASAN_DIR)/tmp-before

# The ThreadSanitizer build has only the threaded test groups (stream pipe, subscribe handler
# threads, clients shared between threads, the consumer service, the C++ interface with the
# lease keeper); see tests/CMakeLists.txt.
test-tsan: bootstrap $(TSAN_DIR)/CMakeCache.txt
	cmake --build $(TSAN_DIR) -j $(JOBS)
	@scripts/tmp-leftovers snapshot $(TSAN_DIR)/tmp-before
	cd $(TSAN_DIR) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp ctest $(CTEST_FLAGS)
	@scripts/tmp-leftovers check $(TSAN_DIR)/tmp-before

# The API reference of the public C and C++ headers, into $(BUILD_DIR)/docs/html.
docs: bootstrap $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) --target docs

# Debian packages of the plain build, into packages/ (libstavoc0, libstavoc-dev, stavoctl,
# stavo-devserver).
package: build
	cd $(BUILD_DIR) && cpack -G DEB -B $(CURDIR)/packages

# Every test in the normal build and in the AddressSanitizer + UBSan build, and the threaded
# groups in the ThreadSanitizer build.
test: bootstrap
	$(MAKE) test-normal
	$(MAKE) test-asan
	$(MAKE) test-tsan

# Builds build/ and runs the benchmarks against the peer JSON libraries; BENCH_ARGS passes
# flags on (--corpus=DIR, --benchmark_filter=..., --benchmark_min_time=...).
BENCH_ARGS ?=
bench: bootstrap-bench
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target brindle_bench || { echo "make bench:" \
	  "brindle_bench did not build (if configure said 'benchmarks disabled', run" \
	  "scripts/bootstrap bench and reconfigure)"; exit 1; }
	$(BUILD_DIR)/bench/brindle_bench $(BENCH_ARGS)

# Local mutation of a generated 1 GiB state document: peak RSS and throughput beside jq.
# BENCH_MUTATE_ARGS passes flags on (--mb=N, --jq-mb=N, --dir=DIR).
BENCH_MUTATE_ARGS ?=
.PHONY: bench-mutate
bench-mutate: bootstrap-bench
	cmake --build $(BUILD_DIR) -j $(JOBS) --target stavoc_mutate_bench
	$(BUILD_DIR)/bench/mutate/stavoc_mutate_bench $(BENCH_MUTATE_ARGS)
bench: bench-mutate

# The client against a bare-libcurl peer on its own dev server; BENCH_CLIENT_ARGS passes flags
# on (--benchmark_filter=..., --benchmark_min_time=...).
BENCH_CLIENT_ARGS ?=
.PHONY: bench-client
bench-client: bootstrap-bench
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target stavoc_bench || { echo "make bench-client:" \
	  "stavoc_bench did not build (it needs Google Benchmark and the tests' dev server)"; exit 1; }
	$(BUILD_DIR)/bench/client/stavoc_bench $(BENCH_CLIENT_ARGS)
bench: bench-client

# The order pipeline against a dev server of its own (TLS, HTTP/2, mutual TLS, connection reuse):
# builds what it needs, starts and always stops the server (scripts/demo). DEMO_ARGS passes flags
# on to the demo program (--orders N, --workers N, --log-level warn, ...).
DEMO_ARGS ?=
.PHONY: demo
demo:
	@BUILD_DIR=$(BUILD_DIR) JOBS=$(JOBS) scripts/demo $(DEMO_ARGS)

format:
	git ls-files '*.c' '*.cpp' '*.h' '*.hpp' | xargs clang-format -i

format-check:
	git ls-files '*.c' '*.cpp' '*.h' '*.hpp' | xargs clang-format --dry-run -Werror

# libFuzzer targets (clang), each run FUZZ_SECONDS on a scratch corpus under $(FUZZ_DIR).
FUZZ_DIR     ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: fuzz
fuzz:
	@scripts/bootstrap fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSTAVO_BUILD_FUZZ=ON -DSTAVO_BUILD_TESTS=OFF -DSTAVO_BUILD_BENCH=OFF \
	  -DSTAVO_BUILD_TOOLS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target fuzz_all
	fuzz/run-fuzzers $(FUZZ_DIR) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR) $(TSAN_DIR)
