# The commands people type. Each one first installs whatever is missing (tools/setup).
.PHONY: setup build test demo bench clean

CMAKE ?= cmake
CTEST ?= ctest
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

setup:
	@tools/setup

build: setup
	@$(CMAKE) --preset win32 >/dev/null
	@$(CMAKE) --build --preset win32 -j $(JOBS)
	@$(CMAKE) --preset win64 >/dev/null
	@$(CMAKE) --build --preset win64 -j $(JOBS)

test: build
	@$(CTEST) --preset win64

demo: build
	@tools/demo

# The full benchmark (a few minutes): build/bench/results.txt and a table; see docs/performance.md.
bench: build
	@tools/bench

clean:
	rm -rf build
