"""Rules every registered function shares: registration, binding, conversion, results."""
import ctypes
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


# ======================= binding texts, conversions row by row, rewrap, results

X = np.arange(10.0)
Y = X + 1.0


def raised(f, *args, **kwargs):
    with pytest.raises(BaseException) as e:
        f(*args, **kwargs)
    return e.value


def interpreter_error(fn, restype, obj):
    """The exception the interpreter's own C conversion raises for obj."""
    f = getattr(ctypes.pythonapi, fn)
    f.argtypes = [ctypes.py_object]
    f.restype = restype
    with pytest.raises(BaseException) as e:
        f(obj)
    return e.value


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: m.percentile_np(), "percentile_np() missing 2 required positional arguments: 'a' and 'q'"),
        (lambda: m.percentile_np(X), "percentile_np() missing 1 required positional argument: 'q'"),
        (
            lambda: m.winsorized_mean_np(),
            "winsorized_mean_np() missing 3 required positional arguments: "
            "'a', 'lower_percentile', and 'upper_percentile'",
        ),
        (
            lambda: m.winsorized_mean_np(X),
            "winsorized_mean_np() missing 2 required positional arguments: 'lower_percentile' and 'upper_percentile'",
        ),
        # A required parameter given by keyword leaves only the others missing.
        (
            lambda: m.winsorized_mean_np(X, upper_percentile=0.9),
            "winsorized_mean_np() missing 1 required positional argument: 'lower_percentile'",
        ),
        (
            lambda: m.t_test_2samp_np(alternative="less"),
            "t_test_2samp_np() missing 3 required positional arguments: 'x', 'y', and 'equal_var'",
        ),
        (lambda: m.mean_np(X, X), "mean_np() takes 1 positional arguments but 2 were given"),
        (lambda: m.diff_np(X, 1, 2), "diff_np() takes from 1 to 2 positional arguments but 3 were given"),
        (
            lambda: m.rolling_multi_np(X, 3, None, "trailing", "propagate", None, 7),
            "rolling_multi_np() takes from 2 to 6 positional arguments but 7 were given",
        ),
        (lambda: m.mean_np(X, b=1), "mean_np() got an unexpected keyword argument 'b'"),
        (lambda: m.mean_np(X, a=X), "mean_np() got multiple values for argument 'a'"),
        (lambda: m.diff_np(X, 1, periods=2), "diff_np() got multiple values for argument 'periods'"),
    ],
)
def test_binding_texts(call, text):
    e = raised(call)
    assert type(e) is TypeError and str(e) == text


def test_binding_order():
    # Too many positionals is found before a bad keyword, a bad keyword before
    # a missing argument, and every binding error before any conversion.
    assert str(raised(m.mean_np, [1.0], [2.0], b=1)) == "mean_np() takes 1 positional arguments but 2 were given"
    assert str(raised(m.percentile_np, b=1)) == "percentile_np() got an unexpected keyword argument 'b'"
    assert str(raised(m.mean_np, [1.0], b=1)) == "mean_np() got an unexpected keyword argument 'b'"
    # Keywords are taken in the caller's order: the first offender is named.
    assert str(raised(m.mean_np, X, c=1, a=X)) == "mean_np() got an unexpected keyword argument 'c'"
    assert str(raised(m.mean_np, X, a=X, c=1)) == "mean_np() got multiple values for argument 'a'"


def test_keyword_names():
    class Key(str):
        pass

    # A str subclass with the right bytes binds; a non-UTF-8 name is named as given.
    assert m.mean_np(**{Key("a"): X}) == 4.5
    e = raised(m.mean_np, X, **{"\udcff": 1})
    assert type(e) is TypeError and str(e) == "mean_np() got an unexpected keyword argument '\udcff'"
    e = raised(m.mean_np, X, **{"é": 1})
    assert str(e) == "mean_np() got an unexpected keyword argument 'é'"


def test_keyword_only_parameter():
    if not hasattr(m, "chi2_gof_np"):
        pytest.skip("chi2_gof_np is not built")
    obs = np.array([10.0, 10.0])
    e = raised(m.chi2_gof_np, obs, None, True)
    assert str(e) == "chi2_gof_np() takes from 1 to 2 positional arguments but 3 were given"
    m.chi2_gof_np(obs, sum_check=False)
    m.chi2_gof_np(observed=obs, sum_check=False, expected=None)
    e = raised(m.chi2_gof_np, obs, sum_check=True, x=1)
    assert str(e) == "chi2_gof_np() got an unexpected keyword argument 'x'"
    e = raised(m.chi2_gof_np, obs, sum_check=1)
    assert str(e) == "argument 'sum_check': 'int' object cannot be converted to 'PyBool'"


# ---------------------------------------------------------------- unsigned counts


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class IntSub(int):
    pass


@pytest.mark.parametrize(
    "window, expect",
    [(True, 10), (IntSub(3), 8), (Index(4), 7), (np.uint64(2), 9), (np.int8(5), 6), (2**64 - 1, 0)],
)
def test_unsigned_count_accepted(window, expect):
    assert len(m.rolling_mean_np(X, window)) == expect


@pytest.mark.parametrize("bad", [-1, -(2**70), 2**64, 2**100, IntSub(-1), Index(-1), Index(2**64), np.int64(-3)])
def test_unsigned_count_overflow_is_the_interpreters(bad):
    e = raised(m.rolling_mean_np, X, bad)
    as_int = bad.__index__()
    want = interpreter_error("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, as_int)
    assert type(e) is OverflowError and str(e) == str(want)
    assert not str(e).startswith("argument")


@pytest.mark.parametrize(
    "bad, text",
    [
        (2.0, "'float' object cannot be interpreted as an integer"),
        ("3", "'str' object cannot be interpreted as an integer"),
        (None, "'NoneType' object cannot be interpreted as an integer"),
        (np.float64(3.0), "'numpy.float64' object cannot be interpreted as an integer"),
    ],
)
def test_unsigned_count_type_errors(bad, text):
    e = raised(m.rolling_mean_np, X, bad)
    assert type(e) is TypeError and str(e) == f"argument 'window': {text}"
    e = raised(m.pad_nan_np, bad)
    assert type(e) is TypeError and str(e) == f"argument 'n': {text}"


# ---------------------------------------------------------------- signed integers


@pytest.mark.parametrize("axis", [0, False, np.int64(0), np.uint8(0), Index(0), IntSub(0)])
def test_signed_accepted(axis):
    assert list(m.mean_axis_np(X, axis)) == [4.5]


@pytest.mark.parametrize("bad", [2**63, -(2**63) - 1, 2**64, Index(2**63)])
def test_signed_overflow_is_the_interpreters(bad):
    e = raised(m.mean_axis_np, X, bad)
    want = interpreter_error("PyLong_AsLong", ctypes.c_long, bad.__index__())
    assert type(e) is OverflowError and str(e) == str(want)


def test_signed_extremes_reach_the_body():
    for axis in (2**63 - 1, -(2**63)):
        e = raised(m.mean_axis_np, X, axis)
        assert type(e) is ValueError and str(e) == "mean_axis_np: for 1D input, axis must be 0"


# ---------------------------------------------------------------- floats


class Floaty:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize("alpha", [0.25, Floaty(), np.float32(0.25), np.float64(0.25)])
def test_float_accepted(alpha):
    assert np.array_equal(m.ewma_np(X, alpha), m.ewma_np(X, 0.25))


def test_float_from_int_and_index():
    assert np.array_equal(m.ewma_np(X, 1), m.ewma_np(X, 1.0))
    assert np.array_equal(m.ewma_np(X, True), m.ewma_np(X, 1.0))
    assert np.array_equal(m.ewma_np(X, Index(1)), m.ewma_np(X, 1.0))


@pytest.mark.parametrize("bad", ["0.5", None, [0.5], b"0.5"])
def test_float_type_errors(bad):
    e = raised(m.ewma_np, X, bad)
    assert type(e) is TypeError and str(e) == f"argument 'alpha': must be real number, not {type(bad).__name__}"


def test_float_overflow_unchanged():
    e = raised(m.ewma_np, X, 10**400)
    want = interpreter_error("PyFloat_AsDouble", ctypes.c_double, 10**400)
    assert type(e) is OverflowError and str(e) == str(want)


# ---------------------------------------------------------------- bools


def test_bool_accepted():
    a = m.t_test_2samp_np(X, Y, True)
    assert m.t_test_2samp_np(X, Y, np.True_) == a
    assert m.t_test_2samp_np(X, Y, np.bool_(True)) == a
    assert m.t_test_2samp_np(X, Y, np.False_) == m.t_test_2samp_np(X, Y, False)


@pytest.mark.parametrize("bad", [1, 0, 1.0, "True", None, np.int8(1), np.array(True), np.array([True])])
def test_bool_refused(bad):
    e = raised(m.t_test_2samp_np, X, Y, bad)
    want = f"argument 'equal_var': '{type(bad).__name__}' object cannot be converted to 'PyBool'"
    assert type(e) is TypeError and str(e) == want


def test_bool_named_like_numpys():
    # Matched by type name and module; the truth slot decides.
    NoTruth = type("bool", (), {"__module__": "numpy"})
    e = raised(m.t_test_2samp_np, X, Y, NoTruth())
    assert type(e) is TypeError
    assert str(e) == "argument 'equal_var': object of type 'bool' does not define a '__bool__' conversion"
    Truthy = type("bool_", (), {"__module__": "numpy", "__bool__": lambda self: False})
    assert m.t_test_2samp_np(X, Y, Truthy()) == m.t_test_2samp_np(X, Y, False)
    Elsewhere = type("bool", (), {"__module__": "mymod", "__bool__": lambda self: True})
    e = raised(m.t_test_2samp_np, X, Y, Elsewhere())
    assert str(e) == "argument 'equal_var': 'bool' object cannot be converted to 'PyBool'"

    class Boom:
        __module__ = "numpy"

        def __bool__(self):
            raise ZeroDivisionError("no truth")

    Boom.__name__ = "bool"
    e = raised(m.t_test_2samp_np, X, Y, Boom())
    assert type(e) is ZeroDivisionError and str(e) == "no truth"


# ---------------------------------------------------------------- strings


def test_str_kind():
    class S(str):
        pass

    assert m.t_test_1samp_np(X, 0.0, S("less")) == m.t_test_1samp_np(X, 0.0, "less")
    for bad in (b"less", None, 1, ["less"]):
        e = raised(m.t_test_1samp_np, X, 0.0, bad)
        want = f"argument 'alternative': '{type(bad).__name__}' object cannot be converted to 'PyString'"
        assert type(e) is TypeError and str(e) == want


def test_str_not_utf8_raises_the_interpreters_error_unchanged():
    with pytest.raises(UnicodeEncodeError) as want:
        "x\ud800".encode("utf-8")
    e = raised(m.t_test_1samp_np, X, 0.0, "x\ud800")
    assert type(e) is UnicodeEncodeError and str(e) == str(want.value)
    e = raised(m.rolling_multi_np, X, 3, stats=["mean", "x\ud800"])
    assert type(e) is UnicodeEncodeError and str(e) == str(want.value)


# ---------------------------------------------------------------- lists


class Seq:
    """A sequence by the old protocol whose length is only a hint."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


def test_list_kind_accepts_sequences():
    one = m.rolling_multi_np(X, 3, stats=["mean"])
    assert all(np.array_equal(a, b) for a, b in zip(m.rolling_multi_np(X, 3, stats=("mean",)), one))
    groups = m.f_test_oneway_np([X, Y])
    assert m.f_test_oneway_np((X, Y)) == groups
    assert m.f_test_oneway_np(Seq([X, Y], 2)) == groups


@pytest.mark.parametrize("length", [0, 1, 2**40, 2**62])
def test_list_length_is_only_a_hint(length):
    assert m.f_test_oneway_np(Seq([X, Y], length)) == m.f_test_oneway_np([X, Y])


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "bad, text",
    [
        ("mean", "Can't extract `str` to `Vec`"),
        (StrSub("mean"), "Can't extract `str` to `Vec`"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        ({"mean"}, "'set' object cannot be converted to 'Sequence'"),
        ({"mean": 1}, "'dict' object cannot be converted to 'Sequence'"),
        (iter(["mean"]), "'list_iterator' object cannot be converted to 'Sequence'"),
        (["mean", 3], "'int' object cannot be converted to 'PyString'"),
        (b"mean", "'int' object cannot be converted to 'PyString'"),
    ],
)
def test_list_kind_refusals(bad, text):
    e = raised(m.rolling_multi_np, X, 3, stats=bad)
    assert type(e) is TypeError and str(e) == f"argument 'stats': {text}"


def test_list_items_of_arrays():
    e = raised(m.f_test_oneway_np, [X, [1.0, 2.0]])
    assert str(e) == "argument 'groups': 'list' object cannot be converted to 'PyArray<T, D>'"
    e = raised(m.f_test_oneway_np, [X, X.astype(np.float32)])
    assert str(e) == "argument 'groups': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
    e = raised(m.f_test_oneway_np, [X, X[::2]])
    assert type(e) is TypeError and str(e) == "The given array is not contiguous"


def test_list_iteration_error_unchanged():
    class Broken(Seq):
        def __getitem__(self, i):
            if i == 1:
                raise KeyError("gone")
            return X

    e = raised(m.f_test_oneway_np, Broken([], 2))
    assert type(e) is KeyError


# ---------------------------------------------------------------- optional and None


def test_explicit_none_only_where_the_default_is_none():
    base = m.rolling_multi_np(X, 3)
    assert all(np.array_equal(a, b) for a, b in zip(m.rolling_multi_np(X, 3, None, stats=None), base))
    e = raised(m.rolling_multi_np, X, 3, None, None)
    assert str(e) == "argument 'alignment': 'NoneType' object cannot be converted to 'PyString'"
    e = raised(m.rolling_multi_np, X, None)
    assert str(e) == "argument 'window': 'NoneType' object cannot be interpreted as an integer"
    e = raised(m.rolling_multi_np, X, 3, -1)
    assert type(e) is OverflowError  # an optional given a value converts as its kind
    e = raised(m.diff_np, X, None)
    assert str(e) == "argument 'periods': 'NoneType' object cannot be interpreted as an integer"


# ---------------------------------------------------------------- rewrap


def test_rewrap_cause_is_the_conversion_errors_own_cause():
    class WithCause:
        def __float__(self):
            raise TypeError("no float") from KeyError("inner")

    class NoCause:
        def __float__(self):
            raise TypeError("no float")

    e = raised(m.ewma_np, X, WithCause())
    assert type(e) is TypeError and str(e) == "argument 'alpha': no float"
    assert type(e.__cause__) is KeyError and e.__cause__.args == ("inner",)
    e = raised(m.ewma_np, X, NoCause())
    assert str(e) == "argument 'alpha': no float" and e.__cause__ is None


def test_rewrap_only_exact_typeerror():
    class MyTypeError(TypeError):
        pass

    class Sub:
        def __float__(self):
            raise MyTypeError("subclass text")

    e = raised(m.ewma_np, X, Sub())
    assert type(e) is MyTypeError and str(e) == "subclass text"


def test_type_names_are_dunder_name():
    class Local(np.ndarray):
        pass

    arr = np.arange(3, dtype=np.int64).view(Local)
    assert str(raised(m.mean_np, arr)) == "argument 'a': 'Local' object cannot be converted to 'PyArray<T, D>'"

    class Inner:
        pass

    e = raised(m.t_test_1samp_np, X, 0.0, Inner())
    assert str(e) == "argument 'alternative': 'Inner' object cannot be converted to 'PyString'"
    e = raised(m.mean_np, np.float32(1.0))
    assert str(e) == "argument 'a': 'float32' object cannot be converted to 'PyArray<T, D>'"


# ---------------------------------------------------------------- arrays


@pytest.mark.parametrize(
    "bad",
    [np.array(1.0), np.ones((1, 3)), np.ones(3, dtype=np.complex128), np.ones(3, dtype=object), np.ones(3, "<f4")],
)
def test_one_dimensional_float64_only(bad):
    e = raised(m.mean_np, bad)
    assert str(e) == "argument 'a': 'ndarray' object cannot be converted to 'PyArray<T, D>'"


def test_misaligned_and_readonly_arrays_read_correctly():
    raw = np.zeros(8 * 6 + 1, dtype=np.uint8)
    x = raw[1:].view(np.float64)
    x[:] = [1.0, 2.0, 4.0, 8.0, 16.0, 32.0]
    assert not x.flags.aligned
    assert m.mean_np(x) == 63.0 / 6
    assert np.array_equal(m.cumsum_np(x), np.cumsum([1.0, 2.0, 4.0, 8.0, 16.0, 32.0]))
    y = np.arange(4.0)
    y.flags.writeable = False
    assert np.array_equal(m.cumsum_np(y), [0.0, 1.0, 3.0, 6.0])


def test_contiguity_checked_after_all_conversions():
    e = raised(m.rolling_mean_np, X[::2], -1)
    assert type(e) is OverflowError
    e = raised(m.rolling_mean_np, X[::2], "w")
    assert str(e) == "argument 'window': 'str' object cannot be interpreted as an integer"
    e = raised(m.rolling_mean_np, X[::2], 3)
    assert type(e) is TypeError and str(e) == "The given array is not contiguous"


def test_same_array_for_two_parameters():
    assert m.f_test_var_np(X, X) == m.f_test_var_np(X, X.copy())


# ---------------------------------------------------------------- results


@pytest.mark.parametrize(
    "call, dtype",
    [
        (lambda a: m.zscore_np(a), np.float64),
        (lambda a: m.sign_mask_np(a), np.int8),
        (lambda a: m.iqr_outliers_np(a), np.bool_),
        (lambda a: m.quantile_bins_np(a, 3), np.int64),
    ],
)
def test_result_arrays(call, dtype):
    a = np.array([3.0, -1.0, 2.0, 0.0, 9.0])
    before = a.copy()
    r = call(a)
    assert r.dtype == dtype and r.ndim == 1 and r.shape == (5,)
    assert r.flags.writeable and r.flags.c_contiguous and not r.flags.owndata
    assert r.strides == (r.itemsize,)
    assert type(r.base).__name__ == "PySliceContainer"
    r[...] = 0
    assert np.array_equal(a, before)
    e = call(np.empty(0))
    assert e.dtype == dtype and e.shape == (0,) and e.flags.writeable


def test_two_dimensional_results():
    x = np.arange(20.0).reshape(10, 2)
    (r,) = m.rolling_multi_axis0_np(x, 3)
    assert r.shape == (8, 2) and r.strides == (16, 8) and r.dtype == np.float64
    # the filled buffer itself, kept alive by its container
    assert r.flags.writeable and r.flags.c_contiguous and not r.flags.owndata
    assert type(r.base).__name__ == "PySliceContainer"


def test_result_buffers_outlive_their_producer():
    r = m.zscore_np(np.array([1.0, 2.0, 3.0]))
    view = r[1:]
    del r
    assert np.array_equal(view, [0.0, 1.0])


# ---------------------------------------------------------------- the entry point


def test_entry_point_returns_the_cached_module_without_rerunning_the_body():
    code = (
        "import ctypes\n"
        "from marlox_stats import marlox_stats_rs as m\n"
        "f, names = m.mean_np, m.__all__\n"
        "init = ctypes.PyDLL(m.__file__).PyInit_marlox_stats_rs\n"
        "init.restype = ctypes.py_object\n"
        "again = init()\n"
        "print(again is m, m.mean_np is f, m.__all__ is names, len(set(names)) == len(names))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["True"] * 4


def test_module_surface():
    assert m.__doc__ == ""
    assert type(m.__all__) is list
    for name in m.__all__:
        f = getattr(m, name)
        if name != "RobustStats":
            assert f.__self__ is m and f.__module__ == "marlox_stats_rs"
            assert f.__doc__ is None or not f.__doc__.startswith(name)
