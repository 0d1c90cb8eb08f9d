"""Arbitrary arguments for all five functions. Every call must return the
reference's samples bit for bit or raise exactly the exception that the
frame's rules give (call_model), leave the time array as it was, and leave no
borrow of it behind."""
import warnings

import numpy as np
from hypothesis import assume, event, given
from hypothesis import strategies as st

import call_model as model

SCALARS = model.scalar_objects()
OTHER_TIMES = model.other_time_objects()
UNKNOWN_NAMES = ["z", "Time", "amplitude ", "t", "num_harmonic", "\udc80", "é", "",
                 model.Shown("zz")]

# Keep the sums of fourier_square_wave short; a larger count is still drawn,
# and called when it is not reached (no samples, or an earlier error).
MAX_TERMS = 2000


def sometimes(one_in):
    """True about once in `one_in` draws; shrinks to False."""
    return st.sampled_from([False] * (one_in - 1) + [True])


def mostly(usual, unusual, one_in=4):
    """`usual`, or about once in `one_in` draws `unusual`; shrinks to usual."""
    return sometimes(one_in).flatmap(lambda rare: unusual if rare else usual)


doubles = mostly(st.one_of(st.floats(), st.integers(-10, 10)), st.sampled_from(SCALARS), 8)
counts = mostly(st.integers(0, 8), st.one_of(st.sampled_from(SCALARS), st.integers()), 8)


@st.composite
def time_arrays(draw):
    """Mostly a one-dimensional float64 array that a call accepts, in any
    memory; otherwise any array."""
    if draw(mostly(st.just(True), st.just(False), 5)):
        length = draw(st.integers(0, 12))
        dtype = draw(st.sampled_from(["<f8", "=f8"]))
        shape = (length,)
        steps = [draw(mostly(st.just(1), st.sampled_from([-1, 0, 2])))]
    else:
        ndim = draw(st.integers(0, 3))
        shape = tuple(draw(st.lists(st.integers(0, 12 if ndim == 1 else 4),
                                    min_size=ndim, max_size=ndim)))
        steps = draw(st.lists(st.sampled_from([1, -1, 0, 2, -2, 3]), min_size=ndim, max_size=ndim))
        dtype = draw(st.sampled_from(model.DTYPES))
    return model.make_time_array(
        dtype=dtype,
        shape=shape,
        steps=steps,
        misalign=draw(st.sampled_from([0, 0, 1, 4])),
        subclass=draw(mostly(st.none(), st.sampled_from(model.SUBCLASSES), 8)),
        read_only=draw(st.booleans()),
        raw_bytes=draw(st.binary(min_size=1, max_size=24)),
        values=draw(st.lists(st.floats(), max_size=6)),
    )


times = mostly(
    time_arrays(),
    st.one_of(st.sampled_from(OTHER_TIMES).map(lambda obj: model.TimeArray(obj, None, None)),
              st.builds(model.huge_zero_stride_array)),
    6)


@st.composite
def calls(draw):
    """A function, its time argument, and the positional values and keyword
    (name, value) pairs of one call, and whether it goes straight into the
    C entry."""
    function = draw(st.sampled_from(sorted(model.PARAMETERS)))
    parameters = model.PARAMETERS[function]
    time = draw(times)
    values = [time.array] + [draw(counts if p == model.COUNT_PARAMETER else doubles)
                             for p in parameters[1:]]

    n_positional = draw(st.integers(0, len(parameters)))
    positional = values[:n_positional]
    keywords = [(model.Shown(name) if draw(sometimes(10)) else name, value)
                for name, value in zip(parameters[n_positional:], values[n_positional:])]
    if draw(sometimes(5)):
        fault = draw(st.sampled_from(["surplus", "missing", "unknown", "twice"]))
        if fault == "surplus":
            positional = values + draw(st.lists(doubles, min_size=1, max_size=2))
            keywords = keywords[:draw(st.integers(0, len(keywords)))]
        elif fault == "missing" and keywords:
            del keywords[draw(st.integers(0, len(keywords) - 1))]
        elif fault == "unknown":
            keywords.append((draw(st.sampled_from(UNKNOWN_NAMES)), draw(doubles)))
        elif fault == "twice" and n_positional:
            keywords.append((draw(st.sampled_from(parameters[:n_positional])), draw(doubles)))
    keywords = draw(st.permutations(keywords))

    raw = draw(st.booleans())
    if raw:
        if keywords and draw(sometimes(10)):
            keywords.append((keywords[0][0], draw(doubles)))  # the same name twice
        if draw(sometimes(20)):
            keywords.insert(draw(st.integers(0, len(keywords))), (7, 1.0))  # not a str
    else:
        keywords = list(dict(keywords).items())  # as the interpreter passes them
    return function, time, positional, keywords, raw


def describe(outcome):
    """The kind of outcome, for hypothesis's statistics."""
    if isinstance(outcome, model.Raises):
        return f"raises {outcome.type.__name__}: {outcome.message.split(':')[0][:40]}"
    return type(outcome).__name__


@given(call=calls(), warnings_action=st.sampled_from(["error", "ignore"]))
def test_every_call_returns_the_reference_or_raises_exactly(call, warnings_action, registry):
    function, time, positional, keywords, raw = call
    before = None if time.memory is None else time.memory.tobytes()
    with warnings.catch_warnings():
        warnings.simplefilter(warnings_action)
        expected = model.expected_outcome(function, positional, keywords)
        assume(not isinstance(expected, model.Returns) or expected.cost <= MAX_TERMS)
        event(describe(expected))
        result = model.check_call(
            expected, lambda: model.call(function, positional, keywords, raw))
        assert result is None or not np.shares_memory(result, time.array)

    if time.memory is not None:
        assert time.memory.tobytes() == before
        assert registry.is_free(time.memory)
    if time.twin is not None:
        assert registry.is_free(time.twin)
