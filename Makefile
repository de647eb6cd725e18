# The two commands of the README, and the pieces they are made of.
#   make demo   the driver, loaded as the platform loads it, against the emulated terminal
#   make test   every test suite
PRESET ?= default
BUILD_DIR = build/$(PRESET)

.PHONY: all demo test test-linux test-asan deps build build-asan

all: build

deps:
	@sh tools/install-deps.sh

build: deps
	cmake --preset $(PRESET) -DBUILD_TESTING=ON
	cmake --build --preset $(PRESET)

demo: build
	sh tools/demo.sh $(BUILD_DIR)

test: test-linux test-asan

test-linux: build
	ctest --preset $(PRESET)

build-asan:
	@sh tools/install-deps.sh asan
	cmake --preset asan -DBUILD_TESTING=ON
	cmake --build --preset asan

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1 ctest --preset asan
