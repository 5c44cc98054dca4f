#!/usr/bin/env bash
# Builds the libFuzzer targets of this folder with clang (coverage-guided,
# AddressSanitizer, UndefinedBehaviorSanitizer) against the native cores, and
# runs each for a time budget: the kernel targets once per instruction-set
# variant.  Each run starts from the seeds in corpus/TARGET (copied: the
# repository is not written) and prints its executions and its coverage
# (libFuzzer's cov: edges and ft: features) at the start and at the end.
#
#   fuzz/native/run.sh [SECONDS]     per run, default 30
#   KX_FUZZ_KEEP=DIR                 keep the grown corpora in DIR/TARGET
#   CLANGXX=clang++-NN               the compiler (default clang++-19)
#   KX_FUZZ_RUNS="fir:avx512"        other runs (target:masks, as below)
#
# Exits non-zero on a finding (a crash, a sanitizer report or a failed
# property), leaving the reproducer and the log in the work folder it names.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../../src/native" && pwd)
secs=${1:-30}
cxx=${CLANGXX:-clang++-19}
command -v "$cxx" >/dev/null || { echo "fuzz: $cxx not found" >&2; exit 1; }
work=$(mktemp -d /tmp/kestrix-libfuzzer.XXXXXX)

# -ffp-contract=off as in the real build: clang contracts within a
# statement by default, which would change the defined results.
flags=(-std=c++20 -O1 -g -ffp-contract=off -fno-omit-frame-pointer -Wall -Wextra -Werror
       -fsanitize=address,undefined -fno-sanitize-recover=undefined "-I$src" "-I$here")
cores=()
for f in "$src"/agc/*.cpp "$src"/filter/*.cpp "$src"/channel/*.cpp "$src"/kx_tlm/*.cpp \
         "$src"/blocks/*.cpp "$src"/common/cpu.cpp; do
  case $f in *_binding.cpp) ;; *) cores+=("$f") ;; esac
done
objs=()
for f in "${cores[@]}"; do
  o="$work/$(basename "$f" .cpp).o"
  "$cxx" "${flags[@]}" -fsanitize=fuzzer-no-link -c "$f" -o "$o" || exit 1
  objs+=("$o")
done

# target:variants (the CPU features masked in each run; "-" masks none)
runs=${KX_FUZZ_RUNS:-"fir:-,avx512,avx512+avx2 args:-,avx512,avx512+avx2 blobs:-
                      firdec:-,avx512,avx512+avx2 rotator:-,avx512,avx512+avx2
                      blocks:-,avx512,avx512+avx2"}
failed=0
for run in $runs; do
  t=${run%%:*}
  "$cxx" "${flags[@]}" -fsanitize=fuzzer "$here/fuzz_$t.cpp" "${objs[@]}" -o "$work/fuzz_$t" || exit 1
  corpus="$work/corpus-$t"
  mkdir -p "$corpus"
  cp "$here/corpus/$t"/* "$corpus"/ 2>/dev/null
  variants=${run#*:}
  for mask in ${variants//,/ }; do
    mask=${mask//-/}
    log="$work/$t-${mask:-all}.log"
    KESTRIX_DISABLE_CPU_FEATURES=${mask//+/,} timeout $((secs * 2 + 60)) "$work/fuzz_$t" \
      -max_total_time="$secs" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/$t-" "$corpus" >"$log" 2>&1
    rc=$?
    start=$(grep -m1 -oE 'INITED cov: [0-9]+ ft: [0-9]+' "$log" | sed 's/INITED //')
    end=$(grep -oE 'DONE +cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$log" | tail -1 | sed 's/DONE *//')
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ "$rc" -ne 0 ] || [ -z "$end" ]; then
      echo "fuzz $t (${mask:-widest}): FAILED (exit $rc), log and reproducer in $work" >&2
      grep -E 'finding|ERROR|runtime error|SUMMARY' "$log" | head -20 >&2
      failed=1
    else
      echo "fuzz $t (${mask:-widest}): ${execs:-?} executions in ${secs}s; ${start:-?} -> $end"
    fi
  done
  if [ -n "${KX_FUZZ_KEEP:-}" ]; then
    mkdir -p "$KX_FUZZ_KEEP/$t" && cp "$corpus"/* "$KX_FUZZ_KEEP/$t"/ 2>/dev/null
  fi
done
[ "$failed" -eq 0 ] && rm -rf "$work"
exit "$failed"
