"""Reads a workbook with xlrd (and its container with olefile) and prints what it finds,
one fact a line, texts as hex of their UTF-8 bytes so the C++ test can compare them.

    read_xls.py PATH full     every cell with its font, widths, shared strings
    read_xls.py PATH digest   per sheet: rows, columns and a CRC-32 of all cell texts
    read_xls.py PATH stream OUT   copies the "Workbook" stream to OUT (olefile only)
"""
import sys
import zlib

import olefile
import xlrd


def hx(s):
    return s.encode("utf-8").hex() or "-"


def main():
    path, mode = sys.argv[1], sys.argv[2]
    ole = olefile.OleFileIO(path)
    print("olestreams", " ".join("/".join(e) for e in ole.listdir()))
    print("oleheader", ole.dll_version, ole.sector_size, ole.mini_stream_cutoff_size)
    print("olesize", ole.get_size("Workbook"))
    if mode == "stream":
        with open(sys.argv[3], "wb") as f:
            f.write(ole.openstream("Workbook").read())
        return
    ole.close()

    full = mode == "full"
    book = xlrd.open_workbook(path, formatting_info=full, on_demand=True)
    print("nsheets", book.nsheets)
    for i in range(book.nsheets):
        sh = book.sheet_by_index(i)
        print("sheet", i, hx(sh.name), sh.nrows, sh.ncols)
        if full:
            for col, info in sorted(sh.colinfo_map.items()):
                print("width", i, col, info.width, info.xf_index)
            for r in range(sh.nrows):
                for c in range(sh.ncols):
                    cell = sh.cell(r, c)
                    if cell.ctype == xlrd.XL_CELL_EMPTY:
                        continue
                    xf = book.xf_list[cell.xf_index]
                    font = book.font_list[xf.font_index]
                    print("cell", i, r, c, hx(cell.value), font.weight, font.colour_index,
                          font.height, hx(font.name), xf.alignment.vert_align,
                          xf.format_key)
        else:
            crc = 0
            for r in range(sh.nrows):
                row = "\x1f".join(str(v) for v in sh.row_values(r)) + "\x1e"
                crc = zlib.crc32(row.encode("utf-8"), crc)
            print("crc", i, crc)
    if full:
        for s in book._sharedstrings:
            print("sst", hx(s))


main()
