// Process-wide state of the login module and the interfaces its parts share.
#pragma once

#include "ref.h"

#include <cstdint>

namespace login {

inline constexpr const char kModuleName[] = "ferrovane.cairn.utils.login";

// Strings made once per process, as X(id, text, interned). Interned: names of globals, attributes
// and keywords, which the interpreter's lookups compare by identity first; the others are passed
// only as values or compared with strings that are not interned. The import makes only those it
// uses (up to, not including, `getenv`); the rest are made by the first call of init_daz.
#define LOGIN_STRINGS(X)                                                                           \
    X(os, "os", true)                                                                              \
    X(sys, "sys", true)                                                                            \
    X(subprocess, "subprocess", true)                                                              \
    X(json, "json", true)                                                                          \
    X(daz, "daz", true)                                                                            \
    X(get_license_info, "get_license_info", true)                                                  \
    X(init_daz, "init_daz", true)                                                                  \
    X(dunder_test, "__test__", true)                                                               \
    X(ferrovane, "ferrovane", false)                                                               \
    X(license_helper, "ferrovane.cairn.sdk.license_helper", false)                                 \
    X(module_name, "ferrovane.cairn.utils.login", false)                                           \
    X(dunder_name, "__name__", false)                                                              \
    X(getenv, "getenv", true)                                                                      \
    X(init, "init", true)                                                                          \
    X(platform, "platform", true)                                                                  \
    X(startswith, "startswith", true)                                                              \
    X(run, "run", true)                                                                            \
    X(environ, "environ", true)                                                                    \
    X(copy, "copy", true)                                                                          \
    X(loads, "loads", true)                                                                        \
    X(stdout_, "stdout", true)                                                                     \
    X(get, "get", true)                                                                            \
    X(FERROVANE_AGENT, "FERROVANE_AGENT", true)                                                    \
    X(app_key_daz, "app_key_daz", true)                                                            \
    X(FERROVANE_APPKEY_LICENSE, "FERROVANE_APPKEY_LICENSE", true)                                  \
    X(appkey, "appkey", true)                                                                      \
    X(env, "env", true)                                                                            \
    X(capture_output, "capture_output", true)                                                      \
    X(text, "text", true)                                                                          \
    X(encoding, "encoding", true)                                                                  \
    X(shell, "shell", true)                                                                        \
    X(agent, "agent", true)                                                                        \
    X(ps_cmd, "ps_cmd", true)                                                                      \
    X(res, "res", true)                                                                            \
    X(result, "result", true)                                                                      \
    X(list_values, "list_values", true)                                                            \
    X(dic, "dic", true)                                                                            \
    X(user_id, "user_id", true)                                                                    \
    X(app_key, "app_key", true)                                                                    \
    X(user, "user", true)                                                                          \
    X(pw, "pw", true)                                                                              \
    X(Code, "Code", false)                                                                         \
    X(Result, "Result", false)                                                                     \
    X(Key, "Key", false)                                                                           \
    X(Value, "Value", false)                                                                       \
    X(KORVEX_ACCOUNT, "KORVEX_ACCOUNT", false)                                                     \
    X(KORVEX_CUSTOM_APP_KEY, "KORVEX_CUSTOM_APP_KEY", false)                                       \
    X(win, "win", false)                                                                           \
    X(wrenkit, "wrenkit", false)                                                                   \
    X(utf_8, "utf-8", false)                                                                       \
    X(powershell_exe, "powershell.exe", false)                                                     \
    X(no_profile, "-NoProfile", false)                                                             \
    X(execution_policy, "-ExecutionPolicy", false)                                                 \
    X(bypass, "Bypass", false)                                                                     \
    X(command, "-Command", false)                                                                  \
    X(run_wrenkit_exe, "& wrenkit.exe", false)

enum class N : int {
#define LOGIN_ENUM(id, text, interned) id,
    LOGIN_STRINGS(LOGIN_ENUM)
#undef LOGIN_ENUM
        count_,
    first_call_ = getenv
};

// What the module keeps for a run of the interpreter that loaded it: made by the first import of
// the run, released when that interpreter finalizes (module.cpp), so that a runtime started again
// in the same process imports afresh.
struct State {
    // The one module object of the run: held strongly until the interpreter's teardown has taken
    // it out of sys.modules and imports can no longer find it; from then on only through
    // module_ref, a weak reference, so that it goes when nothing else holds it, as a module of
    // Python code would.
    PyObject* module = nullptr;
    PyObject* module_ref = nullptr; // strong (the weak reference object), once let go
    // Borrowed from the module; reset when it is freed (the lookup watcher sees it go).
    PyObject* dict = nullptr;
    PyObject* builtins = nullptr; // strong; the builtins module
    // Interpreter that first loaded the module; -1 while unset. It outlives the objects: once the
    // interpreter that loaded the module has ended, others stay refused until the runtime ends.
    int64_t interpreter_id = -1;
    bool added_to_sys_modules = false;
    // The interpreter that made this state calls the module back when it finalizes. Set from the
    // first import of a run until that call; what is made outside it would outlive the run.
    bool in_run = false;

    PyObject* names[static_cast<int>(N::count_)] = {};
    PyObject* zero = nullptr;
    PyObject* one = nullptr;
    PyObject* kw_appkey = nullptr;      // ("appkey",)
    PyObject* kw_windows_run = nullptr; // ("env", "capture_output", "text", "encoding")
    PyObject* kw_shell_run = nullptr;   // ("shell", "capture_output", "text", "encoding")
    PyObject* code = nullptr;           // init_daz.__code__, made when first read
    bool call_ready = false;            // the strings and constants of init_daz are made
    PyObject* funcname_init_daz = nullptr;
    PyObject* funcname_import = nullptr;
    PyObject* filename = nullptr;
};

inline State g_state;

inline PyObject* name(N n) noexcept { return g_state.names[static_cast<int>(n)]; }

// Makes what init_daz uses beyond what the import made (once; module.cpp). 0, or -1 with an
// exception set.
int prepare_call() noexcept;

// The module of the run while it lives: a new reference, or null (no exception) where there is
// none or it has gone.
PyObject* run_module() noexcept;

// Told of each change to sys.modules (by the lookup watcher).
void modules_changed(PyDict_WatchEvent event, PyObject* key, PyObject* new_value) noexcept;

// Raises the error of a use of the module outside a run of the interpreter that loaded it (a
// function object that outlived it, or its failed import). Returns null.
PyObject* not_initialised() noexcept;

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
// Has modules_changed told of the changes to `modules` (sys.modules) from now on.
void lookup_watch_modules(PyObject* modules) noexcept;
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

// Readies the function type (once per run of the runtime).
int function_type_ready() noexcept;
// The end of the run: releases what the type's dictionary holds; the type stays ready, as its base
// still lists it.
void function_type_release() noexcept;
// The end of the runtime (no Python API may be used): the next runtime readies the type afresh.
// Touches no object.
void function_type_forget() noexcept;
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
