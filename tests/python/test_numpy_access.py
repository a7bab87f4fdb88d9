"""How the module reaches NumPy's C API: on first use, through either module
layout, with version checks, and again on the next call after a failure."""

import os
import subprocess
import sys
import textwrap

import pytest

# Runs in a fresh interpreter, where linora has not touched NumPy yet. A fake
# `numpy` package, put first on sys.path, serves a C-API table whose version
# functions are ctypes callbacks; every fake fails a check, so nothing is
# cached and the real NumPy is reached at the end.
_SCRIPT = textwrap.dedent(r'''
    import ctypes, os, sys, tempfile, types, json
    import linora

    INTERNAL = None
    results = {}

    def call():
        global INTERNAL
        try:
            linora.detect([[0]])
        except TypeError as e:
            return "TypeError: " + str(e)
        except BaseException as e:
            INTERNAL = type(e)
            return type(e).__mro__[1].__name__ + ": " + str(e)
        return "ok"

    def install_fake(version, core, abi=0x2000000, feature=0x13, endian=1):
        """Registers fake numpy modules whose C-API table reports these versions."""
        keep = []
        table = (ctypes.c_void_p * 300)()
        for index, value, restype in ((0, abi, ctypes.c_uint), (211, feature, ctypes.c_uint),
                                      (210, endian, ctypes.c_int)):
            fn = ctypes.CFUNCTYPE(restype)(lambda v=value: v)
            keep.append(fn)
            table[index] = ctypes.cast(fn, ctypes.c_void_p).value
        new_capsule = ctypes.pythonapi.PyCapsule_New
        new_capsule.restype = ctypes.py_object
        new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        capsule = new_capsule(ctypes.addressof(table), None, None)
        numpy = types.ModuleType("numpy")
        numpy.__version__ = version
        lib = types.ModuleType("numpy.lib")
        lib.NumpyVersion = lambda v: types.SimpleNamespace(major=int(v.split(".")[0]))
        core_mod = types.ModuleType("numpy." + core)
        multiarray = types.ModuleType("numpy." + core + ".multiarray")
        multiarray._ARRAY_API = capsule
        numpy.lib = lib
        core_mod.multiarray = multiarray
        for name, mod in (("numpy", numpy), ("numpy.lib", lib), ("numpy." + core, core_mod),
                          ("numpy." + core + ".multiarray", multiarray)):
            sys.modules[name] = mod
        return keep + [table]

    def remove_fake():
        for name in [n for n in sys.modules if n == "numpy" or n.startswith("numpy.")]:
            del sys.modules[name]

    sys.modules["numpy"] = None          # import numpy fails
    results["import"] = call()
    del sys.modules["numpy"]

    keep = install_fake("2.1.0", "_core", abi=0x3000000)
    results["abi"] = call(); remove_fake()
    keep = install_fake("1.26.4", "core", feature=0xb)   # the 1.x layout
    results["feature"] = call(); remove_fake()
    keep = install_fake("2.0.0", "_core", endian=2)
    results["endian"] = call(); remove_fake()

    import numpy as np
    results["real"] = call()
    results["works"] = linora.detect(np.zeros((3, 3))) == []
    print(json.dumps(results))
''')


@pytest.fixture(scope="module")
def access_results():
    import json

    out = subprocess.run([sys.executable, "-c", _SCRIPT], capture_output=True, text=True,
                         timeout=120, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


PREFIX = "BaseException: Failed to access NumPy array API capsule"


@pytest.mark.parametrize("case, message", [
    ("import", "ModuleNotFoundError"),
    ("abi", "RuntimeError: module compiled against ABI version 0x2000000 "
            "but this version of numpy is 0x3000000"),
    ("feature", "RuntimeError: module was compiled against NumPy C-API version 0xc "
                "(NumPy 1.15) but the running NumPy has C-API version 0xb"),
    ("endian", "RuntimeError: module compiled as little endian, "
               "but detected different endianness at runtime"),
])
def test_failed_access_is_an_internal_error(access_results, case, message):
    got = access_results[case]
    assert got.startswith(PREFIX), got
    assert message in got


def test_access_is_retried_after_a_failure(access_results):
    assert access_results["real"] == (
        "TypeError: detect expects a (height, width) array of uint8, uint16, float32 or float64")
    assert access_results["works"] is True


def test_numpy_is_not_imported_by_importing_linora():
    code = "import sys, linora; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


# The first use runs Python code (NumPy's version check), here widened by a
# wrapper: a fork() from another thread at that moment, and a call into linora
# from that code, must both complete. Each regression would hang: the child's
# alarm and the timeout turn that into a failure.
_FIRST_USE_FORK = textwrap.dedent(r'''
    import os, signal, threading, warnings
    import numpy, numpy.lib
    import linora

    version = numpy.lib.NumpyVersion
    inside, forked = threading.Event(), threading.Event()

    def slow_version(v):
        inside.set()
        forked.wait(30)
        return version(v)

    numpy.lib.NumpyVersion = slow_version
    first = threading.Thread(target=lambda: linora.detect(numpy.zeros((3, 3))))
    first.start()
    inside.wait(30)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        pid = os.fork()
    if pid == 0:
        signal.alarm(20)
        numpy.lib.NumpyVersion = version
        os._exit(0 if linora.detect(numpy.zeros((3, 3))) == [] else 2)
    forked.set()
    first.join()
    _, status = os.waitpid(pid, 0)
    print("child", status)
''')

_FIRST_USE_REENTERED = textwrap.dedent(r'''
    import numpy, numpy.lib
    import linora

    version = numpy.lib.NumpyVersion
    inner = []

    def reentrant_version(v):
        if not inner:  # once: the inner call's own first use comes here too
            inner.append(None)
            inner.append(linora.detect(numpy.zeros((3, 3))))
        return version(v)

    numpy.lib.NumpyVersion = reentrant_version
    outer = linora.detect(numpy.zeros((3, 3)))
    print("child", 0 if (outer, inner) == ([], [None, []]) else 1)
''')


@pytest.mark.parametrize("script", [_FIRST_USE_FORK, _FIRST_USE_REENTERED],
                         ids=["fork", "reentered"])
def test_first_use_survives_fork_and_reentry(script):
    if script is _FIRST_USE_FORK and not hasattr(os, "fork"):
        pytest.skip("needs fork")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.split() == ["child", "0"], out.stderr[-2000:]
