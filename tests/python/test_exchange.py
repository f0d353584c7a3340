import json
import shutil
import subprocess

import networkx as nx
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmora

DAG = velmora.CausalDAG

# Names that are awkward in JSON and DOT: quotes, backslashes, control characters,
# non-ASCII, DOT keywords, leading digits, the empty name.
AWKWARD = ["two words", "with-hyphen", 'quo"te', "back\\slash", "trail\\", "1st", "node",
           "GRAPH", "Strict", "", "é€😀", "tab\tname", "new\nline", "\x01\x1f\x7f", "a->b", "{x}"]


def dumps_compact(doc):
    return json.dumps(doc, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


@st.composite
def named_graphs(draw):
    """(nodes in id order, edges in to_json order) of a random graph, cycles allowed."""
    names = draw(st.lists(st.text(st.characters(blacklist_categories=("Cs",)), max_size=4),
                          unique=True, max_size=8))
    n = len(names)
    pairs = draw(st.lists(st.tuples(st.integers(0, max(n - 1, 0)), st.integers(0, max(n - 1, 0))),
                          max_size=20)) if n else []
    edges = list(dict.fromkeys((names[a], names[b]) for a, b in pairs if a != b))
    return names, edges


def build(names, edges):
    doc = {"nodes": names, "edges": [{"from": a, "to": b} for a, b in edges]}
    return DAG.from_json(json.dumps(doc)), doc


# ---- JSON ------------------------------------------------------------------------------

def test_to_json_written_form():
    assert DAG().to_json() == '{"edges":[],"nodes":[]}'
    dag = DAG.from_json('{"nodes":["a","b","c"],"edges":[{"from":"a","to":"b"}]}')
    assert dag.to_json() == '{"edges":[{"from":"a","to":"b"}],"nodes":["a","b","c"]}'


@settings(max_examples=150, deadline=None)
@given(named_graphs())
def test_json_round_trip_keeps_names_ids_and_children_order(graph):
    names, edges = graph
    dag, doc = build(names, edges)
    assert dag.nodes() == names
    # Children order: by source id, then in the order the edges were added.
    by_source = sorted(edges, key=lambda e: names.index(e[0]))
    assert dag.edges() == by_source
    text = dag.to_json()
    assert text == dumps_compact({"nodes": names,
                                  "edges": [{"from": a, "to": b} for a, b in by_source]})
    again = DAG.from_json(text)
    assert again.nodes() == names and again.edges() == by_source
    # Any formatting of the same document reads the same.
    pretty = DAG.from_json(json.dumps(doc, indent=2, ensure_ascii=True))
    assert pretty.nodes() == names and pretty.edges() == by_source


def test_from_json_ignores_layout_order_and_extra_members():
    text = """ {
        "comment": {"nested": [1, 2.5e3, null, true, {"x": []}]},
        "edges": [ {"to": "b", "weight": 0.5, "from": "a"}, {"from": "c", "to": "a"} ],
        "nodes" : [ "z" ]
    } """
    dag = DAG.from_json(text)
    assert dag.nodes() == ["z", "a", "b", "c"]
    assert dag.edges() == [("a", "b"), ("c", "a")]


@pytest.mark.parametrize("text", ["[]", "42", "{}", '"nodes"', "null", ' {"other": 1} '])
def test_from_json_of_non_graph_values_is_empty(text):
    dag = DAG.from_json(text)
    assert dag.nodes() == [] and dag.edges() == []


def test_from_json_duplicate_members_last_wins_and_cycles_wait_for_validate():
    dag = DAG.from_json('{"nodes":["x"],"nodes":["a"],"edges":[{"from":"a","to":"b","to":"c"}]}')
    assert dag.nodes() == ["a", "c"]
    cyclic = DAG.from_json('{"edges":[{"from":"a","to":"b"},{"from":"b","to":"a"}]}')
    with pytest.raises(ValueError, match="^cycle detected in graph$"):
        cyclic.validate()


@pytest.mark.parametrize("text, message", [
    ("", "EOF while parsing a value at line 1 column 0"),
    ('{"nodes": ["a",', "EOF while parsing a value at line 1 column 15"),
    ('{"nodes": ["a"]', "EOF while parsing an object at line 1 column 15"),
    ('{"nodes" ["a"]}', "expected `:` at line 1 column 10"),
    ('{"nodes": ["a",]}', "trailing comma at line 1 column 16"),
    ('{"nodes": ["a"] "edges": []}', "expected `,` or `}` at line 1 column 17"),
    ("{nodes: []}", "key must be a string at line 1 column 2"),
    ('{"a": tru}', "expected ident at line 1 column 10"),
    ('{"a": 1e999}', "number out of range at line 1 column 7"),
    ('{"a": 01}', "invalid number at line 1 column 8"),
    ('{"a": "\\x"}', "invalid escape at line 1 column 9"),
    ('{"a": "\\ud800"}', "unexpected end of hex escape at line 1 column 14"),
    ('{"a": "\\udc00"}', "lone leading surrogate in hex escape at line 1 column 13"),
    ('{"a": "\n"}', "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                    "column 8"),
    ('{"a": "abc', "EOF while parsing a string at line 1 column 10"),
    ("{}\n{}", "trailing characters at line 2 column 1"),
    ('{"a": "é"} é', "trailing characters at line 1 column 12"),
    # A lone surrogate in the text itself (not escaped) is no character of UTF-8.
    ('{"nodes": ["\ud800"]}', "invalid unicode code point at line 1 column 13"),
    ('["\udfff"] \ud800', "invalid unicode code point at line 1 column 3"),
    ('[] \ud800', "trailing characters at line 1 column 4"),
    ("[" * 128, "recursion limit exceeded at line 1 column 128"),
    ("[" * 1_000_000, "recursion limit exceeded at line 1 column 128"),
])
def test_from_json_malformed_text(text, message):
    with pytest.raises(ValueError) as info:
        DAG.from_json(text)
    assert str(info.value) == "malformed JSON: " + message


def test_from_json_accepts_the_deepest_allowed_nesting():
    deep = '{"x":' + "[" * 126 + "]" * 126 + ',"nodes":["a"]}'
    assert DAG.from_json(deep).nodes() == ["a"]


@pytest.mark.parametrize("doc, message", [
    ('{"nodes": "a"}', 'malformed JSON: "nodes" must be an array'),
    ('{"nodes": {"a": 1}}', 'malformed JSON: "nodes" must be an array'),
    ('{"nodes": ["a", 1]}', 'malformed JSON: "nodes" entries must be strings'),
    ('{"nodes": [null], "edges": 5}', 'malformed JSON: "nodes" entries must be strings'),
    ('{"nodes": [], "edges": {"from": "a", "to": "b"}}', 'malformed JSON: "edges" must be an array'),
    ('{"edges": [["a", "b"]]}', 'malformed JSON: edge missing string "from"'),
    ('{"edges": [{"to": "b"}]}', 'malformed JSON: edge missing string "from"'),
    ('{"edges": [{"from": 1, "to": 2}]}', 'malformed JSON: edge missing string "from"'),
    ('{"edges": [{"from": "a"}]}', 'malformed JSON: edge missing string "to"'),
    ('{"edges": [{"from": "a", "to": ["b"]}]}', 'malformed JSON: edge missing string "to"'),
    ('{"edges": [{"from": "a", "to": "a"}]}', "self-loop on node NodeId(0)"),
    ('{"edges": [{"from": "a", "to": "b"}, {"from": "a", "to": "b"}]}',
     "duplicate edge NodeId(0) -> NodeId(1)"),
    ('{"nodes": ["b", "a"], "edges": [{"from": "a", "to": "b"}, {"from": "a", "to": "b"}]}',
     "duplicate edge NodeId(1) -> NodeId(0)"),
])
def test_from_json_wrong_shapes(doc, message):
    with pytest.raises(ValueError) as info:
        DAG.from_json(doc)
    assert str(info.value) == message


def test_from_json_takes_only_str():
    for bad in (b"{}", None, {"nodes": []}):
        with pytest.raises(TypeError, match="from_json"):
            DAG.from_json(bad)
    assert DAG.from_json(s="[]").nodes() == []


# ---- DOT -------------------------------------------------------------------------------

def test_to_dot_written_form(make_dag):
    assert make_dag([("a", "b")]).to_dot() == "digraph {\n  a -> b;\n}"
    assert DAG().to_dot() == "digraph {\n}"
    assert DAG.from_json('{"nodes":["lonely"]}').to_dot() == "digraph {\n}"
    dag = make_dag([("x_1", "node"), ("say \"hi\"", "C:\\dir"), ("x_1", "2b")])
    assert dag.to_dot() == ('digraph {\n  x_1 -> "node";\n  x_1 -> "2b";\n'
                            '  "say \\"hi\\"" -> "C:\\\\dir";\n}')


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz dot is not installed")
def test_graphviz_reads_awkward_names(make_dag):
    edges = [("root", n) for n in AWKWARD] + list(zip(AWKWARD, AWKWARD[1:]))
    dag = make_dag(edges)
    run = subprocess.run(["dot", "-Tjson"], input=dag.to_dot(), capture_output=True, text=True,
                         check=False)
    assert run.returncode == 0 and run.stderr == ""
    layout = json.loads(run.stdout, strict=False)  # Graphviz writes control characters raw
    # Graphviz keeps a backslash escaped in node names (it is its label escape character).
    assert [o["name"] for o in layout["objects"]] == [n.replace("\\", "\\\\")
                                                      for n in dag.nodes()]
    assert len(layout["edges"]) == len(dag.edges())


# ---- edge lists and graph objects ------------------------------------------------------

def test_from_edges_builds_in_order():
    dag = DAG.from_edges((("c", "a"), ("b", "a"), ("c", "b")))
    assert dag.nodes() == ["c", "a", "b"]
    assert dag.edges() == [("c", "a"), ("c", "b"), ("b", "a")]
    assert DAG.from_edges([]).nodes() == []
    assert DAG.from_edges(edges=[("a", "b")]).edges() == [("a", "b")]


@pytest.mark.parametrize("edges, exc, message", [
    ([("a", "b"), ("a", "b")], ValueError, "^duplicate edge NodeId\\(0\\) -> NodeId\\(1\\)$"),
    ([("a", "a")], ValueError, "^self-loop on node NodeId\\(0\\)$"),
    ([("a", "b", "c")], ValueError, "^expected tuple of length 2, but got tuple of length 3$"),
    ([("a",)], ValueError, "^expected tuple of length 2, but got tuple of length 1$"),
    ([["a", "b"]], TypeError, "from_edges.*'edges'.*list"),
    ([("a", 1)], TypeError, "from_edges.*'edges'.*int"),
    ("ab", TypeError, "from_edges.*'edges'.*str"),
    (5, TypeError, "from_edges.*'edges'.*int"),
    # Every element is converted before any edge is added.
    ([("a", "a"), ["x", "y"]], TypeError, "from_edges.*list"),
])
def test_from_edges_refusals(edges, exc, message):
    with pytest.raises(exc, match=message):
        DAG.from_edges(edges)


def test_from_networkx_reads_edges_only():
    g = nx.DiGraph()
    g.add_node("isolated")
    g.add_edges_from([("a", "b"), ("b", "c"), ("a", "c")])
    dag = DAG.from_networkx(g)
    assert dag.nodes() == ["a", "b", "c"]
    assert sorted(dag.edges()) == sorted(g.edges())
    with pytest.raises(TypeError, match="str"):
        DAG.from_networkx(nx.DiGraph([(1, 2)]))


class Item:
    """An edge item that supports subscription by 0 and 1 only and records the calls."""

    calls = []

    def __init__(self, *ends):
        self.ends = ends

    def __getitem__(self, k):
        Item.calls.append(k)
        return self.ends[k]

    def __iter__(self):
        raise AssertionError("items are read by subscription only")

    def __len__(self):
        raise AssertionError("items are read by subscription only")


class Graph:
    def __init__(self, result):
        self.result = result

    def edges(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def test_from_networkx_uses_edges_and_subscription_only():
    Item.calls = []
    dag = DAG.from_networkx(Graph([Item("a", "b"), Item("b", "c", "ignored"), ["c", "d"]]))
    assert dag.edges() == [("a", "b"), ("b", "c"), ("c", "d")]
    assert Item.calls == [0, 1, 0, 1]


def failing_iter():
    yield ("a", "b")
    raise KeyError("midway")


@pytest.mark.parametrize("graph, exc, message", [
    (Graph(KeyError("inside edges()")), KeyError, "inside edges"),
    (object(), AttributeError, "edges"),
    (Graph(5), TypeError, "not iterable"),
    (Graph(failing_iter()), KeyError, "midway"),
    (Graph([5]), TypeError, "not subscriptable"),
    (Graph([("a",)]), IndexError, "out of range"),
    (Graph([Item("a", 2)]), TypeError, "^from_networkx\\(\\) edge endpoints must be str, not int$"),
    (Graph([("a", "b"), ("a", "b")]), ValueError, "^duplicate edge NodeId\\(0\\) -> NodeId\\(1\\)$"),
])
def test_from_networkx_refusals(graph, exc, message):
    with pytest.raises(exc, match=message):
        DAG.from_networkx(graph)


def test_from_networkx_exception_is_the_same_object():
    err = RuntimeError("mine")
    with pytest.raises(RuntimeError) as info:
        DAG.from_networkx(Graph(err))
    assert info.value is err


# ---- inspect and layers ----------------------------------------------------------------

KEYS = ["n_nodes", "n_edges", "is_dag", "is_rooted_tree", "n_roots", "n_leaves", "max_depth",
        "recommended_method", "estimated_dense_states"]


def chain(n):
    return DAG.from_edges([(f"v{i}", f"v{i + 1}") for i in range(n - 1)])


def two_roots(n):
    """n nodes, not a rooted tree: a second root joins the chain's end."""
    return DAG.from_edges([(f"v{i}", f"v{i + 1}") for i in range(n - 2)] + [("w", f"v{n - 2}")])


def test_inspect_examples():
    info = chain(3).inspect()
    assert list(info) == KEYS
    assert info == {"n_nodes": 3, "n_edges": 2, "is_dag": True, "is_rooted_tree": True,
                    "n_roots": 1, "n_leaves": 1, "max_depth": 2, "recommended_method": "exact",
                    "estimated_dense_states": 8}
    assert DAG().inspect() == {"n_nodes": 0, "n_edges": 0, "is_dag": True,
                               "is_rooted_tree": False, "n_roots": 0, "n_leaves": 0,
                               "max_depth": 0, "recommended_method": "exact",
                               "estimated_dense_states": 1}


@pytest.mark.parametrize("dag, method, states", [
    (two_roots(8), "exact", 2**8),
    (two_roots(9), "exact_dag", 2**9),
    (chain(9), "exact_tree", 2**9),
    (two_roots(20), "exact_dag", 2**20),
    (two_roots(21), "approx", 2**21),
    (chain(30), "exact_tree", 2**30),
    (two_roots(63), "approx", 9223372036854775808),
    (chain(64), "exact_tree", None),
])
def test_inspect_recommendation_table(dag, method, states):
    info = dag.inspect()
    assert info["recommended_method"] == method
    assert info["estimated_dense_states"] == states


def test_inspect_counts_without_validating(make_dag):
    dag = make_dag([("r", "a"), ("a", "b"), ("b", "a"), ("r", "x"), ("y", "x")])
    info = dag.inspect()
    assert (info["n_edges"], info["n_roots"], info["n_leaves"], info["max_depth"]) == (5, 2, 1, 1)
    assert info["is_dag"] is True and info["is_rooted_tree"] is False
    # The nodes on the cycle are in no layer.
    assert dag.topological_layers() == [["r", "y"], ["x"]]


def test_topological_layers_examples(make_dag):
    assert make_dag([("c", "a"), ("b", "a")]).topological_layers() == [["b", "c"], ["a"]]
    assert DAG().topological_layers() == []


@settings(max_examples=100, deadline=None)
@given(st.integers(1, 12), st.lists(st.tuples(st.integers(0, 11), st.integers(0, 11)),
                                    max_size=30))
def test_topological_layers_are_networkx_generations(n, pairs):
    ends = [sorted((a % n, b % n)) for a, b in pairs]
    edges = list(dict.fromkeys((f"n{a}", f"n{b}") for a, b in ends if a != b))
    dag = DAG.from_json(json.dumps({"nodes": [f"n{i}" for i in range(n)],
                                    "edges": [{"from": a, "to": b} for a, b in edges]}))
    g = nx.DiGraph(edges)
    g.add_nodes_from(dag.nodes())
    expected = [sorted(layer) for layer in nx.topological_generations(g)]
    assert dag.topological_layers() == expected
    assert dag.inspect()["max_depth"] == max(len(expected) - 1, 0)


# ---- hulls -----------------------------------------------------------------------------

def test_hull_examples(make_dag):
    # Two hidden paths of equal length between x and y; both orders end with all four.
    two = make_dag([("h2", "y"), ("x", "h1"), ("h1", "y"), ("h2", "x")])
    assert two.d_convex_hull(["x", "y"]) == ["h1", "h2", "x", "y"]
    assert two.d_convex_hull(("y", "x")) == ["h1", "h2", "x", "y"]
    vs = make_dag([("a", "v"), ("b", "v"), ("v", "c")])
    assert vs.d_convex_hull(["c"]) == ["c"]
    assert vs.strong_d_convex_hull(["c"]) == ["a", "b", "c", "v"]
    assert vs.strong_d_convex_hull(names=["c", "c"]) == ["a", "b", "c", "v"]
    chain3 = make_dag([("z", "h"), ("h", "b")])
    assert chain3.d_convex_hull(["z", "b"]) == ["b", "h", "z"]
    assert chain3.d_convex_hull(["z", "z"]) == chain3.d_convex_hull(["z"]) == ["z"]
    for method in (vs.d_convex_hull, vs.strong_d_convex_hull):
        assert method([]) == []
        assert method(vs.nodes()) == sorted(vs.nodes())


@pytest.mark.parametrize("method", ["d_convex_hull", "strong_d_convex_hull"])
def test_hull_refusals(make_dag, method):
    dag = make_dag([("a", "b")])
    with pytest.raises(ValueError, match="^unknown node: zz$"):
        getattr(dag, method)(["a", "zz"])
    with pytest.raises(TypeError, match=method):
        getattr(dag, method)("ab")
    with pytest.raises(TypeError, match=method):
        getattr(dag, method)(["a", 1])


def test_method_table_order():
    assert [name for name in vars(DAG) if not name.startswith("__")] == [
        "from_networkx", "from_edges", "nodes", "edges", "to_json", "from_json", "to_dot",
        "add_edge", "validate", "ancestors", "descendants", "topological_layers", "inspect",
        "d_convex_hull", "strong_d_convex_hull", "induced_subgraph"]
