"""USB gadgets on dummy_hcd, one hid function each, bound by usbhid as on a real port; the
firmware side, /dev/hidgN, served by a process of its own that the program cannot stall."""
import multiprocessing
import os
import pathlib
import select
import threading
import time

GADGETS = pathlib.Path("/sys/kernel/config/usb_gadget")
BOOT_KEYBOARD = bytes.fromhex("05010906a101050719e029e71500250175019508810295017508810395057501"
                              "05081901290591029501750391039506750815002565050719002965"
                              "8100c0")


def wait_for(find, what, timeout=30.0):
    deadline = time.monotonic() + timeout
    while (found := find()) is None:
        if time.monotonic() > deadline:
            raise TimeoutError(f"{what} did not appear within {timeout} s")
        time.sleep(0.01)
    return found


def _make(directory, **files):
    """A configfs directory and the attribute files given (None: left as it is)."""
    directory.mkdir()
    for key, value in files.items():
        if value is not None:
            (directory / key).write_bytes(value if isinstance(value, bytes) else str(value).encode())
    return directory


class Gadget:
    def __init__(self, name, descriptor, vid=0x1DD2, pid=0x2011, version=0x0105, serial=None,
                 udc="dummy_udc.0", protocol=0, serve=None):
        """`serve`: the directory of the frames of a Firmware run from plug to unplug, or None."""
        self.root, self.udc, self.serial, self.serve = GADGETS / name, udc, serial, serve
        self.firmware = None
        self.ids = f"{vid:08X}:{pid:08X}"
        _make(self.root, idVendor=f"{vid:#06x}", idProduct=f"{pid:#06x}", bcdDevice=f"{version:#06x}")
        strings = self.root / "strings" / "0x409"
        _make(strings, manufacturer="torqpanel tests", product=name, serialnumber=serial)
        function = _make(self.root / "functions" / "hid.0", protocol=protocol, report_length=64,
                         report_desc=descriptor)
        (_make(self.root / "configs" / "c.1") / "function").symlink_to(function)
        # The function's node is made when the gadget binds, named by its minor number.
        self.hidg = "/dev/hidg" + (function / "dev").read_text().split(":")[1].strip()
        self.plug()

    def _node(self):
        for uevent in pathlib.Path("/sys/class/hidraw").glob("hidraw*/device/uevent"):
            text = uevent.read_text()
            if self.ids in text and f"HID_UNIQ={self.serial or ''}\n" in text and \
                    os.path.exists(node := "/dev/" + uevent.parent.parent.name):
                return node

    def plug(self):
        (self.root / "UDC").write_text(self.udc)
        self.hidraw = wait_for(self._node, f"the hidraw node of {self.root.name}")
        if self.serve:
            self.firmware = Firmware(self, self.serve)

    def unplug(self):
        # The function's node goes with the binding: its server first.
        if self.firmware:
            self.firmware.close()
        (self.root / "UDC").write_text("\n")
        wait_for(lambda: True if not os.path.exists(self.hidraw) else None, f"the removal of {self.hidraw}")

    def remove(self):
        if (self.root / "UDC").read_text().strip():
            self.unplug()
        os.unlink(self.root / "configs" / "c.1" / "function")
        for part in ("configs/c.1", "functions/hid.0", "strings/0x409", ""):
            os.rmdir(self.root / part)


class Firmware:
    """The forked process that serves a gadget's /dev/hidgN, and what it read."""

    def __init__(self, gadget, directory):
        self.frames_path = directory / f"{gadget.root.name}.frames"  # kept over replugs
        self.frames_path.touch()
        self._commands, theirs = multiprocessing.Pipe()
        self.process = multiprocessing.get_context("fork").Process(
            target=serve, args=(gadget.hidg, self.frames_path, theirs), daemon=True)
        self.process.start()
        self.command("")  # it serves the node from now on

    def command(self, line, timeout=60.0):
        self._commands.send(line)
        if not self._commands.poll(timeout):
            raise TimeoutError(f"the board did not answer {line.split()[0]!r} within {timeout} s")
        assert self._commands.recv() == "ok"

    def send(self, *reports):
        self.command("send " + " ".join(bytes(r).hex() for r in reports))

    def frames(self, at_least=0, timeout=30.0):
        """The output reports read so far, waiting until there are `at_least` of them."""
        return wait_for(lambda: frames if len(frames := [bytes.fromhex(line) for line in
                                                          self.frames_path.read_text().split()])
                        >= at_least else None, f"{at_least} output reports", timeout)

    def close(self, timeout=10.0):
        """Tells the server to quit; kills it when a write the host never collects blocks it."""
        self._commands.send("quit")
        self.process.join(timeout)
        self.process.kill()  # nothing when it has ended
        self.process.join()
        self._commands.close()


def serve(node, frames_path, commands):
    """Output reports into frames_path, a hex line each; "send HEX...", "stall", "resume": "ok"."""
    fd = os.open(node, os.O_RDWR)
    reading = threading.Lock()  # held by the reader while it reads; a stall takes it away

    def reader():
        with open(frames_path, "a") as frames:
            while True:
                with reading:
                    if select.select([fd], [], [], 0.02)[0]:
                        frames.write(os.read(fd, 64).hex() + "\n")
                        frames.flush()

    threading.Thread(target=reader, daemon=True).start()
    stalled = False
    for line in iter(commands.recv, "quit"):
        word, *reports = line.split() or [""]
        if word in ("stall", "resume") and stalled != (word == "stall"):
            (reading.acquire if word == "stall" else reading.release)()
            stalled = word == "stall"
        for report in reports:
            os.write(fd, bytes.fromhex(report))
        commands.send("ok")
