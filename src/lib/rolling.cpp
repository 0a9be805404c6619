// Rolling statistics of one series and the fused multi-statistic functions.
#include <cstdint>
#include <string>

#include "frame/frame.hpp"
#include "kernels/rolling/config.hpp"
#include "kernels/rolling/engine.hpp"
#include "kernels/rolling/masks.hpp"
#include "kernels/rolling/multi.hpp"
#include "kernels/rolling/multi_axis0.hpp"
#include "kernels/rolling/units.hpp"
#include "kernels/rolling/zscore.hpp"

namespace ms {
namespace {

namespace r = kernels::rolling;

// ------------------------------------------------------------ options

// Full Unicode lower-casing. ASCII text is folded here; anything else goes
// through the interpreter's str.lower, which has the whole mapping (one
// character may become several).
Result<std::string> fold_case(std::string_view s) {
    bool ascii = true;
    for (char ch : s) ascii = ascii && static_cast<unsigned char>(ch) < 0x80;
    if (ascii) {
        std::string out(s);
        for (char& ch : out)
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        return out;
    }
    PyObject* u = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
    if (!u) return pending_error();
    PyObject* low = PyObject_CallMethod(u, "lower", nullptr);
    Py_DECREF(u);
    if (!low) return pending_error();
    Py_ssize_t len = 0;
    const char* p = PyUnicode_Check(low) ? PyUnicode_AsUTF8AndSize(low, &len) : nullptr;
    if (!p) {
        Py_DECREF(low);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "str.lower() did not return a str");
        return pending_error();
    }
    std::string out(p, static_cast<size_t>(len));
    Py_DECREF(low);
    return out;
}

Result<r::Alignment> parse_alignment(Str s) {
    MS_TRY(folded, fold_case(s));
    // Compared as a view: GCC 12 misreads the inlined std::string compare
    // of a string moved out of the Result as uninitialised.
    const std::string_view low = folded;
    if (low == "trailing") return r::Alignment::Trailing;
    if (low == "centered") return r::Alignment::Centered;
    return value_error("Invalid alignment: '" + std::string(s) + "'. Must be 'trailing' or 'centered'");
}

Result<r::NanPolicy> parse_nan_policy(Str s) {
    MS_TRY(low, fold_case(s));
    if (low == "propagate") return r::NanPolicy::Propagate;
    if (low == "ignore") return r::NanPolicy::Ignore;
    if (low == "require_min_periods") return r::NanPolicy::RequireMinPeriods;
    return value_error("Invalid nan_policy: '" + std::string(s) +
                       "'. Must be 'propagate', 'ignore', or 'require_min_periods'");
}

// A validated fused call: the configuration, the statistics to compute and,
// per requested name in the caller's order, the statistic it returns.
struct MultiPlan {
    r::RollingConfig cfg;
    r::StatsMask mask;
    std::vector<unsigned> order;
};

Result<MultiPlan> plan_multi(uint64_t window, std::optional<uint64_t> min_periods, Str alignment, Str nan_policy,
                             const std::optional<std::vector<Str>>& stats) {
    MS_TRY(al, parse_alignment(alignment));
    MS_TRY(policy, parse_nan_policy(nan_policy));
    MS_TRY(cfg, r::RollingConfig::make(window, min_periods, al, policy));
    const std::vector<Str> names = stats ? *stats : std::vector<Str>{"mean"};
    std::string joined;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i) joined += ',';
        joined += names[i];
    }
    MS_TRY(mask, r::StatsMask::from_str_list(joined, fold_case));
    // Each name must be a statistic as it stands (folded, not trimmed or
    // split); checked before computing, since nothing is returned otherwise.
    std::vector<unsigned> order;
    order.reserve(names.size());
    for (Str name : names) {
        MS_TRY(low, fold_case(name));
        unsigned i = r::stat_index(low);
        if (i == r::kNumStats || !mask.has(i)) return value_error("Unknown stat: " + std::string(name));
        order.push_back(i);
    }
    return MultiPlan{cfg, mask, std::move(order)};
}

// One result per requested name, in order: the last name that asks for a
// statistic takes its buffer, earlier ones get copies.
template <class Out, class Make>
std::vector<Out> per_name(const MultiPlan& plan, Buf<double> (&bufs)[r::kNumStats], Make&& make) {
    std::vector<Out> out;
    out.reserve(plan.order.size());
    for (size_t i = 0; i < plan.order.size(); ++i) {
        unsigned s = plan.order[i];
        bool later = false;
        for (size_t j = i + 1; j < plan.order.size() && !later; ++j) later = plan.order[j] == s;
        out.push_back(make(later ? Buf<double>::from(bufs[s].span()) : std::move(bufs[s])));
    }
    return out;
}

constexpr const char* kMultiDoc =
    "Rolling statistics of a series, all computed in one pass over each window.\n\n"
    "x: 1-D float64 array. window: window length, at least 1. min_periods: the\n"
    "fewest non-NaN values a window needs (1 to window); None means the whole\n"
    "window. alignment: 'trailing' (each window ends at its position; full\n"
    "windows only) or 'centered' (each window is centred on its position and cut\n"
    "short at the ends; one value per position). nan_policy: 'propagate' (a NaN\n"
    "in a full trailing window makes its statistics NaN), 'ignore' or\n"
    "'require_min_periods' (NaN values are skipped). stats: names among 'mean',\n"
    "'std', 'var', 'count', 'min' and 'max', for example ['mean', 'std', 'var'];\n"
    "None means ['mean'].\n\n"
    "Returns a tuple with one new array per name, in the order given.";

constexpr const char* kMultiAxis0Doc =
    "Rolling statistics down every column of a 2-D float64 array (rows are\n"
    "observations, columns series), all computed in one pass over each window.\n\n"
    "x: C-contiguous 2-D float64 array. window: window length, at least 1.\n"
    "min_periods: the fewest non-NaN values a window needs (1 to window); None\n"
    "means the whole window. alignment: 'trailing' or 'centered'. nan_policy:\n"
    "'propagate', 'ignore' or 'require_min_periods'. stats: names among 'mean',\n"
    "'std', 'var', 'count', 'min' and 'max', for example ['mean', 'std', 'var'];\n"
    "None means ['mean'].\n\n"
    "Returns a tuple with one new array of shape (windows, columns) per name, in\n"
    "the order given.";

// ------------------------------------------------------------ one series

// The window is checked before the layout.
Result<Slice> series(const View1& a, uint64_t window) {
    if (window == 0) return value_error("window must be >= 1");
    return require_contiguous(a);
}

size_t full_windows(size_t n, uint64_t w) { return n >= w ? static_cast<size_t>(n - w + 1) : 0; }

// The engine's output for every full window, one value from (mean, sd),
// carrying the given power of the data's unit.
template <bool Raw, bool Shifted, int Power, class Pick>
Result<Array1<double>> engine_series(const View1& a, uint64_t window, Pick pick) {
    MS_TRY(x, series(a, window));
    Buf<double> out = Buf<double>(full_windows(x.size(), window));
    double* o = out.data();
    r::read_in_unit(x, {{o, out.size(), Power}}, [&](std::span<const double> xs, bool may_stop) {
        return r::running_mean_std<Raw, Shifted>(
            xs, window, [o, pick](size_t k, double m, double sd) { o[k] = pick(m, sd); }, may_stop);
    });
    return Array1<double>(std::move(out));
}

Result<Array1<double>> rolling_mean_np(const View1& a, uint64_t window) {
    return engine_series<true, false, 1>(a, window, [](double m, double) { return m; });
}

Result<Array1<double>> rolling_std_np(const View1& a, uint64_t window) {
    return engine_series<false, true, 1>(a, window, [](double, double sd) { return sd; });
}

Result<Array1<double>> rolling_var_np(const View1& a, uint64_t window) {
    return engine_series<false, true, 2>(a, window, [](double, double sd) { return sd * sd; });
}

Result<std::tuple<Array1<double>, Array1<double>>> rolling_mean_std_np(const View1& a, uint64_t window) {
    MS_TRY(x, series(a, window));
    size_t L = full_windows(x.size(), window);
    Buf<double> mean = Buf<double>(L), sd = Buf<double>(L);
    double *pm = mean.data(), *ps = sd.data();
    r::read_in_unit(x, {{pm, L, 1}, {ps, L, 1}}, [&](std::span<const double> xs, bool may_stop) {
        return r::running_mean_std<true, true>(
            xs, window,
            [pm, ps](size_t k, double m, double s) {
                pm[k] = m;
                ps[k] = s;
            },
            may_stop);
    });
    return std::tuple<Array1<double>, Array1<double>>(std::move(mean), std::move(sd));
}

// A kernel filling one value per full window (Full) or per position,
// carrying the given power of the data's unit.
template <double (*K)(std::span<const double>, size_t, double*, bool), bool Full, int Power>
Result<Array1<double>> per_window(const View1& a, uint64_t window) {
    MS_TRY(x, series(a, window));
    Buf<double> out = Buf<double>(Full ? full_windows(x.size(), window) : x.size());
    double* o = out.data();
    r::read_in_unit(x, {{o, out.size(), Power}},
                    [&](std::span<const double> xs, bool may_stop) { return K(xs, window, o, may_stop); });
    return Array1<double>(std::move(out));
}

Result<Array1<double>> rolling_zscore_np(const View1& a, uint64_t window) {
    return per_window<r::rolling_zscore, true, 0>(a, window);
}
Result<Array1<double>> rolling_mean_nan_np(const View1& a, uint64_t window) {
    return per_window<r::rolling_mean_nan, false, 1>(a, window);
}
Result<Array1<double>> rolling_std_nan_np(const View1& a, uint64_t window) {
    return per_window<r::rolling_std_nan, false, 1>(a, window);
}
Result<Array1<double>> rolling_zscore_nan_np(const View1& a, uint64_t window) {
    return per_window<r::rolling_zscore_nan, false, 0>(a, window);
}

// ------------------------------------------------------------ fused

Result<std::vector<Array1<double>>> rolling_multi_np(Slice x, uint64_t window, std::optional<uint64_t> min_periods,
                                                     Str alignment, Str nan_policy,
                                                     std::optional<std::vector<Str>> stats) {
    MS_TRY(plan, plan_multi(window, min_periods, alignment, nan_policy, stats));
    const size_t L = plan.cfg.output_len(x.size());
    Buf<double> bufs[r::kNumStats];
    r::StatBufs spans;
    for (unsigned s = 0; s < r::kNumStats; ++s)
        if (plan.mask.has(s)) {
            bufs[s] = Buf<double>(L);
            spans.out[s] = bufs[s].span();
        }
    r::rolling_multi_into(x, plan.cfg, plan.mask, spans);
    return per_name<Array1<double>>(plan, bufs, [](Buf<double> b) { return Array1<double>(std::move(b)); });
}

// Row-major with rows p apart; strides of a dimension of length 1 do not
// matter, and an empty matrix has no layout to check.
bool row_major(const View2& x) {
    if (x.rows == 0 || x.cols == 0) return true;
    return (x.cols == 1 || x.cstride == 8) &&
           (x.rows == 1 || x.rstride == static_cast<ptrdiff_t>(x.cols * sizeof(double)));
}

Result<std::vector<Array2>> rolling_multi_axis0_np(const View2& x, uint64_t window,
                                                   std::optional<uint64_t> min_periods, Str alignment,
                                                   Str nan_policy, std::optional<std::vector<Str>> stats) {
    if (!row_major(x)) return value_error("Array must be contiguous");
    MS_TRY(plan, plan_multi(window, min_periods, alignment, nan_policy, stats));
    const size_t L = plan.cfg.output_len(x.rows);
    const size_t cols = L == 0 ? 0 : x.cols;
    Buf<double> bufs[r::kNumStats];
    double* outs[r::kNumStats] = {};
    for (unsigned s = 0; s < r::kNumStats; ++s)
        if (plan.mask.has(s)) {
            if (cols != 0 && L > SIZE_MAX / cols) throw std::bad_alloc();
            bufs[s] = Buf<double>(L * cols);
            outs[s] = bufs[s].data();
        }
    r::rolling_multi_axis0_into(reinterpret_cast<const double*>(x.data), x.rows, cols, plan.cfg, plan.mask, outs);
    // The filled buffers become the result arrays: no copy, so the call
    // peaks at its outputs.
    return per_name<Array2>(plan, bufs, [&](Buf<double> b) { return Array2{std::move(b), L, cols}; });
}

Family family{
    fn<"rolling_mean_np", &rolling_mean_np>("(a, window)"),
    fn<"rolling_var_np", &rolling_var_np>("(a, window)"),
    fn<"rolling_std_np", &rolling_std_np>("(a, window)"),
    fn<"rolling_mean_std_np", &rolling_mean_std_np>("(a, window)"),
    fn<"rolling_zscore_np", &rolling_zscore_np>("(a, window)"),
    fn<"rolling_mean_nan_np", &rolling_mean_nan_np>("(a, window)"),
    fn<"rolling_std_nan_np", &rolling_std_nan_np>("(a, window)"),
    fn<"rolling_zscore_nan_np", &rolling_zscore_nan_np>("(a, window)"),
    fn<"rolling_multi_np", &rolling_multi_np>(
        "(x, window, min_periods=None, alignment=\"trailing\", nan_policy=\"propagate\", stats=None)", kMultiDoc),
    fn<"rolling_multi_axis0_np", &rolling_multi_axis0_np>(
        "(x, window, min_periods=None, alignment=\"trailing\", nan_policy=\"propagate\", stats=None)",
        kMultiAxis0Doc),
};

}  // namespace
}  // namespace ms
