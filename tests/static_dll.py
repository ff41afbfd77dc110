#!/usr/bin/env python3
"""Static checks of a build's shipped DLLs, made without running them (so the x86 DLL is
checked on machines that run no 32-bit code): the machine type; relocatable with NX; the
version of VERSION; imports of system DLLs only;
the exports, each under its plain name and compiled __stdcall with the right argument size
(the symbol the compiler gave it, _Name@N on x86); the resources equal to the other target's
(the type library apart: its platform differs, and a test of the x64 build compares its
contents); for the x86 build, the x86 installer package: it holds this build's DLL and
setup DLL, its component is 32-bit, and its COM rows are the x64 package's with the x86
DLL's places (the x64 end-to-end test compares those with what regsvr32 writes).
Usage: static_dll.py BUILD_DIR SOURCE_DIR"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import peinfo  # noqa: E402

build, src = (os.path.abspath(a) for a in sys.argv[1:3])
target = os.path.basename(build)
other_target = {"i686": "x86_64", "x86_64": "i686"}[target]
other = os.path.join(os.path.dirname(build), other_target)
x86 = target == "i686"
failures = []


def fail(text):
    print("FAIL: " + text)
    failures.append(text)


SYSTEM_DLLS = {"advapi32", "comctl32", "comdlg32", "crypt32", "gdi32", "kernel32", "msi", "msvcrt",
               "ole32", "oleaut32", "shell32", "shlwapi", "urlmon", "user32", "windowscodecs",
               "wininet", "ws2_32"}
# The entry points of each shipped DLL and the bytes of their arguments.
EXPORTS = {
    "Vexa.dll": {"DllGetClassObject": 12, "DllCanUnloadNow": 0, "DllRegisterServer": 0,
                 "DllUnregisterServer": 0},
    "VexaSetup.dll": {"JoinSidebarHost": 4, "LeaveSidebarHost": 4},
}


def symbols(path, pe):
    """{rva: [names]} of the DLL's function symbols, as objdump reads them."""
    tool = ("i686" if x86 else "x86_64") + "-w64-mingw32-objdump"
    found = {}
    for line in subprocess.run([tool, "-t", path], capture_output=True, text=True, check=True).stdout.splitlines():
        # [ 62](sec  1)(fl 0x00)(ty   20)(scl   2) (nx 0) 0x00000510 _DllGetClassObject@12
        parts = line.replace("(", " ").replace(")", " ").split()
        if "sec" not in parts or "ty" not in parts or not parts[-2].startswith("0x"):
            continue
        section = int(parts[parts.index("sec") + 1])
        if 1 <= section <= len(pe.sections):
            found.setdefault(pe.sections[section - 1][1] + int(parts[-2], 16), []).append(parts[-1])
    return found


def check_dll(name):
    path = os.path.join(build, name)
    pe = peinfo.PeFile(path)
    want_machine = 0x14C if x86 else 0x8664
    if pe.machine != want_machine:
        fail("%s: machine %#x, not %#x" % (name, pe.machine, want_machine))
    # Loaded at any address (relocations) with data never run (DEP): ASLR and NX.
    if pe.dll_characteristics & 0x140 != 0x140 or not pe.directories[5][1]:
        fail("%s: not relocatable with NX (characteristics %#x)" % (name, pe.dll_characteristics))
    if name == "Vexa.dll" and pe.file_version() != open(os.path.join(src, "VERSION")).readline().strip():
        fail("%s: version %s is not VERSION's" % (name, pe.file_version()))
    foreign = [d for d in pe.imports() if d.lower().removesuffix(".dll") not in SYSTEM_DLLS]
    if foreign:
        fail("%s imports DLLs that are not the system's: %s" % (name, ", ".join(foreign)))
    exports = pe.exports()
    if set(exports) != set(EXPORTS[name]):
        fail("%s exports %s, not %s" % (name, sorted(exports), sorted(EXPORTS[name])))
    by_address = symbols(path, pe)
    for export, argument_bytes in EXPORTS[name].items():
        if export not in exports:
            continue
        names = by_address.get(exports[export], [])
        want = "_%s@%d" % (export, argument_bytes) if x86 else export
        if want not in names:
            fail("%s: %s is compiled as %s, not %s" % (name, export, names or "no symbol", want))


def check_resources():
    mine = peinfo.PeFile(os.path.join(build, "Vexa.dll")).resources()
    theirs = peinfo.PeFile(os.path.join(other, "Vexa.dll")).resources()
    if set(mine) != set(theirs):
        fail("Vexa.dll resources differ from %s's: %s" % (other_target, sorted(map(str, set(mine) ^ set(theirs)))))
    for key in set(mine) & set(theirs):
        if key != ("TYPELIB", 1) and mine[key] != theirs[key]:
            fail("Vexa.dll resource %s differs from %s's" % (key, other_target))
    tlb = os.path.join(build, "generated", "idl", "Vexa.tlb")
    if mine.get(("TYPELIB", 1)) != open(tlb, "rb").read():
        fail("Vexa.dll does not embed the type library that this build made")


def msi_table(msi, table):
    text = subprocess.run(["msiinfo", "export", msi, table], capture_output=True, text=True, check=True).stdout
    return [line.rstrip("\r").split("\t") for line in text.splitlines()[3:]]


def check_package():
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(["bash", os.path.join(src, "scripts", "package.sh"), "--no-build", "--builds",
                        os.path.dirname(build), "--out", out, "x86", "x64"], check=True, stdout=subprocess.DEVNULL)
        version = open(os.path.join(src, "VERSION")).readline().strip()
        x86_msi = os.path.join(out, "Vexa-%s-x86.msi" % version)
        x64_msi = os.path.join(out, "Vexa-%s-x64.msi" % version)
        components = {row[0]: row for row in msi_table(x86_msi, "Component")}
        if set(components) != {"VexaDll32"} or components["VexaDll32"][3] != "0":
            fail("the x86 package's components are %s" % list(components.values()))
        files = subprocess.run(["msiextract", "-C", os.path.join(out, "files"), x86_msi], capture_output=True,
                               text=True, check=True).stdout.splitlines()
        dll = [f for f in files if os.path.basename(f) == "Vexa.dll"]
        if len(dll) != 1 or open(os.path.join(out, "files", dll[0]), "rb").read() != \
                open(os.path.join(build, "Vexa.dll"), "rb").read():
            fail("the x86 package does not hold this build's Vexa.dll: %s" % files)
        binary = os.path.join(out, "setup.dll")
        subprocess.run(["msiinfo", "extract", x86_msi, "Binary.VexaSetup32"], stdout=open(binary, "wb"), check=True)
        if open(binary, "rb").read() != open(os.path.join(build, "VexaSetup.dll"), "rb").read():
            fail("the x86 package's host step is not this build's VexaSetup.dll")
        # The COM rows: the x64 DLL's rows, in the x86 DLL's places, are the x86 package's.
        def rows(msi, component):
            return sorted(tuple(r[1:4] + [r[4]]) for r in msi_table(msi, "Registry") if r[5] == component)
        x86_rows = rows(x86_msi, "VexaDll32")
        x64_rows = [tuple(f.replace("VexaDll64File", "VexaDll32File").replace("VexaDir64", "VexaDir32")
                          .replace("\\win64", "\\win32") for f in row) for row in rows(x64_msi, "VexaDll64")]
        if not x86_rows or x86_rows != sorted(x64_rows):
            fail("the x86 package's COM rows are not the x64 DLL's: %s" %
                 sorted(set(x86_rows) ^ set(x64_rows)))
        if rows(x64_msi, "VexaDll32") != x86_rows:
            fail("the x64 package's 32-bit rows differ from the x86 package's")
        actions = {row[0]: row[1] for row in msi_table(x86_msi, "CustomAction")}
        for action, kind in (("JoinHost32", "1025"), ("LeaveHost32", "1089"), ("JoinHost32Rollback", "1345")):
            if actions.get(action) != kind:
                fail("the x86 package's %s has type %s, not %s" % (action, actions.get(action), kind))


for dll in EXPORTS:
    check_dll(dll)
if os.path.exists(os.path.join(other, "Vexa.dll")):
    check_resources()
    if x86:
        check_package()
else:
    print("%s: not compared with the other target: no %s build beside" % (target, other_target))

if failures:
    print("%d check(s) failed" % len(failures))
    sys.exit(1)
print("static checks of the %s DLLs: all checks passed" % ("x86" if x86 else "x64"))
