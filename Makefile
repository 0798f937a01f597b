# Thin front door over CMake presets; see README.md.
.PHONY: all check check-asan check-arm demo bench font-sheet fuzz clean

all:
	cmake --preset dev
	cmake --build --preset dev

check:
	cmake --preset dev
	cmake --build --preset dev
	ctest --preset dev

check-asan:
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

# The ARM build runs its unit tests under qemu-arm; then a host build of the
# simulator runs the end-to-end tests against the ARM programs and ARM shim.
check-arm:
	cmake --preset armhf
	cmake --build --preset armhf
	ctest --preset armhf
	cmake --preset armhf-e2e
	cmake --build --preset armhf-e2e
	ctest --preset armhf-e2e

# Every glyph of the font "LCD_1" on a grid labelled with its code, scaled up,
# for checking the font by eye (netpbm).
font-sheet:
	cmake --preset dev
	cmake --build --preset dev --target font_sheet
	build/dev/bin/font_sheet build/dev/font-sheet.pbm
	pamscale -quiet 4 build/dev/font-sheet.pbm > build/dev/font-sheet-scaled.pgm
	pnmtopng -quiet build/dev/font-sheet-scaled.pgm > build/font-sheet.png
	@echo "Font sheet: build/font-sheet.png"

# The main job on a simulated board with sound modules in slots 0 (2 DSPs) and
# 2 (4 DSPs): UART bring-up with a move to 57600 baud, then SPI set-up,
# downloads, jump, checksum table. The decoded journal and the wire dump of
# the run stay in build/.
demo:
	cmake --preset dev
	cmake --build --preset dev
	examples/make_firmware.sh
	build/dev/bin/boardsim --trace build/demo-trace.txt --vcd build/demo.vcd \
	  --tty 0=imx --spi 0-4=sound:0=2,2=4 -- \
	  build/dev/bin/kovrel -v 3 -r -b 57600 -u examples/uart_job.txt -s examples/spi_job.txt
	@echo "Decoded journal: build/demo-trace.txt; wire dump: build/demo.vcd (pulseview or gtkwave)"

# Benchmarks on the optimised build; each prints its figures against a
# reference measured in the same run.
bench:
	cmake --preset release
	cmake --build --preset release
	build/release/bin/uart_download_bench
	build/release/bin/spi_download_bench

# Each parser of outside input under libFuzzer (Clang build, preset fuzz) for
# FUZZ_SECONDS, starting from its seeds in tests/fuzz/corpus/<parser>/. What
# it learns is kept in build/fuzz/corpus/, inputs that fail in
# build/fuzz/artifacts/; the programs' own output is discarded.
FUZZ_SECONDS ?= 30
FUZZ_PARSERS = job_reader strings_file panel_marker log_scan contrast_level
fuzz:
	cmake --preset fuzz
	cmake --build --preset fuzz --target fuzz_targets
	@set -e; for parser in $(FUZZ_PARSERS); do \
	  mkdir -p build/fuzz/corpus/$$parser build/fuzz/artifacts; \
	  echo "fuzz_$$parser: $(FUZZ_SECONDS) s"; \
	  build/fuzz/bin/fuzz_$$parser -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=3 \
	    -artifact_prefix=build/fuzz/artifacts/$$parser- \
	    build/fuzz/corpus/$$parser tests/fuzz/corpus/$$parser; \
	done

clean:
	rm -rf build
