// Python callables behind the core's value-function contracts.
#pragma once

#include "../coalition.hpp"
#include "binding.hpp"

namespace velmora::py {

// Whether interpreter shutdown has begun or is over; callable without the lock.
bool interpreter_closing();

// Holds the interpreter lock for its scope; nests when the thread already holds it. A pool
// thread that has never run Python gets one thread state that it keeps for its lifetime,
// instead of having one created and destroyed around every call.
class GilHold {
 public:
  GilHold();
  ~GilHold() {
    // Reached without the lock only by the unwind of a thread that shutdown ended while it
    // ran Python; releasing would corrupt the finalizing thread's hold.
    if (PyGILState_GetThisThreadState() == nullptr || !PyGILState_Check()) {
      park_thread_forever();
    }
    PyGILState_Release(state_);
  }
  GilHold(const GilHold&) = delete;
  GilHold& operator=(const GilHold&) = delete;

 private:
  PyGILState_STATE state_;
};

// Gives the interpreter lock up for its scope; the thread must hold it on entry.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() {
    try {
      PyEval_RestoreThread(state_);
    } catch (abi::__forced_unwind&) {
      park_thread_forever();
    }
  }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// What one explainer call hands to its value functions: the callable and one `str` per node,
// created once per call. Built and destroyed with the lock held, on the calling thread's
// stack; the std::function adapters only point at it, so copying or dropping them inside
// the core (without the lock) never touches a reference count.
class PyCallTarget {
 public:
  // `names[i]` is the name of NodeId i. Returns nullopt with an exception set on failure.
  static std::optional<PyCallTarget> make(PyObject* callable, std::span<const std::string> names);

  PyObject* callable() const { return callable_.get(); }
  PyObject* name(NodeId id) const { return names_[id.index()].get(); }
  const std::vector<PyRef>& names() const { return names_; }

  // With the lock held: when a value function was interrupted (KeyboardInterrupt or
  // SystemExit), sets that exception as the pending one and returns true.
  bool raise_interrupt() const;

  // Without the lock: whether the current thread may wait for the lock. Once shutdown has
  // begun only the finalizing thread gets it; that thread is the caller exactly when the
  // call itself began during shutdown.
  bool may_take_lock() const;

 private:
  friend VelmoraError fetch_value_function_error(const PyCallTarget& t);
  PyRef callable_;
  std::vector<PyRef> names_;
  // The first interrupt seen by any evaluation; written only with the lock held.
  mutable PyRef interrupt_;
  unsigned long caller_thread_ = 0;
  bool caller_finalizing_ = false;
};

// The single contract over `target` (one Python call per coalition, the lock taken for it).
// Safe to call from several threads at once: the lock serialises the Python part.
ValueFunction python_value_function(const PyCallTarget& target);
// The batched contract over `target` (one Python call per batch).
BatchValueFunction python_batch_value_function(const PyCallTarget& target);

// With the lock held: fetches and clears the pending exception and returns it as
// ValueFunctionFailed "QualifiedTypeName: str(exc)"; an interrupt is also kept on `t`.
VelmoraError fetch_value_function_error(const PyCallTarget& t);

}  // namespace velmora::py
