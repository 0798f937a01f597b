# How the power-on (power_on.sh) and the cases (cases.sh, clock_2040.sh) wait
# on the virtual board: on what they observe, each wait with a bound. A wait
# that gives up is noted in the file WAITS names; a case's command that is
# killed at its bound says so in its status (run).

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

# Hundredths of a second since boot ("12.34" -> 1234, no octal trap for "0.08").
uptime_cs() {
  read -r up _ < /proc/uptime
  echo $(( ${up%.*} * 100 + 1${up#*.} - 100 ))
}

# run CASE BOUND_S COMMAND...: the command, killed at its bound, leaves
# RESULTS/CASE/ (results names it) out, err, status and elapsed_cs.
run() {
  case_dir=$results/$1 bound=$2
  shift 2
  mkdir -p "$case_dir"
  start=$(uptime_cs)
  timeout -s KILL "$bound" "$@" > "$case_dir/out" 2> "$case_dir/err"
  echo $? > "$case_dir/status"
  echo $(( $(uptime_cs) - start )) > "$case_dir/elapsed_cs"
}
