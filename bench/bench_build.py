"""Building a graph edge by edge: velmora's add_edge against networkx.DiGraph.add_edge.

Both get the same 100k edges (a random DAG over 20k nodes, names prebuilt) and the best of
several rounds is reported.
"""

import random
import time

import networkx as nx

import velmora

N_NODES = 20_000
N_EDGES = 100_000
ROUNDS = 5


def make_edges():
    rng = random.Random(7)
    names = [f"x{i}" for i in range(N_NODES)]
    seen = set()
    edges = []
    while len(edges) < N_EDGES:
        a, b = sorted(rng.sample(range(N_NODES), 2))
        if (a, b) not in seen:
            seen.add((a, b))
            edges.append((names[a], names[b]))
    return edges


def best_of(build):
    best = float("inf")
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        build()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    edges = make_edges()

    def build_velmora():
        g = velmora.CausalDAG()
        add = g.add_edge
        for a, b in edges:
            add(a, b)
        return g

    def build_networkx():
        g = nx.DiGraph()
        add = g.add_edge
        for a, b in edges:
            add(a, b)
        return g

    assert len(build_velmora().edges()) == N_EDGES
    t_v = best_of(build_velmora)
    t_n = best_of(build_networkx)
    print(f"add_edge x {N_EDGES}: velmora {t_v * 1e3:.1f} ms ({t_v / N_EDGES * 1e9:.0f} ns/edge), "
          f"networkx {t_n * 1e3:.1f} ms ({t_n / N_EDGES * 1e9:.0f} ns/edge), "
          f"velmora is {t_n / t_v:.1f}x faster")


if __name__ == "__main__":
    main()
