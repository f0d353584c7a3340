#include "value_function.hpp"

#include <cstring>

namespace velmora::py {

namespace {

// With the lock held: `r` as a double, or the conversion's failure.
Result<double> to_double(const PyCallTarget& t, PyObject* r) {
  if (PyFloat_CheckExact(r)) return PyFloat_AS_DOUBLE(r);
  const double v = PyFloat_AsDouble(r);
  if (v == -1.0 && PyErr_Occurred()) return std::unexpected(fetch_value_function_error(t));
  return v;
}

// With the lock held: a new list of the names of `ids`, sharing the per-call str objects.
PyObject* names_list(const PyCallTarget& t, std::span<const NodeId> ids) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(ids.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* s = t.name(ids[i]);
    Py_INCREF(s);
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), s);
  }
  // A list of str objects cannot be part of a reference cycle, so the cyclic collector
  // need not track it while the callable runs (track_if_kept restores it for lists the
  // callable keeps); batches build tens of thousands of these at a time.
  PyObject_GC_UnTrack(list);
  return list;
}

// With the lock held, after the call: a list that the callable kept a reference to goes
// back under the cyclic collector, which must see any cycle the callable ties it into.
// `ours` counts the references this adapter still holds.
void track_if_kept(PyObject* list, Py_ssize_t ours) {
  if (Py_REFCNT(list) > ours && !PyObject_GC_IsTracked(list)) PyObject_GC_Track(list);
}

// With the lock held: calls the target with one positional argument. The spare slot in
// front of the argument lets a bound method prepend `self` without building a tuple.
PyObject* call_one(const PyCallTarget& t, PyObject* arg) {
  PyObject* argv[2] = {nullptr, arg};
  try {
    return PyObject_Vectorcall(t.callable(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  } catch (abi::__forced_unwind&) {
    // Shutdown ended this thread inside the callable: park it before any of the adapter's
    // references is dropped without the lock.
    park_thread_forever();
  }
}

// Refusal of an evaluation that would have to wait for the lock during shutdown: a pool
// thread cannot be parked there, since the finalizing thread may be waiting for its work.
std::optional<VelmoraError> refuse_during_shutdown(const PyCallTarget& t) {
  if (t.may_take_lock()) return std::nullopt;
  return VelmoraError::value_function_failed("the interpreter is shutting down");
}

Result<double> evaluate(const PyCallTarget& t, std::span<const NodeId> coalition) {
  if (auto refused = refuse_during_shutdown(t)) return std::unexpected(std::move(*refused));
  GilHold hold;
  PyRef list = PyRef::steal(names_list(t, coalition));
  if (!list) return std::unexpected(fetch_value_function_error(t));
  PyRef r = PyRef::steal(call_one(t, list.get()));
  track_if_kept(list.get(), 1);
  if (!r) return std::unexpected(fetch_value_function_error(t));
  return to_double(t, r.get());
}

// With the lock held: a contiguous one-dimensional buffer of doubles (a float64 array) is
// read directly; nullopt (no exception pending) when `r` offers no such buffer.
std::optional<std::vector<double>> read_double_buffer(PyObject* r) {
  if (!PyObject_CheckBuffer(r)) return std::nullopt;
  Py_buffer view;
  if (PyObject_GetBuffer(r, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  std::optional<std::vector<double>> out;
  const char* fmt = view.format;
  if (fmt != nullptr && (*fmt == '@' || *fmt == '=' || *fmt == '<')) ++fmt;
  if (view.ndim == 1 && view.itemsize == sizeof(double) && fmt != nullptr &&
      std::strcmp(fmt, "d") == 0) {
    out.emplace(static_cast<std::size_t>(view.shape[0]));
    if (!out->empty()) std::memcpy(out->data(), view.buf, out->size() * sizeof(double));
  }
  PyBuffer_Release(&view);
  return out;
}

Result<std::vector<double>> evaluate_batch(const PyCallTarget& t,
                                           std::span<const Coalition> batch) {
  if (auto refused = refuse_during_shutdown(t)) return std::unexpected(std::move(*refused));
  GilHold hold;
  PyRef outer = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(batch.size())));
  if (!outer) return std::unexpected(fetch_value_function_error(t));
  // Own references to the inner lists as well: the callable may take them out of the outer
  // one and keep them elsewhere.
  std::vector<PyRef> inners;
  inners.reserve(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    PyObject* inner = names_list(t, batch[i]);
    if (inner == nullptr) return std::unexpected(fetch_value_function_error(t));
    PyList_SET_ITEM(outer.get(), static_cast<Py_ssize_t>(i), inner);
    inners.push_back(PyRef::borrow(inner));
  }
  PyRef r = PyRef::steal(call_one(t, outer.get()));
  // A kept outer list keeps every inner one reachable; otherwise dropping it first leaves
  // only the references of whoever kept an inner list.
  const Py_ssize_t ours = Py_REFCNT(outer.get()) > 1 ? 0 : 1;
  outer = PyRef();
  for (const PyRef& inner : inners) track_if_kept(inner.get(), ours);
  if (!r) return std::unexpected(fetch_value_function_error(t));
  // A string is a sequence of characters, never one of numbers.
  if (PyUnicode_Check(r.get())) {
    PyErr_SetString(PyExc_TypeError,
                    "value_fn_batch returned a str; a string cannot be taken as a sequence "
                    "of numbers");
    return std::unexpected(fetch_value_function_error(t));
  }
  if (!PySequence_Check(r.get())) {
    PyErr_Format(PyExc_TypeError, "value_fn_batch must return a sequence of numbers, not %s",
                 Py_TYPE(r.get())->tp_name);
    return std::unexpected(fetch_value_function_error(t));
  }
  if (auto direct = read_double_buffer(r.get())) return std::move(*direct);
  PyRef items = PyRef::steal(PySequence_Fast(r.get(), "value_fn_batch result is not iterable"));
  if (!items) return std::unexpected(fetch_value_function_error(t));
  // For a list `items` is that very list, and an item's __float__ may change or empty it:
  // the size is read afresh and each item is held while it converts.
  std::vector<double> out;
  out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
    auto v = to_double(t, item.get());
    if (!v) return std::unexpected(std::move(v.error()));
    out.push_back(*v);
  }
  return out;
}

// UTF-8 text of a str object, or nullopt (exception cleared) when it has none. Lone
// surrogates (file names decoded by os.fsdecode, say) are written as \udcxx escapes
// rather than losing the whole text.
std::optional<std::string> utf8_of(PyObject* s) {
  if (s == nullptr) return std::nullopt;
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(s, &size)) {
    return std::string(data, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  PyRef escaped = PyRef::steal(PyUnicode_AsEncodedString(s, "utf-8", "backslashreplace"));
  if (!escaped) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(PyBytes_AS_STRING(escaped.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(escaped.get())));
}

}  // namespace

bool interpreter_closing() {
  // Py_IsInitialized turns false as shutdown begins and stays false after it.
#if PY_VERSION_HEX >= 0x030D0000
  return !Py_IsInitialized() || Py_IsFinalizing();
#else
  return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

GilHold::GilHold() {
  // A thread that was already waiting for the lock when shutdown began is ended inside
  // Ensure; the unwind stops here, before any frame of the core or the pool.
  try {
    if (PyGILState_GetThisThreadState() == nullptr) {
      // The outer hold is never released: it keeps this thread's state alive, and the lock
      // is given back at once. Interpreter shutdown clears such states with all others.
      (void)PyGILState_Ensure();
      (void)PyEval_SaveThread();
    }
    state_ = PyGILState_Ensure();
  } catch (abi::__forced_unwind&) {
    park_thread_forever();
  }
}

std::optional<PyCallTarget> PyCallTarget::make(PyObject* callable,
                                               std::span<const std::string> names) {
  PyCallTarget t;
  t.callable_ = PyRef::borrow(callable);
  t.caller_thread_ = PyThread_get_thread_ident();
  t.caller_finalizing_ = interpreter_closing();
  t.names_.reserve(names.size());
  for (const std::string& name : names) {
    PyRef s = PyRef::steal(new_str(name));
    if (!s) return std::nullopt;
    t.names_.push_back(std::move(s));
  }
  return t;
}

ValueFunction python_value_function(const PyCallTarget& target) {
  return [t = &target](std::span<const NodeId> coalition) { return evaluate(*t, coalition); };
}

BatchValueFunction python_batch_value_function(const PyCallTarget& target) {
  return [t = &target](std::span<const Coalition> batch) { return evaluate_batch(*t, batch); };
}

VelmoraError fetch_value_function_error(const PyCallTarget& t) {
#if PY_VERSION_HEX >= 0x030C0000
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type);
  PyRef traceback_ref = PyRef::steal(traceback);
  PyRef exc = PyRef::steal(value);
#endif
  if (!exc) return VelmoraError::value_function_failed("<unknown error>");
  // Ctrl-C and sys.exit() inside a value function stop the computation like any failure,
  // but the caller gets them back as themselves rather than as a ValueError.
  if (!t.interrupt_ && (PyErr_GivenExceptionMatches(exc.get(), PyExc_KeyboardInterrupt) ||
                        PyErr_GivenExceptionMatches(exc.get(), PyExc_SystemExit))) {
    t.interrupt_ = PyRef::borrow(exc.get());
  }
  PyTypeObject* exc_type = Py_TYPE(exc.get());
  PyRef qualname = PyRef::steal(PyType_GetQualName(exc_type));
  std::string text = utf8_of(qualname.get()).value_or(exc_type->tp_name);
  text += ": ";
  PyRef str = PyRef::steal(PyObject_Str(exc.get()));
  if (!str) PyErr_Clear();
  text += utf8_of(str.get()).value_or("<exception str() failed>");
  return VelmoraError::value_function_failed(std::move(text));
}

bool PyCallTarget::may_take_lock() const {
  // No thread but the finalizing one holds the lock during shutdown, and PyGILState_Check
  // answers yes for every thread once shutdown is over, so it cannot help here.
  if (!interpreter_closing()) return true;
  return caller_finalizing_ && PyThread_get_thread_ident() == caller_thread_;
}

bool PyCallTarget::raise_interrupt() const {
  if (!interrupt_) return false;
  PyObject* exc = interrupt_.get();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), Py_NewRef(exc),
                PyException_GetTraceback(exc));
  interrupt_ = PyRef();
  return true;
}

}  // namespace velmora::py
