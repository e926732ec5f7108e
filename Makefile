# Everything a person types. Each target first installs the Debian packages it needs and that
# are missing (tools/install-deps.sh), then builds.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)

# Configures and builds both programs, and the tests and benchmarks when their libraries are
# installed.
compile = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release && cmake --build $(BUILD) -j $(JOBS)

.PHONY: all build test demo bench fuzz package install clean test-debian

all: build

build:
	@tools/install-deps.sh
	$(compile)

# The whole suite, then again built with AddressSanitizer and UndefinedBehaviorSanitizer.
test:
	@tools/install-deps.sh test
	$(compile)
	ctest --test-dir $(BUILD) --output-on-failure
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRSI_SANITIZE=ON -DRSI_BENCHMARKS=OFF
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	ctest --test-dir $(SANITIZE_BUILD) --output-on-failure

demo:
	@tools/install-deps.sh demo
	$(compile)
	tools/demo.sh $(BUILD) examples/warehouse.scans

# Replay speed against straightforward versions of the loop, peak memory, conversion speed,
# scanlog's pace and report speed, and render's frames a second.
bench:
	@tools/install-deps.sh bench
	$(compile)
	bench/replay_bench.sh $(BUILD)
	bench/player_bench.sh $(BUILD)
	bench/render_bench.sh $(BUILD)
	$(BUILD)/bench/convert_bench --benchmark_min_time=1
	$(BUILD)/bench/map_bench --benchmark_min_time=1

# Fuzzes each reader for FUZZ_SECONDS, starting from its small corpus in tests/.
FUZZ_TARGETS = reader carmen mcap sqlite cdr frames
fuzz:
	@tools/install-deps.sh fuzz
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DRSI_FUZZ=ON -DBUILD_TESTING=OFF -DRSI_BENCHMARKS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS:%=%_fuzz)
	for target in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus_$$target && \
	  $(FUZZ_BUILD)/$${target}_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -artifact_prefix=$(FUZZ_BUILD)/ \
	    $(FUZZ_BUILD)/corpus_$$target tests/fuzz_corpus_$$target || exit 1; \
	done

# The Debian package of both programs: $(BUILD)/rangescaninspector_VERSION_ARCH.deb
package:
	@tools/install-deps.sh package
	$(compile)
	cd $(BUILD) && cpack -G DEB

# A new user's set-up, make test and the package, each on a freshly made minimal Debian 12 and
# Debian 13 (chroots: needs root; each installs all the packages and builds everything anew).
# Both run; it fails if either did.
test-debian:
	status=0; for release in bookworm trixie; do tools/test-on-debian.sh $$release || status=1; done; exit $$status

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD)
