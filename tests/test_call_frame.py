"""The module definition, argument binding, conversion and the failure frame."""
import ctypes
import inspect

import numpy as np
import pytest

import ondulix
import waveform_reference as ref
from call_model import ReturnsFromIndex, Shown, TypeErrorSubclass, raw_call

SIGNATURES = {
    "harmonic_oscillator": "(time, amplitude, gamma, omega, phi, y)",
    "pseudo_square_wave": "(time, amplitude, gamma, omega, phi, y)",
    "fourier_square_wave": "(time, amplitude, gamma, omega, phi, y, num_harmonics)",
    "pseudo_cycloid_wave": "(time, amplitude, gamma, omega, phi, y)",
    "transient_impulse": "(time, amplitude, period, width, equilibrium)",
}


def plain_def(name):
    """A Python function with the same name and parameters, for comparing
    CPython's own binding messages with ours."""
    namespace = {}
    exec(f"def {name}{SIGNATURES[name]}: pass", namespace)
    return namespace[name]


def binding_error(function, args, kwargs):
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    return str(info.value)


def test_module_attributes():
    assert ondulix.__doc__ == "Python module definition"
    assert ondulix.__all__ == list(SIGNATURES)
    for name, signature in SIGNATURES.items():
        function = getattr(ondulix, name)
        assert function.__module__ == "ondulix"
        assert function.__self__ is ondulix
        assert function.__doc__ is None
        assert function.__text_signature__ == signature
        assert str(inspect.signature(function)) == signature


def test_import_touches_nothing_of_numpy(python):
    out = python("""
        import sys, ondulix
        print(sorted(m for m in sys.modules if m.split('.')[0] == 'numpy'))
    """)
    assert out.strip() == "[]"


def test_second_initialisation_raises_import_error():
    init = ctypes.PyDLL(ondulix.__file__).PyInit_ondulix
    init.restype = ctypes.py_object
    with pytest.raises(ImportError, match="only once per interpreter process"):
        init()
    # The module in use is untouched.
    assert ondulix.harmonic_oscillator(np.zeros(1), 1, 0, 1, 0, 0)[0] == 1.0


T = np.linspace(0.0, 1.0, 4)


# Calls that CPython binds with the same message for a plain def.
SAME_AS_CPYTHON = [
    ("harmonic_oscillator", (), {}),
    ("harmonic_oscillator", (T,), {}),
    ("harmonic_oscillator", (T, 1, 2, 3, 4), {}),
    ("harmonic_oscillator", (T, 1, 2, 3, 4, 5, 6), {}),
    ("harmonic_oscillator", (T, 1, 2, 3, 4, 5), {"amplitude": 1}),
    ("harmonic_oscillator", (T, 1, 2, 3, 4, 5), {"z": 1}),
    ("harmonic_oscillator", (T,), {"z": 1}),
    ("harmonic_oscillator", (T,), {"zz": 1, "z": 1}),
    ("harmonic_oscillator", (), {"time": T, "y": 0, "phi": 0}),
    ("harmonic_oscillator", (T, 1), {"omega": 1, "time": T}),
    ("transient_impulse", (T, 1.0, 2.0), {}),
    ("transient_impulse", (T, 1.0, 2.0), {"equilibrium": 0.0}),
    ("transient_impulse", (), {"width": 1}),
    ("pseudo_square_wave", (T, 1, 2, 3, 4, 5, 6), {}),
    ("fourier_square_wave", (T, 1, 2, 3, 4, 5, 6, 7), {}),
    ("fourier_square_wave", (T, 1, 2, 3, 4, 5), {}),
    ("pseudo_cycloid_wave", (), {"amplitude": 1, "gamma": 1}),
    # A keyword is matched by its text and named by its str().
    ("harmonic_oscillator", (T,), {Shown("z"): 1}),
    ("harmonic_oscillator", (T, 1, 2, 3, 4, 5), {Shown("amplitude"): 1}),
    ("harmonic_oscillator", (T, 1, 2, 3, 4), {Shown("y"): 0, "phi": 0, "z": 1}),
]


@pytest.mark.parametrize("name,args,kwargs", SAME_AS_CPYTHON)
def test_binding_messages_match_cpython(name, args, kwargs):
    ours = binding_error(getattr(ondulix, name), args, kwargs)
    theirs = binding_error(plain_def(name), args, kwargs)
    assert ours == theirs


@pytest.mark.parametrize("name,args,kwargs,message", [
    # Surplus positionals are reported before any keyword is looked at;
    # CPython's def looks at keywords first.
    ("pseudo_square_wave", (T, 1, 2, 3, 4, 5, 6), {"z": 1},
     "pseudo_square_wave() takes 6 positional arguments but 7 were given"),
    # A lone surrogate cannot travel as UTF-8: each byte of its surrogatepass
    # form shows as U+FFFD, where CPython shows the surrogate itself.
    ("harmonic_oscillator", (T,), {"\udc80": 1},
     "harmonic_oscillator() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"),
    ("harmonic_oscillator", (T,), {"a\ud800b": 1},
     "harmonic_oscillator() got an unexpected keyword argument 'a\ufffd\ufffd\ufffdb'"),
])
def test_binding_messages_that_differ_from_cpython_by_design(name, args, kwargs, message):
    assert binding_error(getattr(ondulix, name), args, kwargs) == message
    assert binding_error(plain_def(name), args, kwargs) != message


def test_positional_keyword_and_mixed_calls_agree():
    t = np.linspace(-2.0, 2.0, 9)
    expected = ondulix.harmonic_oscillator(t, 1.0, -0.5, 2.0, 0.0, 0.0)
    calls = [
        dict(time=t, amplitude=1.0, gamma=-0.5, omega=2.0, phi=0.0, y=0.0),
        dict(y=0.0, phi=0.0, omega=2.0, gamma=-0.5, amplitude=1.0, time=t),
    ]
    for kwargs in calls:
        assert ref.same_bits(ondulix.harmonic_oscillator(**kwargs), expected)
    assert ref.same_bits(ondulix.harmonic_oscillator(t, 1.0, -0.5, y=0.0, omega=2.0, phi=0.0),
                         expected)


# -- calling the frame directly, as C code can -----------------------------------

def test_direct_call_binds_like_vectorcall():
    t = np.linspace(0.0, 3.0, 7)
    result = raw_call(ondulix.transient_impulse, (t, 1.0, 0.0, 1.0, 0.5),
                      kwnames=("width", "equilibrium"))
    assert ref.same_bits(result, ondulix.transient_impulse(t, 1.0, 0.0, 1.0, 0.5))


def test_a_keyword_name_that_is_not_a_str_is_refused():
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'str'$"):
        raw_call(ondulix.transient_impulse, (T, 1.0, 0.0, 1.0, 0.5), kwnames=(1, "equilibrium"))


def test_a_null_vector_means_no_arguments():
    with pytest.raises(TypeError, match=r"missing 5 required positional arguments"):
        raw_call(ondulix.transient_impulse, ())


# -- conversion ------------------------------------------------------------------

class FloatRaising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def conversion_error(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


@pytest.mark.parametrize("call,kind,message", [
    (lambda: ondulix.fourier_square_wave(T, 1, 0, 1, 0, 0, num_harmonics=2.0), TypeError,
     "argument 'num_harmonics': 'float' object cannot be interpreted as an integer"),
    (lambda: ondulix.fourier_square_wave(T, 1, 0, 1, 0, 0, -1), OverflowError,
     "can't convert negative int to unsigned"),
    (lambda: ondulix.fourier_square_wave(T, 1, 0, 1, 0, 0, 2 ** 64), OverflowError,
     "int too big to convert"),
    (lambda: ondulix.harmonic_oscillator(T, 10 ** 400, 0, 1, 0, 0), OverflowError,
     "int too large to convert to float"),
    (lambda: ondulix.harmonic_oscillator(T, "1", 0, 1, 0, 0), TypeError,
     "argument 'amplitude': must be real number, not str"),
    (lambda: ondulix.transient_impulse(T, 1, 0, 1, None), TypeError,
     "argument 'equilibrium': must be real number, not NoneType"),
    # Conversion stops at the first bad argument in parameter order.
    (lambda: ondulix.harmonic_oscillator([1.0], "x", 0, 1, 0, 0), TypeError,
     "argument 'time': 'list' object cannot be converted to 'numpy.ndarray'"),
    (lambda: ondulix.harmonic_oscillator(T, 1, "x", None, 0, 0), TypeError,
     "argument 'gamma': must be real number, not str"),
    # Other exceptions and subclasses of TypeError pass unchanged.
    (lambda: ondulix.harmonic_oscillator(T, 1, FloatRaising(ValueError("v")), 1, 0, 0),
     ValueError, "v"),
    (lambda: ondulix.harmonic_oscillator(T, 1, FloatRaising(TypeErrorSubclass("sub")), 1, 0, 0),
     TypeErrorSubclass, "sub"),
    (lambda: ondulix.harmonic_oscillator(T, 1, FloatRaising(TypeError("plain")), 1, 0, 0),
     TypeError, "argument 'gamma': plain"),
    (lambda: ondulix.harmonic_oscillator(T, 1, FloatRaising(TypeError("\udc80")), 1, 0, 0),
     TypeError, "argument 'gamma': \ufffd\ufffd\ufffd"),
])
def test_conversion_errors(call, kind, message):
    error = conversion_error(call)
    assert type(error) is kind
    assert str(error) == message


def test_prefixed_error_keeps_the_cause_of_the_replaced_one():
    cause = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = cause
    error = conversion_error(
        lambda: ondulix.harmonic_oscillator(T, FloatRaising(inner), 0, 1, 0, 0))
    assert type(error) is TypeError and str(error) == "argument 'amplitude': inner"
    assert error.__cause__ is cause
    assert error.__suppress_context__ is True

    error = conversion_error(
        lambda: ondulix.harmonic_oscillator(T, FloatRaising(TypeError("bare")), 0, 1, 0, 0))
    assert error.__cause__ is None and error.__suppress_context__ is True


@pytest.mark.parametrize("value,expected", [
    (2, 2.0), (-1.0, -1.0), (True, 1.0), (ReturnsFromIndex(3), 3.0), (np.float32(0.5), 0.5),
    (2 ** 53 + 1, float(2 ** 53 + 1)),
])
def test_doubles_accept_what_float_accepts(value, expected):
    t = np.array([0.0, 0.5])
    assert ref.same_bits(ondulix.harmonic_oscillator(t, value, 0.0, 1.0, 0.0, 0.0),
                         ondulix.harmonic_oscillator(t, expected, 0.0, 1.0, 0.0, 0.0))


@pytest.mark.parametrize("value,count", [
    (True, 1), (ReturnsFromIndex(3), 3), (np.uint64(2), 2), (np.int8(4), 4),
])
def test_num_harmonics_accepts_integers(value, count):
    t = np.linspace(0.0, 1.0, 5)
    assert ref.same_bits(ondulix.fourier_square_wave(t, 1.0, 0.0, 2.0, 0.0, 0.0, value),
                         ondulix.fourier_square_wave(t, 1.0, 0.0, 2.0, 0.0, 0.0, count))


@pytest.mark.parametrize("count", [2 ** 63, 2 ** 64 - 1])
def test_largest_num_harmonics_are_accepted(count):
    # No sample, so no sum: the count itself must be accepted as it is.
    result = ondulix.fourier_square_wave(np.empty(0), 1.0, 0.0, 2.0, 0.0, 0.0, count)
    assert result.shape == (0,)


# -- internal failures --------------------------------------------------------------

def test_internal_failure_is_a_base_exception(internal_failure_class, capfd):
    assert internal_failure_class.__bases__ == (BaseException,)
    assert internal_failure_class.__module__ == "ondulix"
    assert not hasattr(ondulix, internal_failure_class.__name__)
    assert "BaseException" in internal_failure_class.__doc__

    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        try:
            ondulix.harmonic_oscillator(np.zeros(6)[::2], 1, 0, 1, 0, 0)
        except Exception:  # must not catch it
            pytest.fail("an internal failure was caught as an Exception")
    assert type(info.value) is internal_failure_class
    assert info.value.args == ("forced an error result: the time array is not contiguous",)
    err = capfd.readouterr().err
    assert "forced an error result: the time array is not contiguous" in err
    assert "src/arrays.cpp:" in err


def test_internal_failure_fetched_from_python_resumes(internal_failure_class, capfd):
    class FailsInside:
        def __float__(self):
            return float(ondulix.harmonic_oscillator(np.zeros(4)[::2], 1, 0, 1, 0, 0)[0])

    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        ondulix.harmonic_oscillator(T, FailsInside(), 0, 1, 0, 0)
    assert type(info.value) is internal_failure_class
    assert info.value.args == ("forced an error result: the time array is not contiguous",)
    err = capfd.readouterr().err
    assert "resuming an internal failure fetched from Python code" in err
    assert "in __float__" in err  # the stack trace of the fetched failure


def test_internal_failure_raised_by_python_code_resumes_with_fixed_text(
        internal_failure_class, capfd):
    class RaisesIt:
        def __float__(self):
            raise internal_failure_class(42)

    with pytest.raises(BaseException) as info:
        ondulix.harmonic_oscillator(T, RaisesIt(), 0, 1, 0, 0)
    assert type(info.value) is internal_failure_class
    assert info.value.args == ("an internal failure came back from Python code",)
