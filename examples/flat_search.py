"""Exact nearest neighbours with PyFlat.

PyFlat scores the query against every stored vector, so its answers are
exact and repeatable. Results are (id, distance) tuples, ids counting the
vectors in insertion order from 0.
"""

import tamsel

cities = {  # latitude, longitude in degrees
    "Lisbon": [38.72, -9.14],
    "Madrid": [40.42, -3.70],
    "Paris": [48.86, 2.35],
    "Berlin": [52.52, 13.40],
    "Rome": [41.90, 12.50],
}
names = list(cities)

index = tamsel.PyFlat(2)  # Euclidean distance by default
index.create([cities[name] for name in names])  # ids 0..4, in list order
index.insert([59.33, 18.07])  # one more vector: id 5
names.append("Stockholm")

query = [45.76, 4.84]  # somewhere near Lyon
print("nearest:", index.search(query))  # k defaults to 1
for identifier, distance in index.search(query, k=3):
    print(f"  {names[identifier]:<10} {distance:6.2f}")

assert [names[i] for i, _ in index.search(query, k=3)] == ["Paris", "Rome", "Madrid"]
assert len(index.search(query, k=0)) == 1  # k = 0 still returns the best match
assert len(index.search(query, k=1000)) == 6  # never more than are stored

# Similarity metrics rank the smallest value first, which means the LEAST
# similar vectors come first. Negate the query to get the most similar:
# the inner product with -q is exactly the negated inner product with q.
documents = tamsel.PyFlat(3, metric="inner_product")
documents.create([[1.0, 0.0, 0.0], [0.6, 0.8, 0.0], [0.0, 0.0, 1.0], [-1.0, 0.0, 0.0]])
query = [1.0, 0.2, 0.0]
least = documents.search(query, k=2)
most = [(i, -score) for i, score in documents.search([-x for x in query], k=2)]
print("least similar:", least)
print("most similar: ", most)
assert [i for i, _ in least] == [3, 2]
assert [i for i, _ in most] == [0, 1]
