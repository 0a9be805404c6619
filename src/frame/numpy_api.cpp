#include "frame/numpy_api.hpp"

#include <cstdlib>
#include <initializer_list>

namespace ms::np {

namespace {

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*, void*, int,
                                   PyObject*);
using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

Api g_api;

// Reads the major version through numpy.lib.NumpyVersion, as NumPy advises.
int numpy_major() {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) return -1;
    PyObject* ver = PyObject_GetAttrString(numpy, "__version__");
    Py_DECREF(numpy);
    if (!ver) return -1;
    PyObject* lib = PyImport_ImportModule("numpy.lib");
    if (!lib) {
        Py_DECREF(ver);
        return -1;
    }
    PyObject* nv = PyObject_CallMethod(lib, "NumpyVersion", "O", ver);
    Py_DECREF(lib);
    Py_DECREF(ver);
    if (!nv) return -1;
    PyObject* major = PyObject_GetAttrString(nv, "major");
    Py_DECREF(nv);
    if (!major) return -1;
    long m = PyLong_AsLong(major);
    Py_DECREF(major);
    if (m == -1 && PyErr_Occurred()) return -1;
    return static_cast<int>(m);
}

// Owns a result buffer; the array it backs holds it as its base.
struct SliceContainer {
    PyObject_HEAD void (*release)(void* data, size_t len, size_t cap);
    void* data;
    size_t len;
    size_t cap;
};

void free_release(void* data, size_t, size_t cap) {
    if (cap != 0) std::free(data);
}

void container_dealloc(PyObject* self) {
    auto* c = reinterpret_cast<SliceContainer*>(self);
    if (c->release) c->release(c->data, c->len, c->cap);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyTypeObject* container_type() {
    static PyTypeObject* type = nullptr;
    if (type) return type;
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
        {Py_tp_doc, const_cast<char*>("Memory allocated by native code and kept alive on the Python heap.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"marlox_stats_rs.PySliceContainer", sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT,
                               slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return type;
}

// Points at an empty result's data; never freed (capacity 0).
alignas(16) char g_empty[16];

}  // namespace

Api* api() {
    if (g_api.table) return &g_api;
    int major = numpy_major();
    if (major < 0) return nullptr;
    const char* mod = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
    PyObject* m = PyImport_ImportModule(mod);
    if (!m) return nullptr;
    PyObject* cap = PyObject_GetAttrString(m, "_ARRAY_API");
    Py_DECREF(m);
    if (!cap) return nullptr;
    if (!PyCapsule_CheckExact(cap)) {
        Py_DECREF(cap);
        PyErr_SetString(PyExc_ImportError, "Failed to access NumPy array API capsule");
        return nullptr;
    }
    void** table = static_cast<void**>(PyCapsule_GetPointer(cap, nullptr));
    Py_DECREF(cap);  // the multiarray module keeps the table alive
    if (!table) return nullptr;
    Api a;
    a.table = table;
    a.ndarray = static_cast<PyTypeObject*>(table[2]);
    auto from_type = reinterpret_cast<DescrFromType>(table[45]);
    for (int t : {BOOL, INT8, INT64, FLOAT32, FLOAT64}) {
        a.descr[t] = from_type(t);
        if (!a.descr[t]) return nullptr;
    }
    a.f64 = a.descr[FLOAT64];
    g_api = a;
    return &g_api;
}

bool is_f64(Api* a, PyObject* arr) {
    PyObject* d = fields(arr)->descr;
    if (d == a->f64) return true;
    return reinterpret_cast<EquivTypes>(a->table[182])(d, a->f64) != 0;
}

bool is_f32(Api* a, PyObject* arr) {
    PyObject* d = fields(arr)->descr;
    if (d == a->descr[FLOAT32]) return true;
    return reinterpret_cast<EquivTypes>(a->table[182])(d, a->descr[FLOAT32]) != 0;
}

PyObject* wrap_buffer(int typenum, int nd, const npy_intp* dims, const npy_intp* strides, void* data,
                      size_t capacity) {
    Api* a = api();
    PyTypeObject* ct = a ? container_type() : nullptr;
    if (!ct) {
        if (capacity) std::free(data);
        return nullptr;
    }
    auto* c = PyObject_New(SliceContainer, ct);
    if (!c) {
        if (capacity) std::free(data);
        return nullptr;
    }
    size_t len = 1;
    for (int i = 0; i < nd; ++i) len *= static_cast<size_t>(dims[i]);
    c->release = free_release;
    c->data = capacity ? data : static_cast<void*>(g_empty);
    c->len = len;
    c->cap = capacity;
    PyObject* descr = a->descr[typenum];
    Py_INCREF(descr);  // NewFromDescr steals it
    PyObject* arr = reinterpret_cast<NewFromDescr>(a->table[94])(a->ndarray, descr, nd, dims, strides, c->data,
                                                                 WRITEABLE, nullptr);
    if (!arr) {
        Py_DECREF(c);
        return nullptr;
    }
    if (reinterpret_cast<SetBaseObject>(a->table[282])(arr, reinterpret_cast<PyObject*>(c)) < 0) {
        Py_DECREF(arr);  // SetBaseObject stole the container even on failure
        return nullptr;
    }
    return arr;
}

PyObject* new_array(int typenum, int nd, const npy_intp* dims) {
    Api* a = api();
    if (!a) return nullptr;
    PyObject* descr = a->descr[typenum];
    Py_INCREF(descr);  // NewFromDescr steals it
    return reinterpret_cast<NewFromDescr>(a->table[94])(a->ndarray, descr, nd, dims, nullptr, nullptr, 0, nullptr);
}

}  // namespace ms::np
