#include "explainer.hpp"

#include <array>

#include "causal_dag.hpp"
#include "value_function.hpp"

namespace velmora::py {

namespace {

PyASVExplainer* self_of(PyObject* self) { return reinterpret_cast<PyASVExplainer*>(self); }

// ---- construction ----------------------------------------------------------------------

constexpr std::array<const char*, 1> kNewParams{"dag"};
constexpr Signature kNew{"ASVExplainer", kNewParams, 1};

PyObject* explainer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    // Lay the tuple and dict out as a fast call so that the one binder serves here too.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> argv(static_cast<std::size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i)
      argv[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    PyRef kwnames;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
      kwnames = PyRef::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
      if (!kwnames) return nullptr;
      Py_ssize_t pos = 0, k = 0;
      PyObject *key = nullptr, *value = nullptr;
      while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(kwnames.get(), k++, key);
        argv.push_back(value);
      }
    }
    PyObject* slots[1];
    if (!bind_args(kNew, argv.data(), nargs, kwnames.get(), slots)) return nullptr;
    PyCausalDAG* source = as_causal_dag(slots[0]);
    if (source == nullptr) {
      PyErr_Format(PyExc_TypeError, "ASVExplainer() argument 'dag' must be CausalDAG, not %s",
                   Py_TYPE(slots[0])->tp_name);
      return nullptr;
    }
    auto b = Borrow::shared(source->flag);
    if (!b) return nullptr;
    if (auto st = source->dag.validate(); !st) return py_err(st.error());
    // The explainer owns a copy: later edits of the CausalDAG never reach it.
    AsvExplainer core(source->dag);
    PyObject* obj = type->tp_alloc(type, 0);
    if (obj == nullptr) return nullptr;
    auto* self = self_of(obj);
    new (&self->flag) BorrowFlag();
    new (&self->core) AsvExplainer(std::move(core));
    return obj;
  });
}

void explainer_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  self_of(obj)->core.~AsvExplainer();
  type->tp_free(obj);
  Py_DECREF(type);
}

// ---- arguments and dispatch ------------------------------------------------------------

enum class Method { Auto, Approx, Exact, ExactTree, ExactDag, ExactDagSparse, UniformSparse };

std::optional<Method> parse_method(std::string_view m) {
  if (m == "auto") return Method::Auto;
  if (m == "approx") return Method::Approx;
  if (m == "exact") return Method::Exact;
  if (m == "exact_tree") return Method::ExactTree;
  if (m == "exact_dag") return Method::ExactDag;
  if (m == "exact_dag_sparse") return Method::ExactDagSparse;
  if (m == "uniform_sparse") return Method::UniformSparse;
  return std::nullopt;
}

constexpr std::array<const char*, 8> kExplainParams{"value_fn", "method",         "n_samples",
                                                    "seed",     "value_fn_batch", "batch_size",
                                                    "parallel", "num_threads"};
constexpr Signature kExplain{"explain", kExplainParams, 0};
constexpr Signature kExplainDiagnostics{"explain_with_diagnostics", kExplainParams, 0};

// The converted arguments of explain / explain_with_diagnostics.
struct ExplainArgs {
  PyObject* value_fn = nullptr;        // borrowed; nullptr when absent
  PyObject* value_fn_batch = nullptr;  // borrowed; nullptr when absent
  PyObject* method_obj = nullptr;      // borrowed; nullptr for the default
  std::string_view method = "auto";
  std::uint64_t n_samples = 10000;
  std::optional<std::uint64_t> seed;
  std::uint64_t batch_size = 256;
  bool parallel = false;
  std::optional<std::uint64_t> num_threads;
};

// Binds and converts everything before anything runs; nullopt with the exception set.
std::optional<ExplainArgs> bind_explain(const Signature& sig, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* slots[8];
  if (!bind_args(sig, args, nargs, kwnames, slots)) return std::nullopt;
  ExplainArgs a;
  if (!is_absent(slots[0])) a.value_fn = slots[0];
  if (slots[1] != nullptr) {
    auto m = arg_str(sig, 1, slots[1]);
    if (!m) return std::nullopt;
    a.method = *m;
    a.method_obj = slots[1];
  }
  if (slots[2] != nullptr) {
    auto v = arg_u64(sig, 2, slots[2]);
    if (!v) return std::nullopt;
    a.n_samples = *v;
  }
  if (!is_absent(slots[3])) {
    a.seed = arg_u64(sig, 3, slots[3]);
    if (!a.seed) return std::nullopt;
  }
  if (!is_absent(slots[4])) a.value_fn_batch = slots[4];
  if (slots[5] != nullptr) {
    auto v = arg_u64(sig, 5, slots[5]);
    if (!v) return std::nullopt;
    a.batch_size = *v;
  }
  if (slots[6] != nullptr) {
    auto v = arg_bool(sig, 6, slots[6]);
    if (!v) return std::nullopt;
    a.parallel = *v;
  }
  if (!is_absent(slots[7])) {
    a.num_threads = arg_u64(sig, 7, slots[7]);
    if (!a.num_threads) return std::nullopt;
  }
  return a;
}

// Method dispatch of the single path. Every name reaches its entry point, so an entry point
// that lands later needs no change here.
Result<AsvResult> run(const AsvExplainer& core, Method method, ValueFunction f,
                      const SamplingConfig& config) {
  switch (method) {
    case Method::Auto:
      return core.auto_select(std::move(f), config);
    case Method::Approx:
      return core.approximate(std::move(f), config);
    case Method::Exact:
      return core.exact(std::move(f));
    case Method::ExactTree:
      return core.exact_tree(std::move(f));
    case Method::ExactDag:
      return core.exact_dag(std::move(f));
    case Method::ExactDagSparse:
      return core.exact_dag_sparse(std::move(f));
    case Method::UniformSparse:
      return core.approximate_uniform_sparse(std::move(f), config);
  }
  return std::unexpected(VelmoraError::invalid_config("unknown method"));
}

// One finished computation together with the per-call name objects used for its keys.
struct Explained {
  PyCallTarget target;
  AsvResult result;
};

// The common part of both methods: picks the path, runs it, raises on failure.
std::optional<Explained> compute(const AsvExplainer& core, const ExplainArgs& a) {
  const auto& names = core.dag().names();
  if (a.value_fn_batch != nullptr) {
    // Batched path: sampling only, with the lock held throughout.
    if (a.method != "auto" && a.method != "approx") {
      value_error("value_fn_batch is only supported for method='approx' or 'auto'");
      return std::nullopt;
    }
    auto target = PyCallTarget::make(a.value_fn_batch, names);
    if (!target) return std::nullopt;
    SamplingConfig config;
    config.n_samples = a.n_samples;
    config.seed = a.seed;
    config.batch_size = a.batch_size;
    auto r = core.approximate_batched(python_batch_value_function(*target), config);
    if (!r) {
      if (!target->raise_interrupt()) py_err(r.error());
      return std::nullopt;
    }
    return Explained{std::move(*target), std::move(*r)};
  }
  if (a.value_fn == nullptr) {
    value_error("must provide either value_fn or value_fn_batch");
    return std::nullopt;
  }
  const auto method = parse_method(a.method);
  if (!method) {
    value_error("unknown method '" + std::string(a.method) +
                "': use 'auto', 'approx', 'exact', 'exact_tree', 'exact_dag', "
                "'exact_dag_sparse', or 'uniform_sparse'");
    return std::nullopt;
  }
  auto target = PyCallTarget::make(a.value_fn, names);
  if (!target) return std::nullopt;
  SamplingConfig config;
  config.n_samples = a.n_samples;
  config.seed = a.seed;
  config.parallel = a.parallel;
  config.num_threads = a.num_threads;
  ValueFunction f = python_value_function(*target);
  Result<AsvResult> r = [&] {
    // Native work runs without the lock; each evaluation takes it for one Python call.
    GilRelease release;
    return run(core, *method, std::move(f), config);
  }();
  if (!r) {
    if (!target->raise_interrupt()) py_err(r.error());
    return std::nullopt;
  }
  return Explained{std::move(*target), std::move(*r)};
}

// ---- results ---------------------------------------------------------------------------

// name -> value for every node, inserted in ascending NodeId order.
PyObject* values_map(const Explained& e) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const auto& values = e.result.values;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyRef v = PyRef::steal(PyFloat_FromDouble(values[i]));
    if (!v || PyDict_SetItem(dict.get(), e.target.name(NodeId(i)), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* none() { Py_RETURN_NONE; }
PyObject* opt_float(const std::optional<double>& v) { return v ? PyFloat_FromDouble(*v) : none(); }
PyObject* opt_u64(const std::optional<std::uint64_t>& v) {
  return v ? PyLong_FromUnsignedLongLong(*v) : none();
}
PyObject* opt_str(const std::optional<std::string>& v) { return v ? new_str(*v) : none(); }
PyObject* method_arg(const ExplainArgs& a) {
  if (a.method_obj == nullptr) return new_str(a.method);
  Py_INCREF(a.method_obj);
  return a.method_obj;
}

PyObject* diagnostics(const Explained& e, const ExplainArgs& a) {
  const AsvResult& r = e.result;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  std::optional<double> ess_ratio;
  if (r.ess) ess_ratio = *r.ess / static_cast<double>(r.n_samples);
  std::optional<std::uint64_t> n_order_ideals;
  if (r.n_order_ideals) n_order_ideals = *r.n_order_ideals;
  const std::pair<const char*, PyObject*> items[] = {
      {"values", values_map(e)},
      {"ess", opt_float(r.ess)},
      {"ess_ratio", opt_float(ess_ratio)},
      {"n_samples", PyLong_FromSize_t(r.n_samples)},
      {"seed", opt_u64(r.seed)},
      {"is_exact", PyBool_FromLong(r.is_exact)},
      {"method", method_arg(a)},
      {"parallel", PyBool_FromLong(a.parallel)},
      {"num_threads", opt_u64(a.num_threads)},
      {"deterministic", PyBool_FromLong(a.parallel && a.seed.has_value())},
      {"n_order_ideals", opt_u64(n_order_ideals)},
      {"state_ratio", opt_float(r.state_ratio)},
      {"memory_mb", opt_float(r.memory_mb)},
      {"fallback_from", opt_str(r.fallback_from)},
      {"fallback_reason", opt_str(r.fallback_reason)},
      {"selected_method", r.selected_method ? new_str(*r.selected_method) : method_arg(a)},
  };
  // Own every value first so that none leaks when one of them failed.
  std::array<PyRef, std::size(items)> owned;
  for (std::size_t i = 0; i < owned.size(); ++i) owned[i] = PyRef::steal(items[i].second);
  for (std::size_t i = 0; i < owned.size(); ++i) {
    if (!owned[i] || PyDict_SetItemString(dict.get(), items[i].first, owned[i].get()) < 0) {
      return nullptr;
    }
  }
  return dict.release();
}

// ---- methods ---------------------------------------------------------------------------

PyObject* explain(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto a = bind_explain(kExplain, args, nargs, kwnames);
    if (!a) return nullptr;
    auto b = Borrow::shared(self_of(self)->flag);
    if (!b) return nullptr;
    auto e = compute(self_of(self)->core, *a);
    if (!e) return nullptr;
    return values_map(*e);
  });
}

PyObject* explain_with_diagnostics(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    auto a = bind_explain(kExplainDiagnostics, args, nargs, kwnames);
    if (!a) return nullptr;
    auto b = Borrow::shared(self_of(self)->flag);
    if (!b) return nullptr;
    auto e = compute(self_of(self)->core, *a);
    if (!e) return nullptr;
    return diagnostics(*e, *a);
  });
}

#define VELMORA_EXPLAIN_SIGNATURE                                                             \
  "($self, value_fn=None, method=\"auto\", n_samples=10000, seed=None, value_fn_batch=None, " \
  "batch_size=256, parallel=False, num_threads=None)\n--\n\n"
#define VELMORA_BATCH_HINT \
  "Pass `value_fn_batch` to amortize Python GIL overhead over `batch_size` samples per call."

PyMethodDef kMethods[] = {
    {"explain", VELMORA_FASTCALL(explain), METH_FASTCALL | METH_KEYWORDS,
     "explain" VELMORA_EXPLAIN_SIGNATURE "Compute ASV values.\n"
     "\n"
     "Returns a `dict[str, float]` mapping node name to its ASV value.\n" VELMORA_BATCH_HINT "\n"
     "Set `parallel=True` with a `seed` for deterministic parallel sampling."},
    {"explain_with_diagnostics", VELMORA_FASTCALL(explain_with_diagnostics),
     METH_FASTCALL | METH_KEYWORDS,
     "explain_with_diagnostics" VELMORA_EXPLAIN_SIGNATURE "Compute ASV values with diagnostics.\n"
     "\n"
     "Returns a dict with keys:\n"
     "  - `\"values\"`: dict[str, float] \xe2\x80\x94 ASV per node\n"
     "  - `\"ess\"`: float | None \xe2\x80\x94 effective sample size (approx only)\n"
     "  - `\"n_samples\"`: int \xe2\x80\x94 orderings used\n"
     "  - `\"is_exact\"`: bool\n"
     "  - `\"parallel\"`: bool \xe2\x80\x94 whether parallel sampling was used\n"
     "  - `\"num_threads\"`: int | None \xe2\x80\x94 worker count for seeded parallel\n"
     "  - `\"deterministic\"`: bool \xe2\x80\x94 True when seed + parallel \xe2\x86\x92 "
     "per-worker seeds\n"
     "\n" VELMORA_BATCH_HINT},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("ASVExplainer(dag)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(explainer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(explainer_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec{
    "velmora.ASVExplainer",
    sizeof(PyASVExplainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

int register_asv_explainer(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &kSpec, nullptr);
  if (type == nullptr) return -1;
  const int rc = PyModule_AddObjectRef(module, "ASVExplainer", type);
  Py_DECREF(type);
  return rc;
}

}  // namespace velmora::py
