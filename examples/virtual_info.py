"""Opens a board on a virtual HID bus and prints every get_device_info key and the
report the board received.

Runs anywhere: no board is needed. The virtual board gets the device path a board has
on this system (its hidraw node on Linux; on Windows the bus makes up an interface path
of the Windows form). With a real board attached, drop the VirtualBus block and
torqline().init() finds the board on the system's HID bus instead.
"""
import sys

import torqpanel
import torqsim

KEYS = ["version", "name", "ticks", "type", "vendor id", "product id", "firmware",
        "serial number", "device path", "panel count", "digits", "gear", "max rpm led",
        "max warning led", "max external led", "brightness", "digital", "analog",
        "rumble motor", "connected"]
PATH = "/dev/hidraw0" if sys.platform.startswith("linux") else None

with torqsim.VirtualBus() as bus:
    board = bus.add_board(serial="A1B2", version=0x0105, path=PATH)
    dash = torqpanel.torqline()
    print("init:", dash.init())
    for key in KEYS:
        print(f"{key:>16}: {dash.get_device_info(key)!r}")
    dash.set_gear("3")
    dash.set_central_panel("1.2")
    dash.show_me()
    print(f"{'last report':>16}: {board.frames[-1].hex(' ')}")
    del dash
