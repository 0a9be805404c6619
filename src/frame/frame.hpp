// The binding layer. A function is declared once, as one table row:
//
//     fn<"mean_np", &mean_np>("(a)")
//
// The text signature gives the parameter names, the required count and the
// defaults; the C++ parameter types of the body choose the conversions; the
// return type chooses the result builder. Bodies return plain values or
// Result<T>; only the call entry raises.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "frame/numpy_api.hpp"
#include "frame/registration.hpp"
#include "core/result.hpp"

namespace ms {

// A new 1-D result array of float64, int8, bool or int64.
template <class T>
struct Array1 {
    Buf<T> buf;
    Array1() = default;
    Array1(Buf<T> b) : buf(std::move(b)) {}
};

// A new 2-D float64 result array from a row-major buffer.
struct Array2 {
    Buf<double> buf;
    size_t rows = 0, cols = 0;
};


// ---------------------------------------------------------------- tables

struct Desc {
    const char* name = "";
    const char* cls = nullptr;        // class name for methods
    std::string full;                 // "name()" or "Cls.name()"
    std::vector<std::string> params;  // positional, then keyword-only
    std::vector<PyObject*> interned;  // the names as interned str
    std::vector<PyObject*> defaults;  // nullptr when required; Py_None for "=None"
    size_t npos = 0;                  // positional parameters
    size_t required = 0;              // required positional parameters (they come first)
};

using CallFn = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

struct Entry {
    const char* name;
    const char* sig;
    const char* doc;
    CallFn call;
    Desc* desc;
    size_t nparams;                            // converted parameters of the body
    PyObject* (*make_type)(PyObject* module);  // set for a class entry
};

// Parses a text signature into `d`; false with an exception set on a bad row.
bool init_desc(Desc& d, const char* name, const char* cls, const char* sig, size_t nparams);

// Binds the caller's arguments into one slot per parameter (nullptr = absent).
bool bind_args(const Desc& d, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots);

// Rewraps a pending conversion TypeError as "argument '{}': {}".
void rewrap_conversion_error(const char* param);

// Raises `e` and returns nullptr.
PyObject* raise(Err&& e);

// Any C++ exception escaping a body becomes a Python exception here.
PyObject* raise_current_exception() noexcept;

// Sets TypeError "'{type name}' object cannot be converted to '{target}'".
void cannot_convert(PyObject* o, const char* target);

// The family tables, collected at static initialisation and registered by
// the module body in the fixed order.
std::vector<Entry>& all_entries();
struct Family {
    Family(std::initializer_list<Entry> rows) {
        for (const Entry& e : rows) all_entries().push_back(e);
    }
};

// ------------------------------------------------------------ conversions

// Holds a strong reference for the length of one call.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* o) : o_(o) { Py_XINCREF(o_); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& r) noexcept : o_(r.o_) { r.o_ = nullptr; }
    Ref& operator=(Ref&& r) noexcept {
        std::swap(o_, r.o_);
        return *this;
    }
    ~Ref() { Py_XDECREF(o_); }
    void reset(PyObject* o) {
        Py_XINCREF(o);
        Py_XDECREF(o_);
        o_ = o;
    }
    PyObject* get() const { return o_; }

private:
    PyObject* o_ = nullptr;
};

// The bound instance of a method.
struct Self {
    PyObject* obj;
};

// A str argument as UTF-8, valid for the call.
using Str = std::string_view;

template <class T>
struct Conv;

// The TypeError of a 1-D array that must be flat and is not.
inline constexpr const char* kNotContiguous = "The given array is not contiguous";

// The flat values of a View1 parameter whose layout a wrapper checks in its
// body, after its own argument checks (their errors come first); a strided
// array fails as a Slice parameter would.
inline Result<Slice> require_contiguous(const View1& a) {
    if (!a.contiguous()) return type_error(kNotContiguous);
    return a.span();
}

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

namespace detail {
bool array_from(PyObject* o, int nd, Ref& ref);
// Checks again that an array argument is still what its conversion accepted:
// a later argument's conversion runs Python code, which may have reshaped the
// array or replaced its buffer. Fails with the conversion's own TypeError.
bool array_still(PyObject* o, int nd, const char* param);
bool not_contiguous();  // sets the TypeError, returns false
inline View1 view1(PyObject* o) {
    auto* f = np::fields(o);
    return View1{f->data, static_cast<size_t>(f->dimensions[0]), f->strides[0]};
}
View2 view2(PyObject* o);
ViewN viewn(PyObject* o);
bool to_double(PyObject* o, double& v);
bool to_u64(PyObject* o, uint64_t& v);
bool to_i64(PyObject* o, int64_t& v);
bool to_bool(PyObject* o, bool& v);
bool to_str(PyObject* o, Str& v);
}  // namespace detail

// A contiguous block of doubles that NumPy placed at an address not aligned
// for double is copied to an aligned buffer, so kernels may read it as
// double* (vectorised loads on a misaligned double* are undefined and can fault).
inline void realign(const char*& data, size_t count, bool contiguous, Buf<double>& copy) {
    if (contiguous && count > 0 && (reinterpret_cast<uintptr_t>(data) % alignof(double)) != 0) {
        copy = Buf<double>(count);
        std::memcpy(copy.data(), data, count * sizeof(double));
        data = reinterpret_cast<const char*>(copy.data());
    }
}

// Array arguments are type-checked when converted, in declaration order, but
// their data pointer, shape and strides are read only after every argument
// is converted: no Python code runs between that read and the body's return,
// so the buffer the body reads is the one the array holds.
namespace detail {
inline void read_view(PyObject* o, View1& v) { v = view1(o); }
inline void read_view(PyObject* o, View2& v) { v = view2(o); }
inline void read_view(PyObject* o, ViewN& v) { v = viewn(o); }
inline size_t element_count(const View1& v) { return v.n; }
inline size_t element_count(const View2& v) { return v.rows * v.cols; }
inline size_t element_count(const ViewN& v) {
    size_t count = 1;
    for (size_t d : v.shape) count *= d;
    return count;
}
inline bool flat(const View1& v) { return v.contiguous(); }
template <class V>
bool flat(const V& v) {
    return v.c_contiguous || v.f_contiguous;
}
}  // namespace detail

// One conversion for every read-only array view; ND is the required number of
// dimensions (-1: any).
template <class V, int ND>
struct ArrayConv {
    struct Holder {
        Ref ref;
        V v;
        Buf<double> copy;
    };
    static bool from(PyObject* o, Holder& h) { return detail::array_from(o, ND, h.ref); }
    static bool post(Holder& h, const char* param) {
        if (!detail::array_still(h.ref.get(), ND, param)) return false;
        detail::read_view(h.ref.get(), h.v);
        realign(h.v.data, detail::element_count(h.v), detail::flat(h.v), h.copy);
        return true;
    }
    static const V& get(Holder& h) { return h.v; }
};

template <>
struct Conv<View1> : ArrayConv<View1, 1> {};
template <>
struct Conv<View2> : ArrayConv<View2, 2> {};
template <>
struct Conv<ViewN> : ArrayConv<ViewN, -1> {};

template <>
struct Conv<Slice> {
    using Holder = Conv<View1>::Holder;
    static bool from(PyObject* o, Holder& h) { return Conv<View1>::from(o, h); }
    static bool post(Holder& h, const char* param) {
        return Conv<View1>::post(h, param) && (h.v.contiguous() || detail::not_contiguous());
    }
    static Slice get(Holder& h) { return h.v.span(); }
};


namespace detail {
// The view of a 2-D float64 or float32 ndarray; TypeError for anything else.
inline bool mat_view(PyObject* o, MatView& v) {
    np::Api* a = np::api();
    if (!a) return false;
    bool f64 = false, f32 = false;
    if (np::is_ndarray(a, o) && np::fields(o)->nd == 2) {
        f64 = np::is_f64(a, o);
        f32 = !f64 && np::is_f32(a, o);
    }
    if (!f64 && !f32) {
        PyErr_SetString(PyExc_TypeError, "expected a 2D NumPy array of dtype float32 or float64");
        return false;
    }
    const auto* f = np::fields(o);
    v = MatView{f->data,
                static_cast<size_t>(f->dimensions[0]),
                static_cast<size_t>(f->dimensions[1]),
                f->strides[0],
                f->strides[1],
                f32,
                (f->flags & np::C_CONTIGUOUS) != 0};
    return true;
}

template <class T>
void copy_rows(const MatView& m, double* out) {
    for (size_t r = 0; r < m.rows; ++r)
        for (size_t c = 0; c < m.cols; ++c) *out++ = static_cast<double>(m.load<T>(r, c));
}
}  // namespace detail

// A 2-D array is looked at only after every other argument converted, so the
// other arguments' errors come first: `from` keeps the object, `post` reads it.
template <class T>
struct Deferred2D {
    struct Holder {
        Ref ref;
        T v;
    };
    static bool from(PyObject* o, Holder& h) {
        h.ref.reset(o);
        return true;
    }
    static const T& get(Holder& h) { return h.v; }
};

template <>
struct Conv<MatView> : Deferred2D<MatView> {
    static bool post(Holder& h, const char*) { return detail::mat_view(h.ref.get(), h.v); }
};

template <>
struct Conv<MatF64> : Deferred2D<MatF64> {
    static bool post(Holder& h, const char*) {
        MatView view;
        if (!detail::mat_view(h.ref.get(), view)) return false;
        MatF64& m = h.v;
        m = MatF64{Buf<double>(view.rows * view.cols), view.rows, view.cols};
        if (m.v.empty()) return true;
        if (!view.f32 && view.c_contiguous)
            std::memcpy(m.v.data(), view.data, m.v.size() * sizeof(double));
        else if (!view.f32)
            detail::copy_rows<double>(view, m.v.data());
        else
            detail::copy_rows<float>(view, m.v.data());
        return true;
    }
};

#define MS_SCALAR_CONV(T, fn)                                                 \
    template <>                                                               \
    struct Conv<T> {                                                          \
        using Holder = T;                                                     \
        static bool from(PyObject* o, Holder& h) { return detail::fn(o, h); } \
        static bool post(Holder&, const char*) { return true; }               \
        static T get(Holder& h) { return h; }                                 \
    };
MS_SCALAR_CONV(double, to_double)
MS_SCALAR_CONV(uint64_t, to_u64)
MS_SCALAR_CONV(int64_t, to_i64)
MS_SCALAR_CONV(bool, to_bool)
#undef MS_SCALAR_CONV

template <>
struct Conv<Str> {
    struct Holder {
        Ref ref;
        Str v;
    };
    static bool from(PyObject* o, Holder& h) {
        if (!detail::to_str(o, h.v)) return false;
        h.ref.reset(o);
        return true;
    }
    static bool post(Holder&, const char*) { return true; }
    static Str get(Holder& h) { return h.v; }
};

// Any object, passed through unconverted (borrowed for the call).
template <>
struct Conv<PyObject*> {
    using Holder = Ref;
    static bool from(PyObject* o, Holder& h) {
        h.reset(o);
        return true;
    }
    static bool post(Holder&, const char*) { return true; }
    static PyObject* get(Holder& h) { return h.get(); }
};

template <class T>
struct Conv<std::vector<T>> {
    struct Holder {
        std::vector<typename Conv<T>::Holder> items;
        std::vector<T> v;
    };
    static bool from(PyObject* o, Holder& h) {
        if (PyUnicode_Check(o)) {
            PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
            return false;
        }
        if (!PySequence_Check(o)) {
            cannot_convert(o, "Sequence");
            return false;
        }
        // The length is only a hint: a __len__ far beyond the items the
        // iteration yields must not decide the allocation.
        Py_ssize_t hint = PySequence_Size(o);
        if (hint < 0) {
            PyErr_Clear();
            hint = 0;
        }
        // Only a hint: a sequence may claim any length it likes, so a huge
        // claim must not become a huge (or impossible) reservation.
        h.items.reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, 4096)));
        PyObject* it = PyObject_GetIter(o);
        if (!it) return false;
        while (PyObject* item = PyIter_Next(it)) {
            h.items.emplace_back();
            bool ok = Conv<T>::from(item, h.items.back());
            Py_DECREF(item);
            if (!ok) {
                Py_DECREF(it);
                return false;
            }
        }
        Py_DECREF(it);
        if (PyErr_Occurred()) return false;
        return true;
    }
    static bool post(Holder& h, const char* param) {
        for (auto& i : h.items)
            if (!Conv<T>::post(i, param)) return false;
        h.v.clear();
        h.v.reserve(h.items.size());
        for (auto& i : h.items) h.v.push_back(Conv<T>::get(i));
        return true;
    }
    static const std::vector<T>& get(Holder& h) { return h.v; }
};

template <class T>
struct Conv<std::optional<T>> {
    struct Holder {
        bool has = false;
        typename Conv<T>::Holder h;
    };
    static bool from(PyObject* o, Holder& h) {
        h.has = true;
        return Conv<T>::from(o, h.h);
    }
    static bool post(Holder& h, const char* param) { return !h.has || Conv<T>::post(h.h, param); }
    static std::optional<T> get(Holder& h) {
        if (!h.has) return std::nullopt;
        return Conv<T>::get(h.h);
    }
};

// ------------------------------------------------------------ results

using DictValue = std::variant<double, int64_t, bool, std::string>;

// A result dict whose keys keep the order they were added in.
struct Dict {
    std::vector<std::pair<const char*, DictValue>> items;
    Dict& add(const char* k, DictValue v) {
        items.emplace_back(k, std::move(v));
        return *this;
    }
};

// A new reference built by the body itself (nullptr: exception set).
struct Owned {
    PyObject* obj;
};

PyObject* to_py(double v);
PyObject* to_py(bool v);
PyObject* to_py(int64_t v);
PyObject* to_py(uint64_t v);
PyObject* to_py(std::string&& v);
PyObject* to_py(Dict&& v);
PyObject* to_py(Array2&& v);
inline PyObject* to_py(Owned v) { return v.obj; }

template <class T>
PyObject* to_py(Array1<T>&& a) {
    constexpr int tn = std::is_same_v<T, double>   ? np::FLOAT64
                       : std::is_same_v<T, bool>   ? np::BOOL
                       : std::is_same_v<T, int8_t> ? np::INT8
                                                   : np::INT64;
    static_assert(std::is_same_v<T, double> || std::is_same_v<T, bool> || std::is_same_v<T, int8_t> ||
                  std::is_same_v<T, int64_t>);
    np::npy_intp dim = static_cast<np::npy_intp>(a.buf.size());
    np::npy_intp stride = sizeof(T);
    size_t cap = a.buf.capacity();
    return np::wrap_buffer(tn, 1, &dim, &stride, a.buf.release(), cap);
}

template <class T>
PyObject* to_py(Result<T>&& r);
template <class T>
PyObject* to_py(std::optional<T>&& v);
template <class... T>
PyObject* to_py(std::tuple<T...>&& t);
template <class T>
PyObject* to_py(std::vector<T>&& v);

template <class T>
PyObject* to_py(Result<T>&& r) {
    if (!r.ok()) return raise(std::move(r).error());
    return to_py(std::move(r).value());
}

template <class T>
PyObject* to_py(std::optional<T>&& v) {
    if (!v) Py_RETURN_NONE;
    return to_py(std::move(*v));
}

template <class... T>
PyObject* to_py(std::tuple<T...>&& t) {
    PyObject* out = PyTuple_New(sizeof...(T));
    if (!out) return nullptr;
    bool ok = true;
    size_t i = 0;
    std::apply(
        [&](auto&&... x) {
            ((ok = ok &&
                   [&] {
                       PyObject* o = to_py(std::move(x));
                       if (!o) return false;
                       PyTuple_SET_ITEM(out, i++, o);
                       return true;
                   }()),
             ...);
        },
        std::move(t));
    if (!ok) {
        Py_DECREF(out);
        return nullptr;
    }
    return out;
}

// A variable number of results: a tuple.
template <class T>
PyObject* to_py(std::vector<T>&& v) {
    PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(v.size()));
    if (!out) return nullptr;
    for (size_t i = 0; i < v.size(); ++i) {
        PyObject* o = to_py(std::move(v[i]));
        if (!o) {
            Py_DECREF(out);
            return nullptr;
        }
        PyTuple_SET_ITEM(out, static_cast<Py_ssize_t>(i), o);
    }
    return out;
}

// ------------------------------------------------------------ the entry

template <size_t N>
struct Name {
    char s[N];
    constexpr Name(const char (&a)[N]) {
        for (size_t i = 0; i < N; ++i) s[i] = a[i];
    }
};

template <class F>
struct Sig;
template <class R, class... A>
struct Sig<R (*)(A...)> {
    using Ret = R;
    using Args = std::tuple<std::remove_cvref_t<A>...>;
};

namespace detail {

template <class A>
bool convert_one(const Desc& d, size_t i, PyObject** slots, typename Conv<A>::Holder& h) {
    PyObject* o = slots[i];
    if (!o) o = d.defaults[i];
    if constexpr (IsOptional<A>::value) {
        if (o == Py_None && d.defaults[i] == Py_None) return true;  // no value
    }
    if (Conv<A>::from(o, h)) return true;
    rewrap_conversion_error(d.params[i].c_str());
    return false;
}

template <class Args, size_t... I>
PyObject* invoke(auto f, const Desc& d, PyObject* self, PyObject** slots, std::index_sequence<I...>) {
    constexpr bool has_self = std::tuple_size_v < Args >> 0 && std::is_same_v<std::tuple_element_t<0, Args>, Self>;
    constexpr size_t off = has_self ? 1 : 0;
    std::tuple<typename Conv<std::tuple_element_t<I + off, Args>>::Holder...> h;
    bool ok = (convert_one<std::tuple_element_t<I + off, Args>>(d, I, slots, std::get<I>(h)) && ...);
    if (!ok) return nullptr;
    ok = (Conv<std::tuple_element_t<I + off, Args>>::post(std::get<I>(h), d.params[I].c_str()) && ...);
    if (!ok) return nullptr;
    if constexpr (has_self)
        return to_py(f(Self{self}, Conv<std::tuple_element_t<I + off, Args>>::get(std::get<I>(h))...));
    else
        return to_py(f(Conv<std::tuple_element_t<I + off, Args>>::get(std::get<I>(h))...));
}

template <class Args>
constexpr size_t nparams() {
    if constexpr (std::tuple_size_v < Args >> 0) {
        if constexpr (std::is_same_v<std::tuple_element_t<0, Args>, Self>) return std::tuple_size_v<Args> - 1;
    }
    return std::tuple_size_v<Args>;
}

}  // namespace detail

template <Name N, auto F>
struct Fn {
    using Args = typename Sig<decltype(F)>::Args;
    static constexpr size_t P = detail::nparams<Args>();
    static inline Desc desc;

    static PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        try {
            PyObject* slots[P + 1] = {};
            if (!bind_args(desc, args, nargs, kwnames, slots)) return nullptr;
            return detail::invoke<Args>(F, desc, self, slots, std::make_index_sequence<P>{});
        } catch (...) {
            return raise_current_exception();
        }
    }
};

// One row of a registration table.
template <Name N, auto F>
Entry fn(const char* sig, const char* doc = "") {
    static_assert(order_position(N.s) != kOrderSize,
                  "a table row names a function missing from the registration order");
    return Entry{N.s, sig, doc, &Fn<N, F>::call, &Fn<N, F>::desc, Fn<N, F>::P, nullptr};
}

// A method of a class: the body's first parameter is `Self`. `Cls` only keeps
// same-named methods of different classes apart.
template <Name Cls, Name N, auto F>
Entry method(const char* sig, const char* doc = "") {
    return Entry{N.s, sig, doc, &Fn<N, F>::call, &Fn<N, F>::desc, Fn<N, F>::P, nullptr};
}

// The class row of the module table: `make` creates the type object.
template <Name N>
Entry class_entry(PyObject* (*make)(PyObject* module)) {
    static_assert(order_position(N.s) != kOrderSize,
                  "a table row names a class missing from the registration order");
    return Entry{N.s, "", "", nullptr, nullptr, 0, make};
}

// Calls a fast-call entry with an argument tuple and keyword dict, as the
// type slots (tp_new) receive them.
PyObject* call_with_tuple(CallFn call, PyObject* self, PyObject* args, PyObject* kwargs);

// Fills `defs` (one slot more than `rows`, left zeroed as the sentinel) with
// method definitions for a heap type's Py_tp_methods; false with an exception
// set on a bad row. The definitions must outlive the type.
bool make_methods(const char* cls, const Entry* rows, size_t n, PyMethodDef* defs);

}  // namespace ms
