# The commands people type. Each one first installs whatever is missing (tools/setup).
.PHONY: setup build test demo bench soak dist clean

MAKEFLAGS += --no-print-directory
CMAKE ?= cmake
CTEST ?= ctest
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SOAK_CALLS ?= 100000

setup:
	@tools/setup

build: setup
	@$(CMAKE) --preset win32 >/dev/null
	@$(CMAKE) --build --preset win32 -j $(JOBS)
	@$(CMAKE) --preset win64 >/dev/null
	@$(CMAKE) --build --preset win64 -j $(JOBS)

test: build
	@$(CTEST) --preset win64

# 100,000 random calls in one process, checked against the model, with handle and memory samples.
soak: build
	@tools/wine-server start
	@status=0; MIRDU_BUILD=$(CURDIR)/build/win64 MIRDU_SOURCE=$(CURDIR) PYTHONDONTWRITEBYTECODE=1 \
		/usr/bin/python3 tests/model/model_test.py soak $(SOAK_CALLS) $(SOAK_SEED) || status=$$?; \
		tools/wine-server stop; exit $$status

# The release package: dist/mirdu-VERSION-win32.zip (i686 DLL, user guide, SHA256SUMS).
dist: build
	@tools/dist

demo: build
	@tools/demo

# The full benchmark (a few minutes): build/bench/results.txt and a table; see docs/performance.md.
bench: build
	@tools/bench

clean:
	rm -rf build
