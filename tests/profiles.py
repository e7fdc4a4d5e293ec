"""Hypothesis profiles, chosen by ZEL_HYPOTHESIS (loaded by tests/conftest.py).

- `quick` (the default; `make test`): Hypothesis's defaults and each test's own
  example count.
- `thorough` (`ZEL_HYPOTHESIS=thorough`, `make test-thorough`, the nightly
  run): THOROUGH_FACTOR times the examples of every test and no deadline.

Tests that set their own count write `@settings(max_examples=examples(60))`
so that the count follows the profile (a plain number would override it).
"""
import os

from hypothesis import HealthCheck, settings

THOROUGH_FACTOR = 10
PROFILES = ("quick", "thorough")
PROFILE = os.environ.get("ZEL_HYPOTHESIS") or "quick"
if PROFILE not in PROFILES:
    raise ValueError(f"ZEL_HYPOTHESIS={PROFILE!r}: expected one of {', '.join(PROFILES)}")

settings.register_profile("quick", print_blob=True)
settings.register_profile("thorough", max_examples=100 * THOROUGH_FACTOR, deadline=None, print_blob=True,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(PROFILE)


def examples(n: int) -> int:
    """A test's example count in the active profile (n in the quick one)."""
    return n * THOROUGH_FACTOR if PROFILE == "thorough" else n
