"""``kestrix process`` on several recordings, and on a Dask cluster.

Every output is compared byte for byte with a single-file run of the same
options (which test_cli.py compares with the library chain).  The clusters
are real: a LocalCluster the command starts (``--workers``), or the
scheduler and worker child processes of the ``dask_scheduler`` fixture.
"""

from __future__ import annotations

import csv
import hashlib
import importlib.util
import json
import os
import re
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from kestrix._batch import expand_inputs, output_name

from conftest import kestrix_child, one_line, wait_for_part, write_raw, write_sigmf
from conftest import cli_signal as make_signal
from conftest import run_cli as run

dask_only = pytest.mark.skipif(importlib.util.find_spec("distributed") is None,
                               reason="needs the dask extra")

CHAIN = ("--lowpass", "0.2", "0.3", "60", "--average", "4", "--ref-db", "-6")
FIR_ONLY = ("--no-agc", "--lowpass", "0.1", "0.15", "50")


def ci16(n: int, seed: int) -> bytes:
    x = make_signal(n, seed).view(np.float32)
    return np.clip(np.rint(x * 32768), -32768, 32767).astype("<i2").tobytes()


def outputs(folder) -> dict[str, bytes]:
    """Every file in ``folder`` but the summary, by name."""
    return {n: open(os.path.join(folder, n), "rb").read() for n in sorted(os.listdir(folder))
            if n != "summary.csv"}


def single_runs(capsys, folder, inputs, *argv) -> tuple[dict[str, bytes], dict[str, str]]:
    """Each input through its own ``kestrix process IN -o folder/NAME``: the files, and
    what each run printed, by input."""
    os.makedirs(folder)
    printed = {}
    for path in inputs:
        name = os.path.basename(path).replace(".sigmf-data", ".sigmf-meta")
        code, out, err = run(capsys, "process", path, "-o", os.path.join(folder, name), *argv)
        assert code == 0, err
        printed[path] = out
    return outputs(folder), printed


def summary_rows(folder) -> list[dict]:
    with open(os.path.join(folder, "summary.csv"), newline="") as f:
        return list(csv.DictReader(f))


@dask_only
class TestBatch:
    def test_each_output_is_a_single_runs_and_failures_are_reported(self, tmp_path, capsys):
        """A folder of good and bad recordings on a LocalCluster: the good ones come out
        with the bytes of single runs, the bad ones get a row, a line and exit 1."""
        rec = tmp_path / "rec"
        rec.mkdir()
        write_raw(rec / "a.cf32", make_signal(40_000, 1))
        np.save(rec / "b.npy", make_signal(30_000, 2).reshape(-1, 2))
        write_sigmf(rec / "c", ci16(25_000, 3), "ci16_le")
        (rec / "d.cf32").write_bytes(bytes(8 * 100 + 3))  # truncated
        (rec / "e.sigmf-meta").write_text("{not json")
        (rec / "e.sigmf-data").write_bytes(bytes(80))
        (rec / "notes.txt").write_text("not a recording")
        code, out, err = run(capsys, "process", rec, "-o", tmp_path / "out", "--workers", 2,
                             *CHAIN)
        assert code == 1
        lines = err.strip().splitlines()
        assert "Traceback" not in err and len(lines) == 3
        assert any("d.cf32: truncated raw file" in ln for ln in lines)
        assert any("e.sigmf-meta: not valid SigMF metadata" in ln for ln in lines)
        assert lines[-1].endswith("2 of 5 recordings failed; "
                                  f"{tmp_path / 'out' / 'summary.csv'} has a row for each")
        assert "LocalCluster of 2 worker processes" in out
        good = [str(rec / n) for n in ("a.cf32", "b.npy", "c.sigmf-meta")]
        expected, printed = single_runs(capsys, tmp_path / "single", good, *CHAIN)
        assert outputs(tmp_path / "out") == expected
        rows = summary_rows(tmp_path / "out")
        assert [r["input"] for r in rows] == [str(rec / n) for n in (
            "a.cf32", "b.npy", "c.sigmf-meta", "d.cf32", "e.sigmf-meta")]
        assert [r["status"] for r in rows] == ["ok"] * 3 + ["failed"] * 2
        assert [r["samples"] for r in rows] == ["40000", "15000", "25000", "", ""]
        assert [r["channels"] for r in rows[:3]] == ["1", "2", "1"]
        assert rows[2]["duration_s"] == f"{25_000 / 48_000:.9g}" and rows[0]["duration_s"] == ""
        assert "truncated raw file" in rows[3]["error"] and rows[3]["output"].endswith("d.cf32")
        for row in rows[:3]:  # the levels are the ones a single run prints
            level = re.search(r"^  (?:ch 0 )?input +mean +(\S+) dB", printed[row["input"]], re.M)
            assert abs(float(row["input_level_db"]) - float(level[1])) <= 0.0051
            assert float(row["agc_gain_db"]) > 0 > float(row["input_level_db"])

    def test_on_a_cluster_started_by_hand(self, tmp_path, capsys, dask_scheduler):
        """--scheduler, a glob pattern naming pairs by their data files, and band edges in
        Hz designed at each recording's own rate."""
        rec = tmp_path / "rec"
        rec.mkdir()
        write_sigmf(rec / "x", ci16(20_000, 4), "ci16_le")
        write_sigmf(rec / "y", ci16(20_000, 5), "ci16_le", **{"core:sample_rate": 24000.0})
        argv = ("--no-agc", "--lowpass-hz", "3000", "5000", "50", "--average", "8")
        code, out, err = run(capsys, "process", rec / "*.sigmf-data", "-o", tmp_path / "out",
                             "--scheduler", dask_scheduler, *argv)
        assert code == 0, err
        assert f"the scheduler at {dask_scheduler}, 2 workers" in out
        expected, _ = single_runs(capsys, tmp_path / "single",
                                  [str(rec / "x.sigmf-meta"), str(rec / "y.sigmf-meta")], *argv)
        assert outputs(tmp_path / "out") == expected
        assert [r["duration_s"] for r in summary_rows(tmp_path / "out")] == ["0.416666667",
                                                                              "0.833333333"]

    @pytest.mark.parametrize("argv, needle", [
        (["-o", "{out}", "--telemetry", "t.csv"], "--telemetry writes one file"),
        ([], "give -o FOLDER"),
        (["-o", "{a}"], "-o names a folder, and this is a file"),
        (["-o", "{out}.cf32"], "-o names a folder, and this is the name of a recording"),
        (["-o", "{out}", "{a}"], "two inputs would be written to one name"),
        (["-o", "{rec}"], "an output would replace its input"),
        (["-o", "{full}"], "output exists"),
        (["-", "-o", "{out}"], "standard input ('-') is one input alone"),
    ], ids=["telemetry", "no-output", "output-file", "recording-name", "same-name", "into-input", "exists", "stdin"])
    def test_refused_up_front(self, tmp_path, capsys, argv, needle):
        rec, sub, full = tmp_path / "rec", tmp_path / "sub", tmp_path / "full"
        for d in (rec, sub, full):
            d.mkdir()
        for d in (rec, sub):
            write_raw(d / "a.cf32", make_signal(100))
        (full / "a.cf32").write_bytes(b"keep")
        fill = {"out": tmp_path / "out", "a": sub / "a.cf32", "rec": rec, "full": full}
        before = sorted(os.walk(tmp_path))
        code, _, err = run(capsys, "process", rec, *[a.format(**fill) for a in argv])
        assert code == 2 and needle in one_line(err)
        assert sorted(os.walk(tmp_path)) == before  # no folder made, nothing staged


@dask_only
class TestChunkedFir:
    @pytest.mark.parametrize("name, out, on", [
        ("in.sigmf-meta", "out.cs16", "scheduler"),
        ("in.npy", "out.npy", "scheduler"),
        ("in.cf32", "out.sigmf-meta", "workers"),
    ])
    def test_bytes_of_one_process(self, tmp_path, capsys, dask_scheduler, name, out, on):
        """Long enough for several chunks; SigMF input with its digest checked, two
        channels, integer output with its saturation counted, SigMF output."""
        x = make_signal(400_000, 6) * np.float32(3)  # some samples beyond ci16's full scale
        if name.endswith(".npy"):
            np.save(tmp_path / name, x.reshape(-1, 2))
        elif name.endswith(".cf32"):
            write_raw(tmp_path / name, x)
        else:
            data = ci16(400_000, 6)
            write_sigmf(tmp_path / "in", data, "ci16_le",
                        **{"core:sha512": hashlib.sha512(data).hexdigest()})
        where = ["--scheduler", dask_scheduler] if on == "scheduler" else ["--workers", "2"]
        for d in ("c", "s"):
            (tmp_path / d).mkdir()
        code, printed, err = run(capsys, "process", tmp_path / name, "-o", tmp_path / "c" / out,
                                 *where, *FIR_ONLY, "--rate", "1e6")
        assert code == 0, err
        assert "  cluster " in printed and "levels      not measured" in printed
        code, single, _ = run(capsys, "process", tmp_path / name, "-o", tmp_path / "s" / out,
                              *FIR_ONLY, "--rate", "1e6")
        assert code == 0 and outputs(tmp_path / "c") == outputs(tmp_path / "s")
        assert re.findall("saturated.*", printed) == re.findall("saturated.*", single)

    def test_checksum_mismatch_leaves_nothing(self, tmp_path, capsys, dask_scheduler):
        meta = write_sigmf(tmp_path / "in", ci16(300_000, 7), "ci16_le")
        text = json.loads(open(meta).read())
        text["global"]["core:sha512"] = "0" * 128
        open(meta, "w").write(json.dumps(text))
        code, _, err = run(capsys, "process", tmp_path / "in.sigmf-meta", "-o",
                           tmp_path / "out.cf32", "--scheduler", dask_scheduler, *FIR_ONLY)
        assert code == 1 and "does not match its metadata" in one_line(err)
        assert sorted(os.listdir(tmp_path)) == ["in.sigmf-data", "in.sigmf-meta"]

    @pytest.mark.parametrize("argv, why", [
        (CHAIN, "the AGC and the moving average depend on the whole past"),
        (FIR_ONLY + ("--sha512",), "--sha512 needs the whole recording in order"),
    ])
    def test_what_needs_one_process_says_so_and_runs_there(self, tmp_path, capsys, argv, why):
        write_raw(tmp_path / "in.cf32", make_signal(5000))
        for d in ("c", "s"):
            (tmp_path / d).mkdir()
        code, out, err = run(capsys, "process", tmp_path / "in.cf32", "-o",
                             tmp_path / "c" / "o.sigmf-meta", "--workers", 2, *argv)
        assert code == 0 and why in one_line(err) and "cluster" not in out
        code, _, _ = run(capsys, "process", tmp_path / "in.cf32", "-o",
                         tmp_path / "s" / "o.sigmf-meta", *argv)
        assert code == 0 and outputs(tmp_path / "c") == outputs(tmp_path / "s")


def _free_soon(address: str, within: float) -> None:
    """Every worker of the cluster at ``address`` takes a new task within ``within`` s:
    none is still running a cancelled recording."""
    from distributed import Client

    with Client(address) as client:
        t0 = time.monotonic()
        client.gather([client.submit(time.sleep, 0, workers=[w], pure=False)
                       for w in client.scheduler_info()["workers"]])
        assert time.monotonic() - t0 < within


@dask_only
class TestCancel:
    @pytest.mark.parametrize("how, on", [("SIGTERM", "workers"), ("SIGINT", "workers"),
                                         ("SIGTERM", "scheduler"), ("SIGTERM", "chunks")],
                             ids=["SIGTERM", "Ctrl-C", "SIGTERM-scheduler", "SIGTERM-chunks"])
    def test_mid_batch_leaves_no_output_and_no_work(self, tmp_path, request, how, on):
        """Signalled while the first recordings (or chunks) run: the running tasks abort,
        the queued ones never start, the folder stays empty, and the worker processes of
        the local cluster are gone (a cluster's own are free again at once)."""
        psutil = pytest.importorskip("psutil")
        for i in range(4):  # each takes its worker ten seconds or so
            write_raw(tmp_path / f"r{i}.cf32", np.full(1 << 23, 0.1 + 0.1j, np.complex64))
        (tmp_path / "out").mkdir()
        address = request.getfixturevalue("dask_scheduler") if on == "scheduler" else None
        where = ["--scheduler", address] if address else ["--workers", 2]
        what = ["r0.cf32", "-o", "out/o.cf32", *FIR_ONLY] if on == "chunks" else [
            *[f"r{i}.cf32" for i in range(4)], "-o", "out"]
        child = kestrix_child("process", *what, *where, "--block", 8, "-q", cwd=tmp_path,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              start_new_session=True)
        wait_for_part(tmp_path / "out", child)
        workers = psutil.Process(child.pid).children(recursive=True)
        num = getattr(signal, how)
        if how == "SIGTERM":
            child.send_signal(num)
        else:  # Ctrl-C in a terminal: every process of the foreground group
            os.killpg(child.pid, num)
        _, err = child.communicate(timeout=120)
        assert child.returncode == 128 + num
        assert "no partial output was left behind" in one_line(err)
        assert os.listdir(tmp_path / "out") == []

        def alive(p) -> bool:
            try:
                return p.is_running() and p.status() != psutil.STATUS_ZOMBIE
            except psutil.NoSuchProcess:
                return False

        end = time.monotonic() + 10
        while any(map(alive, workers)):
            assert time.monotonic() < end, "worker processes outlived the command"
            time.sleep(0.05)
        if address:
            _free_soon(address, 2.0)


class TestWithoutDask:
    @pytest.mark.parametrize("argv", [["{a}", "{a2}", "-o", "{out}"], ["{a}", "--workers", "2"],
                                      ["{a}", "--scheduler", "tcp://127.0.0.1:1"]],
                             ids=["several", "workers", "scheduler"])
    def test_names_the_extra(self, tmp_path, capsys, monkeypatch, argv):
        monkeypatch.setitem(sys.modules, "distributed", None)
        fill = {"a": write_raw(tmp_path / "a.cf32", make_signal(64)), "out": tmp_path / "out",
                "a2": write_raw(tmp_path / "a2.cf32", make_signal(64))}
        code, _, err = run(capsys, "process", *[a.format(**fill) for a in argv])
        assert code == 1 and "pip install 'kestrix[dask]'" in one_line(err)
        assert sorted(os.listdir(tmp_path)) == ["a.cf32", "a2.cf32"]

    def test_a_single_run_imports_neither_dask_nor_the_batch_code(self, tmp_path):
        write_raw(tmp_path / "a.cf32", make_signal(1000))
        code = ("import sys; from kestrix.cli import main\n"
                "assert main(['process', 'a.cf32', '-o', 'b.cf32', '-q', *sys.argv[1:]]) == 0\n"
                "print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')\n"
                "             or m in ('kestrix._batch', 'kestrix._cluster', 'kestrix._chunked')))")
        r = subprocess.run([sys.executable, "-c", code, *FIR_ONLY], cwd=tmp_path,
                           capture_output=True, text=True)
        assert r.returncode == 0 and r.stdout.strip() == "[]", r.stderr


class TestNames:
    @pytest.mark.parametrize("path, fmt, out_format, out_datatype, name", [
        ("d/a.cu8", "raw", None, "cu16_le", "a.raw"),
        ("d/a.npy", "npy", None, "ci8", "a.cs8"),
        ("d/a.SIGMF", "sigmf-archive", None, None, "a.SIGMF"),
        ("d/a.dat", "raw", "npy", None, "a.npy"),
        ("d/a.sigmf", "sigmf-archive", "raw", None, "a.cf32"),
        ("d/a.b.npy", "npy", "sigmf", None, "a.b.sigmf-meta"),
    ])
    def test_output_name(self, path, fmt, out_format, out_datatype, name):
        assert output_name(path, fmt, out_format, out_datatype)[0] == name

    def test_folders_and_patterns(self, tmp_path):
        for n in ("a.cu8", "b.sigmf-meta", "b.sigmf-data", "c.raw", ".hidden.cf32", "d.txt"):
            (tmp_path / n).write_bytes(b"")
        (tmp_path / "sub").mkdir()
        d, p = str(tmp_path), str(tmp_path / "*.sigmf-data")
        found = expand_inputs([d, p, str(tmp_path / "nothing*.cu8")], None)
        assert found == [(f"{d}/a.cu8", None), (f"{d}/b.sigmf-meta", None),
                         (f"{d}/nothing*.cu8", "a pattern that matches no recording that "
                                               "kestrix reads by its name")]
        assert [p for p, _ in expand_inputs([d], "ci8")] == [f"{d}/a.cu8", f"{d}/b.sigmf-meta",
                                                             f"{d}/c.raw"]
