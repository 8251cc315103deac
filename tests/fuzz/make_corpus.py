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

    exporter_seeds()


# The exporter's targets: the web configuration, the device side's check of
# a request, the metrics side's handling of the answers, and two headers.

BCRYPT = b"$2y$10$X6rw/gHFKbKpKu8JX4brq.0OSTZlC5QIdmLvkz7R2VPX2lTZQ.ieC"


def pem(name):
    with open(os.path.join(HERE, "fuzz_web_config.cpp"), "rb") as f:
        source = f.read().decode()
    start = source.index("static const char %s[] =" % name)
    lines = source[start:].split(";", 1)[0].splitlines()[1:]
    return "".join(line.strip()[1:-3] + "\n" for line in lines).encode()


def block(text, indent):
    return b"|\n" + b"".join(b" " * indent + line + b"\n" for line in text.splitlines())


def request(mask, kind, tag, controller, size=40):
    record = struct.pack("<II32s", kind, tag, controller)
    return bytes([mask]) + (record + b"\0" * size)[:size]


# Scripts of the device side's answers (see fuzz_device_answers.cpp).
def list_answer(*numbers, step=0, count=None):
    count = len(numbers) if count is None else count
    return bytes([step, (count + 1) & 0xFF, 0]) + bytes(numbers)


def read_answer(flags, failed_step=0, failure=0, error=0, nanoseconds=1500000, patches=(),
                step=0, identity=b""):
    body = bytes([step, flags]) + identity + bytes([failed_step, failure, error])
    body += struct.pack("<Q", nanoseconds) + bytes([len(patches)])
    for offset, value in patches:
        body += struct.pack("<HI", offset, value)
    return body


EBS, INSTANCE, OTHER = 0x0F, 0x43, 0x00
READ_BIN0 = 512 + 8 + 16  # the count of the read histogram's first bin


def exporter_seeds():
    # The web configuration, whole files.
    cert, key = pem("certificate"), pem("private_key")
    for name, data in [
        ("empty", b""),
        ("null", b"~\n"),
        ("users", b"basic_auth_users:\n  alice: " + BCRYPT + b"\n  'bob': \"" + BCRYPT
         + b"\"\n"),
        ("tls_files", b"tls_server_config:\n  cert_file: cert.pem\n  key_file: /fuzz/key.pem\n"
         b"  client_ca_file: ca.pem\n  client_auth_type: RequireAndVerifyClientCert\n"
         b"  min_version: TLS12\n  max_version: TLS13\n  prefer_server_cipher_suites: true\n"
         b"  cipher_suites: []\n  curve_preferences:\n  client_allowed_sans: []\n"),
        ("tls_inline", b"tls_server_config:\n  cert: " + block(cert, 4) + b"  key: "
         + block(key, 4) + b"  client_ca: " + block(cert, 4)
         + b"  client_auth_type: VerifyClientCertIfGiven\n"),
        ("tls_missing_file", b"tls_server_config:\n  cert_file: /etc/ssl/cert.pem\n"
         b"  key_file: ../key.pem\n"),
        ("headers", b"http_server_config:\n  http2: false\n  headers:\n"
         b"    X-Frame-Options: deny\n    content-security-policy: \"default-src 'self'\"\n"
         b"    Strict-Transport-Security: max-age=31536000\nrate_limit: null\n"),
        ("flow", b"{basic_auth_users: {a: '" + BCRYPT + b"'}, http_server_config: {headers: "
         b"{X-XSS-Protection: '1; mode=block'}}, tls_server_config: null}\n"),
        ("anchors", b"http_server_config: &h\n  headers: &x {X-Content-Type-Options: nosniff}\n"
         b"basic_auth_users: {*x : '" + BCRYPT + b"'}\n"),
        ("duplicate_key", b"basic_auth_users:\n  a: " + BCRYPT + b"\n  \"a\": " + BCRYPT + b"\n"),
        ("unknown_key", b"tls_server_config:\n  cert: x\n  key: y\n  verbose: true\n"),
        ("header_break", b"http_server_config:\n  headers:\n    X-Frame-Options: \"a\\r\\nb\"\n"),
        ("nested", b"basic_auth_users: " + b"[" * 40 + b"]" * 40 + b"\n"),
        ("two_documents", b"basic_auth_users: {}\n---\nrate_limit: 1\n"),
    ]:
        write("web_config", name, data)

    # A request record, after a byte of which controllers are listed.
    for name, data in [
        ("list", request(0, 1, 7, b"")),
        ("read_listed", request(1, 2, 8, b"nvme0")),
        ("read_not_listed", request(1, 2, 9, b"nvme2")),
        ("read_full_list", request(0x80, 2, 9, b"nvme250")),
        ("unknown_kind", request(0x7F, 3, 1, b"nvme0")),
        ("short", request(1, 2, 8, b"nvme0", 39)),
        ("long", request(1, 2, 8, b"nvme0", 41)),
        ("empty", b"\x01"),
        ("name_unended", request(0x7F, 2, 1, b"nvme1" + b"1" * 27)),
        ("namespace", request(0x7F, 2, 1, b"nvme0n1")),
        ("name_with_tail", request(0x7F, 2, 1, b"nvme0\0garbage")),
    ]:
        write("device_request", name, data)

    # Scripts of the device side: the first byte is the number of scrapes less one.
    two = list_answer(0, 1)
    for name, data in [
        ("ebs_and_instance", b"\0" + two + read_answer(EBS) + read_answer(INSTANCE)),
        ("totals_carried", b"\x02" + list_answer(0) + read_answer(EBS)
         + list_answer(0) + read_answer(EBS, patches=[(READ_BIN0, 100)])
         + list_answer(0) + read_answer(EBS, patches=[(READ_BIN0, 50)])),
        ("bin_wraps", b"\x01" + list_answer(3) + read_answer(EBS, patches=[(READ_BIN0, 0xFFFFFFF0)])
         + list_answer(3) + read_answer(EBS, patches=[(READ_BIN0, 5)])),
        ("failures", b"\0" + list_answer(0, 1, 2, 3) + read_answer(EBS, 4, 1, 5)
         + read_answer(EBS, step=4) + read_answer(OTHER) + read_answer(0x07, 4, 3)),
        ("other_records", b"\0" + list_answer(5, step=2) + b"\x00\x10" + list_answer(5, step=1)
         + b"\1\2\3\4" + list_answer(5) + read_answer(EBS, step=3) + read_answer(EBS, step=5)
         + b"\x05" + read_answer(EBS, step=2) + b"\xc8\x00" + read_answer(EBS)),
        ("late", b"\x01" + two + b"\x06\x06" + read_answer(EBS) + read_answer(EBS) + two
         + read_answer(EBS, patches=[(READ_BIN0, 9)]) + read_answer(EBS)),
        ("escaped_identity", b"\0" + list_answer(7) + read_answer(0x6F)),
        ("raw_identity", b"\0" + list_answer(7) + read_answer(
            0x1F, identity=b"vol-\xff\x01\"{}\n".ljust(24, b"x") + b"s" * 24 + b"m" * 48
            + b"/dev/sd\\".ljust(40, b"\0"))),
        ("list_failed", b"\x01" + bytes([0, 0, 13]) + list_answer()),
        ("list_overlong", b"\0" + list_answer(*range(64), count=0x7fffffff)),
        ("raw_names", b"\0" + list_answer(0xF0) + b"nvme0".ljust(32, b"0")
         + b"nvme0n1\n".ljust(64, b"\0") + read_answer(EBS)),
        ("controller_listed_twice", b"\0" + list_answer(3, 3) + read_answer(EBS)),
        ("device_listed_twice", b"\0" + list_answer(0xF0, count=2) + b"nvme1".ljust(32, b"\0")
         + b"nvme1n1".ljust(64, b"\0") + b"\xf0" + b"nvme2".ljust(32, b"\0")
         + b"nvme1n1".ljust(64, b"\0") + read_answer(EBS) + read_answer(EBS)),
        ("odd_bins", b"\0" + list_answer(1) + read_answer(EBS, patches=[
            (512, 100), (2056, 0), (512 + 8 + 24 + 8, 0xFFFFFFFF), (512 + 8 + 24 + 12, 0xFFFFFFFF),
            (512 + 8 + 48 + 8, 1)])),
    ]:
        write("device_answers", name, data)

    # The Authorization header: a byte, then the header's text (even byte) or
    # a client's name:password (odd byte).
    for name, data in [
        ("basic", b"\0Basic dXNlcjpwYXNz"),
        ("lower_spaces", b"\0basic   dXNlcjpwYXNz"),
        ("bearer", b"\0Bearer dXNlcjpwYXNz"),
        ("no_token", b"\0Basic "),
        ("no_colon", b"\0Basic dXNlcg=="),
        ("nul_in_name", b"\0Basic dXNlcgBhOmI="),
        ("bad_padding", b"\0Basic dXNlcjpwYXNz="),
        ("not_base64", b"\0Basic dXNl!cjpw"),
        ("client", b"\x01alice:secret"),
        ("client_lower", b"\x07alice:"),
        ("empty_name", b"\x01:password"),
        ("colon_in_password", b"\x01user:pa:ss"),
        ("long_name", b"\x01" + b"n" * 300 + b":x"),
        ("long_password", b"\x01u:" + b"p" * 1100),
    ]:
        write("basic_auth", name, data)

    # X-Prometheus-Scrape-Timeout-Seconds: a byte choosing --scrape.timeout,
    # then the header.
    for name, data in [
        ("prometheus", b"\x0010"),
        ("fraction", b"\x009.5"),
        ("above_limit", b"\x0030"),
        ("short", b"\x000.4"),
        ("long_limit", b"\x0360"),
        ("small_limit", b"\x051"),
        ("word", b"\x00ten"),
        ("overflow", b"\x001e309"),
        ("nan", b"\x00nan"),
        ("negative", b"\x00-3"),
        ("spaces", b"\x00 5 "),
        ("hex", b"\x000x1p3"),
        ("empty", b"\x00"),
    ]:
        write("scrape_timeout", name, data)


if __name__ == "__main__":
    main()
