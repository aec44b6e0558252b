"""Nearest neighbours of handwritten digits, exact and approximate.

Indexes the 1,797 8x8 digits that ship with scikit-learn in a PyFlat and a
PyHNSW index, holding a tenth of them (chosen at random, fixed seed) out as
queries. Reports recall@k of
PyHNSW against PyFlat, how often the neighbours found carry the query's
label, and build and query times; draws recall and query time against
ef_search, and a few queries beside their nearest neighbours, into a PNG.
"""

import argparse
import statistics
import time
from collections import Counter
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
from sklearn.datasets import load_digits

import tamsel

EF_SEARCH_SWEEP = [1, 2, 4, 8, 16, 32, 64, 128]
DEFAULT_OUT = Path(__file__).resolve().parent / "digits.png"


def timed_searches(search, queries):
    """The results of search(q) for every query, and the median seconds per call."""
    results, seconds = [], []
    for query in queries:
        start = time.perf_counter()
        results.append(search(query))
        seconds.append(time.perf_counter() - start)
    return results, statistics.median(seconds)


def recall(exact, approximate):
    """Share of the exact neighbours' vectors that the approximate results hold."""
    found = sum((Counter(map(tuple, e)) & Counter(map(tuple, a))).total() for e, a in zip(exact, approximate))
    return found / sum(len(e) for e in exact)


def build_hnsw(stored, ef_search=None):
    index = tamsel.PyHNSW(stored.shape[1], ef_search=ef_search, metric="euclidean")
    start = time.perf_counter()
    index.create(stored)
    return index, time.perf_counter() - start


def draw(out, sweep, flat_time, queries, query_labels, hnsw_vectors, hnsw_labels, k, rows):
    figure = plt.figure(figsize=(14, 10), layout="constrained")
    left, right = figure.subfigures(1, 2, width_ratios=[1, 1.1])

    axis = left.subplots()
    efs = [ef for ef, _, _ in sweep]
    axis.plot(efs, [r for _, r, _ in sweep], "o-", color="tab:blue", label="recall@%d (PyHNSW vs PyFlat)" % k)
    axis.set_xscale("log", base=2)
    axis.set_xticks(efs, [str(ef) for ef in efs])
    axis.set_ylim(0, 1.03)
    axis.set_xlabel("ef_search (one index built per value, other parameters default)")
    axis.set_ylabel("recall@%d" % k, color="tab:blue")
    axis.grid(alpha=0.3)
    times = axis.twinx()
    times.plot(efs, [t * 1e6 for _, _, t in sweep], "s--", color="tab:orange", label="median query time")
    times.axhline(flat_time * 1e6, color="tab:green", linestyle=":", label="median query time, PyFlat (exact)")
    times.set_ylabel("median query time (µs)", color="tab:orange")
    times.set_ylim(bottom=0)
    lines = axis.get_lines() + times.get_lines()
    axis.legend(lines, [line.get_label() for line in lines], loc="lower right")
    axis.annotate(f"below ef_search = {k} a search\nreturns at most ef_search results", xy=(efs[1], 0.2),
                  xytext=(efs[0], 0.62), fontsize=9, arrowprops={"arrowstyle": "->", "color": "gray"})
    axis.set_title("Recall and query time against ef_search")

    shown = len(hnsw_vectors[0])
    grid = right.subplots(rows, shown + 1, gridspec_kw={"wspace": 0.08, "hspace": 0.25})
    for row in range(rows):
        cells = grid[row]
        cells[0].imshow(queries[row].reshape(8, 8), cmap="gray_r", vmin=0, vmax=16)
        cells[0].set_title(f"query {query_labels[row]}", fontsize=9, fontweight="bold")
        for column, (vector, label) in enumerate(zip(hnsw_vectors[row], hnsw_labels[row]), start=1):
            cells[column].imshow(np.asarray(vector).reshape(8, 8), cmap="gray_r", vmin=0, vmax=16)
            cells[column].set_title(str(label), fontsize=9, color="black" if label == query_labels[row] else "red")
        for cell in cells:
            cell.set_xticks([])
            cell.set_yticks([])
        for spine in cells[0].spines.values():
            spine.set_linewidth(2)
    right.suptitle(f"Held-out digits (left) and their {shown} nearest neighbours from PyHNSW\n"
                   "above each: its label, red where it differs from the query's")

    figure.savefig(out, dpi=100)
    plt.close(figure)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-k", type=int, default=10, help="neighbours per query (default 10)")
    parser.add_argument("--show", type=int, default=10, help="queries to print and draw, one per label (default 10)")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help=f"the PNG to write (default {DEFAULT_OUT.name} beside this script)")
    args = parser.parse_args()
    k = args.k

    digits = load_digits()
    data = np.ascontiguousarray(digits.data, dtype=np.float64)
    labels = digits.target.tolist()
    order = np.random.default_rng(1797).permutation(len(data))
    query_ids = sorted(order[: len(data) // 10].tolist())
    stored_ids = sorted(order[len(data) // 10 :].tolist())
    stored, queries = data[stored_ids], data[query_ids]
    query_labels = [labels[i] for i in query_ids]
    label_of = {tuple(data[i]): labels[i] for i in stored_ids}

    flat = tamsel.PyFlat(data.shape[1])
    start = time.perf_counter()
    flat.create(stored)
    flat_build = time.perf_counter() - start
    hnsw, hnsw_build = build_hnsw(stored)

    flat_results, flat_query = timed_searches(lambda q: flat.search(q, k), queries)
    hnsw_results, hnsw_query = timed_searches(lambda q: hnsw.search(q, k), queries)
    flat_vectors = [[stored[i] for i, _ in hits] for hits in flat_results]
    hnsw_vectors = [[vector for _, vector in hits] for hits in hnsw_results]
    flat_labels = [[labels[stored_ids[i]] for i, _ in hits] for hits in flat_results]
    hnsw_labels = [[label_of[tuple(vector)] for vector in vectors] for vectors in hnsw_vectors]

    print(f"{len(stored)} digits of {data.shape[1]} pixels stored, {len(queries)} held-out queries, k={k}")
    print()
    # One query of each label, in label order, for the table and the picture.
    shown = sorted({label: row for row, label in reversed(list(enumerate(query_labels)))}.items())
    shown = [row for _, row in shown][: args.show]
    width = max(2 * k, 24)
    print(f"digit  label  {'PyFlat neighbour labels':<{width}}PyHNSW neighbour labels (nearest first)")
    for row in shown:
        print(f"{query_ids[row]:5d}  {query_labels[row]:5d}  {' '.join(map(str, flat_labels[row])):<{width}}"
              f"{' '.join(map(str, hnsw_labels[row]))}")
    print()

    def agreement(found):
        return sum(l == q for ls, q in zip(found, query_labels) for l in ls) / sum(map(len, found))

    def vote(found):
        return sum(Counter(ls).most_common(1)[0][0] == q for ls, q in zip(found, query_labels)) / len(found)

    print(f"recall@{k} of PyHNSW against PyFlat: {recall(flat_vectors, hnsw_vectors):.3f}")
    print(f"{'':18}{'PyFlat':>10}{'PyHNSW':>10}")
    print(f"{'label agreement':18}{agreement(flat_labels):>10.1%}{agreement(hnsw_labels):>10.1%}   neighbours sharing the query's label")
    print(f"{'majority vote':18}{vote(flat_labels):>10.1%}{vote(hnsw_labels):>10.1%}   queries whose neighbours' vote is right")
    print(f"{'build':18}{flat_build * 1e3:>8.1f}ms{hnsw_build * 1e3:>8.1f}ms   {len(stored)} vectors from a numpy array")
    print(f"{'query (median)':18}{flat_query * 1e6:>8.0f}us{hnsw_query * 1e6:>8.0f}us   one query per call")
    print()

    print("ef_search  recall@%d  median query" % k)
    sweep = []
    for ef in EF_SEARCH_SWEEP:
        index, _ = build_hnsw(stored, ef)
        results, seconds = timed_searches(lambda q: index.search(q, k), queries)
        sweep.append((ef, recall(flat_vectors, [[v for _, v in hits] for hits in results]), seconds))
        print(f"{ef:9d}  {sweep[-1][1]:8.3f}  {seconds * 1e6:9.0f}us")

    if shown:
        draw(args.out, sweep, flat_query, [queries[r] for r in shown], [query_labels[r] for r in shown],
             [hnsw_vectors[r][:7] for r in shown], [hnsw_labels[r][:7] for r in shown], k, len(shown))
        print()
        print(f"picture: {args.out}")


if __name__ == "__main__":
    main()
