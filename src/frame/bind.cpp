// Argument binding, conversions and result objects shared by every callable.
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "frame/frame.hpp"

namespace ms {

std::vector<Entry>& all_entries() {
    static std::vector<Entry> entries;
    return entries;
}

// ------------------------------------------------------------ signatures

namespace {

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\n')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\n')) --e;
    return std::string(s.substr(b, e - b));
}

// Splits "(a, b=[1, 2], *, c='x,y')" at its top-level commas.
std::vector<std::string> split_params(std::string_view sig) {
    std::vector<std::string> out;
    if (sig.size() < 2 || sig.front() != '(' || sig.back() != ')') return out;
    sig = sig.substr(1, sig.size() - 2);
    int depth = 0;
    char quote = 0;
    size_t start = 0;
    for (size_t i = 0; i < sig.size(); ++i) {
        char c = sig[i];
        if (quote) {
            if (c == '\\')
                ++i;
            else if (c == quote)
                quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.push_back(trim(sig.substr(start, i - start)));
            start = i + 1;
        }
    }
    std::string last = trim(sig.substr(start));
    if (!last.empty()) out.push_back(last);
    return out;
}

// Evaluates a default's literal text once, at registration.
PyObject* eval_literal(const std::string& text) {
    if (text == "None") return Py_NewRef(Py_None);
    PyObject* ast = PyImport_ImportModule("ast");
    if (!ast) return nullptr;
    PyObject* v = PyObject_CallMethod(ast, "literal_eval", "s", text.c_str());
    Py_DECREF(ast);
    return v;
}

}  // namespace

bool init_desc(Desc& d, const char* name, const char* cls, const char* sig, size_t nparams) {
    d.name = name;
    d.cls = cls;
    d.full = cls ? std::string(cls) + "." + name + "()" : std::string(name) + "()";
    d.params.clear();
    d.interned.clear();
    d.defaults.clear();
    d.npos = 0;
    d.required = 0;
    bool kwonly = false;
    for (const std::string& p : split_params(sig)) {
        if (p.empty() || p[0] == '$') continue;  // $self, $type
        if (p == "*") {
            kwonly = true;
            continue;
        }
        size_t eq = p.find('=');
        std::string pname = trim(std::string_view(p).substr(0, eq));
        PyObject* def = nullptr;
        if (eq != std::string::npos) {
            def = eval_literal(trim(std::string_view(p).substr(eq + 1)));
            if (!def) return false;
        } else if (!kwonly) {
            if (d.npos != d.required) {
                PyErr_Format(PyExc_SystemError, "%s: a required parameter follows an optional one", name);
                return false;
            }
            ++d.required;
        }
        if (!kwonly) ++d.npos;
        PyObject* in = PyUnicode_InternFromString(pname.c_str());
        if (!in) return false;
        d.params.push_back(pname);
        d.interned.push_back(in);
        d.defaults.push_back(def);
    }
    if (d.params.size() != nparams) {
        PyErr_Format(PyExc_SystemError, "%s: text signature names %zu parameters, the body takes %zu", name,
                     d.params.size(), nparams);
        return false;
    }
    return true;
}

bool make_methods(const char* cls, const Entry* rows, size_t n, PyMethodDef* defs) {
    for (size_t i = 0; i < n; ++i) {
        const Entry& e = rows[i];
        if (!init_desc(*e.desc, e.name, cls, e.sig, e.nparams)) return false;
        auto* doc = new std::string(std::string(e.name) + e.sig + "\n--\n\n" + e.doc);
        defs[i] = PyMethodDef{e.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(e.call)),
                              METH_FASTCALL | METH_KEYWORDS, doc->c_str()};
    }
    defs[n] = PyMethodDef{nullptr, nullptr, 0, nullptr};
    return true;
}

PyObject* call_with_tuple(CallFn call, PyObject* self, PyObject* args, PyObject* kwargs) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    Py_ssize_t nk = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    std::vector<PyObject*> vec(static_cast<size_t>(n + nk));
    for (Py_ssize_t i = 0; i < n; ++i) vec[static_cast<size_t>(i)] = PyTuple_GET_ITEM(args, i);
    PyObject* names = nullptr;
    if (nk > 0) {
        names = PyTuple_New(nk);
        if (!names) return nullptr;
        Py_ssize_t pos = 0, i = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            PyTuple_SET_ITEM(names, i, Py_NewRef(k));
            vec[static_cast<size_t>(n + i)] = v;
            ++i;
        }
    }
    PyObject* r = call(self, vec.data(), n, names);
    Py_XDECREF(names);
    return r;
}

// ------------------------------------------------------------ binding

namespace {

std::string quoted_list(const std::vector<const std::string*>& names) {
    std::string s;
    size_t n = names.size();
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) s += (n == 2) ? " and " : (i + 1 == n ? ", and " : ", ");
        s += "'" + *names[i] + "'";
    }
    return s;
}

void set_type_error(const std::string& msg) { PyErr_SetString(PyExc_TypeError, msg.c_str()); }

}  // namespace

bool bind_args(const Desc& d, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) {
    size_t n = static_cast<size_t>(nargs);
    if (n > d.npos) {
        std::string msg = d.full + " takes ";
        if (d.required == d.npos)
            msg += std::to_string(d.npos);
        else
            msg += "from " + std::to_string(d.required) + " to " + std::to_string(d.npos);
        msg += " positional arguments but " + std::to_string(n) + (n == 1 ? " was" : " were") + " given";
        set_type_error(msg);
        return false;
    }
    for (size_t i = 0; i < n; ++i) slots[i] = args[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        const size_t np = d.params.size();
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            size_t hit = np;
            // Keyword-only parameters first, then positional ones; identity
            // of the interned names first, then their UTF-8 bytes.
            for (size_t j = d.npos; j < np && hit == np; ++j)
                if (d.interned[j] == key) hit = j;
            for (size_t j = 0; j < d.npos && hit == np; ++j)
                if (d.interned[j] == key) hit = j;
            if (hit == np) {
                Py_ssize_t len = 0;
                const char* utf8 = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
                if (!utf8) {
                    PyErr_Clear();
                } else {
                    auto same = [&](size_t j) {
                        return d.params[j].size() == static_cast<size_t>(len) &&
                               std::memcmp(d.params[j].data(), utf8, static_cast<size_t>(len)) == 0;
                    };
                    for (size_t j = d.npos; j < np && hit == np; ++j)
                        if (same(j)) hit = j;
                    for (size_t j = 0; j < d.npos && hit == np; ++j)
                        if (same(j)) hit = j;
                }
            }
            if (hit == np) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", d.full.c_str(), key);
                return false;
            }
            if (slots[hit]) {
                set_type_error(d.full + " got multiple values for argument '" + d.params[hit] + "'");
                return false;
            }
            slots[hit] = value;
        }
    }
    if (n < d.required) {
        std::vector<const std::string*> missing;
        for (size_t i = 0; i < d.required; ++i)
            if (!slots[i]) missing.push_back(&d.params[i]);
        if (!missing.empty()) {
            set_type_error(d.full + " missing " + std::to_string(missing.size()) + " required positional " +
                           (missing.size() == 1 ? "argument" : "arguments") + ": " + quoted_list(missing));
            return false;
        }
    }
    return true;
}

// ------------------------------------------------------------ errors

namespace {

PyObject* fetch() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    if (!t) return nullptr;
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb) PyException_SetTraceback(v, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    return v;
#endif
}

void restore(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyObject* t = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    PyErr_Restore(t, exc, PyException_GetTraceback(exc));
#endif
}

void no_exception_set() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

}  // namespace

void rewrap_conversion_error(const char* param) {
    no_exception_set();
    PyObject* exc = fetch();
    if (!exc || Py_TYPE(exc) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore(exc);
        return;
    }
    PyObject* text = PyObject_Str(exc);
    if (!text) {
        Py_DECREF(exc);
        return;
    }
    PyObject* msg = PyUnicode_FromFormat("argument '%s': %U", param, text);
    Py_DECREF(text);
    if (!msg) {
        Py_DECREF(exc);
        return;
    }
    PyObject* wrapped = PyObject_CallOneArg(PyExc_TypeError, msg);
    Py_DECREF(msg);
    if (!wrapped) {
        Py_DECREF(exc);
        return;
    }
    PyObject* cause = PyException_GetCause(exc);  // new reference or NULL
    Py_DECREF(exc);
    if (cause) PyException_SetCause(wrapped, cause);  // steals
    restore(wrapped);
}

PyObject* raise(Err&& e) {
    PyObject* type = nullptr;
    switch (e.kind) {
        case ErrKind::Value: type = PyExc_ValueError; break;
        case ErrKind::Type: type = PyExc_TypeError; break;
        case ErrKind::Overflow: type = PyExc_OverflowError; break;
        case ErrKind::Pending: no_exception_set(); return nullptr;
    }
    // Sized, so a message quoting a caller's string keeps any NUL in it.
    PyObject* msg = PyUnicode_DecodeUTF8(e.msg.data(), static_cast<Py_ssize_t>(e.msg.size()), "replace");
    if (!msg) return nullptr;
    PyErr_SetObject(type, msg);
    Py_DECREF(msg);
    return nullptr;
}

PyObject* raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container size beyond what can be allocated
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error");
    }
    return nullptr;
}

void cannot_convert(PyObject* o, const char* target) {
    PyObject* name = PyType_GetName(Py_TYPE(o));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name, target);
    Py_DECREF(name);
}

// ------------------------------------------------------------ conversions

namespace detail {

bool array_from(PyObject* o, int nd, Ref& ref) {
    np::Api* a = np::api();
    if (!a) return false;
    if (!np::is_ndarray(a, o) || (nd >= 0 && np::fields(o)->nd != nd) || !np::is_f64(a, o)) {
        cannot_convert(o, "PyArray<T, D>");
        return false;
    }
    ref.reset(o);
    return true;
}

bool array_still(PyObject* o, int nd, const char* param) {
    np::Api* a = np::api();
    if ((nd >= 0 && np::fields(o)->nd != nd) || !np::is_f64(a, o)) {
        cannot_convert(o, "PyArray<T, D>");
        rewrap_conversion_error(param);
        return false;
    }
    return true;
}

bool not_contiguous() {
    PyErr_SetString(PyExc_TypeError, kNotContiguous);
    return false;
}

View2 view2(PyObject* o) {
    auto* f = np::fields(o);
    View2 v;
    v.data = f->data;
    v.rows = static_cast<size_t>(f->dimensions[0]);
    v.cols = static_cast<size_t>(f->dimensions[1]);
    v.rstride = f->strides[0];
    v.cstride = f->strides[1];
    v.c_contiguous = (f->flags & np::C_CONTIGUOUS) != 0;
    v.f_contiguous = (f->flags & np::F_CONTIGUOUS) != 0;
    return v;
}

ViewN viewn(PyObject* o) {
    auto* f = np::fields(o);
    ViewN v;
    v.data = f->data;
    v.shape.resize(static_cast<size_t>(f->nd));
    v.strides.resize(static_cast<size_t>(f->nd));
    for (int i = 0; i < f->nd; ++i) {
        v.shape[static_cast<size_t>(i)] = static_cast<size_t>(f->dimensions[i]);
        v.strides[static_cast<size_t>(i)] = f->strides[i];
    }
    v.c_contiguous = (f->flags & np::C_CONTIGUOUS) != 0;
    v.f_contiguous = (f->flags & np::F_CONTIGUOUS) != 0;
    return v;
}

bool to_double(PyObject* o, double& v) {
    if (PyFloat_CheckExact(o)) {
        v = PyFloat_AS_DOUBLE(o);
        return true;
    }
    v = PyFloat_AsDouble(o);
    return !(v == -1.0 && PyErr_Occurred());
}

bool to_u64(PyObject* o, uint64_t& v) {
    if (PyLong_Check(o)) {
        unsigned long long x = PyLong_AsUnsignedLongLong(o);
        if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        v = x;
        return true;
    }
    PyObject* idx = PyNumber_Index(o);
    if (!idx) return false;
    unsigned long long x = PyLong_AsUnsignedLongLong(idx);
    Py_DECREF(idx);
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    v = x;
    return true;
}

bool to_i64(PyObject* o, int64_t& v) {
    // Where a C long is 64 bits the interpreter's own conversion to it is the
    // signed 64-bit one (and its OverflowError text names "C long").
    if constexpr (sizeof(long) == sizeof(int64_t)) {
        long x = PyLong_AsLong(o);
        if (x == -1 && PyErr_Occurred()) return false;
        v = x;
    } else {
        long long x = PyLong_AsLongLong(o);
        if (x == -1 && PyErr_Occurred()) return false;
        v = x;
    }
    return true;
}

namespace {
// NumPy's bool scalar type ("bool_" in NumPy 1, "bool" in NumPy 2).
bool is_numpy_bool_type(PyTypeObject* tp) {
    PyObject* name = PyType_GetName(tp);
    if (!name) {
        PyErr_Clear();
        return false;
    }
    bool named = PyUnicode_CompareWithASCIIString(name, "bool_") == 0 ||
                 PyUnicode_CompareWithASCIIString(name, "bool") == 0;
    Py_DECREF(name);
    if (!named) return false;
    PyObject* mod = PyObject_GetAttrString(reinterpret_cast<PyObject*>(tp), "__module__");
    if (!mod) {
        PyErr_Clear();
        return false;
    }
    bool ok = PyUnicode_Check(mod) && PyUnicode_CompareWithASCIIString(mod, "numpy") == 0;
    Py_DECREF(mod);
    return ok;
}
}  // namespace

bool to_bool(PyObject* o, bool& v) {
    if (o == Py_True) {
        v = true;
        return true;
    }
    if (o == Py_False) {
        v = false;
        return true;
    }
    static PyTypeObject* np_bool = nullptr;  // cached once seen
    PyTypeObject* tp = Py_TYPE(o);
    if (tp == np_bool || is_numpy_bool_type(tp)) {
        inquiry nb = tp->tp_as_number ? tp->tp_as_number->nb_bool : nullptr;
        if (!nb) {
            PyObject* name = PyType_GetName(tp);
            if (name) {
                PyErr_Format(PyExc_TypeError, "object of type '%U' does not define a '__bool__' conversion", name);
                Py_DECREF(name);
            }
            return false;
        }
        int r = nb(o);
        if (r < 0) return false;
        if (!np_bool && (tp->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0) np_bool = tp;
        v = r != 0;
        return true;
    }
    cannot_convert(o, "PyBool");
    return false;
}

bool to_str(PyObject* o, Str& v) {
    if (!PyUnicode_Check(o)) {
        cannot_convert(o, "PyString");
        return false;
    }
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    if (!s) return false;
    v = Str(s, static_cast<size_t>(len));
    return true;
}

}  // namespace detail

// ------------------------------------------------------------ results

PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
PyObject* to_py(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
PyObject* to_py(int64_t v) { return PyLong_FromLongLong(v); }
PyObject* to_py(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_py(std::string&& v) {
    return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
}

PyObject* to_py(Dict&& d) {
    PyObject* out = PyDict_New();
    if (!out) return nullptr;
    for (auto& [key, value] : d.items) {
        PyObject* v = std::visit([](auto&& x) { return to_py(std::move(x)); }, std::move(value));
        if (!v || PyDict_SetItemString(out, key, v) < 0) {
            Py_XDECREF(v);
            Py_DECREF(out);
            return nullptr;
        }
        Py_DECREF(v);
    }
    return out;
}

PyObject* to_py(Array2&& a) {
    np::npy_intp dims[2] = {static_cast<np::npy_intp>(a.rows), static_cast<np::npy_intp>(a.cols)};
    np::npy_intp strides[2] = {static_cast<np::npy_intp>(a.cols * sizeof(double)), sizeof(double)};
    size_t cap = a.buf.capacity();
    return np::wrap_buffer(np::FLOAT64, 2, dims, strides, a.buf.release(), cap);
}

}  // namespace ms
