#!/bin/sh
# The cases run on the virtual board, each with a bound. Every case leaves
# what it saw in RESULTS/<case>/: the standard streams (out, err) and exit
# status (status; 137 when its bound killed it) of what it ran, how long that
# took (elapsed_cs, hundredths of a second), and the files the case names.
# Nothing is judged here: the host compares the results with what the same
# programs do on the simulated board, and with the texts they must print.
#
# The kovrel cases run in this order, each starting with the slaves' reset,
# which is how the host tells their wire bytes apart in the simulator's
# journal. Their system calls on the devices are traced by the kernel
# (ioctl and write, of that one process).
#
# Usage: cases.sh RESULTS
set -u
results=$1
tracing=/sys/kernel/tracing
cd /work

# wait_for, watching, uptime_cs and run.
WAITS=$results/waits
. /waits.sh

echo nop > $tracing/current_tracer
echo 2048 > $tracing/buffer_size_kb
for event in sys_enter_ioctl sys_exit_ioctl sys_enter_write; do
  echo 1 > "$tracing/events/syscalls/$event/enable"
done

# kovrel CASE ARGS...: kovrel with its system calls traced into CASE/syscalls.
kovrel_traced() {
  name=$1
  shift
  echo 0 > $tracing/tracing_on
  echo > $tracing/trace
  echo 1 > $tracing/tracing_on
  run "$name" 60 sh -c 'echo $$ > /sys/kernel/tracing/set_event_pid && exec kovrel "$@"' kovrel "$@"
  echo 0 > $tracing/tracing_on
  cat $tracing/trace > "$results/$name/syscalls"
}

br=examples/firmware/uart_boot.br
kovrel_traced uart_38400_w -v 1 -w -u examples/uart_job.txt
cp $br "$results/uart_38400_w/br"
kovrel_traced uart_57600 -v 1 -b 57600 -u examples/uart_job.txt
kovrel_traced uart_56000_w -v 1 -w -b 56000 -u examples/uart_job.txt
cp $br "$results/uart_56000_w/br"
kovrel_traced uart_14400_r_w -v 1 -r -w -b 14400 -u examples/uart_job.txt
cp $br "$results/uart_14400_r_w/br"
kovrel_traced br_replay_56000 -v 1 -b 56000 -u replay_job.txt
run silent_slave 30 kovrel -v 1 -r -p 1 -u examples/uart_job.txt

# coeffnotify with a Panel stand-in that writes its marker and counts SIGUSR2.
coeffnotify_case() {
  d=$results/coeffnotify
  mkdir -p "$d"
  sh -c 'trap "n=\$((n + 1)); echo \$n > /tmp/panel_signals" USR2
         n=0; echo "Panel $$" > /tmp/Panel_init_done
         while :; do sleep 1 & wait $!; done' &
  panel=$!
  wait_for test -s /tmp/Panel_init_done
  coeffnotify > "$d/out" 2> "$d/err" &
  notifier=$!
  wait_for watching $notifier
  stat -c '%u:%g %a %s' /tmp/audiocoeffs-file > "$d/created"
  echo "coefficients 1" >> /tmp/audiocoeffs-file
  wait_for grep -qx 1 /tmp/panel_signals
  echo "coefficients 2" >> /tmp/audiocoeffs-file
  wait_for grep -qx 2 /tmp/panel_signals
  stat -c '%u:%g' /tmp/audiocoeffs-file-notify > "$d/notify_owner"
  cat /tmp/panel_signals > "$d/panel_signals"
  kill $notifier $panel
  wait $notifier
  echo $? > "$d/status"
}

# ocwatch: a line that only resembles the report leaves it waiting; the
# report ends it after its one-second pause.
ocwatch_case() {
  d=$results/ocwatch
  mkdir -p "$d"
  echo "Jan  1 00:00:01 board kernel: usb 1-1: new high-speed USB device" > /tmp/messages
  ocwatch > "$d/out" 2> "$d/err" &
  watcher=$!
  wait_for watching $watcher
  echo "Jan  1 00:00:02 board kernel: usb 1-1: port 50 Over-current" >> /tmp/messages
  sleep 2
  if kill -0 $watcher 2> /dev/null; then echo waiting; else echo ended; fi > "$d/after_other_line"
  (sleep 10; kill -9 $watcher 2> /dev/null) &
  bound=$!
  start=$(uptime_cs)
  echo "Jan  1 00:00:03 board kernel: usb 1-1: port 50 over-current condition" >> /tmp/messages
  wait $watcher
  echo $? > "$d/status"
  echo $(( $(uptime_cs) - start )) > "$d/elapsed_cs"
  kill $bound 2> /dev/null
}

# clockrestore with the board's own date and hwclock: busybox's shell runs
# its own applets whatever PATH says, so no stand-in can take their place,
# and the virtual board's clocks may be set. The RTC is read before, the
# system time and the RTC after.
clockrestore_case() {
  d=$results/clockrestore
  mkdir -p "$d" /home/organ
  echo 3600 > /home/organ/epoch_offset
  cat /sys/class/rtc/rtc0/since_epoch > "$d/rtc_before"
  run clockrestore 30 clockrestore
  date +%s > "$d/system_after"
  cat /sys/class/rtc/rtc0/since_epoch > "$d/rtc_after"
  if [ -e /home/organ/epoch_offset ]; then echo kept; else echo removed; fi > "$d/offset_file"
  run clockrestore_again 30 clockrestore
}

coeffnotify_case
ocwatch_case
clockrestore_case
run splashgen 30 splashgen strings.txt "$results/splashgen/splash.bin"
run yalmet_unknown_option 30 yalmet -x
run yalmet_missing_device 30 yalmet
run fenwix_no_spi_controller 30 fenwix -s 3 -n 8
