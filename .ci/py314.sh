#!/usr/bin/env bash
# The whole test suite on the target interpreter: CPython 3.14 with NumPy 2.x
# from Debian, in a chroot, built without build isolation against Debian's
# NumPy headers and with a second compiler version (warnings as errors).
set -euo pipefail
cd "$(dirname "$0")/.."
py314=${KX_PY314:-../shared/tools/py314}
[ -x "$py314" ] || { echo "py314 tool not found at $py314" >&2; exit 1; }
export KX_PY314_EXTRA_PACKAGES="python3-scipy python3-matplotlib python3-tqdm python3-jsonschema"
export KX_PY314_QUIET=1
"$py314" setup
# sigmf is not packaged by Debian: it comes from PyPI (pure Python, no deps
# beyond what the chroot has).
"$py314" run --copy -e PIP_NO_INDEX=0 . -- bash -c '
  set -e
  pip install -q --no-deps sigmf
  pip install -q --no-build-isolation --no-deps -C cmake.define.KESTRIX_WERROR=ON .
  cd /src && python -m pytest -q -p no:cacheprovider
'
