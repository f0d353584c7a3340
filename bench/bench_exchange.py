"""Graph exchange speed against the Python baselines on a 100k-edge graph.

Run: .venv/bin/python bench/bench_exchange.py
Each operation and its baseline run alternately; the best of REPEATS runs of each is kept,
so a busy machine slows both sides alike. Reported: times and the ratio to the baseline:
  from_json  vs json.loads of the same text
  to_json    vs json.dumps of the same document (compact separators, sorted keys)
  from_networkx vs iterating the networkx graph's edges in Python
"""

import json
import random
import time

import networkx as nx

import velmora

N_NODES = 20_000
N_EDGES = 100_000
REPEATS = 11


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def best_pair(fn, base):
    best, best_base = float("inf"), float("inf")
    for _ in range(REPEATS):
        best = min(best, timed(fn))
        best_base = min(best_base, timed(base))
    return best, best_base


def random_dag_edges(rng):
    edges = set()
    while len(edges) < N_EDGES:
        a, b = rng.randrange(N_NODES), rng.randrange(N_NODES)
        if a < b:
            edges.add((a, b))
    names = [f"node_{i}" for i in range(N_NODES)]
    order = list(edges)
    rng.shuffle(order)
    return [(names[a], names[b]) for a, b in order]


def main():
    rng = random.Random(20261211)
    edges = random_dag_edges(rng)
    dag = velmora.CausalDAG.from_edges(edges)
    text = dag.to_json()
    doc = json.loads(text)
    graph = nx.DiGraph(edges)

    def iterate_edges():
        for _u, _v in graph.edges():
            pass

    rows = [
        ("from_json", lambda: velmora.CausalDAG.from_json(text), "json.loads", lambda: json.loads(text)),
        ("to_json", dag.to_json, "json.dumps",
         lambda: json.dumps(doc, separators=(",", ":"), sort_keys=True, ensure_ascii=False)),
        ("from_networkx", lambda: velmora.CausalDAG.from_networkx(graph), "edge loop", iterate_edges),
    ]
    print(f"{dag.inspect()['n_nodes']} nodes, {len(edges)} edges, {len(text) / 1e6:.1f} MB of JSON;"
          f" best of {REPEATS}")
    print(f"{'operation':<14}{'ms':>8}   {'baseline':<11}{'ms':>8}   ratio")
    for name, fn, base_name, base in rows:
        t, tb = best_pair(fn, base)
        print(f"{name:<14}{t * 1e3:8.1f}   {base_name:<11}{tb * 1e3:8.1f}   {t / tb:5.2f}")


if __name__ == "__main__":
    main()
