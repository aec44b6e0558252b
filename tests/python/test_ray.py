"""tamsel_ray on a local Ray cluster: the sharded indexes against one index."""

import math
import time

import pytest

ray = pytest.importorskip("ray")
np = pytest.importorskip("numpy")

import tamsel  # noqa: E402
from tamsel_ray import ShardedFlat, ShardedHNSW, ShardLostError  # noqa: E402

K_MAX = 2**32 - 1

# search_many arrives with the change that releases the interpreter lock;
# until the module has it, the sharded search_many cannot be checked.
HAS_SEARCH_MANY = hasattr(tamsel.PyFlat, "search_many")


@pytest.fixture(scope="module", autouse=True)
def cluster():
    # One cluster for the module: Ray takes seconds to start.
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


def outcome(call, index):
    try:
        return ("returned", repr(call(index)))
    except Exception as error:
        return (type(error), str(error))


def flat_data(rng, n, dim):
    """Vectors with exact ties (repeated rows, rows differing only in the
    sign of a zero), a zero row (NaN under the cosine) and a NaN row."""
    data = rng.integers(-3, 4, size=(n, dim)).astype(np.float64)
    data[5] = data[3]
    data[9] = 0.0
    data[10] = -data[9]
    data[12, 0] = np.nan
    return data


# Three shards once, so that a batch splits unevenly; each shard count costs
# Ray a worker process per shard.
@pytest.mark.parametrize(("metric", "shards"), [(None, 3), ("cosine", 2), ("inner_product", 2)])
def test_flat_answers_as_one_pyflat(metric, shards):
    rng = np.random.default_rng(7)
    dim = 4
    data = flat_data(rng, 120, dim)
    single = tamsel.PyFlat(dim, metric)
    sharded = ShardedFlat(dim, metric, shards=shards)
    queries = [data[3], data[12], [0.0, -0.0, 0.0, 0.0], [1, 2, -3, 0], rng.normal(size=dim)]
    ks = [None, 0, 1, 2, 7, 119, 120, 121, K_MAX, True, False, np.int64(3)]

    def same():
        for q in queries:
            for k in ks:
                assert outcome(lambda i: i.search(q, k), sharded) == outcome(lambda i: i.search(q, k), single), (q, k)

    same()  # empty: the single index's error
    # Every way in, so that the shards fill unevenly and some stay empty a while.
    for index in (single, sharded):
        index.insert(data[0].tolist())
    same()
    for index in (single, sharded):
        index.create(data[1:50])
        index.insert(data[50])
        index.create([list(map(float, row)) for row in data[51:52]])
        index.create(data[52:].tolist())
    assert sum(sharded.shard_sizes) == len(data) and min(sharded.shard_sizes) > 0
    same()
    for k in (None, 0, 5, K_MAX) if HAS_SEARCH_MANY else ():
        for batch in (np.array(queries, dtype=np.float64), [list(q) for q in queries], []):
            assert repr(sharded.search_many(batch, k)) == repr(single.search_many(batch, k))


BAD_FLAT_CALLS = [
    lambda i: i.insert("abc"),
    lambda i: i.insert([1.0, "x", 2.0]),
    lambda i: i.insert([1.0, 2.0]),
    lambda i: i.insert({1: 2.0}),
    lambda i: i.create([]),
    lambda i: i.create([[1, 2, 3], [1, 2]]),
    lambda i: i.create([[1, 2, 3], "abc"]),
    lambda i: i.create(np.zeros((2, 4))),
    lambda i: i.search([1.0, 2.0]),
    lambda i: i.search("abc", k=-1),
    lambda i: i.search([1, 2, 3], k=-1),
    lambda i: i.search([1, 2, 3], k=2**32),
    lambda i: i.search([1, 2, 3], k="2"),
    lambda i: i.search([1, 2, 3], k=2.0),
]
BAD_FLAT_BATCHES = [
    lambda i: i.search_many([[1, 2, 3], [1, 2]]),
    lambda i: i.search_many("abc"),
    lambda i: i.search_many([[1, 2, 3]], k=-1),
]


def test_flat_bad_input_raises_as_pyflat_and_changes_nothing():
    for make in (lambda cls: cls(-1), lambda cls: cls(2.0), lambda cls: cls(3, 5)):
        assert outcome(make, ShardedFlat) == outcome(make, tamsel.PyFlat)
    single = tamsel.PyFlat(3)
    sharded = ShardedFlat(3)
    assert outcome(lambda i: i.search([0, 0, 0]), sharded) == outcome(lambda i: i.search([0, 0, 0]), single)
    data = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.5, 0.5, 0.0]]
    for index in (single, sharded):
        index.create(data)
    for call in BAD_FLAT_CALLS + (BAD_FLAT_BATCHES if HAS_SEARCH_MANY else []):
        expected = outcome(call, single)
        assert expected[0] != "returned"
        assert outcome(call, sharded) == expected
    assert sharded.shard_sizes == [2, 1]
    assert sharded.search([0.9, 0.1, 0.2], k=10) == single.search([0.9, 0.1, 0.2], k=10)


@pytest.fixture(scope="module")
def graph():
    """A sharded graph of clustered vectors with one metadata attribute, and
    the data it holds."""
    rng = np.random.default_rng(3)
    centres = rng.normal(size=(30, 16))
    data = centres[rng.integers(0, 30, size=4000)] + 0.3 * rng.normal(size=(4000, 16))
    labels = [i % 5 for i in range(len(data))]
    index = ShardedHNSW(16, shards=2, metric="euclidean", schema=["label"])
    index.create(data[:3000], [[("label", v)] for v in labels[:3000]])
    for row, label in zip(data[3000:3100], labels[3000:3100]):
        index.insert(row, [("label", label)])
    index.create(data[3100:], [[("label", v)] for v in labels[3100:]])
    return index, data, labels


def test_hnsw_recall_and_filters(graph):
    index, data, labels = graph
    assert index.shard_sizes == [2000, 2000]
    label_of = {tuple(row): label for row, label in zip(data.tolist(), labels)}
    exact = tamsel.PyFlat(16)
    exact.create(data)
    queries = np.random.default_rng(4).normal(size=(100, 16))
    found = total = 0
    for q in queries:
        truth = {tuple(data[i]) for i, _ in exact.search(q, 10)}
        results = index.search(q, 10)
        distances = [d for d, _ in results]
        assert len(results) == 10 and distances == sorted(distances)
        found += len(truth & {tuple(v) for _, v in results})
        total += len(truth)
    assert found / total >= 0.99

    found = total = 0
    for q in queries[:30]:
        results = index.search(q, 10, ("label", 2))
        assert all(label_of[tuple(v)] == 2 for _, v in results)
        ranked = sorted((math.dist(q, row), tuple(row)) for row, label in zip(data.tolist(), labels) if label == 2)
        found += len({v for _, v in ranked[:10]} & {tuple(v) for _, v in results})
        total += 10
    assert found / total >= 0.95
    assert index.search(queries[0], 10, ("label", 7)) == []
    batch = queries[:20]
    for k, filter in ((None, None), (0, None), (10, ("label", 3)), (K_MAX, ("label", 1))) if HAS_SEARCH_MANY else ():
        assert index.search_many(batch, k, filter) == [index.search(q, k, filter) for q in batch]
    # Never more than ef_search results, however many shards answer.
    assert len(index.search(queries[0], K_MAX)) == 50


BAD_HNSW_CALLS = [
    lambda i: i.insert([1.0, 2.0]),
    lambda i: i.insert([1.0, 2.0, 3.0], metadata="label"),
    lambda i: i.insert([1.0, 2.0, 3.0], metadata=[("size", 1)]),
    lambda i: i.insert([1.0, 2.0, 3.0], metadata=[("label", None)]),
    lambda i: i.insert([1.0, 2.0, 3.0], metadata=[["label", 1]]),
    lambda i: i.create([]),
    lambda i: i.create([[1, 2, 3], [1, 2, 3]], metadata=[[("label", 1)]]),
    lambda i: i.create([[1, 2, 3], [1, 2, 3]], metadata=[[("label", 1)], [("label", [])]]),
    lambda i: i.create([[1, 2, 3], [1, 2]]),
    lambda i: i.search([1, 2, 3], k=-1),
    lambda i: i.search([1, 2, 3], filter=("label", None)),
    lambda i: i.search([1, 2, 3], filter=["label", 1]),
    lambda i: i.search([1, 2, 3], filter=("size", 1)),
]
BAD_HNSW_BATCHES = [lambda i: i.search_many([[1, 2, 3]], filter=("label", None))]


def test_hnsw_bad_input_raises_as_pyhnsw_and_changes_nothing():
    for make in (lambda cls: cls(3), lambda cls: cls(3, metric="cosine"), lambda cls: cls(3, metric="euclidean", m=-1)):
        assert outcome(make, ShardedHNSW) == outcome(make, tamsel.PyHNSW)
    single = tamsel.PyHNSW(3, metric="euclidean", schema=["label"])
    sharded = ShardedHNSW(3, metric="euclidean", schema=["label"])
    for index in (single, sharded):
        index.create([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]], [[("label", i)] for i in range(3)])
    for call in BAD_HNSW_CALLS + (BAD_HNSW_BATCHES if HAS_SEARCH_MANY else []):
        expected = outcome(call, single)
        assert expected[0] != "returned"
        assert outcome(call, sharded) == expected
    assert sharded.shard_sizes == [2, 1]
    assert sharded.search([0.9, 0.1, 0.2], k=10) == single.search([0.9, 0.1, 0.2], k=10)


def test_flat_lost_shard_raises_and_the_last_save_recovers(tmp_path):
    rng = np.random.default_rng(11)
    data = flat_data(rng, 200, 3)
    single = tamsel.PyFlat(3, "cosine")
    sharded = ShardedFlat(3, "cosine", shards=2)
    for index in (single, sharded):
        index.create(data[:150])
    sharded.save(tmp_path / "saved")
    sharded.insert(data[150])  # not in the save
    victim = sharded.actors[1]
    ray.kill(victim)
    # The kill takes effect asynchronously: until then the shard answers whole.
    with pytest.raises(ray.exceptions.RayActorError):
        for _ in range(300):
            ray.get(victim.ping.remote())
            time.sleep(0.1)
    calls = [
        lambda: sharded.search(data[0], 5),
        *([lambda: sharded.search_many(data[:3], 5)] if HAS_SEARCH_MANY else []),
        lambda: sharded.insert(data[151]),
        lambda: sharded.create(data[151:]),
        lambda: sharded.save(tmp_path / "other"),
    ]
    for call in calls:
        with pytest.raises(ShardLostError, match="shard 1 of 2") as caught:
            call()
        assert caught.value.shard == 1

    restored = ShardedFlat.load(tmp_path / "saved")
    assert restored.shard_sizes == [75, 75]
    for index in (single, restored):
        index.insert(data[150])
        index.create(data[151:])
    for q in data[:20]:
        for k in (1, 7, 200):
            assert repr(restored.search(q, k)) == repr(single.search(q, k))
    with pytest.raises(ValueError, match="holds a ShardedFlat, not a ShardedHNSW"):
        ShardedHNSW.load(tmp_path / "saved")
    # A second save replaces the first one's files.
    restored.save(tmp_path / "saved")
    assert len(list((tmp_path / "saved").iterdir())) == 1 + 2 * 2


def test_hnsw_save_and_load(graph, tmp_path):
    index, data, _ = graph
    index.save(tmp_path)
    restored = ShardedHNSW.load(tmp_path)
    assert restored.shard_sizes == index.shard_sizes
    for q in data[:20] + 0.01:
        for filter in (None, ("label", 4)):
            assert restored.search(q, 10, filter) == index.search(q, 10, filter)
