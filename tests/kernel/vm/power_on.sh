#!/bin/sh
# The rest of the virtual board's power-on, after its start-up script
# (/etc/init.d/organ-board start, which init ran): the Panel comes up and a
# change of the coefficients reaches it; the Panel restarts under a new
# process ID and a change reaches the new one; the system log reports an
# over-current; the start-up script is started a second time, then stopped.
# The kernel traced every program started since the start-up script began
# (sched_process_exec), which gives the timeline.
#
# Leaves in DIR: panel1.pid, panel2.pid and what each Panel counted
# (panel1.signals before and after the restart, panel2.signals), the
# coeffnotify each was served by (notifier1, notifier2), report_s and hook_s
# (seconds since boot), offset_file, rtc_after and system_after, the outputs
# of status, the second start and stop (status.out, start_again.out,
# stop.out, each with .status), left_running (the watchers' programs still
# running after stop), waits (what was not seen in time) and exec_trace.
#
# Usage: power_on.sh DIR
set -u
d=$1
run=/run/organ-board
tracing=/sys/kernel/tracing

# wait_for and watching.
WAITS=$d/waits
. /waits.sh
# The coeffnotify that the start-up script runs now, once it watches.
notifier_watching() {
  [ -s $run/coeffnotify.pid ] && watching "$(cat $run/coeffnotify.pid)"
}
notifier_replaced() {
  [ "$(cat $run/coeffnotify.pid 2> /dev/null)" != "$(cat "$d/notifier1")" ]
}
signals_are() {  # N COUNT
  grep -qx "$2" "/tmp/panel$1.signals"
}
panel_up() {  # N
  /work/panel_standin "$1" &
  echo $! > "$d/panel$1.pid"
  wait_for test -s /tmp/Panel_init_done
}

# The clocks after clockrestore, and its offset file.
date +%s > "$d/system_after"
cat /sys/class/rtc/rtc0/since_epoch > "$d/rtc_after"
if [ -e /home/organ/epoch_offset ]; then echo kept; else echo removed; fi > "$d/offset_file"

# The Panel comes up; coeffnotify is started for it and serves it.
panel_up 1
wait_for notifier_watching
cat $run/coeffnotify.pid > "$d/notifier1"
echo "coefficients 1" >> /tmp/audiocoeffs-file
wait_for signals_are 1 1

# The Panel restarts: the old process goes, the new one writes its marker
# anew; coeffnotify is restarted for it and signals it, not the old one.
kill "$(cat "$d/panel1.pid")"
panel_up 2
wait_for notifier_replaced
wait_for notifier_watching
cat $run/coeffnotify.pid > "$d/notifier2"
echo "coefficients 2" >> /tmp/audiocoeffs-file
wait_for signals_are 2 1
cp /tmp/panel1.signals "$d/panel1.signals"
cp /tmp/panel2.signals "$d/panel2.signals"

# An over-current in the system log: ocwatch ends, the hook runs.
cut -d ' ' -f 1 /proc/uptime > "$d/report_s"
echo "Jan  1 00:00:09 board kernel: usb 1-1: port 50 over-current condition" >> /tmp/messages
wait_for test -s /tmp/overcurrent_hook
usleep 500000
cp /tmp/overcurrent_hook "$d/hook_s"

# Started again in the same boot, the script repeats no step; stopped, it
# ends the watchers.
for action in status start_again stop; do
  /etc/init.d/organ-board "${action%_again}" > "$d/$action.out" 2>&1
  echo $? > "$d/$action.status"
done
usleep 500000
pidof coeffnotify ocwatch > "$d/left_running"

echo 0 > $tracing/tracing_on
echo 0 > $tracing/events/sched/sched_process_exec/enable
cat $tracing/trace > "$d/exec_trace"
echo > $tracing/trace

# The cases that follow start from an empty /tmp and a Panel that is gone.
kill "$(cat "$d/panel2.pid")"
rm -rf /tmp/Panel_init_done /tmp/audiocoeffs-file /tmp/audiocoeffs-file-notify /tmp/panel*.signals \
  /tmp/overcurrent_hook /tmp/messages $run
