"""Reading the tables of a FlatBuffers file (a TFLite model) with the
standard library alone: a table, its scalar fields, strings, vectors and
nested tables by vtable slot. A damaged file raises struct.error or IndexError
(a vector is checked to lie inside the buffer before it is read, so a
length of four billion cannot hold the reader up), which the callers turn
into a message."""

import struct


class Table:
    def __init__(self, buf, pos):
        self.buf = buf
        self.pos = pos
        vtable = pos - struct.unpack_from("<i", buf, pos)[0]
        self.vt_size = struct.unpack_from("<H", buf, vtable)[0]
        self.vtable = vtable

    def _field(self, slot):
        entry = 4 + 2 * slot
        if entry >= self.vt_size:
            return 0
        return struct.unpack_from("<H", self.buf, self.vtable + entry)[0]

    def has(self, slot):
        return self._field(slot) != 0

    def scalar(self, slot, fmt, default=0):
        off = self._field(slot)
        return default if off == 0 else struct.unpack_from("<" + fmt, self.buf, self.pos + off)[0]

    def _indirect(self, slot):
        off = self._field(slot)
        if off == 0:
            return None
        at = self.pos + off
        return at + struct.unpack_from("<I", self.buf, at)[0]

    def _length(self, at, item_size):
        n = struct.unpack_from("<I", self.buf, at)[0]
        if at + 4 + n * item_size > len(self.buf):
            raise IndexError("a vector of %d items at byte %d runs past the end of the buffer" % (n, at))
        return n

    def table(self, slot):
        at = self._indirect(slot)
        return None if at is None else Table(self.buf, at)

    def vector(self, slot, fmt):
        at = self._indirect(slot)
        if at is None:
            return None
        n = self._length(at, struct.calcsize("<" + fmt))
        return list(struct.unpack_from("<%d%s" % (n, fmt), self.buf, at + 4))

    def bytes_vector(self, slot):
        at = self._indirect(slot)
        if at is None:
            return None
        n = self._length(at, 1)
        return bytes(self.buf[at + 4:at + 4 + n])

    def string(self, slot):
        raw = self.bytes_vector(slot)
        return None if raw is None else raw.decode("utf-8")

    def tables(self, slot):
        at = self._indirect(slot)
        if at is None:
            return None
        n = self._length(at, 4)
        out = []
        for i in range(n):
            elem = at + 4 + 4 * i
            out.append(Table(self.buf, elem + struct.unpack_from("<I", self.buf, elem)[0]))
        return out
