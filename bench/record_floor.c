/* The floor under add_tick in session: one compiled call that builds the
 * same eight-key record dict, with a naive datetime made from fixed fields,
 * and appends it to a list.  bench/run.py compiles it on the fly and prints
 * its time beside add_tick's; nothing else uses it. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

static PyObject *keys[8];

static PyObject *floor_append(PyObject *self, PyObject *args) {
    PyObject *list, *close, *qty;
    if (!PyArg_ParseTuple(args, "O!OO", &PyList_Type, &list, &close, &qty)) return NULL;
    PyObject *dt = PyDateTimeAPI->DateTime_FromDateAndTime(2024, 3, 4, 9, 0, 1, 0, Py_None, PyDateTimeAPI->DateTimeType);
    if (!dt) return NULL;
    PyObject *values[8] = {dt, keys[1], keys[2], close, qty, qty, Py_False, Py_False};
    PyObject *rec = PyDict_New();
    int ok = rec != NULL;
    for (int i = 0; ok && i < 8; ++i) ok = PyDict_SetItem(rec, keys[i], values[i]) == 0;
    Py_DECREF(dt);
    if (ok) ok = PyList_Append(list, rec) == 0;
    Py_XDECREF(rec);
    if (!ok) return NULL;
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {{"append", floor_append, METH_VARARGS, NULL}, {NULL, NULL, 0, NULL}};
static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "record_floor", NULL, -1, methods};

PyMODINIT_FUNC PyInit_record_floor(void) {
    const char *names[8] = {"dt", "market_type", "code", "close", "qty", "tick_type", "is_simulate", "is_virtual"};
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return NULL;
    for (int i = 0; i < 8; ++i)
        if (!(keys[i] = PyUnicode_InternFromString(names[i]))) return NULL;
    return PyModule_Create(&module);
}
