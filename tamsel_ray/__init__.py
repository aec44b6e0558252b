"""tamsel indexes sharded over a Ray cluster.

``ShardedFlat`` and ``ShardedHNSW`` keep their vectors in Ray actors, one
``PyFlat`` or ``PyHNSW`` per shard, and take the arguments and return the
results of the single-machine classes. They use the Ray cluster this process
is connected to; when there is none, the first index calls ``ray.init()``,
which joins the cluster named by ``RAY_ADDRESS`` or started on this machine
with ``ray start``, or else starts a local one.
"""

try:
    import ray  # noqa: F401
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("tamsel_ray needs Ray: pip install 'tamsel[ray]'") from error

from tamsel_ray._cluster import ShardLostError
from tamsel_ray.flat import ShardedFlat
from tamsel_ray.hnsw import ShardedHNSW

__all__ = ["ShardLostError", "ShardedFlat", "ShardedHNSW"]
