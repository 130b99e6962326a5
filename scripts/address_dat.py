"""Builds location tables in the "address.dat" layout.

Layout: a 194-byte header that readers skip, then one 110-byte record per range:
  offset  0, 15 bytes  range start, dotted IPv4 text, zero-padded
  offset 15,  1 byte   zero
  offset 16, 15 bytes  range end, same form
  offset 31, 18 bytes  location name, single-byte text, zero-padded (18 bytes need no zero)
  offset 49, 61 bytes  zero
Readers take the first record whose start..end (inclusive) holds an address, so a narrower range
that lies inside a wider one must come first.

Shared by make-address-dat.py and csv-to-address-dat.py; standard library only.
"""

import ipaddress
import os
import tempfile

HEADER_SIZE = 194
RECORD_SIZE = 110
TEXT_SIZE = 15
NAME_SIZE = 18
DEFAULT_ENCODING = "latin-1"


class DatError(ValueError):
    """A record that cannot be written in the layout."""


def parse_dotted(text):
    """Returns (canonical dotted text, integer value) of a dotted IPv4 address."""
    if not isinstance(text, str):
        raise DatError("address must be text")
    raw = text.strip()
    parts = raw.split(".")
    if len(parts) != 4 or any(not p or len(p) > 3 or not p.isascii() or not p.isdigit() for p in parts):
        raise DatError(f"not a dotted IPv4 address: {text!r}")
    numbers = [int(p) for p in parts]
    if any(n > 255 for n in numbers):
        raise DatError(f"address part above 255: {text!r}")
    value = (numbers[0] << 24) | (numbers[1] << 16) | (numbers[2] << 8) | numbers[3]
    return ".".join(str(n) for n in numbers), value


def cidr_range(cidr):
    """Returns (first, last) dotted texts of an IPv4 network such as "10.0.0.0/8"."""
    try:
        network = ipaddress.IPv4Network(cidr, strict=True)
    except ValueError as err:
        raise DatError(f"not an IPv4 network: {cidr!r} ({err})") from None
    return str(network.network_address), str(network.broadcast_address)


def encode_name(name, encoding=DEFAULT_ENCODING):
    """The name's bytes; it must fit the 18-byte field and survive the reader's trimming."""
    if not isinstance(name, str) or not name:
        raise DatError("empty location name")
    try:
        data = name.encode(encoding)
    except (UnicodeEncodeError, LookupError) as err:
        raise DatError(f"name {name!r} cannot be written as {encoding}: {err}") from None
    if len(data) > NAME_SIZE:
        raise DatError(f"name {name!r} is {len(data)} bytes in {encoding}; at most {NAME_SIZE} fit")
    if any(b < 32 or b == 127 for b in data):
        raise DatError(f"name {name!r} holds a control character")
    if data != data.strip(b" "):
        raise DatError(f"name {name!r} starts or ends with a blank, which readers drop")
    return data


def make_record(start, end, name, encoding=DEFAULT_ENCODING):
    start_text, start_value = parse_dotted(start)
    end_text, end_value = parse_dotted(end)
    if start_value > end_value:
        raise DatError(f"range start {start_text} is above its end {end_text}")
    record = bytearray(RECORD_SIZE)
    record[0:len(start_text)] = start_text.encode("ascii")
    record[16:16 + len(end_text)] = end_text.encode("ascii")
    data = encode_name(name, encoding)
    record[31:31 + len(data)] = data
    return bytes(record)


def make_header(text):
    data = text.encode("ascii")
    if len(data) > HEADER_SIZE:
        raise DatError(f"header text is {len(data)} bytes; at most {HEADER_SIZE} fit")
    return data + bytes(HEADER_SIZE - len(data))


def build(records, header_text, encoding=DEFAULT_ENCODING):
    """The whole file for an iterable of (start, end, name)."""
    out = bytearray(make_header(header_text))
    for start, end, name in records:
        out += make_record(start, end, name, encoding)
    return bytes(out)


def write_whole(path, data):
    """Writes into a temporary file beside `path`, then renames it over `path`."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(prefix=".address-dat.", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temp, 0o644)
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
