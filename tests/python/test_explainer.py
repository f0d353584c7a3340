import math
import sys
import threading
import time

import pytest
from hypothesis import given, settings, strategies as st

import velmora
from oracles import brute_asv, order_ideals


GRAPHS = {
    "single edge": [("a", "b")],
    "chain": [("a", "b"), ("b", "c"), ("c", "d")],
    "collider": [("a", "c"), ("b", "c")],
    "diamond": [("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")],
    "star": [("r", x) for x in "stuvw"],
    # Parents added after their children, plus a separate component.
    "mixed": [("x", "y"), ("z", "x"), ("w", "y"), ("z", "v"), ("u", "t")],
}

WEIGHTS = {n: 0.5 + 1.7 * i for i, n in enumerate("abcdrstuvwxyz")}
GAMES = {
    "additive": lambda c: sum(WEIGHTS[x] for x in c),
    "interacting": lambda c: len(c) ** 2 + (10.0 if {"a", "b"} <= set(c) else 0.0),
    # An arbitrary table: neither monotone nor additive.
    "non-monotone": lambda c: math.sin(7.0 * sum(hash(x) % 97 for x in c) + len(c)),
}


@pytest.mark.parametrize("game", GAMES)
@pytest.mark.parametrize("graph", GRAPHS)
def test_exact_matches_brute_force_and_asks_each_ideal_once(make_dag, graph, game):
    dag = make_dag(GRAPHS[graph])
    v = GAMES[game]
    calls = []

    def f(coalition):
        calls.append(coalition)
        return v(coalition)

    got = velmora.ASVExplainer(dag).explain(value_fn=f, method="exact")
    want, orders = brute_asv(GRAPHS[graph], dag.nodes(), v)
    assert got == pytest.approx(want, rel=1e-12, abs=1e-12)
    assert list(got) == dag.nodes()  # keys in insertion order

    asked = [frozenset(c) for c in calls]
    assert len(asked) == len(set(asked)), "a coalition was evaluated twice"
    assert set(asked) == order_ideals(orders)
    # Each coalition is a list of str in node-insertion order.
    rank = {n: i for i, n in enumerate(dag.nodes())}
    assert all(type(c) is list and c == sorted(c, key=rank.get) for c in calls)
    # "With" before "without": the smallest-id source first, then the empty coalition.
    children = {b for _, b in GRAPHS[graph]}
    first_source = next(n for n in dag.nodes() if n not in children)
    assert calls[0] == [first_source] and calls[1] == []


@st.composite
def random_dags(draw):
    n = draw(st.integers(2, 6))
    pairs = [(i, j) for i in range(n) for j in range(i + 1, n)]
    chosen = draw(st.lists(st.sampled_from(pairs), unique=True, min_size=1))
    # Random names, so that id order and the acyclic order disagree.
    names = draw(st.permutations([f"n{i}" for i in range(n)]))
    return [(names[i], names[j]) for i, j in chosen]


@settings(max_examples=60, deadline=None)
@given(edges=random_dags(), seed=st.integers(0, 2**32))
def test_exact_matches_brute_force_on_random_dags(edges, seed):
    dag = velmora.CausalDAG()
    for a, b in edges:
        dag.add_edge(a, b)
    table = {}

    def v(c):
        key = frozenset(c)
        if key not in table:
            table[key] = ((hash(key) ^ seed) % 1000) / 37.0
        return table[key]

    got = velmora.ASVExplainer(dag).explain(value_fn=v, method="exact")
    want, _ = brute_asv(edges, dag.nodes(), v)
    assert got == pytest.approx(want, rel=1e-12, abs=1e-12)
    full = v(dag.nodes())
    assert sum(got.values()) == pytest.approx(full - v([]), abs=1e-9)


def test_diagnostics_hold_all_keys_in_order(make_dag):
    e = velmora.ASVExplainer(make_dag([("a", "b"), ("b", "c")]))
    d = e.explain_with_diagnostics(value_fn=lambda c: float(len(c) ** 2), method="exact")
    assert list(d) == [
        "values", "ess", "ess_ratio", "n_samples", "seed", "is_exact", "method", "parallel",
        "num_threads", "deterministic", "n_order_ideals", "state_ratio", "memory_mb",
        "fallback_from", "fallback_reason", "selected_method",
    ]
    assert d["values"] == {"a": 1.0, "b": 3.0, "c": 5.0}
    assert d["n_samples"] == 1 and d["is_exact"] is True
    assert d["method"] == d["selected_method"] == "exact"
    assert d["parallel"] is False and d["deterministic"] is False
    nones = ["ess", "ess_ratio", "seed", "num_threads", "n_order_ideals", "state_ratio",
             "memory_mb", "fallback_from", "fallback_reason"]
    assert all(d[k] is None for k in nones)

    # The arguments are reported as passed, even where the exact method ignores them.
    d = e.explain_with_diagnostics(lambda c: 1.0, "exact", 5, 7, None, 3, True, 4)
    assert (d["parallel"], d["num_threads"], d["deterministic"], d["seed"]) == (True, 4, True, None)


def test_explainer_keeps_its_own_copy_of_the_graph(make_dag):
    dag = make_dag([("a", "b")])
    e = velmora.ASVExplainer(dag=dag)
    v = lambda c: float(len(c)) + (5.0 if "c" in c else 0.0)
    before = e.explain(value_fn=v, method="exact")
    dag.add_edge("b", "c")
    dag.add_edge("c", "a")  # now cyclic
    assert e.explain(value_fn=v, method="exact") == before == {"a": 1.0, "b": 1.0}


class Boom(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def not_a_float(c):
    return "x"


def value_fn_cases():
    class Local(Exception):
        pass

    def raise_local(c):
        raise Local("bad coalition")

    def raise_key(c):
        raise KeyError("x")

    def raise_boom(c):
        raise Boom()

    def raise_undecodable_path(c):
        # os.fsdecode turns the bytes of a file name that are not UTF-8 into lone surrogates.
        raise FileNotFoundError("cannot read /data/caf\udce9.csv")

    return [
        (lambda c: 1 / 0, "ZeroDivisionError: division by zero"),
        (raise_key, "KeyError: 'x'"),
        (raise_local, "value_fn_cases.<locals>.Local: bad coalition"),
        (raise_boom, "Boom: <exception str() failed>"),
        (raise_undecodable_path, "FileNotFoundError: cannot read /data/caf\\udce9.csv"),
        (not_a_float, "TypeError: must be real number, not str"),
        (lambda c: None, "TypeError: must be real number, not NoneType"),
        (lambda c: 10**400, "OverflowError: int too large to convert to float"),
        (42, "TypeError: 'int' object is not callable"),
    ]


@pytest.mark.parametrize("fn, detail", value_fn_cases())
def test_value_function_failures_become_value_errors(make_dag, fn, detail):
    e = velmora.ASVExplainer(make_dag([("a", "b"), ("a", "c")]))
    with pytest.raises(ValueError) as info:
        e.explain(value_fn=fn, method="exact")
    assert str(info.value) == "value function error: " + detail
    assert info.value.__cause__ is None and info.value.__context__ is None
    # The explainer stays usable.
    assert e.explain(value_fn=lambda c: float(len(c)), method="exact") == {
        "a": 1.0, "b": 1.0, "c": 1.0
    }


def test_numbers_convert_as_python_does(make_dag):
    e = velmora.ASVExplainer(make_dag([("a", "b")]))
    assert e.explain(value_fn=lambda c: "b" in c, method="exact") == {"a": 0.0, "b": 1.0}
    big = 2**60 + 1  # beyond a double's exact range: rounds to the nearest double
    got = e.explain(value_fn=lambda c: big if c else 0, method="exact")
    assert got == {"a": float(big), "b": 0.0}
    got = e.explain(value_fn=lambda c: float("nan") if "b" in c else len(c), method="exact")
    assert got["a"] == 1.0 and math.isnan(got["b"])

    class Half:
        def __float__(self):
            return 0.5

    assert e.explain(value_fn=lambda c: Half(), method="exact") == {"a": 0.0, "b": 0.0}


@pytest.mark.parametrize(
    "edges, error, message",
    [
        ([], ValueError, "^graph is empty$"),
        ([("a", "b"), ("b", "a")], ValueError, "^cycle detected in graph$"),
    ],
)
def test_invalid_graphs_build_no_explainer(make_dag, edges, error, message):
    with pytest.raises(error, match=message):
        velmora.ASVExplainer(make_dag(edges))


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1,), {}), ((None,), {}), ((), {"graph": 1})])
def test_construction_needs_a_causal_dag(args, kwargs):
    with pytest.raises(TypeError):
        velmora.ASVExplainer(*args, **kwargs)


def test_too_wide_for_a_mask(make_dag):
    e = velmora.ASVExplainer(make_dag([(f"n{i}", f"n{i + 1}") for i in range(64)]))
    with pytest.raises(ValueError) as info:
        e.explain(value_fn=lambda c: 0.0, method="exact")
    assert str(info.value) == "invalid configuration: bitmask coalitions require n ≤ 64, got 65"


UNKNOWN = (
    "unknown method '{}': use 'auto', 'approx', 'exact', 'exact_tree', 'exact_dag', "
    "'exact_dag_sparse', or 'uniform_sparse'"
)
NEITHER = "must provide either value_fn or value_fn_batch"
BATCH_ONLY = "value_fn_batch is only supported for method='approx' or 'auto'"


def fail_if_called(c):
    raise AssertionError("value_fn must not be called")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({}, NEITHER),
        ({"value_fn": None, "value_fn_batch": None}, NEITHER),
        ({"value_fn": fail_if_called, "method": "EXACT"}, UNKNOWN.format("EXACT")),
        ({"value_fn": fail_if_called, "method": " exact"}, UNKNOWN.format(" exact")),
        ({"value_fn": fail_if_called, "method": ""}, UNKNOWN.format("")),
        ({"value_fn_batch": fail_if_called, "method": "exact"}, BATCH_ONLY),
        ({"value_fn_batch": fail_if_called, "method": "Auto"}, BATCH_ONLY),
        # The batch function decides the path: the method is checked against it.
        ({"value_fn": fail_if_called, "value_fn_batch": fail_if_called, "method": "exact"},
         BATCH_ONLY),
    ],
)
@pytest.mark.parametrize("name", ["explain", "explain_with_diagnostics"])
def test_refusals_of_the_python_layer(make_dag, name, kwargs, message):
    e = velmora.ASVExplainer(make_dag([("a", "b")]))
    with pytest.raises(ValueError) as info:
        getattr(e, name)(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("param", ["n_samples", "seed", "batch_size", "num_threads"])
@pytest.mark.parametrize(
    "value, error", [(-1, OverflowError), (2**64, OverflowError), (1.0, TypeError)]
)
def test_integer_arguments_are_checked_before_anything_runs(make_dag, param, value, error):
    e = velmora.ASVExplainer(make_dag([("a", "b")]))
    with pytest.raises(error):
        e.explain(value_fn=fail_if_called, method="exact", **{param: value})


@pytest.mark.parametrize(
    "kwargs",
    [
        {"value_fn_batch": lambda cs: [0.0] * len(cs), "batch_size": 2**62},
        {"value_fn": fail_if_called, "method": "approx", "parallel": True, "num_threads": 2**62},
    ],
    ids=["batch_size", "num_threads"],
)
def test_sizes_beyond_memory_are_memory_errors(make_dag, kwargs):
    # Sizes that no allocation can satisfy are the caller's to fix: an ordinary MemoryError,
    # not the internal-fault exception that `except Exception` would let through.
    e = velmora.ASVExplainer(make_dag([("a", "b")]))
    with pytest.raises(MemoryError):
        e.explain(n_samples=2**62, seed=1, **kwargs)


@pytest.mark.parametrize(
    "kwargs", [{"method": None}, {"method": b"exact"}, {"parallel": 1}, {"bogus": 1}]
)
def test_argument_types(make_dag, kwargs):
    e = velmora.ASVExplainer(make_dag([("a", "b")]))
    with pytest.raises(TypeError):
        e.explain(fail_if_called, **kwargs)
    with pytest.raises(TypeError):
        e.explain(fail_if_called, "exact", 1, 2, None, 3, False, 4, 5)


@pytest.mark.parametrize(
    "method", ["auto", "approx", "exact_dag", "exact_tree", "exact_dag_sparse", "uniform_sparse"]
)
def test_every_method_name_reaches_its_entry_point(make_dag, method):
    # A method that is not built yet answers with a ValueError of its own, never with the
    # unknown-method text and never with wrong numbers. Under an additive game every marginal
    # is 1, so exact and sampled answers alike are 1 per node.
    e = velmora.ASVExplainer(make_dag([("a", "b"), ("a", "c")]))
    try:
        got = e.explain(value_fn=lambda c: float(len(c)), method=method, seed=1, n_samples=50)
    except ValueError as err:
        assert not str(err).startswith("unknown method")
    else:
        assert got == pytest.approx({"a": 1.0, "b": 1.0, "c": 1.0})


def test_interpreter_lock_is_released_while_computing(make_dag):
    # With a switch interval far beyond the test's length the interpreter never preempts
    # the explaining thread, so the other thread can only progress where explain gives the
    # lock up: around its native work.
    dag = make_dag([("r", f"c{i}") for i in range(9)])  # 9! orders, 513 coalitions
    e = velmora.ASVExplainer(dag)
    progress = 0
    stop = threading.Event()

    def spin():
        nonlocal progress
        while not stop.is_set():
            progress += 1
            time.sleep(0)  # give the lock back each round, so the main thread never starves

    old = sys.getswitchinterval()
    worker = threading.Thread(target=spin)
    sys.setswitchinterval(1000.0)
    try:
        worker.start()
        while progress == 0:
            time.sleep(0.001)
        before = progress
        e.explain(value_fn=lambda c: float(len(c)), method="exact")
        during = progress - before
    finally:
        stop.set()
        sys.setswitchinterval(old)
        worker.join()
    assert during > 0


def test_concurrent_calls_on_one_explainer(make_dag):
    e = velmora.ASVExplainer(make_dag([("a", "b"), ("a", "c"), ("b", "d"), ("c", "d")]))
    v = GAMES["non-monotone"]
    want = e.explain(value_fn=v, method="exact")
    results, errors = [], []

    def work(k):
        try:
            for _ in range(20):
                results.append(e.explain(value_fn=v, method="exact"))
            # A value function may itself call the explainer it runs under.
            inner = lambda c: e.explain(value_fn=v, method="exact")["a"] * len(c)
            results.append(e.explain(value_fn=inner, method="exact"))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    plain = [r for r in results if r == want]
    assert len(plain) == 80
    nested = [r for r in results if r != want]
    assert len(nested) == 4
    assert all(r == pytest.approx(dict.fromkeys("abcd", want["a"])) for r in nested)


def test_docstrings_carry_the_text_signatures():
    sig = (
        '($self, value_fn=None, method="auto", n_samples=10000, seed=None, '
        "value_fn_batch=None, batch_size=256, parallel=False, num_threads=None)"
    )
    assert velmora.ASVExplainer.explain.__text_signature__ == sig
    assert velmora.ASVExplainer.explain_with_diagnostics.__text_signature__ == sig
    assert velmora.ASVExplainer.__text_signature__ == "(dag)"
    assert velmora.ASVExplainer.explain.__doc__.startswith("Compute ASV values.\n\n")
    assert "deterministic" in velmora.ASVExplainer.explain_with_diagnostics.__doc__


@pytest.mark.parametrize("exc_type", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize(
    "kwargs",
    [
        {"method": "exact"},
        {"method": "approx", "seed": 1, "parallel": True, "num_threads": 2},
        {"batch": True},
    ],
    ids=["exact", "parallel", "batched"],
)
def test_interrupts_reach_the_caller_as_themselves(make_dag, exc_type, kwargs):
    # Ctrl-C or sys.exit() inside a value function must not turn into a ValueError that a
    # caller's `except ValueError` would swallow.
    explainer = velmora.ASVExplainer(make_dag([("a", "b"), ("c", "b")]))
    calls = []

    def f(coalition):
        calls.append(coalition)
        if len(calls) == 3:
            raise exc_type("stop")
        return float(len(coalition))

    kwargs = dict(kwargs)
    if kwargs.pop("batch", False):
        call = lambda: explainer.explain(value_fn_batch=lambda b: [f(c) for c in b], seed=1)
    else:
        call = lambda: explainer.explain(value_fn=f, **kwargs)
    with pytest.raises(exc_type, match="stop"):
        call()
    calls.clear()
    assert explainer.explain(value_fn=lambda c: 1.0, method="exact") == {"a": 0.0, "b": 0.0, "c": 0.0}


@pytest.mark.parametrize("kept", ["single", "batch inner", "batch outer"])
def test_kept_coalition_lists_in_cycles_are_collected(make_dag, kept):
    # A value function may keep the lists it is given and tie them into reference cycles;
    # the cyclic collector must still be able to free them afterwards.
    import gc
    import weakref

    explainer = velmora.ASVExplainer(make_dag([("a", "b"), ("a", "c")]))

    class Box:
        pass

    refs = []

    def tie(lst):
        box = Box()
        box.lst = lst
        lst.append(box)  # lst -> box -> lst
        refs.append(weakref.ref(box))

    def f(coalition):
        tie(coalition)
        return float(len(coalition))

    def fb(coalitions):
        out = [float(len(c)) for c in coalitions]
        if kept == "batch outer":
            tie(coalitions)
            coalitions[0].append(coalitions)  # inner -> outer -> inner
        else:
            tie(coalitions.pop())  # kept only through its own cycle
            for c in coalitions:
                tie(c)
        return out

    if kept == "single":
        explainer.explain(value_fn=f, method="exact")
    else:
        explainer.explain(value_fn_batch=fb, n_samples=20, seed=3)
    assert refs
    gc.collect()
    assert all(r() is None for r in refs)


EXIT_SCRIPT = """
import sys, threading, time, velmora
dag = velmora.CausalDAG()
for i in range(40):
    dag.add_edge(f"a{i}", f"a{i + 1}")
e = velmora.ASVExplainer(dag)
kwargs = {"par": dict(seed=1, parallel=True), "seq": dict(seed=1), "pool": {}}[sys.argv[1]]
f = lambda c: float(len(c))

class ExplainsWhenCollected:
    def __del__(self):
        try:
            e.explain(value_fn=f, method="approx", n_samples=2000, **kwargs)
        except ValueError:
            pass

def forever():
    while True:
        e.explain(value_fn=f, method="approx", n_samples=20000, **kwargs)

for _ in range(2):
    threading.Thread(target=forever, daemon=True).start()
late = ExplainsWhenCollected()
late.cycle = late  # collected only during interpreter shutdown
time.sleep(0.1)
"""


@pytest.mark.parametrize("plan", ["par", "seq", "pool"])
def test_explaining_during_interpreter_shutdown_does_not_abort(plan):
    # Daemon threads still explaining when the program ends, and a finalizer that explains
    # during shutdown, must let the process end normally (CPython ends such threads when
    # they ask for the interpreter lock, an unwind the worker pool turns into an abort).
    import subprocess

    runs = [
        subprocess.Popen([sys.executable, "-c", EXIT_SCRIPT, plan], stderr=subprocess.PIPE)
        for _ in range(4)
    ]
    for run in runs:
        _, err = run.communicate(timeout=60)
        assert run.returncode == 0, err.decode(errors="replace")[-2000:]
