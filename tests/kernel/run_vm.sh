#!/bin/sh
# Boots the board's package on a real ARM Linux kernel and runs the cases of
# vm/cases.sh there: an initramfs is made of busybox, the armhf C library, the
# unpacked package and the cases' inputs; qemu-system-arm boots Debian's
# armhf kernel with it on a vexpress-a9, whose second and third UARTs are the
# slaves' lines and whose fourth carries the GPIO requests, all connected to
# boardsim --serve on this machine (the slave bootstrap on ttyS0, a silent
# slave on ttyS1). The results come back over the console. Then the same
# board boots a second time, alone, with its real-time clock in 2040, and
# runs the cases of vm/clock_2040.sh (with the board's own dash and
# coreutils' date).
#
# Leaves in DIR/results: the cases' results, boardsim.jsonl (the simulator's
# journal of the lines), qemu-uart.log (the divisors the kernel wrote into the
# UARTs), console.log, console_2040.log and boot.txt; in DIR/work the inputs, as the host's
# reference runs need them. Fails only when the board could not be made,
# booted or finished within its bounds; the cases are judged by the tests
# that read the results (kernel_cases).
#
# Usage: run_vm.sh DIR DEB BOARDSIM   (DIR holds the parts of fetch_parts.sh)
set -eu

[ $# -eq 3 ] || { echo "usage: $0 DIR DEB BOARDSIM" >&2; exit 2; }
dir=$(cd "$1" && pwd) deb=$(readlink -f "$2") boardsim=$(readlink -f "$3")
here=$(cd "$(dirname "$0")" && pwd)
parts=$dir/parts
BOOT_BOUND_S=${KERNEL_BOOT_BOUND_S:-90}   # until /init runs
RUN_BOUND_S=${KERNEL_RUN_BOUND_S:-400}    # until the board has powered off
CLOCK_2040_BOUND_S=${KERNEL_CLOCK_2040_BOUND_S:-120}  # the same, booted in 2040

for part in kernel/vmlinuz kernel/vexpress-v2p-ca9.dtb busybox/bin/busybox libc/lib/ld-linux-armhf.so.3 \
  dash/bin/dash coreutils/bin/date; do
  [ -e "$parts/$part" ] || { echo "no $parts/$part: run tests/kernel/fetch_parts.sh $dir (make check-kernel does)" >&2; exit 1; }
done
[ -f "$deb" ] || { echo "no package $deb (make package-arm)" >&2; exit 1; }

# --- the cases' inputs, the same bytes for the board and the host ---------
work=$dir/work
rm -rf "$work" "$dir/root" "$dir/results" "$dir/serve"
mkdir -p "$work" "$dir/root" "$dir/results" "$dir/serve"
dpkg-deb -x "$deb" "$dir/root"
cp -r "$dir/root/usr/share/doc/organ-board/examples" "$work/"
(cd "$work" && sh examples/make_firmware.sh)
echo "BR_FILE examples/firmware/uart_boot.br" > "$work/replay_job.txt"
printf '%s\n' '-1 8 "GRAND ORGAN"' '-1 24 "Starting ..."' > "$work/strings.txt"
printf '2 54 "Service \237 \246"\n' >> "$work/strings.txt"

# --- the initramfs --------------------------------------------------------
root=$dir/root
mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/tmp" "$root/home/organ"
cp "$parts/busybox/bin/busybox" "$root/bin/"
cp -a "$parts/libc/lib" "$root/"
cp -r "$work" "$root/work"
cp "$here/vm/init" "$root/init"
cp "$here/vm/cases.sh" "$root/cases.sh"
cp "$here/vm/power_on.sh" "$here/vm/waits.sh" "$root/"
cp "$here/vm/panel_standin" "$here/vm/overcurrent_hook" "$root/work/"
chmod 755 "$root/init" "$root/work/panel_standin" "$root/work/overcurrent_hook"
# For the boot in 2040: the board's own shell and date, out of the first
# boot's PATH (whose busybox shell runs its own applets anyway), and the
# recording date and the hwclock recorder of vm/clock_2040.sh.
mkdir -p "$root/debian/bin" "$root/clock/bin"
cp "$parts/dash/bin/dash" "$parts/coreutils/bin/date" "$root/debian/bin/"
cp "$here/vm/clock_2040.sh" "$root/"
cp "$here/vm/clock_date" "$root/clock/bin/date"
cp "$here/vm/clock_hwclock" "$root/clock/bin/hwclock"
chmod 755 "$root/clock/bin/date" "$root/clock/bin/hwclock"

# What the organ's integrator gives the board for its start-up: the
# configuration (the package's conffile, edited: the demo's UART job on the
# slaves' line, the hook), the saved contrast 7, and a pending clock
# correction of an hour.
cat > "$root/etc/default/organ-board" <<'EOF'
# The virtual board's start-up.
BRINGUP_DIR="/work"
UART_JOB="examples/uart_job.txt"
SPI_JOB=""
KOVREL_OPTIONS="-v 1"
BRINGUP_DEVICES="/dev/gpio0 /dev/ttyS0"
BRINGUP_DEVICE_WAIT="10"
OVERCURRENT_HOOK="/work/overcurrent_hook"
WATCHER_OUTPUT="/results/power_on/watchers"
EOF
mkdir -p "$root/home/organ/actual_state"
head -c 863 /dev/zero > "$root/home/organ/actual_state/global_set"
printf '\007' >> "$root/home/organ/actual_state/global_set"
echo 3600 > "$root/home/organ/epoch_offset"
(cd "$root" && find . | cpio -o -H newc --owner=0:0 --quiet) | gzip -1 > "$dir/initramfs.gz"

# --- the slaves, then the board -------------------------------------------
results=$dir/results
"$boardsim" --tty 0=imx --tty 1=imx:silent --ports 2 --timeout "$RUN_BOUND_S" \
  --trace "$results/boardsim.jsonl" --trace-format jsonl --serve "$dir/serve" 2> "$results/boardsim.err" &
slaves=$!
qemu=
cleanup() {
  [ -z "$qemu" ] || kill "$qemu" 2> /dev/null || true
  [ -z "$slaves" ] || kill "$slaves" 2> /dev/null || true
}
trap cleanup EXIT
tries=0
until [ -S "$dir/serve/ttyS0" ] && [ -S "$dir/serve/ttyS1" ] && [ -S "$dir/serve/gpio0" ]; do
  tries=$((tries + 1))
  [ "$tries" -lt 100 ] || { echo "boardsim did not start serving:"; cat "$results/boardsim.err"; exit 1; } >&2
  sleep 0.1
done

# qemu's UARTs hand on what they receive in bursts; a loaded machine must not
# stretch those further than it must, so the board runs at a higher priority
# where that is allowed.
priority=
[ "$(id -u)" -ne 0 ] || priority="nice -n -10"
console=$results/console.log
start=$(date +%s.%N)
QEMU_AUDIO_DRV=none $priority qemu-system-arm -M vexpress-a9 -m 256 -nographic -no-reboot -monitor none \
  -kernel "$parts/kernel/vmlinuz" -dtb "$parts/kernel/vexpress-v2p-ca9.dtb" -initrd "$dir/initramfs.gz" \
  -append "console=ttyAMA0 quiet loglevel=1 panic=-1" -rtc base=2001-09-09T01:46:40 \
  -chardev file,id=console,path="$console" -serial chardev:console \
  -chardev socket,id=slaves,path="$dir/serve/ttyS0" -serial chardev:slaves \
  -chardev socket,id=silent,path="$dir/serve/ttyS1" -serial chardev:silent \
  -chardev socket,id=gpio,path="$dir/serve/gpio0" -serial chardev:gpio \
  -d trace:pl011_baudrate_change -D "$results/qemu-uart.log" > "$results/qemu.out" 2>&1 &
qemu=$!

# Waits for the board that qemu $qemu runs (since $start, console
# $console, qemu's own output QEMU_OUT) to run /init within BOOT_BOUND_S and
# to power off within RUN_BOUND; sets boot_s and run_s.
elapsed() { echo "$(date +%s.%N) $start" | awk '{ printf "%.1f", $1 - $2 }'; }
running() { kill -0 "$qemu" 2> /dev/null; }
board_awaited() {  # QEMU_OUT RUN_BOUND
  until grep -q '^organ-kernel-check: up' "$console" 2> /dev/null; do
    running || { echo "the board stopped before /init ran:" >&2; cat "$1" "$console" >&2; exit 1; }
    [ "$(elapsed | cut -d . -f 1)" -lt "$BOOT_BOUND_S" ] || { echo "the board did not boot within $BOOT_BOUND_S s" >&2; exit 1; }
    sleep 0.1
  done
  boot_s=$(elapsed)
  while running; do
    [ "$(elapsed | cut -d . -f 1)" -lt "$2" ] || { echo "the board did not finish within $2 s" >&2; tail -5 "$console" >&2; exit 1; }
    sleep 0.2
  done
  qemu=
  run_s=$(elapsed)
}
# The results the board wrote on $console, unpacked into $results.
results_unpacked() {
  tr -d '\r' < "$console" | sed -n '/^organ-kernel-check: results$/,/^organ-kernel-check: end$/p' |
    sed '1d;$d' | base64 -d | tar -xz -C "$results" ||
    { echo "no results on the board's console:" >&2; tail -20 "$console" >&2; exit 1; }
}
board_awaited "$results/qemu.out" "$RUN_BOUND_S"
# The board went: boardsim writes its journal and ends.
wait "$slaves" || { echo "boardsim failed:" >&2; cat "$results/boardsim.err" >&2; exit 1; }
slaves=
results_unpacked

# --- the same board, alone, with its real-time clock in 2040 ---------------
# Only the console: init runs the cases of clock_2040.sh and powers off.
first_boot_s=$boot_s first_run_s=$run_s
console=$results/console_2040.log
start=$(date +%s.%N)
QEMU_AUDIO_DRV=none $priority qemu-system-arm -M vexpress-a9 -m 256 -nographic -no-reboot -monitor none \
  -kernel "$parts/kernel/vmlinuz" -dtb "$parts/kernel/vexpress-v2p-ca9.dtb" -initrd "$dir/initramfs.gz" \
  -append "console=ttyAMA0 quiet loglevel=1 panic=-1 organ_check=clock_2040" -rtc base=2040-01-01T00:00:00 \
  -chardev file,id=console,path="$console" -serial chardev:console > "$results/qemu_2040.out" 2>&1 &
qemu=$!
board_awaited "$results/qemu_2040.out" "$CLOCK_2040_BOUND_S"
trap - EXIT
results_unpacked
clock_2040_run_s=$run_s boot_s=$first_boot_s run_s=$first_run_s
{
  echo "boot_s $boot_s"
  echo "run_s $run_s"
  tr -d '\r' < "$results/console.log" | sed -n 's/^organ-kernel-check: up after \([0-9.]*\) s, kernel \(.*\)$/guest_uptime_s \1\nkernel \2/p'
  echo "kernel_package $(cat "$parts/kernel/version")"
  echo "clock_2040_run_s $clock_2040_run_s"
} > "$results/boot.txt"
echo "Board booted in $boot_s s (to /init), all cases done and powered off after $run_s s;" \
  "booted in 2040, its clock's cases done after $clock_2040_run_s s; results in $results"
