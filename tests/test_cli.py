"""The ``kestrix`` command, run in-process through ``kestrix.cli.main``.

Every run writes under pytest's tmp_path; outputs are compared bit for bit
(``view(np.uint32)``) with the same chain of library calls made on the whole
recording as one array.
"""

from __future__ import annotations

import csv
import hashlib
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from kestrix import _demo
from kestrix.agc import AGC, settling_samples
from kestrix.filter import design_lowpass
from kestrix.telemetry import Telemetry

from conftest import (bits, kestrix_child, library_chain, one_line, read_raw, wait_for_part, write_raw,
                      write_sigmf)
from conftest import cli_signal as signal
from conftest import run_cli as run

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


# ------------------------------------------------------------------ formats


class TestRoundTrip:
    @pytest.mark.parametrize("ext", [".cf32", ".fc32", ".cfile"])
    def test_raw_copy_is_identity(self, tmp_path, capsys, ext):
        x = signal(1001)
        src = write_raw(tmp_path / f"in{ext}", x)
        code, out, _ = run(capsys, "process", src, "-o", tmp_path / f"out{ext}", "--no-agc")
        assert code == 0
        assert np.array_equal(bits(read_raw(tmp_path / f"out{ext}")), bits(x))
        assert "1,001 samples" in out

    def test_npy_round_trip_and_complex128_input(self, tmp_path, capsys):
        x = signal(777)
        np.save(tmp_path / "in64.npy", x)
        np.save(tmp_path / "in128.npy", x.astype(np.complex128))
        for name in ("in64", "in128"):
            code, _, _ = run(capsys, "process", tmp_path / f"{name}.npy", "--no-agc")
            assert code == 0
            y = np.load(tmp_path / f"{name}.kestrix.npy")
            assert y.dtype == np.complex64 and y.shape == (777,)
            assert np.array_equal(bits(y), bits(x))

    def test_big_endian_npy_input(self, tmp_path, capsys):
        x = signal(100)
        np.save(tmp_path / "be.npy", x.astype(">c8"))
        code, _, _ = run(capsys, "process", tmp_path / "be.npy", "-o", tmp_path / "o.cf32", "--no-agc")
        assert code == 0
        assert np.array_equal(bits(read_raw(tmp_path / "o.cf32")), bits(x))

    def test_across_formats_by_name(self, tmp_path, capsys):
        pytest.importorskip("sigmf")
        x = signal(4096)
        src = write_raw(tmp_path / "a.cf32", x)
        assert run(capsys, "process", src, "-o", tmp_path / "b.sigmf-meta", "--no-agc")[0] == 0
        assert run(capsys, "process", tmp_path / "b.sigmf-data", "-o", tmp_path / "c.npy",
                   "--no-agc")[0] == 0
        assert run(capsys, "process", tmp_path / "c.npy", "-o", tmp_path / "d.bin",
                   "--out-format", "raw", "--no-agc")[0] == 0
        assert np.array_equal(bits(read_raw(tmp_path / "d.bin")), bits(x))

    def test_format_override_for_unknown_name(self, tmp_path, capsys):
        x = signal(64)
        src = write_raw(tmp_path / "capture.dat", x)
        code, _, err = run(capsys, "process", src, "--no-agc")
        assert code == 2 and "--format" in one_line(err)
        code, _, err = run(capsys, "process", src, "--format", "raw", "--no-agc")
        assert code == 2 and "give --datatype" in one_line(err)
        code, _, _ = run(capsys, "process", src, "--datatype", "cf32_le", "--no-agc")
        assert code == 0
        assert np.array_equal(bits(read_raw(tmp_path / "capture.kestrix.dat")), bits(x))

    @pytest.mark.parametrize("datatype,dtype", [
        ("ci16_le", "<i2"), ("ci16_be", ">i2"), ("ci8", "i1"), ("cu8", "u1"),
        ("ci32_le", "<i4"), ("cu16_le", "<u2"), ("cf32_be", ">f4"), ("cf64_le", "<f8"),
    ])
    def test_sigmf_sample_types_convert_like_sigmf(self, tmp_path, capsys, datatype, dtype):
        sigmf = pytest.importorskip("sigmf")
        rng = np.random.default_rng(3)
        dt = np.dtype(dtype)
        if dt.kind == "f":
            comps = rng.standard_normal(2 * 333).astype(dt)
        else:
            info = np.iinfo(dt)
            comps = rng.integers(info.min, info.max, 2 * 333, endpoint=True).astype(dt)
        meta = write_sigmf(tmp_path / "t", comps.tobytes(), datatype)
        code, _, _ = run(capsys, "process", meta, "-o", tmp_path / "o.npy", "--no-agc",
                         "--block", 50)
        assert code == 0
        expect = sigmf.sigmffile.fromfile(meta).read_samples().astype(np.complex64)
        y = np.load(tmp_path / "o.npy")
        assert np.array_equal(bits(y), bits(expect))

    @pytest.mark.parametrize("datatype", ["rf32_le", "ci64_le", "cf16_le", "ci16", "bogus"])
    def test_unsupported_sigmf_type_is_named(self, tmp_path, capsys, datatype):
        meta = tmp_path / "u.sigmf-meta"
        meta.write_text(json.dumps({"global": {"core:datatype": datatype, "core:version": "1.2.0"},
                                    "captures": [], "annotations": []}))
        (tmp_path / "u.sigmf-data").write_bytes(bytes(64))
        code, _, err = run(capsys, "process", meta, "-o", tmp_path / "o.cf32")
        assert code == 1
        assert datatype in one_line(err)


# ------------------------------------------------------------------ streaming


class TestStreamedEqualsWholeArray:
    @pytest.mark.parametrize("n", [1, 7, 8, 1001, 5000])
    @pytest.mark.parametrize("block", [1, 3, 8, 24, 1000, 4097])
    def test_full_chain(self, tmp_path, capsys, n, block):
        x = signal(n)
        src = write_raw(tmp_path / "in.cf32", x)
        code, _, _ = run(capsys, "process", src, "-o", tmp_path / "o.cf32", "--block", block,
                         "--lowpass", "0.2", "0.3", "60", "--average", "5", "--average-gain", "1.5",
                         "-q")
        assert code == 0
        expect = library_chain(x, lowpass=(0.2, 0.3, 60.0), average=5, average_gain=1.5)
        assert np.array_equal(bits(read_raw(tmp_path / "o.cf32")), bits(expect))

    @pytest.mark.parametrize("decim,block", [(1, 1), (1, 13), (5, 7), (5, 10), (32, 100), (3, 4096)])
    def test_agc_settings_and_decim(self, tmp_path, capsys, decim, block):
        x = signal(3001, seed=decim)
        src = write_raw(tmp_path / "in.cf32", x)
        code, _, _ = run(capsys, "process", src, "-o", tmp_path / "o.cf32", "--block", block,
                         "--decim", decim, "--ref-db", "-6", "--loop-bw", "0.001", "--alpha",
                         "0.2", "--clip-db", "-3", "-q")
        assert code == 0
        expect = library_chain(x, decim=decim, ref_db=-6.0, loop_bw=0.001, alpha=0.2, clip_db=-3.0)
        assert np.array_equal(bits(read_raw(tmp_path / "o.cf32")), bits(expect))

    def test_telemetry_does_not_change_output(self, tmp_path, capsys):
        x = signal(2500)
        src = write_raw(tmp_path / "in.cf32", x)
        code, _, _ = run(capsys, "process", src, "-o", tmp_path / "o.cf32", "--block", 40,
                         "--telemetry", tmp_path / "t.csv", "-q")
        assert code == 0
        assert np.array_equal(bits(read_raw(tmp_path / "o.cf32")), bits(library_chain(x)))

    @pytest.mark.parametrize("block,rate,every,plot", [
        (24, None, 1, False), (4096, 1000.0, 3, False), (40, None, 5, True), (4096, None, 32, False)])
    def test_telemetry_csv_matches_library_probes(self, tmp_path, capsys, block, rate, every, plot):
        """Every K-th loop update (the first, then each K-th), the same with a plot,
        where the ring carries every update and the rows are thinned afterwards."""
        if plot:
            pytest.importorskip("matplotlib")
        n, decim = 2501, 8
        x = signal(n)
        src = write_raw(tmp_path / "in.cf32", x)
        argv = ["process", src, "-o", tmp_path / "o.cf32", "--block", block,
                "--telemetry", tmp_path / "t.csv", "--telemetry-every", every, "-q"]
        argv += ["--rate", rate] if rate else []
        argv += ["--plot", tmp_path / "p.png"] if plot else []
        assert run(capsys, *argv)[0] == 0
        tlm = Telemetry(1 << 12)
        agc = AGC()
        agc.set_telemetry(tlm, "agc")
        agc.steps(x)
        recs = tlm.read()
        gain = recs["value"][recs["probe"] == tlm.probe_id("agc.gain_db")][::every]
        level = recs["value"][recs["probe"] == tlm.probe_id("agc.level_db")][::every]
        with open(tmp_path / "t.csv", newline="") as f:
            rows = list(csv.DictReader(f))
        assert len(rows) == len(gain) == -(-(-(-n // decim)) // every)
        got_gain = np.array([float(r["gain_db"]) for r in rows], np.float32)
        got_level = np.array([float(r["level_db"]) for r in rows], np.float32)
        assert np.array_equal(got_gain.view(np.uint32), gain.view(np.uint32))
        assert np.array_equal(got_level.view(np.uint32), level.view(np.uint32))
        samples = [int(r["sample"]) for r in rows]
        assert samples == [min((k * every + 1) * decim, n) for k in range(len(rows))]
        if rate:
            assert float(rows[9]["time_s"]) == pytest.approx(samples[9] / rate)
        else:
            assert "time_s" not in rows[0]

    def test_memory_stays_bounded_by_block(self, tmp_path, capsys, monkeypatch):
        """Reads never ask for more than one block, whatever the file size."""
        from kestrix import _sources

        x = signal(20000)
        src = write_raw(tmp_path / "in.cf32", x)
        sizes = []
        orig = _sources.BlockReader.read

        def spy(self, buf):
            x = orig(self, buf)
            sizes.append(len(x))
            return x

        monkeypatch.setattr(_sources.BlockReader, "read", spy)
        assert run(capsys, "process", src, "--block", 1024, "-q")[0] == 0
        assert sizes and max(sizes) == 1024 and len(sizes) == 21 and sizes[-1] == 0


class TestSummary:
    @pytest.mark.parametrize("block", [1000, 4096, 50000])
    def test_level_statistics(self, tmp_path, capsys, block):
        """Frames of 64 samples, blocks that cut frames anywhere; the median to its
        histogram's resolution."""
        n = 50000
        x = signal(n, seed=block)
        src = write_raw(tmp_path / "in.cf32", x)
        code, out, _ = run(capsys, "process", src, "--no-agc", "--block", block,
                           "--average", "3", "--average-gain", "2")
        assert code == 0
        y = read_raw(tmp_path / "in.kestrix.cf32")
        assert "mean power per 64 samples" in out
        for name, z in (("input", x), ("output", y)):
            p = np.abs(z.astype(np.complex128)) ** 2
            starts = np.arange(0, n, 64)
            bins = 10 * np.log10(np.add.reduceat(p, starts) / np.minimum(64, n - starts))
            line = next(ln for ln in out.splitlines() if ln.split()[:1] == [name] and "envelope" in ln)
            nums = [float(t) for t in line.replace("/", " ").split() if t.lstrip("-").replace(".", "").isdigit()]
            lower_median = np.sort(bins)[(len(bins) - 1) // 2]
            expect = [10 * np.log10(p.mean()), bins.min(), lower_median, bins.max()]
            assert nums[:2] + nums[3:] == pytest.approx(expect[:2] + expect[3:], abs=0.011)
            assert nums[2] == pytest.approx(expect[2], abs=0.015)
        assert "50,000" in out and "Msamples/s" in out


# ------------------------------------------------------------------ SigMF metadata


class TestSigmfMetadata:
    def test_output_keeps_input_fields_and_records_chain(self, tmp_path, capsys):
        sigmf = pytest.importorskip("sigmf")
        x = signal(1234)
        meta = write_sigmf(tmp_path / "rec", x.tobytes(), "cf32_le",
                           **{"core:author": "test bench", "core:description": "two bursts",
                              "core:hw": "dongle v3"})
        code, out, _ = run(capsys, "process", meta, "--lowpass", "0.2", "0.3", "60",
                           "--average", "4", "--decim", "16", "--ref-db", "-3")
        assert code == 0
        assert "25.708 ms at 48 kHz" in out
        out_meta = tmp_path / "rec.kestrix.sigmf-meta"
        m = json.loads(out_meta.read_text())
        g = m["global"]
        assert g["core:author"] == "test bench"
        assert g["core:description"] == "two bursts"
        assert g["core:hw"] == "dongle v3"
        assert g["core:sample_rate"] == 48000.0
        assert g["core:datatype"] == "cf32_le"
        assert "core:sha512" not in g
        assert {"name": "kestrix", "version": "0.1.0", "optional": True} in g["core:extensions"]
        proc = g["kestrix:processing"]
        assert proc["source"] == "rec.sigmf-meta"
        assert [s["stage"] for s in proc["chain"]] == ["lowpass_fir", "agc", "moving_average"]
        assert proc["chain"][0] | {} == {**proc["chain"][0], "fpass": 0.2, "fstop": 0.3,
                                         "atten_db": 60.0, "num_taps": 75}
        assert proc["chain"][1]["decim"] == 16 and proc["chain"][1]["ref_db"] == -3.0
        assert proc["chain"][2] == {"stage": "moving_average", "len": 4, "gain": 1.0,
                                    "group_delay_samples": 1.5}
        assert proc["group_delay_samples"] == 37 + 1.5
        assert m["captures"][0]["core:frequency"] == 433.92e6
        assert m["captures"][0]["core:datetime"] == "2024-05-01T12:00:00Z"
        assert m["annotations"][0]["core:comment"] == "a burst"
        # The library reads the pair back, and the samples are the chain's.
        back = sigmf.sigmffile.fromfile(str(out_meta))
        back.validate()
        expect = library_chain(x, lowpass=(0.2, 0.3, 60.0), average=4, decim=16, ref_db=-3.0)
        assert np.array_equal(bits(back.read_samples()), bits(expect))

    def test_checksum_is_verified(self, tmp_path, capsys):
        pytest.importorskip("sigmf")
        x = signal(500)
        meta = write_sigmf(tmp_path / "rec", x.tobytes(), "cf32_le")
        assert "core:sha512" in json.loads(open(meta).read())["global"]
        assert run(capsys, "process", meta, "-o", tmp_path / "ok.cf32", "-q")[0] == 0
        y = x.copy()
        y[100] += 1
        (tmp_path / "rec.sigmf-data").write_bytes(y.tobytes())
        code, _, err = run(capsys, "process", meta, "-o", tmp_path / "bad.cf32")
        assert code == 1 and "SHA-512" in one_line(err)
        assert not (tmp_path / "bad.cf32").exists()
        assert [p for p in os.listdir(tmp_path) if p.endswith(".part")] == []
        code, _, _ = run(capsys, "process", meta, "-o", tmp_path / "bad.cf32", "--skip-checksum", "-q")
        assert code == 0


# ------------------------------------------------------------------ bad input


class TestBadInput:
    def test_missing_file(self, tmp_path, capsys):
        code, _, err = run(capsys, "process", tmp_path / "nope.cf32")
        assert code == 1 and "nope.cf32: no such file" in one_line(err)

    def test_unreadable_file(self, tmp_path, capsys):
        if os.geteuid() == 0:
            pytest.skip("root reads any file")
        src = write_raw(tmp_path / "locked.cf32", signal(16))
        os.chmod(src, 0)
        try:
            code, _, err = run(capsys, "process", src)
        finally:
            os.chmod(src, 0o600)
        assert code == 1 and "permission denied" in one_line(err)

    def test_input_is_a_folder(self, tmp_path, capsys):
        """A folder is searched for recordings, whose outputs need a folder."""
        os.mkdir(tmp_path / "d.cf32")
        code, _, err = run(capsys, "process", tmp_path / "d.cf32")
        assert code == 2 and "give -o FOLDER" in one_line(err)

    @pytest.mark.parametrize("nbytes", [1, 7, 8 * 10 + 3])
    def test_truncated_raw(self, tmp_path, capsys, nbytes):
        (tmp_path / "t.cf32").write_bytes(bytes(nbytes))
        code, _, err = run(capsys, "process", tmp_path / "t.cf32")
        assert code == 1 and "truncated raw file" in one_line(err) and str(nbytes) in err

    def test_empty_raw(self, tmp_path, capsys):
        (tmp_path / "e.cf32").write_bytes(b"")
        code, _, err = run(capsys, "process", tmp_path / "e.cf32")
        assert code == 1 and "no samples" in one_line(err)

    def test_sigmf_meta_without_data(self, tmp_path, capsys):
        meta = write_sigmf(tmp_path / "p", signal(10).tobytes(), "cf32_le")
        os.unlink(tmp_path / "p.sigmf-data")
        code, _, err = run(capsys, "process", meta)
        assert code == 1 and "mismatched SigMF pair" in one_line(err)

    def test_sigmf_data_without_meta(self, tmp_path, capsys):
        (tmp_path / "q.sigmf-data").write_bytes(signal(10).tobytes())
        code, _, err = run(capsys, "process", tmp_path / "q.sigmf-data")
        assert code == 1 and "q.sigmf-meta not found" in one_line(err)

    def test_sigmf_size_does_not_match_type(self, tmp_path, capsys):
        meta = write_sigmf(tmp_path / "s", bytes(4 * 10), "ci16_le")
        with open(tmp_path / "s.sigmf-data", "ab") as f:
            f.write(b"\x00\x01")
        code, _, err = run(capsys, "process", meta, "--skip-checksum")
        assert code == 1 and "do not match" in one_line(err)

    def test_sigmf_bad_json(self, tmp_path, capsys):
        (tmp_path / "j.sigmf-meta").write_text("{not json")
        (tmp_path / "j.sigmf-data").write_bytes(bytes(8))
        code, _, err = run(capsys, "process", tmp_path / "j.sigmf-meta")
        assert code == 1 and "bad JSON" in one_line(err)

    @pytest.mark.parametrize("argv,needle", [
        (["--loop-bw", "0"], "--loop-bw"),
        (["--loop-bw", "0.5"], "--loop-bw"),
        (["--alpha", "1.5"], "--alpha"),
        (["--alpha", "nan"], "--alpha"),
        (["--decim", "0"], "--decim"),
        (["--ref-db", "inf"], "--ref-db"),
        (["--average", "65"], "--average"),
        (["--average", "0"], "--average"),
        (["--average-gain", "2"], "--average-gain needs --average"),
        (["--block", "0"], "--block"),
        (["--rate", "-1"], "--rate"),
        (["--lowpass", "0.3", "0.2", "60"], "FPASS < FSTOP"),
        (["--lowpass", "0.2", "1.3", "60"], "FSTOP <= 1"),
        (["--lowpass", "0.2", "0.3", "5"], "ATTEN_DB must be above 8"),
        (["--lowpass", "0.2", "0.2000001", "60"], "taps"),
        (["--lowpass", "0.2", "x", "60"], "--lowpass"),
        (["--no-agc", "--telemetry", "t.csv"], "--no-agc"),
        (["--bogus"], "unrecognized arguments"),
    ])
    def test_invalid_parameters(self, tmp_path, capsys, argv, needle):
        src = write_raw(tmp_path / "in.cf32", signal(64))
        code, out, err = run(capsys, "process", src, *argv)
        assert code == 2
        assert needle in one_line(err)
        assert not (tmp_path / "in.kestrix.cf32").exists()

    def test_output_equal_to_input(self, tmp_path, capsys):
        x = signal(64)
        src = write_raw(tmp_path / "in.cf32", x)
        for other in (src, str(tmp_path / "." / "in.cf32")):
            code, _, err = run(capsys, "process", src, "-o", other, "--force")
            assert code == 2 and "is the input file" in one_line(err)
        code, _, err = run(capsys, "process", src, "--plot", src, "--force")
        assert code == 2 and "is the input file" in one_line(err)
        assert np.array_equal(bits(read_raw(src)), bits(x))

    def test_sigmf_output_pair_overlapping_input(self, tmp_path, capsys):
        meta = write_sigmf(tmp_path / "r", signal(32).tobytes(), "cf32_le")
        code, _, err = run(capsys, "process", meta, "-o", tmp_path / "r.sigmf-data", "--force")
        assert code == 2 and "is the input file" in one_line(err)

    def test_output_exists_needs_force(self, tmp_path, capsys):
        x = signal(64)
        src = write_raw(tmp_path / "in.cf32", x)
        (tmp_path / "o.cf32").write_bytes(b"keep me!")
        code, _, err = run(capsys, "process", src, "-o", tmp_path / "o.cf32")
        assert code == 2 and "exists; use --force" in one_line(err)
        assert (tmp_path / "o.cf32").read_bytes() == b"keep me!"
        code, _, _ = run(capsys, "process", src, "-o", tmp_path / "o.cf32", "--force", "-q")
        assert code == 0
        assert np.array_equal(bits(read_raw(tmp_path / "o.cf32")), bits(library_chain(x)))

    def test_output_folder_missing(self, tmp_path, capsys):
        src = write_raw(tmp_path / "in.cf32", signal(64))
        code, _, err = run(capsys, "process", src, "-o", tmp_path / "no" / "o.cf32")
        assert code == 1 and "does not exist" in one_line(err)

    @pytest.mark.parametrize("stage", ["agc", "write"])
    def test_interrupt_leaves_no_partial_output(self, tmp_path, capsys, monkeypatch, stage):
        """Ctrl-C in the middle of the stream: old output intact, no temporary left."""
        from kestrix import _sinks, _telemetry

        x = signal(10000)
        src = write_raw(tmp_path / "in.cf32", x)
        (tmp_path / "o.cf32").write_bytes(b"previous")
        calls = {"n": 0}

        def interrupt_on_third(*a, **k):
            calls["n"] += 1
            if calls["n"] == 3:
                raise KeyboardInterrupt
            return orig(*a, **k)

        if stage == "write":
            orig = _sinks.Sink.write
            monkeypatch.setattr(_sinks.Sink, "write", interrupt_on_third)
        else:
            orig = _telemetry.TelemetryTap.steps
            monkeypatch.setattr(_telemetry.TelemetryTap, "steps", interrupt_on_third)
        code, _, err = run(capsys, "process", src, "-o", tmp_path / "o.cf32", "--force",
                           "--block", 1024, "--telemetry", tmp_path / "t.csv")
        assert code == 130 and "interrupted" in one_line(err)
        assert calls["n"] == 3
        assert (tmp_path / "o.cf32").read_bytes() == b"previous"
        assert sorted(os.listdir(tmp_path)) == ["in.cf32", "o.cf32"]

    def test_missing_optional_dependencies(self, tmp_path, capsys, monkeypatch):
        """Without the cli extra, raw/npy work; SigMF and plots name the extra."""
        for mod in ("sigmf", "matplotlib", "tqdm"):
            monkeypatch.setitem(sys.modules, mod, None)
        x = signal(100)
        src = write_raw(tmp_path / "in.cf32", x)
        assert run(capsys, "process", src, "-o", tmp_path / "o.npy", "-q")[0] == 0
        assert np.array_equal(bits(np.load(tmp_path / "o.npy")), bits(library_chain(x)))
        for argv in (["-o", tmp_path / "o.sigmf-meta"], ["--plot", tmp_path / "p.png"]):
            code, _, err = run(capsys, "process", src, *argv)
            assert code == 1 and "pip install 'kestrix[cli]'" in one_line(err)
        assert sorted(os.listdir(tmp_path)) == ["in.cf32", "o.npy"]

    def test_no_command(self, capsys):
        code, _, err = run(capsys)
        assert code == 2 and "choose a command" in one_line(err)


# ------------------------------------------------------------------ plots


def assert_png(path, width=1000, height=None):
    mpimg = pytest.importorskip("matplotlib.image")
    with open(path, "rb") as f:
        assert f.read(8) == PNG_SIGNATURE
    img = mpimg.imread(path)
    assert img.shape[1] == width and img.shape[0] == (height or img.shape[0]) >= 600
    assert float(img[..., :3].std()) > 0.05  # something was drawn


class TestPlots:
    def test_process_plot(self, tmp_path, capsys):
        src = write_raw(tmp_path / "in.cf32", signal(20000))
        code, out, _ = run(capsys, "process", src, "--plot", tmp_path / "p.png", "--rate", "1e5")
        assert code == 0 and "p.png" in out
        assert_png(tmp_path / "p.png")

    def test_process_plot_without_agc(self, tmp_path, capsys):
        src = write_raw(tmp_path / "in.cf32", signal(5000))
        code, _, _ = run(capsys, "process", src, "--no-agc", "--average", "8",
                         "--plot", tmp_path / "p.png", "-q")
        assert code == 0
        assert_png(tmp_path / "p.png")

    def test_design_plot(self, tmp_path, capsys):
        code, _, _ = run(capsys, "design", "0.2", "0.3", "60", "--plot", tmp_path / "r.png")
        assert code == 0
        assert_png(tmp_path / "r.png")


# ------------------------------------------------------------------ demo


class TestDemo:
    def test_demo_writes_outputs_into_fresh_folder(self, tmp_path, capsys, monkeypatch):
        sigmf = pytest.importorskip("sigmf")
        monkeypatch.chdir(tmp_path)
        code, out, _ = run(capsys, "process", "--demo-seconds", "0.25")
        assert code == 0
        folders = [p for p in os.listdir(tmp_path) if p.startswith("kestrix-demo-")]
        assert len(folders) == 1
        d = tmp_path / folders[0]
        assert sorted(os.listdir(d)) == ["demo-telemetry.csv", "demo.png", "demo.sigmf-data",
                                         "demo.sigmf-meta"]
        assert str(d) in out
        assert "AGC settling" in out and "378 samples" in out
        rec = sigmf.sigmffile.fromfile(str(d / "demo.sigmf-meta"))
        assert rec.get_global_field("core:sample_rate") == _demo.DEMO_RATE
        y = rec.read_samples()
        x = _demo.demo_recording(0.25)
        assert np.array_equal(bits(y), bits(library_chain(x)))
        assert_png(d / "demo.png")
        with open(d / "demo-telemetry.csv") as f:
            assert sum(1 for _ in f) == 1 + -(-(-(-len(x) // 8)) // 32)
        # A second run in the same second gets a folder of its own.
        assert run(capsys, "process", "--demo-seconds", "0.25", "-q")[0] == 0
        assert len([p for p in os.listdir(tmp_path) if p.startswith("kestrix-demo-")]) == 2

    def test_demo_recording_is_deterministic_with_40db_bursts(self):
        a = _demo.demo_recording(0.5)
        b = _demo.demo_recording(0.5)
        assert a.dtype == np.complex64 and len(a) == int(0.5 * _demo.DEMO_RATE)
        assert np.array_equal(bits(a), bits(b))
        slot = len(a) // _demo.DEMO_BURSTS
        centre = [a[k * slot + slot // 3 : k * slot + 2 * slot // 3] for k in range(2)]
        p = [10 * np.log10(np.mean(np.abs(c.astype(np.complex128)) ** 2)) for c in centre]
        assert p[0] - p[1] == pytest.approx(40.0, abs=1.5)

    def test_demo_to_named_output(self, tmp_path, capsys):
        code, _, _ = run(capsys, "process", "-o", tmp_path / "d.npy", "--demo-seconds", "0.1",
                         "--no-agc", "-q")
        assert code == 0
        assert np.array_equal(bits(np.load(tmp_path / "d.npy")), bits(_demo.demo_recording(0.1)))


# ------------------------------------------------------------------ design, settle, info


class TestDesign:
    def test_report_and_taps_file(self, tmp_path, capsys):
        code, out, _ = run(capsys, "design", "0.2", "0.3", "60", "--taps-out", tmp_path / "t.npy")
        assert code == 0
        taps = design_lowpass(0.2, 0.3, 60.0)
        saved = np.load(tmp_path / "t.npy")
        assert saved.dtype == np.float32
        assert np.array_equal(saved.view(np.uint32), taps.view(np.uint32))
        assert "taps                75 " in out
        assert "beta                5.653260231018066 " in out
        assert f"{float(np.sum(taps, dtype=np.float64)):.7g}" in out
        # Independent check of the printed stopband figure with a dense DFT.
        f = np.linspace(0.3, 1.0, 4001)
        k = np.arange(len(taps))
        h = np.abs(np.exp(-1j * np.pi * np.outer(f, k)) @ taps.astype(np.float64))
        measured = -20 * np.log10(h.max())
        line = next(ln for ln in out.splitlines() if "stopband atten" in ln)
        assert float(line.split()[2]) == pytest.approx(measured, abs=0.05)

    @pytest.mark.parametrize("argv", [["0.3", "0.2", "60"], ["0.2", "0.3", "nan"], ["0.2", "0.3", "8"]])
    def test_invalid(self, capsys, argv):
        code, _, err = run(capsys, "design", *argv)
        assert code == 2 and "design:" in one_line(err)

    def test_taps_out_exists(self, tmp_path, capsys):
        (tmp_path / "t.npy").write_bytes(b"x")
        code, _, err = run(capsys, "design", "0.2", "0.3", "60", "--taps-out", tmp_path / "t.npy")
        assert code == 2 and "--force" in one_line(err)


class TestSettle:
    def test_answer_with_rate(self, capsys):
        code, out, _ = run(capsys, "settle", "0.0025", "0.05", "40", "1", "--rate", "1e6")
        assert code == 0
        assert f"{settling_samples(0.0025, 0.05, 40.0, 1.0):,} samples (378.000 us at 1 MHz)" in out
        assert "loop time constant  100 samples (100.000 us)" in out
        assert "3.78 time constants" in out

    def test_loud_start(self, capsys):
        code, out, _ = run(capsys, "settle", "0.0025", "0.05", "-40", "1")
        assert code == 0 and "168 samples" in out and "loud start" in out

    def test_zero_answer_is_explained(self, capsys):
        code, out, _ = run(capsys, "settle", "100", "0.05", "6", "0.5")
        assert code == 0 and "does not come within 0.5 dB" in out

    @pytest.mark.parametrize("argv,needle", [
        (["0.0025", "1.5", "6", "0.5"], "ALPHA"), (["0.0025", "0", "6", "0.5"], "ALPHA"),
        (["0", "0.05", "6", "0.5"], "LOOP_BW"), (["nan", "0.05", "6", "0.5"], "LOOP_BW"),
        (["0.0025", "0.05", "6", "0"], "TOL_DB"), (["0.0025", "0.05", "inf", "1"], "GAIN_ERR_DB"),
        (["1e-12", "0.05", "6", "1"], "LOOP_BW"),
    ])
    def test_invalid_arguments_explained(self, capsys, argv, needle):
        code, _, err = run(capsys, "settle", *argv)
        assert code == 2 and needle in one_line(err) and "gives 0" in err


class TestInfo:
    def test_raw(self, tmp_path, capsys):
        src = write_raw(tmp_path / "x.cfile", signal(300))
        code, out, _ = run(capsys, "info", src)
        assert code == 0
        assert "raw samples" in out and "cf32_le" in out and "300" in out and "unknown" in out
        code, out, _ = run(capsys, "info", src, "--rate", "100")
        assert "3.000 s" in out

    def test_sigmf(self, tmp_path, capsys):
        meta = write_sigmf(tmp_path / "m", bytes(4 * 250), "ci16_le", **{"core:author": "someone"})
        code, out, _ = run(capsys, "info", meta)
        assert code == 0
        assert "ci16_le" in out and "250" in out and "5.208 ms" in out
        lines = dict(ln.split(None, 1) for ln in out.splitlines()[1:])
        assert lines["frequency"] == "433.92 MHz" and lines["captures"] == "1"
        assert lines["annotations"] == "1" and lines["channels"] == "1"
        code, out, _ = run(capsys, "info", meta, "--json")
        assert code == 0 and json.loads(out) == json.loads(open(meta).read())

    def test_npy_and_errors(self, tmp_path, capsys):
        np.save(tmp_path / "a.npy", signal(12).astype(np.complex128))
        code, out, _ = run(capsys, "info", tmp_path / "a.npy")
        assert code == 0 and "complex128" in out and "12" in out
        np.save(tmp_path / "r.npy", np.zeros(4, np.float32))
        code, _, err = run(capsys, "info", tmp_path / "r.npy")
        assert code == 1 and "not complex64 or complex128" in one_line(err)
        np.save(tmp_path / "3d.npy", np.zeros((2, 2, 2), np.complex64))
        code, _, err = run(capsys, "info", tmp_path / "3d.npy")
        assert code == 1 and "samples or (samples, channels)" in one_line(err)


class TestEntryPoints:
    def test_python_dash_m(self, tmp_path):
        r = subprocess.run([sys.executable, "-m", "kestrix", "settle", "0.0025", "0.05", "6", "0.5"],
                           capture_output=True, text=True, cwd=tmp_path, timeout=120)
        assert r.returncode == 0 and "225 samples" in r.stdout
        r = subprocess.run([sys.executable, "-m", "kestrix", "process", "missing.cf32"],
                           capture_output=True, text=True, cwd=tmp_path, timeout=120)
        assert r.returncode == 1 and r.stderr.count("\n") == 1 and "Traceback" not in r.stderr

    @pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="counts threads in /proc")
    def test_the_command_starts_no_blas_threads(self):
        """The command's environment comes before NumPy's import, which then starts no
        thread pool to spin beside the block loop."""
        code = ("import sys; from kestrix import _command; assert 'numpy' not in sys.modules; "
                "_command.environment(); import numpy; "
                "print(open('/proc/self/status').read().split('Threads:')[1].split()[0])")
        env = {k: v for k, v in os.environ.items() if k != "OPENBLAS_NUM_THREADS"}
        r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                           timeout=120)
        assert r.returncode == 0 and r.stdout.split() == ["1"], r.stdout + r.stderr

    def test_help_and_version(self, capsys):
        for cmd in ([], ["process"], ["design"], ["settle"], ["info"]):
            code, out, _ = run(capsys, *cmd, "--help")
            assert code == 0 and "usage:" in out
        code, out, _ = run(capsys, "--version")
        assert code == 0 and "0.1.0" in out

    @pytest.mark.parametrize("module,examples", [("engine", 12), ("_datatypes", 8), ("_taps", 5),
                                                 ("_batch", 4), ("_sources", 2)])
    def test_examples_in_the_tool_modules(self, module, examples):
        import doctest
        import importlib

        mod = importlib.import_module(f"kestrix.{module}")
        result = doctest.testmod(mod, extraglobs={"np": np})
        assert result.failed == 0 and result.attempted >= examples

    def test_checksum_helper_agrees_with_hashlib(self, tmp_path):
        """The streamed digest check uses the whole data file, as sigmf does."""
        from kestrix._sigmf import open_sigmf_pair

        pytest.importorskip("sigmf")
        data = signal(100).tobytes()
        meta = write_sigmf(tmp_path / "h", data, "cf32_le")
        src = open_sigmf_pair(meta)
        assert src.sha512 == hashlib.sha512(data).hexdigest()


# ------------------------------------------------------------------ the run fails cleanly


def _start_child(tmp_path, *argv):
    """A child ``kestrix process`` run."""
    return kestrix_child("process", *argv, cwd=tmp_path, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True)


def _slow_run_files(tmp_path, n=1 << 20):
    """An input that takes the child well over a second with tiny blocks."""
    write_raw(tmp_path / "big.cf32", signal(n))
    return ["big.cf32", "--telemetry", "tl.csv", "--telemetry-every", "1", "-o", "out.npy",
            "--block", "64", "-q"]


class TestFailsCleanly:
    def test_input_that_shrinks_is_one_line_and_leaves_nothing(self, tmp_path):
        """Truncated by another program while read: no crash (the old memory map died
        of SIGBUS), one line naming the sample, exit 1, no output, no .part files."""
        child = _start_child(tmp_path, *_slow_run_files(tmp_path))
        wait_for_part(tmp_path, child)
        os.truncate(tmp_path / "big.cf32", 100000)
        _, err = child.communicate(timeout=120)
        assert child.returncode == 1
        assert "the file shrank while it was being read" in one_line(err)
        assert "ended at sample" in err
        assert sorted(os.listdir(tmp_path)) == ["big.cf32"]

    def test_write_failing_in_the_writers_thread_is_one_line_and_leaves_nothing(self, tmp_path):
        """A file-size limit makes a write of the output's own thread fail: the error is
        reported by the run (not lost with the thread), exit 1, no output, no .part."""
        import resource
        import signal as sig

        def limited():
            sig.signal(sig.SIGHUP, sig.SIG_DFL)
            sig.signal(sig.SIGXFSZ, sig.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))

        write_raw(tmp_path / "in.cf32", signal(1 << 19))
        child = kestrix_child("process", "in.cf32", "-o", "out.cf32", "--telemetry", "t.csv",
                              cwd=tmp_path, stderr=subprocess.PIPE, text=True, preexec_fn=limited)
        _, err = child.communicate(timeout=120)
        assert child.returncode == 1 and "File too large" in one_line(err)
        assert sorted(os.listdir(tmp_path)) == ["in.cf32"]

    @pytest.mark.parametrize("signum", ["SIGTERM", "SIGHUP", "SIGINT"])
    def test_signals_clean_up_and_exit_128_plus_signal(self, tmp_path, signum):
        import signal as sig

        num = getattr(sig, signum)
        child = _start_child(tmp_path, *_slow_run_files(tmp_path))
        wait_for_part(tmp_path, child)
        child.send_signal(num)
        _, err = child.communicate(timeout=120)
        assert child.returncode == 128 + num
        assert "no partial output was left behind" in one_line(err)
        assert sorted(os.listdir(tmp_path)) == ["big.cf32"]

    @pytest.mark.filterwarnings("error::pytest.PytestUnraisableExceptionWarning")
    def test_signal_whose_exception_is_lost_still_aborts(self, tmp_path, capsys, monkeypatch):
        """The interpreter drops an exception raised in a finaliser or a garbage-collector
        callback (Dask registers one); a SIGTERM handled there must still stop the commit."""
        import signal as sig

        from kestrix import _sinks

        class KillsOnCollection:
            def __del__(self):
                os.kill(os.getpid(), sig.SIGTERM)
                sum(range(1000))  # the handler runs here, and its exception is dropped

        orig = _sinks.Sink.write

        def write(self, x):
            KillsOnCollection()
            return orig(self, x)

        monkeypatch.setattr(_sinks.Sink, "write", write)
        src = write_raw(tmp_path / "in.cf32", signal(5000))
        code, _, err = run(capsys, "process", src, "-o", tmp_path / "o.npy", "--block", 1000,
                           "--telemetry", tmp_path / "t.csv")
        assert code == 128 + sig.SIGTERM and "no partial output" in one_line(err)
        assert sorted(os.listdir(tmp_path)) == ["in.cf32"]

    def test_failing_write_aborts_every_output(self, tmp_path, capsys, monkeypatch):
        """A full disk on the third block: the telemetry CSV and plot are aborted too."""
        from kestrix import _sinks

        src = write_raw(tmp_path / "in.cf32", signal(5000))
        calls = {"n": 0}
        orig = _sinks.Sink.write

        def full_disk(self, x):
            calls["n"] += 1
            if calls["n"] == 3:
                raise OSError(28, "No space left on device", self.path)
            return orig(self, x)

        monkeypatch.setattr(_sinks.Sink, "write", full_disk)
        code, _, err = run(capsys, "process", src, "-o", tmp_path / "o.npy", "--block", 1000,
                           "--telemetry", tmp_path / "t.csv")
        assert code == 1 and "No space left on device" in one_line(err)
        assert sorted(os.listdir(tmp_path)) == ["in.cf32"]


class TestOutputKinds:
    def test_character_device_is_written_as_a_stream_not_replaced(self, tmp_path, capsys):
        import stat

        dev = tmp_path / "dev.cf32"
        try:
            os.mknod(dev, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # the null device
        except (PermissionError, OSError) as e:
            pytest.skip(f"cannot make a device node here: {e}")
        src = write_raw(tmp_path / "in.cf32", signal(3000))
        for argv in (["-o", dev, "-f"], ["-o", dev], ["-o", os.devnull]):
            code, _, err = run(capsys, "process", src, *argv, "-q")
            assert code == 0, err
            assert stat.S_ISCHR(os.stat(dev).st_mode)
        assert sorted(os.listdir(tmp_path)) == ["dev.cf32", "in.cf32"]

    @pytest.mark.parametrize("name", ["pipe", "pipe.sigmf"])
    def test_fifo_gets_the_stream(self, tmp_path, capsys, name):
        """Raw samples, or a whole SigMF archive (which tarfile writes asking its position)."""
        import threading

        fifo = tmp_path / name
        os.mkfifo(fifo)
        x = signal(3000)
        src = write_raw(tmp_path / "in.cf32", x)
        got = []
        reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()))
        reader.start()
        code, _, err = run(capsys, "process", src, "-o", fifo, "-q")
        reader.join(timeout=60)
        assert code == 0, err
        if name == "pipe.sigmf":
            sigmf = pytest.importorskip("sigmf")
            (tmp_path / "got.sigmf").write_bytes(got[0])
            got[0] = sigmf.sigmffile.fromfile(str(tmp_path / "got.sigmf")).read_samples()
        assert np.array_equal(bits(np.frombuffer(got[0], "<c8")), bits(library_chain(x)))

    def test_folder_is_refused(self, tmp_path, capsys):
        src = write_raw(tmp_path / "in.cf32", signal(64))
        os.mkdir(tmp_path / "d.cf32")
        code, _, err = run(capsys, "process", src, "-o", tmp_path / "d.cf32", "-f")
        assert code == 2 and "is a folder" in one_line(err)

    @pytest.mark.parametrize("name", ["x.wav", "x.dat", "x"])
    def test_unknown_suffix_is_refused_unless_out_format(self, tmp_path, capsys, name):
        x = signal(100)
        src = write_raw(tmp_path / "in.cf32", x)
        code, _, err = run(capsys, "process", src, "-o", tmp_path / name)
        assert code == 2
        assert ".sigmf (SigMF archive)" in one_line(err) and "--out-format" in err
        assert sorted(os.listdir(tmp_path)) == ["in.cf32"]
        assert run(capsys, "process", src, "-o", tmp_path / name, "--out-format", "npy",
                   "-q")[0] == 0
        assert np.array_equal(bits(np.load(tmp_path / name)), bits(library_chain(x)))

    def test_sigmf_archive_round_trip(self, tmp_path, capsys):
        """Written by the sigmf library's archive writer, read by its reader and by kestrix."""
        sigmf = pytest.importorskip("sigmf")
        x = signal(4000)
        meta = write_sigmf(tmp_path / "rec", x.tobytes(), "cf32_le")
        code, _, err = run(capsys, "process", meta, "-o", tmp_path / "out.sigmf",
                           "--lowpass", "0.2", "0.3", "60", "-q")
        assert code == 0, err
        expect = library_chain(x, lowpass=(0.2, 0.3, 60.0))
        rec = sigmf.sigmffile.fromfile(str(tmp_path / "out.sigmf"))
        assert np.array_equal(bits(rec.read_samples()), bits(expect))
        assert rec.get_global_field("core:sample_rate") == 48000.0
        assert rec.get_annotations()[0]["core:comment"] == "a burst"
        assert run(capsys, "process", tmp_path / "out.sigmf", "-o", tmp_path / "copy.npy",
                   "--no-agc", "-q")[0] == 0
        assert np.array_equal(bits(np.load(tmp_path / "copy.npy")), bits(expect))
        code, out, _ = run(capsys, "info", tmp_path / "out.sigmf")
        assert code == 0 and "SigMF archive" in out and "4,000" in out
        assert sorted(p for p in os.listdir(tmp_path) if p.startswith(".")) == []


class TestOptionsThatCannotWork:
    @pytest.mark.parametrize("argv,needle", [
        (["--ref-db", "-400"], "below the detector's floor"),
        (["--ref-db", "400"], "above 123.01 dB"),
        (["--clip-db", "0", "--ref-db", "3.02"], "above 3.01 dB"),
    ])
    def test_unreachable_reference_is_refused(self, tmp_path, capsys, argv, needle):
        src = write_raw(tmp_path / "in.cf32", signal(64))
        code, _, err = run(capsys, "process", src, *argv)
        assert code == 2 and needle in one_line(err)
        assert sorted(os.listdir(tmp_path)) == ["in.cf32"]

    def test_reachable_extremes_run(self, tmp_path, capsys):
        src = write_raw(tmp_path / "in.cf32", signal(64))
        for argv in (["--ref-db", "-300"], ["--clip-db", "0", "--ref-db", "3.01"]):
            code, _, err = run(capsys, "process", src, *argv, "-f", "-q")
            assert code == 0 and err == ""

    def test_pairing_rule_warns_once_and_continues(self, tmp_path, capsys):
        x = signal(800)
        src = write_raw(tmp_path / "in.cf32", x)
        code, _, err = run(capsys, "process", src, "--loop-bw", "0.25", "-q")
        assert code == 0
        assert "may ring or oscillate" in one_line(err) and "4*decim*loop_bw = 8" in err
        expect = library_chain(x, loop_bw=0.25)
        assert np.array_equal(bits(read_raw(tmp_path / "in.kestrix.cf32")), bits(expect))


class TestDesignNumbersAreTheDesigners:
    @pytest.mark.parametrize("fpass,fstop,atten", [
        (0.2, 0.3, 60.0), (0.1, 0.2, 50.0), (0.25, 0.35, 50.0001), (0.05, 0.3, 33.3),
        (0.4, 0.6, 97.123), (0.0, 0.9, 21.0)])
    def test_printed_beta_and_length(self, tmp_path, capsys, fpass, fstop, atten):
        from kestrix.filter import _kaiser_beta

        taps = design_lowpass(fpass, fstop, atten)
        code, out, _ = run(capsys, "design", fpass, fstop, atten)
        assert code == 0
        beta = next(ln for ln in out.splitlines() if ln.split()[:1] == ["beta"]).split()[1]
        assert float(beta) == _kaiser_beta(atten)
        assert f"taps                {len(taps)} " in out
        src = write_raw(tmp_path / "in.cf32", signal(64))
        code, out, _ = run(capsys, "process", src, "--lowpass", fpass, fstop, atten, "-f")
        assert f"{len(taps)} taps, Kaiser beta {str(np.float32(beta))})" in out


class TestBoundedMemory:
    # The child reports its own high-water mark: ru_maxrss would also count the
    # pages of the (large) test process it was forked from.
    CHILD = ("import re, sys; from kestrix.cli import main; code = main(sys.argv[1:]); "
             "print(re.search(r'VmHWM:\\s*(\\d+)', open('/proc/self/status').read())[1]); "
             "sys.exit(code)")

    def _peak_rss_mb(self, tmp_path, n, channels):
        rng = np.random.default_rng(n)
        x = np.empty(n, np.complex64)
        x.view(np.float32)[:] = rng.standard_normal(2 * n, dtype=np.float32)
        write_raw(tmp_path / f"r{n}.cf32", x)
        del x
        r = subprocess.run([sys.executable, "-c", self.CHILD, "process", f"r{n}.cf32", "-o",
                            f"r{n}.npy", "-q", "--lowpass", "0.2", "0.3", "60", "--average", "8",
                            "--telemetry", f"r{n}.csv", "--telemetry-every", "1",
                            "--plot", f"r{n}.png", "--channels", str(channels)],
                           cwd=tmp_path, capture_output=True, text=True, timeout=300)
        assert r.returncode == 0, r.stderr
        return int(r.stdout) / 1024

    @pytest.mark.parametrize("channels", [1, 4])
    def test_peak_rss_does_not_grow_with_the_recording(self, tmp_path, channels):
        """16x the samples, every accumulator on: peak memory within 10%."""
        pytest.importorskip("matplotlib")
        if not os.path.exists("/proc/self/status"):
            pytest.skip("needs /proc for the child's own peak memory")
        if "ASAN_OPTIONS" in os.environ:
            pytest.skip("AddressSanitizer's quarantine holds freed memory back")
        small = self._peak_rss_mb(tmp_path, 1 << 18, channels)
        big = self._peak_rss_mb(tmp_path, 1 << 22, channels)
        assert big <= 1.1 * small, (small, big)

    @pytest.mark.parametrize("nbins,chunks", [(8, 7), (16, 1), (64, 333)])
    def test_bins_keep_every_extreme(self, nbins, chunks):
        """Merged bins hold exactly the min, max and mean of the values they cover."""
        from kestrix._stats import Bins

        v = np.random.default_rng(nbins).standard_normal(5000)
        v[[17, 2345, 4999]] = [40.0, -50.0, 30.0]  # one-value overshoots
        b = Bins(nbins)
        for s in range(0, len(v), chunks):
            b.add(v[s : s + chunks])
        s = b.series()
        assert len(s["mean"]) <= nbins and b.width * nbins >= len(v)
        starts = np.arange(0, len(v), b.width)
        assert np.array_equal(s["min"], np.minimum.reduceat(v, starts))
        assert np.array_equal(s["max"], np.maximum.reduceat(v, starts))
        assert np.allclose(s["mean"], np.add.reduceat(v, starts) / np.diff(np.append(starts, len(v))))
        assert s["max"].max() == 40.0 and s["min"].min() == -50.0

    def test_plot_title_is_wrapped_not_cut(self, tmp_path):
        pytest.importorskip("matplotlib")
        from kestrix import _plot
        from kestrix.engine import Agc, Average, ChainConfig, Lowpass

        fig, _ = _plot._figure(1, 4.0)
        chain = ChainConfig(Lowpass(0.2, 0.3, 60.0), Agc(), Average(8)).describe()
        _plot._title(fig, "a-rather-long-recording-name.sigmf-meta: " + chain)
        fig.canvas.draw()
        box = fig._suptitle.get_window_extent()
        assert box.x0 >= 0 and box.x1 <= fig.bbox.width
        assert "moving average (len 8, gain 1)" in fig._suptitle.get_text().replace("\n", " ")
