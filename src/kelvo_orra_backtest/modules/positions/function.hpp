// Native function objects for the module's classes.
//
// Every Python-visible method is a `Function`: a GC-tracked object that binds
// like a Python function (descriptor protocol, method-descriptor fast path),
// is called through vectorcall, and carries the introspection attributes of a
// function (__name__, __qualname__, __doc__, __defaults__, __annotations__,
// __module__, __text_signature__, __dict__).  Arguments are parsed from one
// declarative table per method (`MethodSpec`), which sits next to the method's
// implementation.
//
// Rules of the native code (every file keeps them):
//
// - Parameters: `PyObject*` where a value is only looked at (type tests,
//   identity) and never outlives the call; `py::handle` for a borrowed
//   reference that the caller keeps alive; `py::object` for an owned
//   reference, and for every value kept across a call into Python.
// - `check(p)` throws when a C API call returned null or -1 (the Python
//   error is already set); `steal(p)` takes over a new reference after the
//   same test; `borrow(p)` takes a new reference to a borrowed one.
// - Any call into Python (a comparison, a hash, an item or attribute read on
//   a non-exact type, `__float__`, a library call, even a dictionary lookup
//   whose keys are not plain texts) may run arbitrary code, release the
//   interpreter lock and change any object.  So no raw pointer, index or
//   iterator into a Python container is held across such a call; values
//   read before it are held as owned references; and what was read is
//   checked again before a change of state is committed.
// - C++ exceptions become Python errors in one place: the vectorcall entry of
//   `Function` (function.cpp) turns `py::error_already_set` back into the
//   pending error and any other exception into a RuntimeError.  Code that
//   must clean up after a failure catches, cleans up, and rethrows.
// - Process-wide statics: interned texts (KOB_STR), the `Function` type, the
//   K-bar cache records and a few immutable lists are created once and never
//   released.  That is safe because they are only ever read (or, for the
//   cache records, changed with the interpreter lock held), and releasing a
//   Python object from a C++ static destructor at exit would run after the
//   interpreter is gone.
// - Fast paths stand beside exact ones as `*_fast` / `*_exact` twins; each
//   names its twin and the test that proves the two equal.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

namespace py = pybind11;

namespace kob {

// How an argument is checked or converted on entry.
enum class Kind : std::uint8_t {
    Any,          // no test (bool, object, Literal[...], QuoteManager)
    Str,          // exactly str
    Int,          // exactly int (bool refused)
    Dict,         // exactly dict
    List,         // exactly list
    Float,        // converted to a C double (ints accepted)
    FloatOrNone,  // exactly float or None
    IntOrNone,    // exactly int or None
    StrOrNone,    // exactly str or None
};

// Default value of a parameter.
enum class Def : std::uint8_t { Required, None, False, True, EmptyList };

struct Param {
    const char* name;
    Kind kind = Kind::Any;
    const char* annotation = nullptr;  // annotation text, nullptr when not annotated
    Def def = Def::Required;
};

struct Call;
using Impl = py::object (*)(Call&);

struct MethodSpec {
    const char* name;           // name as written in the class body ("__calculate_profit")
    std::vector<Param> params;  // parameters after `self`
    Impl impl = nullptr;
    const char* doc = nullptr;      // full docstring, nullptr for none
    const char* returns = nullptr;  // return annotation text
    const char* star = nullptr;     // name of a `*args` parameter
    bool property = false;          // registered as a read-only property
    bool plain = false;             // a plain function: no `self` parameter
    // Set when the class is registered: the interned name under which the
    // method is found on an instance ("_Positions__calculate_profit" for the
    // private "__calculate_profit").  Kept for the life of the process.
    mutable PyObject* attr_name = nullptr;
};

// globals[name], read now; NameError when it is missing.
py::object global_of(PyObject* globals, PyObject* name);

// Parsed arguments handed to an implementation.  Implementations bind them to
// names once, beside their method table, and hand helpers what they need.
struct Call {
    PyObject* self;         // nullptr for a plain function
    PyObject* const* args;  // borrowed, one per parameter after self
    const double* nums;     // converted doubles, valid for Kind::Float parameters
    PyObject* star;         // tuple of extra positionals (borrowed) or nullptr
    PyObject* globals;      // the module's namespace (borrowed)
    PyObject* func;         // the Function being called (borrowed)

    py::handle operator[](std::size_t i) const { return args[i]; }
    double num(std::size_t i) const { return nums[i]; }
    // Module global read at the moment of use; NameError when it is missing.
    py::object global(PyObject* name) const;
};

// Throws py::error_already_set when `o` is null (a C API call failed).
inline PyObject* check(PyObject* o) {
    if (!o) throw py::error_already_set();
    return o;
}
inline void check(int rc) {
    if (rc < 0) throw py::error_already_set();
}
inline py::object steal(PyObject* o) { return py::reinterpret_steal<py::object>(check(o)); }
inline py::object borrow(PyObject* o) { return py::reinterpret_borrow<py::object>(check(o)); }

// The error of an argument refused by its exact-type test.
[[noreturn]] void raise_arg_type(const char* name, const char* expected, PyObject* got);

// Creates a Function for `method` whose `__qualname__` is `qualname` and whose
// globals are `globals`.  `shared_empty_list` is the default object of
// Def::EmptyList parameters.
py::object make_function(const MethodSpec& method, const char* qualname, py::handle module_name, py::handle globals,
                         py::handle shared_empty_list);

// The name under which `method` is found on an instance (see attr_name).
PyObject* name_on_instance(const MethodSpec& method);

// The one test for "is this method the class's own?": true when a call of
// `method` through `self` would run the module's own implementation, so a
// native call may stand in for it.  That needs the generic attribute
// lookup, the class attribute being the Function made from `method` (no
// override in a subclass) and no instance attribute of that name.  Runs no
// Python code but the instance dictionary's own key comparisons.
bool is_own_method(PyObject* self, const MethodSpec& method);

// Readies the Function type; called once from the module's exec step.
int ready_function_type(PyObject* module);

}  // namespace kob
