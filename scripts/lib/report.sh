# Timed steps and named checks for the long-running checks (check-clean-setup,
# check-wheel), gathered for a summary table. Sourced; each log goes to a file
# and only its tail to stderr, through say().

STEP_NAMES=() STEP_TIMES=() STEP_RESULTS=()
CHECK_NAMES=() CHECK_RESULTS=() CHECK_DETAILS=()

now() { echo "${EPOCHREALTIME/,/.}"; }
fmt_time() { awk -v s="$1" 'BEGIN { printf "%dm%04.1fs", int(s / 60), s - 60 * int(s / 60) }'; }

# run_step NAME LOGFILE COMMAND...: runs, logs, times; returns the command's status.
run_step() {
  local name=$1 log=$2 t0 t1 rc=0
  shift 2
  say "$name ..."
  t0=$(now)
  "$@" >"$log" 2>&1 </dev/null || rc=$?
  t1=$(now)
  local secs
  secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')
  STEP_NAMES+=("$name") STEP_TIMES+=("$secs")
  if [ "$rc" -eq 0 ]; then
    STEP_RESULTS+=("ok")
    say "$name: ok in $(fmt_time "$secs")"
  else
    STEP_RESULTS+=("FAILED (exit $rc)")
    say "$name: FAILED (exit $rc) after $(fmt_time "$secs"); last lines of $log:"
    tail -n 40 "$log" | sed 's/^/    /' >&2
  fi
  return "$rc"
}

skip_step() { STEP_NAMES+=("$1") STEP_TIMES+=("") STEP_RESULTS+=("skipped"); }

check() {  # check NAME STATUS(0 = pass) [DETAIL]
  CHECK_NAMES+=("$1") CHECK_DETAILS+=("${3:-}")
  if [ "$2" -eq 0 ]; then CHECK_RESULTS+=(PASS); else CHECK_RESULTS+=(FAIL); fi
}

# The steps' and checks' table; sets FAILED to 1 if any step or check failed.
print_table() {
  local i t
  FAILED=0
  echo "step                                                                  wall time  result"
  for i in "${!STEP_NAMES[@]}"; do
    t=${STEP_TIMES[$i]}
    printf '%-68s %10s  %s\n' "${STEP_NAMES[$i]}" "${t:+$(fmt_time "$t")}" "${STEP_RESULTS[$i]}"
    [ "${STEP_RESULTS[$i]}" = ok ] || FAILED=1
  done
  echo
  for i in "${!CHECK_NAMES[@]}"; do
    printf '%s  %s%s\n' "${CHECK_RESULTS[$i]}" "${CHECK_NAMES[$i]}" \
      "${CHECK_DETAILS[$i]:+ [${CHECK_DETAILS[$i]}]}"
    [ "${CHECK_RESULTS[$i]}" = PASS ] || FAILED=1
  done
}
