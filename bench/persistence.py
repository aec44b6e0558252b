"""Save + load of a PyFlat against numpy.save + numpy.load of the same array.

    python bench/persistence.py                 # 1,000,000 x 64, best of 3
    python bench/persistence.py --rows 100000   # smaller

Each round writes and reads back both files in the same directory (by
default a temporary one beside this script, so on the same disk as a
checkout). tamsel's save syncs the file to the disk before renaming it into
place, which numpy.save does not, so numpy.save followed by os.fsync is
timed as well. Prints the best time of each and the ratios.
"""

import argparse
import os
import tempfile
import time
from pathlib import Path

import numpy as np

import tamsel


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def numpy_round(path, array, sync):
    def save():
        np.save(path, array)
        if sync:
            fd = os.open(path, os.O_RDONLY)
            os.fsync(fd)
            os.close(fd)

    save_time, _ = timed(save)
    load_time, loaded = timed(lambda: np.load(path))
    assert loaded.shape == array.shape
    return save_time, load_time


def tamsel_round(path, index):
    save_time, _ = timed(lambda: index.save(path))
    load_time, loaded = timed(lambda: tamsel.PyFlat.load(path))
    return save_time, load_time


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir", type=Path, default=Path(__file__).resolve().parent)
    args = parser.parse_args()

    array = np.random.default_rng(1).random((args.rows, args.dim))
    index = tamsel.PyFlat(args.dim)
    index.create(array)
    best = {}
    with tempfile.TemporaryDirectory(dir=args.dir) as directory:
        npy, saved = Path(directory) / "array.npy", Path(directory) / "index.tamsel"
        for _ in range(args.rounds):
            for name, run in (("numpy", lambda: numpy_round(npy, array, False)),
                              ("numpy+fsync", lambda: numpy_round(npy, array, True)),
                              ("tamsel", lambda: tamsel_round(saved, index))):
                save_time, load_time = run()
                previous = best.get(name, (float("inf"),) * 3)
                if save_time + load_time < previous[2]:
                    best[name] = (save_time, load_time, save_time + load_time)
        size = saved.stat().st_size
    print(f"{args.rows} x {args.dim} float64, {size / 2**20:.0f} MiB; best of {args.rounds}")
    for name, (save_time, load_time, total) in best.items():
        print(f"  {name:12s} save {save_time:7.3f} s   load {load_time:7.3f} s   total {total:7.3f} s")
    tamsel_total = best["tamsel"][2]
    print(f"  ratio tamsel / numpy        {tamsel_total / best['numpy'][2]:.2f}  (target <= 1.5)")
    print(f"  ratio tamsel / numpy+fsync  {tamsel_total / best['numpy+fsync'][2]:.2f}")


if __name__ == "__main__":
    main()
