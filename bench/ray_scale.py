"""What sharding over Ray costs and gives, on this machine: prints figures.

    python bench/ray_scale.py                 # 100,000 x 128 flat, 20,000 x 128 graph, 2 shards
    python bench/ray_scale.py --quick         # small sizes: checks that it all still runs

It starts a local Ray cluster (or joins the one RAY_ADDRESS names) and
measures, one after another: the round trip of an empty actor call; a
search and a batch of searches on one local index against the same on the
sharded index; building both; and the recall@10 of a sharded graph against
an exact scan.
"""

import argparse
import os
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import numpy as np  # noqa: E402
import ray  # noqa: E402

import tamsel  # noqa: E402
from tamsel_ray import ShardedFlat, ShardedHNSW  # noqa: E402

K = 10


def clustered(rng, count, dim, centres):
    return centres[rng.integers(0, len(centres), count)] + rng.normal(0.0, 0.8, (count, dim))


def median_ms(call, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return 1e3 * statistics.median(times)


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--shards", type=int, default=2)
    args = parser.parse_args()
    flat_n, graph_n, dim, batch = (100_000, 20_000, 128, 1_000) if not args.quick else (5_000, 2_000, 32, 100)
    shards = args.shards

    rng = np.random.default_rng(20261208)
    centres = rng.normal(0.0, 1.0, (32, dim))
    data = clustered(rng, flat_n, dim, centres)
    queries = clustered(rng, batch, dim, centres)

    start = time.perf_counter()
    if not ray.is_initialized():
        ray.init(address=os.environ.get("RAY_ADDRESS"), include_dashboard=False, log_to_driver=False)
    print(f"ray.init: {time.perf_counter() - start:.1f} s; cluster CPUs: {ray.cluster_resources().get('CPU')}")

    local = tamsel.PyFlat(dim)
    local_build = timed(lambda: local.create(data))
    start = time.perf_counter()
    sharded = ShardedFlat(dim, shards=shards)
    print(f"{shards} shard actors started: {time.perf_counter() - start:.2f} s")
    sharded_build = timed(lambda: sharded.create(data))
    print(f"PyFlat {flat_n:,} x {dim}: create {local_build:.2f} s locally, {sharded_build:.2f} s on {shards} shards")

    actor = sharded.actors[0]
    round_trip = median_ms(lambda: ray.get(actor.ping.remote()), 200)
    all_shards = median_ms(lambda: ray.get([a.ping.remote() for a in sharded.actors]), 200)
    print(f"empty actor call: {round_trip:.3f} ms to one shard, {all_shards:.3f} ms to all {shards}")

    q = queries[0]
    tiny = tamsel.PyFlat(dim)
    tiny.create(data[:100])
    print(f"search k={K}: local {median_ms(lambda: local.search(q, K), 50):.3f} ms, "
          f"sharded {median_ms(lambda: sharded.search(q, K), 50):.3f} ms "
          f"(local on 100 vectors: {median_ms(lambda: tiny.search(q, K), 200):.3f} ms)")
    if hasattr(local, "search_many"):
        loop = timed(lambda: [local.search(x, K) for x in queries])
        many_local = timed(lambda: local.search_many(queries, K))
        many_sharded = timed(lambda: sharded.search_many(queries, K))
        print(f"{batch:,} queries: local loop {loop:.2f} s, local search_many {many_local:.2f} s "
              f"({batch / many_local:,.0f}/s), sharded search_many {many_sharded:.2f} s ({batch / many_sharded:,.0f}/s)")
    else:
        print("search_many: not in this build of tamsel")
    del sharded, local

    graph_data = data[:graph_n]
    exact = tamsel.PyFlat(dim)
    exact.create(graph_data)
    graph = ShardedHNSW(dim, shards=shards, metric="euclidean")
    graph_build = timed(lambda: graph.create(graph_data))
    found = 0
    for x in queries[:200]:
        truth = {i for i, _ in exact.search(x, K)}
        answer = {tuple(v) for _, v in graph.search(x, K)}
        found += sum(tuple(graph_data[i]) in answer for i in truth)
    recall = found / (K * min(200, len(queries)))
    print(f"ShardedHNSW {graph_n:,} x {dim} on {shards} shards: create {graph_build:.1f} s, "
          f"recall@{K} {recall:.4f}, search {median_ms(lambda: graph.search(q, K), 50):.3f} ms")
    print(f"memory per shard (vectors alone): PyFlat {8 * dim * flat_n / shards / 2**20:.0f} MiB "
          f"+ {8 * flat_n / shards / 2**20:.1f} MiB of ids")


if __name__ == "__main__":
    main()
