"""The exact dynamic programmes (exact_dag, exact_dag_sparse, exact_tree) through explain."""

import math
import random
import re

import pytest
from hypothesis import given, settings, strategies as st

import velmora
from oracles import brute_asv, order_ideals


def table_game(seed):
    """An arbitrary worth per coalition: neither additive nor monotone."""
    table = {}

    def v(c):
        key = frozenset(c)
        if key not in table:
            table[key] = random.Random(hash((key, seed))).uniform(-5.0, 5.0)
        return table[key]

    return v


def dag_of(edges):
    dag = velmora.CausalDAG()
    for a, b in edges:
        dag.add_edge(a, b)
    return dag


def chain(names):
    return list(zip(names, names[1:]))


GRAPHS = {
    "single edge": [("a", "b")],
    "chain": chain("abcd"),
    "collider": [("a", "c"), ("b", "c")],
    "diamond": [("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")],
    "star": [("r", x) for x in "stuvwxy"],
    "tree": [("r", "a"), ("r", "b"), ("a", "c"), ("a", "d"), ("b", "e"), ("e", "f"), ("e", "g")],
    # Children added before their parents, and two components.
    "mixed": [("x", "y"), ("z", "x"), ("w", "y"), ("z", "v"), ("u", "t")],
}
TREES = {"single edge", "chain", "star", "tree"}
METHODS = ["exact_dag", "exact_dag_sparse", "exact_tree"]


@pytest.mark.parametrize(
    "graph, method",
    [(g, m) for g in GRAPHS for m in METHODS if m != "exact_tree" or g in TREES],
)
def test_matches_brute_force_and_asks_each_ideal_once(graph, method):
    dag = dag_of(GRAPHS[graph])
    v = table_game(1)
    calls = []

    def f(c):
        calls.append(c)
        return v(c)

    e = velmora.ASVExplainer(dag)
    got = e.explain(value_fn=f, method=method)
    want, orders = brute_asv(GRAPHS[graph], dag.nodes(), v)
    assert got == pytest.approx(want, rel=1e-12, abs=1e-12)
    assert got == pytest.approx(e.explain(value_fn=v, method="exact"), rel=1e-12, abs=1e-12)
    asked = [frozenset(c) for c in calls]
    assert len(asked) == len(set(asked)), "a coalition was evaluated twice"
    assert set(asked) == order_ideals(orders)
    rank = {n: i for i, n in enumerate(dag.nodes())}
    assert all(type(c) is list and c == sorted(c, key=rank.get) for c in calls)
    if method == "exact_dag":
        assert calls[0] == []  # ideals in ascending mask order


@st.composite
def random_dags(draw):
    n = draw(st.integers(2, 7))
    pairs = [(i, j) for i in range(n) for j in range(i + 1, n)]
    chosen = draw(st.lists(st.sampled_from(pairs), unique=True, min_size=n - 1))
    # Random names, so that id order and the acyclic order disagree.
    names = draw(st.permutations([f"n{i}" for i in range(n)]))
    return [(names[i], names[j]) for i, j in chosen]


@settings(max_examples=60, deadline=None)
@given(edges=random_dags(), seed=st.integers(0, 2**32))
def test_dense_and_sparse_match_brute_force_on_random_dags(edges, seed):
    dag = dag_of(edges)
    v = table_game(seed)
    want, _ = brute_asv(edges, dag.nodes(), v)
    e = velmora.ASVExplainer(dag)
    for method in ("exact_dag", "exact_dag_sparse"):
        got = e.explain(value_fn=v, method=method)
        assert got == pytest.approx(want, rel=1e-10, abs=1e-10), method


def random_dag_edges(n, p, seed):
    rng = random.Random(seed)
    names = [f"v{i}" for i in range(n)]
    rng.shuffle(names)
    edges = [(names[i], names[j]) for i in range(n) for j in range(i + 1, n) if rng.random() < p]
    # Keep every node in the graph: CausalDAG only learns nodes from edges.
    touched = {x for e in edges for x in e}
    edges += [(names[0], x) for x in names[1:] if x not in touched]
    rng.shuffle(edges)
    return edges


@pytest.mark.parametrize("n", [15, 18, 20])
def test_dense_and_sparse_agree_beyond_brute_force(n):
    e = velmora.ASVExplainer(dag_of(random_dag_edges(n, 0.25, n)))
    v = table_game(n)
    dense = e.explain_with_diagnostics(value_fn=v, method="exact_dag")
    sparse = e.explain_with_diagnostics(value_fn=v, method="exact_dag_sparse")
    assert sparse["values"] == pytest.approx(dense["values"], rel=1e-9, abs=1e-9)
    assert dense["n_samples"] == 2**n and dense["n_order_ideals"] is None
    assert sparse["n_samples"] == sparse["n_order_ideals"]
    assert sparse["state_ratio"] == sparse["n_order_ideals"] / 2**n
    assert sparse["memory_mb"] == (2 * sparse["n_order_ideals"] - 1) * 80 / 2**20


@pytest.mark.parametrize("n", [20, 24, 28])
def test_tree_and_sparse_agree_on_trees(n):
    rng = random.Random(n)
    names = [f"t{i}" for i in range(n)]
    rng.shuffle(names)
    # Deep trees (each node hangs below one of the two nodes before it), within the budgets.
    edges = [(names[rng.randrange(max(0, k - 2), k)], names[k]) for k in range(1, n)]
    rng.shuffle(edges)
    e = velmora.ASVExplainer(dag_of(edges))
    v = table_game(n)
    tree = e.explain_with_diagnostics(value_fn=v, method="exact_tree")
    sparse = e.explain(value_fn=v, method="exact_dag_sparse")
    assert tree["values"] == pytest.approx(sparse, rel=1e-9, abs=1e-9)
    assert tree["n_samples"] == 0 and tree["is_exact"] is True
    assert tree["n_order_ideals"] is None


def star(leaves):
    return [("r", f"l{i}") for i in range(leaves)]


def chains_under_a_root():
    """27 nodes: a root over five chains of four and six single nodes. 200001 ideals, but
    26!/(4!)^5 orders, beyond 64 bits."""
    edges = []
    for k in range(5):
        names = ["r"] + [f"c{k}_{i}" for i in range(4)]
        edges += chain(names)
    edges += [("r", f"s{i}") for i in range(6)]
    return edges


FAILURES = [
    (
        "exact_dag",
        chain([f"n{i}" for i in range(21)]),
        re.escape("invalid configuration: exact_dag requires n ≤ 20 (2^n DP states), got 21"),
    ),
    (
        "exact_dag_sparse",
        chain([f"n{i}" for i in range(29)]),
        re.escape(
            "invalid configuration: exact_dag_sparse: n=29 exceeds max_nodes=28; "
            "use approximate method for large DAGs"
        ),
    ),
    (
        "exact_dag_sparse",
        chains_under_a_root(),
        r"linear extension count overflowed u64: dp_fwd\[0b[01]+\] overflowed u64 — "
        r"use approx for this DAG",
    ),
    (
        "exact_tree",
        star(15),
        re.escape(
            "exact_tree: tree shape exceeds the feasibility budget (largest single side-sibling "
            "product 16384 vs budget 50000; estimated total work 245761 vs budget 200000); "
            "use exact_dag_sparse or approx"
        ),
    ),
    ("exact_tree", GRAPHS["diamond"], "^graph is not a rooted directed tree$"),
    ("exact_tree", GRAPHS["mixed"], "^graph is not a rooted directed tree$"),
]


@pytest.mark.parametrize("method, edges, message", FAILURES)
def test_failures_have_exact_texts_and_ask_for_no_value(method, edges, message):
    e = velmora.ASVExplainer(dag_of(edges))
    calls = []
    with pytest.raises(ValueError, match=f"^{message}$"):
        e.explain(value_fn=calls.append, method=method)
    assert calls == []


def test_limits_are_inclusive():
    # 20 nodes for the dense tables, 28 for the sparse programme's default, 14 leaves for the
    # tree budgets (largest side product 8192, total work 114689).
    for method, edges in [
        ("exact_dag", chain([f"n{i}" for i in range(20)])),
        ("exact_dag_sparse", chain([f"n{i}" for i in range(28)])),
        ("exact_tree", star(14)),
    ]:
        dag = dag_of(edges)
        got = velmora.ASVExplainer(dag).explain(value_fn=lambda c: float(len(c)), method=method)
        assert got == pytest.approx(dict.fromkeys(dag.nodes(), 1.0)), method


@pytest.mark.parametrize("method", METHODS)
def test_value_function_failure_ends_the_call(method):
    e = velmora.ASVExplainer(dag_of(GRAPHS["tree"]))
    calls = []

    def f(c):
        calls.append(c)
        if len(calls) == 3:
            return 1 / 0
        return 1.0

    with pytest.raises(ValueError) as info:
        e.explain(value_fn=f, method=method)
    assert str(info.value) == "value function error: ZeroDivisionError: division by zero"
    assert len(calls) == 3


def test_nan_is_asked_again_only_by_the_dense_table():
    # The dense table marks "not evaluated" with NaN, so a coalition worth NaN is asked at
    # each lookup; the others keep it like any value.
    e = velmora.ASVExplainer(dag_of([("a", "b")]))
    for method, asked in [("exact_dag", 2), ("exact_dag_sparse", 1), ("exact_tree", 1)]:
        calls = []

        def f(c):
            calls.append(c)
            return math.nan if c == ["a"] else float(len(c))

        got = e.explain(value_fn=f, method=method)
        assert math.isnan(got["a"]) and math.isnan(got["b"])
        assert calls.count(["a"]) == asked, method


def test_sparse_is_reproducible_bit_for_bit():
    e = velmora.ASVExplainer(dag_of(random_dag_edges(16, 0.2, 3)))
    v = table_game(3)
    first = e.explain(value_fn=v, method="exact_dag_sparse")
    assert all(e.explain(value_fn=v, method="exact_dag_sparse") == first for _ in range(3))
