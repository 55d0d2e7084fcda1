// The interpreter boundary: argument binding and conversion by one shared table
// of conventions, and the trampoline that turns failures and panics into Python
// exceptions. Every function of the module goes through here.
//
// Thread safety: everything here runs on a thread that holds the interpreter
// lock, except the taking back of the lock and interpreter_lock_lost().
//
// A daemon thread that asks for the interpreter lock back while the
// interpreter finalises is ended there by a forced unwind (pthread_exit)
// through every frame of ours up to the trampoline: no frame on that road is
// noexcept, every catch-all lets abi::__forced_unwind through, the lock is
// taken back in plain code (never in a destructor), and owners of Python
// references leave them alone on the way out (interpreter_lock_lost()).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
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
  ~TextViewList();
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

// Turns whatever escaped a function body (never a forced unwind) into a
// Python exception. If that itself fails, the process stops.
PyObject* report_escaped_exception() noexcept;

using FastFunction = PyObject* (*)(PyObject* module, PyObject* const* args,
                                   Py_ssize_t nargs, PyObject* kwnames);
using NoArgsFunction = PyObject* (*)(PyObject* module, PyObject* unused);

// The entries are not noexcept: the interpreter's forced unwind of a thread
// ending at exit passes through them (see the header comment).
template <FastFunction F>
PyObject* fast_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  try {
    return F(module, args, nargs, kwnames);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return report_escaped_exception();
  }
}

template <NoArgsFunction F>
PyObject* noargs_entry(PyObject* module, PyObject* unused) {
  try {
    return F(module, unused);
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    return report_escaped_exception();
  }
}

// Takes the interpreter lock back for `state` (from PyEval_SaveThread). When
// the interpreter is finalising and this is not the finalising thread, the
// interpreter ends the thread in here with a forced unwind; meanwhile
// interpreter_lock_lost() is true on the thread.
void take_interpreter_lock(PyThreadState* state);

// True while the calling thread is asking for the interpreter lock back,
// and so during a forced unwind out of that request, when the lock is not
// held: owners of Python references then leave them alone (the process is
// ending).
bool interpreter_lock_lost();

// Whether the interpreter has begun to finalise. A thread that holds the
// interpreter lock and sees it is the finalising thread itself.
bool interpreter_finalizing();

// Runs `body` with the interpreter lock released and returns its result,
// the lock taken back also when `body` throws.
template <typename F>
decltype(auto) without_interpreter_lock(F&& body) {
  using R = std::invoke_result_t<F&>;
  PyThreadState* state = PyEval_SaveThread();
  try {
    if constexpr (std::is_void_v<R>) {
      body();
      take_interpreter_lock(state);
    } else {
      R result = body();
      take_interpreter_lock(state);
      return result;
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    // Taken back here, in plain code, so that raising the exception finds
    // the lock held.
    take_interpreter_lock(state);
    throw;
  }
}

// Casts an entry to the method table's pointer type.
template <typename Fn>
PyCFunction as_pycfunction(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

}  // namespace rs
