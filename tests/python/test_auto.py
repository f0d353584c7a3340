"""method="auto": the choice by size and shape, every fallback and its reason text."""

import re

import networkx as nx
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmora

TREE_BUDGET = "tree shape exceeded exact_tree's feasibility budget"


def independent(k):
    """k nodes without edges (cut out of a graph that gives each an edge)."""
    dag = velmora.CausalDAG()
    names = [f"v{i}" for i in range(k)]
    for name in names:
        dag.add_edge(name, "sink")
    return dag.induced_subgraph(names)


def chains(*lengths):
    dag = velmora.CausalDAG()
    for c, length in enumerate(lengths):
        for i in range(length - 1):
            dag.add_edge(f"c{c}_{i}", f"c{c}_{i + 1}")
    return dag


def chain_beside_loose(length, loose):
    """A chain of `length` next to `loose` unconnected nodes."""
    dag = velmora.CausalDAG()
    for i in range(length - 1):
        dag.add_edge(f"c{i}", f"c{i + 1}")
    for i in range(loose):
        dag.add_edge(f"v{i}", "sink")
    return dag.induced_subgraph([f"c{i}" for i in range(length)] + [f"v{i}" for i in range(loose)])


def star(leaves):
    dag = velmora.CausalDAG()
    for i in range(leaves):
        dag.add_edge("root", f"leaf{i}")
    return dag


def additive(coalition):
    """Order-free game: every method, exact or sampled, must return each node's weight."""
    return float(sum(len(name) + name.count("1") for name in coalition))


CASES = [
    # graph, selected_method, fallback_from, fallback_reason (regex or None)
    ("8 independent", lambda: independent(8), "exact", None, None),
    ("9 independent: 512 ideals > 2^8", lambda: independent(9), "exact_dag", None, None),
    ("rooted tree of 8", lambda: star(7), "exact", None, None),
    ("chain of 9 is a tree", lambda: chains(9), "exact_tree", None, None),
    ("star of 15 within budget", lambda: star(14), "exact_tree", None, None),
    ("two chains of 9 nodes", lambda: chains(5, 4), "exact_dag_sparse", None, None),
    ("two chains of 22 nodes", lambda: chains(11, 11), "exact_dag_sparse", None, None),
    ("two chains of 30 nodes", lambda: chains(15, 15), "exact_dag_sparse", None, None),
    ("30 independent", lambda: independent(30), "approx", None, None),
    ("five chains of 12: 371293 ideals", lambda: chains(*[12] * 5), "approx", None, None),
    (
        "bushy tree, few ideals",
        lambda: star(15),
        "exact_dag_sparse",
        "exact_tree",
        "^" + TREE_BUDGET + "$",
    ),
    (
        "bushy tree, many ideals",
        lambda: star(18),
        "approx",
        "exact_tree",
        "^" + TREE_BUDGET + "; exact_dag_sparse also infeasible for this DAG$",
    ),
    (
        "25 independent: over the sparse budget",
        lambda: independent(25),
        "approx",
        "exact_dag_sparse",
        r"^order ideal count exceeds sparse memory budget \(26843545 states\)$",
    ),
    (
        "28 nodes: chain of 13 beside 15 loose, order counts overflow",
        lambda: chain_beside_loose(13, 15),
        "approx",
        "exact_dag_sparse",
        r"^dp_(fwd|ind)\[0b[01]+\] overflowed u64 — use approx for this DAG$",
    ),
    (
        "three chains of 20: order counts overflow",
        lambda: chains(20, 20, 20),
        "approx",
        "exact_dag_sparse",
        r"^dp_(fwd|ind)\[0b[01]+\] overflowed u64 — use approx for this DAG$",
    ),
]


@pytest.mark.parametrize(
    "build, selected, fallback_from, reason", [c[1:] for c in CASES], ids=[c[0] for c in CASES]
)
def test_auto_follows_the_decision_table(build, selected, fallback_from, reason):
    dag = build()
    ex = velmora.ASVExplainer(dag)
    d = ex.explain_with_diagnostics(value_fn=additive, n_samples=50, seed=9)
    assert d["method"] == "auto"
    assert d["selected_method"] == selected
    assert d["fallback_from"] == fallback_from
    if reason is None:
        assert d["fallback_reason"] is None
    else:
        assert d["fallback_reason"] is not None
        assert re.match(reason, d["fallback_reason"]), d["fallback_reason"]
    assert d["is_exact"] is (selected != "approx")
    if selected == "approx":
        assert d["n_samples"] == 50 and d["seed"] == 9 and d["ess"] is not None
    for name, value in d["values"].items():
        assert value == pytest.approx(additive([name]))


def test_auto_never_retries_a_failing_value_function():
    calls = []

    def fails(coalition):
        calls.append(coalition)
        raise KeyError("missing")

    ex = velmora.ASVExplainer(independent(15))  # exact_dag territory
    with pytest.raises(ValueError, match=r"^value function error: KeyError: 'missing'$"):
        ex.explain(value_fn=fails, seed=1)
    assert len(calls) == 1
    tree = velmora.ASVExplainer(chains(12))
    calls.clear()
    with pytest.raises(ValueError, match=r"^value function error: KeyError"):
        tree.explain(value_fn=fails)
    assert len(calls) == 1


@pytest.mark.parametrize("build", [lambda: chains(70), lambda: chains(*[2] * 33)],
                         ids=["chain of 70", "66 nodes in pairs"])
def test_auto_on_graphs_beyond_one_mask_reports_the_missing_method(build):
    ex = velmora.ASVExplainer(build())
    with pytest.raises(ValueError, match=r"^invalid configuration: approx on graphs of more than 64 nodes is not available in this build"):
        ex.explain(value_fn=additive, n_samples=10, seed=1)


def test_auto_sampling_uses_the_settings_and_stays_reproducible():
    ex = velmora.ASVExplainer(independent(30))

    def game(c):
        return float(len(c) ** 2 + ("v1" in c) * ("v2" in c) * 5)

    a = ex.explain(value_fn=game, n_samples=200, seed=4, parallel=True, num_threads=2)
    b = ex.explain(value_fn=game, n_samples=200, seed=4, parallel=True, num_threads=2)
    c = ex.explain(value_fn=game, n_samples=200, seed=4)
    assert a == b and a != c
    with pytest.raises(ValueError, match=r"^invalid configuration: n_samples must be > 0$"):
        ex.explain(value_fn=game, n_samples=0)
    # An exact choice ignores the sampling settings, n_samples = 0 included.
    small = velmora.ASVExplainer(independent(4))
    assert small.explain_with_diagnostics(value_fn=game, n_samples=0)["selected_method"] == "exact"


def count_ideals(g):
    parents = {v: set(g.predecessors(v)) for v in g}
    seen = {frozenset()}
    frontier = [frozenset()]
    while frontier:
        nxt = []
        for s in frontier:
            for v in g:
                if v not in s and parents[v] <= s:
                    t = s | {v}
                    if t not in seen:
                        seen.add(t)
                        nxt.append(t)
        frontier = nxt
    return len(seen)


@st.composite
def small_dags(draw):
    n = draw(st.integers(9, 13))
    pairs = [(i, j) for i in range(n) for j in range(i + 1, n)]
    edges = draw(st.lists(st.sampled_from(pairs), unique=True, max_size=2 * n))
    return n, edges


@settings(max_examples=25, deadline=None)
@given(small_dags())
def test_auto_between_9_and_20_nodes_picks_by_ideal_count(case):
    n, edges = case
    g = nx.DiGraph()
    g.add_nodes_from(range(n))
    g.add_edges_from(edges)
    dag = velmora.CausalDAG()
    for i in range(n):
        dag.add_edge(f"v{i}", "sink")
    for i, j in edges:
        dag.add_edge(f"v{i}", f"v{j}")
    ex = velmora.ASVExplainer(dag.induced_subgraph([f"v{i}" for i in range(n)]))
    d = ex.explain_with_diagnostics(value_fn=additive, n_samples=20, seed=1)
    parents = [len(list(g.predecessors(v))) for v in g]
    if parents.count(0) == 1 and all(p <= 1 for p in parents):
        assert d["selected_method"] == "exact_tree"
    elif count_ideals(g) <= 2 ** (n - 1):
        assert d["selected_method"] == "exact_dag_sparse"
    else:
        assert d["selected_method"] == "exact_dag"
    assert d["fallback_from"] is None
