"""kestrix.dask.fir: chunk by chunk, bit-identical to one FIR.execute call."""

import doctest
import subprocess
import sys

import numpy as np
import pytest

da = pytest.importorskip("dask.array")

import kestrix.dask  # noqa: E402
from kestrix.dask import fir  # noqa: E402
from kestrix.filter import FIR  # noqa: E402

N = 3000


def random_taps(rng, n, real):
    if real:
        return rng.standard_normal(n).astype(np.float32)
    return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np.complex64)


def signal(rng, n):
    """Noise with signed zeros, infinities and a NaN with a payload, whose
    bits only survive if every chunk starts from the true history."""
    x = rng.standard_normal(2 * n).astype(np.float32)
    if not n:
        return x.view(np.complex64)
    x[rng.integers(0, 2 * n, 20)] = -0.0
    x[rng.integers(0, 2 * n, 2)] = np.inf
    x.view(np.uint32)[rng.integers(0, 2 * n)] = 0x7FC01234
    return x.view(np.complex64)


def random_chunks(rng, n, longest):
    """Chunk sizes from 0 to `longest` that add up to n."""
    sizes = []
    while n:
        sizes.append(min(n, int(rng.integers(0, longest + 1))))
        n -= sizes[-1]
    return tuple(sizes)


def assert_bits_equal(y, ref):
    assert y.dtype == np.complex64 and y.shape == ref.shape
    np.testing.assert_array_equal(y.view(np.uint32), ref.view(np.uint32))


class TestMatchesExecute:
    @pytest.mark.parametrize("ntaps", [1, 2, 9, 75, 300])
    @pytest.mark.parametrize("real", [True, False], ids=["real", "complex"])
    def test_random_chunkings(self, ntaps, real):
        rng = np.random.default_rng(2 * ntaps + real)
        taps = random_taps(rng, ntaps, real)
        x = signal(rng, N)
        ref = FIR(taps).execute(x)
        # Chunks mostly shorter than the filter, around its length, and long;
        # at most a few hundred of them (an output's prefix is the prefix's
        # output).
        for longest in (ntaps // 3 + 1, 2 * ntaps, N):
            n = min(N, 200 * longest)
            chunks = (random_chunks(rng, n, longest),)
            y = fir(da.from_array(x[:n], chunks=chunks), taps)
            assert y.chunks == chunks
            assert_bits_equal(y.compute(scheduler="synchronous"), ref[:n])

    @pytest.mark.parametrize("chunks", [((0,),), ((N,),), ((0, 7, 0, N - 8, 1, 0),)],
                             ids=["empty", "one-chunk", "empty-chunks"])
    @pytest.mark.parametrize("piece", [None, 7], ids=["", "in-pieces"])
    def test_edge_chunkings(self, chunks, piece, monkeypatch):
        """Also with each chunk fed to its filter in pieces of 7 samples, as long chunks are."""
        if piece is not None:
            from kestrix import _firblock

            monkeypatch.setattr(_firblock, "PIECE", piece)
        x = signal(np.random.default_rng(5), sum(chunks[0]))
        taps = random_taps(np.random.default_rng(6), 16, True)
        y = fir(da.from_array(x, chunks=chunks), taps)
        assert y.chunks == chunks
        assert_bits_equal(y.compute(scheduler="synchronous"), FIR(taps).execute(x))

    @pytest.mark.parametrize("taps", [[0.25, 0.5, 0.25], np.array([1, -2, 3], np.int8)],
                             ids=["list", "int8"])
    def test_taps_converted_like_fir(self, taps):
        """Lists and integer arrays take the complex path, as in FIR."""
        x = signal(np.random.default_rng(7), 500)
        y = fir(da.from_array(x, chunks=2), taps).compute(scheduler="synchronous")
        assert_bits_equal(y, FIR(taps).execute(x))

    def test_taps_copied_at_call(self):
        """Writing into the caller's taps after the call changes nothing."""
        taps = random_taps(np.random.default_rng(8), 20, True)
        x = signal(np.random.default_rng(9), 500)
        ref = FIR(taps).execute(x)
        y = fir(da.from_array(x, chunks=7), taps)
        taps[:] = 0
        assert_bits_equal(y.compute(scheduler="synchronous"), ref)

    def test_float32_samples_convert_like_execute(self):
        x = np.random.default_rng(10).standard_normal(400).astype(np.float32)
        taps = random_taps(np.random.default_rng(11), 12, False)
        y = fir(da.from_array(x, chunks=5), taps).compute(scheduler="synchronous")
        assert_bits_equal(y, FIR(taps).execute(x))


def same_error(call, reference):
    with pytest.raises(Exception) as expected:
        reference()
    with pytest.raises(type(expected.value)) as got:
        call()
    assert str(got.value) == str(expected.value)


class TestRefusedAtConstruction:
    x = da.zeros(10, chunks=3, dtype=np.complex64)

    @pytest.mark.parametrize("taps", [np.ones(3), [], np.ones((2, 2), np.float32), "abc"],
                             ids=["float64", "empty", "2-D", "str"])
    def test_taps_refused_like_fir(self, taps):
        same_error(lambda: fir(self.x, taps), lambda: FIR(taps))

    @pytest.mark.parametrize("x, error, text", [
        (np.zeros(10, np.complex64), TypeError, "x must be a dask array, not numpy.ndarray"),
        (da.zeros((2, 5), dtype=np.complex64), ValueError, r"one-dimensional, got shape \(2, 5\)"),
        (da.zeros(10, dtype=np.float64), TypeError, r"dtype float64.*x.astype\(numpy.complex64\)"),
        (da.zeros(10, dtype=np.complex128), TypeError, "dtype complex128"),
        (da.zeros(10, dtype=np.complex64)[da.zeros(10, dtype=bool)], ValueError,
         r"unknown chunk sizes; call x.compute_chunk_sizes\(\)"),
    ], ids=["numpy", "2-D", "float64", "complex128", "unknown-chunks"])
    def test_bad_x(self, x, error, text):
        with pytest.raises(error, match=text):
            fir(x, [1.0])


def test_docstring_example():
    result = doctest.testmod(kestrix.dask, optionflags=doctest.ELLIPSIS)
    assert result.failed == 0 and result.attempted > 0


def test_only_kestrix_dask_needs_dask():
    """The library imports without Dask; kestrix.dask names the extra."""
    code = (
        "import sys\n"
        "import kestrix, kestrix.agc, kestrix.filter, kestrix.telemetry\n"
        "assert not [m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')]\n"
        "sys.modules['dask'] = None\n"
        "import kestrix.dask\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert r.returncode == 1
    assert "ImportError: kestrix.dask needs Dask" in r.stderr
    assert "pip install 'kestrix[dask]'" in r.stderr


def test_on_a_cluster_of_processes(dask_scheduler):
    """Chunks shorter than the filter, spread over two worker processes."""
    from distributed import Client

    rng = np.random.default_rng(12)
    taps = random_taps(rng, 200, False)
    x = signal(rng, 20_000)
    chunks = (random_chunks(rng, len(x), 600),)
    with Client(dask_scheduler) as client:
        y = client.compute(fir(da.from_array(x, chunks=chunks), taps)).result()
    assert_bits_equal(y, FIR(taps).execute(x))
