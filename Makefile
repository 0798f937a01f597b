# Thin front door over CMake presets; see README.md.
.PHONY: all deps deps-present deps-demo check check-asan check-arm check-kernel arm package-arm \
	package-boardsim demo bench font-sheet fuzz lint clean

# The Debian packages everything here needs are listed once, in
# tools/debian-packages. `make deps` installs the missing ones (as root; for
# anyone else it prints the apt-get line to run). Every target that builds
# first does the same quietly, so each works alone on a fresh machine.
deps:
	@tools/install-deps.sh

deps-present:
	@tools/install-deps.sh --quiet

# make demo needs only the first group of the list (tools/debian-packages).
deps-demo:
	@tools/install-deps.sh --quiet demo

all: deps-present
	cmake --preset dev
	cmake --build --preset dev

check: deps-present
	cmake --preset dev
	cmake --build --preset dev
	ctest --preset dev

check-asan: deps-present
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

# The ARM build runs its unit tests under qemu-arm; then a host build of the
# simulator runs the end-to-end tests against the ARM programs and ARM shim,
# and the package test against the programs of the armhf package.
check-arm: package-arm
	cmake --preset armhf
	cmake --build --preset armhf
	ctest --preset armhf
	cmake --preset armhf-e2e
	cmake --build --preset armhf-e2e
	ctest --preset armhf-e2e

# The board's package on a real ARM Linux kernel: Debian's armhf kernel,
# busybox and C library are fetched with apt-get download into build/kernel,
# a vexpress-a9 under qemu-system-arm boots them with the unpacked package,
# its serial lines served by the simulator, and the cases it runs are judged
# against the same programs on the simulated board (tests/kernel).
check-kernel: package-arm
	tests/kernel/fetch_parts.sh build/kernel
	cmake --preset dev
	cmake --build --preset dev --target kernel_cases
	ctest --preset kernel

# The board's programs built as an image builder (Yocto, Buildroot) builds
# them: optimised, no tests, linked against libc alone, with the flags of the
# environment (build/armhf-release/bin; cmake --install lays out the tree).
arm: deps-present
	cmake --preset armhf-release
	cmake --build --preset armhf-release

# The board's Debian package, build/armhf-release/organ-board_<version>_armhf.deb
# with its -dbgsym package, cross-built by dpkg-buildpackage from debian/
# (packaging/build-deb.sh; <version> from packaging/version.sh) and checked by
# lintian (errors and warnings fail).
package-arm: deps-present
	packaging/build-deb.sh build/armhf-release -a armhf -Pcross

# The simulated board as a Debian package for development machines,
# build/boardsim-host/organ-boardsim_<version>_<arch>.deb, made the same way.
package-boardsim: deps-present
	packaging/build-deb.sh build/boardsim-host

# Every glyph of the font "LCD_1" on a grid labelled with its code, scaled up,
# for checking the font by eye (netpbm).
font-sheet: deps-present
	cmake --preset dev
	cmake --build --preset dev --target font_sheet
	build/dev/bin/font_sheet build/dev/font-sheet.pbm
	pamscale -quiet 4 build/dev/font-sheet.pbm > build/dev/font-sheet-scaled.pgm
	pnmtopng -quiet build/dev/font-sheet-scaled.pgm > build/font-sheet.png
	@echo "Font sheet: build/font-sheet.png"

# The main job on a simulated board with sound modules in slots 0 (2 DSPs) and
# 2 (4 DSPs): UART bring-up with a move to 57600 baud, then SPI set-up,
# downloads, jump, checksum table. It installs only the packages it needs and
# builds the programs, the simulator and the manual pages (not the tests), so
# that what README suggests next works; the build's output goes to
# build/demo-build.log and is shown only when the build fails. The decoded
# journal and the wire dump of the run stay in build/.
DEMO_TARGETS = programs manuals
demo: deps-demo
	@mkdir -p build
	@echo "Building the simulated board and kovrel (output in build/demo-build.log) ..."
	@{ cmake --preset dev && cmake --build --preset dev --target $(DEMO_TARGETS); } \
	  > build/demo-build.log 2>&1 || { cat build/demo-build.log; exit 1; }
	@examples/make_firmware.sh
	build/dev/bin/boardsim --trace build/demo-trace.txt --vcd build/demo.vcd \
	  --tty 0=imx --spi 0-4=sound:0=2,2=4 -- \
	  build/dev/bin/kovrel -v 3 -r -b 57600 -u examples/uart_job.txt -s examples/spi_job.txt
	@echo "Decoded journal: build/demo-trace.txt; wire dump: build/demo.vcd (pulseview or gtkwave)"

# Benchmarks on the optimised build; each prints its figures against a
# reference measured in the same run.
bench: deps-present
	cmake --preset release
	cmake --build --preset release
	build/release/bin/uart_download_bench
	build/release/bin/spi_download_bench
	build/release/bin/ocwatch_scan_bench

# Each parser of outside input under libFuzzer (Clang build, preset fuzz) for
# FUZZ_SECONDS, starting from its seeds in tests/fuzz/corpus/<parser>/. What
# it learns is kept in build/fuzz/corpus/, inputs that fail in
# build/fuzz/artifacts/; the programs' own output is discarded.
FUZZ_SECONDS ?= 30
FUZZ_PARSERS = job_reader br_file strings_file panel_marker log_scan contrast_level
fuzz: deps-present
	cmake --preset fuzz
	cmake --build --preset fuzz --target fuzz_targets
	@set -e; for parser in $(FUZZ_PARSERS); do \
	  mkdir -p build/fuzz/corpus/$$parser build/fuzz/artifacts; \
	  echo "fuzz_$$parser: $(FUZZ_SECONDS) s"; \
	  build/fuzz/bin/fuzz_$$parser -max_total_time=$(FUZZ_SECONDS) -close_fd_mask=3 \
	    -artifact_prefix=build/fuzz/artifacts/$$parser- \
	    build/fuzz/corpus/$$parser tests/fuzz/corpus/$$parser; \
	done

# The tree's formatting (.clang-format) over every C and C++ source, and the
# naming rules and bug checks of .clang-tidy over the programs' sources as the
# dev build compiles them (tools/lint.sh; `tools/lint.sh --format` applies the
# formatting). Installs nothing: clang-format and clang-tidy come with make deps.
lint:
	cmake --preset dev > /dev/null
	tools/lint.sh

clean:
	rm -rf build
