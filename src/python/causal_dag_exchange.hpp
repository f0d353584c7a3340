// CausalDAG methods that move graphs in and out and summarise them; the method table in
// causal_dag.cpp lists them.
#pragma once

#include "binding.hpp"

namespace velmora::py {

// Static constructors (no instance).
PyObject* dag_from_networkx(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dag_from_edges(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* dag_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Instance methods.
PyObject* dag_to_json(PyObject* self, PyObject*);
PyObject* dag_to_dot(PyObject* self, PyObject*);
PyObject* dag_topological_layers(PyObject* self, PyObject*);
PyObject* dag_inspect(PyObject* self, PyObject*);
PyObject* dag_d_convex_hull(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* dag_strong_d_convex_hull(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);

}  // namespace velmora::py
