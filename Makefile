# Quick start: `make run` builds and starts Torvane, `make test` runs every test.
BUILD ?= build
JOBS  ?= $(shell nproc)

.PHONY: all deps configure build run test clean demo package screenshot

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

# Torvane against the demo server: a way to try it without a machine.
demo: build
	@tools/demo.sh $(BUILD)

# A Debian package of both programs, the launcher and the icon, in $(BUILD)/.
package: build
	cd $(BUILD) && cpack -G DEB --config CPackConfig.cmake
	@ls -1 $(BUILD)/*.deb

# Refreshes docs/screenshot-normal.png and docs/screenshot-advanced.png (Xvfb).
screenshot: build
	@TORVANE_EXTRA_PKGS="$(TORVANE_EXTRA_PKGS) xvfb imagemagick" tools/install-deps.sh
	@tools/screenshot.sh $(BUILD)

clean:
	rm -rf $(BUILD)
