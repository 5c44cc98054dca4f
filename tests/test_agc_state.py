"""AGC state snapshot: the 120-byte blob byte for byte, round trips that
resume bit for bit (mid-hold and mid-stream), header refusals and the bytes
a reader never looks at."""

import math
import struct

import numpy as np
import pytest

from kestrix.agc import AGC

import agc_reference as ref

REJECTED = "^set_state rejected the blob$"
SIZE = "^state blob size mismatch$"
NOT_BYTES = "^set_state expects bytes$"

FRESH = bytes([0x41, 0x47, 0x43, 0x20, 0x03, 0x00, 0x01, 0x00,
               0x78, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00]) + struct.pack(
    "<dddQdQdddQ", 0.0, 0.0025, 0.05, 8, 120.0, 1, 0.0, 1.0, 1.0, 0) + bytes.fromhex(
    "b8017449") + bytes(20)


def patched(blob, offset, data):
    b = bytearray(blob)
    b[offset:offset + len(data)] = data
    return bytes(b)


def busy_agc(seed=0):
    """An AGC well away from its initial state, with odd configuration."""
    rng = np.random.default_rng(seed)
    a = AGC(-3.0, 0.007, 0.2)
    a.decim = 5
    a.clip_db = 12.5
    a.gain_update_period = 4
    x = (rng.standard_normal(77) + 1j * rng.standard_normal(77)).astype(np.complex64) * 3
    a.steps(x)
    for z in x[:6]:
        a.step(complex(z))
    return a


def drive(a, seed):
    """Outputs of a fixed mixed sequence of step and steps calls."""
    rng = np.random.default_rng(seed)
    outs = []
    for _ in range(3):
        for _ in range(5):
            outs.append(np.array([a.step(complex(*rng.standard_normal(2)))], np.complex64))
        x = (rng.standard_normal(23) + 1j * rng.standard_normal(23)).astype(np.complex64)
        outs.append(a.steps(x))
    return np.concatenate(outs).view(np.uint32)


class TestLayout:
    def test_fresh_blob_exact(self):
        blob = AGC().get_state()
        assert type(blob) is bytes and len(blob) == 120
        assert blob == FRESH

    def test_model_writes_same_layout(self):
        assert ref.AGCModel().get_state() == FRESH

    @pytest.mark.parametrize("args", [(), (5.0, 0.1, 0.9), (-40.0, 1e-6, 1.0), (math.nan, -1.0, 7.0)])
    def test_state_bytes_is_constant(self, args):
        a = AGC(*args)
        assert a.state_bytes() == 120
        assert type(a.state_bytes()) is int
        assert len(a.get_state()) == 120

    def test_header(self):
        blob = busy_agc().get_state()
        assert blob[:4] == b"AGC "
        assert struct.unpack_from("<HBBII", blob, 4) == (3, 1, 0, 120, 0)

    def test_fields_in_order(self):
        a = busy_agc()
        blob = a.get_state()
        assert struct.unpack_from("<ddd", blob, 16) == (-3.0, 0.007, 0.2)
        assert struct.unpack_from("<QdQ", blob, 40) == (5, 12.5, 4)
        assert struct.unpack_from("<d", blob, 64)[0] == a.gain_db
        g_last = struct.unpack_from("<d", blob, 80)[0]
        assert a.applied_gain_db == 20.0 * math.log10(g_last)
        assert struct.unpack_from("<Q", blob, 88)[0] == 6 % 4
        assert struct.unpack_from("<f", blob, 96)[0] == np.float32(ref.db_to_amp(12.5))
        assert blob[100:] == bytes(20)

    def test_matches_model_after_processing(self):
        rng = np.random.default_rng(4)
        a = AGC(2.0, 0.01, 0.3)
        m = ref.AGCModel(2.0, 0.01, 0.3)
        a.gain_update_period = m.gain_update_period = 3
        x = (rng.standard_normal(40) + 1j * rng.standard_normal(40)).astype(np.complex64)
        a.steps(x)
        ref.agc_steps(m, x)
        for z in x[:5]:
            a.step(complex(z))
            ref.agc_step(m, z.real, z.imag)
        assert a.get_state() == m.get_state()

    def test_unsigned_fields_full_width(self):
        a = AGC()
        a.decim = -1
        a.gain_update_period = 2**63 + 1
        blob = a.get_state()
        assert blob[40:48] == b"\xff" * 8
        assert struct.unpack_from("<Q", blob, 56)[0] == 2**63 + 1

    def test_telemetry_fields_blank(self):
        """An attached AGC still writes zeros in place of the attachment."""
        telemetry = pytest.importorskip("kestrix.telemetry")
        tlm = telemetry.Telemetry(64)
        a = AGC()
        a.set_telemetry(tlm, "s")
        a.set_telemetry(tlm, "t")
        a.steps(np.ones(16, np.complex64))
        assert a.get_state()[104:] == bytes(16)

    def test_get_state_changes_nothing(self):
        a = busy_agc()
        first = a.get_state()
        assert a.get_state() == first
        b = busy_agc()
        assert drive(a, 1).tolist() == drive(b, 1).tolist()


class TestRoundTrip:
    def test_restore_into_other_object(self):
        a = busy_agc()
        b = AGC(10.0, 0.3, 0.9)
        b.decim = 64
        assert b.set_state(a.get_state()) is None
        assert b.get_state() == a.get_state()
        for name in ("ref_db", "loop_bw", "alpha", "decim", "clip_db",
                     "gain_update_period", "gain_db", "applied_gain_db"):
            assert getattr(b, name) == getattr(a, name), name
        assert np.array_equal(drive(a, 2), drive(b, 2))
        assert a.get_state() == b.get_state()

    @pytest.mark.parametrize("held", [0, 1, 2, 3])
    def test_resume_mid_hold(self, held):
        """The next gain refresh falls where it would have (hold_count)."""
        a = AGC(loop_bw=0.02)
        a.gain_update_period = 4
        for z in (3.0, 1j, -2.0, 0.5 + 0.5j) * 3:
            a.step(z)
        for _ in range(held):
            a.step(2.0)
        assert ref.blob_field(a.get_state(), "hold_count") == held
        b = AGC()
        b.set_state(a.get_state())
        ya = [a.step(2.5 - 1j) for _ in range(9)]
        yb = [b.step(2.5 - 1j) for _ in range(9)]
        assert [complex(v) for v in ya] == [complex(v) for v in yb]
        assert a.get_state() == b.get_state()

    def test_resume_mid_stream_block(self):
        rng = np.random.default_rng(6)
        x = (rng.standard_normal(1000) + 1j * rng.standard_normal(1000)).astype(np.complex64)
        whole = AGC()
        y = whole.steps(x)
        first = AGC()
        y1 = first.steps(x[:496])
        second = AGC(3.0, 0.5, 0.5)
        second.set_state(first.get_state())
        y2 = second.steps(x[496:])
        assert np.array_equal(np.concatenate([y1, y2]).view(np.uint32), y.view(np.uint32))
        assert second.get_state() == whole.get_state()

    def test_restore_undoes_property_changes(self):
        a = busy_agc()
        blob = a.get_state()
        a.ref_db = 30.0
        a.decim = 1
        a.clip_db = -5.0
        a.steps(np.ones(10, np.complex64))
        a.set_state(blob)
        assert (a.ref_db, a.decim, a.clip_db) == (-3.0, 5, 12.5)
        assert a.get_state() == blob

    def test_self_restore_changes_nothing(self):
        a = busy_agc()
        blob = a.get_state()
        a.set_state(a.get_state())
        assert a.get_state() == blob
        assert np.array_equal(drive(a, 3), drive(busy_agc(), 3))

    def test_clip_lin_taken_from_blob(self):
        """clip_lin is restored as given, not derived from clip_db."""
        blob = ref.with_field(AGC().get_state(), "clip_lin", 2.0)
        a = AGC()
        a.set_state(blob)
        a.gain_update_period = 3
        assert a.step(5.0 + 0j) == complex(2.0, 0.0)

    def test_p_avg_not_reseeded(self):
        blob = ref.with_field(AGC().get_state(), "ref_db", -20.0)
        a = AGC()
        a.set_state(blob)
        assert ref.blob_field(a.get_state(), "p_avg") == 1.0

    @pytest.mark.parametrize("name, value", [
        ("decim", 0), ("alpha", 7.0), ("alpha", math.nan), ("loop_bw", -1.0),
        ("gain_db", math.inf), ("hold_count", 2**64 - 1), ("clip_pad", 0xDEADBEEF)])
    def test_odd_field_values_taken(self, name, value):
        blob = ref.with_field(AGC().get_state(), name, value)
        a = AGC()
        assert a.set_state(blob) is None
        assert a.get_state() == blob

    def test_reserved_clip_bytes_round_trip(self):
        """Bytes 100..103 are restored and written back verbatim."""
        blob = patched(AGC().get_state(), 100, b"\x01\x02\x03\x04")
        a = AGC()
        a.set_state(blob)
        a.step(1.0)
        a.steps(np.ones(9, np.complex64))
        assert a.get_state()[100:104] == b"\x01\x02\x03\x04"

    def test_blob_with_zero_decim_runs(self):
        blob = ref.with_field(AGC().get_state(), "decim", 0)
        a = AGC()
        a.set_state(blob)
        b = AGC()
        b.decim = 1
        x = np.arange(12, dtype=np.complex64)
        assert np.array_equal(a.steps(x).view(np.uint32), b.steps(x).view(np.uint32))

    def test_bytes_subclass(self):
        class B(bytes):
            pass
        a = AGC()
        a.set_state(B(busy_agc().get_state()))
        assert a.get_state() == busy_agc().get_state()

    def test_restore_keeps_attachment(self):
        telemetry = pytest.importorskip("kestrix.telemetry")
        tlm = telemetry.Telemetry(64)
        a = AGC()
        a.set_telemetry(tlm, "agc")
        a.set_state(busy_agc().get_state())
        pending = tlm.pending
        a.steps(np.ones(a.decim, np.complex64))
        assert tlm.pending == pending + 2


class TestIgnoredBytes:
    @pytest.mark.parametrize("offset, data", [
        (7, b"\x05"), (7, b"\xff"), (12, b"\xff\xff\xff\xff"), (13, b"\x01"),
        (104, b"\xff" * 8), (112, b"\x01\x02\x03\x04"), (116, b"\x09\x00\x00\x80"),
        (104, b"\xaa" * 16)])
    def test_accepted_without_effect(self, offset, data):
        src = busy_agc()
        blob = src.get_state()
        a = AGC()
        a.set_state(patched(blob, offset, data))
        assert a.get_state() == blob
        assert np.array_equal(drive(a, 4), drive(busy_agc(), 4))


class TestRefusals:
    @pytest.mark.parametrize("offset, data", [
        (0, b"BOXC"), (0, b"FIR_"), (0, b"agc "), (3, b"\x00"),
        (4, b"\x02\x00"), (4, b"\x04\x00"), (5, b"\x01"),
        (6, b"\x02"), (6, b"\x00"),
        (8, struct.pack("<I", 121)), (8, struct.pack("<I", 16)), (11, b"\x01"),
    ])
    def test_bad_header(self, offset, data):
        """Core reader refusal path: magic, version, byte 6, size field."""
        a = busy_agc()
        before = a.get_state()
        with pytest.raises(ValueError, match=REJECTED):
            a.set_state(patched(AGC(7.0).get_state(), offset, data))
        assert a.get_state() == before

    @pytest.mark.parametrize("length", [0, 1, 16, 119, 121, 240, 576])
    def test_wrong_length(self, length):
        """Frame length check path: the core never sees the blob."""
        a = busy_agc()
        before = a.get_state()
        blob = (AGC().get_state() * 5)[:length]
        with pytest.raises(ValueError, match=SIZE):
            a.set_state(blob)
        assert a.get_state() == before

    def test_long_blob_with_valid_prefix(self):
        with pytest.raises(ValueError, match=SIZE):
            AGC().set_state(AGC().get_state() + b"\x00")

    @pytest.mark.parametrize("blob", [
        bytearray(120), memoryview(bytes(120)), "x" * 120, None, 120,
        np.zeros(120, np.uint8), [0] * 120])
    def test_not_bytes(self, blob):
        """Frame type check path: anything but bytes, bytearray included."""
        a = busy_agc()
        before = a.get_state()
        with pytest.raises(TypeError, match=NOT_BYTES):
            a.set_state(blob)
        assert a.get_state() == before

    def test_bytearray_of_valid_blob(self):
        with pytest.raises(TypeError, match=NOT_BYTES):
            AGC().set_state(bytearray(AGC().get_state()))

    def test_destroyed(self):
        a = AGC()
        blob = a.get_state()
        a.destroy()
        for call in (a.state_bytes, a.get_state, lambda: a.set_state(blob),
                     lambda: a.set_state(b"short"), lambda: a.set_state(None)):
            with pytest.raises(RuntimeError, match="^destroyed$"):
                call()

    def test_refused_blob_from_other_kind(self):
        """A 120-byte blob with another kind's magic is refused by the magic."""
        blob = b"BOXC" + AGC().get_state()[4:]
        with pytest.raises(ValueError, match=REJECTED):
            AGC().set_state(blob)
