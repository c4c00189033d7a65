# Top-level entry points. `make test` is what CI runs first.
JOBS ?= $(shell nproc)
CTEST_EXCLUDE ?= exhaustive|long|tsan|opt-in|cpu-models

.PHONY: all setup build test test-cpu-models test-asan test-tsan bench fuzz fuzz-smoke check-builds check-extra run clean tables

# Every build configured here treats compiler warnings as errors; a hand
# configuration leaves them as warnings.
WERROR := -DCMAKE_COMPILE_WARNING_AS_ERROR=ON

# A build tree this Makefile creates uses Ninja (scripts/setup installs it);
# an existing tree keeps the generator it was made with.
generator = $(if $(wildcard $(1)/CMakeCache.txt),,-G Ninja)

all: build

setup:
	./scripts/setup

# The benchmark programs are built only by `make bench`, which runs them.
build: setup
	cmake -S . -B build $(call generator,build) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_BENCHMARKS=OFF $(WERROR)
	cmake --build build -j$(JOBS)

test: build
	ctest --test-dir build -LE "$(CTEST_EXCLUDE)" --output-on-failure -j$(JOBS)

# The primitives' CPU-build tests under qemu-user CPU models (label
# cpu-models; skipped without qemu-x86_64).
test-cpu-models: build
	ctest --test-dir build -L cpu-models --output-on-failure -j$(JOBS)

# AddressSanitizer + UndefinedBehaviorSanitizer over the whole suite.
test-asan: setup
	cmake -S . -B build-asan $(call generator,build-asan) -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined -DBUILD_BENCHMARKS=OFF $(WERROR)
	cmake --build build-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan -LE "$(CTEST_EXCLUDE)" --output-on-failure -j$(JOBS)

# ThreadSanitizer over the concurrency tests (label tsan), in the
# executor's stress mode; each test runs up to five times, so that a race
# that shows once in a few runs is caught.
test-tsan: setup
	cmake -S . -B build-tsan $(call generator,build-tsan) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=thread -DBUILD_BENCHMARKS=OFF $(WERROR)
	cmake --build build-tsan -j$(JOBS)
	ZK_EXECUTOR_STRESS=1 TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -L tsan --repeat until-fail:5 --output-on-failure -j$(JOBS)

# Turns the benchmark programs on in build/, builds and runs every one; fails
# when one fails or none was found.
bench: setup
	cmake -S . -B build $(call generator,build) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_BENCHMARKS=ON $(WERROR)
	cmake --build build -j$(JOBS)
	./scripts/run-benchmarks build

# The libFuzzer targets (clang, ASan + UBSan, every library instrumented
# for coverage); `fuzz-smoke` replays their seeds and runs a fixed number
# of inputs each. For a long run: build-fuzz/fuzz/<dir>/<target> CORPUS.
fuzz: setup
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(call generator,build-fuzz) -DBUILD_FUZZERS=ON -DBUILD_BENCHMARKS=OFF -DSANITIZE=address,undefined $(WERROR)
	cmake --build build-fuzz -j$(JOBS) --target fuzzers

fuzz-smoke: fuzz
	ctest --test-dir build-fuzz -L fuzz-smoke --output-on-failure -j$(JOBS)

# Compile-only check (no tests run) that the optimiser's extra analysis and
# the second compiler find nothing: a GCC Release build and a clang Release
# build of the product (driver libraries, stand-in and the host program).
check-builds: setup
	cmake -S . -B build-release $(call generator,build-release) -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=OFF $(WERROR)
	cmake --build build-release -j$(JOBS) --target uachost
	CC=clang CXX=clang++ cmake -S . -B build-clang $(call generator,build-clang) -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=OFF $(WERROR)
	cmake --build build-clang -j$(JOBS) --target uachost

# What CI leaves out for time: both compile-only Release builds and the
# fuzz smoke run.
check-extra: check-builds fuzz-smoke

# The host program's demo against the built-in headset. The registry image
# (the driver's stored settings) and the played and recorded WAV files stay
# in build/uachost-state, so a second run starts with the stored volume.
run: build
	./build/tools/host/uachost --state build/uachost-state demo

# The headphone engine's response tables, from the SOFA measurements of
# libmysofa1 through tools/hrtfgen (committed as common/zvk/hrtf_data.cpp).
tables: setup
	cmake -S . -B build $(call generator,build) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(WERROR)
	cmake --build build -j$(JOBS) --target hrtfgen
	./build/tools/hrtfgen/hrtfgen --sofa /usr/share/libmysofa/default.sofa \
	  --params tools/hrtfgen/params.txt --out common/zvk/hrtf_data.cpp

clean:
	rm -rf build build-asan build-tsan build-fuzz build-release build-clang
