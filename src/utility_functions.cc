// Entries of the record utilities: xxh64, namespace_uuid and dedup_ndjson.
#include <optional>
#include <string>
#include <vector>

#include "src/functions.h"

namespace rs {

PyObject* xxh64(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"xxh64", {"data"}, 1};
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string data;
  if (!convert("data", [&] { return to_text(a[0], &data); })) return nullptr;
  return raise_runtime_error("xxh64() is not available yet: it is not built");
}

PyObject* namespace_uuid(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const Signature sig{"namespace_uuid", {"domain", "values"}, 2};
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string domain;
  std::vector<std::string> values;
  if (!convert("domain", [&] { return to_text(a[0], &domain); })) return nullptr;
  if (!convert("values", [&] { return to_text_list(a[1], &values); })) return nullptr;
  return raise_runtime_error("namespace_uuid() is not available yet: it is not built");
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
  return raise_runtime_error("dedup_ndjson() is not available yet: it is not built");
}

}  // namespace rs
