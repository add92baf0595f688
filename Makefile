# One-command set-up: `make run` and `make test` install what is missing, build, then
# run the panel on the simulated controller or run every test.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: run test deps build clean

run: build
	./$(BUILD)/irisdesk --simulate

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

deps:
	@./tools/install-deps.sh

build: deps
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

clean:
	rm -rf $(BUILD)
