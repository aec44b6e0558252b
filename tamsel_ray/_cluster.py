"""The shards as a group: starting them, calling them all, noticing a loss.

Every call waits for every shard, so a shard that has died is noticed by the
next call, whatever that call is, and from then on every call raises
ShardLostError naming it: the remaining shards never answer alone. A dead
shard is not restarted (a restarted actor would come back empty and answer
wrongly); the index is recovered by loading its last save.
"""

from __future__ import annotations

import threading
from typing import Any

import ray
import ray.exceptions as rex

from tamsel_ray._shard import Shard

# What a call meets when the actor, its worker process or its node is gone.
_LOST = (
    rex.RayActorError,
    rex.WorkerCrashedError,
    rex.LocalRayletDiedError,
    rex.NodeDiedError,
    rex.ObjectLostError,
    rex.OutOfMemoryError,
    rex.ActorUnschedulableError,
)


class ShardLostError(RuntimeError):
    """A shard's actor died (killed, crashed, or its node left the cluster).

    ``shard`` is the shard's number, 0-based. The index cannot answer any
    more; load its last save to recover it.
    """

    __module__ = "tamsel_ray"

    shard: int

    def __init__(self, message: str, shard: int = -1) -> None:
        super().__init__(message)
        self.shard = shard


def ensure_connected() -> None:
    """Joins the cluster this process is connected to, else the one that
    ray.init() finds (RAY_ADDRESS, or a cluster started on this machine with
    `ray start`), else starts a local one."""
    if not ray.is_initialized():
        ray.init()


_DEFAULT_ACTOR_OPTIONS: dict[str, Any] = {
    # Spread the shards over the nodes: each brings its node's memory.
    "scheduling_strategy": "SPREAD",
}


class Shards:
    """The actors of one sharded index, numbered 0 to n - 1."""

    def __init__(self, count: int, kind: str, dim: int, params: dict[str, Any],
                 actor_options: dict[str, Any] | None) -> None:
        ensure_connected()
        options = {**_DEFAULT_ACTOR_OPTIONS, **(actor_options or {})}
        # Never restart or retry: a restarted shard is an empty shard.
        options["max_restarts"] = 0
        options["max_task_retries"] = 0
        remote: Any = ray.remote(Shard)
        remote = remote.options(**options)
        self.actors: list[Any] = [remote.remote(kind, dim, params) for _ in range(count)]
        self.lost: ShardLostError | None = None
        # Serialises the changes made through this handle (ids, sizes).
        self.lock = threading.Lock()

    def __len__(self) -> int:
        return len(self.actors)

    def call(self, method: str, args: list[tuple[Any, ...] | None]) -> list[Any]:
        """Calls `method` on every shard with its own arguments, or `ping` on a
        shard whose entry is None, and returns the results in shard order.

        A lost shard raises ShardLostError (before any other error); otherwise
        the first shard's own exception is raised as the shard raised it.
        """
        if self.lost is not None:
            raise ShardLostError(str(self.lost), self.lost.shard)
        refs = [
            actor.ping.remote() if a is None else getattr(actor, method).remote(*a)
            for actor, a in zip(self.actors, args)
        ]
        try:
            return ray.get(refs)
        except (rex.RayTaskError, *_LOST):
            pass
        # Something failed: look at each shard in turn to say which.
        results: list[Any] = []
        failure: BaseException | None = None
        for number, ref in enumerate(refs):
            try:
                results.append(ray.get(ref))
            except rex.RayTaskError as error:
                results.append(None)
                if failure is None:
                    cause = getattr(error, "cause", None)
                    failure = cause if isinstance(cause, BaseException) else error
            except _LOST as error:
                self.lost = ShardLostError(
                    f"shard {number} of {len(self.actors)} is lost ({type(error).__name__}); "
                    "the index cannot answer without it: load its last save to recover",
                    number,
                )
                raise self.lost from error
        if failure is not None:
            raise failure.with_traceback(None) from None
        return results

    def call_all(self, method: str, *args: Any) -> list[Any]:
        return self.call(method, [args] * len(self.actors))

    def kill(self) -> None:
        for actor in self.actors:
            ray.kill(actor)
