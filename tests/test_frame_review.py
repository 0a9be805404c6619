"""Binding texts, the conversion table row by row, the rewrap and the result objects,
checked through the functions that use each kind of parameter."""
import ctypes
import subprocess
import sys

import numpy as np
import pytest

from marlox_stats import marlox_stats_rs as m

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
