import numpy as np

from marlox_stats import marlox_stats_rs as m


def benchmarks():
    import scipy.stats as ss
    from statsmodels.robust import scale as sm_scale

    rng = np.random.default_rng(0)
    for n in (100, 10_000, 1_000_000):
        x = rng.standard_normal(n)
        yield "median_np", n, lambda: m.median_np(x), lambda: np.median(x), "np.median"
        yield "percentile_np", n, lambda: m.percentile_np(x, 37.5), lambda: np.percentile(x, 37.5), "np.percentile"
        yield "iqr_np", n, lambda: m.iqr_np(x), lambda: ss.iqr(x), "scipy.stats.iqr"
        yield "iqr_width_np", n, lambda: m.iqr_width_np(x), lambda: ss.iqr(x), "scipy.stats.iqr"
        yield "iqr_robust_np", n, lambda: m.iqr_robust_np(x), lambda: ss.iqr(x), "scipy.stats.iqr"
        yield "mad_np", n, lambda: m.mad_np(x), lambda: ss.median_abs_deviation(x), "scipy.stats.median_abs_deviation"
        yield "mad_std_np", n, lambda: m.mad_std_np(x), lambda: sm_scale.mad(x, center=np.median(x)), \
            "statsmodels mad"
        yield "trimmed_mean_np", n, lambda: m.trimmed_mean_np(x, 0.1), lambda: ss.trim_mean(x, 0.1), \
            "scipy.stats.trim_mean"
        yield "trimmed_std_np", n, lambda: m.trimmed_std_np(x, 0.1), lambda: ss.mstats.trimmed_std(x, (0.1, 0.1)), \
            "scipy.stats.mstats.trimmed_std"
        yield "winsorized_mean_np", n, lambda: m.winsorized_mean_np(x, 5.0, 95.0), \
            lambda: ss.mstats.winsorize(x, (0.05, 0.05)).mean(), "scipy.stats.mstats.winsorize().mean()"
        yield "winsorize_np", n, lambda: m.winsorize_np(x, 0.05, 0.95), \
            lambda: np.clip(x, *np.percentile(x, [5, 95])), "numpy clip at percentiles"
        yield "robust_scale_np", n, lambda: m.robust_scale_np(x, 1.4826), lambda: _robust_scale(ss, x), \
            "numpy median + scipy MAD"
        yield "iqr_outliers_np", n, lambda: m.iqr_outliers_np(x), lambda: _iqr_outliers(x), "numpy expression"
        yield "zscore_outliers_np", n, lambda: m.zscore_outliers_np(x), \
            lambda: np.abs((x - x.mean()) / x.std(ddof=1)) > 3.0, "numpy expression"
        yield "huber_location_np", n, lambda: m.huber_location_np(x), lambda: sm_scale.huber(x)[0], \
            "statsmodels huber"
        if n <= 10_000:
            yield "qn_scale_np", n, lambda: m.qn_scale_np(x), lambda: sm_scale.qn_scale(x), "statsmodels qn_scale"
        y = x.copy()
        y[::10] = np.nan
        yield "median_skipna_np", n, lambda: m.median_skipna_np(y), lambda: np.nanmedian(y), "np.nanmedian"
    # statsmodels' qn_scale fails (overflow, then a crash) from about 50,000 values on.
    x = rng.standard_normal(30_000)
    yield "qn_scale_np", 30_000, lambda: m.qn_scale_np(x), lambda: sm_scale.qn_scale(x), "statsmodels qn_scale"


def _robust_scale(ss, x):
    med = np.median(x)
    return (x - med) / (1.4826 * ss.median_abs_deviation(x)), med


def _iqr_outliers(x):
    q1, q3 = np.percentile(x, [25, 75])
    w = q3 - q1
    return (x < q1 - 1.5 * w) | (x > q3 + 1.5 * w)
