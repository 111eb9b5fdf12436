# Thin wrapper over CMake. `make test` installs nothing: run scripts/install-deps first.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all build format check-format test test-asan test-tsan stress fuzz model train-model bench-quality bench-add bench demo install check-deps clean

all: build

check-deps:
	@scripts/install-deps --check

# Every option is on, so every test is built and run whatever was built before: the model tools'
# tests include the converted model's fidelity against the original, which needs node and npm
# (scripts/install-deps installs them). A change of the options here reconfigures the build.
OPTIONS = -DLIKENESS_BUILD_TESTS=ON -DLIKENESS_BUILD_MODEL_TOOLS=ON -DLIKENESS_BUILD_BENCHMARKS=ON -DLIKENESS_BUILD_PYTHON=ON
$(BUILD)/CMakeCache.txt: Makefile | check-deps
	cmake -S . -B $(BUILD) $(OPTIONS)

build: check-deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Both test runs end by listing what they skipped and why (also kept in skipped-tests.txt), and
# keep ctest's exit status.
test: build
	cd $(BUILD) && status=0 && { ctest --output-on-failure -j $(JOBS) --output-junit junit.xml || status=$$?; } && \
	  $(CURDIR)/scripts/list-skipped junit.xml | tee skipped-tests.txt && exit $$status

# The install and example-host tests build a plain host against the library, which cannot link an
# instrumented one; they run in the plain build.
test-asan: check-deps
	cmake -S . -B $(ASAN_BUILD) $(OPTIONS) -DLIKENESS_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && status=0 && { ASAN_OPTIONS=detect_leaks=0 ctest --output-on-failure -j $(JOBS) \
	  -E "^(InstallTest|ExampleHost)\." -LE needs-node --output-junit junit.xml || status=$$?; } && \
	  $(CURDIR)/scripts/list-skipped junit.xml | tee skipped-tests.txt && exit $$status

# ThreadSanitizer over the service's tests: its HTTP layer in the tests' own process, and
# `likeness serve` as a child. Only what they need is built. A race ends the process that saw it
# with status 66, which fails its test; tests/tsan.supp names what is not ours to fix.
TSAN_BUILD ?= build-tsan
test-tsan: check-deps
	cmake -S . -B $(TSAN_BUILD) -DLIKENESS_BUILD_TESTS=ON -DLIKENESS_SANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS=-g1
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target likeness_service_tests
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 \
	  suppressions=$(CURDIR)/tests/tsan.supp" ./tests/cli/likeness_service_tests

# The crash-consistency test with many more kills than the 50 of `make test` (KILLS=N to choose).
KILLS ?= 500
stress: build
	cd $(BUILD) && LIKENESS_CRASH_KILLS=$(KILLS) ./tests/likeness_tests --gtest_filter='CrashConsistency.*'

# Runs each fuzz target for FUZZ_SECONDS from its seeds and what it found before; an input that
# breaks a check is kept in $(FUZZ_BUILD)/crashes/ (add it to tests/fuzz/regressions/). The
# targets work in a folder of their own, so every path given to them is absolute.
FUZZERS = feature_loader_fuzz feature_record_fuzz
FUZZ_DIR = $(abspath $(FUZZ_BUILD))
fuzz: check-deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++-14 -DLIKENESS_BUILD_TESTS=OFF -DLIKENESS_BUILD_FUZZERS=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZERS)
	set -e; for target in $(FUZZERS); do \
	  rm -rf $(FUZZ_DIR)/tmp && mkdir -p $(FUZZ_DIR)/tmp $(FUZZ_DIR)/crashes $(FUZZ_DIR)/corpus/$$target; \
	  regressions=$(CURDIR)/tests/fuzz/regressions/$$target; [ -d $$regressions ] || regressions=; \
	  TMPDIR=$(FUZZ_DIR)/tmp $(FUZZ_DIR)/tests/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) \
	    -artifact_prefix=$(FUZZ_DIR)/crashes/$$target- $(FUZZ_DIR)/corpus/$$target \
	    $(CURDIR)/tests/fuzz/seeds/$$target $$regressions; \
	done
	rm -rf $(FUZZ_DIR)/tmp

# The default model is remade only when something it is made from is newer than it: the
# converter (sources and build list), the pinned npm package, the learned parts, the feature's
# contract and the script. It needs node and npm, and no photos. A converted model is written whole,
# v0.dat last, so a failed run leaves it older than its inputs and the next run retries.
MODEL_INPUTS = $(wildcard tools/caffe/*.cpp tools/caffe/*.h tools/model/KerasToCaffe.* tools/model/LearnedParts.* \
                          tools/model/convert_nsfwjs.cpp tools/model/*.mjs) \
  tools/CMakeLists.txt tools/model/CMakeLists.txt tools/model/package.json tools/model/package-lock.json \
  tools/model/learned/default.parts tools/model/learned/default.parts.sha256 module/FeatureContract.h \
  scripts/make-model

model: model/v0.dat

model/v0.dat: $(MODEL_INPUTS)
	$(MAKE) $(BUILD)/CMakeCache.txt
	LIKENESS_BUILD=$(BUILD) scripts/make-model model

# Remakes the learned parts from scratch (hours on 2 cores): fetches the training pictures and the
# benchmark's photos, trains and writes tools/model/learned/default.parts and its sha256.
train-model: $(BUILD)/CMakeCache.txt
	LIKENESS_BUILD=$(BUILD) scripts/train-model

# The scores are remade only when the model, the benchmark, the photo tools or the library changed.
QUALITY_INPUTS = model/v0.dat scripts/fetch-photos bench/CMakeLists.txt \
  $(wildcard bench/quality/*.cpp bench/quality/*.h tools/photos/*.cpp tools/photos/*.h tools/photos/*.txt \
             module/*.cpp module/*.h classifier/*.cpp classifier/*.h)
bench-quality: $(BUILD)/bench/quality.json

$(BUILD)/bench/quality.json: $(QUALITY_INPUTS) | $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target bench_quality
	scripts/fetch-photos $(BUILD)/photos
	$(BUILD)/bench/bench_quality --model model --photos $(BUILD)/photos/set --json $@.partial
	mv $@.partial $@

# The time an add spends syncing; the default model when it has been made, else the test model.
bench-add: build
	cmake --build $(BUILD) -j $(JOBS) --target bench_add
	$(BUILD)/bench/bench_add --model $(if $(wildcard model/v0.dat),model,$(BUILD)/testmodel)

# Speed and memory of search into $(BUILD)/bench/perf.json, then the feature file's figures added
# to it, then one collection against the same split into shards on local Dask workers
# (bench/sharded). By default 100k and 1M stored vectors, 100k records and 1M vectors in 4 shards
# (several minutes, about 6 GB of memory and 10 GB of disk in $(BUILD)/bench); for a run of seconds:
#   make bench BENCH_SCAN_ARGS="--sizes 20000 --e2e-size 2000 --repeats 3" BENCH_RECORDS=10000 \
#     BENCH_SHARDED_ARGS="--vectors 20000 --queries 50"
# The whole search needs a model: model/ when it has been made, or BENCH_MODEL=DIR.
BENCH_MODEL ?= $(if $(wildcard model/v0.dat),model)
BENCH_PHOTOS ?= $(BUILD)/photos/set
BENCH_SCAN_ARGS ?=
BENCH_RECORDS ?= 100000
BENCH_SHARDED_ARGS ?= --vectors 1000000 --shards 4
bench: build
	cmake --build $(BUILD) -j $(JOBS) --target bench_scan bench_feature_file
	$(BUILD)/bench/bench_scan --json $(BUILD)/bench/perf.json $(if $(BENCH_MODEL),--model $(BENCH_MODEL)) \
	  $(if $(wildcard $(BENCH_PHOTOS)),--photos $(BENCH_PHOTOS)) $(BENCH_SCAN_ARGS)
	$(BUILD)/bench/bench_feature_file --records $(BENCH_RECORDS) --json $(BUILD)/bench/perf.json
	cmake --build $(BUILD) -j $(JOBS) --target make_vector_home likeness_python
	PYTHONPATH=$(BUILD)/python /usr/bin/python3 bench/sharded/bench_sharded.py --build $(BUILD) \
	  --json $(BUILD)/bench/perf.json $(BENCH_SHARDED_ARGS)

demo:
	scripts/demo

# The layout of every C++ file is .clang-format's; CI runs check-format.
format:
	scripts/check-format --fix

check-format:
	scripts/check-format

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
