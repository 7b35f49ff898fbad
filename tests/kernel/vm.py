# Boots a real Linux kernel under qemu and runs one command in it as root. The kernel is
# Debian's (linux-image-amd64), unpacked into a cache, never installed. The guest's root is
# this machine's own file system, shared read-only over 9p with a tmpfs laid over it
# (overlayfs), so the command runs against exactly what is installed here; /proc, /sys,
# /dev and configfs are the guest kernel's. Only what the command prints reaches our
# standard output, and its exit status is ours:
#     python3 tests/kernel/vm.py [--cache DIR] [--memory MB] [--cpus N] [--timeout S] -- COMMAND...

import argparse
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading

from wine import CACHE

# The guest's modules (modprobe adds what they need) with their parameters: two virtual
# USB ports for tests with two boards.
MODULES = dict.fromkeys(["virtio_pci", "9pnet_virtio", "9p", "overlay", "configfs", "libcomposite", "dummy_hcd",
                         "usb_f_hid", "usbhid", "hid-generic"], "") | {"dummy_hcd": "num=2"}
BEGIN, END = "--torq-guest-begin--", "--torq-guest-end--"

INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
while read module parameters; do insmod "/lib/modules/$module" $parameters || poweroff -f; done </modules
mkdir -p /lower /upper /root
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose host /lower
mount -t tmpfs -o size=75% upper /upper
mkdir -p /upper/data /upper/work
mount -t overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work root /root
for fs in proc:proc sysfs:sys devtmpfs:dev; do mount -t "${fs%:*}" "${fs#*:}" "/root/${fs#*:}"; done
mkdir -p /root/dev/shm /root/dev/pts
mount -t configfs configfs /root/sys/kernel/config
mount -t tmpfs shm /root/dev/shm
cp /job /root/torq-job
echo "BEGIN"
# Through a pipe: the command's output is not a terminal. Its status follows the end marker.
{ chroot /root /bin/sh /torq-job </root/dev/null 2>&1; echo "END $?"; } | cat
poweroff -f
""".replace("BEGIN", BEGIN).replace("END", END)


def run(command, **kw):
    return subprocess.run(command, check=True, capture_output=True, text=True, **kw).stdout


def kernel_tree(cache):  # the unpacked kernel package: (its root, the kernel's version)
    package = re.search(r"Depends: (linux-image-\S+)", run(["apt-cache", "depends", "linux-image-amd64"])).group(1)
    tree, version = cache / package, package[len("linux-image-"):]
    if not (tree / "lib" / "modules" / version / "modules.dep").exists():
        cache.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryDirectory(dir=cache) as download:
            run(["apt-get", "download", "-q", package], cwd=download)
            shutil.rmtree(tree, ignore_errors=True)
            run(["dpkg-deb", "-x", str(next(pathlib.Path(download).glob("*.deb"))), str(tree)])
        run(["depmod", "-b", str(tree), version])
    return tree, version


def initramfs(tree, version, work, job):
    # busybox, the init script, the job and the wanted modules, each after what it needs
    root = work / "initramfs"
    (root / "lib" / "modules").mkdir(parents=True)
    (root / "bin").mkdir()
    shutil.copy("/bin/busybox", root / "bin")
    order = {}  # module file: its parameters
    for name, parameters in MODULES.items():  # this machine's modprobe.d is not the guest's: -C /dev/null
        needs = run(["modprobe", "-C", "/dev/null", "-d", str(tree), "-S", version, "--show-depends", name])
        for path in re.findall(r"^insmod (\S+)", needs, re.M):
            order.setdefault(path, "")
        order[path] = parameters
    for path in order:
        shutil.copy(path, root / "lib" / "modules")
    (root / "modules").write_text("".join(f"{pathlib.Path(p).name} {o}\n" for p, o in order.items()))
    (root / "init").write_text(INIT)
    (root / "job").write_text(job)
    (root / "init").chmod(0o755)
    subprocess.run("find . | cpio -o -H newc --quiet >../initramfs.cpio", shell=True, cwd=root, check=True)
    return work / "initramfs.cpio"


def boot(command, cache, memory, cpus, timeout):
    tree, version = kernel_tree(cache)
    with tempfile.TemporaryDirectory(prefix="torq-vm-") as tmp:
        env = "".join(f"export {k}={shlex.quote(v)}\n" for k, v in os.environ.items()
                      if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", k))
        job = env + f"export TORQ_KERNEL_GUEST=1\ncd {shlex.quote(os.getcwd())}\n{shlex.join(command)}\n"
        qemu = ["qemu-system-x86_64", "-nographic", "-no-reboot", "-m", str(memory),
                "-smp", str(cpus), "-kernel", str(tree / "boot" / f"vmlinuz-{version}"),
                "-initrd", str(initramfs(tree, version, pathlib.Path(tmp), job)),
                "-append", "console=ttyS0 quiet loglevel=1 panic=-1",
                "-virtfs", "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap"]
        process = subprocess.Popen(qemu, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        watchdog = threading.Timer(timeout, process.kill)  # a guest that hangs fails the run
        watchdog.start()
        inside, status = False, None  # between the markers: the command's own output
        for raw in process.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n")
            if inside and (end := re.search(END + r" (\d+)$", line)):
                inside, status = False, int(end.group(1))
            elif inside:
                print(line, flush=True)
            inside = inside or line.endswith(BEGIN)
        process.wait()
        watchdog.cancel()
        if status is None:
            print(f"vm: the guest ended without a status (qemu exit {process.returncode})", file=sys.stderr)
        return 1 if status is None else status


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cache", type=pathlib.Path, default=CACHE / "kernel")
    parser.add_argument("--memory", type=int, default=2048)
    parser.add_argument("--cpus", type=int, default=2)
    parser.add_argument("--timeout", type=float, default=1200, help="seconds for the whole guest")
    parser.add_argument("command", nargs="+")
    return boot(**vars(parser.parse_args()))


if __name__ == "__main__":
    sys.exit(main())
