"""Engine lifecycle beyond what the fault matrix, the soak and the bad-input twins (one
engine per object) show: a second init, terminate."""
from torqpanel import torqline


def test_init_twice_runs_discovery_once(board):
    obj = torqline()
    assert obj.init() is True
    board.unplug()  # a second pass would find nothing
    assert obj.init() is True
    assert len(board.frames) == 1


def test_terminate_keeps_the_device_open(dev, board):
    assert dev.terminate() is True
    dev.show_me()
    assert (len(board.frames), board.open_handles) == (2, 3)
