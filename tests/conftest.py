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

import contextlib
import ctypes
import os
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import agc_reference as ref
from kestrix.agc import AGC
from kestrix.filter import FIR, MovingAverage, design_lowpass

# tqdm's monitor thread wakes every few seconds and allocates: the
# allocation-count checks (test_leaks, test_nomemory) must see this thread's
# blocks only, so progress bars shown by in-process runs of the command start
# no monitor.
try:
    import tqdm as _tqdm
except ImportError:
    pass
else:
    _tqdm.tqdm.monitor_interval = 0

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


# ------------------------------------------------------------ the kestrix command

def cli_signal(n: int, seed: int = 7) -> np.ndarray:
    """Bursty test recording: levels 40 dB apart so the AGC really moves."""
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)
    level = np.where((np.arange(n) // 300) % 2 == 0, 0.5, 0.005).astype(np.float32)
    return (x * level).astype(np.complex64)


def library_chain(x, *, lowpass=None, taps=None, agc=True, average=None, average_gain=1.0,
                  decim=8, ref_db=0.0, loop_bw=0.0025, alpha=0.05, clip_db=120.0, shift=None,
                  decimate=1):
    """The command's chain as direct library calls on the whole array; a two-dimensional
    ``x`` is taken column by column, each channel through a chain of its own.  ``shift``
    is in cycles per sample."""
    if np.ndim(x) == 2:
        return np.stack([library_chain(np.ascontiguousarray(c), lowpass=lowpass, taps=taps,
                                       agc=agc, average=average, average_gain=average_gain,
                                       decim=decim, ref_db=ref_db, loop_bw=loop_bw, alpha=alpha,
                                       clip_db=clip_db, shift=shift, decimate=decimate)
                         for c in x.T], axis=1)
    y = x
    if shift is not None:
        from kestrix.channel import Rotator

        y = Rotator(shift).steps(y)
    h = design_lowpass(*lowpass) if lowpass is not None else taps
    if h is not None and decimate == 1:
        y = FIR(h).execute(y)
    elif h is not None:
        from kestrix.channel import FIRDecimator

        y = FIRDecimator(h, decimate).execute(y)
    if agc:
        a = AGC(ref_db, loop_bw, alpha)
        a.decim = decim
        a.clip_db = clip_db
        y = a.steps(y)
    if average is not None:
        y = MovingAverage(average, average_gain).steps(y)
    return y


def write_raw(path, x) -> str:
    np.ascontiguousarray(x, "<c8").tofile(path)
    return str(path)


def read_raw(path) -> np.ndarray:
    return np.fromfile(path, "<c8")


def write_sigmf(base, data: bytes, datatype: str, **global_fields) -> str:
    """A SigMF pair written with the sigmf library; returns the .sigmf-meta name."""
    sigmf = pytest.importorskip("sigmf")
    data_path = str(base) + ".sigmf-data"
    with open(data_path, "wb") as f:
        f.write(data)
    g = {"core:datatype": datatype, "core:sample_rate": 48000.0, **global_fields}
    smf = sigmf.SigMFFile(data_file=data_path, global_info=g)
    smf.add_capture(0, metadata={"core:frequency": 433.92e6, "core:datetime": "2024-05-01T12:00:00Z"})
    smf.add_annotation(10, 20, metadata={"core:comment": "a burst"})
    smf.tofile(str(base) + ".sigmf-meta")
    return str(base) + ".sigmf-meta"


def one_line(err: str) -> str:
    """The only line of ``err``, which must hold no traceback."""
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert "Traceback" not in err
    return lines[0]


def run_cli(capsys, *argv):
    """``kestrix.cli.main(argv)`` -> (exit status, stdout, stderr)."""
    from kestrix.cli import main

    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def _default_sighup() -> None:
    signal.signal(signal.SIGHUP, signal.SIG_DFL)


def kestrix_child(*argv, **popen):
    """``python -m kestrix ARGV`` as a child process (a Popen; pipes as the caller asks),
    with SIGHUP at its default even when the suite runs under nohup, which ignores it."""
    popen.setdefault("preexec_fn", _default_sighup)
    return subprocess.Popen([sys.executable, "-m", "kestrix", *map(str, argv)], **popen)


def wait_for_part(folder, child, timeout=60.0):
    """Wait until the child writes a temporary output (a .part file) in ``folder`` or in a
    folder below it."""
    end = time.monotonic() + timeout
    while time.monotonic() < end and child.poll() is None:
        for _, _, names in os.walk(folder):
            if any(n.endswith(".part") for n in names):
                return
        time.sleep(0.002)
    pytest.fail("the child never started writing")


# ------------------------------------------------------------ a real Dask cluster

DASK_WORKERS = 2
DASK_START_TIMEOUT = 60.0  # seconds; a cold start on a loaded machine takes ~5


def free_port() -> int:
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _die_with_parent() -> None:
    # Runs in the child before exec: if the test process is killed outright,
    # the kernel sends SIGTERM, so no scheduler or worker outlives the run.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _start(args: list[str], log: Path, cwd: Path) -> subprocess.Popen:
    with open(log, "wb") as out:
        return subprocess.Popen(
            [sys.executable, "-m", "dask", *args], cwd=cwd, stdin=subprocess.DEVNULL,
            stdout=out, stderr=subprocess.STDOUT,
            preexec_fn=_die_with_parent if sys.platform == "linux" else None)


def _stop(procs: list[subprocess.Popen]) -> None:
    """SIGTERM to each process by its id, last one first, each waited for
    (SIGKILL if it hangs) before the next: a worker told to stop while its
    scheduler closes can hang in its own shutdown."""
    for p in reversed(procs):
        if p.poll() is None:
            p.terminate()
        try:
            p.wait(timeout=20)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def _tail(log: Path, lines: int = 20) -> str:
    return "\n".join(log.read_text(errors="replace").splitlines()[-lines:])


@contextlib.contextmanager
def dask_processes(workdir: Path, n_workers: int = DASK_WORKERS):
    """A real cluster of child processes on 127.0.0.1: ``dask scheduler`` and
    `n_workers` ``dask worker`` processes of one thread each, without nannies,
    so every process of the cluster is a child of this one.

    Yields the scheduler's address once every worker has registered, and
    stops the processes by their ids on exit.  Logs go to `workdir`.
    """
    from distributed import Client

    procs: list[subprocess.Popen] = []
    try:
        for attempt in range(3):  # a port found free can be taken before use
            port = free_port()
            log = workdir / f"scheduler-{attempt}.log"
            scheduler = _start(["scheduler", "--host", "127.0.0.1", "--port", str(port),
                                "--no-dashboard"], log, workdir)
            procs.append(scheduler)
            address = f"tcp://127.0.0.1:{port}"
            for i in range(n_workers):
                procs.append(_start(
                    ["worker", address, "--host", "127.0.0.1", "--worker-port", str(free_port()),
                     "--nthreads", "1", "--no-nanny", "--no-dashboard", "--name", f"w{i}",
                     "--local-directory", str(workdir), "--death-timeout", "60"],
                    workdir / f"worker-{attempt}-{i}.log", workdir))
            deadline = time.monotonic() + DASK_START_TIMEOUT
            while scheduler.poll() is None and time.monotonic() < deadline:
                try:
                    with Client(address, timeout=2) as client:
                        client.wait_for_workers(n_workers, timeout=deadline - time.monotonic())
                    break
                except (OSError, TimeoutError):
                    time.sleep(0.2)
            else:
                if scheduler.poll() is not None and attempt < 2:
                    _stop(procs)
                    continue
                logs = "\n".join(f"--- {f.name}\n{_tail(f)}"
                                  for f in sorted(workdir.glob(f"*-{attempt}*.log")))
                raise RuntimeError(f"the dask cluster did not start:\n{logs}")
            yield address
            return
    finally:
        _stop(procs)


@pytest.fixture(scope="session")
def dask_scheduler(tmp_path_factory):
    """Address of a real two-worker Dask cluster (child processes), shared by
    the session and stopped at its end."""
    pytest.importorskip("distributed")
    with dask_processes(tmp_path_factory.mktemp("dask-cluster")) as address:
        yield address


# ------------------------------------------------------------ block splits


def random_splits(rng, n, short=20, long=5000):
    """Cut points of n samples into blocks of random sizes: mostly short
    (empty ones included), now and then longer than the native work
    buffer's stretch."""
    cuts, i = [], 0
    while i < n:
        i += int(rng.integers(0, long if rng.random() < 0.2 else short))
        cuts.append(min(i, n))
    return cuts[:-1]
