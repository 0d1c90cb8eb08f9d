"""The sanitizer run: an AddressSanitizer + UndefinedBehaviorSanitizer build
of the module (warnings as errors) runs the whole test suite (quick profile)
with the sanitizer runtimes preloaded into the interpreter, then a focused
leak check of the module's own allocations.

    python3 .ci/sanitize.py [--python PATH]

Every sanitizer report is written to a file under build/ci/sanitize/reports;
any report fails the run, whatever the exit code of the process that made it
(a subprocess test may expect its child to fail). Before the suite, deliberate
faults in a canary library show that a report from the interpreter, and from
a child started the way the tests start one, is seen.

The leak check runs the same workload of valid and failing calls for two
numbers of rounds with leak detection on: whatever leaks from an allocation
made under ondulix's code (its own C++ allocations and every Python object it
creates) must not grow with the number of calls. What leaks once, for the
life of the process, is listed. The canary leaks one block per round, so the
check must see exactly that growth in its own allocations.
"""
import argparse
import collections
import re
import shutil
import sys
import time
from pathlib import Path

from cilib import (BUILD, LOGS, REPO, Log, StepFailed, banner, base_env, build_wheel,
                   install_wheel, make_venv, require_flags, run_pytest, show, table)

HOME = BUILD / "sanitize"
REPORTS = HOME / "reports"
SANITIZE_FLAGS = ["-fsanitize=address,undefined", "-fno-sanitize-recover=all", "-Werror"]
# The one report line that is expected: a test asks for a 2 TiB result buffer,
# which the allocator refuses (allocator_may_return_null=1), and the module
# turns into MemoryError.
EXPECTED = re.compile(r"^==\d+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes$")
LEAK_ROUNDS = (10, 60)


def runtime_libraries(log, module):
    """The ASan and UBSan runtimes that the built module itself links."""
    _, text = log.run(["ldd", module], quiet=True)
    libs = {}
    for name in ("libasan", "libubsan"):
        match = re.search(rf"^\s*{name}\.so\.\d+ => (\S+)", text, re.M)
        if match is None:
            raise StepFailed(f"{module} does not link {name}")
        libs[name] = match.group(1)
    _, symbols = log.run(["nm", "-D", "--undefined-only", module], quiet=True)
    for prefix in ("__asan_report_load", "__ubsan_handle_"):
        count = len(re.findall(rf"\b{prefix}\w*", symbols))
        if count == 0:
            raise StepFailed(f"{module} has no {prefix}* calls: it is not instrumented")
        log.write(f"instrumented: {count} distinct {prefix}* entry points")
    log.write("runtimes to preload: " + " ".join(libs.values()))
    return libs


def sanitizer_env(libs, reports, leaks=False):
    """The environment of a sanitized interpreter and of every child it starts
    (children inherit it, LD_PRELOAD included). UBSan's log_path takes effect
    through ubsan_log_path.py, which install_report_hook puts in the
    environment."""
    reports.mkdir(parents=True, exist_ok=True)
    asan = {
        "detect_leaks": int(leaks),
        "allocator_may_return_null": 1,
        "halt_on_error": 1,
        "abort_on_error": 1,
        "log_path": reports / "asan",
    }
    if leaks:
        # Exact allocation stacks through uninstrumented code; the interpreter's
        # own leaks at exit are expected, so they do not set the exit code.
        asan.update(fast_unwind_on_malloc=0, malloc_context_size=60, abort_on_error=0,
                    exitcode=0)
    ubsan = {"halt_on_error": 1, "abort_on_error": 1, "print_stacktrace": 1,
             "log_path": reports / "ubsan"}
    return base_env(
        LD_PRELOAD=f"{libs['libasan']} {libs['libubsan']}",
        ASAN_OPTIONS=":".join(f"{k}={v}" for k, v in asan.items()),
        UBSAN_OPTIONS=":".join(f"{k}={v}" for k, v in ubsan.items()),
        # Python objects come from malloc, so ASan sees them: a use after free
        # or an overrun of an object by the module is reported.
        PYTHONMALLOC="malloc",
    )


def install_report_hook(log, python):
    """Make every interpreter of the environment apply UBSan's log_path."""
    _, out = log.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                     quiet=True)
    site = Path(out.strip().splitlines()[-1])
    shutil.copy(REPO / ".ci" / "ubsan_log_path.py", site / "_ondulix_ubsan_log_path.py")
    (site / "_ondulix_ubsan_log_path.pth").write_text("import _ondulix_ubsan_log_path\n")
    log.write(f"UBSan report path hook installed in {site}")


def collect_reports(log, reports):
    """Show every report file; returns the lines that are not expected."""
    unexpected = []
    for path in sorted(reports.glob("*")):
        text = path.read_text(errors="replace")
        log.write(f"--- {path.name} ---\n{text}")
        unexpected += [line for line in text.splitlines() if line.strip() and not EXPECTED.match(line)]
    return unexpected


def fresh(directory):
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    return directory


def check_canaries(log, python, libs, canary):
    """Each deliberate fault must leave a report file behind and end its
    process, also in a child started by the tests' own helper, which captures
    the child's standard error and exit code as a test would."""
    load = f"import ctypes; canary = ctypes.CDLL({str(canary)!r})"
    faults = [("heap overflow", f"{load}; canary.canary_heap_overflow(8)",
               "ERROR: AddressSanitizer: heap-buffer-overflow"),
              ("signed overflow", f"{load}; canary.canary_signed_overflow(5)",
               "runtime error: signed integer overflow")]
    for name, code, expected in faults:
        # The helper's child must fail; the parent says so by exiting 0.
        in_child = ("import conftest, sys; "
                    f"sys.exit(conftest.run_python({code!r}).returncode == 0)")
        for where, cmd in [("", [python, "-c", code]),
                           (" in a test's child", [python, "-c", in_child])]:
            reports = fresh(HOME / "canary-reports")
            exit_code, _ = log.run(cmd, env=sanitizer_env(libs, reports), cwd=REPO / "tests",
                                   check=False)
            found = "".join(p.read_text(errors="replace") for p in reports.glob("*"))
            if (exit_code != 0) != (where == "") or expected not in found:
                raise StepFailed(f"canary '{name}{where}': exit {exit_code}, report "
                                 f"{'found' if expected in found else 'missing'}")
            log.write(f"canary '{name}{where}': report file found ({expected})")


def leak_records(text, markers):
    """The leak records whose allocation stack passes through code matching a
    marker, summed per allocation site: {(kind, site): [bytes, objects]}."""
    sites = collections.defaultdict(lambda: [0, 0])
    for block in re.split(r"\n\s*\n", text):
        header = re.search(r"(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\)", block)
        if header is None:
            continue
        frames = [re.sub(r"^\s*#\d+ 0x[0-9a-f]+ in ", "", line)
                  for line in block.splitlines() if re.match(r"^\s*#\d+ ", line)]
        ours = [frame for frame in frames if any(m in frame for m in markers)]
        if ours:
            entry = sites[(header.group(1), ours[0])]
            entry[0] += int(header.group(2))
            entry[1] += int(header.group(3))
    return dict(sites)


def check_leaks(log, python, libs, canary, module):
    src = f"{REPO / 'src'}/"
    ondulix_markers = [src, Path(module).name]
    canary_markers = ["sanitizer_canary"]
    found = {}
    for rounds in LEAK_ROUNDS:
        reports = fresh(HOME / f"leak-reports-{rounds}")
        scratch = fresh(HOME / f"leak-scratch-{rounds}")
        # Its standard error is the module's internal-failure diagnostics,
        # shown only if it fails.
        code, out = log.run([python, REPO / ".ci" / "leak_workload.py", rounds, canary, scratch],
                            env=sanitizer_env(libs, reports, leaks=True), check=False,
                            quiet=True)
        shutil.rmtree(scratch, ignore_errors=True)
        text = "".join(p.read_text(errors="replace") for p in sorted(reports.glob("*")))
        errors = [line for line in text.splitlines()
                  if "ERROR:" in line and "ERROR: LeakSanitizer: detected memory leaks" not in line]
        errors += [line for line in text.splitlines() if "runtime error:" in line]
        if code != 0 or f"{rounds} rounds done" not in out or errors:
            log.write(text)
            raise StepFailed(f"the leak workload ({rounds} rounds) did not finish cleanly "
                             f"(exit {code}): {errors[:3]}")
        found[rounds] = (leak_records(text, ondulix_markers), leak_records(text, canary_markers))
        (LOGS / f"leaks-{rounds}.txt").write_text(text)
        log.write(f"{rounds} rounds: full leak report in {LOGS / f'leaks-{rounds}.txt'}")

    few, many = LEAK_ROUNDS
    canary_counts = {r: sum(objects for _, objects in found[r][1].values()) for r in LEAK_ROUNDS}
    log.write(f"canary: {canary_counts[few]} and {canary_counts[many]} blocks leaked "
              f"after {few} and {many} rounds")
    if canary_counts[few] != few or canary_counts[many] != many:
        raise StepFailed("the leak check does not see the canary's leaks: it cannot be trusted")

    once, growing = found[few][0], []
    for site in sorted(set(once) | set(found[many][0])):
        a, b = once.get(site, [0, 0]), found[many][0].get(site, [0, 0])
        if a != b:
            growing.append(f"{site[0]} leak from {site[1]}: {a[1]} objects ({a[0]} bytes) after "
                           f"{few} rounds, {b[1]} objects ({b[0]} bytes) after {many}")
        else:
            log.write(f"kept for the life of the process: {site[0].lower()} leak of {a[0]} "
                      f"bytes in {a[1]} object(s) from {site[1]}")
    if growing:
        raise StepFailed("leaks that grow with the number of calls:\n  " + "\n  ".join(growing))
    return sum(objects for _, objects in once.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--python", default=sys.executable,
                        help="the interpreter to build for (default: this one)")
    options = parser.parse_args()

    banner("sanitizers: AddressSanitizer + UndefinedBehaviorSanitizer")
    started = time.monotonic()
    log = Log(LOGS / "sanitize.log")
    rows, failed = [], False
    state = {}

    def step(name, action):
        nonlocal failed
        if name != "ASan+UBSan build" and not state:
            rows.append((name, "not run", "no build"))
            return
        t0 = time.monotonic()
        try:
            rows.append((name, "passed", action()))
        except StepFailed as failure:
            log.write(f"FAILED: {failure}")
            rows.append((name, "FAILED", str(failure).splitlines()[0][:90]))
            failed = True
        finally:
            log.write(f"[{name}: {time.monotonic() - t0:.1f} s]")

    def build():
        python = make_venv(log, options.python, HOME / "venv")
        wheel, headers, text = build_wheel(
            log, python, HOME / "wheel", Log(LOGS / "sanitize-build.log"),
            defines=[("ONDULIX_SANITIZE", "ON"), ("ONDULIX_WERROR", "ON")],
            settings=["cmake.build-type=RelWithDebInfo", "install.strip=false"])
        require_flags(log, text, SANITIZE_FLAGS)
        install_wheel(log, python, wheel)
        install_report_hook(log, python)
        _, origin = log.run([python, "-c", "import importlib.util as u; "
                             "print(u.find_spec('ondulix').origin)"], quiet=True)
        module = origin.strip().splitlines()[-1]
        libs = runtime_libraries(log, module)
        canary = HOME / "libsanitizer_canary.so"
        log.run(["g++", "-shared", "-fPIC", "-g", "-O1", *SANITIZE_FLAGS[:2],
                 REPO / ".ci" / "sanitizer_canary.cpp", "-o", canary])
        state.update(python=python, module=module, libs=libs, canary=canary)
        return f"NumPy {headers} headers, {' '.join(SANITIZE_FLAGS)}"

    def canaries():
        check_canaries(log, state["python"], state["libs"], state["canary"])
        return "heap and signed overflow reported, in the interpreter and in a test's child"

    def suite():
        reports = fresh(REPORTS)
        run = run_pytest(log, state["python"], "quick", env=sanitizer_env(state["libs"], reports))
        unexpected = collect_reports(log, reports)
        if run["code"] != 0 or unexpected:
            raise StepFailed(f"pytest exit {run['code']} ({run['summary']}); "
                             f"{len(unexpected)} unexpected report lines: {unexpected[:3]}")
        return f"{run['summary']}, numpy {run['numpy']}, no sanitizer report"

    def leaks():
        once = check_leaks(log, state["python"], state["libs"], state["canary"], state["module"])
        return (f"no growth from {LEAK_ROUNDS[0]} to {LEAK_ROUNDS[1]} rounds; "
                      f"{once} object(s) kept for the process's life")

    step("ASan+UBSan build", build)
    step("canaries", canaries)
    step("test suite under ASan+UBSan", suite)
    step("leak check of ondulix's allocations", leaks)

    show(log.path)
    summary = table(["sanitizer check", "result", "detail"], rows)
    (BUILD / "sanitize-summary.md").write_text(summary + "\n")
    banner(f"sanitizer summary ({time.monotonic() - started:.0f} s)")
    print(summary)
    passed = sum(r[1] == "passed" for r in rows)
    print(f"sanitize: {passed} passed, {len(rows) - passed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
