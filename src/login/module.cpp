// The module object of ferrovane.cairn.utils.login and its import-time code.
//
// Multi-phase initialisation: the create slot hands out the one module object of the run
// (refusing a second interpreter), and the exec slot runs the module-level statements, which
// import the SDK pieces and standard modules that init_daz uses, bind them as globals, and bind
// init_daz itself.
//
// What the import makes lives as long as the run of the interpreter that made it. That
// interpreter calls the module back late in its finalization (after the atexit handlers and the
// teardown of modules, while objects can still be released), and the module then releases and
// forgets all of it. An application that finalizes the runtime and starts it again thus imports a
// new module object into the new run, as the first run did.
#include "state.h"

#include <cstring>

namespace login {
namespace {

#ifdef FERROVANE_DECLARED_MAJOR
constexpr int kBuildMajor = FERROVANE_DECLARED_MAJOR;
constexpr int kBuildMinor = FERROVANE_DECLARED_MINOR;
#else
constexpr int kBuildMajor = PY_MAJOR_VERSION;
constexpr int kBuildMinor = PY_MINOR_VERSION;
#endif

constexpr const char kSourcePath[] = "ferrovane/cairn/utils/login.cpp";

// Source lines of the module-level statements.
constexpr int kLineTop = 1;
constexpr int kLineInitDaz = 9;

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
    if (g_state.module_ref) {
        // Let go by the interpreter's teardown, and gone since.
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

// A string of ASCII text, made without decoding it; interned on request.
PyObject* make_text(const char* text, bool interned) noexcept {
    const size_t length = strlen(text);
    PyObject* made = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (!made) {
        return nullptr;
    }
    memcpy(PyUnicode_1BYTE_DATA(made), text, length);
    if (interned) {
        PyUnicode_InternInPlace(&made);
    }
    return made;
}

struct StringSpec {
    const char* text;
    bool interned;
};

constexpr StringSpec kStrings[] = {
#define LOGIN_SPEC(id, text, interned) {text, interned},
    LOGIN_STRINGS(LOGIN_SPEC)
#undef LOGIN_SPEC
};
static_assert(sizeof(kStrings) / sizeof(kStrings[0]) == static_cast<size_t>(N::count_));

// Makes the strings [first, last) that are not made yet; kept for the process.
int make_strings(N first, N last) noexcept {
    for (int i = static_cast<int>(first); i < static_cast<int>(last); ++i) {
        if (!g_state.names[i] &&
            !(g_state.names[i] = make_text(kStrings[i].text, kStrings[i].interned))) {
            return -1;
        }
    }
    return 0;
}

// What the import needs: its strings and those of the traceback entries.
int make_import_strings() noexcept {
    if (make_strings(N::os, N::first_call_) < 0) {
        return -1;
    }
    if (!g_state.filename && !(g_state.filename = make_text(kSourcePath, false))) {
        return -1;
    }
    if (!g_state.funcname_init_daz &&
        !(g_state.funcname_init_daz = make_text("ferrovane.cairn.utils.login.init_daz", false))) {
        return -1;
    }
    if (!g_state.funcname_import &&
        !(g_state.funcname_import = make_text("init ferrovane.cairn.utils.login", false))) {
        return -1;
    }
    return 0;
}

template <typename... Names> PyObject* name_tuple(Names... ns) noexcept {
    return PyTuple_Pack(sizeof...(ns), name(ns)...);
}

} // namespace

PyObject* run_module() noexcept {
    if (g_state.module) {
        return Py_NewRef(g_state.module);
    }
    if (!g_state.module_ref) {
        return nullptr;
    }
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* module = nullptr;
    if (PyWeakref_GetRef(g_state.module_ref, &module) < 0) {
        PyErr_Clear();
    }
    return module;
#else
    PyObject* module = PyWeakref_GetObject(g_state.module_ref);
    if (!module) {
        PyErr_Clear();
        return nullptr;
    }
    return module == Py_None ? nullptr : Py_NewRef(module);
#endif
}

namespace {

bool runtime_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Whether `key`, a key of sys.modules, is the module's own name.
bool is_module_name(PyObject* key) noexcept {
    return key == name(N::module_name) ||
           (key && PyUnicode_CheckExact(key) && PyUnicode_Compare(key, name(N::module_name)) == 0);
}

} // namespace

void modules_changed(PyDict_WatchEvent event, PyObject* key, PyObject* new_value) noexcept {
    // Held strongly, the module would keep its globals (the standard modules and the SDK's that
    // it imported) alive through the teardown of modules, which then wipes each of them one by one
    // instead of letting them go as the garbage they are. So once the runtime is finalizing, the
    // import system can find nothing (sys.meta_path is gone) and the teardown takes the module out
    // of sys.modules, the module is held weakly: from then on it lives exactly as long as Python
    // code holds it (init_daz does), like a module of Python code.
    if (!g_state.module || g_lookup.globals_watched != g_state.dict) {
        return;
    }
    switch (event) {
    case PyDict_EVENT_MODIFIED:
    case PyDict_EVENT_DELETED:
        if (new_value == g_state.module || !is_module_name(key)) {
            return;
        }
        break;
    case PyDict_EVENT_CLEARED:
    case PyDict_EVENT_DEALLOCATED:
        break;
    default:
        return;
    }
    if (!runtime_finalizing()) {
        return;
    }
    PyObject* meta_path = PySys_GetObject("meta_path");
    if (meta_path && meta_path != Py_None) {
        return;
    }
    // sys.modules still holds the module while its watcher runs: nothing is freed here.
    PyObject* ref = PyWeakref_NewRef(g_state.module, nullptr);
    if (!ref) {
        PyErr_Clear();
        return;
    }
    g_state.module_ref = ref;
    PyObject* module = g_state.module;
    g_state.module = nullptr;
    Py_DECREF(module);
}

PyObject* not_initialised() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "ferrovane.cairn.utils.login is not initialised");
    return nullptr;
}

int prepare_call() noexcept {
    if (g_state.call_ready) {
        return 0;
    }
    if (make_strings(N::first_call_, N::count_) < 0) {
        return -1;
    }
    if (!g_state.zero && !(g_state.zero = PyLong_FromLong(0))) {
        return -1;
    }
    if (!g_state.one && !(g_state.one = PyLong_FromLong(1))) {
        return -1;
    }
    if (!g_state.kw_appkey && !(g_state.kw_appkey = name_tuple(N::appkey))) {
        return -1;
    }
    if (!g_state.kw_windows_run &&
        !(g_state.kw_windows_run = name_tuple(N::env, N::capture_output, N::text, N::encoding))) {
        return -1;
    }
    if (!g_state.kw_shell_run &&
        !(g_state.kw_shell_run = name_tuple(N::shell, N::capture_output, N::text, N::encoding))) {
        return -1;
    }
    g_state.call_ready = true;
    return 0;
}

namespace {

int add_to_sys_modules(PyObject* module) noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = PyDict_GetItemWithError(modules, name(N::module_name));
    if (existing) {
        return 0;
    }
    if (PyErr_Occurred() || PyDict_SetItem(modules, name(N::module_name), module) < 0) {
        return -1;
    }
    g_state.added_to_sys_modules = true;
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

// Undoes what a failed exec set up, so that a later import starts again from create.
void release_failed_module() noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (g_state.added_to_sys_modules) {
        PyObject* modules = PyImport_GetModuleDict();
        PyObject* entry = PyDict_GetItemWithError(modules, name(N::module_name));
        if (entry == g_state.module && PyDict_DelItem(modules, name(N::module_name)) < 0) {
            PyErr_Clear();
        }
        PyErr_Clear();
        g_state.added_to_sys_modules = false;
    }
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

// ---- the end of a run ----

// Whether the end of the runtime calls on_runtime_exit.
bool g_runtime_hooked = false;

// Releases everything made for the run. Called back by the interpreter `interp` that made it, late
// in its finalization: after its atexit handlers and the teardown of its modules, before its last
// garbage collection. Finalizers that run from here on find the module uninitialised.
void end_run(PyInterpreterState* interp) noexcept {
    // Nothing should be pending here; whatever is stays as it was.
    PyObject* exc = PyErr_GetRaisedException();
    // Taken off the module whole before the releases, which can run finalizers.
    const State ended = g_state;
    g_state = State{};
    // The runtime ends with its main interpreter, and a new one may number its interpreters from
    // the start again. The end of another interpreter keeps the others refused.
    if (interp != PyInterpreterState_Main()) {
        g_state.interpreter_id = ended.interpreter_id;
    }
    lookup_release();
    traceback_release();
    Py_XDECREF(ended.module);
    Py_XDECREF(ended.module_ref);
    Py_XDECREF(ended.builtins);
    Py_XDECREF(ended.code);
    for (PyObject* text : ended.names) {
        Py_XDECREF(text);
    }
    Py_XDECREF(ended.zero);
    Py_XDECREF(ended.one);
    Py_XDECREF(ended.kw_appkey);
    Py_XDECREF(ended.kw_windows_run);
    Py_XDECREF(ended.kw_shell_run);
    Py_XDECREF(ended.funcname_init_daz);
    Py_XDECREF(ended.funcname_import);
    Py_XDECREF(ended.filename);
    function_type_release();
    // The runtime's own end, where it was hooked, lets the next runtime ready the type afresh.
    if (interp == PyInterpreterState_Main() && !g_runtime_hooked) {
        function_type_forget();
    }
    PyErr_SetRaisedException(exc);
}

void on_interpreter_exit(void* interp) { end_run(static_cast<PyInterpreterState*>(interp)); }

// The end of the runtime itself, after every interpreter has gone (no Python API may be used).
// Normally the interpreter's callback has released everything already; this lets the next runtime
// start over, ready the function type afresh, and import even where the module's interpreter was a
// subinterpreter that ended first.
void on_runtime_exit() {
    g_runtime_hooked = false;
    g_state = State{};
    g_lookup = LookupCache{};
    function_type_forget();
}

// Asks the current interpreter to call the module back when it finalizes.
int hook_end_of_run() noexcept {
    PyInterpreterState* interp = PyInterpreterState_Get();
#if PY_VERSION_HEX >= 0x030D0000
    const int status = PyUnstable_AtExit(interp, on_interpreter_exit, interp);
#else
    const int status = _Py_AtExit(interp, on_interpreter_exit, interp);
#endif
    if (status < 0) {
        return -1;
    }
    g_state.in_run = true;
    // The process-wide list is short (32 entries); where it is full, the interpreter's callback
    // alone serves, which covers every case but a subinterpreter's run followed by a new runtime.
    if (!g_runtime_hooked && Py_AtExit(on_runtime_exit) == 0) {
        g_runtime_hooked = true;
    }
    return 0;
}

int module_exec(PyObject* module) noexcept {
    if (g_state.module || g_state.module_ref) {
        Ref existing(run_module());
        if (module == existing.get()) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError, "Module 'login' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    if (!g_state.in_run && hook_end_of_run() < 0) {
        return -1;
    }
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
        check_version() < 0 || make_import_strings() < 0) {
        release_failed_module();
        return -1;
    }
    int line = 0;
    if (add_to_sys_modules(module) < 0) {
        line = kLineTop;
    } else {
        line = run_statements();
    }
    if (line != 0) {
        add_traceback(Func::import_time, line);
        release_failed_module();
        return -1;
    }
    g_state.added_to_sys_modules = false;
    lookup_init(g_state.dict);
    lookup_watch_modules(PyImport_GetModuleDict());
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
