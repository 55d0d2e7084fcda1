// lookup_fullmap_terms: converts its arguments, runs the lookup with the
// interpreter lock released, and builds the result list.
//
// Objects are made once where the answer repeats them: the query's own str
// objects are the `term` values, and each distinct CURIE's texts and taxon,
// each category and each source name become one object shared by its rows.
#include <optional>
#include <string>
#include <vector>

#include "src/fullmap/boundary.h"
#include "src/fullmap/lookup.h"
#include "src/functions.h"

namespace rs {
namespace {

// An owned reference, released with the interpreter lock held.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* obj) : obj_(obj) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }
  PyObject* get() const { return obj_; }
  PyObject* release() {
    PyObject* o = obj_;
    obj_ = nullptr;
    return o;
  }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// Pauses the cyclic garbage collector while a result is built: the result
// holds no cycles, and collections triggered by its many new containers
// would walk every tracked object of the process again and again.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable() == 1) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// The interned dict keys of one result.
struct Keys {
  Ref term, records, curie, preferred_name, category_name, taxon_id, source_name,
      source_version;
  bool make() {
    term = Ref(PyUnicode_InternFromString("term"));
    records = Ref(PyUnicode_InternFromString("records"));
    curie = Ref(PyUnicode_InternFromString("CURIE"));
    preferred_name = Ref(PyUnicode_InternFromString("PREFERRED_NAME"));
    category_name = Ref(PyUnicode_InternFromString("CATEGORY_NAME"));
    taxon_id = Ref(PyUnicode_InternFromString("TAXON_ID"));
    source_name = Ref(PyUnicode_InternFromString("SOURCE_NAME"));
    source_version = Ref(PyUnicode_InternFromString("SOURCE_VERSION"));
    return term && records && curie && preferred_name && category_name && taxon_id &&
           source_name && source_version;
  }
};

// A dict with `keys` in this order, each mapped to None: copies of it are
// filled by replacing values, which for the seven keys of a row is cheaper
// than inserting into an empty dict (the copy takes the key table in one
// piece; for two keys it is not).
PyObject* dict_template(std::initializer_list<PyObject*> keys) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  for (PyObject* k : keys) {
    if (PyDict_SetItem(dict.get(), k, Py_None) != 0) return nullptr;
  }
  return dict.release();
}

PyObject* build_pairs(const fullmap::PairResult& pairs, const TextViewList& terms) {
  GcPause pause;
  Keys keys;
  if (!keys.make()) return nullptr;
  Ref list(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < pairs.size(); ++i) {
    std::span<const fullmap::Posting> postings = pairs.postings(i);
    Ref records(PyList_New(static_cast<Py_ssize_t>(postings.size())));
    if (!records) return nullptr;
    for (size_t j = 0; j < postings.size(); ++j) {
      PyObject* id = PyLong_FromUnsignedLong(postings[j].curie_id);
      PyObject* source = id == nullptr ? nullptr : PyLong_FromLong(postings[j].source_id);
      PyObject* pair = source == nullptr ? nullptr : PyTuple_New(2);
      if (pair == nullptr) {
        Py_XDECREF(id);
        Py_XDECREF(source);
        return nullptr;
      }
      PyTuple_SET_ITEM(pair, 0, id);
      PyTuple_SET_ITEM(pair, 1, source);
      PyList_SET_ITEM(records.get(), static_cast<Py_ssize_t>(j), pair);
    }
    Ref dict(_PyDict_NewPresized(2));
    if (!dict) return nullptr;
    if (PyDict_SetItem(dict.get(), keys.term.get(), terms.item(pairs.index(i))) != 0 ||
        PyDict_SetItem(dict.get(), keys.records.get(), records.get()) != 0) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return list.release();
}

PyObject* build_rows(const fullmap::LookupRows& rows, const TextViewList& terms) {
  GcPause pause;
  Keys keys;
  if (!keys.make()) return nullptr;
  const fullmap::PairResult& pairs = rows.pairs();
  Ref list(PyList_New(static_cast<Py_ssize_t>(rows.record_count())));
  if (!list) return nullptr;
  Ref version(new_str(fullmap::kSourceVersion));
  if (!version) return nullptr;
  Ref shape(dict_template({keys.term.get(), keys.curie.get(), keys.preferred_name.get(),
                           keys.category_name.get(), keys.taxon_id.get(),
                           keys.source_name.get(), keys.source_version.get()}));
  if (!shape) return nullptr;
  // One object per distinct text or number, made when first needed.
  struct CurieObjects {
    Ref curie, preferred_name, taxon;
  };
  std::vector<CurieObjects> curies(rows.curies().size());
  std::vector<Ref> categories(rows.category_names().size());
  std::vector<Ref> sources(256);
  size_t out = 0;
  for (size_t i = 0; i < pairs.size(); ++i) {
    PyObject* term = terms.item(pairs.index(i));
    const size_t first = pairs.hits()[i].first;
    std::span<const fullmap::Posting> postings = pairs.postings(i);
    for (size_t j = 0; j < postings.size(); ++j) {
      const uint32_t k = rows.curie_of(first + j);
      const fullmap::LookupRows::Curie& c = rows.curies()[k];
      CurieObjects& objs = curies[k];
      if (!objs.curie) {
        objs.curie = Ref(new_str(c.curie));
        objs.preferred_name = Ref(new_str(c.preferred_name));
        objs.taxon = Ref(PyLong_FromLong(c.taxon_id));
        if (!objs.curie || !objs.preferred_name || !objs.taxon) return nullptr;
      }
      Ref& category = categories[c.category];
      if (!category) {
        category = Ref(new_str(rows.category_names()[c.category]));
        if (!category) return nullptr;
      }
      const uint8_t sid = postings[j].source_id;
      Ref& source = sources[sid];
      if (!source) {
        source = Ref(new_str(rows.source_name(sid)));
        if (!source) return nullptr;
      }
      Ref dict(PyDict_Copy(shape.get()));
      if (!dict) return nullptr;
      PyObject* d = dict.get();
      if (PyDict_SetItem(d, keys.term.get(), term) != 0 ||
          PyDict_SetItem(d, keys.curie.get(), objs.curie.get()) != 0 ||
          PyDict_SetItem(d, keys.preferred_name.get(), objs.preferred_name.get()) != 0 ||
          PyDict_SetItem(d, keys.category_name.get(), category.get()) != 0 ||
          PyDict_SetItem(d, keys.taxon_id.get(), objs.taxon.get()) != 0 ||
          PyDict_SetItem(d, keys.source_name.get(), source.get()) != 0 ||
          PyDict_SetItem(d, keys.source_version.get(), version.get()) != 0) {
        return nullptr;
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(out++), dict.release());
    }
  }
  return list.release();
}

}  // namespace

PyObject* lookup_fullmap_terms(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static const Signature sig{
      "lookup_fullmap_terms", {"db", "terms", "threads", "return_format"}, 2};
  BoundArgs a;
  if (!bind_arguments(sig, args, nargs, kwnames, &a)) return nullptr;
  std::string db;
  TextViewList terms;
  std::optional<uint64_t> threads;
  std::string return_format = "rows";
  if (!convert("db", [&] { return to_path(a[0], &db); })) return nullptr;
  if (!convert("terms", [&] { return to_text_views(a[1], &terms); })) return nullptr;
  if (!convert("threads", [&] { return to_optional_u64(a[2], &threads); })) return nullptr;
  if (a[3] != nullptr &&
      !convert("return_format", [&] { return to_text(a[3], &return_format); })) {
    return nullptr;
  }
  const bool rows = return_format == "rows";
  if (!rows && return_format != "pairs") {
    return fullmap::raise_pending(
        fullmap::PendingError::value_static(fullmap::kBadReturnFormat));
  }
  const std::vector<std::string_view>& views = terms.views();
  if (rows) {
    auto result = without_interpreter_lock(
        [&] { return fullmap::lookup_terms(db, views, threads); });
    if (!result.ok()) return fullmap::raise_pending(result.error());
    return build_rows(result.value(), terms);
  }
  auto result = without_interpreter_lock(
      [&] { return fullmap::lookup_pair_terms(db, views, threads); });
  if (!result.ok()) return fullmap::raise_pending(result.error());
  return build_pairs(result.value(), terms);
}

}  // namespace rs
