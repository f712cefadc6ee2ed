#!/usr/bin/env python3
"""Writes a zip again so that the same files give the same bytes, whoever packs them and when.

    reproducible_zip.py PACKAGE.zip SECONDS

The entries go in order of their names, each dated SECONDS (a Unix time, the source's:
SOURCE_DATE_EPOCH or the last commit's time), with no owner, permissions or extra fields of the machine that packed
them, and compressed at one fixed level.
"""
import os
import sys
import time
import zipfile

EARLIEST_DOS_DATE = (1980, 1, 1, 0, 0, 0)


def main():
    path, seconds = sys.argv[1], int(sys.argv[2])
    date = max(time.gmtime(seconds)[:6], EARLIEST_DOS_DATE)
    with zipfile.ZipFile(path) as old:
        entries = sorted((info.filename, old.read(info)) for info in old.infolist())
    temporary = path + ".tmp"
    with zipfile.ZipFile(temporary, "w") as new:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date)
            info.create_system = 0  # MS-DOS: no Unix owner or mode
            info.external_attr = 0
            info.compress_type = zipfile.ZIP_DEFLATED
            new.writestr(info, data, compresslevel=9)
    os.replace(temporary, path)


if __name__ == "__main__":
    main()
