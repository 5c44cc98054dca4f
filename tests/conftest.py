"""Shared helpers of the test suite."""

from __future__ import annotations

import numpy as np
import pytest

from kestrix.agc import AGC
from kestrix.filter import FIR, MovingAverage, design_lowpass


def bits(a) -> np.ndarray:
    """The bit pattern of a complex64 array: -0.0 and NaN payloads count."""
    return np.ascontiguousarray(a, np.complex64).view(np.uint32)


# ------------------------------------------------------------------ the kestrix command


def cli_signal(n: int, seed: int = 7) -> np.ndarray:
    """Bursty test recording: levels 40 dB apart so the AGC really moves."""
    rng = np.random.default_rng(seed)
    x = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)
    level = np.where((np.arange(n) // 300) % 2 == 0, 0.5, 0.005).astype(np.float32)
    return (x * level).astype(np.complex64)


def library_chain(x, *, lowpass=None, agc=True, average=None, average_gain=1.0, decim=8,
                  ref_db=0.0, loop_bw=0.0025, alpha=0.05, clip_db=120.0):
    """The command's chain as direct library calls on the whole array."""
    y = x
    if lowpass is not None:
        y = FIR(design_lowpass(*lowpass)).execute(y)
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
