"""Checks the cross-built torqpanel.pyd against the stable ABI and its export list.

    python3 .ci/check_pyd.py OBJDUMP torqpanel.pyd

- every Python name it imports comes from python3.dll (no python3X.dll) and is in
  cmake/win64-python/python3.def, the stable-ABI names;
- it needs no MinGW runtime DLL (libstdc++, libgcc, winpthread are linked in);
- it exports PyInit_torqpanel, BuildEx, PySetRightDigits and every wrapper that
  src/exports/exports.h declares.
"""

import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
MINGW_RUNTIME = re.compile(r"^(libstdc\+\+|libgcc|libwinpthread)", re.IGNORECASE)


def parse_objdump(text):
    imports = {}  # DLL name -> imported names
    exports = set()
    dll = None
    in_exports = False
    for line in text.splitlines():
        stripped = line.strip()
        match = re.match(r"DLL Name: (\S+)", stripped)
        if match:
            dll = match.group(1)
            imports.setdefault(dll, [])
            continue
        if dll is not None:
            if not stripped:
                dll = None
                continue
            entry = re.match(r"^[0-9a-fA-F]+\s+\d+\s+(\S+)", stripped)
            if entry:
                imports[dll].append(entry.group(1))
            continue
        if stripped.startswith("[Ordinal/Name Pointer] Table"):
            in_exports = True
            continue
        if in_exports:
            entry = re.match(r"^\[\s*\d+\]\s+(\S+)", stripped)
            if entry:
                exports.add(entry.group(1))
            else:
                in_exports = False
    return imports, exports


def stable_abi_names():
    names = set()
    in_exports = False
    for line in (ROOT / "cmake/win64-python/python3.def").read_text().splitlines():
        line = line.split(";", 1)[0].strip()
        if line == "EXPORTS":
            in_exports = True
        elif in_exports and line:
            names.add(line.split()[0])
    return names


def required_exports():
    header = (ROOT / "src/exports/exports.h").read_text()
    wrappers = set(re.findall(r"TORQ_EXPORT\s+PyObject\s*\*\s*(\w+)\s*\(", header))
    if len(wrappers) < 16:
        raise SystemExit(f"found only {len(wrappers)} wrappers in exports.h: has its form changed?")
    return wrappers | {"PyInit_torqpanel", "BuildEx", "PySetRightDigits"}


def main():
    objdump, pyd = sys.argv[1], sys.argv[2]
    dump = subprocess.run([objdump, "-p", pyd], check=True, capture_output=True, text=True).stdout
    imports, exports = parse_objdump(dump)
    problems = []

    python_dlls = [dll for dll in imports if dll.lower().startswith("python")]
    if python_dlls != ["python3.dll"]:
        problems.append(f"Python DLLs imported: {python_dlls}, expected only python3.dll")
    stable = stable_abi_names()
    python_names = [name for dll in python_dlls for name in imports[dll]]
    outside = sorted(set(python_names) - stable)
    if outside:
        problems.append(f"imports outside the stable ABI: {outside}")
    runtime = [dll for dll in imports if MINGW_RUNTIME.match(dll)]
    if runtime:
        problems.append(f"needs MinGW runtime DLLs: {runtime}")
    missing = sorted(required_exports() - exports)
    if missing:
        problems.append(f"exports missing: {missing}")

    if problems:
        for problem in problems:
            print(f"check_pyd: {problem}", file=sys.stderr)
        return 1
    print(f"check_pyd: {len(python_names)} names from python3.dll, all stable ABI; "
          f"{len(required_exports())} required exports present; DLLs: {', '.join(sorted(imports))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
