// The interpreter boundary: argument binding and conversion by one shared table
// of conventions, and the trampoline that turns failures and panics into Python
// exceptions. Every function of the module goes through here.
//
// Thread safety: everything here runs on a thread that holds the interpreter
// lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/src/panic.h"

namespace rs {

// A function's parameters: names in order, the leading `required` of them
// without a default. None is positional-only or keyword-only.
struct Signature {
  const char* name;
  std::initializer_list<const char*> params;
  int required;
};

inline constexpr int kMaxParams = 8;

// The bound argument objects (borrowed; null where absent).
struct BoundArgs {
  PyObject* values[kMaxParams] = {};
  PyObject* operator[](int i) const { return values[i]; }
};

// Binds positional and keyword arguments to the signature's parameters. Returns
// false with a TypeError set on wrong arity, unknown or repeated keywords and
// missing required arguments.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs* out);

// Conversion kinds. Each returns false with the Python exception set; the
// caller attaches the parameter note through `convert`.
bool to_text(PyObject* obj, std::string* out);
bool to_bool(PyObject* obj, bool* out);
bool to_path(PyObject* obj, std::string* out);
bool to_u64(PyObject* obj, uint64_t* out);
bool to_u32(PyObject* obj, uint32_t* out);
bool to_text_list(PyObject* obj, std::vector<std::string>* out);
bool to_path_list(PyObject* obj, std::vector<std::string>* out);
bool to_u32_list(PyObject* obj, std::vector<uint32_t>* out);
// A list of str items held by reference, with views of their UTF-8 bytes.
// The views stay valid while the list lives, also without the interpreter
// lock (str objects are immutable and keep their UTF-8 form); it is destroyed
// with the lock held.
class TextViewList {
 public:
  TextViewList() = default;
  TextViewList(const TextViewList&) = delete;
  TextViewList& operator=(const TextViewList&) = delete;
  ~TextViewList() {
    for (PyObject* item : items_) Py_DECREF(item);
  }
  const std::vector<std::string_view>& views() const { return views_; }
  // The item at `i` (borrowed).
  PyObject* item(size_t i) const { return items_[i]; }
  size_t size() const { return items_.size(); }

 private:
  friend bool to_text_views(PyObject* obj, TextViewList* out);
  std::vector<PyObject*> items_;
  std::vector<std::string_view> views_;
};
// As to_text_list, keeping the items instead of copying their bytes.
bool to_text_views(PyObject* obj, TextViewList* out);
// Optional kinds: absent or None give nullopt.
bool to_optional_u64(PyObject* obj, std::optional<uint64_t>* out);
bool to_optional_text(PyObject* obj, std::optional<std::string>* out);

// Adds the note "while processing '<param>'" to the pending exception; when
// adding the note fails the exception is kept without it.
void add_param_note(const char* param);

// Runs one conversion and notes the parameter on failure.
template <typename F>
bool convert(const char* param, F&& conversion) {
  if (conversion()) return true;
  add_param_note(param);
  return false;
}

// Failure helpers for function bodies; each returns null for `return`.
PyObject* raise_runtime_error(std::string_view message);
PyObject* raise_value_error(std::string_view message);
// Raises the module's panic exception (a direct BaseException subclass).
PyObject* raise_panic(std::string_view message);

// Turns whatever escaped a function body into a Python exception. If that
// itself fails, the process stops: nothing may unwind into the interpreter.
PyObject* report_escaped_exception() noexcept;

using FastFunction = PyObject* (*)(PyObject* module, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames);
using NoArgsFunction = PyObject* (*)(PyObject* module, PyObject* unused);

template <FastFunction F>
PyObject* fast_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  try {
    return F(module, args, nargs, kwnames);
  } catch (...) {
    return report_escaped_exception();
  }
}

template <NoArgsFunction F>
PyObject* noargs_entry(PyObject* module, PyObject* unused) noexcept {
  try {
    return F(module, unused);
  } catch (...) {
    return report_escaped_exception();
  }
}

// Releases the interpreter lock for its lifetime. The destructor takes it
// back, so an exception leaving a body run without the lock reaches the
// trampoline with the lock held again, as raising it needs.
class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedInterpreterLock() { PyEval_RestoreThread(state_); }
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `body` with the interpreter lock released and returns its result.
template <typename F>
decltype(auto) without_interpreter_lock(F&& body) {
  ReleasedInterpreterLock released;
  return body();
}

// Casts an entry to the method table's pointer type.
template <typename Fn>
PyCFunction as_pycfunction(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

}  // namespace rs
