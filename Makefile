# Quick start: `make run` builds and starts Torvane, `make test` runs every test.
BUILD ?= build
JOBS  ?= $(shell nproc)

SAN_BUILD ?= build-asan
export LSAN_OPTIONS = suppressions=$(CURDIR)/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS = print_stacktrace=1:halt_on_error=1

.PHONY: all deps configure build run test test-sanitize bench clean

all: build

deps:
	@tools/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	cd "$(CURDIR)" && $(BUILD)/torvane

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer.
test-sanitize: deps
	@cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DTORVANE_SANITIZE=ON >/dev/null
	@cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Benchmarks, run by hand: they print their figures.
bench: build
	QT_QPA_PLATFORM=offscreen $(BUILD)/bench/log_bench

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
