"""Compile floor.c into an extension module for the running interpreter, with
the floating-point flags of ondulix itself, and import it."""
import importlib.util
import os
import shlex
import subprocess
import sysconfig
from pathlib import Path

import numpy as np

SOURCE = Path(__file__).resolve().parent / "floor.c"
FLAGS = ["-O2", "-ffp-contract=off", "-fno-fast-math", "-fPIC", "-shared",
         "-Wall", "-Wextra", "-Wno-unused-parameter"]


def load_floor(build_dir):
    build_dir.mkdir(parents=True, exist_ok=True)
    target = build_dir / ("_floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not target.exists() or target.stat().st_mtime < SOURCE.stat().st_mtime:
        compiler = shlex.split(os.environ.get("CC", "cc"))
        command = compiler + FLAGS + [
            "-I" + sysconfig.get_paths()["include"], "-I" + np.get_include(),
            str(SOURCE), "-o", str(target), "-lm"]
        subprocess.run(command, check=True)
    location = importlib.util.spec_from_file_location("_floor", target)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    return module
