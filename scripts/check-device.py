#!/usr/bin/python3
"""Checks the device build without a device: each Mach-O is arm64, platform iOS with minimum
14.5, two-level namespace, signed ad hoc with page hashes that match its bytes, loads only the
allowed libraries, binds every import to a library whose stub exports it, and exports exactly
its export list; the package holds exactly the expected paths, modes and control fields.
Usage: check-device.py <build-ios dir> <deb>. Prints one line per finding; exits 1 on any."""
import hashlib
import io
import os
import re
import struct
import subprocess
import sys
import tarfile
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The text stubs the imports are held to; scripts/test-device points this at a copy with a
# symbol taken out, to show that an import its stub lacks is caught.
STUBS = os.environ.get("HARBRITE_STUBS", os.path.join(ROOT, "hostios", "stubs"))
CPU_ARM64 = 0x0100000C
MH_DYLIB, MH_BUNDLE = 6, 8
MH_TWOLEVEL = 0x80
LC_SYMTAB, LC_LOAD_DYLIB, LC_ID_DYLIB = 0x2, 0xC, 0xD
LC_CODE_SIGNATURE, LC_BUILD_VERSION = 0x1D, 0x32
LC_REEXPORT_DYLIB = 0x8000001F
PLATFORM_IOS = 2
MIN_IOS = (14 << 16) | (5 << 8)
ALLOWED = {
    "Harbrite.dylib": ["libSystem.B", "libobjc.A", "CoreFoundation", "Foundation",
                       "CydiaSubstrate", "libc++", "libc++abi"],
    "dunmereprefs": ["libSystem.B", "libobjc.A", "CoreFoundation", "Foundation",
                     "CydiaSubstrate", "libc++", "libc++abi", "Preferences", "AltList"],
}
INSTALL_NAMES = {
    "Harbrite.dylib": "/var/jb/Library/MobileSubstrate/DynamicLibraries/Harbrite.dylib",
    "dunmereprefs": "/var/jb/Library/PreferenceBundles/dunmereprefs.bundle/dunmereprefs",
}
EXPORT_MAPS = {"Harbrite.dylib": "Tweak/exports.map", "dunmereprefs": "dunmereprefs/exports.map"}

problems = []


def fail(message):
    problems.append(message)
    print("FAIL " + message)


def read_stub(name):
    """The install name and exported symbols of one text stub (tapi-tbd v4)."""
    text = open(os.path.join(STUBS, name + ".tbd")).read()
    install = re.search(r"install-name:\s*'([^']+)'", text).group(1)
    symbols = set()
    for block in re.findall(r"symbols:\s*\[([^\]]*)\]", text):
        symbols.update(s.strip() for s in block.split(",") if s.strip())
    return install, symbols


def c_names(export_map):
    names, glob = set(), False
    for line in open(os.path.join(ROOT, export_map)):
        if "global:" in line:
            glob = True
        elif "local:" in line:
            glob = False
        elif glob and re.match(r"\s*[A-Za-z_]\w*;", line):
            names.add("_" + line.strip().rstrip(";"))
    return names


def check_signature(label, data, off, size):
    blob = data[off:off + size]
    magic, _, count = struct.unpack(">III", blob[:12])
    if magic != 0xFADE0CC0:
        return fail(f"{label}: no embedded signature super-blob")
    for i in range(count):
        slot, boff = struct.unpack(">II", blob[12 + 8 * i:20 + 8 * i])
        if slot != 0:
            continue
        cd = blob[boff:]
        (cmagic, _, version, flags, hash_off, ident_off, _, n_code, code_limit, hash_size,
         hash_type, _, page_log2) = struct.unpack(">IIIIIIIIIBBBB", cd[:40])
        if cmagic != 0xFADE0C02:
            return fail(f"{label}: slot 0 is no code directory")
        if not flags & 0x2:
            fail(f"{label}: the code directory is not marked ad hoc")
        if hash_type != 2 or hash_size != 32:
            return fail(f"{label}: page hashes are not SHA-256")
        page = 1 << page_log2
        if n_code != (code_limit + page - 1) // page:
            fail(f"{label}: {n_code} page hashes for {code_limit} bytes")
        for p in range(n_code):
            want = cd[hash_off + 32 * p:hash_off + 32 * (p + 1)]
            got = hashlib.sha256(data[p * page:min((p + 1) * page, code_limit)]).digest()
            if want != got:
                return fail(f"{label}: page {p} does not match its hash")
        return True
    fail(f"{label}: no code directory")


def check_macho(path, kind):
    label = os.path.basename(path)
    data = open(path, "rb").read()
    magic, cpu, _, filetype, ncmds, _, flags, _ = struct.unpack("<IiiIIIII", data[:32])
    if magic != 0xFEEDFACF or cpu != CPU_ARM64:
        return fail(f"{label}: not a 64-bit arm64 Mach-O")
    if filetype != (MH_DYLIB if kind == "Harbrite.dylib" else MH_BUNDLE):
        fail(f"{label}: file type {filetype}")
    if not flags & MH_TWOLEVEL:
        fail(f"{label}: not two-level namespace")
    off, dylibs, install, build, signature, symtab = 32, [], None, None, None, None
    for _ in range(ncmds):
        cmd, size = struct.unpack("<II", data[off:off + 8])
        if cmd in (LC_LOAD_DYLIB, LC_ID_DYLIB, LC_REEXPORT_DYLIB):
            name_off = struct.unpack("<I", data[off + 8:off + 12])[0]
            name = data[off + name_off:off + size].split(b"\0")[0].decode()
            if cmd == LC_ID_DYLIB:
                install = name
            else:
                dylibs.append(name)
        elif cmd == LC_BUILD_VERSION:
            build = struct.unpack("<II", data[off + 8:off + 16])
        elif cmd == LC_CODE_SIGNATURE:
            signature = struct.unpack("<II", data[off + 8:off + 16])
        elif cmd == LC_SYMTAB:
            symtab = struct.unpack("<IIII", data[off + 8:off + 24])
        off += size
    if build is None or build[0] != PLATFORM_IOS or build[1] != MIN_IOS:
        fail(f"{label}: platform/minimum {build}, wanted iOS 14.5")
    if kind == "Harbrite.dylib" and install != INSTALL_NAMES[kind]:
        fail(f"{label}: install name {install}")
    if signature is None:
        fail(f"{label}: unsigned")
    else:
        check_signature(label, data, *signature)
    stubs = {n: read_stub(n) for n in ALLOWED[kind]}
    by_install = {inst: syms for inst, syms in stubs.values()}
    for name in dylibs:
        if name not in by_install:
            fail(f"{label}: loads {name}, which is not allowed")
    # Imports: undefined external symbols; the library ordinal sits in n_desc's high byte.
    symoff, nsyms, stroff, _ = symtab
    exported = set()
    for i in range(nsyms):
        strx, ntype, _, desc, _ = struct.unpack("<IBBhQ", data[symoff + 16 * i:symoff + 16 * i + 16])
        name = data[stroff + strx:].split(b"\0")[0].decode()
        if ntype & 0xE0:
            continue  # debugging entries
        if ntype & 0x0E == 0 and ntype & 1:  # N_UNDF | N_EXT
            ordinal = (desc >> 8) & 0xFF
            if ordinal == 0 or ordinal > len(dylibs):
                fail(f"{label}: {name} is bound to no library (ordinal {ordinal})")
            elif name not in by_install.get(dylibs[ordinal - 1], ()):
                fail(f"{label}: {name} is bound to {dylibs[ordinal - 1]}, whose stub lacks it")
        elif ntype & 0x0E == 0x0E and ntype & 0x11 == 0x01:  # N_SECT, N_EXT, not N_PEXT
            exported.add(name)
    wanted = c_names(EXPORT_MAPS[kind])
    if exported != wanted:
        fail(f"{label}: exports differ from {EXPORT_MAPS[kind]}: "
             f"missing {sorted(wanted - exported)}, extra {sorted(exported - wanted)}")


EXPECTED_PACKAGE = {
    "./var/jb/Library/MobileSubstrate/DynamicLibraries/Harbrite.dylib": 0o755,
    "./var/jb/Library/MobileSubstrate/DynamicLibraries/Harbrite.plist": 0o644,
    "./var/jb/Library/PreferenceBundles/dunmereprefs.bundle/dunmereprefs": 0o755,
    "./var/jb/Library/PreferenceBundles/dunmereprefs.bundle/Info.plist": 0o644,
    "./var/jb/Library/PreferenceBundles/dunmereprefs.bundle/Root.plist": 0o644,
    "./var/jb/Library/PreferenceLoader/Preferences/dunmereprefs.plist": 0o644,
}


def check_package(deb, version):
    listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True, check=True)
    files = {}
    for line in listing.stdout.splitlines():
        mode, owner, _, _, _, path = line.split(None, 5)
        if mode.startswith("d"):
            if not path.startswith("./var/jb/") and path not in ("./", "./var/"):
                fail(f"package: folder {path} outside /var/jb")
            continue
        perm = sum(0o400 >> i for i, c in enumerate(mode[1:10]) if c != "-")
        files[path] = perm
        if owner != "root/root":
            fail(f"package: {path} owned by {owner}")
    if set(files) != set(EXPECTED_PACKAGE):
        fail(f"package: paths differ: missing {sorted(set(EXPECTED_PACKAGE) - set(files))}, "
             f"extra {sorted(set(files) - set(EXPECTED_PACKAGE))}")
    for path, perm in files.items():
        if path in EXPECTED_PACKAGE and perm != EXPECTED_PACKAGE[path]:
            fail(f"package: {path} has mode {oct(perm)}")
    field = lambda name: subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True,
                                        text=True, check=True).stdout.strip()
    if field("Architecture") != "iphoneos-arm64":
        fail("package: architecture is not iphoneos-arm64")
    if field("Version") != version:
        fail(f"package: version {field('Version')}, the project's is {version}")
    depends = [d.strip() for d in field("Depends").split(",")]
    for wanted in ("mobilesubstrate", "preferenceloader", "com.opa334.altlist",
                   "firmware (>= 14.5)"):
        if not any(d == wanted or d.startswith(wanted + " ") for d in depends):
            fail(f"package: Depends lacks {wanted}")
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run(["dpkg-deb", "-x", deb, tmp], check=True)
        info = open(os.path.join(tmp, "var/jb/Library/PreferenceBundles/dunmereprefs.bundle/"
                                 "Info.plist")).read()
        if f"<string>{version}</string>" not in info:
            fail(f"package: the bundle's Info.plist does not carry version {version}")


def main():
    build, deb = sys.argv[1], sys.argv[2]
    version = re.search(r"project\(Harbrite VERSION ([0-9.]+)",
                        open(os.path.join(ROOT, "CMakeLists.txt")).read()).group(1)
    check_macho(os.path.join(build, "payload", "Harbrite.dylib"), "Harbrite.dylib")
    check_macho(os.path.join(build, "payload", "dunmereprefs.bundle", "dunmereprefs"),
                "dunmereprefs")
    check_package(deb, version)
    print("device checks: " + ("%d problem(s)" % len(problems) if problems else "all hold"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
