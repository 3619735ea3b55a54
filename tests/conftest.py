"""Hypothesis profiles; the shared helpers are in helpers.py."""

import os

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the property tests skip themselves without it
    settings = None

if settings is not None:
    # VESK_HYPOTHESIS_PROFILE picks how hard the property tests search:
    # "ci" (default) keeps the whole CI run short, "quick" is for re-runs of
    # the suite against each built package, "thorough" searches long.
    _quiet = [HealthCheck.too_slow, HealthCheck.data_too_large]
    settings.register_profile("quick", max_examples=25, deadline=None,
                              suppress_health_check=_quiet)
    settings.register_profile("ci", max_examples=150, deadline=None,
                              suppress_health_check=_quiet)
    settings.register_profile("thorough", max_examples=5000, deadline=None,
                              suppress_health_check=_quiet)
    settings.load_profile(os.environ.get("VESK_HYPOTHESIS_PROFILE", "ci"))
