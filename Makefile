# The two front doors of the README. Both install what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release -DTALN_WERROR=ON

.PHONY: run test build bootstrap clean

bootstrap:
	bash scripts/bootstrap.sh

build: bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS) --timeout 600

run: build
	bash scripts/run.sh $(BUILD)

clean:
	rm -rf $(BUILD)
