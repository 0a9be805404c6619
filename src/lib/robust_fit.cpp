// Robust fit and score by estimator names, the rolling median, and the
// RobustStats class, which parses the names once and keeps the result.
#include <charconv>
#include <cmath>
#include <iterator>
#include <new>
#include <string>

#include "frame/frame.hpp"
#include "kernels/robust/fit.hpp"

namespace ms {
namespace {

namespace r = kernels::robust;

Result<std::tuple<double, double>> robust_fit(Slice x, Str location, Str scale, double c, double trim,
                                              uint64_t max_iter, double tol, bool mad_consistent) {
    MS_TRY(cfg, r::parse_config(location, scale, mad_consistent, c, trim, max_iter, tol));
    const r::Fit f = r::robust_fit_slice(x, cfg);
    return std::tuple{f.location, f.scale};
}

Result<Array1<double>> robust_score(Slice x, Str location, Str scale, double c, double trim, uint64_t max_iter,
                                    double tol, bool mad_consistent) {
    MS_TRY(cfg, r::parse_config(location, scale, mad_consistent, c, trim, max_iter, tol));
    return Array1<double>(r::robust_score_slice(x, cfg));
}

Array1<double> rolling_median(Slice x, uint64_t window) {
    Buf<double> out(x.size());
    r::rolling_median_into(x, window, out.data());
    return out;
}

// ------------------------------------------------------------ RobustStats

// Everything an instance holds, fixed at construction. The names are kept
// only for the representation.
struct State {
    std::string location, scale;
    r::RobustConfig config;
    double c, trim;
    bool mad_consistent;
};

struct Instance {
    PyObject_HEAD State state;
};

const State& state_of(Self self) { return reinterpret_cast<Instance*>(self.obj)->state; }

std::tuple<double, double> fit(Self self, Slice x) {
    const r::Fit f = r::robust_fit_slice(x, state_of(self).config);
    return {f.location, f.scale};
}

Array1<double> score(Self self, Slice x) { return r::robust_score_slice(x, state_of(self).config); }

// The type is not subclassable, so `type` is RobustStats itself.
Result<Owned> construct(Self type, Str location, Str scale, double c, double trim, uint64_t max_iter, double tol,
                        bool mad_consistent) {
    MS_TRY(cfg, r::parse_config(location, scale, mad_consistent, c, trim, max_iter, tol));
    State st{std::string(location), std::string(scale), cfg, c, trim, mad_consistent};
    auto* tp = reinterpret_cast<PyTypeObject*>(type.obj);
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) return Owned{nullptr};
    new (&reinterpret_cast<Instance*>(o)->state) State(std::move(st));
    return Owned{o};
}

// Three decimals of the exact value, ties to even; NaN and infinities spelled
// NaN, inf and -inf.
std::string fixed3(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[400];  // DBL_MAX has 309 integer digits
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 3);
    return std::string(buf, res.ptr);
}

PyObject* repr(PyObject* self) noexcept {
    try {
        const State& s = state_of(Self{self});
        std::string text = "RobustStats(location='" + s.location + "', scale='" + s.scale + "', c=" + fixed3(s.c) +
                           ", trim=" + fixed3(s.trim) +
                           ", mad_consistent=" + (s.mad_consistent ? "true" : "false") + ")";
        return to_py(std::move(text));
    } catch (...) {
        return raise_current_exception();
    }
}

void dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<Instance*>(self)->state.~State();
    tp->tp_free(self);
    Py_DECREF(tp);
}

constexpr const char* kDocFit =
    "Fit robust location and scale - OPTIMIZED\n\nZero string operations - uses pre-built enum config.";
constexpr const char* kDocScore =
    "Compute robust z-scores - OPTIMIZED\n\nZero string operations - uses pre-built enum config.";

const Entry kMethods[] = {
    method<"RobustStats", "fit", &fit>("($self, x)", kDocFit),
    method<"RobustStats", "score", &score>("($self, x)", kDocScore),
};

// Binds and converts like every other callable, so its errors name
// "RobustStats.__new__()".
const Entry kNew = method<"RobustStats", "__new__", &construct>(
    "($type, location=\"median\", scale=\"mad\", c=1.345, trim=0.1, max_iter=50, tol=1e-6, mad_consistent=True)");

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    try {
        return call_with_tuple(kNew.call, reinterpret_cast<PyObject*>(type), args, kwargs);
    } catch (...) {
        return raise_current_exception();
    }
}

constexpr const char* kClassDoc =
    "RobustStats(location=\"median\", scale=\"mad\", c=1.345, trim=0.1, max_iter=50, tol=1e-6, "
    "mad_consistent=True)\n--\n\n"
    "Robust statistics estimator with configurable policies - OPTIMIZED\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "location : str, default \"median\"\n"
    "    Location estimator: \"median\", \"trimmed_mean\" or \"huber\".\n"
    "scale : str, default \"mad\"\n"
    "    Scale estimator: \"mad\", \"iqr\" or \"qn\".\n"
    "c : float, default 1.345\n"
    "    Tuning constant of the Huber location.\n"
    "trim : float, default 0.1\n"
    "    Proportion cut from each end by the trimmed mean.\n"
    "max_iter : int, default 50\n"
    "    Iteration limit of the Huber location.\n"
    "tol : float, default 1e-6\n"
    "    Convergence tolerance of the Huber location, relative to the scale.\n"
    "mad_consistent : bool, default True\n"
    "    Whether the MAD is multiplied by 1.482602218505602, its consistency\n"
    "    constant for the normal distribution.\n"
    "\n"
    "The names are parsed once, here, into enumerations: fit and score do no\n"
    "string operations.";

// Created on the first registration and kept for the life of the process.
PyObject* make_type(PyObject*) {
    static PyObject* type = nullptr;
    if (type) return Py_NewRef(type);
    static PyMethodDef defs[std::size(kMethods) + 1];
    if (!make_methods("RobustStats", kMethods, std::size(kMethods), defs)) return nullptr;
    if (!init_desc(*kNew.desc, kNew.name, "RobustStats", kNew.sig, kNew.nparams)) return nullptr;
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(kClassDoc)},          {Py_tp_methods, defs},
        {Py_tp_new, reinterpret_cast<void*>(&tp_new)},      {Py_tp_repr, reinterpret_cast<void*>(&repr)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc)}, {0, nullptr},
    };
    PyType_Spec spec{"marlox_stats.RobustStats", static_cast<int>(sizeof(Instance)), 0, Py_TPFLAGS_DEFAULT, slots};
    type = PyType_FromSpec(&spec);
    return type ? Py_NewRef(type) : nullptr;
}

constexpr const char* kFitArgs =
    "(x, location=\"median\", scale=\"mad\", c=1.345, trim=0.1, max_iter=50, tol=1e-6, mad_consistent=True)";

Family family{
    class_entry<"RobustStats">(&make_type),
    fn<"robust_fit", &robust_fit>(kFitArgs, "Compute robust location and scale - OPTIMIZED"),
    fn<"robust_score", &robust_score>(kFitArgs, "Compute robust z-scores - OPTIMIZED"),
    fn<"rolling_median", &rolling_median>("(x, window)", "Rolling median with adaptive algorithm - OPTIMIZED"),
};

}  // namespace
}  // namespace ms
