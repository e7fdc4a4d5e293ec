"""Test-session set-up: the Hypothesis profile (tests/profiles.py) is loaded
before any test module builds its strategies and settings."""
import profiles


def pytest_report_header(config):
    return f"hypothesis profile: {profiles.PROFILE} (ZEL_HYPOTHESIS)"
