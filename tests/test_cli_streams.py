"""``kestrix process`` in pipelines, on every sample type, on several channels, with given taps.

Outputs are compared bit for bit with the library chain on the same samples
(each channel alone), stored sample types with the sigmf library's own reader.
"""

from __future__ import annotations

import csv
import hashlib
import json
import os
import shutil
import subprocess
import sys
import time

import numpy as np
import pytest

from kestrix._datatypes import DATATYPES
from kestrix.agc import AGC
from kestrix.filter import FIR, design_lowpass
from kestrix.telemetry import Telemetry

from conftest import bits, kestrix_child, library_chain, one_line, read_raw, write_raw, write_sigmf
from conftest import cli_signal as signal
from conftest import run_cli as run

LOWPASS = ("--lowpass", "0.2", "0.3", "60")


def cu8(n: int, seed: int = 5) -> tuple[bytes, np.ndarray]:
    """n random cu8 samples, and their values as the sigmf library scales them."""
    u = np.random.default_rng(seed).integers(0, 256, 2 * n, dtype=np.uint8)
    return u.tobytes(), ((u.astype(np.float32) - 128) * np.float32(1 / 128)).view(np.complex64)


def processing(meta_path) -> dict:
    return json.loads(open(meta_path).read())["global"]["kestrix:processing"]


# A writer that hands its file to the pipe in pieces of random, odd sizes.
WRITER = ("import os, random, sys\ndata = open(sys.argv[1], 'rb').read()\nr, i = random.Random(1), 0\n"
          "while i < len(data):\n    k = r.randint(1, 3000)\n    os.write(1, data[i:i + k])\n    i += k")


class TestPipeline:
    @pytest.mark.parametrize("out", ["-", "/dev/stdout"])
    def test_odd_pieces_come_out_bit_identical(self, tmp_path, out):
        data, x = cu8(20011)
        (tmp_path / "in.bin").write_bytes(data)
        writer = subprocess.Popen([sys.executable, "-c", WRITER, "in.bin"], cwd=tmp_path,
                                  stdout=subprocess.PIPE)
        child = kestrix_child("process", "-", "--datatype", "cu8", "-o", out, *LOWPASS, "--decim",
                              "5", "--block", "1000", "--average", "3", cwd=tmp_path,
                              stdin=writer.stdout, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        writer.stdout.close()
        got, err = child.communicate(timeout=120)
        assert writer.wait(timeout=60) == 0 and child.returncode == 0, err
        expect = library_chain(x, lowpass=(0.2, 0.3, 60.0), decim=5, average=3)
        assert np.array_equal(bits(np.frombuffer(got, "<c8")), bits(expect))
        assert b"length unknown" in err and b"summary" in err  # the report went to stderr

    def test_output_pipe_holds_a_block(self, tmp_path):
        """A block passes into the pipe in one step, not in 64 KiB pieces that each wait
        for the reader: the command widens it (as far as Linux lets anyone)."""
        fcntl = pytest.importorskip("fcntl")
        if not hasattr(fcntl, "F_GETPIPE_SZ"):
            pytest.skip("pipe sizes are Linux's")
        (tmp_path / "in.cu8").write_bytes(cu8(1000)[0])
        r, w = os.pipe()
        with os.fdopen(r, "rb") as out:
            child = kestrix_child("process", "in.cu8", "-o", "-", cwd=tmp_path, stdout=w,
                                  stderr=subprocess.DEVNULL)
            os.close(w)
            got = out.read()
            size = fcntl.fcntl(out.fileno(), fcntl.F_GETPIPE_SZ)
        assert child.wait(timeout=60) == 0 and len(got) == 8000
        with open("/proc/sys/fs/pipe-max-size") as f:
            assert size >= min(1 << 20, int(f.read()))

    def test_reader_that_goes_away_ends_the_run_quietly(self, tmp_path):
        if shutil.which("head") is None:
            pytest.skip("needs head")
        (tmp_path / "big.cu8").write_bytes(cu8(1 << 20)[0])
        child = kestrix_child("process", "big.cu8", "-o", "-", "--telemetry", "t.csv",
                              cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        head = subprocess.Popen(["head", "-c", "1000"], stdin=child.stdout, stdout=subprocess.PIPE)
        child.stdout.close()
        assert len(head.communicate(timeout=120)[0]) == 1000
        err = child.stderr.read()
        assert child.wait(timeout=120) == 141  # 128 + SIGPIPE, as a pipeline expects
        assert b"Traceback" not in err and b"error" not in err
        assert os.listdir(tmp_path) == ["big.cu8"]  # the CSV was not left behind

    def test_termination_while_the_output_pipe_stalls(self, tmp_path):
        """Nobody reads the output pipe, so the samples wait in it and behind it: SIGTERM
        still ends the run at once, with 128 + 15 and no traceback."""
        fcntl, termios = pytest.importorskip("fcntl"), pytest.importorskip("termios")
        (tmp_path / "big.cu8").write_bytes(cu8(1 << 20)[0])  # 8 MiB out
        r, w = os.pipe()
        child = kestrix_child("process", "big.cu8", "-o", "-", cwd=tmp_path, stdout=w,
                              stderr=subprocess.PIPE)
        os.close(w)
        try:
            held = bytearray(4)
            end = time.monotonic() + 60
            while time.monotonic() < end and child.poll() is None:
                fcntl.ioctl(r, termios.FIONREAD, held)
                if int.from_bytes(held, sys.byteorder) >= fcntl.fcntl(r, fcntl.F_GETPIPE_SZ):
                    break  # the pipe is full
                time.sleep(0.05)
            time.sleep(0.3)
            child.send_signal(15)
            code = child.wait(timeout=30)
        finally:
            child.kill()
            os.close(r)
        assert code == 128 + 15
        assert b"Traceback" not in child.stderr.read()

    @pytest.mark.parametrize("stdin,argv,code,needle", [
        (b"\x01\x02\x03", ["-", "--datatype", "cu8"], 1, "1 byte into a 2-byte cu8 sample"),
        (b"", ["-", "--datatype", "cu8"], 1, "standard input: the stream held no samples"),
        (b"", [os.devnull, "--datatype", "cu8"], 1, "the stream held no samples"),
        (b"", ["-"], 2, "give --datatype"),
        (b"", ["-", "--datatype", "cu8", "--format", "npy"], 2, "carry raw samples"),
    ])
    def test_streams_that_cannot_work(self, tmp_path, capsys, monkeypatch, stdin, argv, code,
                                      needle):
        (tmp_path / "in.bin").write_bytes(stdin)
        with open(tmp_path / "in.bin", "rb") as f:
            monkeypatch.setattr(sys, "stdin", f)
            got, _, err = run(capsys, "process", *argv, "-o", tmp_path / "o.cf32")
        assert got == code and needle in one_line(err)
        assert sorted(os.listdir(tmp_path)) == ["in.bin"]

    def test_progress_without_a_total(self, tmp_path, capsys, monkeypatch):
        pytest.importorskip("tqdm")
        data, x = cu8(5000)
        (tmp_path / "in.bin").write_bytes(data)
        monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
        with open(tmp_path / "in.bin", "rb") as f:
            monkeypatch.setattr(sys, "stdin", f)
            code, _, err = run(capsys, "process", "-", "--datatype", "cu8", "-o",
                               tmp_path / "o.cf32", "--no-agc")
        assert code == 0 and np.array_equal(bits(read_raw(tmp_path / "o.cf32")), bits(x))
        assert "S/s" in err and "%" not in err  # samples and rate, no share of a total


# LSB multiples and the integers they round to: ties go to the even neighbour.
LSB = [0.5, 1.5, 2.5, -0.5, -1.5, 0.25, 3.75]
CODES = [0, 2, 2, 0, -2, 0, 4]


class TestSampleTypes:
    @pytest.mark.parametrize("datatype", DATATYPES)
    def test_written_type_reads_back_through_sigmf(self, tmp_path, capsys, datatype):
        """Integers: scaled to full scale 1.0, rounded half to even, saturated (NaN to
        the most negative value) and counted."""
        sigmf = pytest.importorskip("sigmf")
        if "f" in datatype:
            x = expect = signal(64)
        else:
            half = 2.0 ** (int(datatype[2:].split("_")[0]) - 1)
            lsb = LSB + [half - 0.5, -half - 0.5, 1e30, -1e30, np.nan]  # 3 beyond, and a NaN
            codes = CODES + [half - 1, -half, half - 1, -half, -half]
            scale = np.float32(1 / half)
            x = (np.array(lsb, np.float32) * scale).view(np.complex64)
            offset = half if datatype.startswith("cu") else 0.0  # and read back as sigmf does
            stored = np.array(codes) + offset
            expect = ((stored.astype(np.float32) - np.float32(offset)) * scale).view(np.complex64)
        np.save(tmp_path / "in.npy", x)
        code, out, _ = run(capsys, "process", tmp_path / "in.npy", "-o", tmp_path / "o.sigmf-meta",
                           "--out-datatype", datatype, "--no-agc")
        assert code == 0
        back = sigmf.sigmffile.fromfile(str(tmp_path / "o.sigmf-meta")).read_samples()
        assert np.array_equal(bits(back.astype(np.complex64)), bits(expect))
        if "f" not in datatype:
            assert "saturated   4 of 12 components" in out

    def test_suffix_or_datatype_names_raw_input(self, tmp_path, capsys):
        data, x = cu8(1000)
        (tmp_path / "c.cu8").write_bytes(data)
        code, _, _ = run(capsys, "process", tmp_path / "c.cu8", "--format", "raw", "-o",
                         tmp_path / "a.npy", "--no-agc")
        assert code == 0 and np.array_equal(bits(np.load(tmp_path / "a.npy")), bits(x))
        code, _, err = run(capsys, "process", tmp_path / "c.cu8", "--datatype", "ci8", "-o",
                           tmp_path / "b.npy", "--no-agc", "-q")
        assert code == 0 and "not as the cu8 its name says" in one_line(err)
        signed = (np.frombuffer(data, np.int8) * np.float32(1 / 128)).view(np.complex64)
        assert np.array_equal(bits(np.load(tmp_path / "b.npy")), bits(signed))

    @pytest.mark.parametrize("name,argv,needle", [
        ("in.dat", [], "give --format, or --datatype"),
        ("in.raw", [], "give --datatype"),
        ("in.dat", ["--format", "raw"], "give --datatype"),
        ("in.cf32", ["-o", "o.cu8", "--out-datatype", "ci16_le"], "named as cu8"),
        ("in.cf32", ["-o", "o.npy", "--out-datatype", "ci16_le"], "holds complex floats"),
        ("in.cf32", ["-o", "o.cf32", "--sha512"], "--sha512 records"),
        ("in.cf32", ["-o", "-", "--telemetry", "-", "-q"], "share standard output"),
        ("in.cf32", ["--lowpass-hz", "1", "2", "60"], "--lowpass-hz needs the sample rate"),
        ("in.cf32", ["--taps", os.devnull], "holds no taps"),
        ("in.cf32", ["--taps", "/dev/zero"], "larger than 1,048,576 bytes"),
    ])
    def test_refused_before_anything_is_written(self, tmp_path, capsys, monkeypatch, name, argv,
                                                needle):
        monkeypatch.chdir(tmp_path)
        write_raw(tmp_path / name, signal(64))
        code, _, err = run(capsys, "process", name, *argv)
        assert code == 2 and needle in one_line(err)
        assert os.listdir(tmp_path) == [name]


class TestChannels:
    def test_each_channel_is_its_own_chain(self, tmp_path, capsys):
        sigmf = pytest.importorskip("sigmf")
        x = np.stack([signal(3001, seed=1), signal(3001, seed=2) * np.float32(3)], axis=1)
        meta = write_sigmf(tmp_path / "two", x.tobytes(), "cf32_le", **{"core:num_channels": 2})
        np.save(tmp_path / "two.npy", x)
        chain = [*LOWPASS, "--average", "4", "--block", "1000", "-q"]
        expect = library_chain(x, lowpass=(0.2, 0.3, 60.0), average=4)
        assert run(capsys, "process", meta, "-o", tmp_path / "o.sigmf", *chain, "--telemetry",
                   tmp_path / "t.csv", "--telemetry-every", "1")[0] == 0
        rec = sigmf.sigmffile.fromfile(str(tmp_path / "o.sigmf"))
        assert rec.num_channels == 2 and np.array_equal(bits(rec.read_samples()), bits(expect))
        assert run(capsys, "process", tmp_path / "two.npy", "-o", tmp_path / "o.npy", *chain)[0] == 0
        assert np.array_equal(bits(np.load(tmp_path / "o.npy")), bits(expect))
        with open(tmp_path / "t.csv", newline="") as f:
            rows = list(csv.DictReader(f))
        assert [int(r["channel"]) for r in rows[:4]] == [0, 1, 0, 1]
        assert [int(r["sample"]) for r in rows] == sorted(int(r["sample"]) for r in rows)
        tlm = Telemetry(1 << 12)
        agc = AGC()
        agc.set_telemetry(tlm, "agc")
        agc.steps(FIR(design_lowpass(0.2, 0.3, 60.0)).execute(np.ascontiguousarray(x[:, 1])))
        recs = tlm.read()
        gain = recs["value"][recs["probe"] == tlm.probe_id("agc.gain_db")]
        got = np.array([float(r["gain_db"]) for r in rows if r["channel"] == "1"], np.float32)
        assert np.array_equal(got.view(np.uint32), gain.view(np.uint32))
        code, out, _ = run(capsys, "info", meta)
        assert "2, interleaved sample by sample" in out and "3,001 per channel" in out

    def test_plot_shows_the_first_four_and_says_so(self, tmp_path, capsys, monkeypatch):
        pytest.importorskip("matplotlib")
        from kestrix import _plot

        seen = {}
        figure, title = _plot._figure, _plot._title
        monkeypatch.setattr(_plot, "_figure", lambda rows, *a: seen.setdefault("rows", rows)
                            and figure(rows, *a))
        monkeypatch.setattr(_plot, "_title", lambda fig, t: seen.setdefault("title", t)
                            and title(fig, t))
        np.save(tmp_path / "six.npy", np.stack([signal(2000, seed=k) for k in range(6)], axis=1))
        code, _, _ = run(capsys, "process", tmp_path / "six.npy", "--plot", tmp_path / "p.png", "-q")
        assert code == 0 and os.path.getsize(tmp_path / "p.png") > 0
        assert seen["rows"] == 4 * 4  # power, AGC loop, input and output spectrograms each
        assert seen["title"].endswith("[channels 0-3 of 6 shown]")


class TestTapsAndDelay:
    @pytest.mark.parametrize("kind", ["float32 npy", "float64 npy", "complex text"])
    def test_given_taps_filter_like_fir(self, tmp_path, capsys, kind):
        pytest.importorskip("sigmf")
        rng = np.random.default_rng(4)
        taps = rng.standard_normal(19).astype(np.float32)  # not symmetric
        if kind == "float32 npy":
            np.save(tmp_path / "t.npy", taps)
        elif kind == "float64 npy":
            np.save(tmp_path / "t.npy", taps.astype(np.float64) + 1e-12)
        else:
            taps = (taps + 1j * rng.standard_normal(19)).astype(np.complex64)
            (tmp_path / "t.txt").write_text("# complex taps\n" + "\n".join(map(str, taps)) + "\n")
        name = tmp_path / ("t.txt" if kind == "complex text" else "t.npy")
        x = signal(2000)
        code, _, err = run(capsys, "process", write_raw(tmp_path / "in.cf32", x), "--taps", name,
                           "-o", tmp_path / "o.sigmf-meta", "-q")
        assert code == 0
        assert ("19 of 19 float64 taps changed" in err) == (kind == "float64 npy")
        y = np.fromfile(tmp_path / "o.sigmf-data", np.complex64)
        assert np.array_equal(bits(y), bits(library_chain(x, taps=taps)))
        rec = processing(tmp_path / "o.sigmf-meta")
        assert rec["group_delay_samples"] is None and rec["group_delay_note"] == "not linear phase"

    @pytest.mark.parametrize("name", ["taps.txt", "taps.npy"])
    def test_design_taps_round_trip_exactly(self, tmp_path, capsys, name):
        pytest.importorskip("sigmf")
        assert run(capsys, "design", "0.2", "0.3", "60", "--taps-out", tmp_path / name)[0] == 0
        src = write_raw(tmp_path / "in.cf32", signal(3000))
        code, _, err = run(capsys, "process", src, "--taps", tmp_path / name, "--average", "8",
                           "-o", tmp_path / "a.sigmf-meta", "-q")
        assert code == 0 and err == ""  # no note: the text is float32's own decimals
        assert run(capsys, "process", src, *LOWPASS, "--average", "8", "-o",
                   tmp_path / "b.sigmf-meta", "-q")[0] == 0
        a, b = (np.fromfile(tmp_path / f"{k}.sigmf-data", np.complex64) for k in "ab")
        assert np.array_equal(bits(a), bits(b))
        assert processing(tmp_path / "a.sigmf-meta")["group_delay_samples"] == 37 + 3.5

    def test_lowpass_hz_is_the_lowpass_at_the_rate(self, tmp_path, capsys):
        x = signal(3000)
        src = write_raw(tmp_path / "in.cf32", x)
        code, out, _ = run(capsys, "process", src, "--lowpass-hz", "200e3", "300e3", "60",
                           "--rate", "2e6", "-o", tmp_path / "o.cf32")
        assert code == 0 and "200 kHz/300 kHz at 2 MHz" in out
        expect = library_chain(x, lowpass=(0.2, 0.3, 60.0))
        assert np.array_equal(bits(read_raw(tmp_path / "o.cf32")), bits(expect))


class TestSigmfOutput:
    def test_positions_kept_and_digest_only_when_asked(self, tmp_path, capsys):
        sigmf = pytest.importorskip("sigmf")
        x = signal(4000)
        meta = write_sigmf(tmp_path / "rec", x.tobytes(), "cf32_le")
        assert run(capsys, "process", meta, "-o", tmp_path / "a.sigmf-meta", *LOWPASS, "-q")[0] == 0
        m = json.loads((tmp_path / "a.sigmf-meta").read_text())
        assert "core:sha512" not in m["global"]
        note = m["annotations"][0]
        assert (note["core:sample_start"], note["core:sample_count"]) == (10, 20)
        assert processing(tmp_path / "a.sigmf-meta")["group_delay_samples"] == 37
        assert run(capsys, "process", meta, "-o", tmp_path / "b.sigmf", *LOWPASS, "--sha512",
                   "-q")[0] == 0
        rec = sigmf.sigmffile.fromfile(str(tmp_path / "b.sigmf"))  # checks the digest
        data = library_chain(x, lowpass=(0.2, 0.3, 60.0)).tobytes()
        assert rec.get_global_field("core:sha512") == hashlib.sha512(data).hexdigest()
        code, out, _ = run(capsys, "info", tmp_path / "b.sigmf")
        assert "lowpass_fir (75 taps) -> agc (0 dB ref); group delay 37 samples" in out
