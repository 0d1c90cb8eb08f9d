import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

import budgets
import ondulix

# Example counts per hypothesis test; deadlines are off because the timing of
# one example says nothing here (and sanitizer builds are several times
# slower).
_HYPOTHESIS = dict(deadline=None, print_blob=True,
                   suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("full", max_examples=10000, **_HYPOTHESIS)
settings.register_profile("quick", max_examples=300, **_HYPOTHESIS)
settings.load_profile(budgets.PROFILE)


def run_python(code, timeout=120):
    """Run code in a fresh interpreter; the tests directory is importable."""
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [here, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout, env=env,
    )


@pytest.fixture
def python():
    """A fresh interpreter that must succeed; returns its standard output."""
    def run(code, timeout=120):
        proc = run_python(code, timeout)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        return proc.stdout
    return run


@pytest.fixture
def t():
    return np.linspace(-3.0, 7.0, 11)


@pytest.fixture(scope="session")
def internal_failure_class():
    """The class of the module's internal failures, caught from a real one."""
    from call_model import internal_failure_class
    return internal_failure_class()


@pytest.fixture(scope="session")
def registry():
    from registry_access import Registry
    ondulix.harmonic_oscillator(np.zeros(1), 1.0, 0.0, 1.0, 0.0, 0.0)
    return Registry()
