#!/usr/bin/env python3
"""The catalogue as a user would script it: os.walk, struct.unpack, print.

The benchmark's point of comparison; it writes the same rows (for ordinary
paths), though not in the same order, and none of the progress output.
"""
import os
import struct
import sys

RECORD_TYPES = ["CONV", "TGRP", "SRCH"]
SYSTEM_TYPES = ["MOT", "EDACS", "LTR", "P25", "DMR", "NXDN"]
CTCSS = ("67.0 69.3 71.9 74.4 77.0 79.7 82.5 85.4 88.5 91.5 94.8 97.4 100.0 103.5 107.2 110.9 "
         "114.8 118.8 123.0 127.3 131.8 136.5 141.3 146.2 151.4 156.7 159.8 162.2 165.5 167.9 "
         "171.3 173.8 177.3 179.9 183.5 186.2 189.9 192.8 196.6 199.5 203.5 206.5 210.7 218.1 "
         "225.7 229.1 233.6 241.8 250.3 254.1").split()
DCS = ("006 007 015 017 021 023 025 026 031 032 036 043 047 050 051 053 054 065 071 072 073 074 "
       "114 115 116 122 125 131 132 134 141 143 145 152 155 156 162 165 172 174 205 212 214 223 "
       "225 226 243 244 245 246 251 252 255 261 263 265 266 271 274 306 311 315 325 331 332 343 "
       "346 351 356 364 365 371 411 412 413 423 431 432 445 446 452 454 455 462 464 465 466 503 "
       "506 516 523 526 532 546 565 606 612 624 627 631 632 654 662 664 703 712 723 731 732 734 "
       "743 754").split()


def text(raw):
    s = raw.split(b"\0", 1)[0].decode("latin-1")
    return '"' + s.replace('"', '""') + '"'


def name(table, i):
    return table[i] if i < len(table) else ""


def row(path, h, size):
    rate, = struct.unpack_from(">I", h, 16)
    rtype = h[24]
    sec, mi, hr, day, mon, yr = struct.unpack_from("<6H", h, 25)
    out = "%s,%04d-%02d-%02d,%02d:%02d:%02d," % (path, yr + 1900, mon + 1, day, hr, mi, sec)
    if rate:
        d = (size - 320) // rate
        out += "%d:%02d" % (d // 60, d % 60)
    if rtype > 2:
        return out + ",unknown type"
    out += ",%s,%s" % (text(h[43:60]), RECORD_TYPES[rtype])
    if rtype == 1:
        sysnum, = struct.unpack_from("<i", h, 131)
        out += ",%d,%s,%s,%s" % (sysnum, name(SYSTEM_TYPES, h[164]), text(h[60:77]),
                                 text(h[114:131]))
    else:
        out += ",-1,,,"
    out += ",%d,%d,%d,%d" % struct.unpack_from(">4i", h, 98)
    for f in struct.unpack_from(">2I", h, 152):
        out += ",%d.%06d" % (f // 1000000, f % 1000000)
    mode, value = struct.unpack_from(">2H", h, 160)
    if mode == 1:
        out += ",CTCSS," + name(CTCSS, value)
    elif mode == 2:
        out += ",DCS," + name(DCS, value)
    elif mode == 3:
        out += ",P25,%03X" % value
    else:
        out += ",,"
    return out + ",%s,%s" % (text(h[77:94]), text(h[135:152]))


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    out = sys.stdout
    out.write("AUFile path,date,time,duration,alpha tag,type,tsys num,tsys type,tsys tag,"
              "site tag,tgid 1,tgid 2,rid 1,rid 2,freq 1,freq 2,sq mode,sq value,info,other\n")
    count = 0
    for dirpath, dirnames, filenames in os.walk(root):
        for fn in filenames:
            if not fn.lower().endswith(".au"):
                continue
            path = os.path.join(dirpath, fn)
            try:
                with open(path, "rb") as f:
                    h = f.read(320)
                    size = os.fstat(f.fileno()).st_size
            except OSError:
                continue
            if len(h) < 320 or struct.unpack_from(">2I", h, 0) != (0x2E736E64, 320):
                continue
            out.write(row(path, h, size) + "\n")
            count += 1
    sys.stderr.write("%d total files processed\n" % count)


if __name__ == "__main__":
    main()
