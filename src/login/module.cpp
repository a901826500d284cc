// The module object of ferrovane.cairn.utils.login and its import-time code.
//
// Multi-phase initialisation: the create slot hands out the one module object of the run
// (refusing a second interpreter), and the exec slot runs the module-level statements, which
// import the SDK pieces and standard modules that init_daz uses, bind them as globals, and bind
// init_daz itself.
//
// What the import makes lives as long as the run of the interpreter that made it: how a run
// begins and ends is in lifecycle.cpp.
#include "state.h"

namespace login {
namespace {

#ifdef FERROVANE_DECLARED_MAJOR
constexpr int kBuildMajor = FERROVANE_DECLARED_MAJOR;
constexpr int kBuildMinor = FERROVANE_DECLARED_MINOR;
#else
constexpr int kBuildMajor = PY_MAJOR_VERSION;
constexpr int kBuildMinor = PY_MINOR_VERSION;
#endif

// ---- create ----

// Copies spec.<attr> into the module dictionary as `key`. A missing attribute is skipped; None is
// skipped only where `skip_none` says so.
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* attr, const char* key,
                   bool skip_none) noexcept {
    Ref value(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (skip_none && value.get() == Py_None) {
        return 0;
    }
    return PyDict_SetItemString(dict, key, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef* def) noexcept {
    (void)def;
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    if (g_state.interpreter_id == -1) {
        g_state.interpreter_id = current;
    } else if (g_state.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                           "loaded into one interpreter per process.");
        return nullptr;
    }
    if (PyObject* existing = run_module()) {
        return existing;
    }
    if (g_state.phase == Phase::let_go) {
        // Let go at the interpreter's exit, and gone since.
        return not_initialised();
    }
    Ref modname(PyObject_GetAttrString(spec, "name"));
    if (!modname) {
        return nullptr;
    }
    Ref module(PyModule_NewObject(modname.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    if (!dict || copy_spec_attr(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true) < 0) {
        return nullptr;
    }
    return module.release();
}

// ---- exec ----

int check_version() noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == kBuildMajor && minor == kBuildMinor) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  kBuildMajor, kBuildMinor, kModuleName, "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

// Adds the module to sys.modules under its name where there is no entry; `added` says whether it
// did.
int add_to_sys_modules(PyObject* module, bool& added) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, name(N::module_name));
    if (existing) {
        return 0;
    }
    if (PyErr_Occurred() || PyDict_SetItem(modules, name(N::module_name), module) < 0) {
        return -1;
    }
    added = true;
    return 0;
}

// The absolute import machinery, as an `import` statement at module level calls it. A module
// already in sys.modules comes straight back (once it has finished initialising).
PyObject* import_level0(PyObject* module_name, PyObject* fromlist) noexcept {
    Ref locals(PyDict_New());
    if (!locals) {
        return nullptr;
    }
    return PyImport_ImportModuleLevelObject(module_name, g_state.dict, locals.get(), fromlist, 0);
}

// `from <package> import <item>`. The statement only imports the submodule <package>.<item> when
// the package has no attribute of that name, so a top-level package that has one is imported
// without the fromlist, which skips importlib's fromlist handling (Python code).
PyObject* import_from(N package, N item) noexcept {
    PyObject* item_name = name(item);
    if (PyUnicode_FindChar(name(package), '.', 0, PyUnicode_GET_LENGTH(name(package)), 1) == -1) {
        Ref imported(import_level0(name(package), nullptr));
        if (!imported) {
            return nullptr;
        }
        if (PyObject* value = PyObject_GetAttr(imported.get(), item_name)) {
            return value;
        }
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return nullptr;
        }
        PyErr_Clear();
    }
    Ref fromlist(PyList_New(1));
    if (!fromlist) {
        return nullptr;
    }
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(item_name));
    Ref imported(import_level0(name(package), fromlist.get()));
    if (!imported) {
        return nullptr;
    }
    PyObject* value = PyObject_GetAttr(imported.get(), item_name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return value;
    }
    // Not an attribute (yet): a submodule of that name may already be in sys.modules.
    PyErr_Clear();
    Ref imported_name(PyObject_GetAttr(imported.get(), name(N::dunder_name)));
    if (imported_name && PyUnicode_Check(imported_name.get())) {
        Ref full(PyUnicode_FromFormat("%U.%U", imported_name.get(), item_name));
        if (full) {
            value = PyImport_GetModule(full.get());
        }
    }
    if (!value) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name %S", item_name);
    }
    return value;
}

// `import <name>` for a top-level module.
PyObject* import_plain(N module_name) noexcept { return import_level0(name(module_name), nullptr); }

int bind(N global, PyObject* value) noexcept {
    Ref owned(value);
    if (!owned) {
        return -1;
    }
    return PyDict_SetItem(g_state.dict, name(global), owned.get());
}

// Module-level statements from line 1 on; returns the failing line, or 0.
int run_statements() noexcept {
    if (bind(N::daz, import_from(N::ferrovane, N::daz)) < 0) {
        return 1;
    }
    if (bind(N::get_license_info, import_from(N::license_helper, N::get_license_info)) < 0) {
        return 2;
    }
    constexpr N kPlain[] = {N::os, N::sys, N::subprocess, N::json};
    int line = 3;
    for (N module_name : kPlain) {
        if (bind(module_name, import_plain(module_name)) < 0) {
            return line;
        }
        ++line;
    }
    if (function_type_ready() < 0 || bind(N::init_daz, function_new(g_state.dict)) < 0) {
        return kLineInitDaz;
    }
    if (bind(N::dunder_test, PyDict_New()) < 0) {
        return kLineTop;
    }
    return 0;
}

// Undoes what a failed exec set up (the entry in sys.modules where `added_to_sys_modules`), so
// that a later import starts again from create.
void release_failed_module(bool added_to_sys_modules = false) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (added_to_sys_modules) {
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* entry = PyDict_GetItemWithError(modules, name(N::module_name));
        if (entry == g_state.module && PyDict_DelItem(modules, name(N::module_name)) < 0) {
            PyErr_Clear();
        }
        PyErr_Clear();
    }
    g_state.phase = Phase::failed;
    g_state.dict = nullptr;
    Py_CLEAR(g_state.module);
    PyErr_SetRaisedException(exc);
}

// The builtins module: the one in sys.modules, or else what importing it gives.
PyObject* import_builtins() noexcept {
    Ref builtins_name(PyUnicode_FromString("builtins"));
    if (!builtins_name) {
        return nullptr;
    }
    PyObject* builtins = PyImport_GetModule(builtins_name.get());
    if (builtins || PyErr_Occurred()) {
        return builtins;
    }
    return PyImport_Import(builtins_name.get());
}

int module_exec(PyObject* module) noexcept {
    switch (g_state.phase) {
    case Phase::importing:
    case Phase::live:
    case Phase::let_go: {
        Ref existing(run_module());
        if (module == existing.get()) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError, "Module 'login' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    case Phase::ended:
        not_initialised();
        return -1;
    case Phase::unloaded:
        if (begin_run() < 0) {
            return -1;
        }
        break;
    case Phase::failed:
        break;
    }
    g_state.phase = Phase::importing;
    g_state.module = Py_NewRef(module);
    g_state.dict = PyModule_GetDict(module);
    if (!g_state.dict) {
        release_failed_module();
        return -1;
    }
    if (!g_state.builtins && !(g_state.builtins = import_builtins())) {
        release_failed_module();
        return -1;
    }
    if (PyObject_SetAttrString(module, "__builtins__", g_state.builtins) < 0 ||
        check_version() < 0 || prepare_import() < 0) {
        release_failed_module();
        return -1;
    }
    bool added = false;
    int line = 0;
    if (add_to_sys_modules(module, added) < 0) {
        line = kLineTop;
    } else {
        line = run_statements();
    }
    if (line != 0) {
        add_traceback(Func::import_time, line);
        release_failed_module(added);
        return -1;
    }
    g_state.phase = Phase::live;
    lookup_init(g_state.dict);
    return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef g_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "login",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = g_methods,
    .m_slots = g_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace
} // namespace login

PyMODINIT_FUNC PyInit_login(void) { return PyModuleDef_Init(&login::g_def); }
