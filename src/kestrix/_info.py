"""The ``kestrix info`` command: what a recording holds, for people or as JSON."""

from __future__ import annotations

import json
import os

from ._sources import STDIO, open_source
from .cli import fmt_count, fmt_rate, fmt_seconds

FORMAT_TITLES = {"sigmf": "SigMF pair", "sigmf-archive": "SigMF archive", "raw": "raw samples",
                 "npy": "NumPy .npy"}
STAGE_KEYS = {"lowpass_fir": ("num_taps", "taps"), "fir": ("num_taps", "taps"),
              "agc": ("ref_db", "dB ref"), "moving_average": ("len", "samples")}


def _stage(rec) -> str:
    if not isinstance(rec, dict):
        return "?"
    name = str(rec.get("stage", "?"))
    key, unit = STAGE_KEYS.get(name, (None, ""))
    return f"{name} ({rec[key]:g} {unit})" if isinstance(rec.get(key), (int, float)) else name


def processing_line(rec) -> str:
    """One line of a ``kestrix:processing`` record, whatever hand edits left of it."""
    if not isinstance(rec, dict):
        return "a record kestrix cannot read"
    chain = rec.get("chain") if isinstance(rec.get("chain"), list) else []
    text = f"{rec.get('version', '?')}, from {rec.get('source', '?')}: "
    text += " -> ".join(_stage(s) for s in chain) or "no stages (a copy)"
    delay = rec.get("group_delay_samples")
    if isinstance(delay, (int, float)):
        text += f"; group delay {delay:g} samples"
    elif "group_delay_samples" in rec:
        text += "; not linear phase"
    return text


def _frequency(captures: list) -> str | None:
    freqs = [c.get("core:frequency") for c in captures if isinstance(c, dict)]
    freqs = [f for f in freqs if isinstance(f, (int, float))]
    if not freqs:
        return None
    return fmt_rate(freqs[0]) + ("" if len(set(freqs)) == 1 else
                                 f" (first capture; {len(set(freqs))} frequencies in all)")


def describe(src, rate: float | None) -> list[tuple[str, str]]:
    """(label, value) rows of the human summary."""
    files = [f for f in src.files if os.path.isfile(f)]
    size = sum(os.path.getsize(f) for f in files)
    where = ", ".join(files) + f" ({fmt_count(size)} bytes)" if files else (
        "standard input" if src.path == STDIO else "a stream")
    rows = [("format", f"{FORMAT_TITLES.get(src.fmt, src.fmt)}: {where}"),
            ("datatype", f"{src.stype.name}, {src.stype.sample_bytes} bytes per sample"),
            ("channels", f"{src.channels}" + (
                "" if src.channels == 1 else ", the columns of a (samples, channels) array"
                if src.columns else ", interleaved sample by sample")),
            ("samples", "unknown until the stream ends" if src.count is None else
             fmt_count(src.count) + (" per channel" if src.channels > 1 else ""))]
    if src.count is not None:
        rows.append(("duration", fmt_seconds(src.count / rate) if rate else
                     "unknown (no sample rate; give --rate)"))
    rows.append(("rate", fmt_rate(rate) if rate else "unknown"))
    meta = src.meta or {}
    g = meta.get("global", {})
    captures = meta.get("captures") or []
    freq = _frequency(captures)
    if freq:
        rows.append(("frequency", freq))
    if src.meta is not None:
        rows += [("captures", fmt_count(len(captures))),
                 ("annotations", fmt_count(len(meta.get("annotations") or [])))]
    if isinstance(g.get("core:description"), str):
        rows.append(("description", " ".join(g["core:description"].split())[:200]))
    if "kestrix:processing" in g:
        rows.append(("kestrix", processing_line(g["kestrix:processing"])))
    return rows


def info(args) -> int:
    src = open_source(args.file, args.format, datatype=args.datatype, channels=args.channels)
    rate = args.rate or src.rate
    if args.json:
        whole = src.meta if src.meta is not None else {
            "format": src.fmt, "files": src.files, "datatype": src.stype.name,
            "channels": src.channels, "samples": src.count, "sample_rate": rate}
        print(json.dumps(whole, indent=2))
        return 0
    print(src.name)
    for label, value in describe(src, rate):
        print(f"  {label:<12} {value}")
    return 0
