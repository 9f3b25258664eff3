#!/usr/bin/env python3
"""Writes the hand-made seed inputs of fuzz/corpus/ (run from the repository
root). Inputs the structured targets read through FuzzedDataProvider are
encoded here the way it decodes them: strings from the front of the input,
numbers from the back, most significant byte first. Each regression input is
named after the fault it once triggered."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("latin-1"))


class Provider:
    """Builds an input that FuzzedDataProvider reads back as the given calls."""

    def __init__(self):
        self.front = b""
        self.back = []

    def integral(self, value, low, high):
        span = high - low
        count = 0
        while count < 8 and (span >> (8 * count)) > 0:
            count += 1
        self.back += list((value - low).to_bytes(count, "big")) if count else []
        return self

    def boolean(self, value):
        return self.integral(1 if value else 0, 0, 255)

    def text(self, data):
        self.front += data.encode("latin-1") if isinstance(data, str) else data
        return self

    def bytes(self):
        return self.front + bytes(reversed(self.back))


# Formatting: buffers, literal prefix, then one conversion (see formatting_fuzzer.cpp).
def formatting(cch, size, count, prefix, kind, build):
    p = Provider().integral(cch, 1, 600).integral(size, 1, 600)
    p.boolean(count is None)
    if count is not None:
        p.integral(count, 0, 700)
    p.integral(len(prefix), 0, 24).text(prefix)
    p.integral(kind, 0, 4)
    build(p)
    return p.bytes()


def field(p, flags=(), width=None, precision=None, star_width=None, huge_width=None, huge_precision=None, largest=2000,
          allowed="-+ #0"):
    p.integral(len(flags), 0, 3)
    for flag in flags:
        p.integral(allowed.index(flag), 0, len(allowed) - 1)
    if huge_width is not None:
        p.integral(1, 0, 2).integral(0, 0, 15).integral(huge_width, 2**31, 99999999999999)
    elif star_width is not None:
        p.integral(2, 0, 2).integral(0 if star_width == -2**31 else 1, 0, 31)
        if star_width != -2**31:
            p.integral(star_width, -largest, largest)
    elif width is not None:
        p.integral(1, 0, 2).integral(1, 0, 15).integral(width, 0, largest)
    else:
        p.integral(0, 0, 2)
    if huge_precision is not None:
        p.integral(1, 0, 3).integral(0, 0, 15).integral(huge_precision, 2**31, 99999999999999)
    elif precision is not None:
        p.integral(1, 0, 3).integral(1, 0, 15).integral(precision, 0, largest)
    else:
        p.integral(0, 0, 3)


def integer(value, **kw):
    def build(p):
        field(p, **kw)
        p.integral(0, 0, 4)          # no size prefix
        p.integral(0, 0, 5)          # 'd'
        p.boolean(False)             # an int
        p.integral(value, -2**31, 2**31 - 1)
    return build


def long_double(bits, **kw):
    def build(p):
        field(p, **kw)
        p.integral(2, 0, 7)          # 'f'
        p.boolean(True)              # long double
        p.text(bits)
        p.boolean(True)              # the largest one instead
        p.boolean(False)             # positive
    return build


def literal(p):
    pass


def main():
    write("formatting", "empty-text-memcpy-null", formatting(8, 8, None, "", 4, literal))
    write("formatting", "width-digits-overflow", formatting(8, 8, None, "", 0, integer(1, huge_width=9999999999)))
    write("formatting", "precision-digits-overflow", formatting(8, 8, None, "", 0, integer(1, huge_precision=9999999999)))
    write("formatting", "star-width-int-min", formatting(8, 8, None, "", 0, integer(1, star_width=-2**31)))
    write("formatting", "long-double-cut-at-400", formatting(600, 600, None, "", 1, long_double(b"\0" * 10, precision=0)))
    write("formatting", "padded-integer", formatting(40, 12, 5, "COM", 0, integer(-42, flags="-", width=9)))

    # SAFEARRAY: slot, operation, then the operation's own choices.
    p = Provider()
    p.integral(0, 0, 3).integral(0, 0, 6)                         # create in slot 0
    p.integral(1, 0, 4).boolean(False).integral(0, 0, 3).integral(0, 0, 16)  # VT_I4, lower INT_MIN, 0 elements
    p.integral(0, 0, 3).integral(3, 0, 6).integral(1, 0, 2)       # bounds of dimension 1
    write("safearray", "ubound-empty-at-int-min", p.bytes())
    p = Provider()
    p.integral(1, 0, 3).integral(0, 0, 6)                         # create in slot 1
    p.integral(3, 0, 4).boolean(True).integral(5, -2**31, 2**31 - 1).integral(3, 0, 16)  # BSTRs at 5..7
    p.integral(1, 0, 3).integral(1, 0, 6).integral(1, -2, 4).boolean(False)  # put at 6
    p.integral(4, 0, 9).text("A\0T\0")
    p.integral(1, 0, 3).integral(2, 0, 6).integral(1, -2, 4)       # get it back
    write("safearray", "bstr-put-get", p.bytes())

    dcb = bytes(28)
    for name, text in [("new-form", "baud=115200 parity=N data=8 stop=1"),
                       ("old-form", "9600,n,8,1"), ("old-form-hardware", "COM1: 19,e,7,2,p"),
                       ("flow", "baud=57600 xon=on odsr=off octs=on idsr=off dtr=hs rts=tg to=on"),
                       ("refused", "baud=9600  parity=x")]:
        write("comm_dcb", name, dcb + text.encode())

    for name, text in [("answer", "\r\nOK\r\n"), ("short", "AB"), ("claims-more", "\xff\xff\xff\x7f\r\nOK\r\n"),
                       ("wrapped", "\x06\0\0\0\r\nOK\r\n"), ("wrapped-with-tail", "\x02\0\0\0OKjunk")]:
        write("answer_parser", name, text)

    for name, text in [("kvconfig", "[BASE_CONFIG]\r\nLOG_LV=2\r\n"),
                       ("bom-quotes", "\xef\xbb\xbf [ base_config ]\n log_lv = \"0x1F\" \n"),
                       ("second-section", "[BASE_CONFIG]\nX=1\n[OTHER]\nLOG_LV=5\n[BASE_CONFIG]\nLOG_LV=7\n"),
                       ("negative-wrap", "[BASE_CONFIG]\n;LOG_LV=9\nLOG_LV=-99999999999\n"),
                       ("empty-value", "[BASE_CONFIG]\nLOG_LV=\n")]:
        write("ini_reader", name, text)

    for name, settings, cuts, text in [("ati", 1, 0, "ATI\r"), ("split-csq", 1, 2, "\x03\x05AT+CSQ\r\n"),
                                        ("quiet-numeric", 0, 1, "\x07ATE0V0\rAT+CMEE=2;+CPIN?\rATQ1\rAT\r"),
                                        ("backspace-noise", 9, 0, "xxAT+CGMI\x08I\rat+cops=?\r")]:
        write("modem", name, bytes([settings, cuts]) + text.encode("latin-1"))


if __name__ == "__main__":
    main()
