"""Opens a board on a virtual HID bus and prints what the module knows about it.

Runs anywhere: no board is needed. With a real board attached, drop the VirtualBus
block and torqline().init() finds the board on the system's HID bus instead.
"""
import torqpanel
import torqsim

KEYS = ["version", "name", "type", "vendor id", "product id", "firmware", "serial number",
        "device path", "panel count", "digits", "gear", "max rpm led", "max warning led",
        "max external led", "brightness", "digital", "analog", "rumble motor"]

with torqsim.VirtualBus() as bus:
    board = bus.add_board(serial="A1B2", version=0x0105)
    dash = torqpanel.torqline()
    print("init:", dash.init())
    for key in KEYS:
        print(f"{key:>16}: {dash.get_device_info(key)!r}")
    dash.set_gear("3")
    dash.set_central_panel("1.2")
    dash.show_me()
    print(f"{'last report':>16}: {board.frames[-1].hex(' ')}")
    del dash
