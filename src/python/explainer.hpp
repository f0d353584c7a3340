// The ASVExplainer class: a validated private copy of a CausalDAG's graph and the methods
// that explain a value function over it.
#pragma once

#include "../asv.hpp"
#include "binding.hpp"

namespace velmora::py {

struct PyASVExplainer {
  PyObject_HEAD
  BorrowFlag flag;
  // Owns the graph copy; node names (the name table) are that copy's names, by NodeId.
  AsvExplainer core;
};

int register_asv_explainer(PyObject* module);

}  // namespace velmora::py
