// The module `rs`: multi-phase initialisation with one execution step that
// adds the ten functions (and `__all__`) to the module object.
#include "src/functions.h"

namespace rs {
namespace {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"build_fullmap_db", as_pycfunction(fast_entry<build_fullmap_db>), kFast,
     "build_fullmap_db(output, classes, synonyms, threads=None, progress=None)\n--\n\n"},
    {"fullmap_source_version", as_pycfunction(noargs_entry<fullmap_source_version>), METH_NOARGS,
     "fullmap_source_version()\n--\n\n"},
    {"hydrate_categories", as_pycfunction(fast_entry<hydrate_categories>), kFast,
     "hydrate_categories(db)\n--\n\n"},
    {"hydrate_curies", as_pycfunction(fast_entry<hydrate_curies>), kFast,
     "hydrate_curies(db, curie_ids)\n--\n\n"},
    {"hydrate_prefixes", as_pycfunction(fast_entry<hydrate_prefixes>), kFast,
     "hydrate_prefixes(db)\n--\n\n"},
    {"hydrate_sources", as_pycfunction(fast_entry<hydrate_sources>), kFast,
     "hydrate_sources(db)\n--\n\n"},
    {"lookup_fullmap_terms", as_pycfunction(fast_entry<lookup_fullmap_terms>), kFast,
     "lookup_fullmap_terms(db, terms, threads=None, return_format=\"rows\")\n--\n\n"
     "Look up fullmap records for `terms`.\n\n"
     "threads=None (the production default) picks the worker count through\n"
     "default_lookup_workers: batches of at least LOOKUP_PARALLEL_MIN (1024) terms\n"
     "use one worker per CPU available to the process and fan out across the record\n"
     "shards in parallel (one thread per non-empty shard, up to the worker count),\n"
     "and smaller batches stay single-threaded. An explicit threads=1 always forces\n"
     "the serial path. The interpreter lock is released for the whole lookup."},
    {"dedup_ndjson", as_pycfunction(fast_entry<dedup_ndjson>), kFast,
     "dedup_ndjson(input, output, is_edges, domain=None)\n--\n\n"},
    {"namespace_uuid", as_pycfunction(fast_entry<namespace_uuid>), kFast,
     "namespace_uuid(domain, values)\n--\n\n"},
    {"xxh64", as_pycfunction(fast_entry<xxh64>), kFast,
     "xxh64(data)\n--\n\n"
     "XXH64 hex digest (seed 0) of a string's UTF-8 bytes.\n\n"
     "The result equals what the Python xxhash package gives for\n"
     "xxh64(s.encode()).hexdigest(): 16 lower-case hex characters, zero-padded,\n"
     "so this module can stand in for that package. It is the content-hash\n"
     "primitive behind quorvendel.utils.mkhash."},
};

// Adds `fn` to the module and its name to `__all__`.
int add_function(PyObject* module, PyObject* module_name, PyMethodDef* def) {
  PyObject* fn = PyCMethod_New(def, module, module_name, nullptr);
  if (fn == nullptr) return -1;
  PyObject* name = PyObject_GetAttrString(fn, "__name__");
  if (name == nullptr) {
    Py_DECREF(fn);
    return -1;
  }
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
      Py_DECREF(name);
      Py_DECREF(fn);
      return -1;
    }
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(name);
      Py_DECREF(fn);
      return -1;
    }
  }
  int rc = PyList_Append(all, name);
  Py_DECREF(all);
  if (rc == 0) rc = PyObject_SetAttr(module, name, fn);
  Py_DECREF(name);
  Py_DECREF(fn);
  return rc;
}

int exec_module(PyObject* module) {
  try {
    if (!PyModule_Check(module)) {
      PyObject* qualname = PyType_GetQualName(Py_TYPE(module));
      if (qualname == nullptr) return -1;
      PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname, "module");
      Py_DECREF(qualname);
      return -1;
    }
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return -1;
    for (PyMethodDef& def : kMethods) {
      if (add_function(module, module_name, &def) < 0) {
        Py_DECREF(module_name);
        return -1;
      }
    }
    Py_DECREF(module_name);
    return 0;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    report_escaped_exception();
    return -1;
  }
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "rs",     // m_name
    "",       // m_doc
    0,        // m_size
    nullptr,  // m_methods
    kSlots,   // m_slots
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace
}  // namespace rs

PyMODINIT_FUNC PyInit_rs(void) { return PyModuleDef_Init(&rs::kModule); }
