#!/usr/bin/env python3
"""Writes src/text/unicode_tables.cpp from the Unicode Character Database.

The tool needs four character classes (see src/text/unicode.h):
  - not printable: general categories Cc, Cf, Cs, Co, Cn (every code point that UnicodeData.txt
    does not assign), Zl, Zp, and Zs other than U+0020 SPACE;
  - Grapheme_Extend, from DerivedCoreProperties.txt;
  - Alphabetic, from DerivedCoreProperties.txt;
  - numeric: general categories Nd, Nl and No.
Each becomes a sorted table of disjoint, non-adjacent code point ranges searched by bisection.

On Debian the data files come with the package unicode-data (/usr/share/unicode). The generated
file is committed, so building the tool needs neither Python nor the data files.

Usage: python3 tools/gen_unicode_tables.py [--ucd DIR] [--output FILE]
"""

import argparse
import os
import re
import sys

MAX_CODE_POINT = 0x10FFFF
UNPRINTABLE_CATEGORIES = {"Cc", "Cf", "Cs", "Co", "Zl", "Zp", "Zs"}
NUMERIC_CATEGORIES = {"Nd", "Nl", "No"}


def read_general_categories(path):
    """Returns {code point: category} for every assigned code point, ranges expanded."""
    categories = {}
    range_start = None
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            fields = line.split(";")
            code = int(fields[0], 16)
            name = fields[1]
            category = fields[2]
            # Large blocks (CJK ideographs, Hangul syllables, surrogates, private use) are given as
            # a pair of lines "<Block, First>" and "<Block, Last>"; every code point between them
            # is assigned.
            if name.endswith(", First>"):
                range_start = (code, category)
                continue
            if name.endswith(", Last>"):
                if range_start is None or range_start[1] != category:
                    sys.exit(f"unpaired range end at U+{code:04X} in {path}")
                for c in range(range_start[0], code + 1):
                    categories[c] = category
                range_start = None
                continue
            categories[code] = category
    if range_start is not None:
        sys.exit(f"range start at U+{range_start[0]:04X} without an end in {path}")
    return categories


def read_property(path, wanted):
    """Returns the set of code points that have the binary property `wanted`."""
    points = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            code_field, prop = (part.strip() for part in line.split(";")[:2])
            if prop != wanted:
                continue
            if ".." in code_field:
                first, last = (int(x, 16) for x in code_field.split(".."))
            else:
                first = last = int(code_field, 16)
            points.update(range(first, last + 1))
    if not points:
        sys.exit(f"property {wanted} not found in {path}")
    return points


def to_ranges(points):
    """Collapses a set of code points into sorted, merged (first, last) ranges."""
    ranges = []
    for c in sorted(points):
        if ranges and ranges[-1][1] + 1 == c:
            ranges[-1][1] = c
        else:
            ranges.append([c, c])
    return [tuple(r) for r in ranges]


def read_version(ucd):
    """The Unicode version, from the first line of DerivedCoreProperties.txt."""
    with open(os.path.join(ucd, "DerivedCoreProperties.txt"), encoding="utf-8") as f:
        first = f.readline()
    match = re.search(r"DerivedCoreProperties-(\d+\.\d+\.\d+)\.txt", first)
    if not match:
        sys.exit("cannot tell the Unicode version from DerivedCoreProperties.txt")
    return match.group(1)


def format_table(name, ranges):
    lines = [f"constexpr CodePointRange {name}[] = {{"]
    row = "   "
    for first, last in ranges:
        item = f" {{0x{first:04X}, 0x{last:04X}}},"
        if len(row) + len(item) > 100:
            lines.append(row)
            row = "   "
        row += item
    if row.strip():
        lines.append(row)
    lines.append("};")
    return "\n".join(lines)


def generate(ucd):
    version = read_version(ucd)
    categories = read_general_categories(os.path.join(ucd, "UnicodeData.txt"))
    derived = os.path.join(ucd, "DerivedCoreProperties.txt")

    unprintable = set()
    numeric = set()
    for c in range(MAX_CODE_POINT + 1):
        category = categories.get(c)
        if category is None:  # Cn: unassigned
            unprintable.add(c)
        elif category in UNPRINTABLE_CATEGORIES and c != 0x20:
            unprintable.add(c)
        if category in NUMERIC_CATEGORIES:
            numeric.add(c)

    tables = [
        ("UNPRINTABLE", to_ranges(unprintable)),
        ("GRAPHEME_EXTEND", to_ranges(read_property(derived, "Grapheme_Extend"))),
        ("ALPHABETIC", to_ranges(read_property(derived, "Alphabetic"))),
        ("NUMERIC", to_ranges(numeric)),
    ]

    out = []
    out.append(f"""\
// Generated by tools/gen_unicode_tables.py from the Unicode Character Database, version {version}
// (UnicodeData.txt and DerivedCoreProperties.txt). Do not edit by hand. To regenerate, run
//   python3 tools/gen_unicode_tables.py
// from the top of the source tree: it reads the data files from /usr/share/unicode (on Debian the
// package unicode-data; --ucd DIR for another folder) and writes this file (--output FILE).
#include <cstddef>
#include <span>

#include "text/unicode.h"

namespace kelp {{
namespace {{

// Inclusive, sorted, disjoint ranges.
struct CodePointRange {{
  char32_t first;
  char32_t last;
}};

// A binary search without data-dependent branches: the look-ups run for every non-ASCII
// character of every capture shown, and their outcome is unpredictable.
bool in_table(std::span<const CodePointRange> table, char32_t c) {{
  const CodePointRange* base = table.data();
  std::size_t n = table.size();
  while (n > 1) {{
    const std::size_t half = n / 2;
    base = base[half].first <= c ? base + half : base;
    n -= half;
  }}
  return base->first <= c && c <= base->last;
}}

// clang-format off""")
    for name, ranges in tables:
        out.append(f"// {len(ranges)} ranges")
        out.append(format_table(name, ranges))
    out.append("""\
// clang-format on

}  // namespace

// Beyond U+10FFFF nothing is a character, so nothing there can be printed either.
bool is_unprintable(char32_t c) { return c > 0x10FFFF || in_table(UNPRINTABLE, c); }
bool is_grapheme_extend(char32_t c) { return in_table(GRAPHEME_EXTEND, c); }
bool is_alphabetic(char32_t c) { return in_table(ALPHABETIC, c); }
bool is_numeric(char32_t c) { return in_table(NUMERIC, c); }

}  // namespace kelp
""")
    return "\n".join(out)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", default="/usr/share/unicode",
                        help="folder holding UnicodeData.txt and DerivedCoreProperties.txt")
    parser.add_argument("--output", default=os.path.join(root, "src", "text", "unicode_tables.cpp"))
    args = parser.parse_args()
    text = generate(args.ucd)
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


if __name__ == "__main__":
    main()
