# The two commands of the README, and the pieces they are made of.
#   make demo   the driver, loaded as the platform loads it, against the emulated terminal
#   make test   every test suite (Linux, sanitized Linux, Windows under Wine, fuzzers)
PRESET ?= default
BUILD_DIR = build/$(PRESET)

.PHONY: all demo test test-linux test-asan test-windows deps build build-asan build-windows bench fuzz

all: build

deps:
	@sh tools/install-deps.sh

build: deps
	cmake --preset $(PRESET) -DBUILD_TESTING=ON
	cmake --build --preset $(PRESET)

demo: build
	sh tools/demo.sh $(BUILD_DIR)

test: test-linux test-asan test-windows fuzz

test-linux: build
	ctest --preset $(PRESET)

build-asan:
	@sh tools/install-deps.sh asan
	cmake --preset asan -DBUILD_TESTING=ON
	cmake --build --preset asan

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 ctest --preset asan

# Tavrolink.dll, cross-compiled with MinGW-w64 (pugixml from Debian's source
# package, the version of the Linux build), its tests run under Wine.
build-windows:
	@sh tools/install-deps.sh windows
	@sh tools/fetch-pugixml-source.sh
	cmake --preset windows -DBUILD_TESTING=ON
	cmake --build --preset windows

test-windows: build-windows
	ctest --preset windows

# Throughput of the text paths and of whole exchanges, with Google Benchmark.
bench: deps
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVROLINK_BUILD_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build build/bench --target tavrolink_bench tavrolink_exchange_bench
	build/bench/bench/tavrolink_bench
	build/bench/bench/tavrolink_exchange_bench

# Every fuzzer for FUZZ_SECONDS each (CI: about a minute), failing on any finding.
FUZZ_SECONDS ?= 60
fuzz:
	@sh tools/install-deps.sh fuzz
	cmake --preset fuzz
	cmake --build --preset fuzz
	sh fuzz/run.sh build/fuzz $(FUZZ_SECONDS)
