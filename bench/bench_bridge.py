"""Cost of the value-function bridge: explain(method="exact") against a plain Python loop.

For each graph the exact method asks for k distinct coalitions (its order ideals). The
baseline calls the same value function k times on prebuilt lists of names; the ratio of the
two wall times is what the bridge (lock hand-over, list building, call, conversion, cache)
and the enumeration add on top of the user's own function.

    .venv/bin/python bench/bench_bridge.py [--seconds S]
"""

import argparse
import sys
import time

import numpy as np

import velmora


def chain(n):
    return [(f"x{i}", f"x{i + 1}") for i in range(n - 1)]


def star(k):
    return [("root", f"leaf{i}") for i in range(k)]


def two_chains(k):
    return [(f"a{i}", f"a{i + 1}") for i in range(k - 1)] + [
        (f"b{i}", f"b{i + 1}") for i in range(k - 1)
    ]


# From bridge-bound (one order) to enumeration-bound (many orders per coalition).
GRAPHS = {
    "chain of 64": chain(64),
    "two chains of 6": two_chains(6),
    "star of 1+6": star(6),
    "star of 1+7": star(7),
}


def trivial_fn(names):
    return lambda c: float(len(c))


def linear_model_fn(names):
    # A model a user would write: features outside the coalition are set to a baseline.
    rng = np.random.default_rng(0)
    n = len(names)
    weights = rng.normal(size=n)
    x = rng.normal(size=n)
    baseline = np.zeros(n)
    index = {name: i for i, name in enumerate(names)}

    def f(coalition):
        z = baseline.copy()
        cols = [index[name] for name in coalition]
        z[cols] = x[cols]
        return float(weights @ z)

    return f


def best_of(fn, seconds):
    """Fastest of repeated runs within `seconds` (at least 5): the least disturbed one."""
    best = float("inf")
    runs = 0
    deadline = time.perf_counter() + seconds
    while runs < 5 or time.perf_counter() < deadline:
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
        runs += 1
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=0.5, help="time budget per measurement")
    args = parser.parse_args()

    print(f"python {sys.version.split()[0]}, numpy {np.__version__}")
    print(
        f"{'graph':16} {'orders':>6} {'k':>4} {'function':8} {'loop us':>9} {'explain us':>11} "
        f"{'ratio':>6} {'extra ns/k':>10}"
    )
    for graph, edges in GRAPHS.items():
        dag = velmora.CausalDAG()
        for a, b in edges:
            dag.add_edge(a, b)
        explainer = velmora.ASVExplainer(dag)
        names = dag.nodes()
        for label, make in [("trivial", trivial_fn), ("numpy", linear_model_fn)]:
            fn = make(names)
            # The coalitions exact asks for, as the lists it passes.
            asked = []
            orders = explainer.explain_with_diagnostics(
                value_fn=lambda c: asked.append(c) or fn(c), method="exact"
            )["n_samples"]
            prebuilt = [list(c) for c in asked]
            k = len(prebuilt)

            def loop():
                for c in prebuilt:
                    fn(c)

            def explain():
                explainer.explain(value_fn=fn, method="exact")

            t_loop = best_of(loop, args.seconds)
            t_explain = best_of(explain, args.seconds)
            print(
                f"{graph:16} {orders:6d} {k:4d} {label:8} {t_loop * 1e6:9.1f} "
                f"{t_explain * 1e6:11.1f} {t_explain / t_loop:6.2f} "
                f"{(t_explain - t_loop) / k * 1e9:10.0f}"
            )


if __name__ == "__main__":
    main()
