#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Writes the fuzzers' seed corpus into corpus/<target>/ beside this script.

Run it again after changing a seed here; it replaces the files it writes and
leaves other files alone. Seeds stay small: the targets zero-pad short input
to a whole page, so trailing zero bytes are left out."""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

EBS_MODEL = b"Amazon Elastic Block Store"
INSTANCE_MODEL = b"Amazon EC2 NVMe Instance Storage"
STATS_MAGIC = 0x3C23B510


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def padded(text, width, pad=b" "):
    assert len(text) <= width
    return text + pad * (width - len(text))


def identify(serial, model, bdev=None, vendor=0x1D0F, bdev_pad=b" "):
    """Identify Controller data up to the last field the report reads."""
    page = bytearray(struct.pack("<HH", vendor, vendor))
    page += padded(serial, 20) + padded(model, 40)
    if bdev is not None:
        page += bytes(3072 - len(page))
        page += padded(bdev, 32, bdev_pad)
    return bytes(page)


def stats_page(counters, read_bins, write_bins, read_count=None, write_count=None):
    """One statistics page, little-endian, cut after the write histogram's
    last bin. counters: the eleven 64-bit fields in page order; bins: lists
    of (lower, upper, count)."""
    page = bytearray(4096)
    struct.pack_into("<I", page, 0, STATS_MAGIC)
    struct.pack_into("<11Q", page, 8, *counters)
    end = 0
    for offset, bins, count in ((512, read_bins, read_count),
                                (2056, write_bins, write_count)):
        struct.pack_into("<Q", page, offset, len(bins) if count is None else count)
        for i, (lower, upper, n) in enumerate(bins):
            struct.pack_into("<QQI", page, offset + 8 + 24 * i, lower, upper, n)
        end = offset + 8 + 24 * len(bins)
    return bytes(page[:end])


def full(page):
    return page + bytes(4096 - len(page))


def latency_bins(n, scale=1):
    return [(2 ** (i - 1) if i else 0, 2 ** i, (i + 1) * scale % 2 ** 32) for i in range(n)]


def main():
    # trim_field: one field; the target pads it with spaces to each width.
    for name, field in [
        ("serial", b"vol0123456789abcdef0"),
        ("model", padded(EBS_MODEL, 40)),
        ("instance_model", padded(INSTANCE_MODEL, 40)),
        ("bdev_nul_padded", padded(b"/dev/sdf", 32, b"\0")),
        ("leading_spaces", b"   sdf  "),
        ("inner_nul", b"vol0abc\0xyz  \0 "),
        ("spaces", b" " * 40),
        ("spaces_and_nuls", b"   \0 \0\0  \0"),
    ]:
        write("trim_field", name, field)

    # Identity: EBS volumes in the ways the report treats them differently,
    # and an instance-storage disk.
    for name, data in [
        ("ebs_sdf", identify(b"vol0123456789abcdef0", EBS_MODEL, b"/dev/sdf")),
        ("ebs_bare_name", identify(b"vol0abc", EBS_MODEL, b"xvdba", bdev_pad=b"\0")),
        ("ebs_hyphen", identify(b"vol-0abc", EBS_MODEL, b"sdf")),
        ("ebs_vol_only", identify(b"vol", EBS_MODEL, b"")),
        ("ebs_blank", identify(b"", EBS_MODEL, b" \0 \0")),
        ("ebs_inner_nul", identify(b"vol0abc\0xyz", EBS_MODEL, b"/dev/sdf\0more")),
        ("ebs_model_nul", identify(b"vol0abc", EBS_MODEL + b"\0x", b"/dev/xvdf")),
        ("instance_storage", identify(b"AWS1A2B3C4D5E6F7G8H9", INSTANCE_MODEL)),
        ("other_vendor", identify(b"S3EVNX0K123456", b"Samsung SSD 970", vendor=0x144D)),
    ]:
        write("identity", name, data)

    # Statistics: the newer page, then (from byte 4096) the one before it.
    counters = list(range(1, 12))
    example = stats_page(counters, [(0, 100, 5), (100, 200, 7)], [])
    later = stats_page([c * 7 for c in counters], latency_bins(64, 3), latency_bins(64, 5))
    earlier = stats_page(counters, latency_bins(64, 1), latency_bins(64, 2))
    top = 2 ** 64 - 1
    for name, data in [
        ("two_bins", example),
        ("empty", stats_page([0] * 11, [], [])),
        ("all_bins_pair", full(later) + earlier),
        ("num_bins_100", stats_page(counters, latency_bins(64), latency_bins(3), read_count=100)),
        ("wrapped_pair", full(example) + stats_page([c + 1 for c in counters],
                                                    [(0, 100, 6), (100, 200, 8)], [])),
        ("wide_values", stats_page([top] * 11, [(123456789, top, 2 ** 32 - 1)], [(0, 0, 0)],
                                   write_count=top)),
    ]:
        write("stats", name, data)


if __name__ == "__main__":
    main()
