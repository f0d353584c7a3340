// The CausalDAG class.
#pragma once

#include "../graph.hpp"
#include "binding.hpp"

namespace velmora::py {

struct PyCausalDAG {
  PyObject_HEAD
  BorrowFlag flag;
  Dag dag;
};

int register_causal_dag(PyObject* module);
PyTypeObject* causal_dag_type();
// The CausalDAG behind `o`, or nullptr when `o` is not one (no exception set).
PyCausalDAG* as_causal_dag(PyObject* o);
// A new CausalDAG that owns `dag`.
PyObject* wrap_dag(Dag dag);

// Name lookups that raise ValueError "unknown node: {name}".
std::optional<NodeId> lookup_node(const Dag& dag, std::string_view name);
std::optional<std::vector<NodeId>> lookup_nodes(const Dag& dag,
                                                std::span<const std::string_view> names);
// Names of `ids`, sorted by code point, as a list.
PyObject* sorted_names(const Dag& dag, std::span<const NodeId> ids);

}  // namespace velmora::py
