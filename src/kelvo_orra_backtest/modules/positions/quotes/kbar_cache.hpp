// Records of the K-bar tables that get_kbar cached: how many of the code's
// popped ticks each has merged, and the native bars it was built from.
//
// The records are process-wide: one map for every QuoteManager, keyed by the
// cached table's identity (its address).  A record holds only a weak
// reference to its table and is dropped by that reference's callback when
// the table dies, so an address is never matched to a newer table; a record
// also names the "old_ticks" list it counts, and a lookup with another list
// finds nothing.  The map is never destroyed (it holds Python references, and
// none may be released by a static destructor at exit).
#pragma once

#include <memory>

#include "../kernels/bars.hpp"
#include "quotes.hpp"

namespace kob::quotes {

struct CacheMeta {
    PyObject* weak = nullptr;        // owned weak reference to the table
    const void* old_list = nullptr;  // identity of the "old_ticks" list it counts
    Py_ssize_t merged = 0;
    // Native copy of the table's rows (one code) when it was built here;
    // empty otherwise.
    bucket::Window window{bucket::Unit::Invalid, 0};
    bars::Bars bars;
    PyObject* code = nullptr;  // owned
    int chunks = 0;            // appended pieces since the last rechunk
    ~CacheMeta() {
        Py_XDECREF(weak);
        Py_XDECREF(code);
    }
};

// The record of `frame` counting `old_list`, or null.
std::shared_ptr<CacheMeta> find_meta(py::handle frame, py::handle old_list);

// Starts a record for `frame` (null when the table takes no weak reference).
std::shared_ptr<CacheMeta> remember_meta(py::handle frame, py::handle old_list, Py_ssize_t merged);

// The record of a table built natively, with the bars it was built from.
void remember_bars(py::handle frame, py::handle old_list, Py_ssize_t merged, bucket::Window w, bars::Bars&& bars,
                   PyObject* code, int chunks);

}  // namespace kob::quotes
