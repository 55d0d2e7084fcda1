// Test-only extension (never installed): raises panics through the module's
// own trampoline so the tests can see how a broken invariant reaches Python.
#include "src/boundary.h"
#include "src/fullmap/boundary.h"

namespace {

PyObject* panic_with_message(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const rs::Signature sig{"panic_with_message", {"message"}, 1};
  rs::BoundArgs a;
  if (!rs::bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string message;
  if (!rs::convert("message", [&] { return rs::to_text(a[0], &message); })) return nullptr;
  storage::panic(message);
}

PyObject* panic_without_message(PyObject*, PyObject*) { throw 42; }

// Panics on a body that runs with the interpreter lock released.
PyObject* panic_without_lock(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const rs::Signature sig{"panic_without_lock", {"message"}, 1};
  rs::BoundArgs a;
  if (!rs::bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string message;
  if (!rs::convert("message", [&] { return rs::to_text(a[0], &message); })) return nullptr;
  rs::without_interpreter_lock([&] { storage::panic(message); });
  Py_RETURN_NONE;
}

// Raises the fullmap error of an operating-system error number, made while
// the lock is released.
PyObject* raise_os_error(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const rs::Signature sig{"raise_os_error", {"errno"}, 1};
  rs::BoundArgs a;
  if (!rs::bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  uint32_t code = 0;
  if (!rs::convert("errno", [&] { return rs::to_u32(a[0], &code); })) return nullptr;
  rs::fullmap::PendingError error = rs::without_interpreter_lock([&] {
    return rs::fullmap::py_err(storage::IoError::from_errno(static_cast<int>(code)));
  });
  return rs::fullmap::raise_pending(error);
}

// Panics in a task of the build's pool, run as the build runs it.
PyObject* panic_on_pool(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const rs::Signature sig{"panic_on_pool", {"message"}, 1};
  rs::BoundArgs a;
  if (!rs::bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string message;
  if (!rs::convert("message", [&] { return rs::to_text(a[0], &message); })) return nullptr;
  auto done = rs::fullmap::run_pool_unlocked(
      2, [message]() -> storage::Result<void, rs::fullmap::PendingError> {
        storage::panic(message);
      });
  if (!rs::fullmap::ok_or_raise(done)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* assert_fails(PyObject*, PyObject*) {
  STORAGE_ASSERT(sizeof(int) == 0);
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"panic_with_message", rs::as_pycfunction(rs::fast_entry<panic_with_message>),
     METH_FASTCALL | METH_KEYWORDS, "panic_with_message(message)\n--\n\n"},
    {"panic_without_message", rs::as_pycfunction(rs::noargs_entry<panic_without_message>),
     METH_NOARGS, "panic_without_message()\n--\n\n"},
    {"panic_without_lock", rs::as_pycfunction(rs::fast_entry<panic_without_lock>),
     METH_FASTCALL | METH_KEYWORDS, "panic_without_lock(message)\n--\n\n"},
    {"raise_os_error", rs::as_pycfunction(rs::fast_entry<raise_os_error>),
     METH_FASTCALL | METH_KEYWORDS, "raise_os_error(errno)\n--\n\n"},
    {"panic_on_pool", rs::as_pycfunction(rs::fast_entry<panic_on_pool>),
     METH_FASTCALL | METH_KEYWORDS, "panic_on_pool(message)\n--\n\n"},
    {"assert_fails", rs::as_pycfunction(rs::noargs_entry<assert_fails>), METH_NOARGS,
     "assert_fails()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "rs_panic_probe", "", 0, kMethods};

}  // namespace

PyMODINIT_FUNC PyInit_rs_panic_probe(void) { return PyModuleDef_Init(&kModule); }
