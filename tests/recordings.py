"""Receiver recordings from field values, for the tests, the examples and
the benchmark: an Au file (big-endian words, 8-bit linear PCM) whose
320-byte header carries the receiver's annotation block."""
import struct

# Where each annotation field lies, and its width and byte order.
FIELDS = {
    "record_type": (24, "B"), "second": (25, "<H"), "minute": (27, "<H"), "hour": (29, "<H"),
    "day": (31, "<H"), "month0": (33, "<H"), "year1900": (35, "<H"), "alpha_tag": (43, "17s"),
    "system_tag": (60, "17s"), "info": (77, "17s"), "tgid1": (98, ">i"), "tgid2": (102, ">i"),
    "rid1": (106, ">i"), "rid2": (110, ">i"), "site_tag": (114, "17s"),
    "system_number": (131, "<i"), "other": (135, "17s"), "freq1_hz": (152, ">I"),
    "freq2_hz": (156, ">I"), "squelch_mode": (160, ">H"), "squelch_value": (162, ">H"),
    "system_type": (164, "B"),
}
DEFAULTS = dict(second=9, minute=3, hour=7, day=5, year1900=117, alpha_tag=b"FIRE DISP",
                freq1_hz=154430000)


def header(audio=8000, sample_rate=8000, data_offset=320, encoding=2, **fields):
    h = bytearray(320)
    struct.pack_into(">6I", h, 0, 0x2E736E64, data_offset, min(audio, 0xFFFFFFFF), encoding,
                     sample_rate, 1)
    for name, value in {**DEFAULTS, **fields}.items():
        at, fmt = FIELDS[name]
        struct.pack_into(fmt, h, at, value)
    return bytes(h)


def recording(audio=8000, **fields):
    """The whole file: the header, then a quiet 500 Hz square wave."""
    wave = (b"\xf0" * 8 + b"\x10" * 8) * (audio // 16 + 1)
    return header(audio, **fields) + wave[:audio]
