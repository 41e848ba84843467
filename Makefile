# Entry points for people and CI; everything else lives in CMake.
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600

.PHONY: all deps build programs asan test test-plain test-asan test-deb deb fuzz fuzz-smoke run demo bench clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	ninja -C $(BUILD) -j$(JOBS)

$(ASAN_BUILD)/build.ninja: | deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFACSET_SANITIZE=ON

asan: deps $(ASAN_BUILD)/build.ninja
	ninja -C $(ASAN_BUILD) -j$(JOBS)

# Widget tests drive real windows without a display; `make run` must keep the real one.
test-plain test-asan: export QT_QPA_PLATFORM = offscreen

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS)

# The package from the plain build; its dependencies come from dpkg-shlibdeps.
deb: build
	rm -f $(BUILD)/facset_*.deb
	cd $(BUILD) && cpack -G DEB
	@ls -l $(BUILD)/facset_*.deb

# The .deb unpacked into a scratch root, its programs run by an ordinary user.
test-deb: deb
	tests/install/deb_test.sh $$(ls $(BUILD)/facset_*.deb) \
	  $$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' $(BUILD)/CMakeCache.txt) demo/facconfig.ini

# Each fuzz target for a few seconds on its seeds (skipped, with a note, without clang).
fuzz-smoke: deps
	JOBS=$(JOBS) scripts/fuzz-run 5 $(FUZZ_BUILD)

# Each fuzz target for FUZZ_SECONDS, one after the other, keeping what it found in $(FUZZ_BUILD)/fuzz-corpus.
fuzz: deps
	JOBS=$(JOBS) scripts/fuzz-run $(FUZZ_SECONDS) $(FUZZ_BUILD) keep

test: test-plain test-deb test-asan fuzz-smoke

# The programs alone: a newcomer's `make run` need not wait for the tests to build.
programs: deps $(BUILD)/build.ninja
	ninja -C $(BUILD) -j$(JOBS) facset facset-cli scale-sim

demo: programs
	scripts/demo-workspace $(BUILD)

run: demo
	scripts/run-demo $(BUILD)

bench: build
	@echo "benchmarks: see bench/README.md"

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
