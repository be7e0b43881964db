# Entry points for a fresh machine. Each target installs what is missing
# (tools/bootstrap.sh) before it builds.

BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
JOBS ?= 2
DEMO_DIR ?= $(BUILD_DIR)/demo
FUZZ_SECONDS ?= 60

.PHONY: all bootstrap build demo test sanitize fuzz bench perf clean

all: build

bootstrap:
	bash tools/bootstrap.sh

build: bootstrap
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Generates a small synthetic data set and runs the whole evaluation over it.
demo: build
	bash tools/run_demo.sh $(BUILD_DIR) $(DEMO_DIR)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: bootstrap
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUMBLEBENCH_SANITIZE=ON \
	  -DTUMBLEBENCH_BUILD_BENCH=OFF > /dev/null
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD_DIR) --output-on-failure -j $(JOBS)

# Every libFuzzer target for FUZZ_SECONDS each (clang, ASan + UBSan).
fuzz: bootstrap
	bash tools/run_fuzzers.sh $(FUZZ_SECONDS)

bench: build
	$(BUILD_DIR)/bench/tumblebench_bench

# The pipeline benchmark: step stages, inference against the plain loop,
# end-to-end throughput against the parse floor, peak memory.
perf: build
	bash tools/bench_pipeline.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) build-fuzz
