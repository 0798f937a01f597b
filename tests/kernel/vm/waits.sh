# How the power-on (power_on.sh) and the cases (cases.sh) wait on the
# virtual board: on what they observe, each wait with a bound. A wait that
# gives up is noted in the file WAITS names.

# Waits up to 10 s, in steps of 50 ms, for the command to succeed.
wait_for() {
  tries=0
  until "$@"; do
    tries=$((tries + 1))
    [ "$tries" -lt 200 ] || { echo "gave up waiting for: $*" >> "$WAITS"; return 1; }
    usleep 50000
  done
}

# A program's inotify watch is in place once /proc shows it.
watching() {
  grep -qs '^inotify wd:' /proc/"$1"/fdinfo/*
}
