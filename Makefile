# The commands people type. Each one first installs whatever is missing (tools/setup).
# ARCH picks one build for soak and bench: win32 (the i686 product) or win64; both by default.
.PHONY: setup build test demo bench soak dist clean

MAKEFLAGS += --no-print-directory
CMAKE ?= cmake
CTEST ?= ctest
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SOAK_CALLS ?= 100000
ARCH ?= win32 win64

setup:
	@tools/setup

build: setup
	@$(CMAKE) --preset win32 >/dev/null
	@$(CMAKE) --build --preset win32 -j $(JOBS)
	@$(CMAKE) --preset win64 >/dev/null
	@$(CMAKE) --build --preset win64 -j $(JOBS)

# Every suite on the i686 product, then on the x86_64 twin; each lane's summary at the end.
test: build
	@CTEST=$(CTEST) tools/test-lanes

# A build that this machine cannot run (exit status 77, the reason printed) is skipped.
SKIPPED_IS_OK = { s=$$?; [ $$s -eq 77 ] || status=$$s; }

# 100,000 random calls in one process, checked against the model, with handle and memory samples.
soak: build
	@tools/wine-server start
	@status=0; for arch in $(ARCH); do \
		echo "== soak $$arch"; \
		MIRDU_BUILD=$(CURDIR)/build/$$arch MIRDU_ARCH=$$arch MIRDU_SOURCE=$(CURDIR) \
		PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 tests/model/model_test.py soak \
		$(SOAK_CALLS) $(SOAK_SEED) || $(SKIPPED_IS_OK); \
	done; tools/wine-server stop; exit $$status

# The release package: dist/mirdu-VERSION.zip (user guide, header, .def, mirdu-run, mirdu-image,
# SHA256SUMS; win32/ and win64/ each with the DLL, its import library and mirdu-run.exe), and
# dist/mirdu-VERSION-py3-none-any.whl, the package mirdu for pip with the Windows files it drives.
dist: build
	@tools/dist

# The 32-bit demo client against the 32-bit DLL, in this terminal (the x86_64 build where
# 32-bit programs cannot run under Wine, with the reason).
demo: build
	@tools/demo

# The full benchmark (7 to 8 minutes for both builds): build/bench/ARCH/results.txt and a
# table each; see docs/performance.md.
bench: build
	@status=0; for arch in $(ARCH); do \
		MIRDU_BUILD=$(CURDIR)/build/$$arch tools/bench --dir build/bench/$$arch || $(SKIPPED_IS_OK); \
	done; exit $$status

clean:
	rm -rf build
