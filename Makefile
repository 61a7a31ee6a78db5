# Quick start: `make run` builds and starts Torvane, `make test` runs every test.
BUILD ?= build
JOBS  ?= $(shell nproc)

SAN_BUILD ?= build-asan
export LSAN_OPTIONS = suppressions=$(CURDIR)/tools/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS = print_stacktrace=1:halt_on_error=1

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 10

.PHONY: all deps configure build run test test-sanitize bench fuzz fuzz-smoke clean \
        demo package screenshot atspi-check wireshark-plugin windows windows-test windows-smoke portability

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
	@TORVANE_EXTRA_PKGS="socat" tools/install-deps.sh
	$(BUILD)/bench/relay_bench
	QT_QPA_PLATFORM=offscreen $(BUILD)/bench/log_bench 10000000
	QT_QPA_PLATFORM=offscreen $(BUILD)/bench/files_bench
	QT_QPA_PLATFORM=offscreen $(BUILD)/bench/faults_bench
	$(BUILD)/bench/check_bench
	QT_QPA_PLATFORM=offscreen $(BUILD)/bench/inspect_bench
	$(BUILD)/bench/capture_bench
	$(BUILD)/bench/dissector_bench
	$(BUILD)/bench/replay_bench

# libFuzzer targets (clang) for the parsers of outside input.
fuzz:
	@TORVANE_EXTRA_PKGS="clang libclang-rt-14-dev" tools/install-deps.sh
	@CXX=clang++ cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)

# A short bounded run of every fuzz target.
fuzz-smoke: fuzz
	@for f in $(FUZZ_BUILD)/fuzz_*; do \
	  [ -x "$$f" ] || continue; \
	  echo "fuzzing $$(basename $$f) for $(FUZZ_SECONDS) s"; \
	  "$$f" -max_total_time=$(FUZZ_SECONDS) -max_len=4096 >"$$f.log" 2>&1 \
	    || { tail -40 "$$f.log"; exit 1; }; \
	  tail -1 "$$f.log"; \
	done

# Torvane against the demo server: a way to try it without a machine.
demo: build
	@tools/demo.sh $(BUILD)

# A Debian package of both programs, the launcher and the icon, in $(BUILD)/.
package: build
	cd $(BUILD) && cpack -G DEB --config CPackConfig.cmake
	@ls -1 $(BUILD)/*.deb

# Refreshes docs/screenshot-normal.png, -advanced.png, -inspector.png and
# -log.png (Xvfb).
screenshot: build
	@TORVANE_EXTRA_PKGS="$(TORVANE_EXTRA_PKGS) xvfb imagemagick xdotool" tools/install-deps.sh
	@tools/screenshot.sh $(BUILD)

# The traffic log read by an AT-SPI client under Xvfb (not part of `make test`).
atspi-check: build
	@TORVANE_EXTRA_PKGS="xvfb xauth dbus-x11 at-spi2-core python3-pyatspi xdotool" tools/install-deps.sh
	@tools/atspi-check.sh $(BUILD)

# The I++ DME dissector into the user's personal Wireshark plugin folder.
WIRESHARK_PLUGINS ?= $(HOME)/.local/lib/wireshark/plugins
wireshark-plugin:
	@mkdir -p "$(WIRESHARK_PLUGINS)"
	cp tools/wireshark/ippdme.lua "$(WIRESHARK_PLUGINS)/"
	@echo "Restart Wireshark, or reload its Lua plugins (Ctrl+Shift+L)."

# Windows, cross-built here: MinGW-w64, Qt and libpcap for Windows built once
# into caches outside the tree (Qt: about an hour), the programs and tests,
# then the zip and the installer in $(WIN_BUILD)/.
WIN_BUILD ?= build-windows
export TORVANE_QT_WINDOWS ?= $(HOME)/.cache/torvane/qt-6.4.2-mingw-x64
export TORVANE_PCAP_WINDOWS ?= $(HOME)/.cache/torvane/pcap-1.10-mingw-x64
windows:
	@tools/windows/install-deps.sh
	@tools/windows/build-qt.sh
	@tools/windows/build-pcap.sh
	@cmake -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/tools/windows/mingw-toolchain.cmake \
	  -DCMAKE_PREFIX_PATH=$(TORVANE_QT_WINDOWS)/lib/cmake >/dev/null
	@cmake --build $(WIN_BUILD) -j $(JOBS)
	@tools/windows/package.sh $(WIN_BUILD)

# Every test program of the Windows build under Wine (tools/windows/wine-run.sh).
windows-test: windows
	cd $(WIN_BUILD) && ctest --output-on-failure -j $(JOBS)

# torvane.exe under Wine relaying to the demo server, closed with Alt+F4
# (Torvane.ini written), docs/screenshot-windows.png, and the installer
# installing and uninstalling silently (Xvfb).
windows-smoke: windows
	@TORVANE_EXTRA_PKGS="xvfb imagemagick xdotool" tools/install-deps.sh
	@tools/windows/smoke.sh $(WIN_BUILD)

# The quick guard of the Windows build (part of .ci/run): no Qt for Windows needed.
portability: deps
	@tools/windows/portability-check.sh

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD) $(WIN_BUILD)
