"""The installed type stubs: what mypy accepts and flags, and that they match
the module at run time."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import ondulix

HEADER = """\
import numpy as np
import numpy.typing as npt
import ondulix
t = np.arange(5, dtype=np.float64)
t32 = np.zeros(5, dtype=np.float32)
"""

# Calls the stubs accept, and that run.
CORRECT = [
    "r: npt.NDArray[np.float64] = ondulix.harmonic_oscillator(t, 1.0, -0.1, 2.0, 0.0, 0.0)",
    "ondulix.pseudo_square_wave(time=t, amplitude=1, gamma=np.float64(-0.1), omega=2, phi=0.0, y=0.0)",
    "ondulix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, num_harmonics=np.uint64(8))",
    "ondulix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, True)",
    "ondulix.pseudo_cycloid_wave(t, np.float32(0.5), 0.0, 1.0, 0.0, 0.0)",
    "ondulix.transient_impulse(t, 1.0, 6.0, 0.4, equilibrium=0.0).sum()",
]

# Calls the stubs flag: mypy's error code and the gist of its message, and
# what the same line raises at run time.
WRONG = [
    ('ondulix.harmonic_oscillator("0.5", 1.0, 0.0, 1.0, 0.0, 0.0)', "arg-type",
     'Argument 1 to "harmonic_oscillator" has incompatible type "str"', TypeError),
    ("ondulix.harmonic_oscillator([0.5], 1.0, 0.0, 1.0, 0.0, 0.0)", "arg-type",
     'Argument 1 to "harmonic_oscillator" has incompatible type "list[float]"', TypeError),
    ("ondulix.harmonic_oscillator(t32, 1.0, 0.0, 1.0, 0.0, 0.0)", "arg-type",
     'Argument 1 to "harmonic_oscillator" has incompatible type', TypeError),
    ('ondulix.pseudo_square_wave(t, "1.0", 0.0, 1.0, 0.0, 0.0)', "arg-type",
     'Argument 2 to "pseudo_square_wave" has incompatible type "str"', TypeError),
    ("ondulix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0, 8.0)", "arg-type",
     'Argument 7 to "fourier_square_wave" has incompatible type "float"; expected "SupportsIndex"',
     TypeError),
    ("ondulix.fourier_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0)", "call-arg",
     'Missing positional argument "num_harmonics" in call to "fourier_square_wave"', TypeError),
    ("ondulix.transient_impulse(t, 1.0, 6.0, 0.4)", "call-arg",
     'Missing positional argument "equilibrium" in call to "transient_impulse"', TypeError),
    ("ondulix.pseudo_cycloid_wave(t, 0.5, 0.0, 1.0, 0.0, 0.0, 0.0)", "call-arg",
     'Too many arguments for "pseudo_cycloid_wave"', TypeError),
    ("ondulix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0, offset=0.0)", "call-arg",
     'Unexpected keyword argument "offset" for "harmonic_oscillator"', TypeError),
    ("ondulix.square_wave(t)", "attr-defined",
     'Module has no attribute "square_wave"', AttributeError),
    ("label: str = ondulix.transient_impulse(t, 1.0, 6.0, 0.4, 0.0)", "assignment",
     "Incompatible types in assignment", None),
]

DIAGNOSTIC = re.compile(r"^sample\.py:(\d+): (error|note): (.*?)(?:  \[([a-z-]+)\])?$")


def run_module(*args, cwd):
    """python -m ... in cwd, where mypy finds ondulix only where it is installed."""
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=600)


def test_mypy_passes_correct_calls_and_flags_wrong_ones(tmp_path):
    lines = HEADER.splitlines() + CORRECT + [call for call, *_ in WRONG]
    lines.append("reveal_type(ondulix.pseudo_square_wave(t, 1.0, 0.0, 1.0, 0.0, 0.0))")
    (tmp_path / "sample.py").write_text("\n".join(lines) + "\n")
    first_wrong = len(HEADER.splitlines()) + len(CORRECT) + 1

    cache = tmp_path / "mypy-cache"
    proc = run_module("mypy", "--no-error-summary", "--hide-error-context", "--no-pretty",
                      "--cache-dir", str(cache), "sample.py", cwd=tmp_path)
    found = {}
    for line in proc.stdout.splitlines():
        match = DIAGNOSTIC.match(line)
        if match is None and re.match(r"\S+\.pyi:\d+: note: ", line):
            continue  # mypy may point at the definition in the stubs
        assert match, f"unexpected mypy output: {line!r}\n{proc.stdout}{proc.stderr}"
        found.setdefault(int(match[1]), []).append((match[2], match[4], match[3]))

    expected_lines = set(range(first_wrong, first_wrong + len(WRONG))) | {len(lines)}
    assert set(found) == expected_lines, proc.stdout
    for number, (call, code, message, _) in enumerate(WRONG, start=first_wrong):
        # One error per line; notes may explain it ("defined in ...").
        errors = [(c, m) for kind, c, m in found[number] if kind == "error"]
        assert len(errors) == 1 and errors[0][0] == code, (call, found[number])
        assert message in errors[0][1], (call, errors[0][1])
    [(kind, _, revealed)] = found[len(lines)]
    assert kind == "note"
    # NumPy 2.0's stubs spell float64 as floating[_64Bit].
    assert re.fullmatch(r'Revealed type is "numpy\.ndarray\[.*numpy\.dtype\['
                        r'numpy\.(float64|floating\[numpy\._typing\._64Bit\])\]\]"',
                        revealed), revealed


def test_the_calls_mypy_judges_behave_the_same_at_run_time():
    namespace = {}
    exec("\n".join(HEADER.splitlines() + CORRECT), namespace)
    for call, _, _, error in WRONG:
        if error is None:
            exec(call, dict(namespace))
            continue
        with pytest.raises(error):
            exec(call, dict(namespace))


def test_stubs_are_installed_beside_the_module_and_match_it(tmp_path):
    module_dir = Path(ondulix.__file__).parent
    beside = module_dir / "ondulix.pyi"
    # mypy reads stubs of a single-file module only from a stub package.
    package = module_dir / "ondulix-stubs" / "__init__.pyi"
    assert beside.read_bytes() == package.read_bytes()

    # stubtest compares every name, parameter and parameter kind of the stubs
    # with the module it imports.
    proc = run_module("mypy.stubtest", "ondulix", cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success: no issues found in 1 module" in proc.stdout
