#!/usr/bin/env bash
# Runs every fuzz target of fuzz_kestrix.py for a bounded time.
#
#   fuzz/run.sh short        about 10 s per target (CI)
#   fuzz/run.sh long [SECS]  SECS per target (default 600), corpus kept in
#                            $KX_FUZZ_CORPUS (default /tmp/kestrix-fuzz-corpus)
#
# PYTHON selects the interpreter (default python3); it must have atheris and
# kestrix installed.  Prints the executions of each target; exits non-zero
# when a target finds a crash, a sanitizer report or an undocumented
# exception, leaving the reproducer in the artifact folder it names.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
py=${PYTHON:-python3}
mode=${1:-short}
case "$mode" in
  short) secs=${KX_FUZZ_SECONDS:-10} ;;
  long) secs=${2:-${KX_FUZZ_SECONDS:-600}} ;;
  *) echo "usage: $0 short|long [seconds]" >&2; exit 2 ;;
esac
targets=${KX_FUZZ_TARGETS:-"state fir params design telemetry"}
artifacts=${KX_FUZZ_ARTIFACTS:-$(mktemp -d /tmp/kestrix-fuzz-artifacts.XXXXXX)}
mkdir -p "$artifacts"
failed=0
total=0
for t in $targets; do
  corpus=()
  if [ "$mode" = long ]; then
    dir=${KX_FUZZ_CORPUS:-/tmp/kestrix-fuzz-corpus}/$t
    mkdir -p "$dir"
    corpus=("$dir")
  fi
  log="$artifacts/$t.log"
  # -max_len bounds one input; the time limit per input catches a call that
  # does not return; rss_limit stays under the machine's memory.  Under the
  # sanitizer build libFuzzer would scan the heap for leaks after most
  # inputs (the interpreter allocates freely): LeakSanitizer's one check at
  # exit covers leaks instead.
  timeout $((secs * 3 + 60)) "$py" "$here/fuzz_kestrix.py" "$t" \
    -max_total_time="$secs" -max_len=4096 -timeout=20 -rss_limit_mb=2048 \
    -detect_leaks=0 -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "${corpus[@]}" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  if [ "$rc" -ne 0 ] || [ -z "$runs" ]; then
    echo "fuzz $t: FAILED (exit $rc), log and reproducer in $artifacts" >&2
    tail -40 "$log" >&2
    failed=1
  else
    echo "fuzz $t: $runs executions in ${secs}s"
    total=$((total + runs))
  fi
done
echo "fuzz total: $total executions"
exit "$failed"
