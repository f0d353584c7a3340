"""Exact programmes end to end through explain, with a value function that returns a constant.

Each run asks the value function once per order ideal; the figure "ours" is the run's time
less the time the same number of Python calls (on lists of the same names) takes in a plain
Python loop, so it is the share of our own work, interpreter hand-offs included.
"""

import time

import velmora

ROUNDS = 3


def dag_of(edges):
    dag = velmora.CausalDAG()
    for a, b in edges:
        dag.add_edge(a, b)
    return dag


def star(leaves):
    return [("r", f"l{i}") for i in range(leaves)]


def beside_chain(leaves, chain_len):
    chain = ["r"] + [f"c{i}" for i in range(chain_len)]
    return star(leaves) + list(zip(chain, chain[1:]))


CASES = [
    ("exact_dag", "star, 20 nodes", star(19)),
    ("exact_dag", "root over 12 leaves and a chain of 7, 20 nodes", beside_chain(12, 7)),
    ("exact_dag_sparse", "root over 12 leaves and a chain of 15, 28 nodes", beside_chain(12, 15)),
    ("exact_tree", "star with 14 leaves (budget edge)", star(14)),
]


def best(fn):
    times = []
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    print(f"{'method':<17} {'graph':<50} {'calls':>8} {'total':>9} {'calls alone':>11} {'ours/ideal':>11}")
    for method, label, edges in CASES:
        e = velmora.ASVExplainer(dag_of(edges))
        asked = []
        e.explain(value_fn=lambda c: asked.append(c) or 0.0, method=method)
        total = best(lambda: e.explain(value_fn=lambda c: 0.0, method=method))

        def calls_alone():
            f = lambda c: 0.0  # noqa: E731
            for c in asked:
                f(list(c))

        alone = best(calls_alone)
        ours = (total - alone) / len(asked)
        print(
            f"{method:<17} {label:<50} {len(asked):>8} {total * 1e3:>7.1f}ms "
            f"{alone * 1e3:>9.1f}ms {ours * 1e9:>9.0f}ns"
        )


if __name__ == "__main__":
    main()
