"""MovingAverage: the boxcar window's ramp, its running sum against a float32
reference of the defined operation order, non-finite samples, gain changes,
reset, the state blob and its refusals, construction limits, the block
method's array arguments and the life cycle, including argument conversions
that destroy the object under the call."""

import struct

import numpy as np
import pytest

from kestrix import filter as kfilter
from kestrix.filter import MovingAverage

from conftest import bits

REJECTED = "set_state rejected the blob"
CREATE_FAILED = "boxcar_create returned NULL"
BLOB = struct.Struct("<4sHBBII QQdd f 2f 128f I")
assert BLOB.size == 576

SIZES = [0, 1, 2, 3, 4, 7, 8, 63, 64, 65, 129, 1000]
LENGTHS = [1, 2, 3, 5, 8, 64]


class Reference:
    """The boxcar in np.float32 scalar arithmetic, one operation at a time:
    d = x - ring[pos]; acc = acc + d; ring[pos] = x; pos += 1 (mod len);
    y = scale * acc, with scale = float32(1/len * gain)."""

    def __init__(self, length, gain=1.0):
        self.len = length
        self.inv_len = 1.0 / length
        self.set_gain(gain)
        self.reset()

    def set_gain(self, gain):
        self.gain = gain
        self.scale = np.float32(self.inv_len * gain)

    def reset(self):
        self.pos = 0
        self.ar = np.float32(0.0)
        self.ai = np.float32(0.0)
        self.ring = [(np.float32(0.0), np.float32(0.0))] * 64

    def step(self, xr, xi):
        with np.errstate(all="ignore"):
            old_r, old_i = self.ring[self.pos]
            dr = xr - old_r
            di = xi - old_i
            self.ar = self.ar + dr
            self.ai = self.ai + di
            self.ring[self.pos] = (xr, xi)
            self.pos = 0 if self.pos + 1 == self.len else self.pos + 1
            return self.scale * self.ar, self.scale * self.ai

    def steps(self, x):
        xv = np.ascontiguousarray(x, np.complex64).ravel().view(np.float32)
        y = np.empty(xv.size // 2, np.complex64)
        yv = y.view(np.float32)
        for i in range(xv.size // 2):
            yv[2 * i], yv[2 * i + 1] = self.step(xv[2 * i], xv[2 * i + 1])
        return y


def signal(rng, n):
    """Complex64 samples spanning six decades, so that the rounding of the
    running sum depends on the order of its operations."""
    mag = 10.0 ** rng.uniform(-3, 3, size=(2, n))
    parts = rng.standard_normal((2, n)) * mag
    return (parts[0] + 1j * parts[1]).astype(np.complex64)


def f32(v):
    return float(np.float32(v))


def read_only(a):
    a.flags.writeable = False
    return a


class TestRamp:
    def test_len2_steps_of_one_three_three(self):
        ma = MovingAverage(2)
        assert [ma.step(v) for v in (1, 3, 3)] == [0.5, 2.0, 3.0]

    def test_len2_block_of_ones(self):
        assert MovingAverage(2).steps(np.ones(3, np.complex64)).tolist() == [0.5, 1.0, 1.0]

    def test_len3_ramp_in_float32(self):
        y = MovingAverage(3).steps(np.ones(5, np.complex64))
        third = np.float32(1.0 / 3.0)
        expect = np.array([third, np.float32(2) * third, 1.0, 1.0, 1.0], np.float32)
        assert np.array_equal(y.real.view(np.uint32), expect.view(np.uint32))
        assert y[2].real == 1.0  # 3 * float32(1/3) rounds back to exactly 1
        assert np.all(y.imag.view(np.uint32) == 0)

    def test_len1_passes_through_scaled(self):
        ma = MovingAverage(1, 0.5)
        assert ma.step(2 - 4j) == 1 - 2j
        assert ma.step(6j) == 3j

    def test_step_rounds_input_to_float32(self):
        assert MovingAverage(1).step(0.1) == f32(0.1)
        assert MovingAverage(1).step(1e39) == complex(np.inf, 0.0)

    def test_step_arguments(self):
        ma = MovingAverage(1)
        assert ma.step(3) == 3 and ma.step(np.complex64(1 + 1j)) == 1 + 1j
        for args in [("1",), (1, 2), ()]:
            with pytest.raises(TypeError):
                ma.step(*args)
        assert ma.step(5) == 5  # nothing was consumed


class TestReference:
    @pytest.mark.parametrize("length", LENGTHS)
    @pytest.mark.parametrize("n", SIZES)
    def test_block_matches_reference(self, length, n):
        rng = np.random.default_rng(1000 * length + n)
        x = signal(rng, n)
        y = MovingAverage(length, 0.7).steps(x)
        assert y.dtype == np.complex64 and y.shape == (n,)
        assert np.array_equal(bits(y), bits(Reference(length, 0.7).steps(x)))

    def test_reference_order_is_the_one_tested(self):
        """Forming acc + x - old instead of acc + (x - old) changes bits on
        this data, so the comparison above pins the order."""
        rng = np.random.default_rng(7)
        x = signal(rng, 1000)
        y = MovingAverage(5).steps(x)
        xs = x.view(np.float32)[0::2]
        ring = [np.float32(0)] * 5
        acc = np.float32(0)
        scale = np.float32(1.0 / 5)
        other = []
        for i, v in enumerate(xs):
            acc = (acc + v) - ring[i % 5]
            ring[i % 5] = v
            other.append(scale * acc)
        assert not np.array_equal(np.array(other, np.float32).view(np.uint32),
                                  y.real.copy().view(np.uint32))

    @pytest.mark.parametrize("length", [1, 3, 8, 64])
    def test_step_by_step_equals_block(self, length):
        rng = np.random.default_rng(length)
        x = signal(rng, 300)
        ma = MovingAverage(length)
        one = np.array([ma.step(complex(v)) for v in x], np.complex64)
        assert np.array_equal(bits(one), bits(MovingAverage(length).steps(x)))

    @pytest.mark.parametrize("seed", range(6))
    def test_random_splits_are_seamless(self, seed):
        rng = np.random.default_rng(seed)
        length = int(rng.integers(1, 65))
        x = signal(rng, 700)
        whole = MovingAverage(length).steps(x)
        cuts = np.sort(rng.integers(0, len(x), size=int(rng.integers(1, 12))))
        ma = MovingAverage(length)
        parts = [ma.steps(p) for p in np.split(x, cuts)]
        assert np.array_equal(bits(np.concatenate(parts)), bits(whole))

    def test_in_place(self):
        rng = np.random.default_rng(3)
        x = signal(rng, 257)
        expect = MovingAverage(6).steps(x)
        buf = x.copy()
        assert MovingAverage(6).steps(buf, out=buf) is buf
        assert np.array_equal(bits(buf), bits(expect))

    def test_c_order_of_2d_input(self):
        rng = np.random.default_rng(4)
        x = signal(rng, 12).reshape(3, 4)
        y = MovingAverage(3).steps(x.T)  # a non-contiguous view, copied in C order
        assert y.shape == (12,)
        assert np.array_equal(bits(y), bits(Reference(3).steps(x.T.copy())))


class TestNonFinite:
    def test_nan_never_leaves(self):
        ma = MovingAverage(2)
        y = ma.steps(np.array([1, np.nan, 1, 1, 1, 1, 1], np.complex64))
        assert y[0] == 0.5
        assert np.all(np.isnan(y.real[1:]))
        assert np.all(y.imag == 0)  # the parts run independently
        assert np.isnan(ma.step(1).real)

    def test_inf_in_window_then_nan(self):
        y = MovingAverage(3).steps(np.array([1, 1, np.inf, 1, 1, 1, 1, 1], np.complex64))
        assert np.all(np.isfinite(y.real[:2]))
        assert np.all(np.isposinf(y.real[2:5]))  # while the sample is in the window
        assert np.all(np.isnan(y.real[5:]))      # inf - inf when it leaves

    def test_reset_clears(self):
        ma = MovingAverage(2)
        ma.steps(np.array([np.nan, np.inf, -np.inf], np.complex64))
        ma.reset()
        assert ma.steps(np.ones(3, np.complex64)).tolist() == [0.5, 1.0, 1.0]

    def test_set_state_clears(self):
        clean = MovingAverage(2).get_state()
        ma = MovingAverage(2)
        ma.step(complex(np.nan, np.nan))
        ma.set_state(clean)
        assert ma.step(1) == 0.5

    def test_nan_payload_and_negative_zero_survive(self):
        qnan = np.array([0x7FC12345], np.uint32).view(np.float32)[0]
        x = np.array([complex(-0.0, 0.0)], np.complex64)
        x.view(np.float32)[1] = qnan
        y = MovingAverage(1).steps(x)
        assert np.array_equal(bits(y), bits(Reference(1).steps(x)))


class TestGain:
    def test_defaults(self):
        ma = MovingAverage()
        assert (ma.len, ma.gain) == (4, 1.0)
        assert type(ma.len) is int and type(ma.gain) is float

    def test_change_mid_stream_doubles_next_output(self):
        ma = MovingAverage(4)
        before = ma.steps(np.ones(6, np.complex64))
        ma.gain = 2.0
        assert ma.gain == 2.0
        assert ma.step(1) == 2 * before[-1]

    def test_change_matches_reference(self):
        rng = np.random.default_rng(11)
        x = signal(rng, 400)
        ma, ref = MovingAverage(7, 0.3), Reference(7, 0.3)
        out, expect = [], []
        for k, part in enumerate(np.split(x, [50, 120, 333])):
            gain = [0.3, -1.7, 1e-3, 12345.678][k]
            ma.gain = gain
            ref.set_gain(gain)
            out.append(ma.steps(part))
            expect.append(ref.steps(part))
        assert np.array_equal(bits(np.concatenate(out)), bits(np.concatenate(expect)))

    def test_any_value_is_stored(self):
        ma = MovingAverage(2)
        for g in (-3.0, 0.0, np.inf):
            ma.gain = g
            assert ma.gain == g
        ma.gain = np.nan
        assert np.isnan(ma.gain) and np.isnan(ma.step(1).real)

    def test_bad_value_changes_nothing(self):
        """The "d" converter's own TypeError for a string and for del."""
        ma = MovingAverage(2, 3.0)
        with pytest.raises(TypeError):
            ma.gain = "2"
        with pytest.raises(TypeError):
            del ma.gain
        assert ma.gain == 3.0 and ma.step(1) == 1.5

    def test_len_is_read_only(self):
        ma = MovingAverage(5)
        with pytest.raises(AttributeError):
            ma.len = 3
        assert ma.len == 5


class TestReset:
    def test_reset_ramps_again(self):
        ma = MovingAverage(2)
        ma.steps(np.ones(4, np.complex64))
        assert ma.reset() is None
        assert ma.step(1) == 0.5

    def test_reset_is_a_new_window_of_the_same_length_and_gain(self):
        ma = MovingAverage(3, 2.5)
        ma.steps(np.arange(10, dtype=np.complex64))
        ma.reset()
        assert (ma.len, ma.gain) == (3, 2.5)
        assert ma.get_state() == MovingAverage(3, 2.5).get_state()


class TestState:
    @pytest.mark.parametrize("length", [1, 2, 17, 64])
    def test_size_is_fixed(self, length):
        ma = MovingAverage(length)
        assert ma.state_bytes() == 576 == len(ma.get_state())

    def test_header_bytes(self):
        blob = MovingAverage(3).get_state()
        assert blob[:16] == b"BOXC\x01\x00\x01\x00\x40\x02\x00\x00\x00\x00\x00\x00"

    def test_layout(self):
        ma = MovingAverage(3, 2.0)
        ma.steps(np.array([1 + 2j, 3 - 1j, 0.5j, 7], np.complex64))
        f = BLOB.unpack(ma.get_state())
        assert f[:6] == (b"BOXC", 1, 1, 0, 576, 0)
        length, pos, inv_len, gain, scale = f[6:11]
        assert (length, pos, inv_len, gain) == (3, 1, 1.0 / 3.0, 2.0)
        assert scale == f32(1.0 / 3.0 * 2.0)
        acc = complex(f[11], f[12])
        ring = [complex(f[13 + 2 * k], f[14 + 2 * k]) for k in range(64)]
        assert ring[:3] == [7, 3 - 1j, 0.5j]  # slot 0 overwritten by the 4th sample
        assert ring[3:] == [0] * 61
        assert acc == (7 + (3 - 1j) + 0.5j)
        assert f[-1] == 0

    def test_restore_across_lengths(self):
        rng = np.random.default_rng(8)
        a = MovingAverage(8, 2.0)
        a.steps(signal(rng, 13))
        b = MovingAverage(3)
        assert b.set_state(a.get_state()) is None
        assert (b.len, b.gain) == (8, 2.0)
        x = signal(rng, 200)
        assert np.array_equal(bits(b.steps(x)), bits(a.steps(x)))

    @pytest.mark.parametrize("n", [0, 1, 5, 63, 64, 65, 200])
    def test_snapshot_mid_stream(self, n):
        rng = np.random.default_rng(n)
        x = signal(rng, n + 150)
        a = MovingAverage(64, 0.9)
        a.steps(x[:n])
        b = MovingAverage(2)
        b.set_state(a.get_state())
        assert b.get_state() == a.get_state()
        assert np.array_equal(bits(b.steps(x[n:])), bits(a.steps(x[n:])))

    @pytest.mark.parametrize("offset, value", [
        (0, b"BOXD"), (4, b"\x02\x00"), (6, b"\x00"), (8, b"\x3f\x02\x00\x00"),
    ])
    def test_wrong_header_is_rejected(self, offset, value):
        ma = MovingAverage(4)
        ma.step(1)
        before = ma.get_state()
        blob = bytearray(before)
        blob[offset:offset + len(value)] = value
        with pytest.raises(ValueError, match=REJECTED):
            ma.set_state(bytes(blob))
        assert ma.get_state() == before

    def test_ignored_header_bytes(self):
        a = MovingAverage(5)
        a.steps(np.arange(7, dtype=np.complex64))
        blob = bytearray(a.get_state())
        blob[7] = 0xFF
        blob[12:16] = b"\xde\xad\xbe\xef"
        b = MovingAverage(5)
        b.set_state(bytes(blob))
        assert b.get_state() == a.get_state()

    @pytest.mark.parametrize("length, pos", [
        (0, 0), (65, 0), (2**64 - 1, 0), (4, 4), (4, 5), (64, 64), (1, 2**63),
    ])
    def test_broken_invariants_are_rejected(self, length, pos):
        """boxcar_set_state's body check: a len outside 1..64, or a pos not
        below len, would index past the ring; the record stays as it was."""
        ma = MovingAverage(4)
        ma.steps(np.ones(3, np.complex64))
        before = ma.get_state()
        blob = bytearray(before)
        struct.pack_into("<QQ", blob, 16, length, pos)
        with pytest.raises(ValueError, match=REJECTED):
            ma.set_state(bytes(blob))
        assert ma.get_state() == before
        assert ma.step(1) == 1.0

    @pytest.mark.parametrize("length", [1, 64])
    def test_edge_invariants_are_accepted(self, length):
        blob = bytearray(MovingAverage(2).get_state())
        struct.pack_into("<QQd", blob, 16, length, length - 1, 1.0 / length)
        ma = MovingAverage(3)
        ma.set_state(bytes(blob))
        assert ma.len == length

    def test_frame_refusals(self):
        ma = MovingAverage(2)
        blob = ma.get_state()
        with pytest.raises(TypeError, match="set_state expects bytes"):
            ma.set_state(bytearray(blob))
        with pytest.raises(ValueError, match="state blob size mismatch"):
            ma.set_state(blob[:-1])

        class Blob(bytes):
            pass

        assert ma.set_state(Blob(blob)) is None


class TestConstruction:
    def test_keywords_and_positions(self):
        assert MovingAverage(len=7).len == 7
        assert MovingAverage(gain=3.5).gain == 3.5
        ma = MovingAverage(6, 0.25)
        assert (ma.len, ma.gain) == (6, 0.25)

    @pytest.mark.parametrize("length", [1, 64])
    def test_length_limits_accepted(self, length):
        assert MovingAverage(length).len == length

    @pytest.mark.parametrize("length", [0, 65, 1000, -1, 2**64 - 1])
    def test_length_out_of_range(self, length):
        """boxcar_create's range check; -1 wraps to 2**64 - 1 under "K"."""
        with pytest.raises(MemoryError, match=CREATE_FAILED):
            MovingAverage(length)

    def test_length_wraps_without_overflow_check(self):
        assert MovingAverage(2**64 + 3).len == 3

    @pytest.mark.parametrize("args", [("4",), (4.0,), (4, "x"), (4, 1.0, 2)])
    def test_parser_errors(self, args):
        with pytest.raises(TypeError):
            MovingAverage(*args)

    def test_failed_construction_answers_destroyed(self):
        ma = MovingAverage.__new__(MovingAverage)
        with pytest.raises(RuntimeError, match="destroyed"):
            ma.step(1)
        with pytest.raises(MemoryError, match=CREATE_FAILED):
            ma.__init__(0)
        with pytest.raises(RuntimeError, match="destroyed"):
            ma.len

    def test_reinit_replaces_the_record(self):
        ma = MovingAverage(2)
        ma.steps(np.ones(5, np.complex64))
        ma.__init__(3, 2.0)
        assert (ma.len, ma.gain) == (3, 2.0)
        assert ma.step(3) == 2.0

    def test_type(self):
        assert MovingAverage.__name__ == "MovingAverage"
        assert MovingAverage.__module__ == "filter"
        with pytest.raises(TypeError):
            type("Sub", (MovingAverage,), {})


class TestBlockArguments:
    def test_empty(self):
        y = MovingAverage(3).steps(np.empty(0, np.complex64))
        assert y.dtype == np.complex64 and y.shape == (0,)

    def test_2d_input_without_out(self):
        y = MovingAverage(1).steps(np.ones((2, 3), np.complex64))
        assert y.shape == (6,)

    def test_2d_out(self):
        out = np.empty((2, 3), np.complex64)
        assert MovingAverage(1).steps(np.ones(6, np.complex64), out=out) is out
        assert np.all(out == 1)

    def test_unsafe_cast_refused(self):
        with pytest.raises(TypeError):
            MovingAverage(2).steps(np.ones(3, np.complex128))

    @pytest.mark.parametrize("make", [
        lambda: np.ones(3, np.complex128),
        lambda: np.ones(6, np.complex64)[::2],
        lambda: np.ones(3, np.float32),
        lambda: read_only(np.ones(3, np.complex64)),
        lambda: np.ones(3, np.dtype(np.complex64).newbyteorder()),
    ])
    def test_out_kind(self, make):
        with pytest.raises(TypeError, match="out must be a writable, C-contiguous ndarray"):
            MovingAverage(2).steps(np.ones(3, np.complex64), out=make())

    def test_out_length(self):
        ma = MovingAverage(2)
        with pytest.raises(ValueError, match="out length 2 != input length 3"):
            ma.steps(np.ones(3, np.complex64), out=np.empty(2, np.complex64))
        assert ma.step(1) == 0.5  # nothing was consumed


class TestLifecycle:
    def test_everything_after_destroy(self):
        ma = MovingAverage(2)
        assert ma.destroy() is None
        assert ma.destroy() is None
        calls = [lambda: ma.step(1), lambda: ma.steps([1]), ma.reset, ma.state_bytes,
                 ma.get_state, lambda: ma.set_state(b""), lambda: ma.len, lambda: ma.gain]
        for call in calls:
            with pytest.raises(RuntimeError, match="destroyed"):
                call()
        with pytest.raises(RuntimeError, match="destroyed"):
            ma.gain = 1.0

    def test_handle_checked_before_arguments(self):
        ma = MovingAverage(2)
        ma.destroy()
        with pytest.raises(RuntimeError, match="destroyed"):
            ma.step("not a number")
        with pytest.raises(RuntimeError, match="destroyed"):
            ma.gain = "not a number"

    def test_with_block(self):
        with MovingAverage(2) as ma:
            assert ma.step(1) == 0.5
        with pytest.raises(RuntimeError, match="destroyed"):
            ma.step(1)
        with pytest.raises(KeyError):
            with MovingAverage(2) as mb:
                raise KeyError("propagates")
        with pytest.raises(RuntimeError, match="destroyed"):
            mb.reset()
        assert mb.__enter__() is mb

    def test_step_conversion_destroys(self):
        """step: the "D" conversion runs __complex__, which destroys the
        object; the handle is checked again after parsing."""
        ma = MovingAverage(2)

        class Evil:
            def __complex__(self):
                ma.destroy()
                return 1j

        with pytest.raises(RuntimeError, match="destroyed"):
            ma.step(Evil())

    def test_gain_conversion_destroys(self):
        """gain setter: the "d" conversion runs __float__, which destroys the
        object; the frame's converter checks the handle again."""
        ma = MovingAverage(2)

        class Evil:
            def __float__(self):
                ma.destroy()
                return 2.0

        with pytest.raises(RuntimeError, match="destroyed"):
            ma.gain = Evil()

    def test_steps_conversion_destroys(self):
        """steps: converting x runs __array__, which destroys the object; the
        block helper checks the handle again before the core runs."""
        ma = MovingAverage(2)

        class Evil:
            def __array__(self, dtype=None, copy=None):
                ma.destroy()
                return np.ones(3, np.complex64)

        with pytest.raises(RuntimeError, match="destroyed"):
            ma.steps(Evil())


class TestHelp:
    def test_texts(self):
        assert kfilter.__doc__.startswith(
            "FIR filtering: a direct-form complex or real FIR (FIR) and an O(1) boxcar "
            "moving average (MovingAverage).")
        assert MovingAverage.__doc__ == "MovingAverage type.\n"
        assert MovingAverage.len.__doc__ == "window length (1 .. BOXCAR_MAX_LEN).\n"
        assert MovingAverage.gain.__doc__ == "Current output gain.\n"
        assert MovingAverage.step.__doc__.startswith("step(x) -> float _Complex")
        assert MovingAverage.steps.__doc__.startswith("steps(x[, out]) -> ndarray")
        assert MovingAverage.reset.__doc__.startswith("reset() -> None")

    def test_method_table_order(self):
        names = [n for n in vars(MovingAverage) if not n.startswith("__") or n in
                 ("__enter__", "__exit__")]
        assert names == ["step", "steps", "reset", "state_bytes", "get_state", "set_state",
                         "destroy", "__enter__", "__exit__", "len", "gain"]
