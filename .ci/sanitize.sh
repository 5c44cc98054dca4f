#!/usr/bin/env bash
# The whole test suite, once per kernel variant, and the short fuzz runs,
# against a build of the native modules with AddressSanitizer and
# UndefinedBehaviorSanitizer (symbols kept, so reports name their lines).
#
# The interpreter itself is not instrumented, so GCC's ASan runtime is
# preloaded into it (it must come first in the library list), and the
# interpreter's allocations go through malloc (PYTHONMALLOC=malloc) so that
# ASan also guards the buffers of bytes and NumPy objects that the modules
# write into.  Leak detection runs at exit; .ci/lsan.supp names the
# allocators whose blocks the interpreter keeps until exit by design.  Any
# report (ASan, UBSan or LSan) fails the run.
#
#   .ci/sanitize.sh              build, test suite per variant, short fuzz runs
#   KX_SAN_FUZZ=0 .ci/sanitize.sh   without the fuzz runs
#   KX_SAN_VARIANTS="avx512,avx2"   the masks to run (default: none, avx512,
#                                   avx512,avx2; "-" stands for none)
#   KX_SAN_SUITE_SECONDS=1200       time budget of one suite run
#   KX_SAN_PYTEST_ARGS="-k agc"     extra pytest arguments (local use)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
py=${PYTHON:-python3}
started=$(date +%s)
say() { printf '== [sanitize %ss] %s\n' "$(($(date +%s) - started))" "$*"; }

asan=$(gcc -print-file-name=libasan.so)
ubsan=$(gcc -print-file-name=libubsan.so)
for lib in "$asan" "$ubsan"; do
  [ -f "$lib" ] || { echo "sanitizer runtime not found: $lib" >&2; exit 1; }
done

work=$(mktemp -d /tmp/kestrix-san.XXXXXX)
trap 'rm -rf "$work"' EXIT
# System site packages keep the install short where the test dependencies
# are already there; pip installs whatever is missing.
"$py" -m venv --system-site-packages "$work/env"
vpy="$work/env/bin/python"
"$vpy" -m pip install -q --upgrade pip
"$vpy" -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0"

say "build with KESTRIX_SANITIZE=ON"
# No wheel cache: pip would hand back the plain build of the same folder.
"$vpy" -m pip install -q --no-cache-dir --no-build-isolation -C cmake.define.KESTRIX_SANITIZE=ON \
  -C install.strip=false -C build-dir="$work/build" "$root[test]"
# The installed modules must really be the instrumented ones.  ldd's output
# is taken whole first: grep -q leaving early would kill ldd with SIGPIPE,
# and pipefail would then call an instrumented module "not instrumented".
for so in "$work"/env/lib/python3*/site-packages/kestrix/*.so; do
  deps=$(ldd "$so")
  grep -q libasan <<<"$deps" || { echo "not instrumented: $so" >&2; exit 1; }
done

export LD_PRELOAD="$asan $ubsan"
export PYTHONMALLOC=malloc
# malloc_context_size=2 keeps, per allocation, the allocator's own frame
# only: that is what the suppressions match (see .ci/lsan.supp).  Huge
# requests return NULL (NumPy's MemoryError) instead of aborting.
export ASAN_OPTIONS="detect_leaks=1:malloc_context_size=2:allocator_may_return_null=1:halt_on_error=1:abort_on_error=0:detect_odr_violation=0"
export LSAN_OPTIONS="suppressions=$root/.ci/lsan.supp:print_suppressions=0:exitcode=23"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# The suite's native test programs are built with the same sanitizers.
export KX_NATIVE_CXXFLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -g"

# Every report is a finding.  The runtimes write to file descriptor 2, so
# pytest captures at the Python level only (--capture=sys): a report from
# inside a test reaches the log even when it ends the process.
check_reports() {
  if grep -qE "ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:" "$2"; then
    echo "sanitizer report in the $1 (above)" >&2
    exit 1
  fi
}

# Every kernel variant: the widest, then with the wider instruction sets
# masked.  Each run is time-boxed, so that a hang fails here rather than
# running into CI's own limit.
budget=${KX_SAN_SUITE_SECONDS:-1200}
for mask in ${KX_SAN_VARIANTS:-- avx512 avx512,avx2}; do
  [ "$mask" = - ] && mask=
  say "test suite under ASan + UBSan + LSan, KESTRIX_DISABLE_CPU_FEATURES=$mask"
  set +e
  (cd "$root" && KESTRIX_DISABLE_CPU_FEATURES=$mask timeout "$budget" \
     "$vpy" -m pytest -q -p no:cacheprovider --capture=sys ${KX_SAN_PYTEST_ARGS:-}) 2>&1 \
    | tee "$work/pytest.log"
  rc=${PIPESTATUS[0]}
  set -e
  check_reports "test suite" "$work/pytest.log"
  [ "$rc" -ne 124 ] || { echo "test suite exceeded its ${budget}s budget under the sanitizers" >&2; exit 1; }
  [ "$rc" -eq 0 ] || { echo "test suite failed under the sanitizers (exit $rc)" >&2; exit "$rc"; }
  say "test suite clean"
done

if [ "${KX_SAN_FUZZ:-1}" = 1 ]; then
  "$vpy" -m pip install -q atheris
  say "short fuzz runs under the same build"
  # atheris brings its own libFuzzer; its leak checks would duplicate
  # LSan's at exit, which stays on.
  set +e
  PYTHON="$vpy" KX_FUZZ_ARTIFACTS="$work/fuzz" "$root/fuzz/run.sh" short 2>&1 | tee "$work/fuzz.log"
  rc=${PIPESTATUS[0]}
  set -e
  check_reports "fuzz runs" "$work/fuzz.log"
  [ "$rc" -eq 0 ] || { echo "fuzzing failed under the sanitizers" >&2; exit "$rc"; }
fi
say "done"
