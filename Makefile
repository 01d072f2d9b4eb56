# Thin wrapper over CMake.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps run test clean

all: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

deps:
	scripts/install-deps

run: all
	./$(BUILD)/tolvane.ln data/astronaut.pgm

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
