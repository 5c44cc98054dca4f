"""kestrix.telemetry on its own: construction, the capsule and its memory,
the consumer (read, pending, stamp) and the help examples.

The producer side is played here by a ctypes mirror of the context layout,
which writes records and advances head exactly as the native producer does;
tests/test_agc_telemetry.py drives the real producer through an AGC.
"""

import ctypes
import doctest
import gc
import sys
import weakref

import numpy as np
import pytest

import kestrix.telemetry
from kestrix.telemetry import Telemetry

from conftest import CAPSULE_NAME, Ctx, Mirror, Probe, Rec, Ring

CAPACITY_ERROR = "capacity must be a power of two from 1 to 2\\*\\*30"
REC_DTYPE = np.dtype([("stamp", "<u8"), ("value", "<f4"), ("probe", "<u2")])

# ------------------------------------------------------------ capsule name

_capsule_get_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_get_name.restype = ctypes.c_char_p
_capsule_get_name.argtypes = [ctypes.py_object]


def expected(stamps, values, probes):
    out = np.zeros(len(stamps), REC_DTYPE)
    out["stamp"], out["value"], out["probe"] = stamps, values, probes
    return out


def assert_records_equal(got, want):
    assert got.dtype == REC_DTYPE
    np.testing.assert_array_equal(got["stamp"], want["stamp"])
    np.testing.assert_array_equal(got["value"].view(np.uint32), want["value"].view(np.uint32))
    np.testing.assert_array_equal(got["probe"], want["probe"])


class TestLayoutMirror:
    def test_mirror_matches_the_binary_interface(self):
        assert ctypes.sizeof(Probe) == 48 and Probe.emitted.offset == 40
        assert Ctx.n_probes.offset == 16 and Ctx.probes.offset == 24
        assert ctypes.sizeof(Ctx) == 24 + 48 * 64
        assert (Ring.head.offset, Ring.tail.offset, Ring.dropped.offset) == (64, 128, 192)
        assert ctypes.sizeof(Rec) == 16 and Rec.pad.offset == 14
        assert REC_DTYPE.itemsize == 14


class TestConstruction:
    def test_default_capacity(self):
        tlm = Telemetry()
        assert tlm.capacity == 4096
        assert (tlm.n_probes, tlm.pending, tlm.dropped, tlm.stamp) == (0, 0, 0, 0)
        assert tlm.probe_names == [] and tlm.emitted == {}

    @pytest.mark.parametrize("capacity", [1, 2, 8, 64, 4096, 1 << 20])
    def test_power_of_two_capacities(self, capacity):
        tlm = Telemetry(capacity)
        m = Mirror(tlm._capsule)
        assert tlm.capacity == capacity == m.ring.capacity
        assert m.ring.mask == capacity - 1
        assert (m.ring.head, m.ring.tail, m.ring.dropped) == (0, 0, 0)
        assert m.ring.recs != 0

    def test_keyword_and_index_objects(self):
        assert Telemetry(capacity=16).capacity == 16
        assert Telemetry(np.int64(32)).capacity == 32
        assert Telemetry(True).capacity == 1

    def test_largest_capacity(self):
        """2**30 is accepted; only the allocation may fail (MemoryError path)."""
        try:
            tlm = Telemetry(1 << 30)
        except MemoryError as e:
            assert str(e) == "kx_tlm_create returned NULL"
        else:
            assert tlm.capacity == 1 << 30

    @pytest.mark.parametrize(
        "capacity", [0, 3, 6, 1000, 4095, -1, -4096, (1 << 30) + 1, 1 << 31, 1 << 64, 1 << 80,
                     -(1 << 80)]
    )
    def test_invalid_capacity(self, capacity):
        """Value check after __index__, including the overflow branch for huge ints."""
        with pytest.raises(ValueError, match=CAPACITY_ERROR):
            Telemetry(capacity)

    @pytest.mark.parametrize("capacity", [4096.0, "4096", None, 1j])
    def test_non_integer_capacity(self, capacity):
        with pytest.raises(TypeError):
            Telemetry(capacity)

    def test_bad_arguments(self):
        with pytest.raises(TypeError):
            Telemetry(16, 32)
        with pytest.raises(TypeError):
            Telemetry(size=16)

    def test_index_that_raises(self):
        """The __index__ conversion's error propagates before anything is allocated."""

        class Bad:
            def __index__(self):
                raise ZeroDivisionError("no")

        with pytest.raises(ZeroDivisionError):
            Telemetry(Bad())

    def test_init_again_changes_nothing(self):
        tlm = Telemetry(8)
        cap = tlm._capsule
        tlm.__init__(16)
        assert tlm.capacity == 8 and tlm._capsule is cap

    def test_contexts_are_aligned_and_separate(self):
        a, b = Mirror(Telemetry(4)._capsule), Mirror(Telemetry(4)._capsule)
        for m in (a, b):
            assert m.address % 64 == 0 and m.ctx.ring_ctl % 64 == 0
        assert a.address != b.address and a.ctx.ring_ctl != b.ctx.ring_ctl


class TestCapsule:
    def test_name(self):
        tlm = Telemetry(16)
        assert type(tlm._capsule).__name__ == "PyCapsule"
        assert _capsule_get_name(tlm._capsule) == CAPSULE_NAME

    def test_same_capsule_every_time_and_read_only(self):
        tlm = Telemetry(16)
        assert tlm._capsule is tlm._capsule
        with pytest.raises(AttributeError):
            tlm._capsule = None
        with pytest.raises(AttributeError):
            del tlm._capsule

    def test_object_holds_one_reference(self):
        tlm = Telemetry(16)
        cap = tlm._capsule
        before = sys.getrefcount(cap)
        del tlm
        gc.collect()
        assert sys.getrefcount(cap) == before - 1

    def test_capsule_outlives_object(self):
        """The capsule owns the memory: it stays readable after the object goes."""
        tlm = Telemetry(16)
        tlm.stamp = 1234
        w = weakref.ref(tlm)
        m = Mirror(tlm._capsule)
        del tlm
        gc.collect()
        assert w() is None
        assert (m.ring.capacity, m.ring.mask, m.ctx.stamp) == (16, 15, 1234)
        assert m.produce(5, 1.5, 0)
        assert m.ring.head == 1


class TestStamp:
    @pytest.mark.parametrize("value", [0, 1, 4096, (1 << 63) + 5, (1 << 64) - 1])
    def test_round_trip_and_layout(self, value):
        tlm = Telemetry(8)
        tlm.stamp = value
        assert tlm.stamp == value == Mirror(tlm._capsule).ctx.stamp

    def test_reads_what_the_context_holds(self):
        tlm = Telemetry(8)
        Mirror(tlm._capsule).ctx.stamp = 77
        assert tlm.stamp == 77

    @pytest.mark.parametrize(
        "value,exc", [(-1, OverflowError), (1 << 64, OverflowError), (1.0, TypeError),
                      ("3", TypeError), (None, TypeError)]
    )
    def test_rejected_values_leave_it(self, value, exc):
        tlm = Telemetry(8)
        tlm.stamp = 9
        with pytest.raises(exc):
            tlm.stamp = value
        assert tlm.stamp == 9

    def test_delete(self):
        """Setter called with NULL: TypeError, value kept."""
        tlm = Telemetry(8)
        tlm.stamp = 3
        with pytest.raises(TypeError, match="cannot delete stamp"):
            del tlm.stamp
        assert tlm.stamp == 3

    def test_index_objects(self):
        tlm = Telemetry(8)
        tlm.stamp = np.uint64(2**64 - 2)
        assert tlm.stamp == 2**64 - 2


class TestReadEmpty:
    @pytest.mark.parametrize("capacity", [1, 4, 4096])
    def test_empty_ring(self, capacity):
        tlm = Telemetry(capacity)
        rec = tlm.read()
        assert rec.dtype == REC_DTYPE and rec.shape == (0,)
        assert tlm.read(max=10).shape == (0,)
        assert tlm.pending == 0

    def test_result_is_a_fresh_writable_array(self):
        tlm = Telemetry(4)
        a, b = tlm.read(), tlm.read()
        assert a is not b and a.flags.writeable and a.flags.owndata


class TestRead:
    @pytest.mark.parametrize("n", [1, 3, 8])
    def test_records_in_order(self, n):
        tlm = Telemetry(8)
        m = Mirror(tlm._capsule)
        stamps = np.arange(100, 100 + n, dtype=np.uint64)
        values = np.float32(0.25) * np.arange(n, dtype=np.float32) - np.float32(1.0)
        probes = np.arange(n) % 3
        for s, v, p in zip(stamps, values, probes):
            assert m.produce(int(s), float(v), int(p))
        assert tlm.pending == n
        assert_records_equal(tlm.read(), expected(stamps, values, probes))
        assert tlm.pending == 0 and m.ring.tail == n and m.ring.head == n

    def test_special_values_pass_bit_exactly(self):
        tlm = Telemetry(8)
        m = Mirror(tlm._capsule)
        bits = np.array([0x80000000, 0x7FC00001, 0x7F800000, 0x00000001, 0xFF7FFFFF], np.uint32)
        for i, b in enumerate(bits):
            m.produce(i, 0.0, 63)
            m.recs[i].value = float(bits[i : i + 1].view(np.float32)[0])
        rec = tlm.read()
        np.testing.assert_array_equal(rec["value"].view(np.uint32), bits)
        assert rec["probe"].tolist() == [63] * 5

    @pytest.mark.parametrize("limit", [0, 1, 4, 5, 6, 100, 1 << 70])
    def test_max(self, limit):
        tlm = Telemetry(8)
        m = Mirror(tlm._capsule)
        for i in range(5):
            m.produce(i, float(i), 0)
        first = tlm.read(max=limit)
        taken = min(limit, 5)
        assert first["stamp"].tolist() == list(range(taken))
        assert tlm.pending == 5 - taken
        assert tlm.read(limit)["stamp"].tolist() == list(range(taken, min(2 * taken, 5)))

    def test_max_none_reads_all(self):
        tlm = Telemetry(4)
        m = Mirror(tlm._capsule)
        for i in range(4):
            m.produce(i, 0.0, 1)
        assert len(tlm.read(None)) == 4

    @pytest.mark.parametrize("limit", [-1, -(1 << 70)])
    def test_negative_max(self, limit):
        """The negative and negative-overflow branches; nothing is consumed."""
        tlm = Telemetry(4)
        Mirror(tlm._capsule).produce(1, 1.0, 0)
        with pytest.raises(ValueError, match="max must be None or an integer >= 0"):
            tlm.read(limit)
        assert tlm.pending == 1

    @pytest.mark.parametrize("limit", [1.0, "2", [1]])
    def test_non_integer_max(self, limit):
        tlm = Telemetry(4)
        Mirror(tlm._capsule).produce(1, 1.0, 0)
        with pytest.raises(TypeError):
            tlm.read(limit)
        assert tlm.pending == 1

    def test_unknown_keyword(self):
        with pytest.raises(TypeError):
            Telemetry(4).read(count=1)

    def test_reentrant_read_from_index(self):
        """max.__index__ runs a read() first: the outer one counts only afterwards,
        so no record is returned twice."""
        tlm = Telemetry(8)
        m = Mirror(tlm._capsule)
        for i in range(6):
            m.produce(i, 0.0, 0)
        inner = []

        class Limit:
            def __index__(self):
                inner.append(tlm.read(max=4))
                return 10

        outer = tlm.read(Limit())
        assert inner[0]["stamp"].tolist() == [0, 1, 2, 3]
        assert outer["stamp"].tolist() == [4, 5]

    @pytest.mark.parametrize("capacity", [1, 2, 4, 16])
    def test_wraparound_many_laps(self, capacity):
        """Free-running counters across many laps of the ring, batches of every size."""
        tlm = Telemetry(capacity)
        m = Mirror(tlm._capsule)
        rng = np.random.default_rng(capacity)
        produced = consumed = 0
        for _ in range(200):
            room = capacity - (produced - consumed)
            for _ in range(int(rng.integers(0, room + 1))):
                assert m.produce(produced, float(np.float32(produced) / 8), produced % 64)
                produced += 1
            rec = tlm.read(max=int(rng.integers(0, capacity + 1)))
            n = len(rec)
            want = np.arange(consumed, consumed + n)
            assert rec["stamp"].tolist() == want.tolist()
            assert rec["probe"].tolist() == (want % 64).tolist()
            np.testing.assert_array_equal(rec["value"], want.astype(np.float32) / 8)
            consumed += n
            assert tlm.pending == produced - consumed
        assert m.ring.head == produced > 4 * capacity

    def test_full_ring_reads_capacity_records(self):
        tlm = Telemetry(4)
        m = Mirror(tlm._capsule)
        results = [m.produce(i, 0.0, 0) for i in range(6)]
        assert results == [True] * 4 + [False] * 2
        assert (tlm.pending, tlm.dropped) == (4, 2)
        assert tlm.read()["stamp"].tolist() == [0, 1, 2, 3]
        assert m.produce(9, 0.0, 0) and tlm.read()["stamp"].tolist() == [9]

    def test_dropped_reads_the_counter(self):
        tlm = Telemetry(4)
        Mirror(tlm._capsule).ring.dropped = (1 << 64) - 1
        assert tlm.dropped == (1 << 64) - 1


class TestDamagedRing:
    """The reader never trusts head - tail beyond the capacity, nor the mask."""

    def test_head_far_ahead_reads_at_most_capacity(self):
        """head 2**40 records past tail in a 4-record ring: pending is 4,
        read() returns the 4 slots once and counts the rest as dropped (it
        once asked for 2**40 rows of 14 bytes); the ring then works on."""
        tlm = Telemetry(4)
        m = Mirror(tlm._capsule)
        for i in range(4):
            m.recs[i].stamp = 10 + i
        m.ring.head = 1 << 40
        assert tlm.pending == 4
        assert tlm.read()["stamp"].tolist() == [10, 11, 12, 13]
        assert (tlm.dropped, tlm.pending, m.ring.tail) == ((1 << 40) - 4, 0, 1 << 40)
        assert m.produce(7, 1.0, 0)
        assert tlm.read()["stamp"].tolist() == [7]

    def test_mask_is_not_trusted(self):
        """Slots are taken modulo the capacity even when the mask says more."""
        tlm = Telemetry(4)
        m = Mirror(tlm._capsule)
        m.ring.head = m.ring.tail = 4097
        for k in range(3):
            m.produce(k, 0.5, 1)
        m.ring.mask = (1 << 40) - 1
        assert tlm.read()["stamp"].tolist() == [0, 1, 2]


class TestProbeTable:
    """Lookups over a table written through the mirror (registration itself is
    exercised through the AGC)."""

    @staticmethod
    def table(*names):
        tlm = Telemetry(4)
        ctx = Mirror(tlm._capsule).ctx
        for i, raw in enumerate(names):
            ctx.probes[i].name = raw
            ctx.probes[i].emitted = 10 * i + 1
        ctx.n_probes = len(names)
        return tlm

    def test_names_ids_and_emitted(self):
        tlm = self.table(b"a.gain_db", b"a.level_db", b"x" * 31)
        assert tlm.n_probes == 3
        assert tlm.probe_names == ["a.gain_db", "a.level_db", "x" * 31]
        assert [tlm.probe_id(n) for n in tlm.probe_names] == [0, 1, 2]
        assert tlm.emitted == {"a.gain_db": 1, "a.level_db": 11, "x" * 31: 21}

    def test_cut_utf8_sequence_round_trips(self):
        raw = "é".encode() * 15 + b"\xc3"
        tlm = self.table(raw)
        (name,) = tlm.probe_names
        assert name == "é" * 15 + "\udcc3"
        assert tlm.probe_id(name) == 0

    @pytest.mark.parametrize(
        "name", ["a.gain", "a.gain_db ", "A.gain_db", "", "a.gain_db\0", "x" * 32, "x" * 100]
    )
    def test_absent_names(self, name):
        """The not-found path, including names that can never be registered."""
        tlm = self.table(b"a.gain_db", b"a.level_db")
        with pytest.raises(KeyError) as info:
            tlm.probe_id(name)
        assert info.value.args == (name,)

    def test_empty_name_when_registered(self):
        assert self.table(b"p", b"").probe_id("") == 1

    @pytest.mark.parametrize("name", [b"a.gain_db", 0, None])
    def test_non_str_name(self, name):
        with pytest.raises(TypeError):
            self.table(b"a.gain_db").probe_id(name)

    def test_lone_surrogate_that_was_never_registered(self):
        with pytest.raises(KeyError):
            self.table(b"a").probe_id("\udcff")

    def test_n_probes_bounded_by_table(self):
        """A damaged count never makes the table reads run past 64 entries."""
        tlm = Telemetry(4)
        ctx = Mirror(tlm._capsule).ctx
        for i in range(64):
            ctx.probes[i].name = b"p%d" % i
        ctx.n_probes = 1000
        assert tlm.n_probes == 64 and len(tlm.probe_names) == 64
        assert tlm.probe_id("p63") == 63 and len(tlm.emitted) == 64


def _doc_items():
    yield "module", kestrix.telemetry.__doc__
    yield "Telemetry", Telemetry.__doc__
    for name, attr in sorted(vars(Telemetry).items()):
        if not name.startswith("__") and getattr(attr, "__doc__", None):
            yield name, attr.__doc__


class TestHelp:
    @pytest.mark.parametrize("name,doc", list(_doc_items()), ids=lambda v: v if len(v) < 30 else "")
    def test_examples_run(self, name, doc):
        parser = doctest.DocTestParser()
        test = parser.get_doctest(doc, {"np": np}, name, None, 0)
        assert test.examples, f"{name} has no example"
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        runner.run(test)
        assert runner.failures == 0

    def test_every_public_member_is_documented(self):
        public = {n for n in vars(Telemetry) if not n.startswith("__")}
        assert public == {"_capsule", "capacity", "n_probes", "probe_names", "emitted",
                          "pending", "dropped", "stamp", "probe_id", "read"}
        for n in public:
            doc = getattr(Telemetry, n).__doc__
            assert "Examples\n--------\n" in doc

    def test_signature(self):
        import inspect

        assert str(inspect.signature(Telemetry)) == "(capacity=4096)"
