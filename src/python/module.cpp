// Module entry: multi-phase initialisation; the one execution step registers the classes.
#include "binding.hpp"
#include "causal_dag.hpp"
#include "explainer.hpp"

namespace velmora::py {
namespace {

int exec_module(PyObject* module) {
  if (init_internal_fault() < 0) return -1;
  // Classes in their published order; a failure stops here and fails the import.
  if (register_causal_dag(module) < 0) return -1;
  if (register_asv_explainer(module) < 0) return -1;
  return 0;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "velmora",
    "Asymmetric Shapley Values over causal DAGs.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmora::py

PyMODINIT_FUNC PyInit_velmora(void) { return PyModuleDef_Init(&velmora::py::kModule); }
