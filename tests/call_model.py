"""What a call of an ondulix function must do, for any arguments: return the
samples of the Python reference bit for bit, or raise exactly one exception
with exactly one message.

The model follows the frame's rules in their order:

1. binding: more positional arguments than parameters; then each keyword in
   call order (a name that is not a str, a name that matches no parameter, a
   parameter given twice); then the parameters left without a value;
2. conversion in parameter order: `time` must be an ndarray (or a subclass),
   of one dimension, with an element type equivalent to float64; each double
   is converted by PyFloat_AsDouble, `num_harmonics` by PyNumber_Index and
   PyLong_AsUnsignedLongLong. A conversion that raises exactly TypeError is
   re-raised as TypeError "argument '<name>': <message>", keeping the cause of
   the replaced error; every other exception passes unchanged;
3. the call itself: it ends in an internal failure when the registry refuses
   a read borrow of the time array, or else when the array is not contiguous
   (its one stride is not 8 bytes, and it has two or more elements);
4. otherwise the waveform of the reference, one sample per element.

The interpreter's own conversions are asked directly through its C API, so
their messages are those of the running Python version. Besides the model,
this module has the argument objects of every kind that the fuzz and soak
tests combine, and a way to call a function's C entry with any argument
vector, as C code can."""
import ctypes
import decimal
import fractions
import operator
import warnings
from dataclasses import dataclass
from typing import Optional

import numpy as np

import ondulix
import waveform_reference as ref

PARAMETERS = {
    "harmonic_oscillator": ("time", "amplitude", "gamma", "omega", "phi", "y"),
    "pseudo_square_wave": ("time", "amplitude", "gamma", "omega", "phi", "y"),
    "fourier_square_wave": ("time", "amplitude", "gamma", "omega", "phi", "y",
                            "num_harmonics"),
    "pseudo_cycloid_wave": ("time", "amplitude", "gamma", "omega", "phi", "y"),
    "transient_impulse": ("time", "amplitude", "period", "width", "equilibrium"),
}
COUNT_PARAMETER = "num_harmonics"

NOT_CONTIGUOUS = "forced an error result: the time array is not contiguous"
ALREADY_BORROWED = "forced an error result: the time array is already borrowed"


# -- outcomes -------------------------------------------------------------------------

@dataclass
class Raises:
    """An ordinary Python exception. For a prefixed TypeError, `cause` is the
    replaced error's __cause__, which the new error must carry."""
    type: type
    message: str
    prefixed: bool = False
    cause: Optional[BaseException] = None

    def check(self, error):
        assert type(error) is self.type, f"raised {error!r}, expected {self}"
        assert str(error) == self.message, f"raised {error!r}, expected {self}"
        if self.prefixed:
            assert error.__suppress_context__ is True
            if self.cause is None:
                assert error.__cause__ is None
            else:
                assert type(error.__cause__) is type(self.cause)
                assert str(error.__cause__) == str(self.cause)


@dataclass
class FailsInternally:
    """The internal-failure exception with this message as its one argument."""
    message: str

    def check(self, error):
        assert type(error) is internal_failure_class(), f"raised {error!r}, expected {self}"
        assert error.args == (self.message,)


@dataclass
class Returns:
    """The reference's samples of `times` with the converted scalars."""
    function: str
    times: list
    scalars: list

    @property
    def cost(self):
        """Terms the call sums: the samples times the harmonics of each."""
        harmonics = self.scalars[5] if self.function == "fourier_square_wave" else 1
        return len(self.times) * harmonics

    def expected(self):
        reference = getattr(ref, self.function)
        return np.array([reference(t, *self.scalars) for t in self.times], dtype=np.float64)

    def check(self, result, expected=None):
        expected = self.expected() if expected is None else expected
        assert type(result) is np.ndarray
        assert result.dtype == np.float64 and result.dtype.isnative
        assert result.shape == (len(self.times),)
        assert result.flags.c_contiguous and result.flags.writeable and result.base is None
        assert ref.same_bits(result, expected), ref.mismatches(result, expected, self.times)


def internal_failure_class():
    """The class of the module's internal failures, caught from a real one."""
    global _internal_failure_class
    if _internal_failure_class is None:
        try:
            ondulix.harmonic_oscillator(np.zeros(4)[::2], 1.0, 0.0, 1.0, 0.0, 0.0)
        except BaseException as failure:  # noqa: B036 - it is not an Exception
            _internal_failure_class = type(failure)
        else:
            raise AssertionError("a non-contiguous time array was accepted")
    return _internal_failure_class


_internal_failure_class = None


def check_call(expected, make_call):
    """Make the call and check that its outcome is the expected one; returns
    the call's result, or None when it raised."""
    try:
        result = make_call()
    except BaseException as error:  # noqa: B036 - the internal failure is no Exception
        if isinstance(expected, Returns):
            raise AssertionError(f"raised {error!r}, expected {expected}") from error
        expected.check(error)
        return None
    assert isinstance(expected, Returns), f"returned {result!r}, expected {expected}"
    expected.check(result)
    return result


# -- the model ------------------------------------------------------------------------

class _Failure(Exception):
    def __init__(self, outcome):
        self.outcome = outcome


def shown(text):
    """A text as the module writes it into a message: through UTF-8, where a
    lone surrogate becomes one U+FFFD for each of its bytes."""
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def type_name(obj):
    """The {type name} of a conversion TypeError: the type's __qualname__."""
    try:
        name = type(obj).__qualname__
        if isinstance(name, str):
            name.encode("utf-8")
            return name
    except Exception:
        pass
    return "<failed to extract type name>"


def bind(function, positional, keywords):
    """The slots of a call with these positional values and (name, value)
    keyword pairs, in the order the function receives them."""
    parameters = PARAMETERS[function]
    if len(positional) > len(parameters):
        raise _Failure(Raises(TypeError, f"{function}() takes {len(parameters)} positional "
                                         f"arguments but {len(positional)} were given"))
    slots = dict(zip(parameters, positional))
    for name, value in keywords:
        if not isinstance(name, str):
            raise _Failure(Raises(TypeError, f"'{type_name(name)}' object cannot be converted to 'str'"))
        text = str.__str__(name)  # matched by its text, named by its str()
        if text not in parameters:
            raise _Failure(Raises(TypeError, f"{function}() got an unexpected keyword argument "
                                             f"'{shown(str(name))}'"))
        if text in slots:
            raise _Failure(Raises(TypeError, f"{function}() got multiple values for argument "
                                             f"'{shown(str(name))}'"))
        slots[text] = value
    missing = [p for p in parameters if p not in slots]
    if missing:
        quoted = [f"'{p}'" for p in missing]
        if len(quoted) <= 2:
            listed = " and ".join(quoted)
        else:
            listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
        plural = "argument" if len(missing) == 1 else "arguments"
        raise _Failure(Raises(TypeError, f"{function}() missing {len(missing)} required "
                                         f"positional {plural}: {listed}"))
    return [slots[p] for p in parameters]


def equivalent_to_float64(dtype):
    return dtype.kind == "f" and dtype.itemsize == 8 and dtype.isnative


# The array's own fields, whatever a subclass makes of its attributes.
_ndim, _dtype = np.ndarray.ndim.__get__, np.ndarray.dtype.__get__
_shape, _strides = np.ndarray.shape.__get__, np.ndarray.strides.__get__


def check_time(obj):
    if not issubclass(type(obj), np.ndarray):
        raise TypeError(f"'{type_name(obj)}' object cannot be converted to 'numpy.ndarray'")
    if _ndim(obj) != 1:
        raise TypeError(f"dimensionality mismatch:\n from={_ndim(obj)}, to=1")
    if not equivalent_to_float64(_dtype(obj)):
        raise TypeError(f"type mismatch:\n from={_dtype(obj)}, to=float64")


_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.restype, _as_double.argtypes = ctypes.c_double, [ctypes.py_object]
_as_unsigned = ctypes.pythonapi.PyLong_AsUnsignedLongLong
_as_unsigned.restype, _as_unsigned.argtypes = ctypes.c_ulonglong, [ctypes.py_object]


def convert(parameter, obj):
    if parameter == "time":
        check_time(obj)
        return obj
    if parameter == COUNT_PARAMETER:
        return _as_unsigned(operator.index(obj))
    return _as_double(obj)


def contiguous(time):
    return _shape(time)[0] <= 1 or _strides(time)[0] == 8


def expected_outcome(function, positional, keywords=(), read_granted=lambda time: True):
    """The outcome of function(*positional, **dict(keywords)), keywords
    given as (name, value) pairs in call order, when the registry would grant
    a read borrow of the time array as `read_granted` says."""
    try:
        values = bind(function, positional, keywords)
        converted = []
        for parameter, value in zip(PARAMETERS[function], values):
            try:
                converted.append(convert(parameter, value))
            except BaseException as error:  # noqa: B036 - conversions may raise anything
                if type(error) is not TypeError:
                    raise _Failure(Raises(type(error), str(error)))
                raise _Failure(Raises(TypeError, f"argument '{parameter}': {shown(str(error))}",
                                      prefixed=True, cause=error.__cause__))
    except _Failure as failure:
        return failure.outcome
    time, scalars = converted[0], converted[1:]
    if not read_granted(time):
        return FailsInternally(ALREADY_BORROWED)
    if not contiguous(time):
        return FailsInternally(NOT_CONTIGUOUS)
    return Returns(function, np.ndarray.tolist(time), scalars)


# -- calling the C entry directly --------------------------------------------------------

FASTCALL = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p,
                             ctypes.c_ssize_t, ctypes.c_void_p)


def raw_call(function, args, kwnames=None):
    """Call a module function's C entry with any vector and keyword names:
    the values of the names in kwnames are the last len(kwnames) of args."""
    method_def = ctypes.c_void_p.from_address(id(function) + 2 * ctypes.sizeof(ctypes.c_void_p))
    ml_meth = ctypes.c_void_p.from_address(method_def.value + ctypes.sizeof(ctypes.c_void_p))
    entry = FASTCALL(ml_meth.value)
    vector = (ctypes.c_void_p * len(args))(*[id(a) for a in args]) if args else None
    nargs = len(args) - (len(kwnames) if kwnames else 0)
    return entry(function.__self__, ctypes.cast(vector, ctypes.c_void_p),
                 nargs, id(kwnames) if kwnames is not None else None)


def call(function, positional, keywords, raw):
    """Make the call: through the interpreter, or straight into the C entry
    (which lets a keyword name be repeated or not be a str)."""
    f = getattr(ondulix, function)
    if raw:
        names = tuple(name for name, _ in keywords)
        return raw_call(f, list(positional) + [value for _, value in keywords], names or None)
    return f(*positional, **dict(keywords))


# -- argument objects of every kind --------------------------------------------------------

class TypeErrorSubclass(TypeError):
    pass


class Abort(BaseException):
    """An exception that is not an Exception."""


class FloatSub(float):
    pass


class IntSub(int):
    pass


class Shown(str):
    """A keyword name whose str() is not its text."""

    def __str__(self):
        return "shown as " + str.__str__(self)


class Returning:
    """Returns `value` from its conversion method."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"{type(self).__name__}({self.value!r})"


class ReturnsFromFloat(Returning):
    def __float__(self):
        return self.value


class ReturnsFromIndex(Returning):
    def __index__(self):
        return self.value


class Raising:
    """Raises a new error of the given type from its conversion method, at
    every call."""

    def __init__(self, error, message, cause=None):
        self.error, self.message, self.cause = error, message, cause

    def raise_it(self):
        cause = None if self.cause is None else self.cause[0](self.cause[1])
        raise self.error(self.message) from cause

    def __repr__(self):
        return f"{type(self).__name__}({self.error.__name__}, {self.message!r}, {self.cause!r})"


class RaisesFromFloat(Raising):
    def __float__(self):
        self.raise_it()


class RaisesFromIndex(Raising):
    def __index__(self):
        self.raise_it()


class Outer:
    class Inner:
        pass


class PretendsToBeAnArray:
    """isinstance() believes it; the type check does not."""

    @property
    def __class__(self):
        return np.ndarray


class HasArrayInterface:
    def __array__(self, dtype=None, copy=None):
        return np.zeros(3)


class ArraySubclass(np.ndarray):
    pass


def _raising(kind, error, message="raised", cause=None):
    return kind(error, message, cause)


def scalar_objects():
    """One object of each kind that may be passed for a scalar parameter:
    valid and invalid for a double, for a count, or for both."""
    objects = [
        # plain numbers, including the special and extreme ones
        0.0, -0.0, 1.0, -1.0, 0.5, 2.0, -3.25, 1e-310, 5e-324, 1.7976931348623157e308,
        float("nan"), float("inf"), float("-inf"),
        0, 1, 2, 3, 7, -1, 2 ** 53 + 1, 2 ** 63, 2 ** 64 - 1, 2 ** 64, 2 ** 1023,
        2 ** 1024, 10 ** 400, -(10 ** 400), True, False,
        # NumPy scalars and arrays
        np.float64(-1.0), np.float32(0.1), np.float16(3.0), np.longdouble(0.25),
        np.int8(-4), np.uint8(3), np.int64(-7), np.uint64(2 ** 64 - 1), np.bool_(True),
        np.complex128(1.5 + 2j), np.array(2.5), np.array(4), np.array([1.0, 2.0]),
        np.array([6.0]),
        # other numbers and subclasses
        FloatSub(-1.0), IntSub(5), decimal.Decimal("1.25"), decimal.Decimal("sNaN"),
        fractions.Fraction(1, 3), 1j,
        # not numbers
        "1", b"1", None, [1.0], (2,), object(), Outer.Inner(),
        # __float__ returning every kind of thing
        ReturnsFromFloat(-1.0), ReturnsFromFloat(float("nan")), ReturnsFromFloat(FloatSub(2.0)),
        ReturnsFromFloat(np.float64(0.5)), ReturnsFromFloat(1), ReturnsFromFloat("x"),
        ReturnsFromFloat(None), ReturnsFromFloat(10 ** 400),
        # __index__ returning every kind of thing
        ReturnsFromIndex(0), ReturnsFromIndex(4), ReturnsFromIndex(-1), ReturnsFromIndex(2 ** 64),
        ReturnsFromIndex(2 ** 64 - 1), ReturnsFromIndex(10 ** 400), ReturnsFromIndex(True),
        ReturnsFromIndex(IntSub(2)), ReturnsFromIndex(1.5), ReturnsFromIndex("3"),
        ReturnsFromIndex(np.int64(2)),
    ]
    for kind in (RaisesFromFloat, RaisesFromIndex):
        objects += [
            _raising(kind, TypeError, "plain"),
            _raising(kind, TypeError, "lone \udc80 surrogate"),
            _raising(kind, TypeError, "with a cause", cause=(KeyError, "root")),
            _raising(kind, TypeErrorSubclass, "subclass"),
            _raising(kind, ValueError, "value"),
            _raising(kind, OverflowError, "overflow"),
            _raising(kind, ZeroDivisionError, "zero"),
            _raising(kind, Abort, "abort"),
        ]
    return objects


def other_time_objects():
    """Objects passed as `time` that are not arrays at all."""
    return [[0.0, 1.0], (1.0,), 1.0, 3, None, "t", np.float64(1.0), memoryview(b"12345678"),
            Outer.Inner(), PretendsToBeAnArray(), HasArrayInterface(), range(3)]


@dataclass
class TimeArray:
    """A time array together with what tells whether a call left it untouched
    and unborrowed: the memory it lives in, and a writeable array over the
    same bytes with the same shape and strides and the same memory owner."""
    array: np.ndarray
    memory: np.ndarray
    twin: Optional[np.ndarray]


DTYPES = ["<f8", ">f8", "=f8", "f4", ">f4", "f2", "g", "i8", "u8", "i4", "i1", "?",
          "c16", ">c16", "M8[s]", "m8[ms]", "S4", "U2", "V8", [("a", "<f8")], "O"]
SUBCLASSES = [None, ArraySubclass, np.ma.MaskedArray, np.matrix]


def make_time_array(dtype, shape, steps, misalign, subclass, read_only, raw_bytes, values):
    """An array of `dtype` and `shape` whose stride k is steps[k] times the
    C-order stride (negative, zero, or a multiple), starting `misalign` bytes
    past an aligned address. Its memory is raw_bytes, repeated; the elements
    of a one-dimensional float array then get `values`."""
    dt = np.dtype(dtype)
    if dt.hasobject:
        # Object arrays cannot lie over a byte buffer: slice one instead.
        count = max(1, int(np.prod([max(d, 1) for d in shape])) * 2)
        memory = np.array([float(i) for i in range(count)], dtype=object)
        array = memory[::-1 if steps and steps[0] < 0 else 1][:int(np.prod(shape))].reshape(shape)
        return TimeArray(_finish(array, subclass, read_only), memory, None)

    natural, strides = dt.itemsize, []
    for d, step in zip(reversed(shape), reversed(steps)):
        strides.append(natural * step)
        natural *= max(d, 1)
    strides.reverse()
    empty = 0 in shape
    below = sum((d - 1) * s for d, s in zip(shape, strides) if s < 0) if not empty else 0
    above = sum((d - 1) * s for d, s in zip(shape, strides) if s > 0) if not empty else 0
    offset = -below + misalign
    size = offset + above + dt.itemsize + 8
    memory = np.empty(size, dtype=np.uint8)
    memory[:] = np.resize(np.frombuffer(raw_bytes or b"\0", dtype=np.uint8), size)

    def over_memory():
        return np.ndarray(shape, dt, buffer=memory, offset=offset, strides=tuple(strides))

    array = over_memory()
    if len(shape) == 1 and dt.kind == "f" and dt.itemsize == 8 and values:
        for i in range(shape[0]):
            array[i] = values[i % len(values)]
    return TimeArray(_finish(array, subclass, read_only), memory, over_memory())


def _finish(array, subclass, read_only):
    if subclass is np.matrix:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", PendingDeprecationWarning)
            array = np.asmatrix(array) if array.ndim <= 2 else array
    elif subclass is not None:
        array = array.view(subclass)
    if read_only:
        array.flags.writeable = False
    return array


def huge_zero_stride_array():
    """A billion elements, all one double: not contiguous, so never read."""
    memory = np.zeros(16, dtype=np.uint8)
    array = np.ndarray((10 ** 9,), np.float64, buffer=memory, offset=0, strides=(0,))
    twin = np.ndarray((10 ** 9,), np.float64, buffer=memory, offset=0, strides=(0,))
    return TimeArray(array, memory, twin)
