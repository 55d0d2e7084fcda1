// Entries of the record utilities: xxh64, namespace_uuid and dedup_ndjson.
#include <optional>
#include <string>
#include <vector>

#include "src/functions.h"
#include "src/ndjson.h"
#include "src/uuid.h"
#include "src/xxh64.h"

namespace rs {

PyObject* xxh64(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"xxh64", {"data"}, 1};
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string data;
  if (!convert("data", [&] { return to_text(a[0], &data); })) return nullptr;
  char hex[16];
  write_hex16(xxh64_hash(data), hex);
  return PyUnicode_FromStringAndSize(hex, 16);
}

PyObject* namespace_uuid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"namespace_uuid", {"domain", "values"}, 2};
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string domain;
  std::vector<std::string> values;
  if (!convert("domain", [&] { return to_text(a[0], &domain); })) return nullptr;
  if (!convert("values", [&] { return to_text_list(a[1], &values); })) return nullptr;
  std::string id = uuid_from_parts(domain, values);
  return PyUnicode_FromStringAndSize(id.data(), static_cast<Py_ssize_t>(id.size()));
}

PyObject* dedup_ndjson(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"dedup_ndjson", {"input", "output", "is_edges", "domain"}, 3};
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string input, output;
  bool is_edges = false;
  std::optional<std::string> domain;
  if (!convert("input", [&] { return to_path(a[0], &input); })) return nullptr;
  if (!convert("output", [&] { return to_path(a[1], &output); })) return nullptr;
  if (!convert("is_edges", [&] { return to_bool(a[2], &is_edges); })) return nullptr;
  if (!convert("domain", [&] { return to_optional_text(a[3], &domain); })) return nullptr;
  // Holds the interpreter lock throughout: the call is short of Python work
  // and keeps no Python object. The signal handlers run on this thread, from
  // the interpreter's own check: one that raises (Ctrl-C) stops the call, its
  // exception left set.
  auto done = ndjson::dedup_ndjson(input, output, is_edges,
                                   domain ? *domain : ndjson::kDefaultDomain,
                                   [] { return PyErr_CheckSignals() != 0; });
  if (!done.ok()) {
    if (done.error().stopped) return nullptr;
    return raise_runtime_error(done.error().text);
  }
  Py_RETURN_NONE;
}

}  // namespace rs
