"""Rules every registered function shares: registration, binding, conversion, results."""
import gc
import inspect
import os
import subprocess
import sys

import numpy as np
import pytest

from marlox_stats import marlox_stats_rs as m

HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, "registration_order.txt")) as f:
    ORDER = [line.strip() for line in f if line.strip()]
# The functions that carry only a text signature, in registration order.
UNDOCUMENTED = {
    "mean_np", "mean_skipna_np", "mean_nan_np", "var_np", "var_skipna_np", "var_nan_np", "std_np", "std_skipna_np",
    "std_nan_np", "zscore_np", "zscore_skipna_np", "skew_np", "kurtosis_np", "percentile_np", "iqr_np",
    "iqr_width_np", "mad_np", "trimmed_mean_np", "median_np", "iqr_robust_np", "winsorized_mean_np",
    "trimmed_std_np", "mad_std_np", "biweight_midvariance_np", "qn_scale_np", "huber_location_np",
    "median_skipna_np", "mad_skipna_np", "trimmed_mean_skipna_np", "iqr_skipna_np",
    "mean_axis_np", "mean_over_last_axis_dyn_np", "rolling_mean_np", "rolling_var_np", "rolling_std_np",
    "rolling_mean_std_np", "rolling_zscore_np", "rolling_mean_std_axis0_np", "rolling_mean_axis0_np",
    "rolling_std_axis0_np", "rolling_mean_nan_np", "rolling_std_nan_np", "rolling_zscore_nan_np", "ewma_np",
    "iqr_outliers_np", "zscore_outliers_np", "minmax_scale_np", "robust_scale_np", "winsorize_np",
    "winsorize_clip_np", "diff_np", "pct_change_np", "cumsum_np", "cummean_np", "ecdf_np", "quantile_bins_np",
    "sign_mask_np", "demean_with_signs_np", "cov_np", "corr_np", "cov_matrix_np", "cov_matrix_bias_np",
    "cov_matrix_centered_np", "cov_matrix_skipna_np", "xtx_matrix_np", "xxt_matrix_np",
    "pairwise_euclidean_cols_np", "pairwise_cosine_cols_np", "corr_matrix_np", "corr_matrix_skipna_np",
    "corr_distance_np", "diag_np", "trace_np", "is_symmetric_np", "rolling_cov_np", "rolling_corr_np",
    "welford_np", "cov_nan_np", "corr_nan_np", "rolling_cov_nan_np", "rolling_corr_nan_np", "cov_skipna",
    "corr_skipna", "rolling_cov_skipna", "rolling_corr_skipna", "rolling_beta_skipna", "rolling_linreg_skipna",
    "chi2_gof_np", "chi2_independence_np",
    "cohens_d_2samp_np", "hedges_g_2samp_np2", "mann_whitney_u_np", "ks_1samp_np",
    "unif_cumhazard",
    "pad_nan_np",
}

FUNCTIONS = [n for n in m.__all__ if n != "RobustStats"]


def full_signature(name):
    return inspect.signature(getattr(m, name))


# ---------------------------------------------------------------- registration


def test_all_follows_the_fixed_order():
    assert len(UNDOCUMENTED) == 95 and UNDOCUMENTED < set(ORDER)
    assert len(ORDER) == 207 and ORDER[30] == "RobustStats"
    assert ORDER[0] == "mean_np" and ORDER[-1] == "pad_nan_np"
    assert isinstance(m.__all__, list)
    assert all(type(n) is str for n in m.__all__)
    assert m.__all__ == ORDER


def test_module_attributes():
    assert m.__doc__ == ""
    public = {n for n in dir(m) if not n.startswith("__")}
    assert public == set(m.__all__)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_record(name):
    f = getattr(m, name)
    assert f.__name__ == name
    assert f.__module__ == "marlox_stats_rs"
    assert f.__self__ is m
    assert f.__text_signature__.startswith("(")
    inspect.signature(f)
    if name in UNDOCUMENTED:
        assert f.__doc__ is None
    else:
        assert isinstance(f.__doc__, str) and f.__doc__.strip()


def test_known_signatures_and_docs():
    assert str(inspect.signature(m.mean_np)) == "(a)"
    assert m.mean_np.__doc__ is None
    assert str(inspect.signature(m.mean_axis_np)) == "(x, axis, skipna=None)"
    if hasattr(m, "kde_gaussian_np"):
        assert m.kde_gaussian_np.__doc__.startswith("Gaussian kernel density estimate evaluated on a regular grid.")


def test_entry_point_returns_the_cached_module():
    code = (
        "import importlib.machinery, importlib.util, sys\n"
        "from marlox_stats import marlox_stats_rs as m\n"
        "spec = importlib.util.spec_from_file_location('marlox_stats_rs', m.__file__)\n"
        "again = importlib.util.module_from_spec(spec)\n"
        "print(again is m)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "True"


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    code = (
        "import _interpreters\n"
        "from marlox_stats import marlox_stats_rs as m\n"
        "iid = _interpreters.create('legacy')\n"
        "err = _interpreters.run_string(iid, 'from marlox_stats import marlox_stats_rs')\n"
        "print(err.type.__name__ if err else 'no error')\n"
        "print(m.mean_np.__module__)\n"
    )
    del interpreters
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.split()
    assert lines == ["ImportError", "marlox_stats_rs"]


# ---------------------------------------------------------------- binding


def quoted(names):
    q = [f"'{n}'" for n in names]
    if len(q) == 1:
        return q[0]
    if len(q) == 2:
        return f"{q[0]} and {q[1]}"
    return ", ".join(q[:-1]) + ", and " + q[-1]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_binding_errors(name):
    f = getattr(m, name)
    params = list(full_signature(name).parameters.values())
    positional = [p for p in params if p.kind == p.POSITIONAL_OR_KEYWORD]
    required = [p.name for p in positional if p.default is p.empty]
    full = f"{name}()"

    if required:
        with pytest.raises(TypeError) as e:
            f()
        word = "argument" if len(required) == 1 else "arguments"
        assert str(e.value) == f"{full} missing {len(required)} required positional {word}: {quoted(required)}"

    n = len(positional)
    extra = [object()] * (n + 1)
    with pytest.raises(TypeError) as e:
        f(*extra)
    span = str(n) if len(required) == n else f"from {len(required)} to {n}"
    verb = "was" if n + 1 == 1 else "were"
    assert str(e.value) == f"{full} takes {span} positional arguments but {n + 1} {verb} given"

    with pytest.raises(TypeError) as e:
        f(not_a_parameter_xyz=1)
    assert str(e.value) == f"{full} got an unexpected keyword argument 'not_a_parameter_xyz'"

    if positional:
        first = positional[0].name
        with pytest.raises(TypeError) as e:
            f(object(), **{first: object()})
        assert str(e.value) == f"{full} got multiple values for argument '{first}'"


def test_binding_examples():
    x = np.arange(3.0)
    with pytest.raises(TypeError, match=r"^mean_np\(\) takes 1 positional arguments but 2 were given$"):
        m.mean_np(x, x)
    with pytest.raises(TypeError, match=r"^mean_np\(\) got an unexpected keyword argument 'b'$"):
        m.mean_np(x, b=1)
    with pytest.raises(TypeError, match=r"^mean_np\(\) got multiple values for argument 'a'$"):
        m.mean_np(x, a=x)
    assert m.mean_np(a=x) == 1.0
    assert list(m.mean_axis_np(skipna=False, axis=0, x=x)) == [1.0]
    # A keyword name that is not UTF-8 encodable is simply unexpected.
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        m.mean_np(x, **{"\udcff": 1})


def test_keyword_names_match_by_value_not_identity():
    x = np.arange(4.0)
    key = "".join(["ax", "is"])  # equal to, but not identical with, the interned name
    assert key is not "axis"  # noqa: F632
    assert list(m.mean_axis_np(x, **{key: 0})) == [1.5]


# ---------------------------------------------------------------- conversions


@pytest.mark.parametrize(
    "bad, type_name",
    [
        ([1.0, 2.0], "list"),
        ((1.0,), "tuple"),
        (1.0, "float"),
        (None, "NoneType"),
        (np.arange(3), "ndarray"),
        (np.arange(3, dtype=np.float32), "ndarray"),
        (np.ones((2, 2)), "ndarray"),
        (np.float64(1.0), "float64"),
        (np.arange(3.0).astype(">f8"), "ndarray"),
    ],
)
def test_array_conversion_errors(bad, type_name):
    with pytest.raises(TypeError) as e:
        m.mean_np(bad)
    assert str(e.value) == f"argument 'a': '{type_name}' object cannot be converted to 'PyArray<T, D>'"
    assert e.value.__cause__ is None


def test_array_subclass_and_equivalent_dtypes_accepted():
    class Sub(np.ndarray):
        pass

    x = np.arange(4.0).view(Sub)
    assert m.mean_np(x) == 1.5
    assert m.mean_np(np.arange(4.0).astype("<f8")) == 1.5
    assert m.mean_np(np.empty(0)) != m.mean_np(np.empty(0))  # NaN


@pytest.mark.parametrize(
    "make",
    [lambda: np.arange(6.0)[::2], lambda: np.arange(6.0)[::-1], lambda: np.arange(12.0).reshape(3, 4)[:, 1]],
)
def test_non_contiguous_refused(make):
    with pytest.raises(TypeError) as e:
        m.mean_np(make())
    assert str(e.value) == "The given array is not contiguous"


def test_short_strided_views_are_contiguous():
    assert m.mean_np(np.arange(6.0)[::-2][:1]) == 5.0
    assert m.mean_np(np.arange(6.0)[::3][:0]) != 0.0  # empty view: NaN


def test_readonly_input_accepted():
    x = np.arange(4.0)
    x.flags.writeable = False
    assert m.mean_np(x) == 1.5


def test_signed_integer_conversion():
    x = np.arange(3.0)
    assert list(m.mean_axis_np(x, np.int64(0))) == [1.0]
    assert list(m.mean_axis_np(x, False)) == [1.0]  # bool is an int

    class Index:
        def __index__(self):
            return 0

    assert list(m.mean_axis_np(x, Index())) == [1.0]
    with pytest.raises(TypeError) as e:
        m.mean_axis_np(x, 0.0)
    assert str(e.value) == "argument 'axis': 'float' object cannot be interpreted as an integer"
    with pytest.raises(TypeError, match=r"^argument 'axis': "):
        m.mean_axis_np(x, "0")
    with pytest.raises(OverflowError) as e:
        m.mean_axis_np(x, 2**63)
    assert not str(e.value).startswith("argument")


def test_conversion_error_keeps_cause():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as err:
                raise TypeError("bad index") from err

    with pytest.raises(TypeError) as e:
        m.mean_axis_np(np.arange(3.0), Bad())
    assert str(e.value) == "argument 'axis': bad index"
    assert isinstance(e.value.__cause__, KeyError)


def test_non_typeerror_conversion_errors_pass_unchanged():
    class Bad:
        def __index__(self):
            raise ValueError("nope")

    with pytest.raises(ValueError) as e:
        m.mean_axis_np(np.arange(3.0), Bad())
    assert str(e.value) == "nope"


def test_bool_conversion():
    x = np.array([1.0, np.nan, 3.0])
    assert list(m.mean_axis_np(x, 0, np.True_)) == [2.0]
    assert np.isnan(m.mean_axis_np(x, 0, np.False_)[0])
    assert np.isnan(m.mean_axis_np(x, 0, None)[0])
    for bad, tname in [(1, "int"), (0, "int"), ("yes", "str"), (1.0, "float"), (np.int64(1), "int64")]:
        with pytest.raises(TypeError) as e:
            m.mean_axis_np(x, 0, bad)
        assert str(e.value) == f"argument 'skipna': '{tname}' object cannot be converted to 'PyBool'"


def test_first_failing_argument_is_reported():
    with pytest.raises(TypeError, match=r"^argument 'x': "):
        m.mean_axis_np([1.0], "bad", 3)
    with pytest.raises(TypeError, match=r"^argument 'axis': "):
        m.mean_axis_np(np.arange(2.0), "bad", 3)


RESIZE_SCRIPT = r"""
import numpy as np
from marlox_stats import marlox_stats_rs as m


class Later:
    # A later argument whose conversion resizes an earlier array in place
    # (moving or freeing its buffer) before giving its own value.
    def __init__(self, arr, shape, value):
        self.arr, self.shape, self.value = arr, shape, value

    def __float__(self):
        self.arr.resize(self.shape, refcheck=False)
        return float(self.value)

    def __index__(self):
        self.arr.resize(self.shape, refcheck=False)
        return int(self.value)


x = np.arange(1000.0)
r = m.percentile_np(x, Later(x, 10, 50.0))
print(x.shape == (10,) and r == np.percentile(x, 50.0))
a = np.arange(1200.0).reshape(400, 3).copy()
r = m.rolling_mean_axis0_np(a, Later(a, (5, 3), 2))
print(a.shape == (5, 3) and r.tobytes() == m.rolling_mean_axis0_np(a.copy(), 2).tobytes())
a = np.arange(60.0).reshape(20, 3).copy()
try:
    m.rolling_mean_axis0_np(a, Later(a, (60,), 2))
    print("accepted")
except TypeError as e:
    print(str(e))
d = np.arange(24.0).reshape(2, 3, 4).copy()
r = m.mean_axis_np(d, Later(d, (6,), 0))
print(r.tobytes() == m.mean_axis_np(np.arange(6.0), 0).tobytes())
"""


def test_later_conversion_resizing_an_earlier_array():
    # The body reads the array as it is once every argument is converted,
    # never a buffer that a later conversion freed.
    out = subprocess.run([sys.executable, "-W", "ignore", "-c", RESIZE_SCRIPT], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.splitlines() == [
        "True",
        "True",
        "argument 'x': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
        "True",
    ]


# ---------------------------------------------------------------- results


def test_result_arrays_own_their_buffer():
    x = np.array([1.0, 2.0, 4.0])
    before = x.copy()
    z = m.zscore_np(x)
    assert type(z.base).__name__ == "PySliceContainer"
    assert z.flags.writeable and z.flags.c_contiguous and z.dtype == np.float64
    assert not z.flags.owndata
    z[:] = 7.0
    assert np.array_equal(x, before)
    del z
    gc.collect()
    e = m.zscore_np(np.empty(0))
    assert e.shape == (0,) and e.dtype == np.float64 and e.flags.writeable


def test_container_type_documented():
    z = m.zscore_np(np.array([1.0, 2.0]))
    assert type(z.base).__doc__
