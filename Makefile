# Entry points for a fresh machine. Each target installs the Debian packages
# it needs (tools/bootstrap.sh GROUP) before it builds.

BUILD_DIR ?= build
ASAN_BUILD_DIR ?= build-asan
JOBS ?= 2
DEMO_DIR ?= $(BUILD_DIR)/demo
FUZZ_SECONDS ?= 60
VENV ?= .venv
CONFIGURE = cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all bootstrap build demo test sanitize fuzz bench perf venv clean

all: build

bootstrap:
	bash tools/bootstrap.sh

# Everything: the programs, the tests and the benchmarks.
build:
	bash tools/bootstrap.sh test
	$(CONFIGURE) -DTUMBLEBENCH_BUILD_TESTS=ON -DTUMBLEBENCH_BUILD_BENCH=ON > /dev/null
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Generates a small synthetic data set, runs the whole evaluation over it and
# writes its HTML summary. Builds only the programs the demo runs.
demo:
	bash tools/bootstrap.sh demo
	$(CONFIGURE) -DTUMBLEBENCH_BUILD_TESTS=OFF -DTUMBLEBENCH_BUILD_BENCH=OFF > /dev/null
	cmake --build $(BUILD_DIR) -j $(JOBS) --target tumblebench tumblebench_gen
	bash tools/run_demo.sh $(BUILD_DIR) $(DEMO_DIR)

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

# The whole test suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	bash tools/bootstrap.sh test
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUMBLEBENCH_SANITIZE=ON \
	  -DTUMBLEBENCH_BUILD_TESTS=ON -DTUMBLEBENCH_BUILD_BENCH=OFF > /dev/null
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD_DIR) --output-on-failure -j $(JOBS)

# Every libFuzzer target for FUZZ_SECONDS each (clang, ASan + UBSan).
fuzz:
	bash tools/bootstrap.sh fuzz
	bash tools/run_fuzzers.sh $(FUZZ_SECONDS)

bench: build
	$(BUILD_DIR)/bench/tumblebench_bench

# The pipeline benchmark: step stages, inference against the plain loop,
# end-to-end throughput against the parse floor, peak memory.
perf: build
	bash tools/bench_pipeline.sh $(BUILD_DIR)

# The Python package with every command on PATH: a virtual environment over
# Debian's interpreter and packages (nothing from an index), the package
# installed in editable mode. Then: . $(VENV)/bin/activate
venv:
	bash tools/bootstrap.sh venv
	/usr/bin/python3 -m venv --system-site-packages $(VENV)
	$(VENV)/bin/pip install --quiet --no-build-isolation --no-deps -e .
	@echo "commands installed in $(VENV)/bin; add it to PATH or run: . $(VENV)/bin/activate"

clean:
	rm -rf $(BUILD_DIR) $(ASAN_BUILD_DIR) build-fuzz
