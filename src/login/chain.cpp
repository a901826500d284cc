// init_daz(): choose the credential pair and log in to daz with it.
//
// Sources, in order, the first usable pair (both halves true) winning:
//   1. the agent tool, only when FERROVANE_AGENT is "app_key_daz";
//   2. the licence helper's default lookup, get_license_info() -> (user, password);
//   3. its app-key lookup, get_license_info("FERROVANE_APPKEY_LICENSE") -> (user, app key).
// Any exception ends the call where it happens; no later source is tried.
//
// Source lines of the statements, as traceback entries show them:
//   10 read FERROVANE_AGENT          11 compare it with "app_key_daz"
//   12-37 the agent query            38 test the agent pair      39 daz.init(user_id, appkey=...)
//   41 default lookup and unpacking  42 test the default pair    43 daz.init(user, pw)
//   45 app-key lookup and unpacking  46 test the app-key pair    47 daz.init(user, appkey=...)
#include "ops.h"

namespace login {
namespace {

int unpack_error_too_many() noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                 static_cast<Py_ssize_t>(2));
    return -1;
}

int unpack_error_too_few(Py_ssize_t got) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
    return -1;
}

// `first, second = value`. Tuples and lists are taken by size; anything else is iterated, and the
// iterator must stop after the second item.
int unpack_pair(PyObject* value, Ref& first, Ref& second) noexcept {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t size = Py_SIZE(value);
        if (size != 2) {
            return size > 2 ? unpack_error_too_many() : unpack_error_too_few(size);
        }
        PyObject* const* items = PySequence_Fast_ITEMS(value);
        first.reset(Py_NewRef(items[0]));
        second.reset(Py_NewRef(items[1]));
        return 0;
    }
    Ref iterator(PyObject_GetIter(value));
    if (!iterator) {
        return -1;
    }
    Ref a(PyIter_Next(iterator.get()));
    if (!a) {
        return PyErr_Occurred() ? -1 : unpack_error_too_few(0);
    }
    Ref b(PyIter_Next(iterator.get()));
    if (!b) {
        return PyErr_Occurred() ? -1 : unpack_error_too_few(1);
    }
    Ref extra(PyIter_Next(iterator.get()));
    if (extra) {
        return unpack_error_too_many();
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    first = static_cast<Ref&&>(a);
    second = static_cast<Ref&&>(b);
    return 0;
}

// `first, second = get_license_info(*args)`
template <typename... Args> int license_lookup(Ref& first, Ref& second, Args... args) noexcept {
    Ref lookup(load_global(Global::get_license_info));
    if (!lookup) {
        return -1;
    }
    Ref result(call(lookup.get(), nullptr, args...));
    if (!result) {
        return -1;
    }
    return unpack_pair(result.get(), first, second);
}

// Truth test of a pair, first half first: 1 when both are true, 0, or -1 on error.
int usable(const Ref& first, const Ref& second) noexcept {
    const int t = truth(first);
    if (t <= 0) {
        return t;
    }
    return truth(second);
}

// `daz.init(user, secret)` or, with kwnames ("appkey",), `daz.init(user, appkey=secret)`.
int daz_init(PyObject* kwnames, const Ref& user, const Ref& secret) noexcept {
    Ref init(load_global_attr(Attr::daz_init));
    if (!init) {
        return -1;
    }
    Ref ignored(call(init.get(), kwnames, user.get(), secret.get()));
    return ignored ? 0 : -1;
}

} // namespace

PyObject* init_daz_impl() noexcept {
    // The first call makes the strings and constants that only calls use.
    if (!g_state.call_ready && prepare_call() < 0) {
        return fail(10);
    }
    // Line 10: agent = os.getenv("FERROVANE_AGENT")
    Ref agent;
    {
        Ref getenv(load_global_attr(Attr::os_getenv));
        if (!getenv) {
            return fail(10);
        }
        agent.reset(call(getenv.get(), nullptr, name(N::FERROVANE_AGENT)));
        if (!agent) {
            return fail(10);
        }
    }
    // Line 11: if agent == "app_key_daz":
    const int selected = equals(agent.get(), name(N::app_key_daz));
    if (selected < 0) {
        return fail(11);
    }
    if (selected) {
        Ref user_id;
        Ref app_key;
        if (agent_query(user_id, app_key) < 0) {
            return nullptr;
        }
        const int ok = usable(user_id, app_key);
        if (ok < 0) {
            return fail(38);
        }
        if (ok) {
            if (daz_init(g_state.kw_appkey, user_id, app_key) < 0) {
                return fail(39);
            }
            Py_RETURN_NONE;
        }
    }
    {
        Ref user;
        Ref pw;
        if (license_lookup(user, pw) < 0) {
            return fail(41);
        }
        const int ok = usable(user, pw);
        if (ok < 0) {
            return fail(42);
        }
        if (ok) {
            if (daz_init(nullptr, user, pw) < 0) {
                return fail(43);
            }
            Py_RETURN_NONE;
        }
    }
    Ref user;
    Ref app_key;
    if (license_lookup(user, app_key, name(N::FERROVANE_APPKEY_LICENSE)) < 0) {
        return fail(45);
    }
    const int ok = usable(user, app_key);
    if (ok < 0) {
        return fail(46);
    }
    if (ok && daz_init(g_state.kw_appkey, user, app_key) < 0) {
        return fail(47);
    }
    Py_RETURN_NONE;
}

} // namespace login
