"""Helpers shared by the test modules.

- Bit-exact comparison: results are defined bit for bit, so arrays are
  compared through their bit patterns (-0.0 and NaN payloads count).
- An AGC paired with the scalar model of tests/agc_reference.py.
- A script run in a child interpreter with some kernel variants masked.
- Whether the AddressSanitizer runtime is loaded (.ci/sanitize.sh), and
  the bytes in use on the C heap.
- A ctypes mirror of the telemetry context behind a capsule, which reads the
  memory the native code shares and writes records as the producer does.
- Native test programs (tests/native) compiled against the cores.

The tests folder is on the import path (pytest's ``pythonpath`` setting), so
test modules import these with ``from conftest import ...``.
"""

import ctypes
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np

import agc_reference as ref
from kestrix.agc import AGC

# ------------------------------------------------------------ bits


def bits(a):
    """Bit view of a float32 or complex64 array (uint64 for wider items)."""
    a = np.ascontiguousarray(a)
    return a.view(np.uint32 if a.dtype.itemsize in (4, 8) else np.uint64)


def same_bits(a, b):
    """Same dtype, same shape and the same bit patterns."""
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(bits(a), bits(b))


# ------------------------------------------------------------ AGC and model


def make(**config):
    """An AGC and its model, configured alike through the properties."""
    ctor = {k: config.pop(k) for k in ("ref_db", "loop_bw", "alpha") if k in config}
    a = AGC(**ctor)
    m = ref.AGCModel(**ctor)
    for k, v in config.items():
        setattr(a, k, v)
        # The unsigned properties wrap on the way in.
        setattr(m, k, v & ref.U64 if isinstance(v, int) else v)
    return a, m


def field(agc, name):
    """One field of the AGC's state blob."""
    return ref.blob_field(agc.get_state(), name)


# ------------------------------------------------------------ kernel variants


def run_masked(script, mask):
    """The words that script prints, run in a child interpreter whose kernel
    variants are masked by KESTRIX_DISABLE_CPU_FEATURES=mask (the variant is
    chosen once per process, so it cannot be switched in this one)."""
    env = dict(os.environ, KESTRIX_DISABLE_CPU_FEATURES=mask)
    run = subprocess.run([sys.executable, "-c", script], env=env,
                         capture_output=True, text=True, check=True)
    return run.stdout.split()


# ------------------------------------------------------------ sanitizer


def under_sanitizer():
    """True when the AddressSanitizer runtime is loaded into this process."""
    try:
        with open("/proc/self/maps", encoding="ascii", errors="replace") as f:
            return "libasan" in f.read()
    except OSError:
        return False


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def _heap_probe():
    """Bytes in use on the C heap, or None where glibc's mallinfo2 is missing
    or replaced (the sanitizer runtime answers zeros)."""
    try:
        fn = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    fn.restype = _MallInfo2
    fn.argtypes = []
    if fn().uordblks == 0:
        return None
    return lambda: fn().uordblks + fn().hblkhd


# Allocated bytes on the C heap (the native records, delay lines and work
# buffers live there), or None where that cannot be measured.
HEAP_IN_USE = _heap_probe()


# ------------------------------------------------------------ telemetry mirror

CAPSULE_NAME = b"kestrix.telemetry.kx_tlm"

capsule_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_get_pointer.restype = ctypes.c_void_p
capsule_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


class Probe(ctypes.Structure):
    _fields_ = [
        ("name", ctypes.c_char * 32),
        ("period", ctypes.c_uint32),
        ("count", ctypes.c_uint32),
        ("emitted", ctypes.c_uint64),
    ]


class Ctx(ctypes.Structure):
    _fields_ = [
        ("ring_ctl", ctypes.c_void_p),
        ("stamp", ctypes.c_uint64),
        ("n_probes", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32),
        ("probes", Probe * 64),
    ]


class Ring(ctypes.Structure):
    _fields_ = [
        ("recs", ctypes.c_void_p),
        ("mask", ctypes.c_uint64),
        ("capacity", ctypes.c_uint64),
        ("gap0", ctypes.c_uint8 * 40),
        ("head", ctypes.c_uint64),
        ("gap1", ctypes.c_uint8 * 56),
        ("tail", ctypes.c_uint64),
        ("gap2", ctypes.c_uint8 * 56),
        ("dropped", ctypes.c_uint64),
        ("gap3", ctypes.c_uint8 * 56),
    ]


class Rec(ctypes.Structure):
    _fields_ = [
        ("stamp", ctypes.c_uint64),
        ("value", ctypes.c_float),
        ("probe", ctypes.c_uint16),
        ("pad", ctypes.c_uint16),
    ]


class Mirror:
    """The context behind a capsule, seen through the layout mirror."""

    def __init__(self, capsule):
        self.capsule = capsule  # keeps the memory alive while mirrored
        self.address = capsule_get_pointer(capsule, CAPSULE_NAME)
        self.ctx = Ctx.from_address(self.address)
        self.ring = Ring.from_address(self.ctx.ring_ctl)
        self.capacity = self.ring.capacity
        self.recs = (Rec * self.capacity).from_address(self.ring.recs)

    def produce(self, stamp, value, probe):
        """One record the way the native producer writes it; False when full."""
        ring = self.ring
        head, tail = ring.head, ring.tail
        if ring.capacity == 0 or head - tail >= ring.capacity:
            ring.dropped += 1
            return False
        rec = self.recs[head & ring.mask]
        rec.stamp, rec.value, rec.probe, rec.pad = stamp, value, probe, 0
        ring.head = head + 1
        return True


# ------------------------------------------------------------ native programs

NATIVE_SRC = Path(__file__).resolve().parent.parent / "src" / "native"


def build_native(program, sources, out_dir):
    """The executable of tests/native/PROGRAM.cpp linked with the given core
    sources (paths below src/native), or None without a C++ compiler.

    KX_NATIVE_CXXFLAGS adds flags, for example a sanitizer's in CI."""
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        return None
    exe = Path(out_dir) / program
    flags = ["-std=c++20", "-O2", "-ffp-contract=off", "-Wall", "-Wextra",
             "-pthread", f"-I{NATIVE_SRC}"]
    flags += shlex.split(os.environ.get("KX_NATIVE_CXXFLAGS", ""))
    files = [str(Path(__file__).resolve().parent / "native" / f"{program}.cpp")]
    files += [str(NATIVE_SRC / s) for s in sources]
    # The sanitizer run preloads its runtime into every child; the compiler
    # is not the code under test.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([cxx, *flags, *files, "-o", str(exe)], check=True, env=env)
    return exe
