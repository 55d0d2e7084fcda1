// Test-only extension (never installed): raises panics through the module's
// own trampoline so the tests can see how a broken invariant reaches Python.
#include "src/boundary.h"

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

PyObject* assert_fails(PyObject*, PyObject*) {
  STORAGE_ASSERT(sizeof(int) == 0);
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"panic_with_message", rs::as_pycfunction(rs::fast_entry<panic_with_message>),
     METH_FASTCALL | METH_KEYWORDS, "panic_with_message(message)\n--\n\n"},
    {"panic_without_message", rs::as_pycfunction(rs::noargs_entry<panic_without_message>),
     METH_NOARGS, "panic_without_message()\n--\n\n"},
    {"assert_fails", rs::as_pycfunction(rs::noargs_entry<assert_fails>), METH_NOARGS,
     "assert_fails()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "rs_panic_probe", "", 0, kMethods};

}  // namespace

PyMODINIT_FUNC PyInit_rs_panic_probe(void) { return PyModuleDef_Init(&kModule); }
