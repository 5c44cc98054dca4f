"""SigMF recordings: opening a pair or an archive, and the metadata of an output.

The metadata is checked and written with the ``sigmf`` library; the samples
themselves are streamed by :mod:`kestrix._sources` and :mod:`kestrix._sinks`.
A recording of ``core:num_channels`` channels holds them interleaved, the
samples of all channels at one instant side by side.
"""

from __future__ import annotations

import copy
import importlib
import io
import os
import warnings

from ._chain import first_output
from ._datatypes import sample_type
from ._errors import CliError, os_error, require
from ._sources import SIGMF_DATA, SIGMF_META, Source, check_channels, sigmf_pair, stat_input


def sigmf_module():
    sigmf = require("sigmf", "SigMF support")
    importlib.import_module("sigmf.sigmffile")  # the submodule the callers use
    return sigmf


# ------------------------------------------------------------------ reading


def _parse_meta(text: bytes, where: str) -> dict:
    import json  # here: only SigMF inputs are parsed

    try:
        meta = json.loads(text.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise CliError(f"{where}: not valid SigMF metadata (bad JSON: {e})", 1) from None
    if not isinstance(meta, dict) or not isinstance(meta.get("global"), dict):
        raise CliError(f"{where}: not valid SigMF metadata (no 'global' object)", 1)
    return meta


def _first_line(e: BaseException) -> str:
    text = str(e).strip().splitlines()
    return text[0] if text else type(e).__name__


def _sigmf_source(meta: dict, where: str, fmt: str, path: str, data_path: str,
                  files: list[str], start: int, size: int, *, conforming: bool) -> Source:
    """Check SigMF metadata against ``size`` data bytes at ``start`` of ``data_path``."""
    sigmf = sigmf_module()
    g = meta["global"]
    stype = sample_type(g.get("core:datatype"))
    if g.get("core:metadata_only"):
        raise CliError(f"{where}: a metadata-only SigMF recording has no samples", 1)
    n = g.get("core:num_channels")
    channels = check_channels(1 if n is None else n, where)
    captures = meta.get("captures") or []
    headers = [c.get("core:header_bytes", 0) if isinstance(c, dict) else 0 for c in captures]
    if any(headers[1:]) or (headers and headers[0] and conforming):
        raise CliError(f"{where}: header bytes inside a SigMF data file are not supported", 1)
    offset = 0 if conforming or not headers else int(headers[0])
    payload = size - offset - int(g.get("core:trailing_bytes", 0) or 0)
    frame = stype.sample_bytes * channels
    if payload < 0 or payload % frame:
        what = f"{frame}-byte frames of {channels} {stype.name} samples" if channels > 1 else (
            f"{frame}-byte {stype.name} samples")
        raise CliError(f"{where}: the metadata and data do not match: {size} bytes is not a "
                       f"whole number of {what}", 1)
    count = payload // frame
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            sigmf.sigmffile.SigMFFile(metadata=meta).validate()
    except Exception as e:  # SigMFError, jsonschema's ValidationError and kin
        raise CliError(f"{where}: not valid SigMF metadata ({_first_line(e)})", 1) from None
    for c in captures:
        if isinstance(c, dict) and c.get("core:sample_start", 0) > count:
            raise CliError(f"{where}: the metadata and data do not match: a capture starts at "
                           f"sample {c['core:sample_start']} but the data holds {count}", 1)
    rate = g.get("core:sample_rate")
    layout = f", {channels} channels interleaved" if channels > 1 else ""
    return Source(fmt, path, data_path, files, count, stype, channels, offset=start + offset,
                  rate=float(rate) if rate else None, meta=meta, sha512=g.get("core:sha512"),
                  hash_start=start, hash_end=start + size,
                  describe=f"{'SigMF archive' if fmt == 'sigmf-archive' else 'SigMF'}, "
                           f"sample type {stype.name}{layout}")


def _regular(path: str) -> int:
    size = stat_input(path)
    if size is None:
        raise CliError(f"{path}: SigMF is read from regular files; streams carry raw samples "
                       f"(give --datatype)", 2)
    return size


def open_sigmf_pair(path: str) -> Source:
    meta_path, data_path = sigmf_pair(path)
    if not os.path.exists(meta_path):
        raise CliError(f"{path}: SigMF metadata {meta_path} not found (the pair is incomplete)", 1)
    _regular(meta_path)
    try:
        with open(meta_path, "rb") as f:
            meta = _parse_meta(f.read(), meta_path)
    except OSError as e:
        raise os_error(meta_path, e) from None
    dataset = meta["global"].get("core:dataset")
    if dataset is not None:
        data_path = os.path.join(os.path.dirname(meta_path), os.path.basename(str(dataset)))
    if not os.path.exists(data_path):
        raise CliError(f"{meta_path}: its data file {data_path} is missing (mismatched SigMF pair)", 1)
    size = _regular(data_path)
    return _sigmf_source(meta, meta_path, "sigmf", path, data_path, [meta_path, data_path], 0,
                         size, conforming=dataset is None)


def open_sigmf_archive(path: str) -> Source:
    """An uncompressed SigMF archive: one ``.sigmf-meta`` and its ``.sigmf-data`` in a tar."""
    import tarfile  # here: every run imports this module, few read archives

    _regular(path)
    try:
        with tarfile.open(path, "r:") as tar:
            members = [m for m in tar.getmembers() if m.isfile()]
            metas = [m for m in members if m.name.endswith(SIGMF_META)]
            if len(metas) != 1:
                raise CliError(f"{path}: a SigMF archive with {len(metas)} recordings; kestrix "
                               f"reads archives of exactly one", 1)
            meta = _parse_meta(tar.extractfile(metas[0]).read(), f"{path}:{metas[0].name}")
            dataset = meta["global"].get("core:dataset")
            want = (os.path.join(os.path.dirname(metas[0].name), os.path.basename(str(dataset)))
                    if dataset is not None else metas[0].name[: -len(SIGMF_META)] + SIGMF_DATA)
            data = [m for m in members if m.name == want]
            if not data:
                raise CliError(f"{path}: the archive has no data member {want}", 1)
    except tarfile.TarError as e:
        raise CliError(f"{path}: not a readable SigMF archive ({_first_line(e)})", 1) from None
    except OSError as e:
        raise os_error(path, e) from None
    d = data[0]
    return _sigmf_source(meta, f"{path}:{metas[0].name}", "sigmf-archive", path, path, [path],
                         d.offset_data, d.size, conforming=dataset is None)


# ------------------------------------------------------------------ writing


def sigmf_dumps(meta: dict) -> str:
    """Validate ``meta`` with the ``sigmf`` library and return its JSON text."""
    smf = sigmf_module().sigmffile.SigMFFile(metadata=meta)
    smf.validate()
    buf = io.StringIO()
    smf.dump(buf, pretty=True)
    return buf.getvalue() + "\n"


def _is_int(v) -> bool:
    return isinstance(v, int) and not isinstance(v, bool)


def _is_number(v) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def output_meta(src_meta: dict | None, *, datatype: str, channels: int, rate: float | None,
                count: int, processing: dict, description: str | None = None,
                sha512: str | None = None, decimate: int = 1, shift_hz: float = 0.0) -> dict:
    """Metadata of an output: the input's global fields, captures and annotations kept.

    The output holds the same samples at the same positions, so captures and
    annotations keep their ``core:sample_start``; the chain's delay is in the
    processing record.  With a decimation, output sample j is input sample
    ``decimate * j``: positions become the first output sample at or after
    them.  A shift by ``shift_hz`` moves every frequency of the signal, so the
    frequency now at 0 Hz, each capture's ``core:frequency``, moves the other
    way; annotations' frequency edges are those of the signal and stay.
    Fields that describe the input's bytes rather than its signal (sample
    type, digest, non-conforming layout) are replaced or dropped; the
    processing record goes under the ``kestrix:`` namespace.
    """
    from . import __version__

    meta = copy.deepcopy(src_meta) if src_meta else {"global": {}, "captures": [], "annotations": []}
    g = meta.setdefault("global", {})
    for key in ("core:sha512", "core:dataset", "core:trailing_bytes", "core:metadata_only"):
        g.pop(key, None)
    g["core:datatype"] = datatype
    g["core:num_channels"] = channels
    g.setdefault("core:version", sigmf_module().__specification__)
    if rate:
        g["core:sample_rate"] = float(rate)
    if description and "core:description" not in g:
        g["core:description"] = description
    if sha512 is not None:
        g["core:sha512"] = sha512
    ext = [e for e in g.get("core:extensions", []) if e.get("name") != "kestrix"]
    ext.append({"name": "kestrix", "version": __version__, "optional": True})
    g["core:extensions"] = ext
    g["kestrix:processing"] = processing
    caps = meta.get("captures") or [{"core:sample_start": 0}]
    for c in caps:
        c.pop("core:header_bytes", None)
        if _is_int(c.get("core:sample_start")):
            c["core:sample_start"] = first_output(c["core:sample_start"], decimate)
        if shift_hz and _is_number(c.get("core:frequency")):
            c["core:frequency"] = c["core:frequency"] - shift_hz
    for a in (meta.get("annotations") or []) if decimate != 1 else []:
        start, count_in = a.get("core:sample_start"), a.get("core:sample_count")
        if _is_int(start):
            a["core:sample_start"] = first_output(start, decimate)
            if _is_int(count_in):
                end = first_output(start + count_in, decimate)
                a["core:sample_count"] = end - a["core:sample_start"]
    meta["captures"] = [c for c in caps if c.get("core:sample_start", 0) <= count] or [
        {"core:sample_start": 0}]
    meta.setdefault("annotations", [])
    return meta
