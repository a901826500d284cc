// Run-time lookup of module-level names.
//
// Every use of a module-level name sees its current binding: the module globals first, then
// builtins, then NameError. To keep that cheap, a hit in the globals (and, for a plain module
// object, the attribute read from its dictionary) is remembered, and a dictionary watcher on each
// dictionary a remembered value came from forgets it when its key changes (and forgets everything
// that came from a dictionary that is cleared, cloned into or freed). Remembered values are
// borrowed: the watched dictionary holds each of them until that key changes, and the watcher runs
// before the change takes effect.
//
// A value is remembered only from a dictionary whose keys are all exact str, the rule that the
// interpreter's own caches of global lookups follow. Any other key (a str subclass too) is
// compared through its own __eq__ whenever a lookup meets it, and that comparison may answer
// differently each time or change things as it runs; a dictionary that holds such a key, or gains
// one, is therefore looked up in full at every use, making exactly the comparisons the interpreter
// makes. What is known of each watched dictionary's keys is kept up to date by the watcher, and
// found out afresh by a scan of its keys (which runs no code) where the watcher cannot tell.
#include "state.h"

namespace login {
namespace {

constexpr N kGlobalNames[] = {N::os, N::sys, N::subprocess, N::json, N::daz, N::get_license_info};

struct AttrSpec {
    Global owner;
    N name;
};

constexpr AttrSpec kAttrs[] = {
    {Global::os, N::getenv},      {Global::os, N::environ}, {Global::sys, N::platform},
    {Global::subprocess, N::run}, {Global::json, N::loads}, {Global::daz, N::init},
};

static_assert(sizeof(kGlobalNames) / sizeof(kGlobalNames[0]) == static_cast<int>(Global::count_));
static_assert(sizeof(kAttrs) / sizeof(kAttrs[0]) == static_cast<int>(Attr::count_));

int idx(Global g) noexcept { return static_cast<int>(g); }
int idx(Attr a) noexcept { return static_cast<int>(a); }

void forget_attr(int i) noexcept {
    g_lookup.attr[i] = nullptr;
    g_lookup.attr_owner[i] = nullptr;
    g_lookup.attr_dict[i] = nullptr;
}

void forget_all() noexcept {
    for (PyObject*& p : g_lookup.global) {
        p = nullptr;
    }
    for (int i = 0; i < static_cast<int>(Attr::count_); ++i) {
        forget_attr(i);
    }
}

// Whether a change to `key` can concern the name `text`. Keys other than exact strings could
// compare equal to anything, so they concern every name.
bool concerns(PyObject* key, PyObject* text) noexcept {
    if (key == text) {
        return true;
    }
    if (!key || !PyUnicode_CheckExact(key)) {
        return true;
    }
    return PyUnicode_Compare(key, text) == 0;
}

// What is known of a dictionary's keys after `event` with `key`.
Keys keys_after(Keys known, PyDict_WatchEvent event, PyObject* key) noexcept {
    switch (event) {
    case PyDict_EVENT_ADDED:
        return key && PyUnicode_CheckExact(key) ? known : Keys::other;
    case PyDict_EVENT_MODIFIED:
        // The key held stays (the one given may be another object that compares equal to it).
        return known;
    case PyDict_EVENT_DELETED:
        // The key given may be another object than the one removed: only a scan tells whether
        // the keys left are all exact str.
        return known == Keys::other ? Keys::unknown : known;
    default: // cleared, cloned into, freed
        return Keys::unknown;
    }
}

// Whether every key of `dict` is an exact str. Runs no code.
Keys scan_keys(PyObject* dict) noexcept {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    while (PyDict_Next(dict, &pos, &key, nullptr)) {
        if (!PyUnicode_CheckExact(key)) {
            return Keys::other;
        }
    }
    return Keys::str_only;
}

bool str_keys_only(Keys& known, PyObject* dict) noexcept {
    if (known == Keys::unknown) {
        known = scan_keys(dict);
    }
    return known == Keys::str_only;
}

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) {
    if (dict == g_lookup.modules_watched) {
        if (event == PyDict_EVENT_DEALLOCATED) {
            g_lookup.modules_watched = nullptr;
        }
        modules_changed(event, key, new_value);
        return 0;
    }
    ++g_lookup.changes;
    const bool whole = event == PyDict_EVENT_CLEARED || event == PyDict_EVENT_CLONED ||
                       event == PyDict_EVENT_DEALLOCATED;
    // A new value for a key held leaves the keys as they are (the common change, kept cheap).
    for (int g = 0; g < static_cast<int>(Global::count_) && event != PyDict_EVENT_MODIFIED; ++g) {
        if (g_lookup.owner_dict[g] == dict) {
            g_lookup.owner_keys[g] = keys_after(g_lookup.owner_keys[g], event, key);
            if (event == PyDict_EVENT_DEALLOCATED) {
                g_lookup.owner_dict[g] = nullptr;
            }
        }
    }
    if (dict == g_lookup.globals_watched) {
        g_lookup.globals_keys = keys_after(g_lookup.globals_keys, event, key);
        if (whole) {
            forget_all();
            if (event == PyDict_EVENT_DEALLOCATED) {
                g_lookup.globals_watched = nullptr;
            }
            return 0;
        }
        for (int g = 0; g < static_cast<int>(Global::count_); ++g) {
            if (concerns(key, name(kGlobalNames[g]))) {
                g_lookup.global[g] = nullptr;
                for (int i = 0; i < static_cast<int>(Attr::count_); ++i) {
                    if (idx(kAttrs[i].owner) == g) {
                        forget_attr(i);
                    }
                }
            }
        }
    }
    for (int i = 0; i < static_cast<int>(Attr::count_); ++i) {
        if (g_lookup.attr_dict[i] == dict && (whole || concerns(key, name(kAttrs[i].name)))) {
            forget_attr(i);
        }
    }
    return 0;
}

// Whether values found in `dict`, the dictionary of the module bound to `owner`, may be
// remembered: it is watched and its keys are all exact str.
bool owner_cacheable(Global owner, PyObject* dict) noexcept {
    const int g = idx(owner);
    if (g_lookup.owner_dict[g] != dict) {
        if (PyDict_Watch(g_lookup.watcher, dict) < 0) {
            PyErr_Clear();
            return false;
        }
        g_lookup.owner_dict[g] = dict;
        g_lookup.owner_keys[g] = Keys::unknown;
    }
    return str_keys_only(g_lookup.owner_keys[g], dict);
}

// The run's dictionary watcher, added at its first use; -1 where every watcher slot of the
// interpreter is taken.
int watcher() noexcept {
    if (g_lookup.watcher < 0 && (g_lookup.watcher = PyDict_AddWatcher(on_dict_event)) < 0) {
        PyErr_Clear();
    }
    return g_lookup.watcher;
}

} // namespace

void lookup_init(PyObject* globals) noexcept {
    forget_all();
    if (watcher() < 0) {
        // No watcher: names are looked up uncached.
        return;
    }
    if (PyDict_Watch(g_lookup.watcher, globals) < 0) {
        PyErr_Clear();
        g_lookup.globals_watched = nullptr;
        return;
    }
    g_lookup.globals_watched = globals;
    g_lookup.globals_keys = Keys::unknown;
}

bool lookup_watch_modules(PyObject* modules) noexcept {
    if (watcher() < 0 || PyDict_Watch(g_lookup.watcher, modules) < 0) {
        PyErr_Clear();
        return false;
    }
    g_lookup.modules_watched = modules;
    return true;
}

void lookup_release() noexcept {
    // The watcher belongs to the interpreter that is ending; a later run adds its own.
    if (g_lookup.watcher >= 0 && PyDict_ClearWatcher(g_lookup.watcher) < 0) {
        PyErr_Clear();
    }
    g_lookup = LookupCache{};
}

PyObject* load_global_slow(Global g) noexcept {
    PyObject* key = name(kGlobalNames[idx(g)]);
    const uint64_t changes = g_lookup.changes;
    // Comparing keys can run code (a key of another type with the same hash), which can rebind.
    PyObject* value = PyDict_GetItemWithError(g_state.dict, key);
    if (value) {
        if (g_lookup.watcher >= 0 && g_lookup.globals_watched == g_state.dict &&
            changes == g_lookup.changes && str_keys_only(g_lookup.globals_keys, g_state.dict)) {
            g_lookup.global[idx(g)] = value;
        }
        return Py_NewRef(value);
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    value = PyObject_GetAttr(g_state.builtins, key);
    if (value) {
        return value;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return nullptr;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    // Like the interpreter's, the error carries the missing name (for the "Did you mean" hint of
    // the traceback).
    PyObject* exc = PyErr_GetRaisedException();
    if (exc && PyErr_GivenExceptionMatches(exc, PyExc_NameError) &&
        PyObject_SetAttrString(exc, "name", key) < 0) {
        Py_DECREF(exc);
        return nullptr;
    }
    PyErr_SetRaisedException(exc);
    return nullptr;
}

PyObject* load_global_attr_slow(Attr a) noexcept {
    const int i = idx(a);
    const Global owner_id = kAttrs[i].owner;
    Ref owner(load_global(owner_id));
    if (!owner) {
        return nullptr;
    }
    PyObject* attr_name = name(kAttrs[i].name);
    const uint64_t changes = g_lookup.changes;
    PyObject* value = PyObject_GetAttr(owner.get(), attr_name);
    if (!value) {
        return nullptr;
    }
    // Remember it only when the owner is a plain module still bound in the watched globals, whose
    // (now watched) dictionary has only exact str keys and holds this very value, and nothing
    // changed while the attribute read ran code: then the read cannot give another result without
    // a change to a watched dictionary (or to the owner's class, checked at each use). With str
    // keys alone, looking the value up again compares no key through code of its own.
    if (!Py_IS_TYPE(owner.get(), &PyModule_Type) || g_lookup.global[idx(owner_id)] != owner.get() ||
        changes != g_lookup.changes) {
        return value;
    }
    PyObject* owner_dict = PyModule_GetDict(owner.get());
    if (!owner_cacheable(owner_id, owner_dict)) {
        return value;
    }
    PyObject* held = PyDict_GetItemWithError(owner_dict, attr_name);
    if (!held) {
        PyErr_Clear();
    }
    if (held == value && changes == g_lookup.changes &&
        g_lookup.global[idx(owner_id)] == owner.get()) {
        g_lookup.attr[i] = value;
        g_lookup.attr_owner[i] = owner.get();
        g_lookup.attr_dict[i] = owner_dict;
    }
    return value;
}

} // namespace login
