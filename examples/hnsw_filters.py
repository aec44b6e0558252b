"""Approximate search with PyHNSW, metadata and equality filters.

Each vector may carry one value per schema attribute; a search can then be
restricted to the vectors whose value of one attribute equals a given value.
Results are (distance, vector) tuples, the vector an exact copy of the
values inserted, so a dictionary keyed by the vector's tuple maps results
back to your own records.
"""

import tamsel

products = [
    # name, embedding, metadata
    ("red shirt", [0.9, 0.1, 0.0], [("colour", "red"), ("size", 2)]),
    ("red scarf", [0.8, 0.3, 0.1], [("colour", "red"), ("size", 1)]),
    ("blue shirt", [0.9, 0.0, 0.2], [("colour", "blue"), ("size", 2)]),
    ("blue jeans", [0.2, 0.9, 0.1], [("colour", "blue"), ("size", 3)]),
    ("green hat", [0.1, 0.2, 0.9], [("colour", "green"), ("size", 1)]),
]
by_vector = {tuple(vector): name for name, vector, _ in products}

index = tamsel.PyHNSW(3, metric="euclidean", schema=["colour", "size"])
index.create([vector for _, vector, _ in products], [metadata for _, _, metadata in products])

# insert() adds one vector; pairs whose name is not in the schema are ignored.
index.insert([0.85, 0.15, 0.05], [("colour", "red"), ("size", 3), ("note", None)])
by_vector[(0.85, 0.15, 0.05)] = "red sweater"

# A vector inserted without metadata is found by unfiltered searches but
# fails every filter.
index.insert([0.9, 0.12, 0.05])
by_vector[(0.9, 0.12, 0.05)] = "unlabelled shirt"


def show(title: str, results: list[tuple[float, list[float]]]) -> list[str]:
    names = [by_vector[tuple(vector)] for _, vector in results]
    print(f"{title}: {', '.join(names) or '(none)'}")
    return names


query = [0.9, 0.1, 0.05]
everything = show("nearest 3", index.search(query, k=3))
red = show("nearest 3 red", index.search(query, k=3, filter=("colour", "red")))
size_one = show("nearest 3 of size 1", index.search(query, k=3, filter=("size", 1)))
# Values match only within their kind: the integer 1 and the float 1.0 differ.
show("nearest 3 of size 1.0", index.search(query, k=3, filter=("size", 1.0)))
# A filtered search returns only passing vectors, so possibly fewer than k.
purple = show("nearest 3 purple", index.search(query, k=3, filter=("colour", "purple")))

assert everything == ["unlabelled shirt", "red shirt", "red sweater"]
assert red == ["red shirt", "red sweater", "red scarf"]
assert size_one == ["red scarf", "green hat"]
assert purple == []

try:
    index.search(query, filter=("price", 10))
except ValueError as error:
    print("unknown attribute:", error)  # Search error: AttributeNotFound
