/* Test-only extension: callables that break the interpreter's calling convention, each accepting
 * any positional and keyword arguments. Both have their own vectorcall entry (METH_FASTCALL), so
 * only a caller that goes through the interpreter's call functions notices what they do. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* Returns NULL without setting an exception. */
static PyObject* null_without_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    return NULL;
}

/* Returns None with a ValueError set. */
static PyObject* result_with_error(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    PyErr_SetString(PyExc_ValueError, "left set by the callee");
    Py_RETURN_NONE;
}

static PyMethodDef methods[] = {
    {"null_without_error", (PyCFunction)(void (*)(void))null_without_error,
     METH_FASTCALL | METH_KEYWORDS, NULL},
    {"result_with_error", (PyCFunction)(void (*)(void))result_with_error,
     METH_FASTCALL | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "misbehaving", NULL, 0, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_misbehaving(void) { return PyModuleDef_Init(&module); }
