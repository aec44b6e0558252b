"""How tamsel shares the machine: batch and threaded searches, the pace of
pure-Python threads during a long call, and how fast Ctrl-C is honoured.

    python bench/threads.py            # the sizes the targets name
    python bench/threads.py --quick    # small sizes: checks that it all runs
    python bench/threads.py --batch    # only search_many, against the loop and faiss

Prints one line per figure, with its target. Figures depend on the load of
the machine; on a shared one, run it a few times.
"""

import argparse
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np

import tamsel


def best_of(runs, call):
    """The best wall time of `runs` calls, and the process's CPU time over
    wall time in that run: how many cores it kept busy."""
    best, cores = float("inf"), 0.0
    for _ in range(runs):
        start, cpu = time.perf_counter(), time.process_time()
        call()
        wall = time.perf_counter() - start
        if wall < best:
            best, cores = wall, (time.process_time() - cpu) / wall
    return best, cores


def search_many_vs_loop(rows, dim, queries, runs):
    rng = np.random.default_rng(0)
    flat = tamsel.PyFlat(dim)
    flat.create(rng.standard_normal((rows, dim)))
    q = rng.standard_normal((queries, dim))
    loop, loop_cores = best_of(runs, lambda: [flat.search(row, 10) for row in q])
    batch, batch_cores = best_of(runs, lambda: flat.search_many(q, 10))
    print(f"PyFlat {rows:,} x {dim}, {queries:,} queries, k=10: loop of search {loop:.2f} s "
          f"({loop_cores:.2f} cores busy), search_many {batch:.2f} s ({batch_cores:.2f} cores busy): "
          f"{loop / batch:.2f}x (target >= 3x)")


def search_many_vs_faiss(rows, dim, queries, runs):
    """search_many against faiss's exact batch search (float32) of the same
    queries on as many threads as tamsel uses: every core it may run on."""
    try:
        import faiss
    except ImportError:
        print("search_many vs faiss: faiss is not installed, skipped")
        return
    threads = len(os.sched_getaffinity(0))
    rng = np.random.default_rng(0)
    data = rng.standard_normal((rows, dim))
    q = rng.standard_normal((queries, dim))
    flat = tamsel.PyFlat(dim)
    flat.create(data)
    peer = faiss.IndexFlatL2(dim)
    peer.add(data.astype(np.float32))
    q32 = q.astype(np.float32)
    for count in sorted({1, threads}):
        faiss.omp_set_num_threads(count)
        theirs, theirs_cores = best_of(runs, lambda: peer.search(q32, 10))
        print(f"faiss IndexFlatL2 batch, {count} thread{'s' if count > 1 else ''}: {theirs:.3f} s "
              f"({theirs_cores:.2f} cores busy)")
    ours, ours_cores = best_of(runs, lambda: flat.search_many(q, 10))
    print(f"PyFlat {rows:,} x {dim}, {queries:,} queries, k=10: search_many {ours:.3f} s "
          f"({ours_cores:.2f} cores busy), faiss on {threads} threads {theirs:.3f} s: "
          f"{ours / theirs:.2f}x (target <= 1.5x)")


def two_threads_vs_one(rows, dim, queries, runs):
    rng = np.random.default_rng(1)
    flat = tamsel.PyFlat(dim)
    flat.create(rng.standard_normal((rows, dim)))
    q = [row.tolist() for row in rng.standard_normal((queries, dim))]

    def searches(part):
        for row in part:
            flat.search(row, 10)

    def threaded(count):
        parts = [q[i::count] for i in range(count)]
        workers = [threading.Thread(target=searches, args=(part,)) for part in parts]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    one, one_cores = best_of(runs, lambda: threaded(1))
    two, two_cores = best_of(runs, lambda: threaded(2))
    print(f"PyFlat {rows:,} x {dim}, {queries} searches: one thread {one:.2f} s ({one_cores:.2f} cores busy), "
          f"two threads {two:.2f} s ({two_cores:.2f} cores busy): {one / two:.2f}x (target >= 1.7x)")


def python_pace_during_create(rows, dim):
    data = np.random.default_rng(2).standard_normal((rows, dim))
    counts, stop = [], threading.Event()

    def count_for(seconds):
        n, end = 0, time.perf_counter() + seconds
        while time.perf_counter() < end:
            n += 1
        return n

    base = count_for(1.0)  # alone
    def probe():
        while not stop.is_set():
            counts.append(count_for(0.1))

    index = tamsel.PyHNSW(dim, metric="euclidean")
    thread = threading.Thread(target=probe)
    thread.start()
    start = time.perf_counter()
    index.create(data)
    took = time.perf_counter() - start
    stop.set()
    thread.join()
    pace = sum(counts) / (0.1 * len(counts)) / base if counts else 0.0
    print(f"PyHNSW.create of {rows:,} x {dim} ({took:.1f} s): a pure-Python thread keeps {100 * pace:.0f} % "
          f"of its pace (target >= 50 %)")


CHILD = """
import signal, sys, time, numpy as np, tamsel
signal.signal(signal.SIGINT, signal.default_int_handler)  # a background parent may have ignored it
data = np.random.default_rng(3).standard_normal((ROWS, 64))
index = tamsel.PyHNSW(64, metric="euclidean")
print("ready", flush=True)
try:
    index.create(data)
except KeyboardInterrupt:
    print(time.time(), flush=True)
"""


def ctrl_c_latency(rows, runs):
    latencies = []
    for _ in range(runs):
        child = subprocess.Popen([sys.executable, "-c", CHILD.replace("ROWS", str(rows))], stdout=subprocess.PIPE,
                                 text=True, env=dict(os.environ, PYTHONPATH=os.path.dirname(tamsel.__file__)))
        child.stdout.readline()
        time.sleep(1.0)
        sent = time.time()
        os.kill(child.pid, signal.SIGINT)
        caught = float(child.stdout.readline())
        child.wait()
        latencies.append(caught - sent)
    print(f"Ctrl-C during PyHNSW.create of {rows:,} x 64: KeyboardInterrupt after "
          f"{1000 * min(latencies):.0f}-{1000 * max(latencies):.0f} ms over {runs} runs (target <= 200 ms)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--batch", action="store_true")
    args = parser.parse_args()
    quick = args.quick
    print(f"tamsel {tamsel.__file__}; {len(os.sched_getaffinity(0))} usable cores; "
          f"load average {os.getloadavg()[0]:.1f}")
    if args.batch:
        search_many_vs_loop(100_000, 128, 1_000, 2)
        search_many_vs_faiss(100_000, 128, 1_000, 3)
    elif quick:
        search_many_vs_loop(5_000, 32, 100, 1)
        search_many_vs_faiss(5_000, 32, 100, 1)
        two_threads_vs_one(5_000, 32, 100, 1)
        python_pace_during_create(1_000, 32)
        ctrl_c_latency(20_000, 1)
    else:
        search_many_vs_loop(100_000, 128, 1_000, 2)
        search_many_vs_faiss(100_000, 128, 1_000, 3)
        two_threads_vs_one(100_000, 128, 300, 2)
        python_pace_during_create(8_000, 128)
        ctrl_c_latency(20_000, 5)


if __name__ == "__main__":
    main()
