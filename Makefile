# One-command set-up: `make run` and `make test` install what is missing, build, then
# run the panel on the simulated controller or run every test.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 30
SOAK_SECONDS ?= 30

.PHONY: run test deps build clean check-asan check-tsan fuzz bench package

run: build
	@[ -n "$$DISPLAY$$WAYLAND_DISPLAY$$QT_QPA_PLATFORM" ] || { echo "No display here: run 'make run' in a desktop session (or: xvfb-run ./$(BUILD)/irisdesk --simulate)."; exit 1; }
	./$(BUILD)/irisdesk --simulate

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

deps:
	@./tools/install-deps.sh

build: deps
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# Everything, the window included, under AddressSanitizer + UndefinedBehaviorSanitizer.
check-asan: deps
	@[ -f build-asan/CMakeCache.txt ] || cmake -S . -B build-asan -DIRISDESK_BENCH=OFF \
	  -DIRISDESK_SANITIZE=address,undefined
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

# The core and its tests under ThreadSanitizer, then the fault soak.
check-tsan: deps
	@[ -f build-tsan/CMakeCache.txt ] || cmake -S . -B build-tsan -DIRISDESK_GUI=OFF -DIRISDESK_BENCH=OFF \
	  -DIRISDESK_SANITIZE=thread
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j$(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 SOAK_SECONDS=$(SOAK_SECONDS) timeout $$(( $(SOAK_SECONDS) + 120 )) ./soak_test

# Each libFuzzer target for FUZZ_SECONDS, from a copy of its seed corpus. AddressSanitizer
# and the arithmetic checks of UndefinedBehaviorSanitizer: coverage instruments every
# check's branch, and the pointer checks (null, alignment, object size, vptr) only repeat
# what AddressSanitizer finds while costing a third to a half of the runs; check-asan
# keeps them all.
FUZZ_SANITIZE = address,signed-integer-overflow,shift,float-cast-overflow,bounds,enum,bool,\
integer-divide-by-zero,return,unreachable,vla-bound
fuzz: deps
	@[ -f build-fuzz/CMakeCache.txt ] || CC=clang CXX=clang++ cmake -S . -B build-fuzz -DIRISDESK_GUI=OFF \
	  -DIRISDESK_BENCH=OFF -DIRISDESK_FUZZ=ON -DIRISDESK_SANITIZE=$(FUZZ_SANITIZE)
	cmake --build build-fuzz -j$(JOBS) --target fuzz_reply fuzz_ini fuzz_entry fuzz_command
	./tools/run-fuzz.sh $(FUZZ_SECONDS)

bench: build
	./$(BUILD)/link_bench
	./$(BUILD)/ctl_bench
	./$(BUILD)/remote_bench
	QT_QPA_PLATFORM=offscreen ./$(BUILD)/startup_bench

# The Debian packages irisdesk and vrx330ctl (debian/), checked by lintian:
# dist/irisdesk_<version>_<arch>.deb and dist/vrx330ctl_<version>_<arch>.deb
package: deps
	./tools/package-debian.sh $(JOBS)

# Windows: cross-built with mingw-w64 into build-win/ (irisdesk.exe), tested under Wine.
# Its own set-up script: `make test` never installs the Windows toolchain or Wine.
BUILD_WIN ?= build-win
WINE_PREFIX = $(abspath $(BUILD_WIN))/wine
.PHONY: deps-windows windows test-windows package-windows

deps-windows:
	@./tools/install-deps-windows.sh

windows: deps-windows
	@[ -f $(BUILD_WIN)/CMakeCache.txt ] || cmake -S . -B $(BUILD_WIN) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
	cmake --build $(BUILD_WIN) -j$(JOBS)

test-windows: windows
	WINEPREFIX=$(WINE_PREFIX) ./tools/wine-prefix.sh
	cd $(BUILD_WIN) && WINEPREFIX=$(WINE_PREFIX) ctest --output-on-failure -j$(JOBS)

package-windows: windows
	./tools/package-windows.sh $(BUILD_WIN)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz $(BUILD_WIN) dist
