"""A small independent reader of i386 COFF objects for the tests."""
import struct


class Section:
    pass


class Symbol:
    pass


class CoffFile:
    def __init__(self, data):
        self.data = data
        (self.machine, count, self.timestamp, self.symbol_pointer, self.symbol_count,
         self.optional_size, self.characteristics) = struct.unpack_from("<HHIIIHH", data, 0)
        self.sections = []
        table = 20 + self.optional_size
        for i in range(count):
            s = Section()
            offset = table + 40 * i
            s.header = data[offset:offset + 40]
            (name, s.virtual_size, s.virtual_address, s.raw_size, s.raw_pointer, s.reloc_pointer,
             s.line_pointer, s.reloc_count, s.line_count, s.flags) = struct.unpack_from("<8sIIIIIIHHI", data, offset)
            s.name = name.rstrip(b"\0").decode("latin-1")
            s.number = i + 1
            s.contents = data[s.raw_pointer:s.raw_pointer + s.raw_size] if s.raw_pointer else b""
            s.relocations = self._relocations(s)
            self.sections.append(s)
        self.symbols = []
        strings = self.symbol_pointer + 18 * self.symbol_count
        i = 0
        while i < self.symbol_count:
            offset = self.symbol_pointer + 18 * i
            s = Symbol()
            raw = data[offset:offset + 18]
            s.raw = raw
            if raw[:4] == b"\0\0\0\0":
                start = strings + struct.unpack_from("<I", raw, 4)[0]
                s.name = data[start:data.index(b"\0", start)].decode("latin-1")
            else:
                s.name = raw[:8].rstrip(b"\0").decode("latin-1")
            s.value, s.section, s.type, s.storage, s.aux_count = struct.unpack_from("<IhHBB", raw, 8)
            s.index = i
            s.aux = [data[offset + 18 * (k + 1):offset + 18 * (k + 2)] for k in range(s.aux_count)]
            self.symbols.append(s)
            i += 1 + s.aux_count
        self.string_table = data[strings:]

    def _relocations(self, s):
        if not s.reloc_pointer:
            return []
        count = s.reloc_count
        start = s.reloc_pointer
        if s.flags & 0x01000000 and count == 0xFFFF:
            count = struct.unpack_from("<I", self.data, start)[0] - 1
            start += 10
        return [struct.unpack_from("<IIH", self.data, start + 10 * k) for k in range(count)]

    def section(self, name):
        return next(s for s in self.sections if s.name == name)

    def symbol(self, name):
        return [s for s in self.symbols if s.name == name]


def read(path):
    with open(path, "rb") as f:
        return CoffFile(f.read())
