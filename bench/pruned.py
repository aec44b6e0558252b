"""The pruned graph, PyHNSW(..., prune=True), beside hnswlib and the
described graph: build time against N, recall@10 and median latency at
ef_search=64, memory per vector, and filtered queries at five selectivities.

One thread, M=16, ef_construction=200, 128-dimensional clustered data (the
data of bench/run.py). Every (system, N) pair runs in its own process, so
that memory is measured from a clean start.

    python bench/pruned.py --sizes 10000 20000 50000 --plot bench/pruned_build.png
"""

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
K = 10
EF_SEARCH = 64
SELECTIVITIES = [0.5, 0.1, 0.01, 0.001, 0.0002]


def measure(system, size, queries, filtered):
    import numpy as np

    sys.path.insert(0, str(HERE))
    from run import make_data, rss_bytes

    data, query_rows = make_data("clustered", size, 128, queries)
    rng = np.random.default_rng(7)
    # One attribute per selectivity: exactly round(s * N) nodes hold 1.
    columns = []
    for s in SELECTIVITIES:
        column = np.zeros(size, dtype=np.int64)
        column[rng.choice(size, max(1, round(s * size)), replace=False)] = 1
        columns.append(column)
    schema = [f"s{i}" for i in range(len(SELECTIVITIES))]
    metadata = [[(name, int(col[i])) for name, col in zip(schema, columns)] for i in range(size)]

    before = rss_bytes()
    if system == "hnswlib":
        import hnswlib

        index = hnswlib.Index(space="l2", dim=128)
        start, cpu = time.perf_counter(), time.process_time()
        index.init_index(max_elements=size, M=16, ef_construction=200)
        index.set_num_threads(1)
        index.add_items(data.astype(np.float32), np.arange(size), num_threads=1)
        build, build_cpu = time.perf_counter() - start, time.process_time() - cpu
        memory = rss_bytes() - before
        index.set_ef(EF_SEARCH)
        q32 = query_rows.astype(np.float32)

        def search(i, k=K, flt=None):
            labels, _ = index.knn_query(q32[i:i + 1], k=k, num_threads=1)
            return list(labels[0])
    else:
        import tamsel

        prune = system == "tamsel-pruned"
        where = {row.tobytes(): i for i, row in enumerate(data)}
        queries_list = query_rows.tolist()
        before = rss_bytes()
        plain = tamsel.PyHNSW(128, m=16, ef_construction=200, ef_search=EF_SEARCH, metric="euclidean", prune=prune)
        start, cpu = time.perf_counter(), time.process_time()
        plain.create(data)
        build, build_cpu = time.perf_counter() - start, time.process_time() - cpu
        memory = rss_bytes() - before
        # The filtered figures come from a second index whose vectors carry
        # one attribute per selectivity.
        index = plain
        if filtered:
            index = tamsel.PyHNSW(128, m=16, ef_construction=200, ef_search=EF_SEARCH, metric="euclidean",
                                  schema=schema, prune=prune)
            index.create(data, metadata)

        def search(i, k=K, flt=None):
            found = (index if flt else plain).search(queries_list[i], k, flt)
            return [where[np.asarray(v).tobytes()] for _, v in found]

    def exact(i, mask=None):
        d = ((data - query_rows[i]) ** 2).sum(axis=1)
        if mask is not None:
            d = np.where(mask, d, np.inf)
        order = np.argsort(d, kind="stable")[:K]
        return [j for j in order if np.isfinite(d[j])]

    def run(flt=None, mask=None):
        times, hits, total, counts_ok = [], 0, 0, True
        for i in range(len(query_rows)):
            t = time.perf_counter()
            found = search(i, K, flt)
            times.append(time.perf_counter() - t)
            truth = exact(i, mask)
            hits += len(set(found) & set(truth))
            total += len(truth)
            counts_ok &= len(found) == len(truth)
        times.sort()
        return {"median_ms": 1000 * times[len(times) // 2], "recall": hits / total, "counts_ok": counts_ok}

    # On a shared machine the processor time of the build is the steadier
    # figure; both are kept.
    result = {"system": system, "size": size, "build_s": build, "build_cpu_s": build_cpu,
              "memory_per_vector": memory / size}
    result.update(run())
    if system != "hnswlib" and filtered:
        result["filtered"] = {
            str(s): run((name, 1), columns[j] == 1) for j, (s, name) in enumerate(zip(SELECTIVITIES, schema))
        }
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[10_000, 20_000, 50_000])
    parser.add_argument("--systems", nargs="+", default=["tamsel-pruned", "hnswlib"],
                        help="tamsel-pruned, tamsel-described, hnswlib")
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--filtered-sizes", type=int, nargs="*", default=[50_000],
                        help="sizes at which tamsel also answers filtered queries")
    parser.add_argument("--plot", type=Path)
    parser.add_argument("--json", type=Path, default=HERE / "pruned.json")
    parser.add_argument("--child", nargs=3)
    args = parser.parse_args()
    if args.child:
        print(json.dumps(measure(args.child[0], int(args.child[1]), args.queries, args.child[2] == "1")))
        return
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    results = []
    for size in args.sizes:
        for system in args.systems:
            filtered = "1" if size in args.filtered_sizes else "0"
            out = subprocess.run([sys.executable, __file__, "--queries", str(args.queries), "--child", system,
                                  str(size), filtered], env=env, check=True, capture_output=True, text=True).stdout
            r = json.loads(out.strip().splitlines()[-1])
            results.append(r)
            print(f"{system:14s} N={size:6d} build {r['build_s']:7.2f} s (cpu {r['build_cpu_s']:7.2f} s)  recall@10 {r['recall']:.4f}  "
                  f"median {r['median_ms']:.3f} ms  memory {r['memory_per_vector']:.0f} B/vector", flush=True)
            for s, f in r.get("filtered", {}).items():
                print(f"    filter {float(s) * 100:6.2f} %  recall@10 {f['recall']:.4f}  median {f['median_ms']:.3f} ms"
                      f"  counts {'ok' if f['counts_ok'] else 'SHORT'}", flush=True)
    args.json.write_text(json.dumps(results, indent=1))
    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(6, 4))
        for system in args.systems:
            points = [(r["size"], r["build_cpu_s"]) for r in results if r["system"] == system]
            ax.loglog(*zip(*points), marker="o", label=system)
        ax.set_xlabel("vectors (128-d clustered)")
        ax.set_ylabel("build processor time (s), one thread")
        ax.set_title("Build time against N (M=16, ef_construction=200)")
        ax.legend()
        ax.grid(True, which="both", alpha=0.3)
        fig.tight_layout()
        fig.savefig(args.plot, dpi=120)


if __name__ == "__main__":
    main()
