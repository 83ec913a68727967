# The two commands of the README. Each installs what is missing, then configures and builds.
JOBS ?= $(shell nproc)

.PHONY: all deps build build-asan test run bench image clean format

all: build

deps:
	@scripts/install-deps

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

build-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)

# Every test, plain and then again under AddressSanitizer + UndefinedBehaviorSanitizer.
test: build build-asan
	ctest --preset default -j $(JOBS)
	ctest --preset asan -j $(JOBS)

run: build
	@scripts/run-installer build

# The disk image that users receive: build/Instalator Vantorel.img.
image: build
	cmake --build --preset default --target image

# Benchmarks print their figures as ratios against a baseline measured in the same run.
bench: build
	@scripts/run-benchmarks build

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan
