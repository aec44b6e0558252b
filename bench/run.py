"""Benchmark tamsel against its peers on the same data, one thread each.

Every (system, dataset) pair runs in its own process, so that memory is
measured from a clean start and no library's threads or caches leak into
another's figures. Results go to bench/results.md and bench/results.png
(or to --out), with the machine they came from.

    python bench/run.py            # the full run
    python bench/run.py --quick    # small data, few queries: checks that it all still runs
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

THREAD_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMEXPR_NUM_THREADS")
K = 10

# name: (kind, size, dim, flat systems only)
DATASETS = {
    "digits": ("digits", 1797, 64, False),
    "clustered-10k": ("clustered", 10_000, 128, False),
    "uniform-10k": ("uniform", 10_000, 32, False),
    "clustered-100k": ("clustered", 100_000, 128, True),
}
QUICK_DATASETS = {
    "digits": ("digits", 1797, 64, False),
    "clustered-2k": ("clustered", 2_000, 32, False),
    "clustered-5k-flat": ("clustered", 5_000, 32, True),
}
GRAPH_SYSTEMS = ["tamsel-hnsw", "hnswlib", "faiss-hnsw", "usearch-f64"]
FLAT_SYSTEMS = ["tamsel-flat", "faiss-flat", "numpy", "sklearn"]


# ------------------------------------------------------------------ data

def make_data(kind, size, dim, queries):
    """(vectors, queries) as float64 arrays, the same for every system."""
    import numpy as np

    rng = np.random.default_rng(20261208)
    if kind == "digits":
        from sklearn.datasets import load_digits

        data = load_digits().data.astype(np.float64)
        order = rng.permutation(len(data))
        held_out = min(queries, 200)
        return data[order[held_out:]], data[order[:held_out]]
    if kind == "uniform":
        return rng.random((size, dim)), rng.random((queries, dim))
    # Overlapping Gaussian clusters: centres and spread of the same scale,
    # so that neighbours cross cluster borders and recall tells systems apart.
    centres = rng.normal(0.0, 1.0, (32, dim))
    def draw(count):
        return centres[rng.integers(0, len(centres), count)] + rng.normal(0.0, 0.8, (count, dim))
    return draw(size), draw(queries)


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ------------------------------------------------------------------ systems

class System:
    """Builds an index and answers one query at a time. The answer is
    whatever the library returns; ids() turns it into identifiers outside
    the timed call."""

    takes_lists = False

    def build(self, vectors):
        raise NotImplementedError

    def query(self, vector):
        raise NotImplementedError

    def ids(self, answer):
        return [int(i) for i in answer]


class TamselHNSW(System):
    takes_lists = True

    def build(self, vectors):
        import tamsel

        self.index = tamsel.PyHNSW(vectors.shape[1] if hasattr(vectors, "shape") else len(vectors[0]), metric="euclidean")
        self.index.create(vectors)
        self.rows = vectors
        self.id_of = None

    def query(self, vector):
        return self.index.search(vector, K)

    def ids(self, answer):
        # Results carry vectors, not identifiers: map them back, with a table
        # made outside the timed build and its memory figure.
        if self.id_of is None:
            rows = self.rows.tolist() if hasattr(self.rows, "tolist") else self.rows
            self.id_of = {tuple(row): i for i, row in enumerate(rows)}
        return [self.id_of[tuple(found)] for _, found in answer]


class TamselFlat(System):
    takes_lists = True

    def build(self, vectors):
        import tamsel

        self.index = tamsel.PyFlat(vectors.shape[1] if hasattr(vectors, "shape") else len(vectors[0]))
        self.index.create(vectors)

    def query(self, vector):
        return self.index.search(vector, K)

    def ids(self, answer):
        return [identifier for identifier, _ in answer]


class Hnswlib(System):
    def build(self, vectors):
        import hnswlib
        import numpy as np

        self.index = hnswlib.Index(space="l2", dim=vectors.shape[1])
        self.index.init_index(max_elements=len(vectors), M=16, ef_construction=200, random_seed=1)
        self.index.set_num_threads(1)
        self.index.add_items(vectors.astype(np.float32), num_threads=1)
        self.index.set_ef(50)

    def query(self, vector):
        return self.index.knn_query(vector[None, :].astype("float32"), k=K, num_threads=1)[0][0]


class FaissFlat(System):
    def build(self, vectors):
        import faiss

        faiss.omp_set_num_threads(1)
        self.index = faiss.IndexFlatL2(vectors.shape[1])
        self.index.add(vectors.astype("float32"))

    def query(self, vector):
        return self.index.search(vector[None, :].astype("float32"), K)[1][0]


class FaissHNSW(System):
    def build(self, vectors):
        import faiss

        faiss.omp_set_num_threads(1)
        self.index = faiss.IndexHNSWFlat(vectors.shape[1], 16)
        self.index.hnsw.efConstruction = 200
        self.index.hnsw.efSearch = 50
        self.index.add(vectors.astype("float32"))

    def query(self, vector):
        return self.index.search(vector[None, :].astype("float32"), K)[1][0]


class UsearchF64(System):
    def build(self, vectors):
        from usearch.index import Index

        self.index = Index(ndim=vectors.shape[1], metric="l2sq", dtype="f64", connectivity=16,
                           expansion_add=200, expansion_search=50)
        self.index.add(None, vectors, threads=1)

    def query(self, vector):
        return self.index.search(vector, K, threads=1).keys


class NumpyBrute(System):
    def build(self, vectors):
        self.vectors = vectors.copy()

    def query(self, vector):
        import numpy as np

        distances = ((self.vectors - vector) ** 2).sum(axis=1)
        nearest = np.argpartition(distances, K)[:K]
        return nearest[np.argsort(distances[nearest], kind="stable")]


class SklearnBrute(System):
    def build(self, vectors):
        from sklearn.neighbors import NearestNeighbors

        self.model = NearestNeighbors(n_neighbors=K, algorithm="brute", n_jobs=1).fit(vectors)

    def query(self, vector):
        return self.model.kneighbors(vector[None, :], return_distance=False)[0]


SYSTEMS = {
    "tamsel-hnsw": TamselHNSW,
    "tamsel-flat": TamselFlat,
    "hnswlib": Hnswlib,
    "faiss-flat": FaissFlat,
    "faiss-hnsw": FaissHNSW,
    "usearch-f64": UsearchF64,
    "numpy": NumpyBrute,
    "sklearn": SklearnBrute,
}


# ------------------------------------------------------------------ one measurement

def exact_neighbours(vectors, queries):
    import numpy as np

    answers = []
    for query in queries:
        distances = np.sqrt(((vectors - query) ** 2).sum(axis=1))
        answers.append(set(np.argsort(distances, kind="stable")[:K].tolist()))
    return answers


def measure(system_name, dataset_name, datasets, query_count):
    import numpy as np

    kind, size, dim, _ = datasets[dataset_name]
    vectors, queries = make_data(kind, size, dim, query_count)
    result = {"system": system_name, "dataset": dataset_name, "size": len(vectors), "dim": vectors.shape[1]}
    # The build from arrays comes first, so that its memory is measured
    # before any other build has grown and freed the heap.
    system = SYSTEMS[system_name]()
    before = rss_bytes()
    started = time.perf_counter()
    system.build(vectors)
    result["build_array_s"] = time.perf_counter() - started
    result["memory_mb"] = (rss_bytes() - before) / 2**20
    if system.takes_lists:
        rows = vectors.tolist()
        from_lists = SYSTEMS[system_name]()
        started = time.perf_counter()
        from_lists.build(rows)
        result["build_lists_s"] = time.perf_counter() - started
        del from_lists

    query_rows = queries.tolist() if system.takes_lists else list(queries)
    for query in query_rows[:5]:  # warm up
        system.query(query)
    latencies, answers = [], []
    for query in query_rows:
        started = time.perf_counter()
        found = system.query(query)
        latencies.append(time.perf_counter() - started)
        answers.append(system.ids(found))
    truth = exact_neighbours(vectors, queries)
    result["recall"] = float(np.mean([len(set(map(int, a)) & t) / K for a, t in zip(answers, truth)]))
    result["median_ms"] = float(np.median(latencies) * 1e3)
    result["p95_ms"] = float(np.percentile(latencies, 95) * 1e3)
    return result


# ------------------------------------------------------------------ report

def machine():
    model = "unknown processor"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores, Python {platform.python_version()}, {platform.system()} {platform.release()}"


def write_report(results, out, quick):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    out.mkdir(parents=True, exist_ok=True)
    lines = [
        "# Benchmark results" + (" (quick mode)" if quick else ""),
        "",
        f"Machine: {machine()}. One thread everywhere; k = {K}; one query per call.",
        "Builds are timed from nested lists (tamsel only) and from float64 numpy arrays; the peers",
        "that index float32 convert inside their build. Memory is the growth of the process's",
        "resident set across the build from arrays. Recall@10 is against exact float64 neighbours.",
        "",
        "| dataset | system | build from lists (s) | build from array (s) | query median (ms) | query p95 (ms) | recall@10 | memory (MB) |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for r in results:
        lists = f"{r['build_lists_s']:.3f}" if "build_lists_s" in r else "-"
        lines.append(
            f"| {r['dataset']} ({r['size']}×{r['dim']}) | {r['system']} | {lists} | {r['build_array_s']:.3f} | "
            f"{r['median_ms']:.3f} | {r['p95_ms']:.3f} | {r['recall']:.3f} | {r['memory_mb']:.1f} |"
        )
    (out / "results.md").write_text("\n".join(lines) + "\n")

    datasets = list(dict.fromkeys(r["dataset"] for r in results))
    figure, axes = plt.subplots(1, 2, figsize=(14, 5))
    for axis, key, title in ((axes[0], "median_ms", "query latency, median (ms, log)"),
                             (axes[1], "build_array_s", "build from array (s, log)")):
        systems = list(dict.fromkeys(r["system"] for r in results))
        width = 0.8 / len(systems)
        for i, system in enumerate(systems):
            values = [next((r[key] for r in results if r["system"] == system and r["dataset"] == d), 0) for d in datasets]
            axis.bar([j + i * width for j in range(len(datasets))], values, width, label=system)
        axis.set_xticks([j + 0.4 - width / 2 for j in range(len(datasets))], datasets)
        axis.set_yscale("log")
        axis.set_title(title)
    axes[0].legend(fontsize=8)
    figure.suptitle(f"tamsel and peers, one thread: {machine()}", fontsize=9)
    figure.tight_layout()
    figure.savefig(out / "results.png", dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small data and few queries")
    parser.add_argument("--out", type=Path, default=Path(__file__).resolve().parent, help="where to write the report")
    parser.add_argument("--worker", nargs=2, metavar=("SYSTEM", "DATASET"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    datasets = QUICK_DATASETS if args.quick else DATASETS
    query_count = 30 if args.quick else 300

    if args.worker:
        print(json.dumps(measure(args.worker[0], args.worker[1], datasets, query_count)))
        return

    env = dict(os.environ, **{name: "1" for name in THREAD_VARIABLES})
    results = []
    for dataset, (_, _, _, flat_only) in datasets.items():
        for system in (FLAT_SYSTEMS if flat_only else GRAPH_SYSTEMS + FLAT_SYSTEMS):
            command = [sys.executable, __file__, "--worker", system, dataset] + (["--quick"] if args.quick else [])
            finished = subprocess.run(command, env=env, capture_output=True, text=True)
            if finished.returncode != 0:
                raise SystemExit(f"{system} on {dataset} failed:\n{finished.stderr}")
            result = json.loads(finished.stdout.strip().splitlines()[-1])
            results.append(result)
            print(f"{dataset:16} {system:12} build {result['build_array_s']:8.3f}s  "
                  f"query {result['median_ms']:7.3f}ms  recall {result['recall']:.3f}", flush=True)
    write_report(results, args.out, args.quick)
    print(f"wrote {args.out / 'results.md'} and {args.out / 'results.png'}")


if __name__ == "__main__":
    main()
