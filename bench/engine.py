"""The engines' speed against the strongest peers, as the ratios the
engine work is held to: PyFlat against faiss's exact IndexFlatL2, PyHNSW's
query against PyFlat's on the same data, a filtered PyHNSW query against an
unfiltered one, and the PyHNSW build against hnswlib's.

    python bench/engine.py            # the sizes the targets name (a few minutes)
    python bench/engine.py --quick    # small sizes: checks that it all runs

Single queries and builds run on one thread everywhere. Each figure is the
processor time of the process per call (so that other load on the machine
inflates it less than wall time), the best of --rounds rounds (of at most
three for the builds), with the systems interleaved round by round. The batch comparison uses every core
the process may run on, for both systems, and wall time.

Queries come from the data's own distribution (bench/run.py's clustered
data); "far" queries are the same moved by 4.0 in every coordinate, five
times the clusters' spread, where every stored vector is about as distant as
the nearest and an exhaustive search can rule little out early.
"""

import argparse
import os
import sys
import time

for name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMEXPR_NUM_THREADS"):
    os.environ.setdefault(name, "1")

import numpy as np  # noqa: E402

import tamsel  # noqa: E402
from run import make_data  # noqa: E402

K = 10


def per_call(rounds, calls):
    """{name: best processor seconds per call} for named lists of calls,
    interleaved round by round."""
    best = {name: float("inf") for name in calls}
    for _ in range(rounds):
        for name, batch in calls.items():
            start = time.process_time()
            for call in batch:
                call()
            best[name] = min(best[name], (time.process_time() - start) / len(batch))
    return best


def show(work, ours, theirs, target, unit="ms"):
    scale = 1e3 if unit == "ms" else 1.0
    ratio = ours[1] / theirs[1]
    print(f"{work:<42} {ours[0]:>11} {ours[1] * scale:8.3f} {unit}  {theirs[0]:>11} {theirs[1] * scale:8.3f} {unit}"
          f"  ratio {ratio:5.2f} (target <= {target})", flush=True)


def flat_queries(size, dim, queries, rounds):
    import faiss

    faiss.omp_set_num_threads(1)
    vectors, near = make_data("clustered", size, dim, queries)
    flat = tamsel.PyFlat(dim)
    flat.create(vectors)
    peer = faiss.IndexFlatL2(dim)
    peer.add(vectors.astype(np.float32))
    for label, chosen in (("near", near), ("far", near + 4.0)):
        rows = list(chosen)
        best = per_call(rounds, {
            "tamsel": [lambda q=q: flat.search(q, K) for q in rows],
            "faiss": [lambda q=q: peer.search(q[None, :].astype(np.float32), K) for q in rows],
        })
        target = "1.0" if label == "near" else "1.5"
        show(f"PyFlat query {size:,} x {dim}, {label}", ("PyFlat", best["tamsel"]), ("faiss", best["faiss"]), target)
    return vectors, near


def flat_batch(size, dim, queries, rounds):
    import faiss

    threads = len(os.sched_getaffinity(0))
    faiss.omp_set_num_threads(threads)
    vectors, batch = make_data("clustered", size, dim, queries)
    flat = tamsel.PyFlat(dim)
    flat.create(vectors)
    peer = faiss.IndexFlatL2(dim)
    peer.add(vectors.astype(np.float32))
    ours = theirs = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        flat.search_many(batch, K)
        ours = min(ours, time.perf_counter() - start)
        start = time.perf_counter()
        peer.search(batch.astype(np.float32), K)
        theirs = min(theirs, time.perf_counter() - start)
    faiss.omp_set_num_threads(1)
    show(f"{queries:,} queries on {size:,} x {dim}, {threads} threads", ("search_many", ours),
         ("faiss batch", theirs), "1.5", unit="s")


def graph(size, dim, queries, rounds):
    import hnswlib

    vectors, near = make_data("clustered", size, dim, queries)
    rows = list(near)
    # Half the nodes carry the filtered value, alternating in insertion order.
    schema = ["half"]
    records = [[("half", i % 2)] for i in range(size)]

    # Builds are long, so they take at most three rounds.
    built = {"tamsel": float("inf"), "hnswlib": float("inf")}
    for _ in range(min(rounds, 3)):
        start = time.process_time()
        index = tamsel.PyHNSW(dim, metric="euclidean", schema=schema)
        index.create(vectors, records)
        built["tamsel"] = min(built["tamsel"], time.process_time() - start)
        start = time.process_time()
        peer = hnswlib.Index(space="l2", dim=dim)
        peer.init_index(max_elements=size, M=16, ef_construction=200, random_seed=1)
        peer.set_num_threads(1)
        peer.add_items(vectors.astype(np.float32))
        built["hnswlib"] = min(built["hnswlib"], time.process_time() - start)
    show(f"PyHNSW build {size:,} x {dim}", ("PyHNSW", built["tamsel"]), ("hnswlib", built["hnswlib"]), "4", unit="s")

    flat = tamsel.PyFlat(dim)
    flat.create(vectors)
    best = per_call(rounds, {
        "graph": [lambda q=q: index.search(q, K) for q in rows],
        "flat": [lambda q=q: flat.search(q, K) for q in rows],
        "filtered": [lambda q=q: index.search(q, K, filter=("half", 0)) for q in rows],
    })
    show(f"PyHNSW query {size:,} x {dim}", ("PyHNSW", best["graph"]), ("PyFlat", best["flat"]), "1.2")
    show(f"PyHNSW query, half the nodes pass", ("filtered", best["filtered"]), ("unfiltered", best["graph"]), "1.5")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, one round")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    if args.quick:
        flat_queries(5_000, 32, 20, 1)
        flat_batch(5_000, 32, 50, 1)
        graph(1_000, 32, 20, 1)
        return
    flat_queries(100_000, 128, 200, args.rounds)
    flat_queries(1_000_000, 64, 50, args.rounds)
    flat_batch(100_000, 128, 1_000, args.rounds)
    graph(10_000, 128, 300, args.rounds)


if __name__ == "__main__":
    sys.exit(main())
