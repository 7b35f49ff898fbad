"""Engine lifecycle beyond what the fault matrix and the soak show: a second init, one
engine per object, terminate."""
from torqpanel import torqline


def test_init_twice_runs_discovery_once(board):
    obj = torqline()
    assert obj.init() is True
    board.unplug()  # a second pass would find nothing
    assert obj.init() is True
    assert len(board.frames) == 1


def test_two_objects_own_separate_engines(bus):
    boards = [bus.add_board(serial="ONE"), bus.add_board(serial="TWO")]
    objects = [torqline("ONE"), torqline("TWO")]
    for obj, text in zip(objects, ("111", "222")):
        assert obj.init() is True
        obj.set_central_panel(text)
    for obj in objects:
        obj.show_me()
    assert [b.frames[-1][27:30] for b in boards] == [b"111", b"222"]


def test_terminate_keeps_the_device_open(dev, board):
    assert dev.terminate() is True
    dev.show_me()
    assert (len(board.frames), board.open_handles) == (2, 3)
