# Front door: `make demo` and `make test` are all a new user needs on Debian 12.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= 2
CMAKE_ARGS ?=
DEMO_DIR   ?= out/demo

.PHONY: all deps configure build test demo test-asan test-tsan bench clean fuzz fuzz-smoke

all: build

deps:
	@bash scripts/setup-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The library, its headers, le_core.pc and the CMake package under PREFIX
# (README: "Use it from your program").
PREFIX ?= $(HOME)/.local
.PHONY: install
install: build
	cmake --install $(BUILD) --prefix "$(PREFIX)"

# The whole suite under AddressSanitizer + UndefinedBehaviorSanitizer, and under
# ThreadSanitizer, each in a build tree of its own.
test-asan: export LSAN_OPTIONS = suppressions=$(CURDIR)/tests/sanitizers/lsan.supp
test-asan:
	$(MAKE) test BUILD=build-asan BUILD_TYPE=Debug CMAKE_ARGS="-DLE_SANITIZE=address,undefined -DLE_BUILD_BENCH=OFF"

test-tsan: export TSAN_OPTIONS = suppressions=$(CURDIR)/tests/sanitizers/tsan.supp
test-tsan:
	$(MAKE) test BUILD=build-tsan BUILD_TYPE=Debug CMAKE_ARGS="-DLE_SANITIZE=thread -DLE_BUILD_BENCH=OFF"

# The demo: the demo identity, a motion engine for it, a sentence spoken by
# espeak-ng, and the talking movie out/demo.mp4 (teeth borrowed from the
# identity's donor bank) with a contact sheet beside it.
DEMO_ENGINE ?= out/demo_engine
DEMO_TEXT   ?= Hello! I am a talking head, rendered in real time on the C P U, from nothing but this sentence.
demo: build
	$(BUILD)/tools/le-forge demo $(DEMO_DIR) --portrait third_party/demo/astronaut.png
	$(BUILD)/tools/le-forge motion $(DEMO_ENGINE) --demo
	espeak-ng -w out/demo_speech.wav "$(DEMO_TEXT)"
	$(BUILD)/tools/lecore info $(DEMO_DIR) --engine $(DEMO_ENGINE)
	$(BUILD)/tools/lecore speak $(DEMO_DIR) --engine $(DEMO_ENGINE) --audio out/demo_speech.wav \
	    --out out/demo.mp4 --sheet out/demo_sheet.png --teeth

# Fuzzing: the libFuzzer harnesses of fuzz/ (clang, AddressSanitizer + UBSan) in
# a build tree of their own, with their seed corpora written by the forge's
# encoders; fuzz-smoke runs each for a fixed number of executions (or at most
# FUZZ_SECS seconds: the director harness runs a hundred a second) and fails on
# a finding. A longer run of one harness: fuzz/run.sh build-fuzz run <name> <seconds>.
FUZZ_BUILD      ?= build-fuzz
FUZZ_RUNS       ?= 20000
FUZZ_SECS       ?= 10
FUZZ_CMAKE_ARGS ?=
fuzz: deps
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ $(FUZZ_CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	rm -rf $(FUZZ_BUILD)/seeds
	$(FUZZ_BUILD)/le-fuzz-seeds $(FUZZ_BUILD)/seeds

fuzz-smoke: fuzz
	bash fuzz/run.sh $(FUZZ_BUILD) smoke $(FUZZ_RUNS) $(FUZZ_SECS)

bench:
	@bash scripts/setup-deps.sh --bench
	$(MAKE) build BUILD=build-release BUILD_TYPE=Release
	for b in build-release/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

# The live soak: an hour of session audio through one live pipeline, every
# frame checked (tests/pipeline/soak), in a Release tree. SOAK_ARGS=--pipelined
# runs it with the paste thread.
SOAK_BUILD   ?= build-release
SOAK_SECONDS ?= 3600
SOAK_ARGS    ?=
.PHONY: soak
soak: deps
	cmake -S . -B $(SOAK_BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build $(SOAK_BUILD) -j$(JOBS) --target le-soak
	$(SOAK_BUILD)/tests/le-soak --seconds $(SOAK_SECONDS) --trace $(SOAK_ARGS)

clean:
	rm -rf build build-asan build-tsan build-release build-fuzz out
