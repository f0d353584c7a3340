#include "causal_dag_exchange.hpp"

#include <array>

#include "../d_convex.hpp"
#include "../graph_exchange.hpp"
#include "../graph_summary.hpp"
#include "causal_dag.hpp"

namespace velmora::py {

namespace {

PyCausalDAG* self_of(PyObject* self) { return reinterpret_cast<PyCausalDAG*>(self); }

// Adds u -> v; raises the core's failure as ValueError.
bool add_edge_by_ids(Dag& dag, NodeId u, NodeId v) {
  if (auto st = dag.add_edge(u, v); !st) {
    py_err(st.error());
    return false;
  }
  return true;
}

// item[k] of one edge item, which must be a str: an owned reference and its UTF-8 text.
std::optional<std::string_view> endpoint(PyObject* item, Py_ssize_t k, PyRef& holder) {
  if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) > k) {
    // An exact tuple's subscription cannot be overridden; read it directly.
    holder = PyRef::borrow(PyTuple_GET_ITEM(item, k));
  } else {
    PyRef index = PyRef::steal(PyLong_FromSsize_t(k));
    if (!index) return std::nullopt;
    holder = PyRef::steal(PyObject_GetItem(item, index.get()));
    if (!holder) return std::nullopt;
  }
  if (!PyUnicode_Check(holder.get())) {
    PyErr_Format(PyExc_TypeError, "from_networkx() edge endpoints must be str, not %s",
                 Py_TYPE(holder.get())->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(holder.get(), &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

constexpr std::array<const char*, 1> kGParams{"g"};
constexpr Signature kFromNetworkx{"from_networkx", kGParams, 1};
constexpr std::array<const char*, 1> kEdgesParams{"edges"};
constexpr Signature kFromEdges{"from_edges", kEdgesParams, 1};
constexpr std::array<const char*, 1> kSParams{"s"};
constexpr Signature kFromJson{"from_json", kSParams, 1};
constexpr std::array<const char*, 1> kNamesParams{"names"};
constexpr Signature kDConvexHull{"d_convex_hull", kNamesParams, 1};
constexpr Signature kStrongDConvexHull{"strong_d_convex_hull", kNamesParams, 1};

}  // namespace

PyObject* dag_from_networkx(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind_args(kFromNetworkx, args, nargs, kwnames, slots)) return nullptr;
    // Whatever edges(), the iteration or the subscription raise reaches the caller as is.
    PyRef edges = PyRef::steal(PyObject_CallMethod(slots[0], "edges", nullptr));
    if (!edges) return nullptr;
    PyRef it = PyRef::steal(PyObject_GetIter(edges.get()));
    if (!it) return nullptr;
    Dag dag;
    // Graph libraries list the edges of one source together and hand out the same str
    // object for a node each time: the previous source, held alive here, is recognised by
    // identity and keeps its id without a lookup.
    PyRef last_from;
    NodeId last_u;
    for (;;) {
      PyRef item = PyRef::steal(PyIter_Next(it.get()));
      if (!item) break;
      PyRef from_holder, to_holder;
      const auto from = endpoint(item.get(), 0, from_holder);
      if (!from) return nullptr;
      const auto to = endpoint(item.get(), 1, to_holder);
      if (!to) return nullptr;
      const NodeId u = from_holder.get() == last_from.get() ? last_u : dag.add_node(*from);
      if (!add_edge_by_ids(dag, u, dag.add_node(*to))) return nullptr;
      last_from = std::move(from_holder);
      last_u = u;
    }
    if (PyErr_Occurred()) return nullptr;
    return wrap_dag(std::move(dag));
  });
}

PyObject* dag_from_edges(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind_args(kFromEdges, args, nargs, kwnames, slots)) return nullptr;
    // Every element is converted before the first edge is added.
    auto edges = arg_str_pair_seq(kFromEdges, 0, slots[0]);
    if (!edges) return nullptr;
    Dag dag;
    std::optional<std::pair<std::string_view, NodeId>> last_from;  // as in from_json
    for (const auto& [from, to] : edges->items) {
      const NodeId u =
          last_from && last_from->first == from ? last_from->second : dag.add_node(from);
      last_from.emplace(from, u);
      if (!add_edge_by_ids(dag, u, dag.add_node(to))) return nullptr;
    }
    return wrap_dag(std::move(dag));
  });
}

PyObject* dag_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind_args(kFromJson, args, nargs, kwnames, slots)) return nullptr;
    PyObject* s = slots[0];
    PyRef encoded;
    std::optional<std::string_view> text;
    if (PyUnicode_Check(s) && !PyUnicode_IS_ASCII(s) && PyUnicode_AsUTF8(s) == nullptr) {
      // A lone surrogate has no UTF-8 form. Pass it through in its 3-byte form instead, which
      // the reader refuses with its own message and position like any other bad character.
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
      PyErr_Clear();
      encoded = PyRef::steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
      if (!encoded) return nullptr;
      text = std::string_view(PyBytes_AS_STRING(encoded.get()),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    } else {
      text = arg_str(kFromJson, 0, s);
      if (!text) return nullptr;
    }
    auto dag = velmora::dag_from_json(*text);
    if (!dag) return value_error(dag.error().message);
    return wrap_dag(std::move(*dag));
  });
}

PyObject* dag_to_json(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto b = Borrow::shared(self_of(self)->flag);
    if (!b) return nullptr;
    return new_str(velmora::dag_to_json(self_of(self)->dag));
  });
}

PyObject* dag_to_dot(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto b = Borrow::shared(self_of(self)->flag);
    if (!b) return nullptr;
    return new_str(velmora::dag_to_dot(self_of(self)->dag));
  });
}

PyObject* dag_topological_layers(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto b = Borrow::shared(self_of(self)->flag);
    if (!b) return nullptr;
    const Dag& dag = self_of(self)->dag;
    const auto layers = topological_layers(dag);
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(layers.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < layers.size(); ++k) {
      PyObject* names = sorted_names(dag, layers[k]);
      if (names == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), names);
    }
    return list.release();
  });
}

PyObject* dag_inspect(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto b = Borrow::shared(self_of(self)->flag);
    if (!b) return nullptr;
    const DagSummary s = summarize(self_of(self)->dag);
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict) return nullptr;
    // Keys in the documented order; PyDict_SetItemString leaves the value's reference to us.
    const auto put = [&](const char* key, PyRef value) {
      return value && PyDict_SetItemString(dict.get(), key, value.get()) == 0;
    };
    const auto size = [](std::size_t v) { return PyRef::steal(PyLong_FromSize_t(v)); };
    const auto flag = [](bool v) { return PyRef::steal(PyBool_FromLong(v)); };
    if (!put("n_nodes", size(s.n_nodes)) || !put("n_edges", size(s.n_edges)) ||
        !put("is_dag", flag(true)) || !put("is_rooted_tree", flag(s.is_rooted_tree)) ||
        !put("n_roots", size(s.n_roots)) || !put("n_leaves", size(s.n_leaves)) ||
        !put("max_depth", size(s.max_depth)) ||
        !put("recommended_method", PyRef::steal(new_str(s.recommended_method))) ||
        !put("estimated_dense_states",
             s.estimated_dense_states
                 ? PyRef::steal(PyLong_FromUnsignedLongLong(*s.estimated_dense_states))
                 : PyRef::borrow(Py_None))) {
      return nullptr;
    }
    return dict.release();
  });
}

namespace {

// Shared body of the two hull queries: names -> ids -> hull -> sorted names.
PyObject* hull_query(PyObject* self, const Signature& sig, bool strong, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[1];
  if (!bind_args(sig, args, nargs, kwnames, slots)) return nullptr;
  auto names = arg_str_seq(sig, 0, slots[0]);
  if (!names) return nullptr;
  auto b = Borrow::shared(self_of(self)->flag);
  if (!b) return nullptr;
  const Dag& dag = self_of(self)->dag;
  auto ids = lookup_nodes(dag, names->items);
  if (!ids) return nullptr;
  Result<NodeSet> hull = [&] {
    if (strong) return strong_d_convex_hull(dag, *ids);
    NodeSet set(dag.size());
    for (NodeId id : *ids) set.insert(id);
    return d_convex_closure(dag, std::move(set));
  }();
  if (!hull) return py_err(hull.error());
  return sorted_names(dag, hull->members());
}

}  // namespace

PyObject* dag_d_convex_hull(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&] { return hull_query(self, kDConvexHull, false, args, nargs, kwnames); });
}

PyObject* dag_strong_d_convex_hull(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&] { return hull_query(self, kStrongDConvexHull, true, args, nargs, kwnames); });
}

}  // namespace velmora::py
