#include "causal_dag.hpp"

#include <array>

#include "causal_dag_exchange.hpp"

namespace velmora::py {

namespace {

PyTypeObject* g_type = nullptr;

PyCausalDAG* self_of(PyObject* self) { return reinterpret_cast<PyCausalDAG*>(self); }

PyObject* causal_dag_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "CausalDAG() takes no arguments");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* self = self_of(obj);
    new (&self->flag) BorrowFlag();
    new (&self->dag) Dag();
    return obj;
  });
}

void causal_dag_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  self_of(obj)->dag.~Dag();
  type->tp_free(obj);
  Py_DECREF(type);
}

PyObject* nodes(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto b = Borrow::shared(self_of(self)->flag);
    if (!b) return nullptr;
    const Dag& dag = self_of(self)->dag;
    std::vector<const std::string*> names;
    names.reserve(dag.size());
    for (const auto& name : dag.names()) names.push_back(&name);
    return str_list(names);
  });
}

PyObject* edges(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto b = Borrow::shared(self_of(self)->flag);
    if (!b) return nullptr;
    const Dag& dag = self_of(self)->dag;
    // One str object per node, shared by all the tuples that name it.
    std::vector<PyRef> strs(dag.size());
    for (std::size_t v = 0; v < dag.size(); ++v) {
      strs[v] = PyRef::steal(new_str(dag.name(NodeId(v))));
      if (!strs[v]) return nullptr;
    }
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(dag.num_edges())));
    if (!list) return nullptr;
    Py_ssize_t k = 0;
    for (std::size_t u = 0; u < dag.size(); ++u) {
      for (NodeId v : dag.children(NodeId(u))) {
        PyObject* t = PyTuple_Pack(2, strs[u].get(), strs[v.index()].get());
        if (t == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), k++, t);
      }
    }
    return list.release();
  });
}

constexpr std::array<const char*, 2> kAddEdgeParams{"from_name", "to_name"};
constexpr Signature kAddEdge{"add_edge", kAddEdgeParams, 2};

PyObject* add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[2];
    if (!bind_args(kAddEdge, args, nargs, kwnames, slots)) return nullptr;
    auto from = arg_str(kAddEdge, 0, slots[0]);
    if (!from) return nullptr;
    auto to = arg_str(kAddEdge, 1, slots[1]);
    if (!to) return nullptr;
    auto b = Borrow::exclusive(self_of(self)->flag);
    if (!b) return nullptr;
    Dag& dag = self_of(self)->dag;
    const NodeId u = dag.add_node(*from);
    const NodeId v = dag.add_node(*to);
    if (auto st = dag.add_edge(u, v); !st) return py_err(st.error());
    Py_RETURN_NONE;
  });
}

PyObject* validate(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto b = Borrow::shared(self_of(self)->flag);
    if (!b) return nullptr;
    if (auto st = self_of(self)->dag.validate(); !st) return py_err(st.error());
    Py_RETURN_NONE;
  });
}

constexpr std::array<const char*, 1> kNameParams{"name"};
constexpr Signature kAncestors{"ancestors", kNameParams, 1};
constexpr Signature kDescendants{"descendants", kNameParams, 1};

// Everything reachable from `name` over parents (up) or children (down), the node itself
// excluded unless a cycle leads back to it.
PyObject* reachable(PyObject* self, const Signature& sig, bool up, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!bind_args(sig, args, nargs, kwnames, slots)) return nullptr;
  auto name = arg_str(sig, 0, slots[0]);
  if (!name) return nullptr;
  auto b = Borrow::shared(self_of(self)->flag);
  if (!b) return nullptr;
  const Dag& dag = self_of(self)->dag;
  auto start = lookup_node(dag, *name);
  if (!start) return nullptr;
  std::vector<char> seen(dag.size(), 0);
  std::vector<NodeId> found;
  std::vector<NodeId> queue{*start};
  for (std::size_t head = 0; head < queue.size(); ++head) {
    const NodeId u = queue[head];
    for (NodeId w : up ? dag.parents(u) : dag.children(u)) {
      if (seen[w.index()]) continue;
      seen[w.index()] = 1;
      found.push_back(w);
      queue.push_back(w);
    }
  }
  return sorted_names(dag, found);
}

PyObject* ancestors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return reachable(self, kAncestors, true, args, nargs, kwnames); });
}

PyObject* descendants(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] { return reachable(self, kDescendants, false, args, nargs, kwnames); });
}

constexpr std::array<const char*, 1> kNamesParams{"names"};
constexpr Signature kInducedSubgraph{"induced_subgraph", kNamesParams, 1};

PyObject* induced_subgraph(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind_args(kInducedSubgraph, args, nargs, kwnames, slots)) return nullptr;
    auto names = arg_str_seq(kInducedSubgraph, 0, slots[0]);
    if (!names) return nullptr;
    auto b = Borrow::shared(self_of(self)->flag);
    if (!b) return nullptr;
    const Dag& dag = self_of(self)->dag;
    auto ids = lookup_nodes(dag, names->items);
    if (!ids) return nullptr;
    auto sub = dag.induced_subgraph(*ids);
    if (!sub) return py_err(sub.error());
    return wrap_dag(std::move(*sub));
  });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;
constexpr int kStaticFastcall = METH_STATIC | METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"from_networkx", VELMORA_FASTCALL(dag_from_networkx), kStaticFastcall,
     "from_networkx(g)\n--\n\n"
     "Construct a DAG from any graph object that has an `edges()` method returning\n"
     "(from, to) pairs \xe2\x80\x94 compatible with networkx DiGraph and similar libraries."},
    {"from_edges", VELMORA_FASTCALL(dag_from_edges), kStaticFastcall,
     "from_edges(edges)\n--\n\n"
     "Construct a DAG from a list of (from, to) edge tuples.\n"
     "Nodes are created automatically."},
    {"nodes", nodes, METH_NOARGS, "nodes($self)\n--\n\nReturn all node names in insertion order."},
    {"edges", edges, METH_NOARGS, "edges($self)\n--\n\nReturn all edges as (from, to) name pairs."},
    {"to_json", dag_to_json, METH_NOARGS,
     "to_json($self)\n--\n\n"
     "Return a JSON string representing the DAG.\n"
     "\n"
     "Format: `{\"nodes\":[\"a\",\"b\"],\"edges\":[{\"from\":\"a\",\"to\":\"b\"}]}`"},
    {"from_json", VELMORA_FASTCALL(dag_from_json), kStaticFastcall,
     "from_json(s)\n--\n\n"
     "Construct a DAG from the JSON format produced by `to_json()`.\n"
     "\n"
     "Accepts `{\"nodes\":[...],\"edges\":[{\"from\":\"a\",\"to\":\"b\"},...]}`, parsed as\n"
     "structural JSON (whitespace/formatting-insensitive, matching e.g. Python's\n"
     "`json.dumps()` default output, not just `to_json()`'s own compact style).\n"
     "Unknown keys are ignored. Nodes listed only in `\"nodes\"` (no edges) are added\n"
     "as isolates. Malformed JSON, or `\"nodes\"`/`\"edges\"` present but not shaped as\n"
     "documented, raises `ValueError` rather than silently producing an empty or\n"
     "partial graph."},
    {"to_dot", dag_to_dot, METH_NOARGS,
     "to_dot($self)\n--\n\nReturn a Graphviz DOT representation of the DAG."},
    {"add_edge", VELMORA_FASTCALL(add_edge), kFastcall,
     "add_edge($self, from_name, to_name)\n--\n\nAdd a directed edge. Nodes are created "
     "automatically if they do not exist."},
    {"validate", validate, METH_NOARGS,
     "validate($self)\n--\n\nValidate the graph (check for cycles, empty graph, etc.)."},
    {"ancestors", VELMORA_FASTCALL(ancestors), kFastcall,
     "ancestors($self, name)\n--\n\nReturn sorted ancestor names \xe2\x80\x94 nodes from which "
     "`name` is reachable."},
    {"descendants", VELMORA_FASTCALL(descendants), kFastcall,
     "descendants($self, name)\n--\n\nReturn sorted descendant names \xe2\x80\x94 nodes "
     "reachable from `name`."},
    {"topological_layers", dag_topological_layers, METH_NOARGS,
     "topological_layers($self)\n--\n\n"
     "Return nodes grouped by topological layer (roots in layer 0).\n"
     "\n"
     "All nodes in layer k have their parents in layers 0..k."},
    {"inspect", dag_inspect, METH_NOARGS,
     "inspect($self)\n--\n\n"
     "Return a structural summary of the DAG.\n"
     "\n"
     "Keys:\n"
     "  - `\"n_nodes\"`: int\n"
     "  - `\"n_edges\"`: int\n"
     "  - `\"is_dag\"`: bool \xe2\x80\x94 always True for a validated graph\n"
     "  - `\"is_rooted_tree\"`: bool \xe2\x80\x94 single root, all others have in-degree 1\n"
     "  - `\"n_roots\"`: int \xe2\x80\x94 nodes with in-degree 0\n"
     "  - `\"n_leaves\"`: int \xe2\x80\x94 nodes with out-degree 0\n"
     "  - `\"max_depth\"`: int \xe2\x80\x94 length of longest root-to-leaf path\n"
     "  - `\"recommended_method\"`: str \xe2\x80\x94 which AsvExplainer method auto() would "
     "pick\n"
     "  - `\"estimated_dense_states\"`: int | None \xe2\x80\x94 2^n_nodes; None if n > 63"},
    {"d_convex_hull", VELMORA_FASTCALL(dag_d_convex_hull), kFastcall,
     "d_convex_hull($self, names)\n--\n\nThe d-convex hull of `names`: sorted node names."},
    {"strong_d_convex_hull", VELMORA_FASTCALL(dag_strong_d_convex_hull), kFastcall,
     "strong_d_convex_hull($self, names)\n--\n\n"
     "The strong d-convex hull of `names`: sorted node names. This is the\n"
     "minimal set that preserves a causal-effect estimate after\n"
     "marginalizing out every other variable."},
    {"induced_subgraph", VELMORA_FASTCALL(induced_subgraph), kFastcall,
     "induced_subgraph($self, names)\n--\n\nReturn the sub-DAG induced by `names`."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("CausalDAG()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(causal_dag_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(causal_dag_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec{
    "velmora.CausalDAG",
    sizeof(PyCausalDAG),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

int register_causal_dag(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (type == nullptr) return -1;
  if (PyModule_AddObjectRef(module, "CausalDAG", type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  // The module keeps one reference; this one lives as long as the process so that static
  // constructors and the explainer can reach the type without an instance.
  Py_XDECREF(reinterpret_cast<PyObject*>(g_type));
  g_type = reinterpret_cast<PyTypeObject*>(type);
  return 0;
}

PyTypeObject* causal_dag_type() { return g_type; }

PyCausalDAG* as_causal_dag(PyObject* o) {
  if (g_type == nullptr || !PyObject_TypeCheck(o, g_type)) return nullptr;
  return self_of(o);
}

PyObject* wrap_dag(Dag dag) {
  PyObject* obj = g_type->tp_alloc(g_type, 0);
  if (obj == nullptr) return nullptr;
  auto* self = self_of(obj);
  new (&self->flag) BorrowFlag();
  new (&self->dag) Dag(std::move(dag));
  return obj;
}

std::optional<NodeId> lookup_node(const Dag& dag, std::string_view name) {
  if (auto id = dag.find(name)) return id;
  value_error("unknown node: " + std::string(name));
  return std::nullopt;
}

std::optional<std::vector<NodeId>> lookup_nodes(const Dag& dag,
                                                std::span<const std::string_view> names) {
  std::vector<NodeId> ids;
  ids.reserve(names.size());
  for (std::string_view name : names) {
    auto id = lookup_node(dag, name);
    if (!id) return std::nullopt;
    ids.push_back(*id);
  }
  return ids;
}

PyObject* sorted_names(const Dag& dag, std::span<const NodeId> ids) {
  std::vector<const std::string*> names;
  names.reserve(ids.size());
  for (NodeId id : ids) names.push_back(&dag.name(id));
  return sorted_str_list(std::move(names));
}

}  // namespace velmora::py
