# The two commands a fresh Debian machine needs:
#   make test   install what is missing, build everything, run every test
#   make demo   the main job: patch a demo installation of Tessaline
# Others: make native | win32 | win64 | asan | tsan | fuzz | bench | clean

SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -ec
JOBS ?= $(shell nproc)
# How long `make fuzz` fuzzes each target, and the smoke inside `make test`.
FUZZ_SECONDS ?= 300
SMOKE_SECONDS ?= 20
XVFB := xvfb-run -a -s "-screen 0 1024x768x24"
# CMake's own progress lines are enough: no "Entering directory" lines from
# the makes it runs.
MAKEFLAGS += --no-print-directory

.PHONY: all deps native win32 win64 asan tsan fuzz-build test test-native test-asan \
        test-tsan test-win32 test-win64 fuzz-smoke fuzz bench demo clean

all: native win32

deps:
	@scripts/install-deps

# configure-and-build(preset)
define build-preset
	cmake --preset $(1) >/dev/null
	cmake --build build/$(1) -j$(JOBS)
endef

native: deps
	$(call build-preset,native)
win32: deps
	$(call build-preset,win32)
win64: deps
	$(call build-preset,win64)
asan: deps
	$(call build-preset,asan)
tsan: deps
	$(call build-preset,tsan)
fuzz-build: deps
	$(call build-preset,fuzz)

test: test-native test-asan test-tsan test-win32 fuzz-smoke
	@echo "make test: all tests passed"

test-native: native
	ctest --test-dir build/native --output-on-failure -j$(JOBS)
test-asan: asan
	ctest --test-dir build/asan --output-on-failure -j$(JOBS)
test-tsan: tsan
	ctest --test-dir build/tsan --output-on-failure -j$(JOBS)
# The Windows tests run under Wine, on a virtual X display. Where Wine
# cannot run 32-bit programs (scripts/wine-arch), the win32 build runs only
# its checks of the built files, and the x64 build runs the tests.
test-win32: win32
	$(XVFB) ctest --test-dir build/win32 --output-on-failure
	@if [ "$$(scripts/wine-arch)" = win64 ]; then \
	  echo "make test: Wine cannot run 32-bit programs on this machine; the Windows tests run on the x64 build"; \
	  $(MAKE) --no-print-directory test-win64; \
	fi
test-win64: win64
	$(XVFB) ctest --test-dir build/win64 --output-on-failure

# fuzz-target(name, seconds): libFuzzer on its generated seeds plus the
# corpus it has grown so far. One line when it finds nothing; its whole
# output when it does.
define fuzz-target
	@mkdir -p build/fuzz/corpus/$(1)
	@log=build/fuzz/$(1)_fuzzer.log; \
	if build/fuzz/fuzz/$(1)_fuzzer -max_total_time=$(2) -print_final_stats=1 \
	     build/fuzz/corpus/$(1) build/fuzz/fuzz/seeds/$(1) >$$log 2>&1; then \
	  echo "fuzz $(1): $$(grep -m1 '^Done' $$log), $$(awk '/new_units_added/ {print $$2}' $$log) new inputs"; \
	else \
	  cat $$log; echo "fuzz $(1): failed (log: $$log)"; exit 1; \
	fi
endef

fuzz-smoke: fuzz-build
	$(call fuzz-target,payload,$(SMOKE_SECONDS))
	$(call fuzz-target,roundtrip,$(SMOKE_SECONDS))
	$(call fuzz-target,pe,$(SMOKE_SECONDS))
	$(call fuzz-target,delta,$(SMOKE_SECONDS))
fuzz: fuzz-build
	$(call fuzz-target,payload,$(FUZZ_SECONDS))
	$(call fuzz-target,roundtrip,$(FUZZ_SECONDS))
	$(call fuzz-target,pe,$(FUZZ_SECONDS))
	$(call fuzz-target,delta,$(FUZZ_SECONDS))

bench: native win32
	bench/program_size build/win32
	build/native/bench/decode_bench
	build/native/bench/pack_bench
	build/native/bench/scan_bench
	build/native/bench/apply_bench build/win32/src/resources/payload.lzcx
	bench/delta_pairs build/native

demo: deps
	scripts/demo

clean:
	rm -rf build
