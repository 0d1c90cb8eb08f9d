"""Installed into the sanitizer run's environment and imported by a .pth file
at every interpreter start, children included: applies UBSAN_OPTIONS'
log_path to the UndefinedBehaviorSanitizer runtime.

With GCC, a module built with both sanitizers calls a separate UBSan runtime
that ignores log_path and writes its reports to the standard error of the
process that made them, which a test may capture and discard. Setting the
report path through that runtime's own entry point sends them to files the
sanitizer run inspects.
"""
import ctypes
import os


def _apply():
    options = dict(item.split("=", 1)
                   for item in os.environ.get("UBSAN_OPTIONS", "").split(":") if "=" in item)
    path = options.get("log_path")
    libraries = [entry for entry in os.environ.get("LD_PRELOAD", "").split()
                 if os.path.basename(entry).startswith("libubsan.")]
    if path and libraries:
        ctypes.CDLL(libraries[0]).__sanitizer_set_report_path(path.encode())


_apply()
