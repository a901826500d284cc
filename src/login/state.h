// Process-wide state of the login module and the interfaces its parts share.
#pragma once

#include "ref.h"

#include <cstdint>

namespace login {

// The module's name, for the texts that contain it (C string literals join at compile time).
#define LOGIN_MODULE_NAME "ferrovane.cairn.utils.login"
inline constexpr const char kModuleName[] = LOGIN_MODULE_NAME;

// Source lines that more than one part gives: the module-level statements' first line and that of
// `def init_daz():`.
inline constexpr int kLineTop = 1;
inline constexpr int kLineInitDaz = 9;

// When a string is made: by the import (what the import itself uses, and the traceback entries),
// or by the first call of init_daz (or the first read of its __code__).
enum class Made : uint8_t { at_import, at_call };

// Strings made once per run, as X(id, text, interned, when). Interned: names of globals,
// attributes and keywords, which the interpreter's lookups compare by identity first; the others
// are passed only as values or compared with strings that are not interned.
#define LOGIN_STRINGS(X)                                                                           \
    X(os, "os", true, at_import)                                                                   \
    X(sys, "sys", true, at_import)                                                                 \
    X(subprocess, "subprocess", true, at_import)                                                   \
    X(json, "json", true, at_import)                                                               \
    X(daz, "daz", true, at_import)                                                                 \
    X(get_license_info, "get_license_info", true, at_import)                                       \
    X(init_daz, "init_daz", true, at_import)                                                       \
    X(dunder_test, "__test__", true, at_import)                                                    \
    X(ferrovane, "ferrovane", false, at_import)                                                    \
    X(license_helper, "ferrovane.cairn.sdk.license_helper", false, at_import)                      \
    X(module_name, LOGIN_MODULE_NAME, false, at_import)                                            \
    X(dunder_name, "__name__", false, at_import)                                                   \
    X(getenv, "getenv", true, at_call)                                                             \
    X(init, "init", true, at_call)                                                                 \
    X(platform, "platform", true, at_call)                                                         \
    X(startswith, "startswith", true, at_call)                                                     \
    X(run, "run", true, at_call)                                                                   \
    X(environ, "environ", true, at_call)                                                           \
    X(copy, "copy", true, at_call)                                                                 \
    X(loads, "loads", true, at_call)                                                               \
    X(stdout_, "stdout", true, at_call)                                                            \
    X(get, "get", true, at_call)                                                                   \
    X(FERROVANE_AGENT, "FERROVANE_AGENT", true, at_call)                                           \
    X(app_key_daz, "app_key_daz", true, at_call)                                                   \
    X(FERROVANE_APPKEY_LICENSE, "FERROVANE_APPKEY_LICENSE", true, at_call)                         \
    X(appkey, "appkey", true, at_call)                                                             \
    X(env, "env", true, at_call)                                                                   \
    X(capture_output, "capture_output", true, at_call)                                             \
    X(text, "text", true, at_call)                                                                 \
    X(encoding, "encoding", true, at_call)                                                         \
    X(shell, "shell", true, at_call)                                                               \
    X(agent, "agent", true, at_call)                                                               \
    X(ps_cmd, "ps_cmd", true, at_call)                                                             \
    X(res, "res", true, at_call)                                                                   \
    X(result, "result", true, at_call)                                                             \
    X(list_values, "list_values", true, at_call)                                                   \
    X(dic, "dic", true, at_call)                                                                   \
    X(user_id, "user_id", true, at_call)                                                           \
    X(app_key, "app_key", true, at_call)                                                           \
    X(user, "user", true, at_call)                                                                 \
    X(pw, "pw", true, at_call)                                                                     \
    X(Code, "Code", false, at_call)                                                                \
    X(Result, "Result", false, at_call)                                                            \
    X(Key, "Key", false, at_call)                                                                  \
    X(Value, "Value", false, at_call)                                                              \
    X(KORVEX_ACCOUNT, "KORVEX_ACCOUNT", false, at_call)                                            \
    X(KORVEX_CUSTOM_APP_KEY, "KORVEX_CUSTOM_APP_KEY", false, at_call)                              \
    X(win, "win", false, at_call)                                                                  \
    X(wrenkit, "wrenkit", false, at_call)                                                          \
    X(utf_8, "utf-8", false, at_call)                                                              \
    X(powershell_exe, "powershell.exe", false, at_call)                                            \
    X(no_profile, "-NoProfile", false, at_call)                                                    \
    X(execution_policy, "-ExecutionPolicy", false, at_call)                                        \
    X(bypass, "Bypass", false, at_call)                                                            \
    X(command, "-Command", false, at_call)                                                         \
    X(run_wrenkit_exe, "& wrenkit.exe", false, at_call)

enum class N : int {
#define LOGIN_ENUM(id, text, interned, when) id,
    LOGIN_STRINGS(LOGIN_ENUM)
#undef LOGIN_ENUM
        count_
};

// Where the run of the interpreter that loaded the module stands (lifecycle.cpp, whose opening
// comment tells what each phase allows and what moves it on).
enum class Phase : uint8_t { unloaded, importing, failed, live, let_go, ended };

// What a run makes and owns, one strong reference each (or null), as X(field). The end of the run
// releases them in this order, the module first; a field added here is released with the others.
#define LOGIN_RUN_OBJECTS(X)                                                                       \
    X(module)            /* the one module object of the run, while it is held strongly */         \
    X(module_ref)        /* a weak reference to it, once let go */                                 \
    X(builtins)          /* the builtins module */                                                 \
    X(code)              /* init_daz.__code__, made when first read */                             \
    X(zero)              /* 0 */                                                                   \
    X(one)               /* 1 */                                                                   \
    X(kw_appkey)         /* ("appkey",) */                                                         \
    X(kw_windows_run)    /* ("env", "capture_output", "text", "encoding") */                       \
    X(kw_shell_run)      /* ("shell", "capture_output", "text", "encoding") */                     \
    X(funcname_init_daz) /* the function names and file name of the traceback entries */           \
    X(funcname_import)                                                                             \
    X(filename)

// The run of the interpreter that loaded the module: made by the first import of the run, released
// when that interpreter finalizes (lifecycle.cpp), so that a runtime started again in the same
// process imports afresh.
struct State {
    Phase phase = Phase::unloaded;
    // Interpreter that first loaded the module; -1 while unset. It outlives the objects: once a
    // subinterpreter that loaded the module has ended, others stay refused until the runtime ends.
    int64_t interpreter_id = -1;
    // The module's dictionary, borrowed: set from the start of an import to the end of the run (or
    // the import's failure). Only compared once the module is let go, as it may have gone since.
    PyObject* dict = nullptr;
    bool call_ready = false; // the strings and constants of init_daz are made

#define LOGIN_FIELD(field) PyObject* field = nullptr;
    LOGIN_RUN_OBJECTS(LOGIN_FIELD)
#undef LOGIN_FIELD
    PyObject* names[static_cast<int>(N::count_)] = {}; // owned as well
};

inline State g_state;

inline PyObject* name(N n) noexcept { return g_state.names[static_cast<int>(n)]; }

// ---- the run's lifecycle (lifecycle.cpp) ----

// Called by the first import of a run: asks the interpreter to tell the module when its exit
// handlers run and when it finalizes. 0, or -1 with an exception set.
int begin_run() noexcept;

// The module of the run while it lives: a new reference, or null (no exception) where there is
// none or it has gone.
PyObject* run_module() noexcept;

// Whether a call of the function whose globals are `globals` may go on: the module's dictionary
// of this run, which the function keeps alive, from the import until the end of the run.
inline bool may_call(PyObject* globals) noexcept {
    return globals != nullptr && globals == g_state.dict;
}

// Told of each change to sys.modules, where the lookup's watcher watches it.
void modules_changed(PyDict_WatchEvent event, PyObject* key, PyObject* new_value) noexcept;

// Raises the error of a use of the module outside a run of the interpreter that loaded it (a
// function object that outlived it, or its failed import). Returns null.
PyObject* not_initialised() noexcept;

// The runtime's generation: changes when the runtime ends, so that what belongs to a runtime (the
// readied function type) is made afresh in the next.
uint64_t runtime_generation() noexcept;

// Makes the strings made by the import (once per run). 0, or -1 with an exception set.
int prepare_import() noexcept;
// Makes what init_daz uses beyond what the import made (once per run). 0, or -1 with an exception
// set.
int prepare_call() noexcept;

// ---- module-level names (lookup.cpp) ----

// The module-level names that init_daz reads at run time.
enum class Global : int { os, sys, subprocess, json, daz, get_license_info, count_ };
// Attributes of those names that init_daz reads.
enum class Attr : int {
    os_getenv,
    os_environ,
    sys_platform,
    subprocess_run,
    json_loads,
    daz_init,
    count_
};

// What a lookup knows of the keys of a dictionary it reads. Only while every key is an exact str
// can a lookup in it run no code of its own (a key of another type, str subclasses included, is
// compared through its __eq__), so only then may a value found in it be remembered.
enum class Keys : uint8_t { unknown, str_only, other };

// Values remembered from earlier lookups (borrowed; see lookup.cpp for why that is safe). A null
// entry means "look it up".
struct LookupCache {
    int watcher = -1;
    // Counts the changes seen by the watcher: a lookup that can run arbitrary code remembers its
    // result only if no change happened in the meantime.
    uint64_t changes = 0;
    PyObject* globals_watched = nullptr;
    PyObject* modules_watched = nullptr; // sys.modules, for modules_changed
    Keys globals_keys = Keys::unknown;   // of globals_watched
    PyObject* global[static_cast<int>(Global::count_)] = {};
    PyObject* attr[static_cast<int>(Attr::count_)] = {};
    PyObject* attr_owner[static_cast<int>(Attr::count_)] = {};
    PyObject* attr_dict[static_cast<int>(Attr::count_)] = {}; // the owner's dictionary
    // For each global whose attributes are read: the (watched) dictionary of the module last found
    // bound to it, borrowed and dropped when that dictionary is freed, and what is known of its
    // keys.
    PyObject* owner_dict[static_cast<int>(Global::count_)] = {};
    Keys owner_keys[static_cast<int>(Global::count_)] = {};
};

inline LookupCache g_lookup;

// Starts watching the module globals so that lookups can be served from a cache that a change of
// the names concerned invalidates. Without a watcher lookups simply are not cached.
void lookup_init(PyObject* globals) noexcept;
// Has modules_changed told of the changes to `modules` (sys.modules) from now on; false where there
// is no watcher.
bool lookup_watch_modules(PyObject* modules) noexcept;
// Stops watching and forgets everything remembered: the end of the run.
void lookup_release() noexcept;
PyObject* load_global_slow(Global g) noexcept;
PyObject* load_global_attr_slow(Attr a) noexcept;

// Looks a module-level name up in the globals, then in builtins; NameError when it is in neither.
// New reference, or null with an exception set.
inline PyObject* load_global(Global g) noexcept {
    if (PyObject* cached = g_lookup.global[static_cast<int>(g)]) {
        return Py_NewRef(cached);
    }
    return load_global_slow(g);
}

// `<global>.<attr>`: the global's lookup, then the attribute read. New reference or null.
inline PyObject* load_global_attr(Attr a) noexcept {
    const int i = static_cast<int>(a);
    // A remembered attribute implies that neither the owner's binding in the globals nor the
    // attribute's key in the owner's dictionary has changed since, so the owner is still bound;
    // only its class could have been reassigned.
    if (PyObject* cached = g_lookup.attr[i]) {
        if (Py_IS_TYPE(g_lookup.attr_owner[i], &PyModule_Type)) {
            return Py_NewRef(cached);
        }
    }
    return load_global_attr_slow(a);
}

// ---- traceback entries (traceback.cpp) ----

enum class Func : int { import_time = 0, init_daz = 1 };
// Adds one traceback entry for `func` at source line `line` to the pending exception.
void add_traceback(Func func, int line) noexcept;
// Releases the cached code objects: the end of the run.
void traceback_release() noexcept;

// ---- the function object (function.cpp) ----

// Readies the function type (once per runtime).
int function_type_ready() noexcept;
// The end of the run: releases what the type's dictionary holds; the type stays ready, as its base
// still lists it.
void function_type_release() noexcept;
// Makes the init_daz function object. New reference or null.
PyObject* function_new(PyObject* globals) noexcept;
// The code object exposed as init_daz.__code__, made at its first use. New reference or null.
PyObject* code_object() noexcept;

// ---- credential resolution (chain.cpp, agent.cpp) ----

// Body of init_daz(). Returns a new reference to None, or null with an exception set.
PyObject* init_daz_impl() noexcept;

// Agent credential query. On success returns 0 and sets each output to a new reference or to
// null where the agent response did not supply it. On failure returns -1 with an exception set
// and the traceback entry added.
int agent_query(Ref& user_id, Ref& app_key) noexcept;

} // namespace login
