// The agent credential query: start the host's agent tool and read the user id and app key from
// the settings in its JSON response.
//
// Windows runs `powershell.exe -NoProfile -ExecutionPolicy Bypass -Command "& wrenkit.exe"` with a
// copy of the environment; elsewhere the shell runs "wrenkit". The exit status is not looked at:
// a response that parses is used, whatever the tool returned.
//
// Source lines, as traceback entries show them:
//   12 platform test                  14/15/16 Windows: run, argument list, keyword arguments
//   22/24 other platforms: run, keyword arguments
//   29 json.loads(res.stdout)         30 result.get("Code", 1) == 0
//   31 result.get("Result", None)     32 its truth test           33 iterating over it
//   34 "Key" in dic and dic["Key"] == "KORVEX_ACCOUNT"             35 dic.get("Value", None)
//   36 "Key" in dic and dic["Key"] == "KORVEX_CUSTOM_APP_KEY"      37 dic.get("Value", None)
#include "ops.h"

namespace login {
namespace {

// subprocess.run([...], env=os.environ.copy(), capture_output=True, text=True, encoding="utf-8")
PyObject* run_windows() noexcept {
    Ref subprocess_run(load_global_attr(Attr::subprocess_run));
    if (!subprocess_run) {
        return fail(14);
    }
    static constexpr N kArgv[] = {N::powershell_exe, N::no_profile, N::execution_policy,
                                  N::bypass,         N::command,    N::run_wrenkit_exe};
    constexpr Py_ssize_t argc = sizeof(kArgv) / sizeof(kArgv[0]);
    Ref argv(PyList_New(argc));
    if (!argv) {
        return fail(15);
    }
    for (Py_ssize_t i = 0; i < argc; ++i) {
        PyList_SET_ITEM(argv.get(), i, Py_NewRef(name(kArgv[i])));
    }
    Ref environ(load_global_attr(Attr::os_environ));
    if (!environ) {
        return fail(16);
    }
    Ref env(call_method(environ.get(), name(N::copy)));
    if (!env) {
        return fail(16);
    }
    PyObject* res = call(subprocess_run.get(), g_state.kw_windows_run, argv.get(), env.get(),
                         Py_True, Py_True, name(N::utf_8));
    return res ? res : fail(14);
}

// subprocess.run("wrenkit", shell=True, capture_output=True, text=True, encoding="utf-8")
PyObject* run_shell() noexcept {
    Ref subprocess_run(load_global_attr(Attr::subprocess_run));
    if (!subprocess_run) {
        return fail(22);
    }
    PyObject* res = call(subprocess_run.get(), g_state.kw_shell_run, name(N::wrenkit), Py_True,
                         Py_True, Py_True, name(N::utf_8));
    return res ? res : fail(22);
}

// `"Key" in dic and dic["Key"] == text`: 1, 0, or -1 with an exception set.
int has_key(PyObject* dic, N text) noexcept {
    const int contains = PySequence_Contains(dic, name(N::Key));
    if (contains <= 0) {
        return contains;
    }
    Ref key(PyObject_GetItem(dic, name(N::Key)));
    if (!key) {
        return -1;
    }
    return equals(key.get(), name(text));
}

} // namespace

int agent_query(Ref& user_id, Ref& app_key) noexcept {
    // Line 12: if sys.platform.startswith("win"):
    int windows = 0;
    {
        Ref platform(load_global_attr(Attr::sys_platform));
        if (!platform) {
            return fail_status(12);
        }
        Ref starts(call_method(platform.get(), name(N::startswith), name(N::win)));
        if (!starts || (windows = PyObject_IsTrue(starts.get())) < 0) {
            return fail_status(12);
        }
    }
    Ref res(windows ? run_windows() : run_shell());
    if (!res) {
        return -1;
    }
    // Line 29: result = json.loads(res.stdout)
    Ref result;
    {
        Ref loads(load_global_attr(Attr::json_loads));
        if (!loads) {
            return fail_status(29);
        }
        Ref out(PyObject_GetAttr(res.get(), name(N::stdout_)));
        if (!out) {
            return fail_status(29);
        }
        result.reset(call(loads.get(), nullptr, out.get()));
        if (!result) {
            return fail_status(29);
        }
    }
    // Line 30: if result.get("Code", 1) == 0:
    {
        Ref code(call_method(result.get(), name(N::get), name(N::Code), g_state.one));
        if (!code) {
            return fail_status(30);
        }
        Ref equal(PyObject_RichCompare(code.get(), g_state.zero, Py_EQ));
        const int success = equal ? PyObject_IsTrue(equal.get()) : -1;
        if (success < 0) {
            return fail_status(30);
        }
        if (!success) {
            return 0;
        }
    }
    // Line 31: list_values = result.get("Result", None)
    Ref list_values(call_method(result.get(), name(N::get), name(N::Result), Py_None));
    if (!list_values) {
        return fail_status(31);
    }
    // Line 32: if list_values:
    const int any = PyObject_IsTrue(list_values.get());
    if (any < 0) {
        return fail_status(32);
    }
    if (!any) {
        return 0;
    }
    // Line 33: for dic in list_values:  (the last matching setting wins)
    Ref iterator(PyObject_GetIter(list_values.get()));
    if (!iterator) {
        return fail_status(33);
    }
    for (;;) {
        Ref dic(PyIter_Next(iterator.get()));
        if (!dic) {
            if (PyErr_Occurred()) {
                return fail_status(33);
            }
            break;
        }
        // `if` on line 34 with its assignment on 35, `elif` on 36 with its assignment on 37.
        struct Setting {
            N key;
            Ref& value;
            int line;
        };
        const Setting settings[] = {{N::KORVEX_ACCOUNT, user_id, 34},
                                    {N::KORVEX_CUSTOM_APP_KEY, app_key, 36}};
        for (const Setting& setting : settings) {
            const int match = has_key(dic.get(), setting.key);
            if (match < 0) {
                return fail_status(setting.line);
            }
            if (match) {
                setting.value.reset(call_method(dic.get(), name(N::get), name(N::Value), Py_None));
                if (!setting.value) {
                    return fail_status(setting.line + 1);
                }
                break;
            }
        }
    }
    return 0;
}

} // namespace login
