"""numpy arrays in, neighbours out.

Both indexes take C-contiguous float64 arrays directly: a two-dimensional
array for create(), a one-dimensional one for insert() and search(). Other
dtypes work too, converted element by element.
"""

import time

import numpy as np

import tamsel

rng = np.random.default_rng(7)
data = rng.normal(size=(2_000, 32))  # float64, C-contiguous
queries = rng.normal(size=(50, 32))

flat = tamsel.PyFlat(32)
start = time.perf_counter()
flat.create(data)
print(f"PyFlat.create from a {data.shape} array: {time.perf_counter() - start:.4f} s")

hnsw = tamsel.PyHNSW(32, metric="euclidean")
start = time.perf_counter()
hnsw.create(data)
print(f"PyHNSW.create from a {data.shape} array: {time.perf_counter() - start:.4f} s")

# Recall@10 of the graph index against the exact one, matching results by
# their vectors (PyHNSW returns vectors, PyFlat ids).
found = 0
for query in queries:
    exact = {tuple(data[i]) for i, _ in flat.search(query, k=10)}
    approximate = {tuple(vector) for _, vector in hnsw.search(query, k=10)}
    found += len(exact & approximate)
recall = found / (10 * len(queries))
print(f"recall@10 of PyHNSW against PyFlat: {recall:.3f}")
assert recall > 0.9

# Most similar by cosine with the graph index: normalise the vectors and use
# the Euclidean distance, which then ranks by cosine, largest first.
unit = data / np.linalg.norm(data, axis=1, keepdims=True)
by_angle = tamsel.PyHNSW(32, metric="euclidean")
by_angle.create(unit)
query = queries[0] / np.linalg.norm(queries[0])
distance, vector = by_angle.search(query)[0]
cosines = unit @ query
print(f"most similar by cosine: {float(np.dot(vector, query)):.4f} (best possible {cosines.max():.4f})")

# Rows and other dtypes work as well.
flat.insert(np.ones(32, dtype=np.float32))
identifier, distance = flat.search(np.ones(32))[0]
assert (identifier, distance) == (len(data), 0.0)
