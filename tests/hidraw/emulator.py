"""An emulated Linux kernel with hidraw devices, for a program that runs under umockdev's
preload library (libumockdev-preload) with UMOCKDEV_DIR pointing at our testbed.

Runs in a process of its own under an interpreter with umockdev's GObject bindings
(Debian: python3-gi, gir1.2-umockdev-1.0), apart from the program under test: umockdev
answers the program's read(), write() and ioctl() calls on a device node in a thread of
this process, and that thread needs this interpreter, which the program under test may
hold for a long time. Commands arrive as JSON lines on stdin, answers leave as JSON lines
on stdout (see Kernel.COMMANDS).

Each hidraw device gets the sysfs a real one has (the USB device with bcdDevice, its
interface, the HID device with HID_ID/HID_UNIQ in its uevent and a binary
report_descriptor, the hidraw class device with its "device" link) and a /dev node.
umockdev backs the node with a pty, which is a byte stream: reports keep their boundaries
because the handler below answers every read() and write() of the node itself, one
report each. poll() is not intercepted and sees the pty, so every queued report puts one
token byte into the pty, and the read that takes the report takes its token as well.
"""
import collections
import errno
import json
import os
import struct
import sys
import threading

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

HIDIOCGRDESCSIZE = 0x80044801
HIDIOCGRDESC = 0x90044802
HIDIOCGRAWINFO = 0x80084803
BUS_USB, BUS_BLUETOOTH = 0x03, 0x05


class Node(UMockdev.IoctlBase):
    """One hidraw node: its queued input reports and the output reports written to it."""

    def __init__(self, number, bus, vid, pid, descriptor):
        super().__init__()
        self.number, self.bus, self.vid, self.pid = number, bus, vid, pid
        self.descriptor = descriptor
        self.lock = threading.Lock()
        self.queue = collections.deque()
        self.frames = []
        self.writes = 0
        self.reads = 0
        self.gone = False
        self.master = self.slave = None
        self.slave_path = None
        self.sysfs = None  # the topmost sysfs directory made for it

    def queue_reports(self, reports):
        with self.lock:
            if self.gone:
                return False
            self.queue.extend(reports)
            os.write(self.master, b"r" * len(reports))
        return True

    def do_handle_read(self, client):
        with self.lock:
            self.reads += 1
            if self.queue:
                report = self.queue.popleft()
                os.read(self.slave, 1)  # its token: poll() now sees what is left
                client.get_arg().update(0, list(report))
                client.complete(len(report), 0)
            elif self.gone:
                client.complete(-1, errno.EIO)
            else:  # the program's read descriptor is non-blocking
                client.complete(-1, errno.EAGAIN)
        return True

    def do_handle_write(self, client):
        with self.lock:
            self.writes += 1
            if self.gone:
                client.complete(-1, errno.ENODEV)
                return True
            data = bytes(client.get_arg().retrieve())
            self.frames.append(data)
            client.complete(len(data), 0)
        return True

    def do_handle_ioctl(self, client):
        request = client.get_request()
        if self.gone:
            client.complete(-1, errno.ENODEV)
        elif request == HIDIOCGRDESCSIZE:
            client.get_arg().resolve(0, 4).update(0, list(struct.pack("i", len(self.descriptor))))
            client.complete(0, 0)
        elif request == HIDIOCGRDESC:
            target = client.get_arg().resolve(0, 4 + 4096)
            size = struct.unpack("I", bytes(target.retrieve()[:4]))[0]
            target.update(4, list(self.descriptor[:size]))
            client.complete(0, 0)
        elif request == HIDIOCGRAWINFO:
            info = struct.pack("Ihh", self.bus, *struct.unpack("hh", struct.pack("HH", self.vid, self.pid)))
            client.get_arg().resolve(0, 8).update(0, list(info))
            client.complete(0, 0)
        else:
            client.complete(-1, errno.ENOTTY)
        return True


class Kernel:
    def __init__(self):
        self.testbed = UMockdev.Testbed.new()
        self.root = self.testbed.get_root_dir()
        self.nodes = {}
        self.usb_ports = 0

    # --- commands -------------------------------------------------------------------

    def add(self, number, vid, pid, descriptor, serial=None, version=0x0100, bus="usb"):
        """A hidraw device. bus "usb": on a USB device of its own with that bcdDevice;
        "bluetooth": under a Bluetooth adapter that is itself a USB device (whose version
        is not the HID device's)."""
        descriptor = bytes.fromhex(descriptor)
        self.usb_ports += 1
        port = f"1-{self.usb_ports}"
        usb = f"/devices/pci0000:00/0000:00:14.0/usb1/{port}"
        bus_id = BUS_USB if bus == "usb" else BUS_BLUETOOTH
        hid_name = f"{bus_id:04X}:{vid:04X}:{pid:04X}.{number + 1:04X}"
        if bus == "usb":
            hid = f"{usb}/{port}:1.0/{hid_name}"
            usb_version = version
        else:
            hid = f"{usb}/{port}:1.0/bluetooth/hci{number}/hci{number}:256/{hid_name}"
            usb_version = 0x0200  # the adapter's
        raw = f"{hid}/hidraw/hidraw{number}"
        uniq = "" if serial is None else serial
        record = [
            f"P: {usb}", "E: SUBSYSTEM=usb", "E: DEVTYPE=usb_device",
            f"A: idVendor={vid if bus == 'usb' else 0x8087:04x}",
            f"A: idProduct={pid if bus == 'usb' else 0x0a2b:04x}",
            f"A: bcdDevice={usb_version:04x}", "",
            f"P: {usb}/{port}:1.0", "E: SUBSYSTEM=usb", "E: DEVTYPE=usb_interface", "",
            f"P: {hid}", "E: SUBSYSTEM=hid", f"E: HID_ID={bus_id:04X}:{vid:08X}:{pid:08X}",
            f"E: HID_NAME=Emulated {vid:04x}:{pid:04x}", f"E: HID_UNIQ={uniq}",
            f"H: report_descriptor={descriptor.hex().upper()}", "",
            f"P: {raw}", f"N: hidraw{number}", "E: SUBSYSTEM=hidraw",
            f"E: DEVNAME=/dev/hidraw{number}", f"A: dev=247:{number}", "", "",
        ]
        node = Node(number, bus_id, vid, pid, descriptor)
        devnode = f"/dev/hidraw{number}"
        self.testbed.attach_ioctl(devnode, node)
        self.testbed.add_from_string("\n".join(record))
        hid_sys = "/sys" + hid
        # The kernel links a class device to its parent; the backend follows that link.
        self.testbed.set_attribute_link("/sys" + raw, "device", os.path.relpath(hid_sys, "/sys" + raw))
        node.sysfs = "/sys" + usb
        node.master = self.testbed.get_dev_fd(devnode)
        node.slave_path = os.readlink(self.root + devnode)
        node.slave = os.open(node.slave_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.nodes[number] = node
        return devnode

    def send(self, number, reports):
        """Input reports, as the device sends them (no report-ID byte unless numbered)."""
        return self.nodes[number].queue_reports([bytes.fromhex(r) for r in reports])

    def frames(self, number):
        node = self.nodes[number]
        with node.lock:
            return [f.hex() for f in node.frames]

    def counts(self, number):
        node = self.nodes[number]
        with node.lock:
            return {"writes": node.writes, "reads": node.reads, "queued": len(node.queue)}

    def unplug(self, number, left_behind=()):
        """As the kernel does it: sysfs goes, the node goes, the open descriptors see the
        hang-up (POLLERR|POLLHUP beside POLLIN), the reports still queued (here also the
        `left_behind` ones, which arrived just before), then EIO on read and ENODEV on
        write."""
        node = self.nodes[number]
        with node.lock:  # no read of the node in between
            node.queue.extend(bytes.fromhex(r) for r in left_behind)
            node.gone = True
            self.testbed.remove_device(node.sysfs)
            # Hang up the pty: put /dev/null in the master's place (the testbed closes
            # that number itself at the end), which closes the master's file.
            null = os.open(os.devnull, os.O_RDWR)
            os.dup2(null, node.master)
            os.close(null)
        return True

    def refuse(self, number):
        """The node refuses opens for reading or writing, as /dev/hidrawN does without the
        udev rule (root-only 0600)."""
        os.chmod(self.nodes[number].slave_path, 0)
        return True

    def vanish(self, number):
        """The node is gone while sysfs still lists the device (an unplug between the
        enumeration and the open). A broken link, so no real /dev node shows through."""
        link = self.root + f"/dev/hidraw{number}"
        os.unlink(link)
        os.symlink(self.root + "/nonexistent", link)
        return True

    COMMANDS = ("add", "send", "frames", "counts", "unplug", "refuse", "vanish")


def preload_library():
    """umockdev's preload library, found beside the libumockdev this process loaded."""
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split(None, 5)[-1].strip()
            if os.path.basename(path).startswith("libumockdev.so"):
                candidate = os.path.join(os.path.dirname(path), "libumockdev-preload.so.0")
                if os.path.exists(candidate):
                    return candidate
    return None


def main():
    kernel = Kernel()
    out = sys.stdout
    out.write(json.dumps({"root": kernel.root, "preload": preload_library()}) + "\n")
    out.flush()
    for line in sys.stdin:
        request = json.loads(line)
        op = request.pop("op")
        try:
            if op not in Kernel.COMMANDS:
                raise ValueError(f"unknown command {op!r}")
            answer = {"ok": getattr(kernel, op)(**request)}
        except Exception as error:  # reported to the test, which fails with it
            answer = {"error": f"{type(error).__name__}: {error}"}
        out.write(json.dumps(answer) + "\n")
        out.flush()


if __name__ == "__main__":
    main()
