"""kestrix.dask.fir on worker processes against one FIR.execute call.

Run:  python benchmarks/bench_dask.py [--log2n 26] [--taps 512 2048] [--repeat 5]
      python benchmarks/bench_dask.py --scheduler tcp://127.0.0.1:8786

Without --scheduler a LocalCluster of --workers worker processes (one thread
each: the FIR holds the interpreter lock, so threads would not help) is
started in this process; its start-up is timed and reported on its own.
With --scheduler the benchmark runs on that cluster, whose workers must be
able to import kestrix.

The samples live on the workers, as a long recording would: each chunk is
made there from its index and kept in worker memory (spread evenly) before
the clock starts, and the filtered chunks stay there (persisted, not
gathered).  The baseline makes the same samples in this process and filters
them with one FIR.execute call, as returned (a new array, as the chunks are)
and into a preallocated array.  A third figure has every worker filter the
chunks it holds at once, outside the scheduler: the speed-up this machine
gives worker processes in this very run, which on a shared machine can be
far from the core count.  The runs alternate; each figure is the median of
--repeat runs.  Per-chunk digests computed on the workers check that the
chunked result has exactly the baseline's bits.  Needs the dask extra.  Not
a test: nothing is asserted.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import time

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, get_client, get_task_stream, wait

from kestrix import _cpu
from kestrix.dask import fir
from kestrix.filter import FIR


def make_chunk(seed: int, size: int, block_id: tuple[int, ...] = (0,)) -> np.ndarray:
    """Chunk `block_id` of the signal: Gaussian noise, the same on any machine."""
    rng = np.random.default_rng([seed, block_id[0]])
    return rng.standard_normal(2 * size, dtype=np.float32).view(np.complex64)


def digest(block: np.ndarray) -> np.ndarray:
    d = hashlib.blake2b(np.ascontiguousarray(block).view(np.uint8), digest_size=8).digest()
    return np.frombuffer(d, np.uint64)


def run_once(x: da.Array, taps: np.ndarray) -> tuple[float, float, da.Array]:
    """Seconds until every filtered chunk is in worker memory, the share of
    that time the workers spent computing, and the chunks."""
    with get_task_stream() as stream:
        t0 = time.perf_counter()
        y = fir(x, taps).persist()
        wait(y)
        seconds = time.perf_counter() - t0
    busy = sum(s["stop"] - s["start"] for task in stream.data
               for s in task["startstops"] if s["action"] == "compute")
    nworkers = len(get_client().scheduler_info()["workers"])
    return seconds, busy / (seconds * nworkers), y


def filter_held(taps: np.ndarray, keys: list, dask_worker=None) -> None:
    """On a worker: filter the chunks of `keys` it holds, one after another,
    keeping the results until the end as the graph does: the same work,
    none of the scheduler's costs."""
    # Imported here: this function travels by value, and a global reference
    # to FIR would send the type itself, which its "filter.FIR" name keeps
    # pickle from finding.
    from kestrix.filter import FIR

    f = FIR(taps)
    kept = [f.execute(dask_worker.data[key]) for key in keys if key in dask_worker.data]
    del kept


def bench_taps(x: da.Array, local: np.ndarray, ntaps: int, repeat: int,
               seed: int) -> dict[str, float]:
    """Medians of seconds: FIR(taps).execute(x) here ("one"), the same into a
    preallocated out ("one_out"), fir on the workers ("dask", with the
    workers' busy share "busy"), and every worker filtering the chunks it
    holds at once ("held": what this machine gives worker processes in this
    run)."""
    taps = np.random.default_rng(seed + ntaps).standard_normal(ntaps).astype(np.float32)
    out = np.empty_like(local)
    client = get_client()
    runs: dict[str, list[float]] = {k: [] for k in ("one", "one_out", "dask", "busy", "held")}
    for i in range(repeat):
        t0 = time.perf_counter()
        y = FIR(taps).execute(local)
        runs["one"].append(time.perf_counter() - t0)
        del y
        t0 = time.perf_counter()
        FIR(taps).execute(local, out)
        runs["one_out"].append(time.perf_counter() - t0)
        t, busy, y = run_once(x, taps)
        runs["dask"].append(t)
        runs["busy"].append(busy)
        if i == 0:
            nblocks = len(x.chunks[0])
            remote = y.map_blocks(digest, chunks=((1,) * nblocks,), dtype=np.uint64).compute()
            bounds = np.cumsum((0,) + x.chunks[0])
            here = [digest(out[a:b])[0] for a, b in zip(bounds[:-1], bounds[1:])]
            if not np.array_equal(remote, here):
                raise SystemExit(f"{ntaps} taps: the chunked result differs from FIR.execute")
        # Dropping the last reference releases the chunks on the workers
        # (client.cancel would also cancel the next run's identical keys).
        del y
        t0 = time.perf_counter()
        client.run(filter_held, taps, x.__dask_keys__())
        runs["held"].append(time.perf_counter() - t0)
    return {k: statistics.median(v) for k, v in runs.items()}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--log2n", type=int, default=26, help="2**LOG2N samples (default 26: 512 MiB)")
    ap.add_argument("--chunk-log2", type=int, default=22, help="chunks of 2**K samples (default 22)")
    ap.add_argument("--taps", type=int, nargs="+", default=[512, 2048], help="real tap counts")
    ap.add_argument("--repeat", type=int, default=5, help="runs per median (default 5)")
    ap.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    ap.add_argument("--scheduler", metavar="ADDRESS", default=None,
                    help="use this running cluster instead of a LocalCluster")
    args = ap.parse_args()
    n, seed = 1 << args.log2n, 20240617
    chunk = 1 << min(args.chunk_log2, args.log2n)

    t0 = time.perf_counter()
    if args.scheduler:
        cluster, client = None, Client(args.scheduler)
        kind = f"cluster at {args.scheduler}"
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=":0")
        client = Client(cluster)
        kind = f"LocalCluster of {args.workers} worker processes"
    client.wait_for_workers(1 if args.scheduler else args.workers)
    workers = client.scheduler_info()["workers"]
    startup = time.perf_counter() - t0
    threads = sum(w["nthreads"] for w in workers.values())
    print(f"{kind}: {len(workers)} workers, {threads} threads; "
          f"{'connecting' if args.scheduler else 'start-up'} {startup:.2f} s; this machine: {os.cpu_count()} cores, "
          f"{_cpu.variant()} kernels")

    sizes = (chunk,) * (n // chunk)
    x = da.map_blocks(make_chunk, seed, chunk, chunks=(sizes,), dtype=np.complex64,
                      meta=np.empty((0,), np.complex64)).persist()
    wait(x)
    # Half the chunks on each worker, not the scheduler's first placement,
    # which can leave one worker a chunk or two more to filter.
    client.rebalance(x)
    local = np.concatenate([make_chunk(seed, s, (i,)) for i, s in enumerate(sizes)])
    # Warm-up: the workers import kestrix and build their first filter.
    run_once(x[:chunk], np.ones(8, np.float32))
    print(f"n = 2**{args.log2n} samples in chunks of 2**{args.chunk_log2}, "
          f"medians of {args.repeat} runs")

    def line(label: str, seconds: float, note: str = "") -> None:
        print(f"  {label:<52} {seconds:6.2f} s {n / seconds / 1e6:6.1f} Msps  {note}")

    for ntaps in args.taps:
        m = bench_taps(x, local, ntaps, args.repeat, seed)
        print(f"{ntaps} real taps")
        line("one process: FIR(taps).execute(x)", m["one"])
        line("one process: FIR(taps).execute(x, out), out reused", m["one_out"])
        line(f"kestrix.dask.fir on {len(workers)} workers", m["dask"],
             f"{m['one'] / m['dask']:.2f}x (workers busy {100 * m['busy']:.0f}% of it)")
        line("each worker filters its chunks at once, no graph", m["held"],
             f"{m['one'] / m['held']:.2f}x: this run's ceiling")
    client.close()
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main()
