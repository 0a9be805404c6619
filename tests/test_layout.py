"""Source layout: the numeric code stays free of the binding layer.

Kernels (src/kernels), the tests' statistics (src/infer) and the shared
numeric primitives (src/core) are plain C++ over buffers; only src/frame and
src/lib know Python. These checks read the #include lines of the tree.
"""
import re
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parent.parent / "src"
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*"([^"]+)"', re.M)
NUMERIC = ("kernels", "infer", "core")


def offending_includes(dirs, prefixes):
    bad = []
    for d in dirs:
        for f in sorted((SRC / d).rglob("*")):
            if f.suffix not in (".hpp", ".cpp", ".h", ".inc"):
                continue
            for inc in INCLUDE.findall(f.read_text()):
                if inc.startswith(prefixes):
                    bad.append(f"{f.relative_to(SRC)} includes {inc}")
    return bad


@pytest.mark.skipif(not SRC.is_dir(), reason="needs the source tree")
@pytest.mark.parametrize(
    "dirs, forbidden",
    [
        # Python-free: nothing from the binding layer or the wrappers.
        pytest.param(NUMERIC, ("frame/", "lib/"), id="numeric-code-without-frame"),
        # Families meet only in the registration: the distributions and the
        # tests share primitives through src/core, never each other's files.
        pytest.param(("kernels", "core"), ("infer/",), id="kernels-without-infer"),
        pytest.param(("infer", "core"), ("kernels/",), id="infer-without-kernels"),
    ],
)
def test_numeric_code_includes(dirs, forbidden):
    assert offending_includes(dirs, forbidden) == []


def test_the_check_sees_includes():
    # The scan itself: a quoted include is found, an angle include or a
    # commented-out line is not.
    text = '#include "frame/frame.hpp"\n  #  include "lib/x.inc"\n#include <frame/y.hpp>\n// #include "frame/z"\n'
    assert INCLUDE.findall(text) == ["frame/frame.hpp", "lib/x.inc"]
