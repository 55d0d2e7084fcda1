#include "src/boundary.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace rs {
namespace {

constexpr const char kGenericPanic[] = "rs panicked with no message";

thread_local bool t_lock_lost = false;

// The qualified name of an object's type, as the interpreter prints it.
std::string type_qualname(PyObject* obj) {
  PyObject* name = PyType_GetQualName(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &len);
  std::string out = utf8 != nullptr ? std::string(utf8, len) : std::string(Py_TYPE(obj)->tp_name);
  if (utf8 == nullptr) PyErr_Clear();
  Py_DECREF(name);
  return out;
}

bool raise_not_instance(PyObject* obj, const char* expected) {
  std::string msg = "'" + type_qualname(obj) + "' object is not an instance of '" + expected + "'";
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_name_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += (i + 1 == names.size()) ? " and " : " ";
    }
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

PyObject* panic_type() {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "rs.PanicException",
        "A broken internal invariant of the rs module. Derives from BaseException "
        "so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

// Iterates a sequence argument and converts each item.
template <typename T, typename Item>
bool to_list(PyObject* obj, std::vector<T>* out, Item item) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) return raise_not_instance(obj, "Sequence");
  out->clear();
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out->reserve(static_cast<size_t>(hint));
  }
  PyObject* iter = PyObject_GetIter(obj);
  if (iter == nullptr) return false;
  while (PyObject* next = PyIter_Next(iter)) {
    T value{};
    bool ok = item(next, &value);
    Py_DECREF(next);
    if (!ok) {
      Py_DECREF(iter);
      return false;
    }
    out->push_back(std::move(value));
  }
  Py_DECREF(iter);
  return !PyErr_Occurred();
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs* out) {
  const int nparams = static_cast<int>(sig.params.size());
  const char* const* params = sig.params.begin();
  if (nparams > kMaxParams) storage::panic("too many parameters in a signature");
  *out = BoundArgs{};
  if (nargs > nparams) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (sig.required == nparams) {
      PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given",
                   sig.name, nparams, nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() takes from %d to %d positional arguments but %zd %s given", sig.name,
                   sig.required, nparams, nargs, verb);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out->values[i] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const char* name = PyUnicode_AsUTF8(key);
    if (name == nullptr) return false;
    int index = -1;
    for (int p = 0; p < nparams; ++p) {
      if (std::strcmp(params[p], name) == 0) {
        index = p;
        break;
      }
    }
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", sig.name,
                   name);
      return false;
    }
    if (out->values[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                   name);
      return false;
    }
    out->values[index] = args[nargs + k];
  }
  std::vector<const char*> missing;
  for (int p = 0; p < sig.required; ++p) {
    if (out->values[p] == nullptr) missing.push_back(params[p]);
  }
  if (!missing.empty()) {
    std::string msg = std::string(sig.name) + "() missing " + std::to_string(missing.size()) +
                      " required positional " +
                      (missing.size() == 1 ? "argument" : "arguments") + ": " +
                      quoted_name_list(missing);
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
  }
  return true;
}

bool to_text(PyObject* obj, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    if (obj == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'str'");
      return false;
    }
    return raise_not_instance(obj, "str");
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (utf8 == nullptr) return false;
  out->assign(utf8, static_cast<size_t>(len));
  return true;
}

bool to_bool(PyObject* obj, bool* out) {
  if (obj == Py_True || obj == Py_False) {
    *out = obj == Py_True;
    return true;
  }
  // numpy's boolean scalars, recognised by type name so numpy is never imported.
  const char* tp_name = Py_TYPE(obj)->tp_name;
  if (std::strcmp(tp_name, "numpy.bool_") == 0 || std::strcmp(tp_name, "numpy.bool") == 0) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr || nb->nb_bool == nullptr) {
      PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                   type_qualname(obj).c_str());
      return false;
    }
    int truth = nb->nb_bool(obj);
    if (truth < 0) return false;
    *out = truth != 0;
    return true;
  }
  return raise_not_instance(obj, "bool");
}

bool to_path(PyObject* obj, std::string* out) {
  PyObject* fs = PyOS_FSPath(obj);
  if (fs == nullptr) return false;
  if (!PyUnicode_Check(fs)) {
    bool r = raise_not_instance(fs, "str");
    Py_DECREF(fs);
    return r;
  }
  PyObject* encoded = PyUnicode_EncodeFSDefault(fs);
  Py_DECREF(fs);
  if (encoded == nullptr) return false;
  char* data = nullptr;
  Py_ssize_t len = 0;
  if (PyBytes_AsStringAndSize(encoded, &data, &len) < 0) {
    Py_DECREF(encoded);
    return false;
  }
  // A NUL would silently cut the path short at the operating system.
  if (std::memchr(data, '\0', static_cast<size_t>(len)) != nullptr) {
    Py_DECREF(encoded);
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  out->assign(data, static_cast<size_t>(len));
  Py_DECREF(encoded);
  return true;
}

bool to_u64(PyObject* obj, uint64_t* out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool to_u32(PyObject* obj, uint32_t* out) {
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) return false;
  if (v < 0 || v > 4294967295L) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

TextViewList::~TextViewList() {
  if (interpreter_lock_lost()) return;
  for (PyObject* item : items_) Py_DECREF(item);
}

bool to_text_list(PyObject* obj, std::vector<std::string>* out) {
  return to_list(obj, out, to_text);
}
bool to_text_views(PyObject* obj, TextViewList* out) {
  auto take = [out](PyObject* item) {
    if (!PyUnicode_Check(item)) {
      std::string unused;
      return to_text(item, &unused);  // raises the conversion's own error
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(item, &len);
    if (utf8 == nullptr) return false;
    out->items_.push_back(Py_NewRef(item));
    out->views_.emplace_back(utf8, static_cast<size_t>(len));
    return true;
  };
  // Lists and tuples by index: nothing here runs Python code, so they cannot
  // change meanwhile. Anything else as to_list iterates it.
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
    PyObject** items = PySequence_Fast_ITEMS(obj);
    out->items_.reserve(static_cast<size_t>(n));
    out->views_.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (!take(items[i])) return false;
    }
    return true;
  }
  std::vector<bool> unused;
  return to_list(obj, &unused, [&](PyObject* item, bool*) { return take(item); });
}

bool to_path_list(PyObject* obj, std::vector<std::string>* out) {
  return to_list(obj, out, to_path);
}
bool to_u32_list(PyObject* obj, std::vector<uint32_t>* out) { return to_list(obj, out, to_u32); }

bool to_optional_u64(PyObject* obj, std::optional<uint64_t>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  uint64_t v = 0;
  if (!to_u64(obj, &v)) return false;
  *out = v;
  return true;
}

bool to_optional_text(PyObject* obj, std::optional<std::string>* out) {
  out->reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::string v;
  if (!to_text(obj, &v)) return false;
  *out = std::move(v);
  return true;
}

void add_param_note(const char* param) {
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
  PyObject* note = PyUnicode_FromFormat("while processing '%s'", param);
  PyObject* r = note == nullptr ? nullptr : PyObject_CallMethod(exc, "add_note", "O", note);
  Py_XDECREF(note);
  if (r == nullptr) PyErr_Clear();
  Py_XDECREF(r);
  PyErr_SetRaisedException(exc);
}

namespace {
PyObject* raise_with_text(PyObject* type, std::string_view message) {
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
  return nullptr;
}
}  // namespace

PyObject* raise_runtime_error(std::string_view message) {
  return raise_with_text(PyExc_RuntimeError, message);
}

PyObject* raise_value_error(std::string_view message) {
  return raise_with_text(PyExc_ValueError, message);
}

PyObject* raise_panic(std::string_view message) {
  PyObject* type = panic_type();
  if (type == nullptr) return nullptr;
  if (message.empty()) message = kGenericPanic;
  return raise_with_text(type, message);
}

void take_interpreter_lock(PyThreadState* state) {
  t_lock_lost = true;
  PyEval_RestoreThread(state);
  t_lock_lost = false;
}

bool interpreter_lock_lost() { return t_lock_lost; }

bool interpreter_finalizing() { return _Py_IsFinalizing() != 0; }

PyObject* report_escaped_exception() noexcept {
  try {
    try {
      throw;
    } catch (const storage::Panic& p) {
      return raise_panic(p.message());
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    } catch (const std::exception& e) {
      return raise_panic(e.what());
    } catch (...) {
      return raise_panic(kGenericPanic);
    }
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
  }
}

}  // namespace rs
