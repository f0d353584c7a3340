import inspect
import threading

import pytest

import velmora


def test_module_publishes_only_the_classes():
    public = [n for n in dir(velmora) if not n.startswith("_")]
    assert "CausalDAG" in public
    assert all(isinstance(getattr(velmora, n), type) for n in public)


def test_fresh_graph_is_empty_and_invalid():
    dag = velmora.CausalDAG()
    assert dag.nodes() == []
    assert dag.edges() == []
    with pytest.raises(ValueError, match="^graph is empty$"):
        dag.validate()


def test_orders_insertion_for_lists_sorted_for_sets(make_dag):
    dag = make_dag([("c", "a"), ("b", "a")])
    assert dag.nodes() == ["c", "a", "b"]
    assert dag.edges() == [("c", "a"), ("b", "a")]
    assert dag.ancestors("a") == ["b", "c"]
    assert dag.descendants("c") == ["a"]
    assert dag.ancestors("c") == []
    dag.validate()


def test_edges_follow_source_id_then_addition_order(make_dag):
    dag = make_dag([("a", "z"), ("b", "a"), ("a", "b2")])
    assert dag.edges() == [("a", "z"), ("a", "b2"), ("b", "a")]


def test_sorted_order_is_code_point_order(make_dag):
    names = ["é", "Z", "a", "", "ä", "😀", "b"]
    dag = make_dag([("root", n) for n in names])
    assert dag.descendants("root") == sorted(names)


def test_reachability_is_transitive_and_survives_cycles(make_dag):
    dag = make_dag([("a", "b"), ("b", "c"), ("c", "d"), ("x", "c")])
    assert dag.ancestors("d") == ["a", "b", "c", "x"]
    assert dag.descendants("a") == ["b", "c", "d"]
    cyclic = make_dag([("a", "b"), ("b", "a")])
    assert cyclic.ancestors("a") == ["a", "b"]
    assert cyclic.descendants("b") == ["a", "b"]


@pytest.mark.parametrize(
    "edges, message",
    [
        ([("a", "a")], "self-loop on node NodeId(0)"),
        ([("a", "b"), ("a", "b")], "duplicate edge NodeId(0) -> NodeId(1)"),
    ],
)
def test_refused_edges_keep_their_new_nodes(make_dag, edges, message):
    dag = make_dag(edges[:-1])
    with pytest.raises(ValueError) as err:
        dag.add_edge(*edges[-1])
    assert str(err.value) == message
    assert dag.nodes() == sorted({n for e in edges for n in e}, key=[n for e in edges for n in e].index)
    assert len(dag.edges()) == len(edges) - 1


def test_two_cycle_is_accepted_then_reported(make_dag):
    dag = make_dag([("a", "b"), ("b", "a")])
    with pytest.raises(ValueError, match="^cycle detected in graph$"):
        dag.validate()
    assert dag.edges() == [("a", "b"), ("b", "a")]


def test_names_are_case_sensitive_and_unicode_safe(make_dag):
    dag = make_dag([("A", "a"), ("", "naïve ☃"), ("a\x00b", "A")])
    assert dag.nodes() == ["A", "a", "", "naïve ☃", "a\x00b"]
    assert dag.ancestors("a") == ["A", "a\x00b"]


def test_unknown_names(make_dag):
    dag = make_dag([("a", "b")])
    for method in (dag.ancestors, dag.descendants):
        with pytest.raises(ValueError) as err:
            method("zz")
        assert str(err.value) == "unknown node: zz"
    with pytest.raises(ValueError, match="^unknown node: q$"):
        dag.induced_subgraph(["a", "q", "r"])


def test_induced_subgraph(make_dag):
    dag = make_dag([("a", "b"), ("b", "c"), ("a", "c"), ("c", "d")])
    sub = dag.induced_subgraph(("c", "a", "a"))
    assert sub.nodes() == ["a", "c"]
    assert sub.edges() == [("a", "c")]
    assert dag.induced_subgraph([]).nodes() == []
    # The result is independent of its source.
    sub.add_edge("c", "new")
    assert "new" not in dag.nodes()
    with pytest.raises(TypeError, match="names"):
        dag.induced_subgraph("ab")


@pytest.mark.parametrize(
    "call, pattern",
    [
        (lambda d: d.add_edge("a"), r"missing required argument 'to_name'"),
        (lambda d: d.add_edge("a", "b", "c"), r"takes exactly 2 positional arguments \(3 given\)"),
        (lambda d: d.add_edge("a", to="b"), r"unexpected keyword argument 'to'"),
        (lambda d: d.add_edge("a", from_name="b"), r"given by name \('from_name'\) and position"),
        (lambda d: d.add_edge("a", 1), r"add_edge\(\) argument 'to_name' must be str, not int"),
        (lambda d: d.add_edge(b"a", "b"), r"argument 'from_name' must be str, not bytes"),
        (lambda d: d.ancestors(None), r"argument 'name' must be str"),
        (lambda d: d.induced_subgraph(["a", 3]), r"argument 'names' must contain only str"),
        (lambda d: d.induced_subgraph(5), r"argument 'names' must be a sequence of str"),
        (lambda d: d.nodes(1), r"takes no arguments"),
        (lambda d: velmora.CausalDAG(1), r"takes no arguments"),
    ],
)
def test_argument_errors_name_the_method_and_parameter(call, pattern):
    dag = velmora.CausalDAG()
    with pytest.raises(TypeError, match=pattern):
        call(dag)
    assert dag.nodes() == []  # nothing changed


def test_keywords_and_positions_bind_alike(make_dag):
    dag = velmora.CausalDAG()
    dag.add_edge(to_name="b", from_name="a")
    dag.add_edge("b", to_name="c")
    assert dag.edges() == [("a", "b"), ("b", "c")]
    assert dag.ancestors(name="c") == ["a", "b"]
    assert dag.induced_subgraph(names=["a"]).nodes() == ["a"]


def test_signatures_and_docstrings():
    sig = inspect.signature(velmora.CausalDAG.add_edge)
    assert str(sig) == "(self, /, from_name, to_name)"
    assert str(inspect.signature(velmora.CausalDAG.nodes)) == "(self, /)"
    assert str(inspect.signature(velmora.CausalDAG.induced_subgraph)) == "(self, /, names)"
    assert str(inspect.signature(velmora.CausalDAG)) == "()"
    assert velmora.CausalDAG.nodes.__doc__ == "Return all node names in insertion order."
    assert velmora.CausalDAG.ancestors.__doc__ == (
        "Return sorted ancestor names — nodes from which `name` is reachable."
    )
    assert velmora.CausalDAG.add_edge.__doc__.startswith("Add a directed edge.")


def test_the_type_has_no_extras():
    dag = velmora.CausalDAG()
    with pytest.raises(AttributeError):
        dag.anything = 1
    assert type(dag).__repr__ is object.__repr__
    assert type(dag).__eq__ is object.__eq__


def test_large_graph_round_trip_of_lists():
    dag = velmora.CausalDAG()
    n = 20000
    for i in range(1, n):
        dag.add_edge(f"n{(i - 1) // 2}", f"n{i}")
    assert len(dag.nodes()) == n
    assert len(dag.edges()) == n - 1
    assert len(dag.descendants("n0")) == n - 1
    dag.validate()


def test_graphs_are_usable_from_threads(make_dag):
    dag = make_dag([("a", "b")])
    errors = []

    def work(k):
        try:
            for i in range(200):
                dag.add_edge(f"t{k}_{i}", "b")
                dag.ancestors("b")
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len(dag.ancestors("b")) == 1 + 4 * 200
