// Traceback entries for failures inside the module.
//
// The module's code runs natively and has no interpreter frames, so when an error leaves it, one
// entry naming the function, the module's source path and the failing statement's line is added to
// the pending exception. Each entry needs a code object whose first line is that line; those are
// made once per (line, function) and kept in a small sorted cache for the run of the interpreter.
#include "state.h"

#include <frameobject.h>

namespace login {
namespace {

constexpr Py_ssize_t kGrowBy = 64;

struct Entry {
    int key;
    PyCodeObject* code; // strong
};

struct CodeCache {
    Py_ssize_t count = 0;
    Py_ssize_t capacity = 0;
    Entry* entries = nullptr;
};

CodeCache g_cache;

// One key per line and function, ordered by line first.
int make_key(Func func, int line) noexcept { return line * 2 + static_cast<int>(func); }

// Index of `key`, or the position at which to insert it.
Py_ssize_t bisect(const Entry* entries, Py_ssize_t count, int key) noexcept {
    if (count == 0 || entries[count - 1].key < key) {
        return count;
    }
    Py_ssize_t lo = 0;
    Py_ssize_t hi = count - 1;
    Py_ssize_t mid = 0;
    while (lo < hi) {
        mid = lo + (hi - lo) / 2;
        if (entries[mid].key == key) {
            return mid;
        }
        if (key < entries[mid].key) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    mid = lo;
    return entries[mid].key < key ? mid + 1 : mid;
}

PyCodeObject* cache_find(int key) noexcept {
    const Py_ssize_t pos = bisect(g_cache.entries, g_cache.count, key);
    if (pos < g_cache.count && g_cache.entries[pos].key == key) {
        return g_cache.entries[pos].code;
    }
    return nullptr;
}

// Stores a new reference to `code` under `key`. A failed allocation just leaves it uncached.
void cache_insert(int key, PyCodeObject* code) noexcept {
    if (!g_cache.entries) {
        auto* entries = static_cast<Entry*>(PyMem_Malloc(kGrowBy * sizeof(Entry)));
        if (!entries) {
            return;
        }
        g_cache.entries = entries;
        g_cache.capacity = kGrowBy;
        g_cache.entries[0] = Entry{key, reinterpret_cast<PyCodeObject*>(Py_NewRef(code))};
        g_cache.count = 1;
        return;
    }
    const Py_ssize_t pos = bisect(g_cache.entries, g_cache.count, key);
    if (pos < g_cache.count && g_cache.entries[pos].key == key) {
        PyCodeObject* old = g_cache.entries[pos].code;
        g_cache.entries[pos].code = reinterpret_cast<PyCodeObject*>(Py_NewRef(code));
        Py_DECREF(old);
        return;
    }
    if (g_cache.count == g_cache.capacity) {
        const Py_ssize_t capacity = g_cache.capacity + kGrowBy;
        auto* grown = static_cast<Entry*>(
            PyMem_Realloc(g_cache.entries, static_cast<size_t>(capacity) * sizeof(Entry)));
        if (!grown) {
            return;
        }
        g_cache.entries = grown;
        g_cache.capacity = capacity;
    }
    for (Py_ssize_t i = g_cache.count; i > pos; --i) {
        g_cache.entries[i] = g_cache.entries[i - 1];
    }
    g_cache.entries[pos] = Entry{key, reinterpret_cast<PyCodeObject*>(Py_NewRef(code))};
    ++g_cache.count;
}

} // namespace

void traceback_release() noexcept {
    // Taken off the cache before the releases, which can run code.
    Entry* entries = g_cache.entries;
    const Py_ssize_t count = g_cache.count;
    g_cache = CodeCache{};
    for (Py_ssize_t i = 0; i < count; ++i) {
        Py_DECREF(entries[i].code);
    }
    PyMem_Free(entries);
}

void add_traceback(Func func, int line) noexcept {
    const int key = make_key(func, line);
    PyObject* funcname =
        func == Func::init_daz ? g_state.funcname_init_daz : g_state.funcname_import;

    // The pending exception is kept aside while the code object and the frame are made: making a
    // frame consults the globals' __builtins__, and that fails while an exception is pending when
    // a caller has deleted it.
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) {
        return;
    }
    Ref code;
    if (PyCodeObject* cached = cache_find(key)) {
        code.reset(Py_NewRef(reinterpret_cast<PyObject*>(cached)));
    } else {
        const char* file = PyUnicode_AsUTF8(g_state.filename);
        const char* fn = file ? PyUnicode_AsUTF8(funcname) : nullptr;
        if (fn) {
            code.reset(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, fn, line)));
        }
        if (!code) {
            // The failure to make the entry replaces the original error.
            Py_DECREF(exc);
            return;
        }
        cache_insert(key, reinterpret_cast<PyCodeObject*>(code.get()));
    }
    Ref frame(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), g_state.dict, nullptr)));
    if (!frame) {
        Py_DECREF(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

} // namespace login
