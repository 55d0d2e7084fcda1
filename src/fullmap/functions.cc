// Entries of the fullmap functions. Arguments are bound and converted here by
// the module's conventions; the work is done by the fullmap's plain C++.
#include <cstdint>
#include <map>
#include <memory>
#include <string_view>
#include <optional>
#include <string>
#include <vector>

#include "src/fullmap/boundary.h"
#include "src/fullmap/build.h"
#include "src/fullmap/db_cache.h"
#include "src/fullmap/lookup.h"
#include "src/fullmap/read_tables.h"
#include "src/functions.h"

namespace rs {
namespace {

PyObject* new_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

template <typename Id>
PyObject* name_list_object(const std::map<Id, std::string>& names) {
  std::vector<std::string_view> list = fullmap::name_list(names);
  PyObject* out = PyList_New(static_cast<Py_ssize_t>(list.size()));
  if (out == nullptr) return nullptr;
  for (size_t i = 0; i < list.size(); ++i) {
    PyObject* s = new_text(list[i]);
    if (s == nullptr) {
      Py_DECREF(out);
      return nullptr;
    }
    PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), s);
  }
  return out;
}

enum class NameTable { kSources, kPrefixes, kCategories };

// hydrate_categories, hydrate_prefixes and hydrate_sources share one shape:
// the whole table as a list indexed by id, with the interpreter lock held.
PyObject* hydrate_names(const Signature& sig, NameTable table, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string db;
  if (!convert("db", [&] { return to_path(a[0], &db); })) return nullptr;
  fullmap::DatabaseHandle handle;
  {
    auto opened = fullmap::open_cached(db);
    if (!opened.ok()) return fullmap::raise_pending(opened.error());
    handle = std::move(opened).value().db;
  }
  if (table == NameTable::kSources) {
    auto names = fullmap::load_sources(*handle);
    handle.reset();
    if (!names.ok()) return fullmap::raise_pending(names.error());
    return name_list_object(*names);
  }
  auto names = fullmap::load_string_table(
      *handle,
      table == NameTable::kPrefixes ? fullmap::kPrefixesTable : fullmap::kCategoriesTable);
  handle.reset();
  if (!names.ok()) return fullmap::raise_pending(names.error());
  return name_list_object(*names);
}

// A CURIE row as a dict with its five keys in stored order.
PyObject* curie_row_object(const fullmap::CurieRow& row) {
  PyObject* d = PyDict_New();
  if (d == nullptr) return nullptr;
  auto put = [d](const char* key, PyObject* value) {
    if (value == nullptr) return false;
    const int rc = PyDict_SetItemString(d, key, value);
    Py_DECREF(value);
    return rc == 0;
  };
  if (!put("prefix_id", PyLong_FromUnsignedLong(row.prefix_id)) ||
      !put("local_id", new_text(row.local_id)) ||
      !put("preferred_name", new_text(row.preferred_name)) ||
      !put("category_id", PyLong_FromUnsignedLong(row.category_id)) ||
      !put("taxon_id", PyLong_FromLong(row.taxon_id))) {
    Py_DECREF(d);
    return nullptr;
  }
  return d;
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
  fullmap::BuildJob job;
  job.settings = fullmap::read_build_settings(output, synonyms.size(), workers);
  // Every check before the old output goes.
  if (auto refused = fullmap::check_build_arguments(output, inputs, workers, job.settings);
      !refused.ok()) {
    return fullmap::raise_pending(refused.error());
  }
  // So are the build's threads: all of them are started here, and the build
  // takes them as it goes. Joined when this call returns.
  fullmap::CallThreads build_threads;
  const size_t thread_count = fullmap::build_thread_count(workers, job.settings, synonyms.size());
  if (auto refused = build_threads.start(thread_count)) {
    return fullmap::raise_pending(fullmap::PendingError::runtime(
        "failed to start the build's thread pool: " + refused->to_string()));
  }
  auto prepared = fullmap::prepare_output(output, inputs, job.settings.spill_dir);
  if (!prepared.ok()) return fullmap::raise_pending(prepared.error());
  // Held to the end of this call, after the new primary is cached: the claim
  // on the output (a build beginning meanwhile fails rather than deleting the
  // files or the primary being cached), the spill directory, and the old
  // files, which finish going while the build runs.
  fullmap::PreparedOutput prepared_output = std::move(prepared).value();
  // The callable is borrowed from the arguments, which outlive the call;
  // only the calling thread touches it.
  PyObject* progress = a[4] != nullptr && a[4] != Py_None ? a[4] : nullptr;
  auto queue = std::make_shared<fullmap::ProgressQueue>();
  if (progress != nullptr) job.progress = queue;
  job.spill = &prepared_output.spill;
  const std::string job_output = output;
  job.output = std::move(output);
  job.classes = std::move(classes);
  job.synonyms = std::move(synonyms);
  job.workers = workers;
  fullmap::PoolBody task = fullmap::build_task(std::move(job));
  fullmap::Interrupt interrupt;
  auto built = fullmap::run_pool_unlocked(
      workers, std::move(task),
      fullmap::Waiting{.queue = queue.get(), .progress = progress, .interrupt = &interrupt,
                       .threads = &build_threads});
  // Ctrl-C (or the callable's KeyboardInterrupt) stopped the build: its
  // exception, whatever the build ended with.
  if (interrupt.raise()) return nullptr;
  if (!built.ok()) return fullmap::raise_pending(built.error());
  if (!fullmap::ok_or_raise(fullmap::cache_database(job_output))) return nullptr;
  Py_RETURN_NONE;
}

PyObject* fullmap_source_version(PyObject*, PyObject*) {
  return PyUnicode_FromString(fullmap::kSourceVersion);
}

PyObject* hydrate_categories(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const Signature sig{"hydrate_categories", {"db"}, 1};
  return hydrate_names(sig, NameTable::kCategories, args, nargs, kwnames);
}

PyObject* hydrate_prefixes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const Signature sig{"hydrate_prefixes", {"db"}, 1};
  return hydrate_names(sig, NameTable::kPrefixes, args, nargs, kwnames);
}

PyObject* hydrate_sources(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const Signature sig{"hydrate_sources", {"db"}, 1};
  return hydrate_names(sig, NameTable::kSources, args, nargs, kwnames);
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
  fullmap::DatabaseHandle handle;
  {
    auto opened = fullmap::open_cached(db);
    if (!opened.ok()) return fullmap::raise_pending(opened.error());
    handle = std::move(opened).value().db;
  }
  auto rows = fullmap::hydrate_curie_rows(*handle, ids);
  handle.reset();
  if (!rows.ok()) return fullmap::raise_pending(rows.error());
  PyObject* out = PyList_New(static_cast<Py_ssize_t>(rows->size()));
  if (out == nullptr) return nullptr;
  for (size_t i = 0; i < rows->size(); ++i) {
    PyObject* d = curie_row_object((*rows)[i]);
    if (d == nullptr) {
      Py_DECREF(out);
      return nullptr;
    }
    PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), d);
  }
  return out;
}

}  // namespace rs
