// The function type of init_daz.
//
// init_daz is a built-in function to every tool: its type derives from builtin_function_or_method
// and it carries a METH_NOARGS method definition named "init_daz", so inspect.isbuiltin/isroutine,
// pydoc, cProfile, sys.setprofile and sys.monitoring treat it like any native function of a module
// (its __self__ is the module, its repr "<built-in function init_daz>"). The method definition's
// doc holds only the signature "()", so __text_signature__ is "()" and __doc__ is None (read-only,
// through the base type's descriptor).
//
// On top of that it carries what a Python function has and callers read: __globals__, __code__,
// __defaults__, __kwdefaults__, __closure__ and a writable __dict__. It keeps a vectorcall of its
// own, so that its argument errors name "init_daz()" rather than the qualified name that the base
// type's check would give.
//
// The base type cannot be subclassed through PyType_FromSpec, so the type is a static one, readied
// by the first import in each runtime; the module is only ever loaded into one
// interpreter at a time. Once readied, it stays a whole, ready type until the runtime ends: its
// base lists it among its subclasses, so anything may still reach it. At the end of a run what its
// dictionary holds (the descriptors) is released; the type and any function object that outlives
// the run then answer attribute reads from the base type, or with AttributeError. A runtime
// started again readies it from scratch.
#include "state.h"

#include <climits>
#include <cstddef>

namespace login {
namespace {

struct Function {
    PyCFunctionObject base; // m_ml, m_self (the module), m_module (its name), weakrefs, vectorcall
    PyObject* globals;
    PyObject* dict;
};

Function* as_function(PyObject* self) noexcept { return reinterpret_cast<Function*>(self); }

PyObject* call_init_daz(PyObject* self) noexcept {
    if (!may_call(as_function(self)->globals)) {
        // A function object that outlived a failed import of its module, or the run of the
        // interpreter that made it (a late finalizer).
        return not_initialised();
    }
    return init_daz_impl();
}

// Same checks, order and messages as a native function that takes no arguments.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
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
    // The depth check that the interpreter's own native functions make on entry: a loop of calls
    // with no Python frame in it (init_daz bound as one of its own callees) ends in RecursionError
    // rather than in a stack overflow.
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject* result = call_init_daz(self);
    Py_LeaveRecursiveCall();
    return result;
}

// The METH_NOARGS entry, for code that calls the method definition directly.
PyObject* function_noargs(PyObject* self, PyObject* unused) noexcept {
    (void)unused;
    return call_init_daz(self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(f->base.m_self);
    Py_VISIT(f->base.m_module);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    return 0;
}

// Releases everything itself rather than through the base type's deallocator, whose handling
// of the memory (free lists) is private to the interpreter and sized for the base object.
void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Function* f = as_function(self);
    if (f->base.m_weakreflist) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    Py_CLEAR(f->base.m_self);
    Py_CLEAR(f->base.m_module);
    PyObject_GC_Del(self);
}

// Globals that the garbage collector has cleared read as None.
PyObject* get_globals(PyObject* self, void*) {
    PyObject* globals = as_function(self)->globals;
    return Py_NewRef(globals ? globals : Py_None);
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject*, void*) { return code_object(); }

PyGetSetDef function_getset[] = {
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_method = {"init_daz", function_noargs, METH_NOARGS, "init_daz()\n--\n\n"};

// Filled in by function_type_ready: the base type is a variable of the interpreter's library,
// which a static initialiser cannot take the address of on every platform.
PyTypeObject g_function_type{};
// The runtime generation that the type was filled in for. Once that runtime has ended, what the
// type holds (its dictionary, its bases and MRO, its version tag) belongs to it and is never
// touched again: the next runtime starts from a blank type.
uint64_t g_type_generation = 0;
// Whether the type's dictionary holds only the type's own entries (below).
bool g_type_trimmed = false;

// Whether `key` is an entry of the type's own: one of its getset descriptors, or its __call__.
int own_entry(PyObject* key) noexcept {
    if (!PyUnicode_Check(key)) {
        return 0;
    }
    if (PyUnicode_CompareWithASCIIString(key, "__call__") == 0) {
        return 1;
    }
    for (const PyGetSetDef* g = function_getset; g->name; ++g) {
        if (PyUnicode_CompareWithASCIIString(key, g->name) == 0) {
            return 1;
        }
    }
    return 0;
}

// The type's dictionary keeps only the type's own entries. Anything else that readying put there
// would hide the base type's: `__doc__ = None`, which a type without a doc gets, would hide the
// read-only `__doc__` of each function and let an assignment land in the instance's __dict__; and a
// readying that failed part way (a failed allocation) and was run again adds wrappers of the slots
// it had inherited by then. Without them the base type's serve, as after a clean readying. Done
// once, right after readying (again at the next import where it failed).
int trim_type_dict() noexcept {
    PyTypeObject& t = g_function_type;
    Ref type_dict(PyType_GetDict(&t));
    if (!type_dict) {
        return -1;
    }
    Ref keys(PyDict_Keys(type_dict.get()));
    if (!keys) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        if (!own_entry(key) && PyDict_DelItem(type_dict.get(), key) < 0) {
            return -1;
        }
    }
    PyType_Modified(&t);
    g_type_trimmed = true;
    return 0;
}

// The fields of the type, set once per runtime on the zeroed type.
void fill_type() noexcept {
    PyTypeObject& t = g_function_type;
    // The header a static type gets from its initialiser (the macro ends in a comma).
    const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.ob_base = head[0];
    t.tp_name = LOGIN_MODULE_NAME ".native_function";
    t.tp_basicsize = sizeof(Function);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_DISALLOW_INSTANTIATION;
    t.tp_base = &PyCFunction_Type;
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(PyCFunctionObject, vectorcall);
    // A type that offers vectorcall must also have tp_call; PyVectorcall_Call reaches the
    // same vectorcall, so f(*args, **kwargs) and f.__call__(...) take the same checks.
    t.tp_call = PyVectorcall_Call;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_getset = function_getset;
    t.tp_dictoffset = offsetof(Function, dict);
}

// After a readying that failed part way (a failed allocation): releases what it made (a dictionary
// that may hold some of the descriptors, the bases and the MRO) and fills the type afresh, keeping
// its header (a count of references that those objects held, on versions where it is kept), so that
// the next import readies it from the start. Nothing can reach the type unless its base lists it
// among its subclasses, which holds a weak reference to it: readying does that last, and a type so
// far along is readied again as it is.
void forget_failed_readying() noexcept {
    PyTypeObject& t = g_function_type;
    if (t.tp_weaklist) {
        return;
    }
    PyObject* made[] = {t.tp_dict, t.tp_mro, t.tp_bases};
    const PyObject head = t.ob_base.ob_base;
    t = PyTypeObject{};
    fill_type();
    t.ob_base.ob_base = head;
    for (PyObject* object : made) {
        Py_XDECREF(object);
    }
}

} // namespace

void function_type_release() noexcept {
    PyTypeObject& t = g_function_type;
    if (!(t.tp_flags & Py_TPFLAGS_READY)) {
        return;
    }
    // The interpreter's attribute cache knows the type by its version tag: drop the tag before the
    // descriptors go. The type itself stays ready, with its bases and MRO, and an empty dictionary.
    PyType_Modified(&t);
    Ref type_dict(PyType_GetDict(&t));
    if (type_dict) {
        PyDict_Clear(type_dict.get());
    } else {
        PyErr_Clear();
    }
}

int function_type_ready() noexcept {
    PyTypeObject& t = g_function_type;
    if (g_type_generation != runtime_generation()) {
        t = PyTypeObject{};
        fill_type();
        g_type_generation = runtime_generation();
        g_type_trimmed = false;
    }
    if (!(t.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&t) < 0) {
        forget_failed_readying();
        return -1;
    }
    return g_type_trimmed ? 0 : trim_type_dict();
}

// It describes init_daz to tools (its first line, the function's local names) and is made when
// first asked for, as the import does not need it. Its body is the one the interpreter gives the
// code objects of native frames (PyCode_NewEmpty): it raises AssertionError, so that running it
// through exec, a function made from it, or a tool that instruments it, ends in an exception rather
// than reading past the end of the bytecode. The body, its line table, exception table and stack
// size are taken from such a code object, as their form differs from one version of the interpreter
// to the next.
PyObject* code_object() noexcept {
    if (g_state.phase == Phase::unloaded || g_state.phase == Phase::ended) {
        return not_initialised();
    }
    if (g_state.code) {
        return Py_NewRef(g_state.code);
    }
    if (prepare_call() < 0) {
        return nullptr;
    }
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
    PyObject* fn = name(N::init_daz);
    Ref shape(reinterpret_cast<PyObject*>(PyCode_NewEmpty("", "", kLineInitDaz)));
    if (!shape) {
        return nullptr;
    }
    Ref body(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(shape.get())));
    if (!body) {
        return nullptr;
    }
    // What the body reads besides (none on the versions known, taken along all the same), its
    // line table, exception table and stack size.
    enum Taken { consts, names, linetable, exceptiontable, stacksize_obj, count };
    static constexpr const char* kTaken[count] = {"co_consts", "co_names", "co_linetable",
                                                  "co_exceptiontable", "co_stacksize"};
    Ref taken[count];
    for (int i = 0; i < count; ++i) {
        taken[i].reset(PyObject_GetAttrString(shape.get(), kTaken[i]));
        if (!taken[i]) {
            return nullptr;
        }
    }
    const long stacksize = PyLong_AsLong(taken[stacksize_obj].get());
    if (stacksize == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (stacksize < 0 || stacksize > INT_MAX) {
        PyErr_SetString(PyExc_SystemError, "co_stacksize out of range");
        return nullptr;
    }
    Ref empty_tuple(PyTuple_New(0));
    if (!empty_tuple) {
        return nullptr;
    }
    auto* code = reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        0, 0, 0, static_cast<int>(n), static_cast<int>(stacksize), CO_OPTIMIZED | CO_NEWLOCALS,
        body.get(), taken[consts].get(), taken[names].get(), varnames.get(), empty_tuple.get(),
        empty_tuple.get(), g_state.filename, fn, fn, kLineInitDaz, taken[linetable].get(),
        taken[exceptiontable].get()));
    if (code && !g_state.code) {
        g_state.code = Py_NewRef(code);
    }
    return code;
}

PyObject* function_new(PyObject* globals) noexcept {
    Function* f = PyObject_GC_New(Function, &g_function_type);
    if (!f) {
        return nullptr;
    }
    f->base.m_ml = &g_method;
    f->base.m_self = Py_NewRef(g_state.module);
    f->base.m_module = Py_NewRef(name(N::module_name));
    f->base.m_weakreflist = nullptr;
    f->base.vectorcall = function_vectorcall;
    f->globals = Py_NewRef(globals);
    f->dict = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

} // namespace login
