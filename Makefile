# Thin front door over CMake presets; see README.md.
.PHONY: all check check-asan check-arm demo bench font-sheet clean

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
# 2 (4 DSPs): UART bring-up, then SPI set-up, downloads, jump, checksum table.
demo:
	cmake --preset dev
	cmake --build --preset dev
	examples/make_firmware.sh
	build/dev/bin/boardsim --tty 0=imx --spi 0-4=sound:0=2,2=4 -- \
	  build/dev/bin/kovrel -v 3 -r -u examples/uart_job.txt -s examples/spi_job.txt

# Benchmarks on the optimised build; each prints its figures against a
# reference measured in the same run.
bench:
	cmake --preset release
	cmake --build --preset release
	build/release/bin/uart_download_bench
	build/release/bin/spi_download_bench

clean:
	rm -rf build
