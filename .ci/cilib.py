"""What the matrix and the sanitizer run share: logged commands, virtual
environments, the module's wheel build, and a pytest run that records which
NumPy and which ondulix binary it actually imported."""
import os
import re
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
BUILD = REPO / "build" / "ci"
LOGS = BUILD / "logs"

# pip on this machine's kind names an index directory that may not exist; it
# says so once per package, which buries everything else in the log.
_NOISE = re.compile(r"^\s*WARNING: Location '.*' is ignored: it is neither a file nor a directory\.\s*$")

# The test budgets that the tests read: "full" (the default) or "quick".
PROFILE_VARIABLE = "ONDULIX_PROFILE"


class StepFailed(Exception):
    """A command of a CI step did not succeed; its output is in the log."""


def base_env(**extra):
    """The environment of every command: the machine's, without a profile or
    preload inherited from the caller, plus what the step asks for."""
    env = dict(os.environ)
    for name in (PROFILE_VARIABLE, "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS",
                 "LSAN_OPTIONS", "PYTHONMALLOC", "PYTHONPATH", "VIRTUAL_ENV"):
        env.pop(name, None)
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    env.update(extra)
    return env


class Log:
    """One step's log file; every command's output goes there, filtered."""

    def __init__(self, path):
        self.path = Path(path)
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self.path.write_text("")

    def write(self, text):
        with self.path.open("a") as f:
            f.write(text if text.endswith("\n") else text + "\n")

    def run(self, cmd, *, env=None, cwd=REPO, timeout=1800, check=True, to=None, quiet=False):
        """Run cmd with its output appended to this log (or to the log `to`;
        when quiet, only if it fails); returns (exit code, output text)."""
        target = to or self
        shown = " ".join(str(c) for c in cmd)
        target.write(f"$ {shown}")
        started = time.monotonic()
        try:
            proc = subprocess.run([str(c) for c in cmd], cwd=str(cwd), env=env or base_env(),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=timeout)
            code, raw = proc.returncode, proc.stdout
        except subprocess.TimeoutExpired as expired:
            code, raw = -1, (expired.stdout or b"") + f"\n[timed out after {timeout} s]\n".encode()
        text = "".join(line for line in raw.decode("utf-8", "replace").splitlines(True)
                       if not _NOISE.match(line))
        if not quiet or code != 0:
            target.write(text)
        target.write(f"[exit {code} after {time.monotonic() - started:.1f} s]")
        if check and code != 0:
            raise StepFailed(f"{shown} exited {code} (log: {target.path})")
        return code, text


def make_venv(log, python, path):
    """A fresh virtual environment; returns its interpreter."""
    log.run([python, "-m", "venv", "--clear", path])
    return Path(path) / "bin" / "python"


def build_wheel(log, python, wheel_dir, build_log, defines=(), settings=()):
    """Build ondulix's wheel the way `pip install .` does (an isolated build
    environment with the newest NumPy 2.x the interpreter supports), with the
    given CMake definitions and scikit-build-core settings. Returns the wheel
    and the NumPy version whose headers were compiled against."""
    wheel_dir = Path(wheel_dir)
    if wheel_dir.exists():
        for old in wheel_dir.glob("*.whl"):
            old.unlink()
    cmd = [python, "-m", "pip", "wheel", "--no-deps", "-v", "-w", wheel_dir,
           "--config-settings=build.verbose=true"]
    cmd += [f"--config-settings=cmake.define.{name}={value}" for name, value in defines]
    cmd += [f"--config-settings={setting}" for setting in settings]
    cmd.append(REPO)
    log.write(f"building the wheel; full output in {build_log.path}")
    _, text = log.run(cmd, to=build_log)
    headers = re.search(r"ondulix: NumPy (\S+) headers in (\S+)", text)
    if headers is None:
        raise StepFailed(f"the build did not say which NumPy headers it used ({build_log.path})")
    log.write(f"built against NumPy {headers.group(1)} headers ({headers.group(2)})")
    if not headers.group(1).startswith("2."):
        raise StepFailed(f"built against NumPy {headers.group(1)} headers, not 2.x")
    wheels = sorted(wheel_dir.glob("ondulix-*.whl"))
    if len(wheels) != 1:
        raise StepFailed(f"expected one wheel in {wheel_dir}, found {wheels}")
    log.write(f"wheel: {wheels[0].name}")
    return wheels[0], headers.group(1), text


def require_flags(log, build_text, flags):
    """Every compiler invocation of the module's sources carries the flags."""
    compiles = [line for line in build_text.splitlines()
                if " -c " in line and "/src/" in line and line.rstrip().endswith(".cpp")]
    if not compiles:
        raise StepFailed("no compiler command lines in the build output")
    for flag in flags:
        missing = [line for line in compiles if flag not in line.split()]
        if missing:
            raise StepFailed(f"{flag} missing from: {missing[0].strip()}")
    log.write(f"all {len(compiles)} compiler commands carry {' '.join(flags)}")


def install_wheel(log, python, wheel):
    """The wheel with its test extra; NumPy comes as the newest release with a
    wheel for this interpreter."""
    log.run([python, "-m", "pip", "install", "--only-binary=numpy", f"{wheel}[test]"])


_COUNT = re.compile(r"(\d+) (passed|failed|skipped|errors?|xfailed|xpassed|deselected)\b")


def run_pytest(log, python, profile, expected_numpy="", env=None, args=("-q",)):
    """Run the whole suite from the repository root; returns a dict with the
    exit code, the NumPy version and module digest seen, the pytest counts and
    the wall time."""
    env = dict(env or base_env())
    env[PROFILE_VARIABLE] = profile
    started = time.monotonic()
    code, text = log.run(
        [python, REPO / ".ci" / "suite.py", expected_numpy, "-p", "no:cacheprovider", *args],
        env=env, check=False)
    seen = re.search(r"^ci-run: numpy=(\S+) sha256=(\S+)$", text, re.M)
    summary = ""
    for line in reversed(text.splitlines()):
        if _COUNT.search(line) and " in " in line:
            summary = line.strip("= ")
            break
    return {
        "code": code,
        "numpy": seen.group(1) if seen else "?",
        "sha256": seen.group(2) if seen else "?",
        "summary": re.sub(r" in [\d.]+s.*$", "", summary) or "no pytest summary",
        "seconds": time.monotonic() - started,
    }


def table(header, rows):
    """A Markdown table, columns padded for reading in a log."""
    cells = [list(map(str, header))] + [list(map(str, row)) for row in rows]
    widths = [max(len(row[k]) for row in cells) for k in range(len(header))]
    lines = ["| " + " | ".join(cell.ljust(widths[k]) for k, cell in enumerate(row)) + " |"
             for row in cells]
    lines.insert(1, "|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(lines)


def banner(text):
    print(f"\n{'=' * 8} {text} {'=' * max(8, 70 - len(text))}", flush=True)


def show(path):
    """Copy a log file into the CI log."""
    sys.stdout.write(Path(path).read_text())
    sys.stdout.flush()
