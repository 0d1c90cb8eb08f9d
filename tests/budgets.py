"""Test budgets, chosen by the environment variable ONDULIX_PROFILE.

- full (the default): long fuzzing runs and the soak of a million calls; what
  `make test` runs.
- quick: short fuzzing runs and a short soak, for runs repeated per
  interpreter and NumPy version or under the sanitizers.

The hypothesis profiles of the same names are registered in conftest.py."""
import os

PROFILES = ("full", "quick")

PROFILE = os.environ.get("ONDULIX_PROFILE") or "full"
if PROFILE not in PROFILES:
    raise ValueError(f"ONDULIX_PROFILE must be one of {PROFILES}, not {PROFILE!r}")

FULL = PROFILE == "full"


def soak_calls():
    """How many calls the soak makes in one process."""
    return 1_000_000 if FULL else 50_000
