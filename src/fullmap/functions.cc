// Entries of the fullmap functions. Arguments are bound and converted here by
// the module's conventions; the database behind the lookups and hydrations is
// not built yet, and a build stops where the final write would start.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "src/fullmap/boundary.h"
#include "src/fullmap/build.h"
#include "src/functions.h"

namespace rs {
namespace {

constexpr const char kSourceVersion[] = "2026jul22";

PyObject* not_built(const char* name) {
  std::string msg =
      std::string(name) + "() is not available yet: the fullmap database is not built";
  return raise_runtime_error(msg);
}

// hydrate_categories, hydrate_prefixes and hydrate_sources share one shape.
PyObject* hydrate_names(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string db;
  if (!convert("db", [&] { return to_path(a[0], &db); })) return nullptr;
  return not_built(sig.name);
}

}  // namespace

PyObject* build_fullmap_db(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const Signature sig{
      "build_fullmap_db", {"output", "classes", "synonyms", "threads", "progress"}, 3};
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string output;
  std::vector<std::string> classes, synonyms;
  std::optional<uint64_t> threads;
  if (!convert("output", [&] { return to_path(a[0], &output); })) return nullptr;
  if (!convert("classes", [&] { return to_path_list(a[1], &classes); })) return nullptr;
  if (!convert("synonyms", [&] { return to_path_list(a[2], &synonyms); })) return nullptr;
  if (!convert("threads", [&] { return to_optional_u64(a[3], &threads); })) return nullptr;
  // progress: any object, taken as it is.
  if (synonyms.empty()) {
    return fullmap::raise_pending(fullmap::PendingError::value_static(fullmap::kNoSynonymFiles));
  }
  fullmap::raise_open_file_limit();
  const size_t workers = fullmap::choose_worker_count(threads);
  std::vector<std::string> inputs = classes;
  inputs.insert(inputs.end(), synonyms.begin(), synonyms.end());
  if (!fullmap::ok_or_raise(fullmap::prepare_output(output, inputs))) return nullptr;
  fullmap::BuildJob job;
  job.settings = fullmap::read_build_settings(output, synonyms.size(), workers);
  PyObject* progress = a[4];
  if (progress != nullptr && progress != Py_None) {
    job.progress = std::make_shared<fullmap::PythonProgress>(progress);
  }
  job.output = std::move(output);
  job.classes = std::move(classes);
  job.synonyms = std::move(synonyms);
  job.workers = workers;
  fullmap::PoolBody task = fullmap::build_task(std::move(job));
  if (!fullmap::ok_or_raise(fullmap::run_pool_unlocked(workers, std::move(task)))) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* fullmap_source_version(PyObject*, PyObject*) {
  return PyUnicode_FromString(kSourceVersion);
}

PyObject* hydrate_categories(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const Signature sig{"hydrate_categories", {"db"}, 1};
  return hydrate_names(sig, args, nargs, kwnames);
}

PyObject* hydrate_prefixes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const Signature sig{"hydrate_prefixes", {"db"}, 1};
  return hydrate_names(sig, args, nargs, kwnames);
}

PyObject* hydrate_sources(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const Signature sig{"hydrate_sources", {"db"}, 1};
  return hydrate_names(sig, args, nargs, kwnames);
}

PyObject* hydrate_curies(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const Signature sig{"hydrate_curies", {"db", "curie_ids"}, 2};
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string db;
  std::vector<uint32_t> ids;
  if (!convert("db", [&] { return to_path(a[0], &db); })) return nullptr;
  if (!convert("curie_ids", [&] { return to_u32_list(a[1], &ids); })) return nullptr;
  return not_built(sig.name);
}

PyObject* lookup_fullmap_terms(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static const Signature sig{
      "lookup_fullmap_terms", {"db", "terms", "threads", "return_format"}, 2};
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string db;
  std::vector<std::string> terms;
  std::optional<uint64_t> threads;
  std::string return_format = "rows";
  if (!convert("db", [&] { return to_path(a[0], &db); })) return nullptr;
  if (!convert("terms", [&] { return to_text_list(a[1], &terms); })) return nullptr;
  if (!convert("threads", [&] { return to_optional_u64(a[2], &threads); })) return nullptr;
  if (a[3] != nullptr &&
      !convert("return_format", [&] { return to_text(a[3], &return_format); })) {
    return nullptr;
  }
  if (return_format != "rows" && return_format != "pairs") {
    return fullmap::raise_pending(
        fullmap::PendingError::value_static(fullmap::kBadReturnFormat));
  }
  return not_built(sig.name);
}

}  // namespace rs
