#include "kbar_cache.hpp"

#include <unordered_map>

namespace kob::quotes {

namespace {

using MetaMap = std::unordered_map<PyObject*, std::shared_ptr<CacheMeta>>;
MetaMap& meta_map() {
    static MetaMap* const m = new MetaMap();  // never destroyed: holds Python references
    return *m;
}

PyObject* meta_dropped(PyObject*, PyObject* weak) {
    MetaMap& m = meta_map();
    for (auto it = m.begin(); it != m.end(); ++it) {
        if (it->second->weak == weak) {
            std::shared_ptr<CacheMeta> keep = std::move(it->second);
            m.erase(it);
            break;
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef meta_dropped_def = {"_cache_dropped", meta_dropped, METH_O, nullptr};

PyObject* meta_callback() {
    static PyObject* const cb = check(PyCFunction_New(&meta_dropped_def, nullptr));  // kept for the process
    return cb;
}

}  // namespace

std::shared_ptr<CacheMeta> find_meta(py::handle frame, py::handle old_list) {
    MetaMap& m = meta_map();
    auto it = m.find(frame.ptr());
    if (it == m.end()) return nullptr;
    std::shared_ptr<CacheMeta> meta = it->second;
    if (PyWeakref_GetObject(meta->weak) != frame.ptr() || meta->old_list != old_list.ptr()) return nullptr;
    return meta;
}

std::shared_ptr<CacheMeta> remember_meta(py::handle frame, py::handle old_list, Py_ssize_t merged) {
    PyObject* weak = PyWeakref_NewRef(frame.ptr(), meta_callback());
    if (!weak) {  // a table without weak references: nothing to remember
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return nullptr;
    }
    auto meta = std::make_shared<CacheMeta>();
    meta->weak = weak;
    meta->old_list = old_list.ptr();
    meta->merged = merged;
    meta_map()[frame.ptr()] = meta;
    return meta;
}

void remember_bars(py::handle frame, py::handle old_list, Py_ssize_t merged, bucket::Window w, bars::Bars&& bars,
                   PyObject* code, int chunks) {
    std::shared_ptr<CacheMeta> meta = remember_meta(frame, old_list, merged);
    if (!meta) return;
    meta->window = w;
    meta->bars = std::move(bars);
    meta->code = Py_NewRef(code);
    meta->chunks = chunks;
}

}  // namespace kob::quotes
