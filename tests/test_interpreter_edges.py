"""The module in the corners of the interpreter: sub-interpreters, threads,
and a keyboard interrupt that arrives while a call runs."""
import json
import sys
import threading
import time

import numpy as np
import pytest

import call_model as model
import ondulix
import waveform_reference as ref

SUBINTERPRETERS = """
    import json, os, sys, tempfile
    import numpy as np
    import ondulix
    import waveform_reference as ref

    try:
        import _interpreters as low            # 3.13
        def create(isolated):
            return low.create("isolated" if isolated else "legacy")
    except ImportError:
        try:
            import _xxsubinterpreters as low   # 3.9 to 3.12
        except ImportError:
            print(json.dumps(None))
            sys.exit(0)
        def create(isolated):
            return low.create(isolated=isolated)

    def run(isolated, script):
        interpreter = create(isolated)
        try:
            low.run_string(interpreter, script)
        finally:
            low.destroy(interpreter)

    t = np.linspace(-1.0, 3.0, 9)
    before = ondulix.harmonic_oscillator(t, 1.5, -0.25, 2.0, 0.5, 0.125)
    results = {}
    for isolated in (True, False):
        path = tempfile.mktemp()
        run(isolated, f'''
    import sys
    try:
        import ondulix
        outcome = "imported"
    except BaseException as error:
        outcome = type(error).__name__ + ": " + str(error)
    with open({path!r}, "w") as out:
        out.write(outcome + "\\\\n" + str("ondulix" in sys.modules))
    ''')
        with open(path) as result:
            results["isolated" if isolated else "legacy"] = result.read().split("\\n")
        os.remove(path)

    after = ondulix.harmonic_oscillator(t, 1.5, -0.25, 2.0, 0.5, 0.125)
    expected = ref.evaluate(ref.harmonic_oscillator, t, 1.5, -0.25, 2.0, 0.5, 0.125)
    results["main"] = [ref.same_bits(before, expected), ref.same_bits(after, expected),
                       ondulix is sys.modules["ondulix"]]
    print(json.dumps(results))
"""


def test_import_in_a_subinterpreter_fails_and_leaves_the_module_working(python):
    results = json.loads(python(SUBINTERPRETERS).splitlines()[-1])
    if results is None:
        pytest.skip("this Python offers no sub-interpreters from Python code")
    assert results.pop("main") == [True, True, True]
    # Initialising a second time anywhere in the process is refused; from 3.12
    # on an isolated interpreter refuses single-phase modules before that.
    once = "ImportError: ondulix may be initialised only once per interpreter process"
    refused = "ImportError: module ondulix does not support loading in subinterpreters"
    assert results["isolated"][0] in (once, refused)
    assert results["legacy"] == [once, "False"]
    assert results["isolated"][1] == "False"


class YieldingFloat:
    """Lets other threads run while the call converts it."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def test_calls_from_many_threads_give_exact_results(registry):
    shared = np.linspace(-4.0, 9.0, 97)
    own = [np.linspace(-k, 2.0 * k, 31 + k) for k in range(4)]
    calls = [(name, time, args) for time in [shared] + own for name, args in [
        ("harmonic_oscillator", (1.5, -0.25, YieldingFloat(2.0), 0.5, 0.125)),
        ("pseudo_square_wave", (YieldingFloat(0.75), 0.1, 3.0, -0.5, 1.0)),
        ("fourier_square_wave", (1.0, -0.05, 1.25, 0.0, 0.5, 7)),
        ("pseudo_cycloid_wave", (2.0, 0.0, YieldingFloat(-1.5), 0.25, -1.0)),
        ("transient_impulse", (1.0, 6.0, YieldingFloat(0.4), 0.5)),
    ]]
    expected = [model.expected_outcome(name, [time, *args]) for name, time, args in calls]
    expected = [(outcome, outcome.expected()) for outcome in expected]
    # A failing call and a refused argument among them.
    broken = [np.linspace(0.0, 1.0, 16)[::2], "not an array"]
    failures = []

    def work(seed):
        order = np.random.default_rng(seed).permutation(len(calls) * 8) % len(calls)
        try:
            for i in order:
                name, time, args = calls[i]
                outcome, samples = expected[i]
                outcome.check(getattr(ondulix, name)(time, *args), samples)
                for bad in broken:
                    outcome = model.expected_outcome(name, [bad, *args])
                    model.check_call(outcome, lambda: getattr(ondulix, name)(bad, *args))
        except BaseException as error:  # noqa: B036
            failures.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []
    assert all(registry.is_free(time) for time in [shared] + own + broken[:1])


INTERRUPTED_CALL = """
    import collections, itertools, json, signal, time
    import numpy as np
    import ondulix
    import waveform_reference as ref

    # A long call: 40,000 samples of 1,000 harmonics each.
    t = np.linspace(0.0, 50.0, 40_000)
    args = (t, 1.0, -0.02, 2.0, 0.3, 0.5, 1000)
    uninterrupted = ondulix.fourier_square_wave(*args)

    # SIGALRM, 50 ms into the call, handled like SIGINT: the interpreter's
    # default handler raises KeyboardInterrupt once Python code runs again.
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    results = []
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        # Only C code between the call and results.append: the result is
        # stored, with the timer state right after the call, before any
        # bytecode could act on the interrupt.
        collections.deque(map(results.append, zip(
            itertools.starmap(ondulix.fourier_square_wave, [args]),
            itertools.starmap(signal.getitimer, [(signal.ITIMER_REAL,)]))), maxlen=0)
        interrupted = False
    except KeyboardInterrupt:
        interrupted = True

    report = {"interrupted": interrupted, "returned": len(results) == 1}
    if results:
        (result, timer_after_call), = results
        samples = [0, 1, 12_345, 39_999]
        expected = [ref.fourier_square_wave(float(t[i]), 1.0, -0.02, 2.0, 0.3, 0.5, 1000)
                    for i in samples]
        report.update({
            "timer_fired_during_call": timer_after_call == (0.0, 0.0),
            "complete": ref.same_bits(result, uninterrupted),
            "exact": ref.same_bits(result[samples], expected),
        })
    print(json.dumps(report))
"""


def test_keyboard_interrupt_during_a_call_takes_effect_after_it_returns(python):
    report = json.loads(python(INTERRUPTED_CALL).splitlines()[-1])
    assert report.get("timer_fired_during_call", True), "the call ended before the signal came"
    assert report == {"interrupted": True, "returned": True, "timer_fired_during_call": True,
                      "complete": True, "exact": True}
