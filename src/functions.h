// The entries of the module's ten functions, each behind the boundary
// trampoline (src/boundary.h).
#pragma once

#include "src/boundary.h"

namespace rs {

PyObject* build_fullmap_db(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* fullmap_source_version(PyObject* module, PyObject* unused);
PyObject* hydrate_categories(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* hydrate_curies(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* hydrate_prefixes(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
PyObject* hydrate_sources(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);
PyObject* lookup_fullmap_terms(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
PyObject* dedup_ndjson(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames);
PyObject* namespace_uuid(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* xxh64(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace rs
