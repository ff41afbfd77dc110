"""What a PE file says about itself, read from its headers: machine, imported DLLs, exports,
resources and its file version. The packaging script stamps packages with the version
(`peinfo.py version FILE`); the static checks of the DLLs read the rest."""
import struct
import sys


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError(path + " is not a PE file")
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        if d[pe:pe + 4] != b"PE\0\0":
            raise ValueError(path + " has no PE header")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        magic = struct.unpack_from("<H", d, opt)[0]
        self.pe32plus = magic == 0x20B
        self.dll_characteristics = struct.unpack_from("<H", d, opt + 70)[0]
        self.image_base = struct.unpack_from("<Q" if self.pe32plus else "<I", d, opt + (24 if self.pe32plus else 28))[0]
        dirs = opt + (112 if self.pe32plus else 96)
        count = struct.unpack_from("<I", d, dirs - 4)[0]
        self.directories = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(count)]
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, va, rsize, raw = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), va, max(vsize, rsize), raw, rsize))

    def offset(self, rva):
        for _, va, size, raw, rsize in self.sections:
            if va <= rva < va + size:
                if rva - va >= rsize:
                    raise ValueError("RVA %#x lies past its section's data" % rva)
                return raw + rva - va
        raise ValueError("RVA %#x is in no section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def imports(self):
        rva, _ = self.directories[1]
        names = []
        while rva:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not (lookup or name or thunk):
                break
            names.append(self.cstring(name))
            rva += 20
        return names

    def exports(self):
        """{name: rva} of the export table."""
        rva, _ = self.directories[0]
        if not rva:
            return {}
        base = self.offset(rva)
        nnames, functions, names, ordinals = struct.unpack_from("<IIII", self.data, base + 24)
        result = {}
        for i in range(nnames):
            name = self.cstring(struct.unpack_from("<I", self.data, self.offset(names + 4 * i))[0])
            index = struct.unpack_from("<H", self.data, self.offset(ordinals + 2 * i))[0]
            result[name] = struct.unpack_from("<I", self.data, self.offset(functions + 4 * index))[0]
        return result

    def resources(self):
        """{(type, name): bytes} of the first language of each resource; type and name are
        numbers or strings."""
        root, _ = self.directories[2]
        if not root:
            return {}
        start = self.offset(root)

        def entries(at):
            named, numbered = struct.unpack_from("<HH", self.data, start + at + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, start + at + 16 + 8 * i)
                if ident & 0x80000000:
                    s = start + (ident & 0x7FFFFFFF)
                    length = struct.unpack_from("<H", self.data, s)[0]
                    ident = self.data[s + 2:s + 2 + 2 * length].decode("utf-16-le")
                yield ident, target

        found = {}
        for kind, t in entries(0):
            for name, n in entries(t & 0x7FFFFFFF):
                for _, leaf in entries(n & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", self.data, start + leaf)
                    at = self.offset(data_rva)
                    found[(kind, name)] = self.data[at:at + size]
                    break
        return found

    def file_version(self):
        """The file version of the VERSIONINFO resource (VS_FIXEDFILEINFO after its signature)."""
        info = self.resources().get((16, 1), b"")
        at = info.find(struct.pack("<I", 0xFEEF04BD))
        if at < 0:
            raise ValueError("no VERSIONINFO")
        ms, ls = struct.unpack_from("<II", info, at + 8)
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "version":
        sys.exit("usage: peinfo.py version FILE")
    print(PeFile(sys.argv[2]).file_version())
