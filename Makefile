# The two commands a fresh Debian machine needs:
#   make test   install what is missing, build everything, run every test
#   make demo   the main job: patch a demo installation of Tessaline
#   make dist   build/dist/lzcx: lzcx for Linux as one file to copy anywhere
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

.PHONY: all deps dist native win32 win64 asan tsan fuzz-build test test-native test-asan \
        test-tsan test-win32 test-win64 fuzz-smoke fuzz bench demo clean

all: native win32 dist

deps:
	@scripts/install-deps

# configure-and-build(preset)
define build-preset
	cmake --preset $(1) >/dev/null
	cmake --build build/$(1) -j$(JOBS)
endef

native: deps
	$(call build-preset,native)
dist: deps
	cmake --preset dist >/dev/null
	cmake --build --preset dist -j$(JOBS)
	@! readelf -d build/dist/lzcx | grep -E 'NEEDED.*(libstdc|libgcc_s)' || \
	  { echo "make dist: lzcx still needs the C++ runtime" >&2; exit 1; }
	@echo "make dist: build/dist/lzcx, $$(stat -c %s build/dist/lzcx) bytes, needs glibc $$(objdump -T build/dist/lzcx | grep -o 'GLIBC_[0-9.]*' | sort -V | tail -1 | cut -d_ -f2)"
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
	@n=$$(ctest --test-dir build/win32 -N -L not-run-here | sed -n 's/^Total Tests: //p'); \
	if [ "$${n:-0}" -gt 0 ]; then \
	  echo "make test: $$n tests of the 32-bit build not run: Wine cannot run 32-bit programs on this machine (scripts/wine-arch); they run on the x64 build"; \
	fi
	$(XVFB) ctest --test-dir build/win32 --output-on-failure -LE not-run-here
	@if [ "$$(scripts/wine-arch)" = win64 ]; then $(MAKE) --no-print-directory test-win64; fi
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
	$(call fuzz-target,strong,$(SMOKE_SECONDS))
fuzz: fuzz-build
	$(call fuzz-target,payload,$(FUZZ_SECONDS))
	$(call fuzz-target,roundtrip,$(FUZZ_SECONDS))
	$(call fuzz-target,pe,$(FUZZ_SECONDS))
	$(call fuzz-target,delta,$(FUZZ_SECONDS))
	$(call fuzz-target,strong,$(FUZZ_SECONDS))

bench: native win32
	bench/program_size build/win32
	build/native/bench/decode_bench
	build/native/bench/pack_bench
	build/native/bench/scan_bench
	build/native/bench/many_bench
	build/native/bench/apply_bench build/win32/src/resources/payload.lzcx
	build/native/bench/memory_bench build/native/memory-bench
	bench/delta_pairs build/native
	bench/release_tree build/native
	bench/payload_sizes build/native
	@# The window while the program patches, under Wine, in the build it runs.
	@if arch=$$(scripts/wine-arch); then \
	  cmake --preset $$arch >/dev/null && \
	  cmake --build build/$$arch -j$(JOBS) --target window_bench >/dev/null && \
	  cd build/$$arch/wineprefix/drive_c && \
	  $(XVFB) $(CURDIR)/build/$$arch/wine-run $(CURDIR)/build/$$arch/bench/window_bench.exe; \
	else \
	  echo "make bench: window_bench not run: no Wine here"; \
	fi

demo: deps
	scripts/demo

clean:
	rm -rf build
