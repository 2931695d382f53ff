"""Opens a workbook with LibreOffice (headless) and prints every cell of every sheet as
"cell <sheet name hex> <row> <col> <value hex>", texts as hex of their UTF-8 bytes.

    read_lo.py PATH WORKDIR
"""
import csv
import glob
import os
import subprocess
import sys


def main():
    path, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    # Field separator 44, text delimiter 34, UTF-8 (76), first line 1, ..., -1 = every sheet.
    fmt = "csv:Text - txt - csv (StarCalc):44,34,76,1,,0,false,true,false,false,false,-1"
    env = dict(os.environ, HOME=work)
    subprocess.run(["soffice", "--headless", "-env:UserInstallation=file://" + work + "/profile",
                    "--convert-to", fmt, "--outdir", work, path],
                   check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=240)
    stem = os.path.splitext(os.path.basename(path))[0]
    files = sorted(glob.glob(os.path.join(work, glob.escape(stem) + "-*.csv")))
    if not files:
        sys.exit("no sheets converted")
    for f in files:
        sheet = os.path.basename(f)[len(stem) + 1:-4]
        print("sheet", sheet.encode("utf-8").hex())
        with open(f, newline="", encoding="utf-8") as fh:
            for r, row in enumerate(csv.reader(fh)):
                for c, v in enumerate(row):
                    if v:
                        print("cell", sheet.encode("utf-8").hex(), r, c, v.encode("utf-8").hex())


main()
