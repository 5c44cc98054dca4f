"""The native helpers of the command's block loop: the background writer and reader,
the fixed-point conversions, the frame powers of the level statistics and the CSV
text."""

import errno
import os
import signal
import subprocess
import threading
import time

import numpy as np
import pytest

from conftest import build_native, same_bits
from kestrix._blocks import Reader, Writer, decode_fixed, encode_fixed, format_rows, frame_powers

RING = 1 << 16  # the smallest ring, so that writes wrap around it and wait for room


class TestWriter:
    def test_bytes_arrive_in_order_across_the_ring(self, tmp_path):
        """Writes of every size (larger than the ring too, and empty) from bytes, arrays and
        views land in order, whole, however they fall across the ring's end."""
        rng = np.random.default_rng(3)
        data = rng.integers(0, 256, 1 << 20, dtype=np.uint8)
        sizes = rng.integers(0, 3 * RING, 60)
        path = tmp_path / "out"
        with open(path, "wb", buffering=0) as f:
            w = Writer(f, RING)
            pos = 0
            for i, n in enumerate(sizes):
                piece = data[pos : pos + n]
                if i % 3 == 1:
                    piece = piece.tobytes()
                elif i % 3 == 2:
                    piece = memoryview(piece)
                assert w.write(piece) == len(piece)
                pos += len(piece)
            w.close()
            w.close()  # again: nothing
            assert w.closed
        assert path.read_bytes() == data[:pos].tobytes()

    def test_failed_write_is_raised_by_every_later_call(self):
        """The thread's write fails (a full device): the errno comes back from flush, from
        the next write and from close, which still stops the thread."""
        fd = os.open("/dev/full", os.O_WRONLY)
        try:
            w = Writer(fd, RING)
            w.write(b"x" * RING)
            with pytest.raises(OSError) as e:
                w.flush()
            assert e.value.errno == errno.ENOSPC
            with pytest.raises(OSError, match="No space"):
                w.write(b"y")
            with pytest.raises(OSError, match="No space"):
                w.close()
            assert w.closed
            with pytest.raises(RuntimeError, match="destroyed"):
                w.write(b"z")
        finally:
            os.close(fd)

    def test_a_signal_ends_a_wait_for_room(self):
        """Nobody reads the pipe, so the ring fills and write() waits: an alarm's
        exception still gets through, and discard() then stops the thread."""
        r, wfd = os.pipe()

        def alarm(signum, frame):
            raise TimeoutError("alarm")

        old = signal.signal(signal.SIGALRM, alarm)
        try:
            w = Writer(wfd, RING)
            signal.setitimer(signal.ITIMER_REAL, 0.3)
            with pytest.raises(TimeoutError):
                w.write(bytes(8 * RING))
            os.close(r)  # the thread's blocked write fails with EPIPE and it can stop
            r = -1
            w.discard()
            assert w.closed
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)
            for fd in (r, wfd):
                if fd >= 0:
                    os.close(fd)

    def test_a_non_blocking_pipe_whose_reader_comes_and_goes(self):
        """The thread waits for a non-blocking pipe to take more, rather than failing:
        bytes arrive whole and in order through a slow reader; once the reader stalls
        for good, discard() still returns."""
        r, wfd = os.pipe()
        os.set_blocking(wfd, False)
        data = np.random.default_rng(4).integers(0, 256, 6 * RING, dtype=np.uint8).tobytes()
        got = bytearray()

        def read_slowly():
            while len(got) < len(data):
                time.sleep(0.001)
                got.extend(os.read(r, 5000))

        reader = threading.Thread(target=read_slowly)
        reader.start()
        w = Writer(wfd, 4 * RING)
        try:
            w.write(data)
            w.flush()
            reader.join()
            assert bytes(got) == data
            w.write(bytes(2 * RING))  # more than the pipe holds; nobody reads it now
            closer = threading.Thread(target=w.discard)
            closer.start()
            closer.join(30)  # a thread that waited on the pipe for good would never stop
            stuck = closer.is_alive()
        finally:
            os.close(r)  # fails such a wait's next write (EPIPE), so the test ends either way
            w.discard()
            os.close(wfd)
        assert not stuck and w.closed

    @pytest.mark.parametrize("args, exc", [((-1,), ValueError), ((0, RING - 1), ValueError),
                                           (("x",), TypeError)])
    def test_bad_arguments(self, args, exc):
        with pytest.raises(exc):
            Writer(*args)


class TestReader:
    @pytest.mark.parametrize("size, limit, slots", [(1000, 1000, 2), (1000, 700, 3),
                                                    (1000, 5000, 2), (999, 999, 8),
                                                    (5000, 5000, 5)])
    def test_slots_in_order_up_to_the_limit_or_the_end(self, tmp_path, size, limit, slots):
        """Slots of 100 bytes in order from the descriptor's offset, a short one where the
        limit or the file ends, then empty ones; the descriptor is left at the end read."""
        data = np.random.default_rng(size).integers(0, 256, size + 11, dtype=np.uint8).tobytes()
        path = tmp_path / "in"
        path.write_bytes(data)
        with open(path, "rb", buffering=0) as f:
            f.seek(11)
            r = Reader(f, 100, limit, slots)
            got = []
            while len(piece := r.next()):
                got.append(piece.tobytes())
            assert len(r.next()) == 0
            r.close()
            want = data[11 : 11 + min(limit, size)]
            assert b"".join(got) == want and all(len(g) == 100 for g in got[:-1])
            assert f.tell() == 11 + len(want)

    def test_a_pipe_whose_writer_is_silent_still_closes(self):
        """Whole slots through a pipe are checked by the stress program and the streamed
        runs; here, a reader waiting on a silent pipe does not keep close() waiting."""
        rfd, wfd = os.pipe()
        os.write(wfd, b"abc")
        r = Reader(rfd, 256, 2**64 - 1, 3)
        closer = threading.Thread(target=r.close)
        closer.start()
        closer.join(30)  # a read blocked on the pipe would never return
        stuck = closer.is_alive()
        os.close(wfd)  # frees such a read, so that the test ends either way
        closer.join()
        os.close(rfd)
        assert not stuck

    def test_failed_read_is_raised(self, tmp_path):
        fd = os.open(tmp_path, os.O_RDONLY)  # reading a folder fails with EISDIR
        try:
            r = Reader(fd, 100, 1000)
            with pytest.raises(IsADirectoryError):
                r.next()
            r.close()
        finally:
            os.close(fd)

    def test_a_slot_outlives_close(self, tmp_path):
        """The array of a slot keeps its memory, with its bytes, after the thread stops."""
        path = tmp_path / "in"
        path.write_bytes(bytes(range(200)))
        with open(path, "rb", buffering=0) as f:
            r = Reader(f, 128, 200)
            first = r.next()
            r.close()
            del r
        first[:2] = 7  # writable, and still ours
        assert first.tobytes() == bytes([7, 7]) + bytes(range(2, 128))


def test_native_threads(tmp_path):
    """tests/native/blocks_stress.cpp puts a byte stream through the writer's ring and
    reads it back through the reader's slots, each on its thread, checking every byte
    (and, in CI's ThreadSanitizer run, every shared access).  KX_STRESS_BYTES sets the
    length."""
    exe = build_native("blocks_stress", ["blocks/writer_core.cpp", "blocks/reader_core.cpp"],
                       tmp_path)
    if exe is None:
        pytest.skip("no C++ compiler")
    n = os.environ.get("KX_STRESS_BYTES", str(20 << 20))
    run = subprocess.run([str(exe), str(tmp_path / "stream"), n], capture_output=True, text=True,
                         timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith(f"{n} bytes")


class TestFramePowers:
    @staticmethod
    def model(x, frame):
        """The defined order in float32: 16 running sums of squares, a fixed tree, 1/frame."""
        k = len(x) // frame
        v = x[: k * frame].view(np.float32).reshape(k, 2 * frame)
        s = np.zeros((k, 16), np.float32)
        for i in range(0, 2 * frame, 16):
            s += v[:, i : i + 16] * v[:, i : i + 16]
        for half in (8, 4, 2, 1):
            s = s[:, :half] + s[:, half : 2 * half]
        return s[:, 0] * np.float32(1.0 / frame)

    @pytest.mark.parametrize("frame", [8, 24, 64])
    def test_bits_of_the_defined_order(self, frame):
        """Every variant (the suite runs on each) gives the model's bits, for frame counts
        around the kernel's four-frame step, with the partial last frame left out."""
        rng = np.random.default_rng(frame)
        x = (rng.standard_normal(2 * (13 * frame + 5)) * 10.0 ** rng.integers(-3, 3, 1)).astype(
            np.float32).view(np.complex64)
        for n in (0, frame, 4 * frame, 13 * frame + 5):
            out = np.full(14, np.nan, np.float32)
            k = frame_powers(x[:n], frame, out)
            assert k == n // frame
            assert same_bits(out[:k], self.model(x[:n], frame))
            assert np.isnan(out[k:]).all()  # nothing written past the frames

    @pytest.mark.parametrize("frame, out, exc", [
        (12, np.empty(8, np.float32), ValueError),  # not a multiple of 8
        (0, np.empty(8, np.float32), ValueError),
        (8, np.empty(1, np.float32), ValueError),  # too small for the 2 frames
        (8, np.empty(8, np.float64), TypeError),
        (8, np.empty(16, np.float32)[::2], TypeError),
    ])
    def test_bad_arguments(self, frame, out, exc):
        with pytest.raises(exc):
            frame_powers(np.ones(16, np.complex64), frame, out)


FIXED = ["i1", "u1", "<i2", ">i2", "<u2", ">u2", "<i4", ">i4", "<u4", ">u4"]


class TestFixedConversion:
    """The conversions against the steps in NumPy, on every variant (the suite runs on
    each), for lengths that end inside a vector and after whole ones."""

    @staticmethod
    def encode_model(f, dt):
        """Scale (float32 up to 16 bits, float64 for 32), round half to even, clip (NaN to
        the lowest value), re-centre; and the number of components changed by the clip."""
        half = 2.0 ** (8 * dt.itemsize - 1)
        work = np.float64 if dt.itemsize == 4 else np.float32
        with np.errstate(over="ignore"):
            w = np.rint(np.multiply(f, work(half), dtype=work))
        c = np.clip(w, -half, half - 1)
        changed = int(np.count_nonzero(c != w))
        c[np.isnan(c)] = -half
        return (c + (half if dt.kind == "u" else 0)).astype(dt), changed

    @pytest.mark.parametrize("code", FIXED)
    def test_both_directions_give_the_models_bits(self, code):
        dt = np.dtype(code)
        info, half = np.iinfo(dt), 2.0 ** (8 * dt.itemsize - 1)
        rng = np.random.default_rng(dt.itemsize)
        raw = rng.integers(info.min, info.max, 300, endpoint=True).astype(dt)
        raw[:2] = info.min, info.max
        steps = raw.astype(np.float32)  # int32 rounds to float32 once
        if dt.kind == "u":
            steps -= np.float32(half)
        steps *= np.float32(1 / half)
        k = rng.integers(-3 * half, 3 * half, 300)
        ties = (k + rng.choice([0, 0.5, -0.5, 0.25], 300)) / half
        special = [np.nan, np.inf, -np.inf, -0.0, 1.0, -1.0, 3e38, (half - 0.5) / half,
                   (-half - 0.5) / half]
        f = np.concatenate([steps, ties, special]).astype(np.float32)
        for n in (0, 1, 37, 300, len(f)):
            out = np.zeros(n + 1, np.float32)
            decode_fixed(raw[: min(n, 300)], out)
            assert same_bits(out[: min(n, 300)], steps[:n])
            assert out[min(n, 300)] == 0  # nothing written past the components
            stored = np.zeros(n + 1, dt)
            want, changed = self.encode_model(f[:n], dt)
            assert encode_fixed(f[:n], stored) == changed
            assert stored[:n].tobytes() == want.tobytes() and stored[n] == 0
        assert changed >= 6  # the specials and the ties beyond full scale were counted

    @pytest.mark.parametrize("call, exc", [
        (lambda: decode_fixed(np.zeros(4, np.int64), np.empty(4, np.float32)), TypeError),
        (lambda: decode_fixed(np.zeros(4, np.int16), np.empty(3, np.float32)), ValueError),
        (lambda: encode_fixed(np.zeros(2, np.complex64), np.empty(3, np.int8)), ValueError),
        (lambda: encode_fixed(np.zeros(4, np.float32), np.zeros(4, np.int8)[::-1]), TypeError),
        (lambda: encode_fixed(np.zeros(4, ">f4"), np.empty(4, np.int8)), TypeError),
    ])
    def test_bad_arguments(self, call, exc):
        with pytest.raises(exc):
            call()


class TestFormatRows:
    def test_text_is_what_the_percent_operator_writes(self):
        """Every magnitude, rounding ties, signed zeros, infinities and NaNs of either
        sign: the same text as Python's "%d,%.9f,%.9g" rows (NaN as "nan")."""
        rng = np.random.default_rng(9)
        with np.errstate(over="ignore"):
            v = rng.standard_normal(20000) * 10.0 ** rng.integers(-320, 309, 20000)
        v = np.concatenate([v, [0.0, -0.0, np.inf, -np.inf, np.nan, -np.nan, 5e-324, 2.5,
                                0.5e-9, 1.5e-9, 1e15, 999999999999999.9, 1.7976931348623157e308]])
        pos = np.concatenate([rng.integers(0, 1 << 62, len(v) - 4), [2.0**63, 1e300, 2.7, -2.7]])
        text = format_rows(np.column_stack([pos.astype(np.float64), v, v]), "dfg")
        want = "".join("%d,%s,%s\n" % (p, *("nan" if x != x else f % x for f in ("%.9f", "%.9g")))
                       for p, x in zip(pos.tolist(), v.tolist()))
        assert text == want

    @pytest.mark.parametrize("table, kinds", [(np.ones((2, 3)), "dg"), (np.ones((2, 2)), "dx"),
                                              (np.ones(3), "d")])
    def test_bad_arguments(self, table, kinds):
        with pytest.raises(ValueError):
            format_rows(table, kinds)
