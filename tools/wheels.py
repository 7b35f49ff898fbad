"""The release wheels: packs the Windows wheel and checks the files of dist/.

    python3 tools/wheels.py windows LINUX_WHEEL WIN64_BUILD OUTDIR
    python3 tools/wheels.py check DIST [--pyd WIN64_BUILD/torqpanel.pyd]

`windows` makes the cp39-abi3-win_amd64 wheel without a Windows Python: the platform
part is what the Windows build's own install rules install (the .pyd byte for byte as
the build made it, the stubs), the pure-Python packages and the metadata are the Linux
wheel's, so the two wheels cannot drift apart.

`check` holds dist/ to what a release needs: one sdist and one wheel per platform (Linux
x86-64 and aarch64, Windows), all of the project's one version; tags that pip accepts for
every CPython from the stable ABI's version on; RECORD rows that match the files; in
every wheel the extension module, its stubs and every file of each package that
pyproject.toml's wheel.packages names, the udev rule in the Linux wheels only, and
nothing else but the metadata; and, with --pyd, that the Windows wheel's module is that
very file.
"""
import argparse
import base64
import csv
import hashlib
import io
import pathlib
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from email.parser import HeaderParser

try:
    import tomllib
except ModuleNotFoundError:  # Python < 3.11
    import tomli as tomllib

ROOT = pathlib.Path(__file__).resolve().parent.parent
WINDOWS_PLATFORM = "win_amd64"
LINUX_PLATFORM = "manylinux_2_17_x86_64"  # the wheel whose packages the Windows wheel takes
LINUX_PLATFORMS = (LINUX_PLATFORM, "manylinux_2_17_aarch64")
# The ELF header's e_machine of each Linux wheel's module.
ELF_MACHINES = {LINUX_PLATFORM: 62, "manylinux_2_17_aarch64": 183}
UDEV_RULE = "udev/70-torqpanel.rules"
UDEV_IN_WHEEL = "torqsim/udev/70-torqpanel.rules"


class Project:
    """What pyproject.toml says about the release files."""

    def __init__(self, root=ROOT):
        self.root = root
        config = tomllib.loads((root / "pyproject.toml").read_text())
        self.name = config["project"]["name"]
        self.version = config["project"]["version"]
        wheel = config["tool"]["scikit-build"]["wheel"]
        packages = wheel["packages"]
        if isinstance(packages, list):
            packages = {pathlib.PurePosixPath(path).name: path for path in packages}
        # Each package's name in the wheel -> its source folder.
        self.packages = {name: root / path for name, path in packages.items()}
        self.interpreter = wheel["py-api"]  # cp39: the stable ABI of 3.9 on
        self.dist_info = f"{self.name}-{self.version}.dist-info"

    def tag(self, platform):
        return f"{self.interpreter}-abi3-{platform}"

    def package_files(self):
        """Every file of the packages, as named in a wheel -> its source file."""
        files = {}
        for name, source in self.packages.items():
            for path in sorted(source.rglob("*")):
                if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".pyc":
                    files[f"{name}/{path.relative_to(source).as_posix()}"] = path
        return files


def digest(data):
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def read_wheel(path):
    """The files of a wheel (folder entries left out), in archive order."""
    with zipfile.ZipFile(path) as archive:
        return {info.filename: archive.read(info) for info in archive.infolist() if not info.is_dir()}


def write_wheel(path, files, date_time):
    """Writes files (name -> bytes, dist-info last) and their RECORD as a wheel."""
    dist_info = next(name.split("/")[0] for name in files if name.split("/")[0].endswith(".dist-info"))
    record = io.StringIO()
    writer = csv.writer(record, lineterminator="\n")
    for name, data in files.items():
        writer.writerow([name, digest(data), len(data)])
    writer.writerow([f"{dist_info}/RECORD", "", ""])
    entries = dict(files, **{f"{dist_info}/RECORD": record.getvalue().encode()})
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries.items():
            info = zipfile.ZipInfo(name, date_time)
            info.external_attr = (0o755 if name.endswith(".pyd") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)


def pack_windows(linux_wheel, build, outdir, project):
    build = pathlib.Path(build)
    with tempfile.TemporaryDirectory() as stage:
        subprocess.run(["cmake", "--install", str(build), "--prefix", stage],
                       check=True, stdout=subprocess.DEVNULL)
        stage = pathlib.Path(stage)
        platform_part = {path.relative_to(stage).as_posix(): path.read_bytes()
                         for path in sorted(stage.rglob("*")) if path.is_file()}
    module = f"{project.name}.pyd"
    if platform_part.get(module) != (build / module).read_bytes():
        raise SystemExit(f"the installed {module} is not the one in {build}")

    linux = read_wheel(linux_wheel)
    sources = project.package_files()
    packages = {name: data for name, data in linux.items() if name in sources}
    metadata = {name: data for name, data in linux.items() if name.startswith(project.dist_info + "/")
                and name.rsplit("/", 1)[1] not in ("WHEEL", "RECORD")}
    wheel_file = (f"Wheel-Version: 1.0\nGenerator: {project.name} tools/wheels.py\n"
                  f"Root-Is-Purelib: false\nTag: {project.tag(WINDOWS_PLATFORM)}\n")
    files = {**platform_part, **packages, **metadata,
             f"{project.dist_info}/WHEEL": wheel_file.encode()}
    with zipfile.ZipFile(linux_wheel) as archive:
        date_time = archive.getinfo(f"{project.dist_info}/METADATA").date_time
    target = pathlib.Path(outdir) / f"{project.name}-{project.version}-{project.tag(WINDOWS_PLATFORM)}.whl"
    write_wheel(target, files, date_time)
    print(target)


class Checker:
    def __init__(self, project):
        self.project = project
        self.problems = []

    def expect(self, condition, problem):
        if not condition:
            self.problems.append(problem)

    def record(self, wheel, files):
        rows = list(csv.reader(io.StringIO(files[f"{self.project.dist_info}/RECORD"].decode())))
        listed = {row[0]: row[1:] for row in rows}
        self.expect(len(listed) == len(rows), f"{wheel.name}: RECORD lists a file twice")
        self.expect(set(listed) == set(files), f"{wheel.name}: RECORD and the files differ: "
                    f"{sorted(set(listed) ^ set(files))}")
        for name, data in files.items():
            want = ["", ""] if name.endswith("/RECORD") else [digest(data), str(len(data))]
            self.expect(listed.get(name) == want, f"{wheel.name}: RECORD row of {name} is wrong")

    def metadata(self, label, text):
        fields = HeaderParser().parsestr(text)
        self.expect((fields["Name"], fields["Version"]) == (self.project.name, self.project.version),
                    f"{label}: name and version {fields['Name']} {fields['Version']}")

    def wheel(self, path, platform):
        files = read_wheel(path)
        project = self.project
        self.record(path, files)
        self.metadata(path.name, files[f"{project.dist_info}/METADATA"].decode())
        wheel_fields = HeaderParser().parsestr(files[f"{project.dist_info}/WHEEL"].decode())
        tags = set(wheel_fields.get_all("Tag"))
        name_tags = path.name[:-len(".whl")].split("-")[2:]
        self.expect(path.name.startswith(f"{project.name}-{project.version}-"),
                    f"{path.name}: not the version {project.version}")
        self.expect({f"{name_tags[0]}-{name_tags[1]}-{plat}" for plat in name_tags[2].split(".")} == tags,
                    f"{path.name}: the name's tags differ from WHEEL's {sorted(tags)}")
        self.expect(project.tag(platform) in tags and all(tag.startswith(project.tag("")) for tag in tags),
                    f"{path.name}: tags {sorted(tags)}, expected {project.tag(platform)}")
        self.expect(wheel_fields["Root-Is-Purelib"] == "false", f"{path.name}: Root-Is-Purelib")
        stub = (project.root / "python" / f"{project.name}.pyi").read_bytes()
        expected = {name: source.read_bytes() for name, source in project.package_files().items()}
        expected.update({f"{project.name}.pyi": stub, f"{project.name}-stubs/__init__.pyi": stub})
        for name, data in expected.items():
            self.expect(files.get(name) == data, f"{path.name}: {name} missing or not the source's")
        # Nothing else but the module, the Linux wheel's udev rule and the metadata: no
        # library that auditwheel grafted in, no file left over from a build.
        allowed = set(expected) | ({f"{project.name}.abi3.so", UDEV_IN_WHEEL} if platform in LINUX_PLATFORMS
                                   else {f"{project.name}.pyd"})
        extra = sorted(name for name in files
                       if name not in allowed and not name.startswith(f"{project.dist_info}/"))
        self.expect(not extra, f"{path.name}: files that do not belong in it: {extra}")
        if platform in ELF_MACHINES:
            elf = files.get(f"{project.name}.abi3.so", b"")
            machine = int.from_bytes(elf[18:20], "little")
            self.expect(elf[:4] == b"\x7fELF" and machine == ELF_MACHINES[platform],
                        f"{path.name}: its module is not an ELF file for {platform}")
        return files

    def dist(self, dist, pyd):
        project = self.project
        found = sorted(pathlib.Path(dist).iterdir())
        sdists = [path for path in found if path.name.endswith(".tar.gz")]
        linux = [[path for path in found if path.name.endswith(f".{platform}.whl")]
                 for platform in LINUX_PLATFORMS]
        windows = [path for path in found if path.name.endswith(f"-{project.tag(WINDOWS_PLATFORM)}.whl")]
        if [len(sdists), *map(len, linux), len(windows), len(found)] != [1, 1, 1, 1, 4]:
            raise SystemExit(f"check: expected one sdist and three wheels in {dist}, found "
                             f"{[path.name for path in found]}")
        self.expect(sdists[0].name == f"{project.name}-{project.version}.tar.gz",
                    f"{sdists[0].name}: not the version {project.version}")
        with tarfile.open(sdists[0]) as sdist:
            info = sdist.extractfile(f"{project.name}-{project.version}/PKG-INFO").read().decode()
        self.metadata(sdists[0].name, info)

        linux_files, arm_files = (self.wheel(paths[0], platform)
                                  for paths, platform in zip(linux, LINUX_PLATFORMS))
        windows_files = self.wheel(windows[0], WINDOWS_PLATFORM)
        so, module = f"{project.name}.abi3.so", f"{project.name}.pyd"
        for paths, files in zip(linux, (linux_files, arm_files)):
            self.expect(files.get(UDEV_IN_WHEEL) == (project.root / UDEV_RULE).read_bytes(),
                        f"{paths[0].name}: {UDEV_IN_WHEEL} missing or not {UDEV_RULE}")
        # The Linux wheels: the same files, the same bytes but for the module and the tags.
        self.expect(set(arm_files) == set(linux_files),
                    f"the Linux wheels' files differ: {sorted(set(arm_files) ^ set(linux_files))}")
        for name in set(linux_files) - {so, f"{project.dist_info}/WHEEL", f"{project.dist_info}/RECORD"}:
            self.expect(linux_files[name] == arm_files.get(name), f"the Linux wheels' {name} differ")
        # The same files but for the platform's module and the Linux-only udev rule.
        common = set(linux_files) - {so, UDEV_IN_WHEEL}
        self.expect(so in linux_files and module in windows_files
                    and set(windows_files) - {module} == common,
                    f"the wheels' files differ beyond {so}, {module} and {UDEV_IN_WHEEL}: "
                    f"{sorted((set(windows_files) - {module}) ^ common)}")
        for name in common - {f"{project.dist_info}/WHEEL", f"{project.dist_info}/RECORD"}:
            self.expect(linux_files[name] == windows_files.get(name), f"the wheels' {name} differ")
        if pyd is not None:
            self.expect(windows_files.get(module) == pathlib.Path(pyd).read_bytes(),
                        f"{windows[0].name}: its {module} is not {pyd}")
        for problem in self.problems:
            print(f"check: {problem}", file=sys.stderr)
        if not self.problems:
            sizes = ", ".join(f"{path.name} {path.stat().st_size // 1024} KiB" for path in found)
            print(f"check: dist/ complete and consistent ({sizes})")
        return 1 if self.problems else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    windows = commands.add_parser("windows", help="pack the Windows wheel")
    windows.add_argument("linux_wheel")
    windows.add_argument("build")
    windows.add_argument("outdir")
    check = commands.add_parser("check", help="check the release files")
    check.add_argument("dist")
    check.add_argument("--pyd", help="the module that the Windows wheel must carry")
    args = parser.parse_args()
    project = Project()
    if args.command == "windows":
        pack_windows(args.linux_wheel, args.build, args.outdir, project)
        return 0
    return Checker(project).dist(args.dist, args.pyd)


if __name__ == "__main__":
    sys.exit(main())
