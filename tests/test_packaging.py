"""The sdist, a wheel built from it, and that wheel in a fresh environment."""
import email
import json
import os
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import numpy as np

import ondulix

ROOT = Path(__file__).resolve().parent.parent
VERSION = "0.1.0"

# What building the module from the sdist needs, and what it documents.
SDIST_FILES = [
    "pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "PKG-INFO",
    "src/ondulix.pyi", "src/python.h", "src/call_frame.h", "src/call_frame.cpp",
    "src/arrays.h", "src/arrays.cpp", "src/lib/module.cpp", "src/lib/waveforms.h",
    "python/ondulix_dask.py",
]

CALLS = [
    ("harmonic_oscillator", (1.0, -0.3, 2.0, 0.25, 0.5)),
    ("pseudo_square_wave", (2.0, 0.1, 1.5, -1.0, 0.0)),
    ("fourier_square_wave", (0.5, -0.2, 1.0, 0.0, 0.0, 7)),
    ("pseudo_cycloid_wave", (0.5, 0.0, 0.75, 0.1, -2.0)),
    ("transient_impulse", (1.0, 6.0, 0.4, 0.0)),
]

# Run in the fresh environment: where ondulix was imported from, its
# metadata, and the bits of every function's samples.
SMOKE = """
import importlib.metadata, json, sys
import numpy as np
import ondulix
t = np.linspace(-20.0, 20.0, 1001)
calls = json.loads(sys.argv[1])
meta = importlib.metadata.metadata("ondulix")
print(json.dumps({
    "file": ondulix.__file__,
    "all": ondulix.__all__,
    "version": importlib.metadata.version("ondulix"),
    "license": meta["License-Expression"],
    "requires_python": meta["Requires-Python"],
    "requires": importlib.metadata.requires("ondulix"),
    "samples": {name: getattr(ondulix, name)(t, *args).tobytes().hex() for name, args in calls},
}))
"""


def run(*command, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV")}
    proc = subprocess.run([str(c) for c in command], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=1200)
    assert proc.returncode == 0, f"{command}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def test_sdist_builds_a_wheel_that_works_in_a_fresh_environment(tmp_path):
    # The sdist, then a wheel from it alone: nothing the build needs may be
    # missing from the sdist.
    run(sys.executable, "-m", "build", "--sdist", "--outdir", tmp_path / "dist", ROOT,
        cwd=tmp_path)
    sdist = tmp_path / "dist" / f"ondulix-{VERSION}.tar.gz"
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    assert set(SDIST_FILES) <= names, sorted(set(SDIST_FILES) - names)
    assert not any(name.startswith((".venv", "build/", ".git/", ".ci/")) for name in names)

    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", tmp_path / "wheels", sdist,
        cwd=tmp_path)
    [wheel] = (tmp_path / "wheels").glob(f"ondulix-{VERSION}-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        metadata = email.message_from_bytes(
            archive.read(f"ondulix-{VERSION}.dist-info/METADATA"))
    [extension] = [name for name in names if name.startswith("ondulix.") and name.endswith(".so")]
    assert "/" not in extension
    assert {"ondulix.pyi", "ondulix-stubs/__init__.pyi", "ondulix_dask.py",
            f"ondulix-{VERSION}.dist-info/licenses/LICENSE"} <= names
    assert metadata["Name"] == "ondulix" and metadata["Version"] == VERSION
    assert metadata["License-Expression"] == "MIT"
    assert metadata["Requires-Python"] == ">=3.9"
    assert "numpy>=1.26" in metadata.get_all("Requires-Dist")
    assert "Typing :: Typed" in metadata.get_all("Classifier")

    # A fresh environment with nothing but the wheel and what it requires.
    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", venv, cwd=tmp_path)
    python = venv / "bin" / "python"
    run(python, "-m", "pip", "install", "-q", wheel, cwd=tmp_path)
    report = json.loads(run(python, "-c", SMOKE, json.dumps(CALLS), cwd=tmp_path))

    assert Path(report["file"]).is_relative_to(venv)
    assert report["all"] == ondulix.__all__
    assert report["version"] == VERSION
    assert report["license"] == "MIT" and report["requires_python"] == ">=3.9"
    assert "numpy>=1.26" in report["requires"]
    # Two builds on the same C library: the same bits.
    t = np.linspace(-20.0, 20.0, 1001)
    for name, args in CALLS:
        assert report["samples"][name] == getattr(ondulix, name)(t, *args).tobytes().hex(), name
