"""A few seconds of the soak (tests/soak.py, which CI also runs on its own for minutes):
concurrent setters, polls and listener toggles on one object, objects created and
deleted beside it, input reports at 1000 per second. Short enough for every build,
sanitized ones included, so the same concurrent paths run under them too."""
import os

import pytest

import soak

pytestmark = [
    pytest.mark.threaded,
    pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc"),
]


def test_short_soak_passes_its_checks():
    lines = []
    failures, counts = soak.run(seconds=4, flat=False, out=lines.append)
    assert failures == [], "\n".join(lines)
    # Every kind of load actually ran.
    assert counts["objects"] > 1 and counts["toggles"] > 0 and counts["calls"] > 0
