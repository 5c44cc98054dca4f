#!/usr/bin/env bash
# Coverage-guided fuzzing of the native cores: the libFuzzer targets of
# fuzz/native, built with clang, each run for a time budget (the kernel
# targets once per instruction-set variant).  Installs Debian 12's clang 19
# and its sanitizer and fuzzer runtimes when they are missing.
#
#   .ci/fuzz.sh            30 s per run (about 5 minutes in all)
#   KX_FUZZ_NATIVE_SECONDS=N  per run
set -euo pipefail
cd "$(dirname "$0")/.."
export CLANGXX=${CLANGXX:-clang++-19}

# A fuzzer that links is the test that the compiler and the runtimes are there.
have_fuzzer() {
  printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char *, unsigned long) { return 0; }\n' \
    | "$CLANGXX" -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null
}
if ! have_fuzzer; then
  echo "installing clang-19 and libclang-rt-19-dev"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y -qq clang-19 libclang-rt-19-dev >/dev/null 2>&1 \
    || { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq clang-19 libclang-rt-19-dev >/dev/null 2>&1; } \
    || true
  have_fuzzer || { echo "clang-19 with libFuzzer (Debian: clang-19, libclang-rt-19-dev) cannot be had" >&2; exit 1; }
fi
fuzz/native/run.sh "${KX_FUZZ_NATIVE_SECONDS:-30}"
