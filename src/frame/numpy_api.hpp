// The few entries of NumPy's C API table that the frame uses, looked up once
// per process from the `_ARRAY_API` capsule (NumPy 1 and 2 alike).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace ms::np {

using npy_intp = Py_ssize_t;

// Layout of NumPy's array object; identical in NumPy 1.x and 2.x.
struct ArrayFields {
    PyObject_HEAD char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
    PyObject* weakreflist;
};

enum : int {
    C_CONTIGUOUS = 0x0001,
    F_CONTIGUOUS = 0x0002,
    ALIGNED = 0x0100,
    WRITEABLE = 0x0400,
};

enum TypeNum : int { BOOL = 0, INT8 = 1, INT64 = 7, FLOAT32 = 11, FLOAT64 = 12 };

struct Api {
    void** table = nullptr;
    PyTypeObject* ndarray = nullptr;
    PyObject* f64 = nullptr;  // the float64 descriptor, a process-lifetime reference
    PyObject* descr[13] = {};
};

// The process-wide table, loaded on first use; nullptr with an exception set
// when NumPy cannot be imported.
Api* api();

inline ArrayFields* fields(PyObject* o) { return reinterpret_cast<ArrayFields*>(o); }

// True when `o` is an ndarray (or subclass). Needs api() to have been loaded.
inline bool is_ndarray(Api* a, PyObject* o) {
    return Py_TYPE(o) == a->ndarray || PyType_IsSubtype(Py_TYPE(o), a->ndarray);
}

// True when the array's element type is float64 or equivalent to it.
bool is_f64(Api* a, PyObject* arr);

// True when the array's element type is float32 or equivalent to it.
bool is_f32(Api* a, PyObject* arr);

// A new array of `nd` dimensions over `data`, whose ownership passes to a
// container object set as the array's base. On failure the data is freed and
// nullptr returned with an exception set.
PyObject* wrap_buffer(int typenum, int nd, const npy_intp* dims, const npy_intp* strides, void* data,
                      size_t capacity);

// A new C-ordered array of `nd` dimensions whose memory NumPy allocates and
// owns (no base object); nullptr with an exception set on failure.
PyObject* new_array(int typenum, int nd, const npy_intp* dims);

}  // namespace ms::np
