"""Property-list files made and checked by Python's plistlib, the independent reader.

gen DIR SEED COUNT: writes DIR/N.plist (N < COUNT), binary and XML in turn, holding every kind
of value plistlib writes, with random contents from SEED, made over as other writers and hand
editors leave files: XML with a byte-order mark, in UTF-16 or ISO-8859-1, with <key/>, integers
with leading zeros, CR LF; binary with 8-byte UIDs, 16-byte integers, fractional dates, ASCII
strings holding a NUL. Files holding an integer out of range are listed in DIR/refused.
check DIR COUNT KEY: for each N, reads DIR/N.plist and DIR/N.out (the file after the pane set
KEY to true) and compares them value by value; prints the figures and the first mismatches.
Files listed in DIR/refused (one N a line) must have come back byte for byte.
"""
import datetime
import math
import os
import plistlib
import random
import re
import struct
import sys

sys.setrecursionlimit(20000)
EPOCH = datetime.datetime(2001, 1, 1)


def random_text(rng, binary):
    pieces = []
    for _ in range(rng.randrange(0, 12)):
        kind = rng.randrange(8)
        if kind == 0:
            pieces.append(chr(rng.randrange(0x20, 0x7F)))
        elif kind == 1:
            pieces.append(rng.choice("\t\n\r" if binary else "\t\n"))
        elif kind == 2 and binary:
            pieces.append(chr(rng.randrange(0, 0x20)))  # NUL and the other controls
        elif kind == 3:
            pieces.append(chr(rng.randrange(0x80, 0xD800)))
        elif kind == 4:
            pieces.append(chr(rng.randrange(0xE000, 0xFFFE)))
        elif kind == 5:
            pieces.append(chr(rng.randrange(0x10000, 0x110000)))
        elif kind == 6 and binary:
            pieces.append(rng.choice("\ufffe\uffff\x7f\x85\u2028"))
        else:
            pieces.append(rng.choice("&<>\"'é"))
    return "".join(pieces)


def random_real(rng):
    choice = rng.randrange(6)
    if choice == 0:
        return rng.choice([0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, 1.7976931348623157e308])
    if choice == 1:
        return struct.unpack(">d", struct.pack(">Q", 0x7FF0000000000000 | rng.getrandbits(52) | 1))[0]
    if choice == 2:
        return struct.unpack(">d", struct.pack(">Q", 0xFFF8000000000000 | rng.getrandbits(51)))[0]
    return struct.unpack(">d", struct.pack(">Q", rng.getrandbits(64)))[0]


def random_int(rng):
    return rng.choice([
        0, 1, -1, 255, 256, 65535, 65536, 2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 1, -2**63,
        rng.randrange(-2**63, 2**64), rng.randrange(2**63, 2**64), rng.randrange(-2**63, 0),
        rng.randrange(0, 2**16)])


def random_date(rng, binary):
    low = datetime.datetime(1, 1, 1) if binary else datetime.datetime(1000, 1, 1)
    span = (datetime.datetime(9999, 12, 31, 23, 59, 59) - low).total_seconds()
    when = low + datetime.timedelta(seconds=rng.randrange(int(span)))
    if binary:
        when = when.replace(microsecond=rng.randrange(1000000) // 1000 * 1000)
    return when


def random_value(rng, binary, depth):
    kind = rng.randrange(12 if depth < 6 else 9)
    if kind == 0:
        return rng.random() < 0.5
    if kind == 1:
        return random_int(rng)
    if kind == 2:
        return random_real(rng)
    if kind == 3:
        return random_text(rng, binary)
    if kind == 4:
        return bytes(rng.getrandbits(8) for _ in range(rng.randrange(0, 40)))
    if kind == 5:
        return random_date(rng, binary)
    if kind == 6 and binary:
        return plistlib.UID(rng.choice([0, 255, 256, 65535, 65536, 2**32 - 1, rng.randrange(2**32)]))
    if kind in (6, 7, 8):
        return random_int(rng)
    if kind in (9, 10):
        return [random_value(rng, binary, depth + 1) for _ in range(rng.randrange(0, 5))]
    return random_dict(rng, binary, depth + 1)


def random_dict(rng, binary, depth):
    return {random_text(rng, binary): random_value(rng, binary, depth)
            for _ in range(rng.randrange(0, 6))}


def latin1(value):
    """The value with every character outside ISO-8859-1 replaced, for files in that encoding."""
    if isinstance(value, str):
        return "".join(c if ord(c) < 0x100 else "\xe9" for c in value)
    if isinstance(value, list):
        return [latin1(v) for v in value]
    if isinstance(value, dict):
        return {latin1(k): latin1(v) for k, v in value.items()}
    return value


# A 16-byte integer as plistlib writes 2**64 - 1, to be patched into other 16-byte values.
SIXTEEN_BYTES = b"\x14" + b"\x00" * 8 + b"\xff" * 8


def hand_made_xml(rng, n, data):
    """XML as other writers and hand editors make it: byte-order marks, other encodings, <key/>,
    integers with leading zeros, CR LF line ends. Answers the bytes and whether the file holds an
    integer out of range (to be refused)."""
    text = data.decode("utf-8")
    if n % 4 == 1:  # leading zeros: decimal, never octal
        text = re.sub(r"<integer>(\d+)</integer>", lambda m: "<integer>00%s</integer>" % m.group(1), text)
    if n % 4 == 3:
        text = text.replace("<dict>", "<dict>\n\t<key/>\n\t<string>empty key</string>", 1)
    if n % 8 == 5:
        text = text.replace("<dict>", "<dict>\n\t<key>line ends</key>\n\t<string>a\r\nb\rc</string>", 1)
    out_of_range = n % 20 == 19
    if out_of_range:
        text = text.replace("<dict>", "<dict>\n\t<key>too large</key>\n\t<integer>%d</integer>"
                            % rng.choice([2**64, -2**63 - 1]), 1)
    flavour = n % 10
    if flavour == 1:
        return b"\xef\xbb\xbf" + text.encode("utf-8"), out_of_range
    if flavour == 3:
        return text.replace("UTF-8", "UTF-16", 1).encode("utf-16"), out_of_range
    if flavour == 5:
        return text.replace("UTF-8", "ISO-8859-1", 1).encode("latin-1"), out_of_range
    if flavour == 7:
        return b"\xfe\xff" + text.replace("UTF-8", "UTF-16", 1).encode("utf-16-be"), out_of_range
    return text.encode("utf-8"), out_of_range


def generate(folder, seed, count):
    rng = random.Random(seed)
    refused = []
    for n in range(count):
        binary = n % 2 == 0
        top = random_dict(rng, binary, 0)
        top["usePersistMode"] = rng.random() < 0.5
        top["enabledApplications"] = ["com.example.bank", random_text(rng, binary)]
        if n % 10 == 3:
            deep = [1]
            for _ in range(rng.randrange(520, 1200)):
                deep = [deep]
            top["deep"] = deep
        if binary:
            top["large uid"] = plistlib.UID(rng.randrange(2**32, 2**64))  # 8 bytes
            top["fraction of a second"] = EPOCH + datetime.timedelta(
                seconds=rng.randrange(-2**31, 2**31), microseconds=rng.randrange(1, 1000) * 1000)
            if n % 20 == 4:
                top["ascii with NUL"] = "a\x00b"
                top["ascii key\x00with NUL"] = 1
            if n % 6 == 2 or n % 20 == 14:
                top["sixteen bytes"] = 2**64 - 1  # patched below to -1, or to 2**64 (refused)
        else:
            top = latin1(top) if n % 10 == 5 else top
        data = plistlib.dumps(top, fmt=plistlib.FMT_BINARY if binary else plistlib.FMT_XML,
                              sort_keys=False)
        if binary and n % 20 == 14:
            data = data.replace(SIXTEEN_BYTES, b"\x14" + b"\x00" * 7 + b"\x01" + b"\x00" * 8)
            refused.append(n)
        elif binary and n % 6 == 2:
            data = data.replace(SIXTEEN_BYTES, b"\x14" + b"\xff" * 16)
        if not binary:
            data, out_of_range = hand_made_xml(rng, n, data)
            if out_of_range:
                refused.append(n)
        with open(os.path.join(folder, "%d.plist" % n), "wb") as f:
            f.write(data)
    with open(os.path.join(folder, "refused"), "w") as f:
        f.write("".join("%d\n" % n for n in refused))


class Compare:
    def __init__(self, to_the_second):
        self.values = 0
        self.mismatches = []
        self.to_the_second = to_the_second

    def same(self, a, b, where):
        self.values += 1
        if type(a) is not type(b):
            return self.fail(where, a, b)
        if isinstance(a, float):
            if struct.pack(">d", a) != struct.pack(">d", b):
                self.fail(where, a, b)
        elif isinstance(a, datetime.datetime):
            if self.to_the_second:
                a = a.replace(microsecond=0)
            if a != b:
                self.fail(where, a, b)
        elif isinstance(a, list):
            if len(a) != len(b):
                return self.fail(where, "%d items" % len(a), "%d items" % len(b))
            for i, (x, y) in enumerate(zip(a, b)):
                self.same(x, y, where + "[%d]" % i)
        elif isinstance(a, dict):
            if set(a) != set(b):
                return self.fail(where, sorted(map(repr, a))[:5], sorted(map(repr, b))[:5])
            for key in a:
                self.same(a[key], b[key], where + "[%r]" % key)
        elif a != b:
            self.fail(where, a, b)

    def fail(self, where, a, b):
        self.mismatches.append("%s: %r became %r" % (where, a, b))


def check(folder, count, key):
    with open(os.path.join(folder, "refused")) as f:
        refused = {int(line) for line in f if line.strip()}
    values = 0
    mismatches = []
    binary_written = 0
    for n in range(count):
        with open(os.path.join(folder, "%d.plist" % n), "rb") as f:
            original = f.read()
        with open(os.path.join(folder, "%d.out" % n), "rb") as f:
            written = f.read()
        if n in refused:
            if written != original:
                mismatches.append("%d: a refused file was written over" % n)
            continue
        try:
            before = plistlib.loads(original)
        except Exception as e:
            mismatches.append("%d: plistlib cannot read the file made: %r" % (n, e))
            continue
        try:
            after = plistlib.loads(written)
        except Exception as e:  # a file plistlib cannot read is a mismatch
            mismatches.append("%d: plistlib cannot read the file written: %r" % (n, e))
            continue
        binary_written += written.startswith(b"bplist00")
        before[key] = True
        compare = Compare(to_the_second=False)
        compare.same(before, after, "%d" % n)
        values += compare.values
        mismatches += compare.mismatches
    print("files %d values %d mismatches %d refused %d binary-written %d"
          % (count, values, len(mismatches), len(refused), binary_written))
    for line in mismatches[:20]:
        print(line)


if __name__ == "__main__":
    if sys.argv[1] == "gen":
        generate(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    else:
        check(sys.argv[2], int(sys.argv[3]), sys.argv[4])
