# Development checks: sanitizers, valgrind, gctorture, fuzzing and lint. Each check builds under
# build/ (and installs into a library of its own there when it needs a special build), never
# into the system library. `make robust` runs them all.
BUILD     := $(CURDIR)/build
FUZZ_TIME ?= 60
FUZZ_CXX  ?= clang++
FUZZ_FLAGS = -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
             -fno-omit-frame-pointer -Wall -Wextra -Werror -Isrc
FUZZERS    = decode roundtrip

.PHONY: setup-dev sanitize valgrind gctorture fuzz fuzz-build lint format robust clean-dev faults \
        bench-long

setup-dev: setup
	@sh tools/setup-dev.sh

# The test suite, tools/exercise.R and tools/gctorture.R against an ASan/UBSan build; no report.
sanitize: setup-dev
	R="$(R)" RSCRIPT="$(RSCRIPT)" sh tools/sanitize.sh

# The test suite and tools/exercise.R under valgrind's memcheck; no error through client.so.
valgrind: install setup-dev
	R="$(R)" sh tools/valgrind.sh $(LIB) suite

# The codec and descriptor routines with gctorture(TRUE): on small inputs, then with large ones
# under valgrind, where a vector collected while in use is read after it was freed.
gctorture: install setup-dev
	$(RSCRIPT) --vanilla tools/gctorture.R $(LIB)
	R="$(R)" sh tools/valgrind.sh $(LIB) gctorture

# libFuzzer targets over the codec core alone (src/base64.h, no R), FUZZ_TIME seconds each,
# from the checked-in seeds; new inputs go to build/fuzz, never into fuzz/corpus.
fuzz-build: setup-dev $(FUZZERS:%=$(BUILD)/fuzz/%_fuzzer)

$(BUILD)/fuzz/%_fuzzer: fuzz/%_fuzzer.cpp fuzz/harness.h fuzz/reference.h $(wildcard src/*.h)
	@mkdir -p $(@D)
	$(FUZZ_CXX) $(FUZZ_FLAGS) $< -o $@

fuzz: fuzz-build
	@for t in $(FUZZERS); do \
	  mkdir -p $(BUILD)/fuzz/corpus-$$t $(BUILD)/fuzz/artifacts-$$t || exit 1; \
	  echo "fuzz: $$t for $(FUZZ_TIME) s"; \
	  $(BUILD)/fuzz/$${t}_fuzzer -max_total_time=$(FUZZ_TIME) -max_len=8192 -timeout=10 \
	    -rss_limit_mb=2048 -print_final_stats=1 -dict=fuzz/base64.dict \
	    -artifact_prefix=$(BUILD)/fuzz/artifacts-$$t/ \
	    $(BUILD)/fuzz/corpus-$$t fuzz/corpus/$$t >$(BUILD)/fuzz/$$t.log 2>&1 || \
	    { tail -n 60 $(BUILD)/fuzz/$$t.log; echo "fuzz: $$t failed; the input is in $(BUILD)/fuzz/artifacts-$$t"; exit 1; }; \
	  grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' $(BUILD)/fuzz/$$t.log; \
	done

# clang-format and clang-tidy (.clang-format, .clang-tidy) and cppcheck over src/ and fuzz/.
lint: setup-dev
	R="$(R)" sh tools/lint.sh

# Rewrites the C++ sources in place with clang-format.
format:
	clang-format -i src/*.cpp src/*.h fuzz/*.cpp fuzz/*.h

robust: sanitize valgrind gctorture fuzz lint

# The fault harness alone (inst/tinytest/test_faults.R, which `make test` runs too).
faults: install
	$(RSCRIPT) --vanilla tools/run-tests.R $(LIB) test_faults.R

# Removes what the development checks built.
clean-dev:
	rm -rf $(BUILD)

# Base64 with long vectors: 2^31 + 3 bytes encoded and decoded back, times and peak memory
# (GNU time's "Maximum resident set size"). Needs about 12.2 GiB and a minute or two; not in robust.
bench-long: install
	/usr/bin/time -v $(RSCRIPT) --vanilla bench/long.R $(LIB)
