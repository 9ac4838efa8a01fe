# The two commands a newcomer needs: `make run` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: bootstrap configure build run test bench clean

bootstrap:
	@bash scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVIVIROV_BUILD_BENCH=ON >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@bash scripts/run-app $(BUILD)/VivirovVizivurad/vivirov

test: bootstrap
	@bash scripts/test

bench: build
	@cmake --build $(BUILD) --target benches -j $(JOBS)
	@for b in $(BUILD)/bench/*; do [ -x "$$b" ] && [ -f "$$b" ] && "$$b"; done; true

clean:
	rm -rf build build-tsan build-fuzz
