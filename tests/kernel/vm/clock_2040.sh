#!/bin/sh
# The cases of the virtual board booted a second time with its real-time
# clock in 2040 (run_vm.sh): clockrestore must take the system clock past
# 2038, where a time kept in 32 bits turns into 1901. They run as on the
# board, with its own Debian shell (dash) as /bin/sh, which finds date and
# hwclock on PATH. busybox's shell would run its own applets whatever PATH
# says, and busybox's date keeps time in 32 bits: it refuses such a year.
#
# The date is coreutils' (64 bits) but in the case that shows what the
# refusal does; each run of it first notes its arguments (vm/clock_date).
# No hwclock of this Debian release takes a time past 2038 on armhf:
# util-linux's waits forever for a system time its 32-bit call cannot read,
# busybox's sets the clock from whatever its failed call left (1970 in one
# try, a time the driver refused in another).
# So a recorder stands in for it (vm/clock_hwclock): it notes its arguments
# and the system time it was run at, and ends with the status the case gives.
#
# Each case leaves in RESULTS/<case>/ what run leaves, rtc_before,
# system_before, date_args and hwclock_called (each only when that command
# ran), system_after, rtc_after and offset_file (kept or removed).
#
# busybox's and dash's 32-bit stat fail on a file time past 2038: dash
# would no longer find on PATH a command run once in 2040 (its access time
# then), busybox's tar could not take the results, nor stat a pipe made
# then. So no access time is kept, and after each case the
# system clock is set back to a time 32 bits hold (the first boot's RTC
# time; the kernel refuses a time before its own start), and the case's
# files, written in /tmp while the clock was in 2040, are written anew into
# RESULTS.
#
# Usage: clock_2040.sh RESULTS
set -u
results=$1

# run and uptime_cs (and wait_for: a wait given up would be noted apart
# from the first boot's).
WAITS=$results/waits_2040
. /waits.sh

for fs in / /tmp /dev; do
  mount -o remount,noatime "$fs"
done
ln -sf /debian/bin/dash /bin/sh
mkdir -p /home/organ /tmp/clock

# clock_case CASE DATE HWCLOCK_STATUS: clockrestore with an offset of an hour.
clock_case() {
  d=/tmp/clock/$1
  mkdir -p "$d"
  echo 3600 > /home/organ/epoch_offset
  /debian/bin/date +%s > "$d/system_before"
  cat /sys/class/rtc/rtc0/since_epoch > "$d/rtc_before"
  (
    export CLOCK_CASE="$d" CLOCK_DATE="$2" CLOCK_HWCLOCK_STATUS="$3" PATH="/clock/bin:$PATH"
    results=/tmp/clock
    run "$1" 30 clockrestore
  )
  after=$(/debian/bin/date +%s) rtc_after=$(cat /sys/class/rtc/rtc0/since_epoch)
  /debian/bin/date -s @1000000000 > /dev/null
  echo "$after" > "$d/system_after"
  echo "$rtc_after" > "$d/rtc_after"
  if [ -e /home/organ/epoch_offset ]; then echo kept; else echo removed; fi > "$d/offset_file"
  mkdir -p "$results/$1"
  for file in out err status elapsed_cs rtc_before system_before date_args hwclock_called \
    system_after rtc_after offset_file; do
    cat "$d/$file" > "$results/$1/$file" 2> /dev/null || rm -f "$results/$1/$file"
  done
}

# First the refused date, while the system clock is still where the kernel
# started it: it must stay there.
clock_case clock_2040_date_32_bits "/bin/busybox date" 0
clock_case clock_2040 /debian/bin/date 0
clock_case clock_2040_hwclock_fails /debian/bin/date 1
# The console was written to in 2040 too.
touch /dev/console
