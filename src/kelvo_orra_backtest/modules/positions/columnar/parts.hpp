// The columnar quote manager's shared pieces: the per-object state over the
// typed tick store, the frame builder over its buffers, and the method
// implementations, which live in intake.cpp (add_tick, add_ticks),
// tables.cpp (tick tables), kbars.cpp (K-bars) and manager.cpp
// (construction, calendar, the type).
#pragma once

#include <pybind11/numpy.h>
#include <structmember.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "../kernels/signatures.hpp"
#include "../kernels/tick_record.hpp"
#include "manager.hpp"
#include "store.hpp"

namespace kob::columnar {

using kernels::ensure_datetime_api;

struct SvHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

struct CacheEntry {
    Bars bars;
    py::object frame;        // the cached K-bar table
    std::size_t merged = 0;  // rows of the code folded into it
    int chunks = 0;          // appended pieces since the last rechunk
};

struct CodeStore {
    py::object code;  // the code as a str
    Rows rows;
    std::size_t popped = 0;
    std::map<std::string, CacheEntry, std::less<>> cache;  // window text -> entry
};

struct State {
    std::unordered_map<std::string, std::shared_ptr<CodeStore>, SvHash, std::equal_to<>> codes;
    // Market types met so far, each with its calendar rules.
    std::vector<py::object> market_names;
    std::vector<Market> markets;
    std::unordered_map<std::string, std::uint16_t, SvHash, std::equal_to<>> market_index;
    // The calendar read at construction.
    std::unordered_set<std::int64_t> holidays;
    py::object holiday_texts;  // the set of texts read from the file
    std::vector<std::pair<std::string, std::vector<Window>>> closed_windows;
    // Last code and market type looked up (owned, compared by identity).
    py::object last_code, last_market;
    std::shared_ptr<CodeStore> last_store;
    std::uint16_t last_market_index = 0;
    bool busy = false;
    bool ready = false;  // __init__ has read the calendar
    std::vector<std::int64_t> scratch;

    // Drops every code; the tables they held are released only after the
    // state no longer refers to them.
    void reset_codes() {
        auto dead = std::move(codes);
        codes.clear();
        std::shared_ptr<CodeStore> store = std::move(last_store);
        py::object code = std::move(last_code);
        last_store.reset();
        last_code = py::object();
    }
};

struct ColumnarObject {
    PyObject_HEAD PyObject* dict;
    PyObject* weaklist;
    State* state;
};

struct BusyGuard {
    State& s;
    explicit BusyGuard(State& st) : s(st) { s.busy = true; }
    ~BusyGuard() { s.busy = false; }
};

cal::ZoneCache& zone_cache();
bool is_columnar(PyObject* o);
State& state_of(Call& c, const char* method);
State& mutable_state(Call& c, const char* method);
State& intake_state(Call& c, const char* method);
std::string_view utf8(PyObject* s);
std::shared_ptr<CodeStore> find_store(State& s, PyObject* code);
std::shared_ptr<CodeStore> make_store(State& s, PyObject* code);
std::uint16_t market_of(State& s, PyObject* name);

// The method implementations.
py::object add_tick_impl(Call& c);
py::object add_ticks_impl(Call& c);
py::object get_empty_tick_df_impl(Call& c);
py::object poped_tick_to_df_impl(Call& c);
py::object poped_old_ticks_to_df_impl(Call& c);
py::object clear_ticks_impl(Call& c);
py::object aggregate_kbar_impl(Call& c);
py::object get_kbar_impl(Call& c);
py::object last_tick_impl(Call& c);
py::object tick_counts_impl(Call& c);
py::object init_impl(Call& c);
py::object holiday_search_set_impl(Call& c);
py::object not_trade_times_impl(Call& c);

// A numpy array of a series' values in the dtype T.
template <typename T>
py::array_t<T, py::array::c_style | py::array::forcecast> numpy_of(py::handle series) {
    py::object arr = attr(series, KOB_STR("to_numpy"))();
    return py::array_t < T, py::array::c_style | py::array::forcecast > ::ensure(arr);
}

// Shared by the tables and the K-bars.
py::object empty_tick_df(Call& c);
py::object tick_frame(Call& c, State& s, const CodeStore& cs, std::size_t a, std::size_t b);

// A numpy view of chunk memory that keeps the chunk alive.
template <typename T>
py::array_t<T> view(const std::shared_ptr<Chunk>& chunk, const T* data, std::size_t count) {
    auto* keep = new std::shared_ptr<Chunk>(chunk);
    py::capsule owner(keep, [](void* p) { delete static_cast<std::shared_ptr<Chunk>*>(p); });
    return py::array_t<T>(static_cast<py::ssize_t>(count), data, owner);
}

// Builds a frame column by column from typed arrays: through the library's
// low-level series constructors when they are there (a fraction of the cost
// of the public ones), else, or when they are missing or changed, through the public
// `Series` and `DataFrame`; both give the same table.
class Builder {
public:
    Builder(py::handle pl, bool low) : pl_(py::reinterpret_borrow<py::object>(pl)) {
        check_signals();
        if (!low) return;
        PyObject* plr = PyObject_GetAttrString(pl.ptr(), "_plr");
        if (!plr) {
            clear_attribute_error();
            return;
        }
        py::object mod = steal(plr);
        PyObject* ps = PyObject_GetAttrString(mod.ptr(), "PySeries");
        PyObject* pd = ps ? PyObject_GetAttrString(mod.ptr(), "PyDataFrame") : nullptr;
        if (!ps || !pd) {
            Py_XDECREF(ps);
            clear_attribute_error();
            return;
        }
        ps_ = steal(ps);
        pd_ = steal(pd);
        low_ = true;
    }
    bool low() const { return low_; }

    // A numeric series of `array` (viewed, not copied, where the library
    // allows), cast to `cast_to` when given.
    py::object num(PyObject* name, py::handle array, const char* ctor, PyObject* cast_to = nullptr) {
        check_signals();
        py::object s;
        if (low_) {
            s = ps_.attr(ctor)(py::handle(name), array, false);
            if (cast_to) {
                py::object t = dtype(cast_to);
                check_signals();  // the cast runs the dtype's Python code
                s = attr(s, KOB_STR("cast"))(t, true, false);
            }
        } else {
            s = attr(pl_, KOB_STR("Series"))(py::handle(name), array);
            if (cast_to) s = attr(s, KOB_STR("cast"))(dtype(cast_to));
        }
        return s;
    }
    py::object as_datetime(py::handle s) {
        check_signals();
        py::object t = attr(pl_, KOB_STR("Datetime"))("us");
        check_signals();  // the cast runs the dtype's Python code
        return low_ ? attr(s, KOB_STR("cast"))(t, true, false) : attr(s, KOB_STR("cast"))(t);
    }
    py::object datetime_us(PyObject* name, py::handle array) { return as_datetime(num(name, array, "new_i64")); }
    // Pieces joined into one series of several chunks, without copying.
    py::object joined(PyObject* name, const std::vector<py::object>& pieces, const char* ctor, PyObject* empty_dtype) {
        check_signals();
        if (pieces.empty()) {
            py::object s =
                attr(pl_, KOB_STR("Series"))(py::handle(name), py::list(), py::arg("dtype") = dtype(empty_dtype));
            return low_ ? attr(s, KOB_STR("_s")) : s;
        }
        py::object s = num(name, pieces[0], ctor);
        for (std::size_t i = 1; i < pieces.size(); ++i) attr(s, KOB_STR("append"))(num(name, pieces[i], ctor));
        return s;
    }
    // A text column of names[idx[i]]; one repeated value when idx is all
    // the same (or empty, meaning names[0]).
    py::object text(PyObject* name, const std::vector<py::object>& names, const std::vector<std::uint32_t>& idx,
                    std::size_t n) {
        check_signals();
        bool one = true;
        for (std::size_t i = 1; i < idx.size() && one; ++i) one = idx[i] == idx[0];
        py::list values;
        if (one && low_ && n) {
            values.append(names[idx.empty() ? 0 : idx[0]]);
            return attr(ps_.attr("new_str")(py::handle(name), values, false), KOB_STR("new_from_index"))(0, n);
        }
        if (one) {
            if (n) values.append(names[idx.empty() ? 0 : idx[0]]);
        } else {
            for (const py::object& u : names) values.append(u);
        }
        py::object s =
            attr(pl_, KOB_STR("Series"))(py::handle(name), values, py::arg("dtype") = dtype(KOB_STR("String")));
        if (one) {
            if (n) s = attr(s, KOB_STR("new_from_index"))(0, n);
        } else {
            py::array_t<std::uint32_t> a(static_cast<py::ssize_t>(idx.size()));
            std::copy(idx.begin(), idx.end(), a.mutable_data());
            s = attr(s, KOB_STR("gather"))(a);
        }
        return low_ ? attr(s, KOB_STR("_s")) : s;
    }
    py::object frame(const py::list& cols) {
        check_signals();
        if (low_) return attr(attr(pl_, KOB_STR("DataFrame")), KOB_STR("_from_pydf"))(pd_(cols));
        return attr(pl_, KOB_STR("DataFrame"))(cols);
    }

private:
    py::object dtype(PyObject* name) { return attr(pl_, name); }
    py::object pl_, ps_, pd_;
    bool low_ = false;
};

// Runs `build(builder)` with the low-level constructors, and again with the
// public ones when those are missing or refuse their arguments (a library
// version that changed them); any other error goes on to the caller.
template <typename F>
py::object build_frame(py::handle pl, F&& build) {
    {
        Builder low(pl, true);
        if (low.low()) {
            try {
                return build(low);
            } catch (py::error_already_set& e) {
                if (!constructor_unavailable(e)) throw;
            }
        }
    }
    Builder pub(pl, false);
    return build(pub);
}

}  // namespace kob::columnar
