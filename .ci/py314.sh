#!/usr/bin/env bash
# The whole test suite on the target interpreter: CPython 3.14 with NumPy 2.x
# from Debian, in a chroot, built without build isolation against Debian's
# NumPy headers and with a second compiler version (warnings as errors).
set -euo pipefail
cd "$(dirname "$0")/.."
py314=${KX_PY314:-$(pwd)/../shared/tools/py314}
[ -x "$py314" ] || { echo "py314 tool not found at $py314" >&2; exit 1; }
# Debian's Dask and distributed for the tests of kestrix.dask (a real
# scheduler and workers run as child processes inside the chroot).
export KX_PY314_EXTRA_PACKAGES="python3-scipy python3-matplotlib python3-tqdm python3-jsonschema
  python3-dask python3-distributed"
export KX_PY314_QUIET=1
"$py314" setup

# The chroot installs from Debian only; sigmf (pure Python, not packaged by
# Debian) is fetched on the host and handed in as a wheel.
stage=$(mktemp -d /tmp/kestrix-py314.XXXXXX)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/repo" "$stage/wheels"
git ls-files -z | xargs -0 cp --parents -t "$stage/repo"
python3 -m pip download -q --no-deps --only-binary=:all: -d "$stage/wheels" sigmf

"$py314" run --copy "$stage" -- bash -c '
  set -e
  pip install -q --no-deps /src/wheels/*.whl
  cd /src/repo
  pip install -q --no-build-isolation --no-deps -C cmake.define.KESTRIX_WERROR=ON .
  python -c "import sys, numpy; print(\"python\", sys.version.split()[0], \"numpy\", numpy.__version__)"
  python -m pytest -q -p no:cacheprovider
'
