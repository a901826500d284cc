// The function type of init_daz.
//
// A native function that looks like a Python function to the tools that introspect one
// (inspect.signature, pickle, help): it carries __name__, __qualname__, __module__, __doc__,
// __globals__, __code__, __defaults__, __kwdefaults__, __closure__ and a __dict__, and it is
// called through vectorcall without building argument tuples.
#include "state.h"

#include <cstddef>

namespace login {
namespace {

struct Function {
    PyObject ob_base; // PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* globals;
    PyObject* code;
    PyObject* dict;
    PyObject* weakrefs;
};

Function* as_function(PyObject* self) noexcept { return reinterpret_cast<Function*>(self); }

// Same checks, order and messages as a native function that takes no arguments.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    (void)self;
    (void)args;
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", "init_daz");
        return nullptr;
    }
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", "init_daz", nargs);
        return nullptr;
    }
    if (!g_state.dict) {
        // Only a function object that outlived a failed import of its module gets here.
        PyErr_SetString(PyExc_RuntimeError, "ferrovane.cairn.utils.login is not initialised");
        return nullptr;
    }
    return init_daz_impl();
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname,
                                static_cast<void*>(self));
}

// Pickling by reference: the qualified name, looked up in __module__ when unpickling.
PyObject* function_reduce(PyObject* self, PyObject* unused) {
    (void)unused;
    return Py_NewRef(as_function(self)->qualname);
}

// Getter of one object field of the function.
template <PyObject* Function::*field> PyObject* get_field(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->*field);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

int set_string(PyObject*& slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) {
    return set_string(as_function(self)->name, value, "__name__");
}
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string(as_function(self)->qualname, value, "__qualname__");
}
int set_any(PyObject*& slot, PyObject* value) {
    Py_SETREF(slot, Py_NewRef(value ? value : Py_None));
    return 0;
}
int set_doc(PyObject* self, PyObject* value, void*) {
    return set_any(as_function(self)->doc, value);
}
int set_module(PyObject* self, PyObject* value, void*) {
    return set_any(as_function(self)->module, value);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_field<&Function::name>, set_name, nullptr, nullptr},
    {"__qualname__", get_field<&Function::qualname>, set_qualname, nullptr, nullptr},
    {"__doc__", get_field<&Function::doc>, set_doc, nullptr, nullptr},
    {"__module__", get_field<&Function::module>, set_module, nullptr, nullptr},
    {"__globals__", get_field<&Function::globals>, nullptr, nullptr, nullptr},
    {"__code__", get_field<&Function::code>, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = "ferrovane.cairn.utils.login.native_function",
    .basicsize = sizeof(Function),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

// Made at the first import and kept for the process, like the module.
PyTypeObject* g_function_type = nullptr;

} // namespace

int function_type_ready() noexcept {
    if (g_function_type) {
        return 0;
    }
    g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return g_function_type ? 0 : -1;
}

PyObject* make_code_object() noexcept {
    static constexpr N kLocals[] = {N::agent, N::ps_cmd,  N::res,     N::result, N::list_values,
                                    N::dic,   N::user_id, N::app_key, N::user,   N::pw};
    constexpr Py_ssize_t n = sizeof(kLocals) / sizeof(kLocals[0]);
    Ref varnames(PyTuple_New(n));
    if (!varnames) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(name(kLocals[i])));
    }
    Ref empty_bytes(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple(PyTuple_New(0));
    if (!empty_bytes || !empty_tuple) {
        return nullptr;
    }
    PyObject* fn = name(N::init_daz);
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        0, 0, 0, static_cast<int>(n), 0, CO_OPTIMIZED | CO_NEWLOCALS, empty_bytes.get(),
        empty_tuple.get(), empty_tuple.get(), varnames.get(), empty_tuple.get(), empty_tuple.get(),
        g_state.filename, fn, fn, 9, empty_bytes.get(), empty_bytes.get()));
}

PyObject* function_new(PyObject* globals) noexcept {
    Function* f = PyObject_GC_New(Function, g_function_type);
    if (!f) {
        return nullptr;
    }
    f->vectorcall = function_vectorcall;
    f->name = Py_NewRef(name(N::init_daz));
    f->qualname = Py_NewRef(name(N::init_daz));
    f->module = Py_NewRef(name(N::module_name));
    f->doc = Py_NewRef(Py_None);
    f->globals = Py_NewRef(globals);
    f->code = Py_NewRef(g_state.code);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

} // namespace login
