# Front door: `make` builds, `make run` starts the tool, `make demo` starts it with a
# simulated instrument, `make check` runs every test, `make package` makes the .deb,
# `make bench` runs the benchmarks (`make bench-smoke`: every row once, quickly),
# `make soak` runs a simulated day through the window and `rimeglass-cli log` (about 10 min),
# `make mutation` measures how many planted faults the tests catch (slow; tests/README.md).
BUILD_DIR ?= build
BUILD_TYPE ?= Debug
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build run demo screenshots check check-asan fuzz bench \
	bench-smoke bench-build soak package check-package mutation clean format

ASAN_DIR ?= build-asan
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
BENCH_DIR ?= build-bench
PACKAGE_DIR ?= build-package
# ON packages a build that trusts the development key (CI's test package); the key
# itself is chosen with PACKAGE_CMAKE_FLAGS, e.g. -DRIMEGLASS_FIRMWARE_PUBLIC_KEY=...
PACKAGE_DEVELOPMENT_KEY ?= OFF
PACKAGE_CMAKE_FLAGS ?=

SOAK_SECONDS ?= 600

MUTATION_SEED ?= 1
MUTATION_COUNT ?= 120
MUTATION_ARGS ?=

all: build

# Each target installs only what it needs (scripts/install-deps says which groups).
deps:
	@scripts/install-deps

$(BUILD_DIR)/CMakeCache.txt:
	@$(MAKE) --no-print-directory deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

configure: deps $(BUILD_DIR)/CMakeCache.txt

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/src/app/rimeglass

# The window with a simulated instrument in the same process, its port selected.
demo: build
	$(BUILD_DIR)/tools/demo/rimeglass-demo

# The pictures of every tab in docs/ (docs/manual.md), made offscreen by the demo.
screenshots: build
	QT_QPA_PLATFORM=offscreen $(BUILD_DIR)/tools/demo/rimeglass-demo --tab-screenshots docs

check: build
	@scripts/install-deps check
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer; any
# report fails the test it came from.
check-asan: deps
	@scripts/install-deps check
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DRIMEGLASS_SANITIZE=address,undefined
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && QT_QPA_PLATFORM=offscreen \
		ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:strict_string_checks=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan-suppressions.txt:print_suppressions=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS)

# Every libFuzzer program for FUZZ_SECONDS each, from the committed corpora; new
# inputs land in $(FUZZ_DIR)/corpus, not in the tree.
fuzz:
	@scripts/install-deps fuzz
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DRIMEGLASS_FUZZ=ON -DRIMEGLASS_BUILD_TESTS=OFF -DRIMEGLASS_SANITIZE=address,undefined
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target rimeglass_fuzzers
	scripts/run-fuzzers $(FUZZ_DIR) $(FUZZ_SECONDS)

# The benchmark programs of bench/, built in Release, run, and their one table printed.
bench: bench-build
	bench/run-bench $(BENCH_DIR)

# Every row of the benchmark once, with short runs, in the same Release build: fails when
# a row no longer produces its figure (no goal is checked). CI runs it.
bench-smoke: bench-build
	bench/run-bench --smoke $(BENCH_DIR)

bench-build:
	@scripts/install-deps bench
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DRIMEGLASS_BUILD_BENCH=ON \
		-DRIMEGLASS_BUILD_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS) --target rimeglass_benchmarks

# A simulated day of readings at the line's full rate through the window (offscreen) and
# `rimeglass-cli log`, with lost ports and a midnight, in SOAK_SECONDS of wall time (120 to
# 1200), built in Release in the benchmarks' build; fails on any reading not written or on
# memory growth beyond its margin (bench/README.md, "Soak").
soak:
	@scripts/install-deps
	cmake -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DRIMEGLASS_BUILD_BENCH=ON \
		-DRIMEGLASS_BUILD_TESTS=OFF
	cmake --build $(BENCH_DIR) -j $(JOBS) --target bench_soak
	QT_QPA_PLATFORM=offscreen $(BENCH_DIR)/bench/bench_soak --seconds $(SOAK_SECONDS)

# The Debian package, from a Release build of its own with Debian's hardening flags.
package: export DEB_BUILD_MAINT_OPTIONS = hardening=+all
package:
	@scripts/install-deps package
	rm -f $(PACKAGE_DIR)/rimeglass_*.deb
	cmake -S . -B $(PACKAGE_DIR) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
		-DRIMEGLASS_BUILD_TESTS=OFF -DRIMEGLASS_DEBUG_OUTPUT=OFF \
		-DRIMEGLASS_PACKAGE_DEVELOPMENT_KEY=$(PACKAGE_DEVELOPMENT_KEY) \
		"-DCMAKE_CXX_FLAGS=$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
		"-DCMAKE_EXE_LINKER_FLAGS=$$(dpkg-buildflags --get LDFLAGS)" \
		$(PACKAGE_CMAKE_FLAGS)
	@# A development-key build is refused here, before anything is compiled.
	cmake -P $(PACKAGE_DIR)/packaging/package-checks.cmake
	cmake --build $(PACKAGE_DIR) -j $(JOBS) --target package

# Installs the package made by `make package`, runs its programs and removes it again.
check-package:
	scripts/check-package $(PACKAGE_DIR)

# A seeded sample of small faults planted in src/ one at a time, each rebuilt and met by
# the suites that link it; kill rate and survivors in build-mutation/mutation-report.txt.
# MUTATION_ARGS=--list prints the sample, MUTATION_ARGS="--only 7" runs one mutant.
mutation: deps
	scripts/mutation --seed $(MUTATION_SEED) --count $(MUTATION_COUNT) --jobs $(JOBS) $(MUTATION_ARGS)

format:
	@scripts/install-deps format
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD_DIR)
