// The module's entry point and the body that registers the Python surface in
// its fixed order.
#include <atomic>
#include <string>

#include "frame/frame.hpp"
#include "core/pool.hpp"

namespace ms {
namespace {

PyModuleDef g_def = {
    PyModuleDef_HEAD_INIT, "marlox_stats_rs", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<int64_t> g_interp{-1};
PyObject* g_module = nullptr;

// Appends `name` to the module's __all__, creating the list on first use.
bool append_all(PyObject* module, PyObject* name) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyList_New(0);
        if (!all) return false;
        if (PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_DECREF(all);
            return false;
        }
    }
    if (!PyList_Check(all)) {
        cannot_convert(all, "PyList");
        Py_DECREF(all);
        return false;
    }
    int r = PyList_Append(all, name);
    Py_DECREF(all);
    return r == 0;
}

bool add_function(PyObject* module, PyObject* modname, const Entry& e) {
    if (!init_desc(*e.desc, e.name, nullptr, e.sig, e.nparams)) return false;
    // The definition and its documentation live until the process ends.
    auto* doc = new std::string(std::string(e.name) + e.sig + "\n--\n\n" + e.doc);
    auto* def = new PyMethodDef{e.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(e.call)),
                                METH_FASTCALL | METH_KEYWORDS, doc->c_str()};
    PyObject* f = PyCMethod_New(def, module, modname, nullptr);
    if (!f) return false;
    PyObject* name = PyObject_GetAttrString(f, "__name__");
    if (!name) {
        Py_DECREF(f);
        return false;
    }
    bool ok = true;
    if (!PyUnicode_Check(name)) {
        cannot_convert(name, "PyString");
        ok = false;
    }
    ok = ok && append_all(module, name) && PyObject_SetAttr(module, name, f) == 0;
    Py_DECREF(name);
    Py_DECREF(f);
    return ok;
}

bool add_class(PyObject* module, const Entry& e) {
    PyObject* type = e.make_type(module);
    if (!type) return false;
    PyObject* name = PyUnicode_FromString(e.name);
    bool ok = name && append_all(module, name) && PyObject_SetAttr(module, name, type) == 0;
    Py_XDECREF(name);
    Py_DECREF(type);
    return ok;
}

int module_body(PyObject* module) {
    // Each row takes its name's place in the order; the order must be filled.
    const Entry* placed[kOrderSize] = {};
    for (const Entry& e : all_entries()) {
        size_t at = order_position(e.name);
        if (at == kOrderSize || placed[at]) {
            PyErr_Format(PyExc_SystemError, "registration table: unexpected or repeated name %s", e.name);
            return -1;
        }
        placed[at] = &e;
    }
    for (size_t i = 0; i < kOrderSize; ++i) {
        if (!placed[i]) {
            PyErr_Format(PyExc_SystemError, "registration order: no function or class named %s", kOrder[i].data());
            return -1;
        }
    }
    // Functions report the extension's own name as their __module__, also when
    // the import system renamed the module object after its package.
    PyObject* modname = PyUnicode_FromString(g_def.m_name);
    if (!modname) return -1;
    for (const Entry* e : placed) {
        bool ok = e->make_type ? add_class(module, *e) : add_function(module, modname, *e);
        if (!ok) {
            Py_DECREF(modname);
            return -1;
        }
    }
    Py_DECREF(modname);
    return 0;
}

PyObject* init() {
    PyInterpreterState* is = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(is);
    if (id == -1) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return nullptr;
    }
    int64_t expected = -1;
    if (!g_interp.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "marlox_stats_rs does not yet support subinterpreters: it can be imported "
                        "only once per process, by the first interpreter");
        return nullptr;
    }
    if (g_module) return Py_NewRef(g_module);
    watch_fork();
    PyObject* m = PyModule_Create2(&g_def, 1013);
    if (!m) return nullptr;
    if (module_body(m) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
    if (g_module) {
        Py_DECREF(m);
        return Py_NewRef(g_module);
    }
    g_module = m;
    return Py_NewRef(m);
}

}  // namespace
}  // namespace ms

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_marlox_stats_rs() {
    try {
        return ms::init();
    } catch (...) {
        return ms::raise_current_exception();
    }
}
