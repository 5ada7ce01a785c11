"""The importable module: its attributes, docstrings and exception class."""
import inspect

import rasterloom

MODULE_DOC = "A library for processing and annotating raster scanlines in powder bed fusion data."
FUNCTION_DOC = (
    "Annotate in-memory scanline data from 1D x and y coordinate arrays.\n\n"
    "Args:\n"
    "    x (ndarray): 1D numpy array of x-coordinates (float32 or float64).\n"
    "    y (ndarray): 1D numpy array of y-coordinates (float32 or float64).\n\n"
    "Returns:\n"
    "    ndarray: 1D numpy array of scanline_id assignments (int32)."
)


def test_module_attributes():
    assert rasterloom.__name__ == "rasterloom"
    assert rasterloom.__doc__ == MODULE_DOC
    assert rasterloom.__all__ == ["annotate_scanlines"]
    assert type(rasterloom.__all__) is list
    public = {name for name in dir(rasterloom) if not name.startswith("_")}
    assert public == {"annotate_scanlines"}


def test_function_identity_and_docstring():
    f = rasterloom.annotate_scanlines
    assert f.__name__ == "annotate_scanlines"
    assert f.__module__ == "rasterloom"
    assert f.__self__ is None
    assert f.__doc__ == FUNCTION_DOC
    assert f.__text_signature__ == "(x, y)"
    signature = inspect.signature(f)
    assert str(signature) == "(x, y)"
    assert [p.kind for p in signature.parameters.values()] == [
        inspect.Parameter.POSITIONAL_OR_KEYWORD
    ] * 2


def test_import_does_not_import_numpy_or_start_threads(python_subprocess):
    result = python_subprocess(
        """
        import os, sys, threading
        def threads():
            if os.path.isdir('/proc/self/task'):   # every thread of the process
                return len(os.listdir('/proc/self/task'))
            return threading.active_count()   # elsewhere: Python's threads only
        before = threads()
        import rasterloom
        assert 'numpy' not in sys.modules, 'importing rasterloom imported numpy'
        assert threads() == before
        print('ok')
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_reimport_after_removal_builds_a_fresh_module(python_subprocess):
    result = python_subprocess(
        """
        import sys
        import rasterloom as first
        del sys.modules['rasterloom']
        import rasterloom as second
        assert second is not first
        assert second.__all__ == ['annotate_scanlines']
        assert second.annotate_scanlines.__module__ == 'rasterloom'
        print('ok')
        """
    )
    assert result.returncode == 0, result.stderr


NO_NUMPY = """
    import sys
    sys.modules['numpy'] = None   # makes every import of numpy fail
    import rasterloom
"""


def test_without_numpy_import_works_and_calls_raise_panic(python_subprocess):
    result = python_subprocess(
        NO_NUMPY
        + """
    try:
        rasterloom.annotate_scanlines([1.0], [2.0])
    except Exception:
        print('caught as Exception')
    except BaseException as exc:
        kind = type(exc)
        assert kind.__name__ == 'PanicException', kind
        assert kind.__qualname__.split('.')[-1] == 'PanicException'
        assert kind.__bases__ == (BaseException,)
        assert not issubclass(kind, Exception)
        assert len(exc.args) == 1
        assert str(exc).startswith('Failed to access NumPy array API capsule'), str(exc)
        assert 'BaseException' in kind.__doc__
        print('panic')
    # binding errors are still TypeErrors, checked before NumPy is needed
    try:
        rasterloom.annotate_scanlines(1)
    except TypeError as exc:
        print(exc)
    """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.split("\n")
    assert lines[0] == "panic"
    assert lines[1] == "annotate_scanlines() missing 1 required positional argument: 'y'"
    # a diagnostic naming the failure is written to standard error
    assert "Failed to access NumPy array API capsule" in result.stderr


def test_numpy_becoming_available_later_is_picked_up(python_subprocess):
    result = python_subprocess(
        NO_NUMPY
        + """
    try:
        rasterloom.annotate_scanlines([1.0], [2.0])
    except BaseException as exc:
        assert type(exc).__name__ == 'PanicException'
    del sys.modules['numpy']
    import numpy as np
    out = rasterloom.annotate_scanlines(np.zeros(2), np.zeros(2))
    assert out.dtype == np.int32 and out.shape == (2,)
    print('ok')
    """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
