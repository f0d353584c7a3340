// The binding layer's shared pieces: owned references, one argument binder with typed
// converters, the per-object access flag, and the mapping of failures to exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../error.hpp"

namespace velmora::py {

// Owned reference to a Python object; released on every path.
class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* o) { return PyRef(o); }
  static PyRef borrow(PyObject* o) {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) : p_(o) {}
  PyObject* p_ = nullptr;
};

// ---- argument binding ------------------------------------------------------------------

// Parameters of one method: the first `required` have no default.
struct Signature {
  const char* method;
  std::span<const char* const> params;
  std::size_t required;
};

// Binds METH_FASTCALL | METH_KEYWORDS arguments to `slots` (borrowed; nullptr when not
// given). On failure sets TypeError in the interpreter's own wording and returns false.
bool bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject** slots);

// Converters: each sets a TypeError or OverflowError naming the parameter and returns
// nullopt (or false) on failure. `index` is the parameter's position in the signature.
std::optional<std::string_view> arg_str(const Signature& sig, std::size_t index, PyObject* o);

// A sequence of str (never a bare str); the views live as long as `holder`.
struct StrSeq {
  PyRef holder;
  std::vector<std::string_view> items;
};
std::optional<StrSeq> arg_str_seq(const Signature& sig, std::size_t index, PyObject* o);

// A sequence (never a bare str) of 2-tuples of str; a tuple of another length is a
// ValueError "expected tuple of length 2, but got tuple of length {}". The views live as long
// as `holder`.
struct StrPairSeq {
  PyRef holder;
  std::vector<std::pair<std::string_view, std::string_view>> items;
};
std::optional<StrPairSeq> arg_str_pair_seq(const Signature& sig, std::size_t index, PyObject* o);

// Non-negative integer through __index__; OverflowError for negatives and values > 2^64-1.
std::optional<std::uint64_t> arg_u64(const Signature& sig, std::size_t index, PyObject* o);
std::optional<double> arg_f64(const Signature& sig, std::size_t index, PyObject* o);
std::optional<bool> arg_bool(const Signature& sig, std::size_t index, PyObject* o);

// True when the parameter was left out or given as None.
inline bool is_absent(PyObject* o) { return o == nullptr || o == Py_None; }

// ---- per-object access flag ------------------------------------------------------------

// Any number of shared borrows or one exclusive borrow. Only touched with the interpreter
// lock held.
struct BorrowFlag {
  Py_ssize_t state = 0;  // > 0: shared borrows, -1: exclusive
};

class Borrow {
 public:
  // Sets RuntimeError and returns nullopt when the access conflicts.
  static std::optional<Borrow> shared(BorrowFlag& flag);
  static std::optional<Borrow> exclusive(BorrowFlag& flag);
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  ~Borrow();

 private:
  explicit Borrow(BorrowFlag* flag) : flag_(flag) {}
  BorrowFlag* flag_;
};

// ---- failures --------------------------------------------------------------------------

// Raises a core failure as ValueError with its message; returns nullptr for `return py_err(e)`.
PyObject* py_err(const VelmoraError& error);
// Raises ValueError with a fixed text.
PyObject* value_error(std::string_view text);
// The exception raised for internal faults: a BaseException subclass, not an Exception.
PyObject* internal_fault_type();
int init_internal_fault();

// Interpreters before 3.14 end every thread but the finalizing one that asks for the lock
// once shutdown has begun, by a forced unwind that the worker pool's frames and every
// noexcept frame turn into an abort of the whole process. Such a thread is parked for good
// instead, as newer interpreters do themselves; the process is about to end.
[[noreturn]] void park_thread_forever();

// Runs a method body; a C++ exception that escapes becomes MemoryError or the internal
// fault, never crossing into the interpreter. A length_error is a request for more than a
// container can ever hold (sizes come from arguments such as batch_size), so it is a
// MemoryError like a failed allocation.
template <typename F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    park_thread_forever();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(internal_fault_type(), e.what());
  } catch (...) {
    PyErr_SetString(internal_fault_type(), "unknown internal fault");
  }
  return nullptr;
}

// ---- results ---------------------------------------------------------------------------

PyObject* new_str(std::string_view s);
// list[str] of `names` in the given order.
PyObject* str_list(std::span<const std::string* const> names);
// list[str] of `names` sorted by code point (byte-wise UTF-8 order).
PyObject* sorted_str_list(std::vector<const std::string*> names);

}  // namespace velmora::py

// Method table helper: the cast every fast-call method with keywords needs.
#define VELMORA_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
