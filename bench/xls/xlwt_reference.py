"""The reference writer of bench_xls: python3-xlwt writes the same rows as one workbook.

    xlwt_reference.py ROWS OUT

ROWS holds the rows as bench_xls wrote them: per row one direction byte (2 received,
1 sent) and five fields, each a 4-byte little-endian length and the bytes (time, type,
device, body, head). Loading and decoding the rows is not timed; building the workbook and
saving it is. Prints "seconds S", "peak_kib K" (the peak resident memory added while
writing) and "size N".
"""
import struct
import sys
import time

import xlwt


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def load(path):
    rows = {1: [], 2: []}
    with open(path, "rb") as f:
        data = f.read()
    pos = 0
    while pos < len(data):
        direction = data[pos]
        pos += 1
        fields = []
        for _ in range(5):
            (n,) = struct.unpack_from("<I", data, pos)
            pos += 4
            fields.append(data[pos:pos + n])
            pos += n
        t, typ, dev, body, head = fields
        rows[direction].append((t.decode("latin-1"), typ.decode("utf-8", "replace"),
                                dev.decode("latin-1"), body.decode("utf-8", "replace"),
                                head.decode("utf-8", "replace")))
    return rows


def style(weight, colour):
    s = xlwt.XFStyle()
    font = xlwt.Font()
    font.name = "Arial"
    font.height = 200
    font._weight = weight
    font.colour_index = colour
    s.font = font
    return s


def main():
    rows = load(sys.argv[1])
    out = sys.argv[2]
    reset_peak()
    base = rss_kib("VmRSS")
    t0 = time.perf_counter()
    book = xlwt.Workbook(encoding="utf-8")
    header, data = style(500, 4), style(300, 0)
    headers = ["时间", "类型", "设备ID", "信息体", "信息头"]
    widths = [6000, 6000, 6000, 12000, 8000]
    for name, direction in (("Recv Msg", 2), ("Send Msg", 1)):
        sheet = book.add_sheet(name)
        for c in range(5):
            sheet.col(c).width = widths[c]
            sheet.write(0, c, headers[c], header)
        for r, cells in enumerate(rows[direction], start=1):
            for c in range(5):
                sheet.write(r, c, cells[c], data)
    book.add_sheet("Sheet3")
    book.save(out)
    seconds = time.perf_counter() - t0
    peak = rss_kib("VmHWM") - base
    import os
    print("seconds", seconds)
    print("peak_kib", peak)
    print("size", os.path.getsize(out))


main()
