"""Nearest neighbours of handwritten digits.

Indexes the 1,797 8x8 digits that ship with scikit-learn in a tamsel PyFlat
index, holding every tenth digit out as a query, and reports how often the
neighbours found carry the query's label.
"""

import argparse
import time
from collections import Counter

from sklearn.datasets import load_digits

import tamsel


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-k", type=int, default=5, help="neighbours per query (default 5)")
    parser.add_argument("--show", type=int, default=10, help="queries to print (default 10)")
    args = parser.parse_args()

    digits = load_digits()
    vectors = digits.data.tolist()
    labels = digits.target.tolist()
    held_out = set(range(0, len(vectors), 10))
    stored = [i for i in range(len(vectors)) if i not in held_out]
    queries = sorted(held_out)

    start = time.perf_counter()
    index = tamsel.PyFlat(len(vectors[0]))
    index.create([vectors[i] for i in stored])
    build_seconds = time.perf_counter() - start

    start = time.perf_counter()
    results = [index.search(vectors[q], k=args.k) for q in queries]
    query_seconds = time.perf_counter() - start

    print(f"PyFlat over {len(stored)} digits of {len(vectors[0])} pixels, {len(queries)} held-out queries, k={args.k}")
    print()
    print("query  label  neighbour labels (nearest first)")
    agreeing = 0
    voted_right = 0
    for query, hits in zip(queries, results):
        neighbour_labels = [labels[stored[identifier]] for identifier, _ in hits]
        agreeing += sum(label == labels[query] for label in neighbour_labels)
        vote = Counter(neighbour_labels).most_common(1)[0][0]
        voted_right += vote == labels[query]
        if query // 10 < args.show:
            print(f"{query:5d}  {labels[query]:5d}  {' '.join(map(str, neighbour_labels))}")
    print()
    print(f"label agreement: {agreeing / (len(queries) * args.k):.1%} of neighbours share the query's label")
    print(f"majority vote:   {voted_right / len(queries):.1%} of queries get their label right")
    print(f"build:  {build_seconds * 1e3:.1f} ms for {len(stored)} vectors")
    print(f"search: {query_seconds * 1e3:.1f} ms for {len(queries)} queries "
          f"({query_seconds / len(queries) * 1e6:.0f} us each)")


if __name__ == "__main__":
    main()
