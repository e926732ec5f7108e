# Everything a person types. `make demo` and `make test` install what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo bench install clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
