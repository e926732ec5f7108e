# Everything a person types. `make demo` and `make test` install what is missing first.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo bench fuzz install clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

# The whole suite, then again built with AddressSanitizer and UndefinedBehaviorSanitizer.
test: build
	ctest --test-dir $(BUILD) --output-on-failure
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRSI_SANITIZE=ON -DRSI_BENCHMARKS=OFF
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure

# Fuzzes the reader for FUZZ_SECONDS, starting from the small corpus in tests/fuzz_corpus.
fuzz: deps
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DRSI_FUZZ=ON -DBUILD_TESTING=OFF -DRSI_BENCHMARKS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target reader_fuzz carmen_fuzz mcap_fuzz
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/reader_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=8192 $(FUZZ_BUILD)/corpus tests/fuzz_corpus

demo: build
	tools/demo.sh $(BUILD) examples/warehouse.scans

# Replay speed against straightforward versions of the loop, and peak memory.
bench: build
	bench/replay_bench.sh $(BUILD)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
