"""Sampling throughput: velmora's fixed-budget estimator against a pure-Python version of the
same estimator, the batched path against the single path, and seeded parallel sampling with a
value function that releases the interpreter lock.

Run: .venv/bin/python bench/bench_sampling.py   (a few seconds per section)
"""

import itertools
import math
import os
import random
import time

# One BLAS thread per caller: the parallel section measures velmora's workers, not BLAS's.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velmora  # noqa: E402


def random_dag(n, parents=2, seed=0):
    """Each node j > 0 gets up to `parents` random parents among the earlier nodes."""
    rnd = random.Random(seed)
    names = [f"x{i}" for i in range(n)]
    edges = set()
    for j in range(1, n):
        for i in rnd.sample(range(j), min(parents, j)):
            edges.add((i, j))
    dag = velmora.CausalDAG()
    for i, j in sorted(edges):  # every node has an edge, so every node appears
        dag.add_edge(names[i], names[j])
    return names, sorted(edges), dag


def python_asv(names, edges, value_fn, n_samples, seed):
    """The estimator as a user would write it: random topological sort with its importance
    weight, a dict cache keyed by frozenset, self-normalised weighted averages."""
    rnd = random.Random(seed)
    n = len(names)
    children = [[] for _ in range(n)]
    indeg0 = [0] * n
    for i, j in edges:
        children[i].append(j)
        indeg0[j] += 1
    cache = {}

    def value(coalition):
        key = frozenset(coalition)
        if key not in cache:
            cache[key] = value_fn([names[i] for i in sorted(coalition)])
        return cache[key]

    sums = [0.0] * n
    logs = []
    contribs = []
    for _ in range(n_samples):
        indeg = indeg0[:]
        ready = [v for v in range(n) if indeg[v] == 0]
        order = []
        log_w = 0.0
        while ready:
            log_w += math.log(len(ready))
            k = rnd.randrange(len(ready))
            v = ready[k]
            ready[k] = ready[-1]
            ready.pop()
            order.append(v)
            for c in children[v]:
                indeg[c] -= 1
                if indeg[c] == 0:
                    ready.append(c)
        prefix = []
        prev = value(prefix)
        deltas = []
        for v in order:
            prefix.append(v)
            cur = value(prefix)
            deltas.append((v, cur - prev))
            prev = cur
        logs.append(log_w)
        contribs.append(deltas)
    shift = max(logs)
    total_w = 0.0
    for log_w, deltas in zip(logs, contribs):
        w = math.exp(log_w - shift)
        total_w += w
        for v, d in deltas:
            sums[v] += w * d
    return {names[v]: sums[v] / total_w for v in range(n)}


def timed(fn, repeat=3):
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def section_baseline():
    print("trivial value function (len of the coalition), seeded, sequential")
    print(f"{'nodes':>5} {'python ord/s':>14} {'velmora ord/s':>14} {'speed-up':>9}")
    for n in (20, 40, 60):
        names, edges, dag = random_dag(n)
        explainer = velmora.ASVExplainer(dag)
        trivial = len
        n_py, n_vm = 1000, 20000
        t_py = timed(lambda: python_asv(names, edges, trivial, n_py, 1), repeat=2)
        t_vm = timed(
            lambda: explainer.explain(value_fn=trivial, method="approx", n_samples=n_vm, seed=1)
        )
        r_py, r_vm = n_py / t_py, n_vm / t_vm
        print(f"{n:>5} {r_py:>14.0f} {r_vm:>14.0f} {r_vm / r_py:>8.1f}x")


def section_batched():
    print("\nlinear value function over node weights: single path vs numpy-backed batch path")
    print(f"{'nodes':>5} {'single ord/s':>14} {'batched ord/s':>14} {'speed-up':>9}")
    for n in (20, 40, 60):
        names, _, dag = random_dag(n)
        explainer = velmora.ASVExplainer(dag)
        index = {name: i for i, name in enumerate(names)}
        beta = np.random.default_rng(0).normal(size=n)

        # The same numpy model evaluated per coalition, and per batch with vectorised
        # name lookup.
        def single(coalition):
            x = np.zeros(n)
            x[[index[name] for name in coalition]] = 1.0
            return float(x @ beta)

        def batch(coalitions):
            lengths = np.fromiter(map(len, coalitions), dtype=np.intp, count=len(coalitions))
            flat = list(itertools.chain.from_iterable(coalitions))
            cols = np.fromiter(map(index.__getitem__, flat), dtype=np.intp, count=len(flat))
            x = np.zeros((len(coalitions), n))
            x[np.repeat(np.arange(len(coalitions)), lengths), cols] = 1.0
            return x @ beta

        n_samples = 5000
        t_single = timed(
            lambda: explainer.explain(value_fn=single, method="approx", n_samples=n_samples, seed=2)
        )
        t_batch = timed(
            lambda: explainer.explain(
                value_fn_batch=batch, method="approx", n_samples=n_samples, seed=2, batch_size=512
            )
        )
        r_s, r_b = n_samples / t_single, n_samples / t_batch
        print(f"{n:>5} {r_s:>14.0f} {r_b:>14.0f} {r_b / r_s:>8.1f}x")


def section_parallel():
    print("\nvalue function releasing the lock (numpy product 20000x40 @ 40x16 and tanh), 40 nodes")
    names, _, dag = random_dag(40)
    explainer = velmora.ASVExplainer(dag)
    index = {name: i for i, name in enumerate(names)}
    rng = np.random.default_rng(1)
    data = rng.normal(size=(20000, 40))
    weights = rng.normal(size=(40, 16))

    def heavy(coalition):
        mask = np.zeros(40)
        mask[[index[name] for name in coalition]] = 1.0
        return float(np.tanh(data @ (weights * mask[:, None])).mean())

    n_samples = 12
    runs = [("sequential", {}), ("parallel, 2 chunks", dict(parallel=True, num_threads=2))]
    base = None
    for label, extra in runs:
        t = timed(
            lambda: explainer.explain(
                value_fn=heavy, method="approx", n_samples=n_samples, seed=3, **extra
            ),
            repeat=3,
        )
        base = base or t
        print(f"{label:>20}: {n_samples / t:8.1f} ord/s  speed-up {base / t:.2f}x")


if __name__ == "__main__":
    section_baseline()
    section_batched()
    section_parallel()
