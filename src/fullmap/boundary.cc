#include "src/fullmap/boundary.h"

namespace rs::fullmap {

PyObject* raise_pending(const PendingError& error) {
  if (error.kind() == PendingError::Kind::kValueError) return raise_value_error(error.message());
  return raise_runtime_error(error.message());
}

PythonProgress::PythonProgress(PyObject* callable) : callable_(Py_NewRef(callable)) {}

PythonProgress::~PythonProgress() {
  PyGILState_STATE state = PyGILState_Ensure();
  Py_DECREF(callable_);
  PyGILState_Release(state);
}

void PythonProgress::call(int32_t kind, uint64_t done, uint64_t total,
                          std::string_view message) noexcept {
  PyGILState_STATE state = PyGILState_Ensure();
  PyObject* args[4] = {
      PyLong_FromLong(kind),
      PyLong_FromUnsignedLongLong(done),
      PyLong_FromUnsignedLongLong(total),
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"),
  };
  bool built = true;
  for (PyObject* a : args) built = built && a != nullptr;
  if (built) {
    PyObject* result = PyObject_Vectorcall(callable_, args, 4, nullptr);
    Py_XDECREF(result);
  }
  for (PyObject* a : args) Py_XDECREF(a);
  // A report never changes the build: whatever it raised is dropped.
  if (PyErr_Occurred() != nullptr) PyErr_Clear();
  PyGILState_Release(state);
}

storage::Result<void, PendingError> run_pool_unlocked(size_t workers, PoolBody body) {
  PoolOutcome outcome =
      without_interpreter_lock([&] { return run_on_pool(workers, std::move(body)); });
  if (outcome.escaped) std::rethrow_exception(outcome.escaped);
  return std::move(outcome.result);
}

}  // namespace rs::fullmap
