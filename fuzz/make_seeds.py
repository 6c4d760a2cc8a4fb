#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/seed-*.

The seeds are small valid inputs that take each target past its first checks:
a short Intel HEX text, BCSP frames as the chip sends them, a vhid connection
with input reports. Crashers found by fuzzing are kept beside them under other
names; this script leaves those alone.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(bytes(data))


# Intel HEX texts ----------------------------------------------------------
write("hextext", "short", b":020000040000FA\n:10000000000102030405060708090A0B0C0D0E0F78\n:00000001FF\n")
write("hextext", "crlf-blank", b":020000040000FA\r\n\r\n:0400000001020304F2\r\n:00000001FF\r\n:garbage after the end\n")
write("hextext", "bad-digit", b":0400000001020G04F2\n:00000001FF\n")
write("hextext", "longest", b":" + b"AB" * 61 + b"\n:" + b"CD" * 62 + b"\n")
write("hextext", "no-final-lf", b":00000001FF")


# BCSP frames --------------------------------------------------------------
def crc_register(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc


def reverse16(value):
    return int(f"{value:016b}"[::-1], 2)


def frame(payload, channel, seq=0, ack=0, reliable=False, crc=True):
    length = len(payload)
    header = [(0x80 if reliable else 0) | (0x40 if crc else 0) | (ack << 3) | seq,
              (channel & 0x0F) | ((length << 4) & 0xF0), (length >> 4) & 0xFF]
    header.append(~sum(header) & 0xFF)
    body = header + list(payload)
    if crc:
        trailer = reverse16(crc_register(body))
        body += [trailer >> 8, trailer & 0xFF]
    out = [0xC0]
    for byte in body:
        out += [0xDB, 0xDC] if byte == 0xC0 else [0xDB, 0xDD] if byte == 0xDB else [byte]
    return out + [0xC0]


def uart_reports(wire, chunk=28):
    """Records of the bcsp target: length byte, then a UART data input report."""
    out = []
    for i in range(0, len(wire), chunk):
        part = wire[i:i + chunk]
        report = [0, 0, 0x28, len(part)] + part
        out += [len(report)] + report
    return out


SYNC_RESP = [0xAC, 0xAF, 0xEF, 0xEE]
CONF_RESP = [0xDE, 0xAD, 0xD0, 0xD0]
SYNC = [0xDA, 0xDC, 0xED, 0xED]
handshake = frame(SYNC_RESP, 1) + frame(CONF_RESP, 1)
data_reliable = frame([0x33, 0xC0, 0xDB, 0x44, 0x55], 12, seq=0, ack=1, reliable=True)
data_unreliable = frame(list(range(40)), 13, crc=False)
capacity = lambda n: [n & 0xFF, n >> 8]

write("bcsp", "handshake-then-data", [0x02] + capacity(64) + uart_reports(handshake + data_reliable))
write("bcsp", "active-data", [0x01] + capacity(128) + uart_reports(data_reliable + data_unreliable))
write("bcsp", "small-descriptor", [0x01] + capacity(6) + uart_reports(data_reliable))
write("bcsp", "peer-reset", [0x03] + capacity(16) + uart_reports(frame(SYNC, 1) + data_reliable))
# Reports whose count byte claims more than arrived, and reports too short to carry one.
odd = [3, 0, 0, 0x28] + [8, 0, 0, 0x28, 200, 0xC0, 0x40, 0x41, 0x00] + [2, 0, 0x28]
write("bcsp", "count-claims", [0x04] + capacity(0) + odd + uart_reports(handshake))


# vhid connections ---------------------------------------------------------
def message(kind, payload):
    return [kind, 0] + list(struct.pack("<H", len(payload))) + list(payload)


def input_report(data):
    return message(0x02, data)


product = list("Aurelix Rho".encode())
uart = [0, 0, 0x28, 5, 0xC0, 0x40, 0x41, 0x00, 0x7E] + [0] * 23
status = [0, 0, 0xEE, 0x01, 0x02, 0x03, 0x04] + [0] * 25
reports = input_report(uart) + input_report(status) + input_report([0, 0, 0x28, 60, 1, 2]) + input_report([])
hello = message(0x01, [1, 0x2B, 0x1A, 0x01, 0x0C, 65, 65, 65] + product)
get_input_done = message(0x93, [0] + [0, 0, 0x11] + [0] * 29)

write("vhid", "reader", [0, 0xC0 | 31, len(product)] + product + reports + get_input_done + reports)
write("vhid", "hello-in-stream", [1, 40, 0] + hello + reports)
write("vhid", "helper-uart", [2, 0, len(product)] + product + reports + reports)
write("vhid", "malformed-header", [0, 5, 0] + input_report([1, 2, 3]) + [0x02, 1, 0, 0] + input_report([4]))


# Built frames for the bcsp target (flag bit 3): control, header byte 0, channel, length, payload.
def built(control, flags_byte, channel, payload):
    return [control, flags_byte, channel, len(payload)] + list(payload)


write("bcsp", "built-handshake", [0x08] + capacity(32)
      + built(0xC0, 0x40, 1, SYNC_RESP) + built(0xC0, 0x40, 1, CONF_RESP)
      + built(0xC0, 0xC8, 12, [1, 2, 3]) + built(0x40, 0x41, 12, [0xC0] * 8)
      + built(0xC0, 0xC1, 12, list(range(30))))
write("bcsp", "built-active", [0x0B] + capacity(10)
      + built(0xC0, 0xC8, 12, [9] * 8) + built(0xC0, 0xC8, 12, [7] * 6)
      + built(0x83, 0x00, 5, [1] * 20) + built(0xE1, 0xC9, 2, [2] * 4))


# Device answers to the upgrader (inventory target) --------------------------
def answer(*data, length=32):
    """An input report: report ID 0, byte 1 unused, then `data` from byte 2, padded to `length`."""
    report = [0, 0] + list(data)
    return (report + [0] * length)[:length]


def batch(*reports):
    out = [len(reports)]
    for report in reports:
        out += [len(report)] + report
    return out


def record(data):
    return [len(data)] + list(data)


SYSTEM = 0x3E
STATUS_OK = [0xEE, 0x4F, 0x4B, 0, 0]
uart_noise = answer(0x28, 2, 0xC0, 0xC0)


def processor(code, version):
    return batch(answer(SYSTEM, 0x02, code)) + batch(answer(SYSTEM, 0x03, *version))


loader_ok = batch() + record([0, 0, 0, 3, 2]) + batch(answer(*STATUS_OK, length=7)) + batch(
    uart_noise, answer(*STATUS_OK, length=7))
write("inventory", "three-processors",
      [0] + batch(answer(SYSTEM, 0x01, 3)) + processor(33, [0x03, 0x10, 0x17, 0x20])
      + processor(8, [0x22, 0x10, 0x15, 0x20]) + processor(13, [0x28, 0x09, 0x15, 0x20]) + loader_ok)
write("inventory", "short-answers",
      [1] + batch(answer(SYSTEM, 0x01, 3)) + batch(answer(SYSTEM, 0x02, 33, length=5))
      + batch(answer(SYSTEM, 0x03, length=4)) + batch(answer(SYSTEM, 0x02, length=4))
      + batch(answer(SYSTEM, 0x03, 1, 2, 3, 4)) + batch(answer(SYSTEM, 0x02, 8))
      + batch(answer(SYSTEM, 0x03, 1, 2, 3, length=7)))
write("inventory", "quiet-after-count", [0] + batch(answer(SYSTEM, 0x01, 255)))
write("inventory", "unrelated-first",
      [0] + batch(uart_noise, answer(*STATUS_OK, length=7), answer(SYSTEM, 0x01, 1))
      + batch(uart_noise, answer(SYSTEM, 0x02, 33), uart_noise)
      + batch(answer(0x3F, 0), answer(SYSTEM, 0x03, 0x12, 0x05, 0x16, 0x20))
      + batch() + record([0, 0, 0, 3, 0]) + batch(answer(0xEE, 0, 0, 0, 0, length=7), answer(0xEE, 1, 0, length=7)))
write("inventory", "wrong-loader",
      [0] + batch(answer(SYSTEM, 0x01, 1)) + processor(33, [0x12, 0x05, 0x16, 0x20]) + batch() + record([0, 0, 0, 2]))


# Command lines (commandline target) -----------------------------------------
def command_line(*arguments):
    return b"\0".join(arguments)


write("commandline", "silent-forced", command_line(b"/S", b"/F", b"--vhid-bus=/tmp/bus", b"--time-scale=10"))
write("commandline", "numbers", command_line(b"-M12", b"/I0x0c02", b"/m-5", b"i  +ffff", b"M99999999999", b"/Vabc"))
write("commandline", "progress-version", command_line(b"p", b"--help", b"--version", b"/v2017.10.03", b"x"))
write("commandline", "refused", command_line(b"/S", b"--time-scale=1e999", b"/P", b"--demo"))
write("commandline", "demo-with-bus", command_line(b"--demo", b"/S", b"--vhid-bus=x"))
write("commandline", "unknown-option", command_line(b"--vhid-bus", b"--bogus=1", b"/F"))


# A USB HID interface's descriptors (descriptor target) ----------------------
write("descriptor", "vendor", [0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
                               0x95, 0x1F, 0x09, 0x01, 0x81, 0x02, 0x95, 0x40, 0x09, 0x01, 0x91, 0x02, 0x95, 0x40,
                               0x09, 0x01, 0xB1, 0x02, 0xC0])
write("descriptor", "consumer-control", [0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x25, 0x01, 0x09, 0xE9,
                                         0x09, 0xEA, 0x09, 0xE2, 0x75, 0x01, 0x95, 0x03, 0x81, 0x02, 0x95, 0x05,
                                         0x81, 0x01, 0xC0])
write("descriptor", "numbered-push-pop", [0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0xA4, 0x75, 0x08, 0x95,
                                          0x40, 0x81, 0x02, 0xB4, 0xC0, 0x06, 0x00, 0xFF, 0x0B, 0x01, 0x00, 0x00,
                                          0xFF, 0xA1, 0x01, 0x85, 0x02, 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x95, 0x40,
                                          0x81, 0x02, 0x91, 0x02, 0xFE, 0x01, 0x10, 0x00, 0xC0])
write("descriptor", "hid-descriptors", [5, 0x24, 1, 2, 3, 12, 0x21, 0x11, 0x01, 0x00, 0x02, 0x23, 0x10, 0x00, 0x22,
                                        0x34, 0x12])
