#include "binding.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace velmora::py {

namespace {

PyObject* g_internal_fault = nullptr;

const char* plural(std::size_t n) { return n == 1 ? "" : "s"; }

// Index of keyword `key` among the parameters, or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

}  // namespace

bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots) {
  const std::size_t max = sig.params.size();
  const auto given = static_cast<std::size_t>(nargs);
  if (given > max) {
    PyErr_Format(PyExc_TypeError, "%s() takes %s %zu positional argument%s (%zd given)", sig.method,
                 sig.required == max ? "exactly" : "at most", max, plural(max), nargs);
    return false;
  }
  for (std::size_t i = 0; i < max; ++i) slots[i] = i < given ? args[i] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      const Py_ssize_t i = find_param(sig, key);
      if (i < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.method,
                     key);
        return false;
      }
      if (slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                     sig.method, sig.params[i], i + 1);
        return false;
      }
      slots[i] = args[nargs + k];
    }
  }
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (slots[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", sig.method,
                   sig.params[i], i + 1);
      return false;
    }
  }
  return true;
}

namespace {

// UTF-8 view of a str object (cached inside it), or nullopt with the codec's error set.
std::optional<std::string_view> utf8_view(PyObject* s) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

// Items of a sequence argument, kept alive by `holder`. A bare string is a sequence too, but
// never one of names: it is refused like any non-sequence. `what` names the element type.
std::optional<std::span<PyObject* const>> sequence_items(const Signature& sig, std::size_t index,
                                                         PyObject* o, const char* what,
                                                         PyRef& holder) {
  if (PyUnicode_Check(o) || !PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a sequence of %s, not %s", sig.method,
                 sig.params[index], what, Py_TYPE(o)->tp_name);
    return std::nullopt;
  }
  holder = PyRef::steal(PySequence_Fast(o, "expected a sequence"));
  if (!holder) return std::nullopt;
  return std::span<PyObject* const>(
      PySequence_Fast_ITEMS(holder.get()),
      static_cast<std::size_t>(PySequence_Fast_GET_SIZE(holder.get())));
}

}  // namespace

std::optional<std::string_view> arg_str(const Signature& sig, std::size_t index, PyObject* o) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %s", sig.method,
                 sig.params[index], Py_TYPE(o)->tp_name);
    return std::nullopt;
  }
  return utf8_view(o);
}

std::optional<StrSeq> arg_str_seq(const Signature& sig, std::size_t index, PyObject* o) {
  StrSeq out;
  auto items = sequence_items(sig, index, o, "str", out.holder);
  if (!items) return std::nullopt;
  out.items.reserve(items->size());
  for (PyObject* item : *items) {
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' must contain only str, not %s", sig.method,
                   sig.params[index], Py_TYPE(item)->tp_name);
      return std::nullopt;
    }
    auto text = utf8_view(item);
    if (!text) return std::nullopt;
    out.items.push_back(*text);
  }
  return out;
}

std::optional<StrPairSeq> arg_str_pair_seq(const Signature& sig, std::size_t index, PyObject* o) {
  StrPairSeq out;
  auto items = sequence_items(sig, index, o, "(str, str) tuples", out.holder);
  if (!items) return std::nullopt;
  out.items.reserve(items->size());
  for (PyObject* item : *items) {
    if (!PyTuple_Check(item)) {
      PyErr_Format(PyExc_TypeError,
                   "%s() argument '%s' must contain only (str, str) tuples, not %s", sig.method,
                   sig.params[index], Py_TYPE(item)->tp_name);
      return std::nullopt;
    }
    if (PyTuple_GET_SIZE(item) != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                   PyTuple_GET_SIZE(item));
      return std::nullopt;
    }
    std::string_view ends[2];
    for (Py_ssize_t k = 0; k < 2; ++k) {
      PyObject* e = PyTuple_GET_ITEM(item, k);
      if (!PyUnicode_Check(e)) {
        PyErr_Format(PyExc_TypeError,
                     "%s() argument '%s' must contain only (str, str) tuples, not a tuple "
                     "holding %s",
                     sig.method, sig.params[index], Py_TYPE(e)->tp_name);
        return std::nullopt;
      }
      auto text = utf8_view(e);
      if (!text) return std::nullopt;
      ends[k] = *text;
    }
    out.items.emplace_back(ends[0], ends[1]);
  }
  return out;
}

std::optional<std::uint64_t> arg_u64(const Signature& sig, std::size_t index, PyObject* o) {
  if (!PyIndex_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %s", sig.method,
                 sig.params[index], Py_TYPE(o)->tp_name);
    return std::nullopt;
  }
  PyRef as_int = PyRef::steal(PyNumber_Index(o));
  if (!as_int) return std::nullopt;
  const unsigned long long v = PyLong_AsUnsignedLongLong(as_int.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::uint64_t>(v);
}

std::optional<double> arg_f64(const Signature& sig, std::size_t index, PyObject* o) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  const PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  if (nb == nullptr || (nb->nb_float == nullptr && nb->nb_index == nullptr)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a real number, not %s", sig.method,
                 sig.params[index], Py_TYPE(o)->tp_name);
    return std::nullopt;
  }
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return std::nullopt;
  return v;
}

std::optional<bool> arg_bool(const Signature& sig, std::size_t index, PyObject* o) {
  if (!PyBool_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be bool, not %s", sig.method,
                 sig.params[index], Py_TYPE(o)->tp_name);
    return std::nullopt;
  }
  return o == Py_True;
}

std::optional<Borrow> Borrow::shared(BorrowFlag& flag) {
  if (flag.state < 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return std::nullopt;
  }
  ++flag.state;
  return Borrow(&flag);
}

std::optional<Borrow> Borrow::exclusive(BorrowFlag& flag) {
  if (flag.state != 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return std::nullopt;
  }
  flag.state = -1;
  return Borrow(&flag);
}

Borrow::~Borrow() {
  if (flag_ == nullptr) return;
  if (flag_->state < 0) {
    flag_->state = 0;
  } else {
    --flag_->state;
  }
}

void park_thread_forever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

PyObject* py_err(const VelmoraError& error) { return value_error(error.message()); }

PyObject* value_error(std::string_view text) {
  PyRef msg =
      PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
  return nullptr;
}

int init_internal_fault() {
  if (g_internal_fault != nullptr) return 0;
  g_internal_fault = PyErr_NewExceptionWithDoc("velmora.InternalFault",
                                               "An internal fault of velmora escaped a method.",
                                               PyExc_BaseException, nullptr);
  return g_internal_fault == nullptr ? -1 : 0;
}

PyObject* internal_fault_type() {
  return g_internal_fault != nullptr ? g_internal_fault : PyExc_SystemError;
}

PyObject* new_str(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* str_list(std::span<const std::string* const> names) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* s = new_str(*names[i]);
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

PyObject* sorted_str_list(std::vector<const std::string*> names) {
  // std::string compares bytes as unsigned chars: UTF-8 byte order is code point order.
  std::sort(names.begin(), names.end(),
            [](const std::string* a, const std::string* b) { return *a < *b; });
  return str_list(names);
}

}  // namespace velmora::py
