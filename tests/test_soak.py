# A few seconds of the soak (tests/soak.py, which CI also runs on its own for minutes):
# concurrent setters, polls and listener toggles on one object, objects created and
# deleted beside it, input reports at 1000 per second. Short enough for every build,
# sanitized ones included, so the same concurrent paths run under them too.
import os

import pytest

import soak


@pytest.mark.threaded
@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_short_soak_passes_its_checks():
    failures, counts = soak.run(seconds=4)
    assert failures == []  # the soak's own report is in the captured output
    assert counts["objects"] > 1 and all(counts.values()), counts  # every kind of load actually ran
