# A few seconds of tests/soak.py (which CI runs on its own for minutes), short enough for
# every build, so that its concurrent paths run under the sanitizers too.
import os

import pytest

import soak


@pytest.mark.threaded
@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_short_soak_passes_its_checks():
    failures, counts = soak.run(seconds=4)
    assert failures == []  # the soak's own report is in the captured output
    assert counts["objects"] > 1 and all(counts.values()), counts  # every kind of load actually ran
