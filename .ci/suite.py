"""Run the whole test suite in this interpreter, after saying which NumPy and
which ondulix binary this very process imported.

    python .ci/suite.py EXPECTED_NUMPY [pytest arguments...]

EXPECTED_NUMPY is a version prefix such as "1.26.", or "" for any NumPy 2.x
or later; a mismatch, or an ondulix that is not this environment's own
installation, fails before any test runs. Run it from the repository root:
the working directory takes the place of this script's directory on sys.path,
as with `python -m pytest`.
"""
import hashlib
import os
import sys


def main():
    sys.path[0] = os.getcwd()

    import numpy
    import ondulix
    import pytest

    expected = sys.argv[1]
    module = ondulix.__file__
    with open(module, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:16]
    print(f"python {sys.version.split()[0]} ({sys.executable})")
    print(f"numpy {numpy.__version__} ({numpy.__file__})")
    print(f"ondulix {module} (sha256 {digest})")
    print(f"ci-run: numpy={numpy.__version__} sha256={digest}", flush=True)
    if not module.startswith(sys.prefix + os.sep):
        sys.exit("ondulix was not imported from this environment's installation")
    major = int(numpy.__version__.split(".")[0])
    if (expected and not numpy.__version__.startswith(expected)) or (not expected and major < 2):
        sys.exit(f"expected NumPy {expected or '2.x or later'}, found {numpy.__version__}")
    return pytest.main(sys.argv[2:])


# Worker processes that tests spawn (dask's, multiprocessing's) import this
# script again as __main__; only the parent runs the suite.
if __name__ == "__main__":
    sys.exit(main())
