// How a run of the module begins and ends, and what a run makes.
//
// A run is the time from the first import of the module in an interpreter to that interpreter's
// finalization. The module is loaded into one interpreter per process, and everything it makes
// (State, the lookup cache, the code objects of the traceback entries) belongs to the run: an
// application that finalizes the runtime and starts it again imports a new module object into the
// new run, as the first run did. Where a run stands is g_state.phase:
//
//   phase      what it allows                                  what moves it on
//   unloaded   an import: create makes a new module object     exec begins the run: importing
//   importing  the module-level statements; the module is      their end: live, or failed
//              held by the run and every import gives it
//   failed     an import, from create, with a new module       the next exec: importing
//              object (the run stays begun, its strings made)
//   live       calls of init_daz; every import gives the       the teardown of the interpreter's
//              module, held by the run                         modules (the let-go, below): let_go
//   let_go     calls; imports give the module while anything   the end of the interpreter: ended
//              holds it (sys.modules, until the teardown of
//              modules), "not initialised" once it has gone
//   ended      nothing: a call or a read of __code__ raises    the end of the runtime: unloaded
//              "not initialised"; other interpreters stay
//              refused
//
// The end of the interpreter moves any phase to ended, or to unloaded where that interpreter is
// the main one, whose end is the runtime's; the end of the runtime moves any phase to unloaded.
// A call of init_daz goes on where its function's globals are the dictionary of the run's module
// (may_call), which is so from importing to let_go.
#include "state.h"

namespace login {
namespace {

constexpr const char kSourcePath[] = "ferrovane/cairn/utils/login.cpp";

// Changes at the end of each runtime; see runtime_generation().
uint64_t g_runtime_generation = 1;
// Whether the end of the runtime calls on_runtime_exit.
bool g_runtime_hooked = false;

// ---- what a run makes ----

struct StringSpec {
    const char* text;
    bool interned;
    Made when;
};

constexpr StringSpec kStrings[] = {
#define LOGIN_SPEC(id, text, interned, when) {text, interned, Made::when},
    LOGIN_STRINGS(LOGIN_SPEC)
#undef LOGIN_SPEC
};
static_assert(sizeof(kStrings) / sizeof(kStrings[0]) == static_cast<size_t>(N::count_));

PyObject* make_text(const char* text, bool interned) noexcept {
    return interned ? PyUnicode_InternFromString(text) : PyUnicode_FromString(text);
}

// Makes the strings made `when` that are not made yet.
int make_strings(Made when) noexcept {
    for (int i = 0; i < static_cast<int>(N::count_); ++i) {
        if (kStrings[i].when == when && !g_state.names[i] &&
            !(g_state.names[i] = make_text(kStrings[i].text, kStrings[i].interned))) {
            return -1;
        }
    }
    return 0;
}

template <typename... Names> PyObject* name_tuple(Names... ns) noexcept {
    return PyTuple_Pack(sizeof...(ns), name(ns)...);
}

// Releases what `ended` owns, in the order of LOGIN_RUN_OBJECTS, then its strings.
void release(const State& ended) noexcept {
#define LOGIN_RELEASE(field) Py_XDECREF(ended.field);
    LOGIN_RUN_OBJECTS(LOGIN_RELEASE)
#undef LOGIN_RELEASE
    for (PyObject* text : ended.names) {
        Py_XDECREF(text);
    }
}

// ---- the let-go ----
//
// Held by the run, the module would keep its globals (the standard modules and the SDK's that it
// imported) alive through the teardown of modules, which then wipes each of them one by one (a
// finalizer that runs then finds them None) instead of letting them go as the garbage they are. So
// once its interpreter's teardown has begun, the module is held weakly: from then on it lives
// exactly as long as Python code holds it (sys.modules, init_daz), like a module of Python code.
//
// Where the module's interpreter is the main one and a dictionary-watcher slot is free, the
// watcher of sys.modules tells the moment: the runtime is finalizing, the import system can find
// nothing (sys.meta_path is gone) and the teardown takes the module out of sys.modules. Otherwise
// (a subinterpreter, or every slot taken) one of the interpreter's own exit handlers does, which
// runs once the program is done and before its modules are torn down, and costs the import of
// atexit.

void let_go() noexcept {
    PyObject* ref = PyWeakref_NewRef(g_state.module, nullptr);
    if (!ref) {
        // Held to the end of the run, as where nothing tells the module of the teardown.
        PyErr_Clear();
        return;
    }
    g_state.module_ref = ref;
    g_state.phase = Phase::let_go;
    PyObject* module = g_state.module;
    g_state.module = nullptr;
    Py_DECREF(module);
}

PyObject* let_go_at_exit(PyObject* unused_self, PyObject* unused) noexcept {
    (void)unused_self;
    (void)unused;
    if (g_state.phase == Phase::live) {
        let_go();
    }
    Py_RETURN_NONE;
}

PyMethodDef g_let_go_at_exit = {"let_go_at_exit", let_go_at_exit, METH_NOARGS, nullptr};

// `atexit.register(let_go_at_exit)` in the current interpreter.
int register_let_go_at_exit() noexcept {
    Ref atexit(PyImport_ImportModule("atexit"));
    if (!atexit) {
        return -1;
    }
    Ref handler(PyCFunction_New(&g_let_go_at_exit, nullptr));
    if (!handler) {
        return -1;
    }
    Ref registered(PyObject_CallMethod(atexit.get(), "register", "O", handler.get()));
    return registered ? 0 : -1;
}

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

// ---- the end of the run and of the runtime ----

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
    const bool main = interp == PyInterpreterState_Main();
    if (!main) {
        g_state.phase = Phase::ended;
        g_state.interpreter_id = ended.interpreter_id;
    }
    lookup_release();
    traceback_release();
    release(ended);
    function_type_release();
    // Where the runtime's own end was hooked, that moves the generation on.
    if (main && !g_runtime_hooked) {
        ++g_runtime_generation;
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
    ++g_runtime_generation;
}

} // namespace

void modules_changed(PyDict_WatchEvent event, PyObject* key, PyObject* new_value) noexcept {
    if (g_state.phase != Phase::live) {
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
    let_go();
}

int begin_run() noexcept {
    PyInterpreterState* interp = PyInterpreterState_Get();
    if (!(interp == PyInterpreterState_Main() && lookup_watch_modules(PyImport_GetModuleDict())) &&
        register_let_go_at_exit() < 0) {
        return -1;
    }
#if PY_VERSION_HEX >= 0x030D0000
    const int status = PyUnstable_AtExit(interp, on_interpreter_exit, interp);
#else
    const int status = _Py_AtExit(interp, on_interpreter_exit, interp);
#endif
    if (status < 0) {
        return -1;
    }
    // The process-wide list is short (32 entries); where it is full, the interpreter's callback
    // alone serves, which covers every case but a subinterpreter's run followed by a new runtime.
    if (!g_runtime_hooked && Py_AtExit(on_runtime_exit) == 0) {
        g_runtime_hooked = true;
    }
    return 0;
}

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

PyObject* not_initialised() noexcept {
    PyErr_SetString(PyExc_RuntimeError, LOGIN_MODULE_NAME " is not initialised");
    return nullptr;
}

uint64_t runtime_generation() noexcept { return g_runtime_generation; }

int prepare_import() noexcept {
    if (make_strings(Made::at_import) < 0) {
        return -1;
    }
    if (!g_state.filename && !(g_state.filename = make_text(kSourcePath, false))) {
        return -1;
    }
    if (!g_state.funcname_init_daz &&
        !(g_state.funcname_init_daz = make_text(LOGIN_MODULE_NAME ".init_daz", false))) {
        return -1;
    }
    if (!g_state.funcname_import &&
        !(g_state.funcname_import = make_text("init " LOGIN_MODULE_NAME, false))) {
        return -1;
    }
    return 0;
}

int prepare_call() noexcept {
    if (g_state.call_ready) {
        return 0;
    }
    if (make_strings(Made::at_call) < 0) {
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

} // namespace login
