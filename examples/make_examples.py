#!/usr/bin/env python3
"""Writes the synthetic recordings bundled here: make_examples.py [DIR]"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from recordings import recording  # noqa: E402

EXAMPLES = {
    # conventional, CTCSS 100.0
    "2017-01-05/A001.AU": recording(8000 * 3, squelch_mode=1, squelch_value=12, info=b"Station 4"),
    # trunked talkgroup on a P25 system
    "2017-01-05/A002.AU": recording(
        8000 * 2, record_type=1, second=41, minute=12, hour=14, alpha_tag=b"PD North",
        system_number=2, system_type=3, system_tag=b"County P25", site_tag=b"Hilltop", tgid1=1201,
        rid1=4401023, freq1_hz=851012500, squelch_mode=3, squelch_value=0x293),
    # a search hit, DCS 023
    "2017-01-06/B001.au": recording(
        8000, record_type=2, day=6, hour=9, minute=30, second=0, alpha_tag=b"",
        freq1_hz=462562500, squelch_mode=2, squelch_value=5, other=b"FRS 1"),
    # trunked talkgroup on a DMR system, no squelch
    "2017-01-06/B002.AU": recording(
        8000 * 4, record_type=1, day=6, hour=18, minute=5, second=12, alpha_tag=b'Ops, "Main"',
        system_number=7, system_type=4, system_tag=b"Utility", site_tag=b"Plant", tgid1=9,
        rid1=3100077, freq1_hz=453137500),
}

if __name__ == "__main__":
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for rel, data in EXAMPLES.items():
        os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
        with open(os.path.join(root, rel), "wb") as f:
            f.write(data)
