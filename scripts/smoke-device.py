#!/usr/bin/python3
"""The emulated smoke run of the device build: loads build-ios/payload/Harbrite.dylib into an
arm64 emulator (python3-unicorn), maps its segments, applies its rebases and binds (the dyld
information ld64.lld writes), binds every import to a trap whose handler stands in for the
platform, then calls exported functions whose imports are few, and the feature state file's line
rules through the unstripped build's local symbols. Each answer is compared with the Linux
build's answer for the same input: harbrite-sim's `call` for the exported functions, a small
driver over the same line-rule source for the line rules.

Usage: smoke-device.py <build-ios dir> <Linux build dir>. Prints one line per call; exits 1 on
any difference, and on any trap the run does not stand in for (it names the import)."""
import json
import os
import struct
import subprocess
import sys
import tempfile

from unicorn import Uc, UcError, UC_ARCH_ARM64, UC_MODE_ARM, UC_HOOK_CODE, UC_HOOK_MEM_INVALID
from unicorn.arm64_const import (UC_ARM64_REG_PC, UC_ARM64_REG_LR, UC_ARM64_REG_SP,
                                 UC_ARM64_REG_X0, UC_ARM64_REG_X8)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LC_SEGMENT_64, LC_SYMTAB, LC_LOAD_DYLIB = 0x19, 0x2, 0xC
LC_DYLD_INFO_ONLY, LC_DYLD_CHAINED_FIXUPS = 0x80000022, 0x80000034
LC_REEXPORT_DYLIB, LC_LOAD_WEAK_DYLIB = 0x8000001F, 0x80000018

BASE = 0x1_0000_0000        # where the image is mapped (its vmaddr 0 plus this slide)
TRAPS = 0x2_0000_0000       # one 16-byte slot per import; code there is a `ret`
HEAP = 0x3_0000_0000
STACK = 0x4_0000_0000
STACK_SIZE = 0x10_0000
RETURN = 0x5_0000_0000      # the link register of every call: reaching it ends the call
RET = struct.pack("<I", 0xD65F03C0)


def uleb(data, i):
    value = shift = 0
    while True:
        b = data[i]
        i += 1
        value |= (b & 0x7F) << shift
        shift += 7
        if b < 0x80:
            return value, i


def sleb(data, i):
    value = shift = 0
    while True:
        b = data[i]
        i += 1
        value |= (b & 0x7F) << shift
        shift += 7
        if b < 0x80:
            if b & 0x40:
                value -= 1 << shift
            return value, i


class Image:
    """The Mach-O file's segments, symbols, rebase locations and bind locations."""

    def __init__(self, path):
        self.data = data = open(path, "rb").read()
        magic, cpu, _, _, ncmds = struct.unpack("<IiiII", data[:20])
        if magic != 0xFEEDFACF or cpu != 0x0100000C:
            raise SystemExit(f"{path}: not an arm64 Mach-O")
        self.segments, self.dylibs, self.symbols = [], [], {}
        dyld_info = symtab = None
        off = 32
        for _ in range(ncmds):
            cmd, size = struct.unpack("<II", data[off:off + 8])
            if cmd == LC_SEGMENT_64:
                name = data[off + 8:off + 24].rstrip(b"\0").decode()
                vmaddr, vmsize, fileoff, filesize = struct.unpack("<QQQQ", data[off + 24:off + 56])
                self.segments.append((name, vmaddr, vmsize, fileoff, filesize))
            elif cmd in (LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB, LC_REEXPORT_DYLIB):
                name_off = struct.unpack("<I", data[off + 8:off + 12])[0]
                self.dylibs.append(data[off + name_off:off + size].split(b"\0")[0].decode())
            elif cmd == LC_DYLD_INFO_ONLY:
                dyld_info = struct.unpack("<10I", data[off + 8:off + 48])
            elif cmd == LC_DYLD_CHAINED_FIXUPS:
                raise SystemExit(f"{path}: chained fixups; this run applies only dyld "
                                 "information's rebase and bind opcodes (what ld64.lld 14 writes)")
            elif cmd == LC_SYMTAB:
                symtab = struct.unpack("<IIII", data[off + 8:off + 24])
            off += size
        if dyld_info is None:
            raise SystemExit(f"{path}: no dyld information")
        symoff, nsyms, stroff, _ = symtab
        for i in range(nsyms):
            strx, ntype, _, _, value = struct.unpack("<IBBhQ", data[symoff + 16 * i:symoff + 16 * i + 16])
            if ntype & 0xE0 == 0 and ntype & 0x0E == 0x0E:  # defined in a section, not debugging
                self.symbols[data[stroff + strx:].split(b"\0")[0].decode()] = value
        ro, rs, bo, bs, wo, ws, lo, ls = dyld_info[:8]
        self.rebases = list(self.read_rebases(data[ro:ro + rs]))
        self.binds = (list(self.read_binds(data[bo:bo + bs], lazy=False)) +
                      list(self.read_binds(data[lo:lo + ls], lazy=True)))
        # Weak definitions the image itself may override are bound like the others: dyld binds
        # them to the first image that defines them, which for this run is the trap.
        self.binds += [b for b in self.read_binds(data[wo:wo + ws], lazy=False, weak=True)]

    def read_rebases(self, ops):
        i, seg, offset = 0, 0, 0
        while i < len(ops):
            op, imm = ops[i] & 0xF0, ops[i] & 0x0F
            i += 1
            if op == 0x00:  # DONE
                break
            elif op == 0x10:  # SET_TYPE_IMM (pointer)
                if imm != 1:
                    raise SystemExit(f"rebase type {imm}")
            elif op == 0x20:  # SET_SEGMENT_AND_OFFSET_ULEB
                seg = imm
                offset, i = uleb(ops, i)
            elif op == 0x30:  # ADD_ADDR_ULEB
                n, i = uleb(ops, i)
                offset += n
            elif op == 0x40:  # ADD_ADDR_IMM_SCALED
                offset += imm * 8
            elif op in (0x50, 0x60):  # DO_REBASE_IMM_TIMES, DO_REBASE_ULEB_TIMES
                count = imm
                if op == 0x60:
                    count, i = uleb(ops, i)
                for _ in range(count):
                    yield self.segments[seg][1] + offset
                    offset += 8
            elif op == 0x70:  # DO_REBASE_ADD_ADDR_ULEB
                n, i = uleb(ops, i)
                yield self.segments[seg][1] + offset
                offset += 8 + n
            elif op == 0x80:  # DO_REBASE_ULEB_TIMES_SKIPPING_ULEB
                count, i = uleb(ops, i)
                skip, i = uleb(ops, i)
                for _ in range(count):
                    yield self.segments[seg][1] + offset
                    offset += 8 + skip
            else:
                raise SystemExit(f"unknown rebase opcode {op:#x}")

    def read_binds(self, ops, lazy, weak=False):
        """(address, symbol, addend, library ordinal) for each bind."""
        i, seg, offset, name, addend, ordinal = 0, 0, 0, None, 0, 0
        while i < len(ops):
            op, imm = ops[i] & 0xF0, ops[i] & 0x0F
            i += 1
            if op == 0x00:  # DONE: the lazy stream has one per entry
                if lazy:
                    continue
                break
            elif op == 0x10:  # SET_DYLIB_ORDINAL_IMM
                ordinal = imm
            elif op == 0x20:  # SET_DYLIB_ORDINAL_ULEB
                ordinal, i = uleb(ops, i)
            elif op == 0x30:  # SET_DYLIB_SPECIAL_IMM
                ordinal = -((0x10 - imm) & 0xF) if imm else 0
            elif op == 0x40:  # SET_SYMBOL_TRAILING_FLAGS_IMM
                end = ops.index(b"\0", i)
                name = ops[i:end].decode()
                i = end + 1
                if weak and imm & 0x8:  # a strong definition in this image: nothing to bind
                    name = None
            elif op == 0x50:  # SET_TYPE_IMM (pointer)
                if imm != 1:
                    raise SystemExit(f"bind type {imm}")
            elif op == 0x60:  # SET_ADDEND_SLEB
                addend, i = sleb(ops, i)
            elif op == 0x70:  # SET_SEGMENT_AND_OFFSET_ULEB
                seg = imm
                offset, i = uleb(ops, i)
            elif op == 0x80:  # ADD_ADDR_ULEB
                n, i = uleb(ops, i)
                offset = (offset + n) & 0xFFFFFFFFFFFFFFFF
            elif op in (0x90, 0xA0, 0xB0):  # DO_BIND, ..._ADD_ADDR_ULEB, ..._ADD_ADDR_IMM_SCALED
                if name is not None:
                    yield self.segments[seg][1] + offset, name, addend, ordinal
                offset += 8
                if op == 0xA0:
                    n, i = uleb(ops, i)
                    offset = (offset + n) & 0xFFFFFFFFFFFFFFFF
                elif op == 0xB0:
                    offset += imm * 8
            elif op == 0xC0:  # DO_BIND_ULEB_TIMES_SKIPPING_ULEB
                count, i = uleb(ops, i)
                skip, i = uleb(ops, i)
                for _ in range(count):
                    if name is not None:
                        yield self.segments[seg][1] + offset, name, addend, ordinal
                    offset += 8 + skip
            else:
                raise SystemExit(f"unknown bind opcode {op:#x}")


class Stop(Exception):
    pass


class Device:
    """The emulated process: the image mapped and fixed up, each import a trap."""

    def __init__(self, image):
        self.image = image
        self.uc = uc = Uc(UC_ARCH_ARM64, UC_MODE_ARM)
        for name, vmaddr, vmsize, fileoff, filesize in image.segments:
            if vmsize == 0 or name == "__PAGEZERO":
                continue
            start, end = (BASE + vmaddr) & ~0x3FFF, (BASE + vmaddr + vmsize + 0x3FFF) & ~0x3FFF
            uc.mem_map(start, end - start)
            uc.mem_write(BASE + vmaddr, image.data[fileoff:fileoff + min(filesize, vmsize)])
        for address in image.rebases:
            value = struct.unpack("<Q", uc.mem_read(BASE + address, 8))[0]
            uc.mem_write(BASE + address, struct.pack("<Q", value + BASE))
        self.trap_names = sorted({name for _, name, _, _ in image.binds})
        self.trap_at = {name: TRAPS + 16 * i for i, name in enumerate(self.trap_names)}
        size = (16 * len(self.trap_names) + 0x3FFF) & ~0x3FFF
        uc.mem_map(TRAPS, size)
        uc.mem_write(TRAPS, RET * (size // 4))
        for address, name, addend, _ in image.binds:
            uc.mem_write(BASE + address, struct.pack("<Q", self.trap_at[name] + addend))
        uc.mem_map(HEAP, 0x100_0000)
        uc.mem_map(STACK, STACK_SIZE)
        uc.mem_map(RETURN, 0x4000)
        uc.mem_write(RETURN, RET)
        self.heap_next = HEAP
        uc.hook_add(UC_HOOK_CODE, self.on_trap, begin=TRAPS, end=TRAPS + size - 1)
        uc.hook_add(UC_HOOK_MEM_INVALID, self.on_fault)
        self.calls, self.fault = [], None
        # The platform as the traps answer it.
        self.strings = {}      # string object -> its UTF-8 bytes
        self.selectors = {}    # selector name -> its address
        self.classes = {}      # class name -> its address
        self.device_object = self.alloc(16)
        self.system_version = None
        self.executable_path = b""
        self.dlopen_answers = 0

    # ---- memory ---------------------------------------------------------------------------
    def alloc(self, size):
        address = self.heap_next
        self.heap_next += (max(size, 1) + 15) & ~15
        return address

    def cstring(self, address, bound=None):
        """The bytes before the NUL at `address`; with `bound`, at most that many (strnlen's
        rule: no NUL needed within the bound)."""
        out, limit = bytearray(), 1 << 16 if bound is None else bound
        while len(out) < limit:
            chunk = bytes(self.uc.mem_read(address + len(out), min(64, limit - len(out))))
            end = chunk.find(b"\0")
            if end >= 0:
                return bytes(out + chunk[:end])
            out += chunk
        if bound is None:
            raise Stop("unterminated string")
        return bytes(out)

    def put_cstring(self, text):
        address = self.alloc(len(text) + 1)
        self.uc.mem_write(address, text + b"\0")
        return address

    def reg(self, n):
        return self.uc.reg_read(UC_ARM64_REG_X0 + n)

    def set_x0(self, value):
        self.uc.reg_write(UC_ARM64_REG_X0, value & 0xFFFFFFFFFFFFFFFF)

    def u64(self, address):
        return struct.unpack("<Q", self.uc.mem_read(address, 8))[0]

    def string_object(self, text):
        obj = self.alloc(16)
        self.strings[obj] = text
        return obj

    # ---- traps ----------------------------------------------------------------------------
    def on_fault(self, uc, access, address, size, value, data):
        self.fault = f"memory fault at {address:#x} (pc {uc.reg_read(UC_ARM64_REG_PC):#x})"
        return False

    def on_trap(self, uc, address, size, data):
        name = self.trap_names[(address - TRAPS) // 16]
        handler = getattr(self, "trap" + name.replace("$", "_"), None)
        self.calls.append(name)
        if handler is None:
            self.fault = f"called {name}, which this run does not stand in for"
            uc.emu_stop()
            return
        try:
            handler()
        except Stop as stop:
            self.fault = f"{name}: {stop}"
            uc.emu_stop()

    def jump(self, function, argument):
        """Continues at `function(argument)`, which returns to the trap's caller."""
        self.uc.reg_write(UC_ARM64_REG_X0, argument)
        self.uc.reg_write(UC_ARM64_REG_PC, function)

    # The C library.
    def trap_malloc(self):
        self.set_x0(self.alloc(self.reg(0)))

    trap__Znwm = trap__Znam = trap_malloc

    def trap_free(self):
        pass

    trap__ZdlPv = trap__ZdaPv = trap_free

    def trap_strlen(self):
        self.set_x0(len(self.cstring(self.reg(0))))

    def trap_strnlen(self):
        self.set_x0(len(self.cstring(self.reg(0), self.reg(1))))

    def trap_strncmp(self):
        n = self.reg(2)
        a, b = self.cstring(self.reg(0), n), self.cstring(self.reg(1), n)
        self.set_x0(0 if a == b else (-1 if a < b else 1))

    def trap_memcpy(self):
        if self.reg(2):
            self.uc.mem_write(self.reg(0), bytes(self.uc.mem_read(self.reg(1), self.reg(2))))

    trap_memmove = trap_memcpy

    def trap_memset(self):
        if self.reg(2):
            self.uc.mem_write(self.reg(0), bytes([self.reg(1) & 0xFF]) * self.reg(2))

    def trap_bzero(self):
        if self.reg(1):
            self.uc.mem_write(self.reg(0), bytes(self.reg(1)))

    def trap_memcmp(self):
        n = self.reg(2)
        a, b = bytes(self.uc.mem_read(self.reg(0), n)), bytes(self.uc.mem_read(self.reg(1), n))
        self.set_x0(0 if a == b else (-1 if a < b else 1))

    def trap_memchr(self):
        n = self.reg(2)
        at = bytes(self.uc.mem_read(self.reg(0), n)).find(bytes([self.reg(1) & 0xFF])) if n else -1
        self.set_x0(0 if at < 0 else self.reg(0) + at)

    def trap___stack_chk_fail(self):
        raise Stop("the stack guard was overwritten")

    def trap___cxa_guard_acquire(self):
        self.set_x0(1 if self.uc.mem_read(self.reg(0), 1)[0] == 0 else 0)

    def trap___cxa_guard_release(self):
        self.uc.mem_write(self.reg(0), b"\1")

    def trap__ZNSt3__111__call_onceERVmPvPFvS2_E(self):
        # std::call_once's slow path on its one thread: marks the flag done, then runs the work.
        flag, argument, function = self.reg(0), self.reg(1), self.reg(2)
        if self.u64(flag) != 0xFFFFFFFFFFFFFFFF:
            self.uc.mem_write(flag, struct.pack("<Q", 0xFFFFFFFFFFFFFFFF))
            self.jump(function, argument)

    def trap_dispatch_once_f(self):
        predicate, context, function = self.reg(0), self.reg(1), self.reg(2)
        if self.u64(predicate) != 0xFFFFFFFFFFFFFFFF:
            self.uc.mem_write(predicate, struct.pack("<Q", 0xFFFFFFFFFFFFFFFF))
            self.jump(function, context)

    def trap_dlopen(self):
        self.dlopen_answers += 1
        self.set_x0(0)  # no libroot on this device

    def trap_dlsym(self):
        raise Stop("dlsym on a library that dlopen never opened")

    def trap__NSGetExecutablePath(self):
        buffer, size_at = self.reg(0), self.reg(1)
        size = struct.unpack("<I", self.uc.mem_read(size_at, 4))[0]
        if len(self.executable_path) + 1 > size:
            self.uc.mem_write(size_at, struct.pack("<I", len(self.executable_path) + 1))
            self.set_x0(0xFFFFFFFF)
            return
        self.uc.mem_write(buffer, self.executable_path + b"\0")
        self.set_x0(0)

    # The object runtime: UIDevice's current device, whose systemVersion is a string object.
    def trap_objc_getClass(self):
        name = self.cstring(self.reg(0)).decode()
        if name not in self.classes:
            self.classes[name] = self.alloc(16)
        self.set_x0(self.classes[name])

    def trap_sel_registerName(self):
        name = self.cstring(self.reg(0))
        if name not in self.selectors:
            self.selectors[name] = self.put_cstring(name)
        self.set_x0(self.selectors[name])

    def trap_objc_msgSend(self):
        receiver, selector = self.reg(0), self.cstring(self.reg(1)).decode()
        if receiver == 0:
            return self.set_x0(0)
        if receiver == self.classes.get("UIDevice") and selector == "currentDevice":
            return self.set_x0(self.device_object)
        if receiver == self.device_object and selector == "systemVersion":
            return self.set_x0(0 if self.system_version is None
                               else self.string_object(self.system_version))
        raise Stop(f"no answer for -{selector} sent to {receiver:#x}")

    def trap_objc_retain(self):
        pass  # answers its argument, which x0 already holds

    trap_objc_autorelease = trap_objc_retainAutoreleasedReturnValue = trap_objc_retain

    def trap_objc_release(self):
        pass

    trap_CFRelease = trap_objc_release

    # CoreFoundation's strings.
    STRING_TYPE = 7

    def trap_CFStringGetTypeID(self):
        self.set_x0(self.STRING_TYPE)

    def trap_CFGetTypeID(self):
        self.set_x0(self.STRING_TYPE if self.reg(0) in self.strings else 1)

    def trap_CFStringGetLength(self):
        self.set_x0(len(self.strings[self.reg(0)].decode("utf-8").encode("utf-16-le")) // 2)

    def trap_CFStringGetBytes(self):
        # (string, range.location, range.length, encoding, lossByte, external, buffer, maxLength,
        # *usedLength on the stack): the whole string in UTF-8, as the engine asks for it.
        string, location, length, encoding = self.reg(0), self.reg(1), self.reg(2), self.reg(3)
        buffer, max_length = self.reg(6), self.reg(7)
        used_at = self.u64(self.uc.reg_read(UC_ARM64_REG_SP))
        units = self.strings[string].decode("utf-8").encode("utf-16-le")
        if encoding != 0x08000100 or location != 0 or length != len(units) // 2:
            raise Stop(f"a conversion this run does not stand in for ({location}, {length}, "
                       f"{encoding:#x})")
        text = self.strings[string]
        if buffer != 0:
            if len(text) > max_length:
                raise Stop("a buffer shorter than the string")
            self.uc.mem_write(buffer, text)
        if used_at != 0:
            self.uc.mem_write(used_at, struct.pack("<Q", len(text)))
        self.set_x0(length)

    def trap_CFStringCreateWithBytes(self):
        # (allocator, bytes, length, encoding, external representation)
        if self.reg(3) != 0x08000100:
            raise Stop(f"encoding {self.reg(3):#x}")
        data = bytes(self.uc.mem_read(self.reg(1), self.reg(2))) if self.reg(2) else b""
        try:
            data.decode("utf-8")
        except UnicodeDecodeError:
            return self.set_x0(0)
        self.set_x0(self.string_object(data))

    # libc++'s std::string members that the library imports (Apple arm64 layout: a long string
    # is {data, size, capacity | top bit}; a short one keeps its size in byte 23). What the traps
    # write is always the long form, which the inline members read as well.
    def string_set(self, address, text):
        capacity = (len(text) + 1 + 15) & ~15
        data = self.alloc(capacity)
        self.uc.mem_write(data, text + b"\0")
        self.uc.mem_write(address, struct.pack("<QQQ", data, len(text), capacity | 1 << 63))

    def string_edit(self, change):
        this = self.reg(0)
        self.string_set(this, change(self.std_string(this)))
        self.set_x0(this)

    def trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEE6appendEPKc(self):
        self.string_edit(lambda old: old + self.cstring(self.reg(1)))

    def trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEE6appendEPKcm(self):
        self.string_edit(lambda old: old + self.memory(self.reg(1), self.reg(2)))

    def trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEE6assignEPKc(self):
        self.string_edit(lambda old: self.cstring(self.reg(1)))

    def trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEE6insertEmPKc(self):
        at = self.reg(1)
        self.string_edit(lambda old: old[:at] + self.cstring(self.reg(2)) + old[at:])

    def trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEE6insertEmPKcm(self):
        at = self.reg(1)
        self.string_edit(lambda old: old[:at] + self.memory(self.reg(2), self.reg(3)) + old[at:])

    def trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEE6resizeEmc(self):
        n, c = self.reg(1), bytes([self.reg(2) & 0xFF])
        self.string_edit(lambda old: old[:n] + c * (n - len(old)))

    def trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEE7reserveEm(self):
        self.string_edit(lambda old: old)

    def trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEE9push_backEc(self):
        self.string_edit(lambda old: old + bytes([self.reg(1) & 0xFF]))

    def trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEEC1ERKS5_(self):
        self.string_set(self.reg(0), self.std_string(self.reg(1)))

    trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEEaSERKS5_ = \
        trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEEC1ERKS5_

    def trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEEC1ERKS5_mmRKS4_(self):
        at, n = self.reg(2), self.reg(3)
        self.string_set(self.reg(0), self.std_string(self.reg(1))[at:at + n])

    def trap__ZNSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEED1Ev(self):
        pass

    def trap__ZNKSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEE5rfindEcm(self):
        text, c, at = self.std_string(self.reg(0)), bytes([self.reg(1) & 0xFF]), self.reg(2)
        found = text.rfind(c, 0, min(at, len(text)) + 1) if text else -1
        self.set_x0(found)

    def trap__ZNKSt3__112basic_stringIcNS_11char_traitsIcEENS_9allocatorIcEEE7compareEmmPKcm(self):
        text, at, n = self.std_string(self.reg(0)), self.reg(1), self.reg(2)
        if at > len(text):
            raise Stop("compare past the end (libc++ would throw out_of_range)")
        mine, theirs = text[at:at + n], self.memory(self.reg(3), self.reg(4))
        self.set_x0(0 if mine == theirs else (-1 if mine < theirs else 1))

    def memory(self, address, size):
        return bytes(self.uc.mem_read(address, size)) if size else b""

    # ---- calls ----------------------------------------------------------------------------
    def address_of(self, symbol):
        if symbol not in self.image.symbols:
            raise SystemExit(f"Harbrite.dylib has no symbol {symbol}")
        return BASE + self.image.symbols[symbol]

    def call(self, symbol, *args, result_at=None):
        """Runs symbol(args) (integers and pointers in x0..x7; x8 the result's place) to its
        return; answers x0, or raises Stop with what went wrong."""
        uc = self.uc
        for n, value in enumerate(args):
            uc.reg_write(UC_ARM64_REG_X0 + n, value & 0xFFFFFFFFFFFFFFFF)
        if result_at is not None:
            uc.reg_write(UC_ARM64_REG_X8, result_at)
        uc.reg_write(UC_ARM64_REG_SP, STACK + STACK_SIZE - 0x100)
        uc.reg_write(UC_ARM64_REG_LR, RETURN)
        self.fault = None
        try:
            uc.emu_start(self.address_of(symbol), RETURN, timeout=10_000_000)
        except UcError as error:
            raise Stop(self.fault or f"{error} at pc {uc.reg_read(UC_ARM64_REG_PC):#x}")
        if self.fault:
            raise Stop(self.fault)
        if uc.reg_read(UC_ARM64_REG_PC) != RETURN:
            raise Stop(f"did not return (pc {uc.reg_read(UC_ARM64_REG_PC):#x})")
        return uc.reg_read(UC_ARM64_REG_X0)

    def std_string(self, address):
        """A libc++ std::string in the layout of Apple's arm64 (data first)."""
        raw = bytes(self.uc.mem_read(address, 24))
        if raw[23] & 0x80:
            data, size = struct.unpack("<QQ", raw[:16])
            return bytes(self.uc.mem_read(data, size)) if size else b""
        return raw[:raw[23] & 0x7F]


# ---- what the Linux build answers ---------------------------------------------------------

def quote(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'




def sim_answers_text(sim, setup, calls):
    """The `answer` events' texts of harbrite-sim after `boot` and the `call` lines, in order."""
    script = "".join(line + "\n" for line in setup) + "boot\n"
    script += "".join(f"call {name}" + (f" {quote(arg)}" if arg is not None else "") + "\n"
                      for name, arg in calls)
    with tempfile.TemporaryDirectory() as tmp:
        scenario, out = os.path.join(tmp, "smoke.scn"), os.path.join(tmp, "run.json")
        open(scenario, "w").write(script)
        run = subprocess.run([sim, "run", "--quiet", "--device", os.path.join(tmp, "device"),
                              "--json", out, scenario], capture_output=True, text=True)
        events = json.load(open(out))["events"] if os.path.exists(out) else []
    # Each answer reads "NAME answered ANSWER".
    answers = [e["text"].split(" answered ", 1)[1] for e in events if e["kind"] == "answer"]
    if run.returncode != 0 or len(answers) != len(calls):
        raise SystemExit(f"harbrite-sim answered {len(answers)} of {len(calls)} calls "
                         f"(status {run.returncode}):\n{run.stdout}{run.stderr}")
    return answers


LINE_RULES_DRIVER = r"""
// Answers the feature state file's line rules for the smoke run: each input line is
// "<text>\t<feature>\t<on>" with the text in hex; prints readFeature and withFeature (in hex).
#include <cstdio>
#include <iostream>
#include <string>
#include "dunmereprefs/Shared/FeatureStateLines.h"
static std::string unhex(const std::string& h) {
  std::string out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) out += char(std::stoi(h.substr(i, 2), nullptr, 16));
  return out;
}
int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    const auto a = line.find('\t'), b = line.find('\t', a + 1);
    const std::string text = unhex(line.substr(0, a)), feature = line.substr(a + 1, b - a - 1);
    const bool on = line.substr(b + 1) == "1";
    std::cout << (harbrite::featurestate::readFeature(text, feature) ? "true" : "false") << ' ';
    for (unsigned char c : harbrite::featurestate::withFeature(text, feature, on)) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", c);
      std::cout << hex;
    }
    std::cout << '\n';
  }
}
"""

LIBROOT_PATHS = ["/x", "/var/jb", "/var/jb/usr/lib/libroot.dylib", "/var/jbx", "relative/path",
                 "", "/", "/" + "a" * 1100, "/var/mobile/Library/Preferences/a b.plist"]
LIBROOT_PREFIXES = ["libroot_dyn_get_root_prefix", "libroot_dyn_get_jbroot_prefix",
                    "libroot_dyn_get_boot_uuid", "libroot_get_root_prefix_fallback",
                    "libroot_get_jbroot_prefix_fallback", "libroot_get_boot_uuid_fallback"]
LIBROOT_MAPPINGS = ["libroot_dyn_jbrootpath", "libroot_dyn_rootfspath",
                    "libroot_jbrootpath_fallback", "libroot_rootfspath_fallback"]
VERSIONS = ["13.7", "14.5", "15.0", "16.1", "16", "17.0", "1", "161", "14", "9.3"]
# SpringBoard's path, which is what harbrite-sim's SpringBoard answers.
EXECUTABLE = "/System/Library/CoreServices/SpringBoard.app/SpringBoard"
LINE_CASES = [
    ("", "VPN", True), ("VPNState=YES\n", "VPN", False), ("VPNState=NO\n", "VPN", True),
    ("A=1\nVPNState=YES", "VPN", False), ("A=1", "VPN", True), ("xVPNState=YES\n", "VPN", True),
    ("VPNState=NO\r\nVPNState=YES\n", "VPN", True), ("A\rVPNState=sure YES\r", "VPN", False),
    ("A\u0085VPNState=YES\u2028B\u2029", "VPN", False), ("A\u2028VPNState=NO", "VPN", True),
    ("WifiState=YES\nVPNState=NO\n", "Wifi", False), ("VPNState=\n", "VPN", True),
    ("x" * 40 + "\nVPNState=YES" + "y" * 40, "VPN", False),
]


def brief(answer):
    """An answer as the report prints it: a long one by its start and its length."""
    text = repr(answer)
    return text if len(text) <= 90 else f"{text[:60]}... ({len(answer)} characters)"


def display(answer):
    """An emulated answer as harbrite-sim's timeline writes a called function's answer."""
    if answer is None:
        return "null"
    if isinstance(answer, bool):
        return "true" if answer else "false"
    return answer


def main():
    build_ios, build = sys.argv[1], sys.argv[2]
    sim = os.path.join(build, "tools", "harbrite-sim")
    image = Image(os.path.join(build_ios, "payload", "Harbrite.dylib"))
    device = Device(image)
    differences, compared = [], 0

    def compare(what, emulated, linux):
        nonlocal compared
        compared += 1
        same = emulated == linux
        print(("same " if same else "DIFFERENT ") + f"{what}: device {brief(emulated)}" +
              ("" if same else f", Linux {brief(linux)}"))
        if not same:
            differences.append(what)

    def emulated(symbol, *args, **kw):
        try:
            return device.call(symbol, *args, **kw)
        except Stop as stop:
            return f"<stopped: {stop}>"

    # The root-prefix family, on a device without libroot: dlopen answers none.
    calls = [(name, None) for name in LIBROOT_PREFIXES]
    calls += [(name, path) for name in LIBROOT_MAPPINGS for path in LIBROOT_PATHS]
    linux = sim_answers_text(sim, ["libroot none"], calls)
    for (name, path), want in zip(calls, linux):
        if path is None:
            got = emulated("_" + name)
            got = display(device.cstring(got).decode() if isinstance(got, int) and got else
                          (None if got == 0 else got))
        else:
            buffer = device.alloc(1024)
            got = emulated("_" + name, device.put_cstring(path.encode()), buffer)
            if isinstance(got, int):
                got = display(device.cstring(got).decode() if got else None)
        # harbrite-sim writes a string answer quoted, with its escapes; unquote for the compare.
        label = name + (f"({path[:40]!r}{'...' if path and len(path) > 40 else ''})"
                        if path is not None else "()")
        compare(label, got, unquote(want))
    if device.dlopen_answers != 1:
        differences.append(f"dlopen asked {device.dlopen_answers} times, wanted once")
        print(f"DIFFERENT libroot: dlopen asked {device.dlopen_answers} times, wanted once")

    # The version probes, with UIDevice's systemVersion a string the traps answer.
    probes = ["isIOS13", "isIOS14", "isIOS15", "isIOS16"]
    for version in VERSIONS:
        linux = sim_answers_text(sim, [f"ios {version}"], [(p, None) for p in probes])
        device.system_version = version.encode()
        for probe, want in zip(probes, linux):
            got = emulated("_" + probe)
            compare(f"{probe} on {version!r}", display(bool(got & 0xFF)) if isinstance(got, int)
                    else got, want)

    # safe_getExecutablePath, with _NSGetExecutablePath answering the process's path.
    linux = sim_answers_text(sim, [], [("safe_getExecutablePath", None)])
    device.executable_path = EXECUTABLE.encode()
    got = emulated("_safe_getExecutablePath")
    if isinstance(got, int):
        got = display(device.strings[got].decode() if got in device.strings else
                      (None if got == 0 else f"<not a string object: {got:#x}>"))
    compare(f"safe_getExecutablePath with {EXECUTABLE!r}", got, unquote(linux[0]))

    # The feature state file's line rules, through the unstripped build's local symbols.
    with tempfile.TemporaryDirectory() as tmp:
        source, program = os.path.join(tmp, "lines.cpp"), os.path.join(tmp, "lines")
        open(source, "w").write(LINE_RULES_DRIVER)
        subprocess.run(["c++", "-std=c++20", "-O1", "-I", ROOT, source,
                        os.path.join(ROOT, "dunmereprefs/Shared/FeatureStateLines.cpp"),
                        "-o", program], check=True)
        cases = "".join(f"{t.encode().hex()}\t{f}\t{int(on)}\n" for t, f, on in LINE_CASES)
        linux = subprocess.run([program], input=cases, capture_output=True, text=True,
                               check=True).stdout.split("\n")
    read = "__ZN8harbrite12featurestate11readFeatureENSt3__117basic_string_viewIcNS1_11char_traitsIcEEEES5_"
    write = "__ZN8harbrite12featurestate11withFeatureENSt3__117basic_string_viewIcNS1_11char_traitsIcEEEES5_b"
    for (text, feature, on), want in zip(LINE_CASES, linux):
        data, key = text.encode(), feature.encode()
        at_text, at_key = device.put_cstring(data), device.put_cstring(key)
        got = emulated(read, at_text, len(data), at_key, len(key))
        got_read = display(bool(got & 0xFF)) if isinstance(got, int) else got
        result = device.alloc(24)
        got = emulated(write, at_text, len(data), at_key, len(key), int(on), result_at=result)
        got_write = device.std_string(result).hex() if isinstance(got, int) else got
        compare(f"readFeature/withFeature({text[:30]!r}, {feature!r}, {on})",
                f"{got_read} {got_write}", want)

    print(f"smoke run: {compared} answers compared, " +
          (f"{len(differences)} differ" if differences else "all the same as the Linux build's"))
    return 1 if differences else 0


def unquote(answer):
    """harbrite-sim's answer text: a quoted string (with \\, \\", \\n, \\t, \\r and \\xHH
    escapes), true, false or null; a string comes back as the text it quotes."""
    if not (len(answer) >= 2 and answer.startswith('"') and answer.endswith('"')):
        return answer
    body, out, i = answer[1:-1], bytearray(), 0
    while i < len(body):
        if body[i] == "\\" and i + 1 < len(body):
            c = body[i + 1]
            if c == "x":
                out.append(int(body[i + 2:i + 4], 16))
                i += 4
                continue
            out += {"n": b"\n", "t": b"\t", "r": b"\r"}.get(c, c.encode())
            i += 2
        else:
            out += body[i].encode()
            i += 1
    return out.decode("utf-8", "replace")


if __name__ == "__main__":
    sys.exit(main())
