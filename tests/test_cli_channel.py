"""Channel selection in the ``kestrix`` command: --shift and --decimate."""

from __future__ import annotations

import csv
import json

import numpy as np
import pytest

from kestrix.engine import ChainConfig, RunOptions, Shift, process_recording

from conftest import bits, library_chain, one_line, read_raw, write_raw, write_sigmf
from conftest import cli_signal as signal
from conftest import run_cli as run

RATE = 48000.0
LOWPASS = ("--lowpass-hz", "3000", "5000", "60")
EDGES = (3000 / 24000, 5000 / 24000, 60.0)  # the same, as fractions of Nyquist


class TestChannelSelection:
    @pytest.mark.parametrize("n,block,decimate,extra", [
        (5000, 1000, 8, ()),
        (4099, 7, 3, ("--average", "5", "--decim", "4")),
        (3001, 4096, 5, ("--no-agc",)),
        (2000, 64, 1, ()),
    ])
    def test_equals_library_chain(self, tmp_path, capsys, n, block, decimate, extra):
        """Shift, lowpass keeping 1 in D, AGC, average: the bits of the library calls on the
        whole array, whatever the block (a block may end inside a group of D)."""
        x = signal(n, seed=n)
        src = write_raw(tmp_path / "in.cf32", x)
        code, _, err = run(capsys, "process", src, "-o", tmp_path / "o.cf32", "--rate", RATE,
                           "--shift", "-2.5e3", *LOWPASS, "--decimate", decimate,
                           "--block", block, *extra, "-q")
        assert code == 0, err
        kw = {"average": 5, "decim": 4} if "--average" in extra else {}
        expect = library_chain(x, lowpass=EDGES, shift=-2500 / RATE, decimate=decimate,
                               agc="--no-agc" not in extra, **kw)
        got = read_raw(tmp_path / "o.cf32")
        assert len(got) == -(-n // decimate)
        assert np.array_equal(bits(got), bits(expect))

    def test_channels_each_through_their_own_chain(self, tmp_path, capsys):
        x = signal(6000, seed=3).reshape(-1, 2)
        src = write_raw(tmp_path / "in.cf32", x.ravel())
        code, _, err = run(capsys, "process", src, "--channels", "2", "-o", tmp_path / "o.cf32",
                           "--lowpass", "0.1", "0.2", "50", "--decimate", "4", "--block", "100",
                           "-q")
        assert code == 0, err
        expect = library_chain(x, lowpass=(0.1, 0.2, 50.0), decimate=4)
        assert np.array_equal(bits(read_raw(tmp_path / "o.cf32").reshape(-1, 2)), bits(expect))

    def test_metadata_telemetry_and_summary_at_the_output_rate(self, tmp_path, capsys):
        sigmf = pytest.importorskip("sigmf")
        x = signal(4000)
        meta = write_sigmf(tmp_path / "rec", x.tobytes(), "cf32_le")  # 48 kHz, 433.92 MHz
        out = tmp_path / "ch.sigmf-meta"
        code, text, err = run(capsys, "process", meta, "-o", out, "--shift", "6000", *LOWPASS,
                              "--decimate", "8", "--telemetry", tmp_path / "t.csv",
                              "--telemetry-every", "1")
        assert code == 0, err
        assert "500 samples at 6 kHz (1 in 8 kept)" in text
        m = json.loads(out.read_text())
        assert m["global"]["core:sample_rate"] == 6000.0
        # +6 kHz moved to 0 Hz: the recording is now centred 6 kHz lower.
        assert m["captures"][0]["core:frequency"] == pytest.approx(433.92e6 - 6000.0, abs=1e-3)
        # The annotation of input samples 10 .. 29 covers output samples 2 and 3.
        assert (m["annotations"][0]["core:sample_start"], m["annotations"][0]["core:sample_count"]) == (2, 2)
        chain = m["global"]["kestrix:processing"]["chain"]
        assert [s["stage"] for s in chain] == ["shift", "lowpass_fir", "agc"]
        assert chain[0]["applied_shift_hz"] == pytest.approx(6000.0, rel=1e-12)
        assert chain[1]["decimate"] == 8
        assert m["global"]["kestrix:processing"]["group_delay_samples"] == pytest.approx(
            chain[1]["group_delay_samples"] / 8)
        back = sigmf.sigmffile.fromfile(str(out)).read_samples()
        assert np.array_equal(bits(back), bits(library_chain(
            x, lowpass=EDGES, shift=6000 / RATE, decimate=8)))
        # Loop updates every 8 AGC samples (and at the end), counted and timed at
        # the output rate.
        rows = list(csv.DictReader(open(tmp_path / "t.csv")))
        assert [int(r["sample"]) for r in rows] == list(range(8, 500, 8)) + [500]
        assert float(rows[-2]["time_s"]) == pytest.approx(496 / 6000.0)

    def test_shift_waits_for_the_recordings_rate(self, tmp_path):
        """A shift in Hz without --rate (as for several recordings) takes each one's own."""
        pytest.importorskip("sigmf")
        x = signal(3000)
        meta = write_sigmf(tmp_path / "rec", x.tobytes(), "cf32_le")
        process_recording(meta, str(tmp_path / "o.cf32"),
                          ChainConfig(shift=Shift(-1200.0)), RunOptions(block=256))
        expect = library_chain(x, agc=False, shift=-1200.0 / RATE)
        assert np.array_equal(bits(read_raw(tmp_path / "o.cf32")), bits(expect))

    @pytest.mark.parametrize("argv,needle", [
        (("--decimate", "4"), "--decimate 4 drops samples: it needs a lowpass"),
        (("--shift", "100"), "--shift needs the sample rate"),
        (("--shift", "30e3", "--rate", "48e3"), "beyond the band of +-24 kHz"),
        (("--decimate", "0"), "--decimate"),
    ])
    def test_refused(self, tmp_path, capsys, argv, needle):
        src = write_raw(tmp_path / "in.cf32", signal(100))
        code, _, err = run(capsys, "process", src, "-o", tmp_path / "o.cf32", *argv)
        assert code == 2 and needle in one_line(err)
        assert not (tmp_path / "o.cf32").exists()

    def test_workers_run_one_decimated_recording_in_order(self, tmp_path, capsys):
        pytest.importorskip("distributed")
        x = signal(3000)
        src = write_raw(tmp_path / "in.cf32", x)
        code, _, err = run(capsys, "process", src, "-o", tmp_path / "o.cf32", "--workers", "2",
                           "--no-agc", "--lowpass", "0.1", "0.2", "50", "--decimate", "3", "-q")
        assert code == 0
        assert "a shift or a decimation counts the samples from the recording's start" in err
        expect = library_chain(x, agc=False, lowpass=(0.1, 0.2, 50.0), decimate=3)
        assert np.array_equal(bits(read_raw(tmp_path / "o.cf32")), bits(expect))
