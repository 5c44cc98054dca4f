"""Tap files: the taps a user gives ``--taps``, and those ``design --taps-out`` writes.

Two forms, by name: ``NAME.npy``, a one-dimensional NumPy array (float32 or
complex64 as they are; any other float or complex type converted), and any
other name, text with one tap per line (``0.25``, ``-1.5e-3``, ``0.1+0.2j``;
blank lines and lines starting with ``#`` are skipped).  Taps become float32
when all are real, the FIR's real-tap path, else complex64.  A conversion
that changes a value is reported in a note; text written as float32's own
shortest decimals (as ``design`` writes them) reads back exactly, without one.

Examples
--------
>>> import io
>>> taps, notes = parse_text(io.StringIO("# three taps\\n0.25\\n0.5\\n0.25\\n"), "t.txt")
>>> taps.dtype, taps.tolist(), notes
(dtype('float32'), [0.25, 0.5, 0.25], [])
>>> linear_phase_delay(taps)
1
>>> linear_phase_delay(np.array([1.0, 0.5], np.float32)) is None
True
"""

from __future__ import annotations

import io

import numpy as np

from ._errors import CliError, os_error

MAX_TAPS = 16383
MAX_FILE_BYTES = 1 << 20  # 16383 complex128 taps are 262 KB as .npy, under 1 MB as text


def _is_npy(path: str) -> bool:
    return path.lower().endswith(".npy")


def half(n: int) -> int | float:
    """(n - 1) / 2, an int when whole: the delay of n symmetric taps."""
    return (n - 1) // 2 if n % 2 else (n - 1) / 2


def linear_phase_delay(taps: np.ndarray) -> int | float | None:
    """The group delay in samples of linear-phase taps, else None.

    Taps are linear phase when they equal their reversed conjugate or its
    negative (for real taps: symmetric or antisymmetric); the delay is then
    (n - 1) / 2 at every frequency.
    """
    mirror = np.conj(taps[::-1])
    if np.array_equal(taps, mirror) or np.array_equal(taps, -mirror):
        return half(len(taps))
    return None


def _narrowed(wide: np.ndarray, text: bool) -> tuple[np.ndarray, int, float]:
    """float32/complex64 of ``wide`` (float64/complex128), the values it changed and the
    largest relative change.  For text, a value changes unless float32's shortest
    decimal of it reads back as the same number."""
    narrow = wide.astype(np.complex64 if wide.dtype.kind == "c" else np.float32)
    parts = [(narrow.real, wide.real), (narrow.imag, wide.imag)] if wide.dtype.kind == "c" else [
        (narrow, wide)]
    changed = np.zeros(len(wide), bool)
    for n, w in parts:
        back = np.array([float(str(v)) for v in n]) if text else n.astype(np.float64)
        changed |= back != w
    with np.errstate(divide="ignore", invalid="ignore"):
        rel = np.abs(narrow.astype(wide.dtype) - wide) / np.abs(wide)
    worst = float(np.max(rel[changed & (wide != 0)], initial=0.0))
    return narrow, int(np.count_nonzero(changed)), worst


def parse_text(f, name: str) -> tuple[np.ndarray, list[str]]:
    """Taps from text, one per line; returns the taps and notes."""
    values, cplx = [], False
    for lineno, line in enumerate(f, 1):
        tok = line.strip()
        if not tok or tok.startswith("#"):
            continue
        try:
            v = float(tok)
        except ValueError:
            try:
                v = complex(tok)
            except ValueError:
                raise CliError(f"{name} line {lineno}: {tok[:40]!r} is not a tap (one number a "
                               f"line: real like 0.25 or complex like 0.25-0.1j)", 2) from None
            cplx = True
        values.append(v)
        if len(values) > MAX_TAPS:
            raise CliError(f"{name}: more than {MAX_TAPS} taps", 2)
    wide = np.array(values, np.complex128 if cplx else np.float64)
    return _checked(wide, name, text=True)


def _checked(taps: np.ndarray, name: str, *, text: bool) -> tuple[np.ndarray, list[str]]:
    if taps.ndim != 1:
        raise CliError(f"{name}: taps of shape {taps.shape}; give a one-dimensional array", 2)
    if not len(taps):
        raise CliError(f"{name}: holds no taps", 2)
    if len(taps) > MAX_TAPS:
        raise CliError(f"{name}: {len(taps)} taps; at most {MAX_TAPS}", 2)
    if taps.dtype.kind not in "fc":
        raise CliError(f"{name}: taps of dtype {taps.dtype}; give float32 or complex64 (float64 "
                       f"and complex128 are converted)", 2)
    if not np.all(np.isfinite(taps)):
        raise CliError(f"{name}: a tap is not a finite number", 2)
    notes = []
    if taps.dtype not in (np.float32, np.complex64):
        wide = taps.astype(np.complex128 if taps.dtype.kind == "c" else np.float64)
        kind = "text" if text else f"{taps.dtype}"
        taps, changed, worst = _narrowed(wide, text)
        if not np.all(np.isfinite(taps)):
            raise CliError(f"{name}: a tap is too large for float32", 2)
        if changed:
            notes.append(f"{name}: {changed} of {len(taps)} {kind} taps changed in the "
                         f"conversion to {taps.dtype} (largest relative change {worst:.2g})")
    return taps.astype(taps.dtype.newbyteorder("=")), notes


def read_taps(path: str) -> tuple[np.ndarray, list[str]]:
    """The taps in ``path`` (float32 or complex64) and notes on their conversion.

    At most :data:`MAX_FILE_BYTES` are read, from a file or a pipe alike
    (``--taps <(program)``), so that no name (``/dev/zero``) can make it
    read without end.
    """
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_FILE_BYTES + 1)
    except FileNotFoundError:
        raise CliError(f"{path}: no such file", 2) from None
    except OSError as e:
        raise os_error(path, e) from None
    if len(data) > MAX_FILE_BYTES:
        raise CliError(f"{path}: larger than {MAX_FILE_BYTES:,} bytes, more than any file of "
                       f"{MAX_TAPS} taps", 2)
    if not _is_npy(path):
        return parse_text(io.StringIO(data.decode("utf-8", errors="replace")), path)
    try:
        taps = np.load(io.BytesIO(data), allow_pickle=False)
    except (ValueError, EOFError, OSError) as e:
        raise CliError(f"{path}: not a readable .npy array of taps ({e})", 2) from None
    return _checked(np.asarray(taps), path, text=False)


def write_taps(fileobj, taps: np.ndarray, path: str, comment: str) -> None:
    """``taps`` as ``path``'s name says: .npy, else text of float32's shortest decimals."""
    if _is_npy(path):
        np.save(fileobj, taps)
        return
    lines = [f"# {comment}"] + [str(v) for v in taps]
    fileobj.write(("\n".join(lines) + "\n").encode("ascii"))


def describe_delay(delay: int | float | None) -> str:
    return "not linear phase" if delay is None else f"group delay {delay:g} samples"

