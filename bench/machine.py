"""What the numbers were measured on."""
import os
import platform
import shutil
import subprocess

import numpy as np


def _first_line(command):
    if shutil.which(command[0]) is None:
        return "unknown"
    done = subprocess.run(command, capture_output=True, text=True)
    return (done.stdout or done.stderr).strip().splitlines()[0] if done.returncode == 0 else "unknown"


def _cpuinfo():
    fields = {}
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if not line.strip():
                    break  # the first processor is enough
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        pass
    return fields


def _cpu_model():
    return _cpuinfo().get("model name") or platform.processor() or "unknown CPU"


def _cpu_details():
    fields = _cpuinfo()
    flags = set(fields.get("flags", "").split())
    details = [f"family {fields['cpu family']} model {fields['model']}"] if "model" in fields else []
    details += [name for flag, name in (("avx512f", "AVX-512"), ("amx_tile", "AMX")) if flag in flags]
    if shutil.which("lscpu"):
        done = subprocess.run(["lscpu"], capture_output=True, text=True)
        for line in done.stdout.splitlines():
            if line.startswith(("L2 cache:", "L3 cache:")):
                details.append(line.split(":")[0].replace(" cache", "") + " " + line.split(":", 1)[1].strip())
    return ", ".join(details)


def _hypervisor():
    done = subprocess.run(["lscpu"], capture_output=True, text=True) if shutil.which("lscpu") else None
    for line in (done.stdout.splitlines() if done else []):
        if line.startswith("Hypervisor vendor:"):
            return line.split(":", 1)[1].strip()
    return None


def _os_name():
    try:
        with open("/etc/os-release") as release:
            for line in release:
                if line.startswith("PRETTY_NAME="):
                    return line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return platform.system()


def _numpy_simd():
    try:
        from numpy._core._multiarray_umath import __cpu_dispatch__, __cpu_features__
    except ImportError:  # NumPy 1.x
        from numpy.core._multiarray_umath import __cpu_dispatch__, __cpu_features__
    return [name for name in __cpu_dispatch__ if __cpu_features__.get(name)]


def describe(numexpr):
    hypervisor = _hypervisor()
    cpu = _cpu_model()
    cores = os.cpu_count()
    info = {
        "CPU": cpu + f" ({_cpu_details()}" + (f"; {hypervisor} guest)" if hypervisor else ")"),
        "cores": str(cores),
        "OS": f"{_os_name()}, Linux {platform.release()}, {' '.join(platform.libc_ver())}",
        "Python": f"{platform.python_implementation()} {platform.python_version()}",
        "NumPy": f"{np.__version__} (SIMD targets in use: {', '.join(_numpy_simd()) or 'none'})",
        "numexpr": f"{numexpr.__version__} (default threads: {numexpr.get_num_threads()}, "
                   f"VML: {'yes' if numexpr.use_vml else 'no'})",
        "C compiler (floor)": _first_line(["cc", "--version"]),
        "load average at start": ", ".join(f"{x:.2f}" for x in os.getloadavg()),
    }
    info["summary"] = (f"{cpu}, {cores} cores, {_os_name()}, Python {platform.python_version()}, "
                       f"NumPy {np.__version__}")
    return info


def markdown(info):
    return "\n".join(f"- {key}: {value}" for key, value in info.items() if key != "summary") + "\n"
