# Everything a person types. `make demo` and `make test` install what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo bench fuzz install clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure

demo: build
	tools/demo.sh $(BUILD) examples/warehouse.scans

# Replay speed against straightforward versions of the loop, and peak memory.
bench: build
	bench/replay_bench.sh $(BUILD)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
