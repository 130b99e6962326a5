#!/usr/bin/env python3
"""Converts a CSV of "start,end,name" rows into a location table in the address.dat layout.

  scripts/csv-to-address-dat.py ranges.csv address.dat [--encoding latin-1]

start and end are dotted IPv4 addresses (start <= end, both inclusive); name is at most 18 bytes
in the chosen single-byte encoding. Rows keep their order, and the first range that holds an
address names it. Blank lines and lines starting with "#" are skipped, and so is a first row
"start,end,name". Input "-" reads standard input. Any invalid row stops the conversion with its
line number and nothing is written. Standard library only.
"""

import argparse
import csv
import io
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import address_dat  # noqa: E402

HEADER = ("Veltrin Ping Utility location table\r\n"
          "Converted by scripts/csv-to-address-dat.py\r\n")


def read_records(stream, source, encoding):
    records = []
    reader = csv.reader(stream)
    for row in reader:
        line = reader.line_num
        if not row or all(not field.strip() for field in row) or row[0].lstrip().startswith("#"):
            continue
        if not records and [f.strip().lower() for f in row] == ["start", "end", "name"]:
            continue
        if len(row) != 3:
            raise address_dat.DatError(f"{source}:{line}: expected 3 fields (start,end,name), found {len(row)}")
        start, end, name = (field.strip() for field in row)
        try:
            address_dat.make_record(start, end, name, encoding)
        except address_dat.DatError as err:
            raise address_dat.DatError(f"{source}:{line}: {err}") from None
        records.append((start, end, name))
    return records


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input", help='CSV file of start,end,name rows ("-" for standard input)')
    parser.add_argument("output", help="location table to write")
    parser.add_argument("--encoding", default=address_dat.DEFAULT_ENCODING,
                        help="single-byte encoding of the names in the table (default: %(default)s)")
    parser.add_argument("--input-encoding", default="utf-8", help="encoding of the CSV file (default: %(default)s)")
    args = parser.parse_args(argv)
    try:
        if args.input == "-":
            stream = io.TextIOWrapper(sys.stdin.buffer, encoding=args.input_encoding, newline="")
            records = read_records(stream, "<stdin>", args.encoding)
        else:
            with open(args.input, encoding=args.input_encoding, newline="") as stream:
                records = read_records(stream, args.input, args.encoding)
        data = address_dat.build(records, HEADER, args.encoding)
        address_dat.write_whole(args.output, data)
    except address_dat.DatError as err:
        print(f"csv-to-address-dat: {err}", file=sys.stderr)
        return 2
    except (OSError, UnicodeDecodeError, csv.Error) as err:
        print(f"csv-to-address-dat: {err}", file=sys.stderr)
        return 2
    print(f"csv-to-address-dat: wrote {len(records)} ranges to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
