"""Save + load of a PyFlat against numpy.save + numpy.load of the same array.

    python bench/persistence.py                 # 1,000,000 x 64, best of 3
    python bench/persistence.py --rows 100000   # smaller

Each round writes and reads back both files in the same directory (by
default a temporary one beside this script, so on the same disk as a
checkout). tamsel's save writes a new file, syncs it to the disk and renames
it over the old one, which numpy.save does not (it truncates and rewrites
in place), so numpy.save followed by os.fsync, and numpy.save through the
same atomic replacement, are timed as well. Prints the best time of each
and the ratios.
"""

import argparse
import os
import tempfile
import time
from pathlib import Path

import numpy as np

import tamsel


def timed(fn):
    """Wall time, and the process's own processor time (user and system),
    which waiting for a busy machine's processors does not inflate."""
    start, start_cpu = time.perf_counter(), time.process_time()
    result = fn()
    return (time.perf_counter() - start, time.process_time() - start_cpu), result


def numpy_round(path, array, sync, atomic=False):
    def save():
        target = path.with_suffix(".tmp.npy") if atomic else path
        np.save(target, array)
        if sync:
            fd = os.open(target, os.O_RDONLY)
            os.fsync(fd)
            os.close(fd)
        if atomic:
            os.replace(target, path)
            fd = os.open(path.parent, os.O_RDONLY)
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
                              ("numpy atomic", lambda: numpy_round(npy, array, True, atomic=True)),
                              ("tamsel", lambda: tamsel_round(saved, index))):
                (save_time, save_cpu), (load_time, load_cpu) = run()
                previous = best.get(name, (float("inf"),) * 6)
                if save_time + load_time < previous[2]:
                    best[name] = (save_time, load_time, save_time + load_time) + previous[3:]
                if save_cpu + load_cpu < best[name][5]:
                    best[name] = best[name][:3] + (save_cpu, load_cpu, save_cpu + load_cpu)
        size = saved.stat().st_size
    print(f"{args.rows} x {args.dim} float64, {size / 2**20:.0f} MiB; best of {args.rounds}")
    print("  wall time:")
    for name, figures in best.items():
        print(f"    {name:12s} save {figures[0]:7.3f} s   load {figures[1]:7.3f} s   total {figures[2]:7.3f} s")
    print("  processor time of the process (user + system):")
    for name, figures in best.items():
        print(f"    {name:12s} save {figures[3]:7.3f} s   load {figures[4]:7.3f} s   total {figures[5]:7.3f} s")
    for column, label in ((2, "wall"), (5, "processor")):
        tamsel_total = best["tamsel"][column]
        ratios = "   ".join(f"/ {name} {tamsel_total / best[name][column]:.2f}" for name in best if name != "tamsel")
        print(f"  ratio tamsel ({label}) {ratios}   (target <= 1.5 against numpy)")


if __name__ == "__main__":
    main()
