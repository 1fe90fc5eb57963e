#!/usr/bin/env python3
"""Writes src/text/unicode_tables.cpp from the Unicode Character Database.

The tool needs four character classes (see src/text/unicode.h):
  - not printable: general categories Cc, Cf, Cs, Co, Cn (every code point that UnicodeData.txt
    does not assign), Zl, Zp, and Zs other than U+0020 SPACE;
  - Grapheme_Extend, from DerivedCoreProperties.txt;
  - Alphabetic, from DerivedCoreProperties.txt;
  - numeric: general categories Nd, Nl and No.
Each becomes a sorted table of disjoint, non-adjacent code point ranges searched by bisection.
It also needs full case folding (statuses C and F of CaseFolding.txt): the one-to-one mappings
become runs of code points that move by the same amount (every one, or every other one, as in the
Latin Extended-A pairs), the one-to-many mappings a table of their own.

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


def read_case_folding(path):
    """Returns ({code point: folded}, {code point: [folded, ...]}) for statuses C and F."""
    common, full = {}, {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            code, status, mapping = (part.strip() for part in line.split(";")[:3])
            points = [int(x, 16) for x in mapping.split()]
            if status == "C":
                common[int(code, 16)] = points[0]
            elif status == "F":
                full[int(code, 16)] = points
    if not common or not full:
        sys.exit(f"no case foldings found in {path}")
    if max(len(points) for points in full.values()) > 3:
        sys.exit(f"a case folding of more than three code points in {path}")
    return common, full


def to_fold_runs(common):
    """(first, last, delta, step): each code point first, first + step, ... last moves by delta."""
    runs = []
    for c, folded in sorted(common.items()):
        delta = folded - c
        if runs:
            first, last, run_delta, step = runs[-1]
            if run_delta == delta and c - last in (1, 2) and step in (0, c - last):
                runs[-1] = (first, c, delta, c - last)
                continue
        runs.append((c, c, delta, 0))
    return [(first, last, delta, step or 1) for first, last, delta, step in runs]


def format_rows(declaration, items):
    lines = [declaration]
    row = "   "
    for item in items:
        if len(row) + len(item) + 1 > 100:
            lines.append(row)
            row = "   "
        row += " " + item
    if row.strip():
        lines.append(row)
    lines.append("};")
    return "\n".join(lines)


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

    common, full = read_case_folding(os.path.join(ucd, "CaseFolding.txt"))
    fold_runs = to_fold_runs(common)

    out = []
    out.append(f"""\
// Generated by tools/gen_unicode_tables.py from the Unicode Character Database, version {version}
// (UnicodeData.txt, DerivedCoreProperties.txt and CaseFolding.txt). Do not edit by hand. To
// regenerate, run
//   python3 tools/gen_unicode_tables.py
// from the top of the source tree: it reads the data files from /usr/share/unicode (on Debian the
// package unicode-data; --ucd DIR for another folder) and writes this file (--output FILE).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>

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

// Code points first, first + step, ... last fold to themselves plus delta.
struct FoldRun {{
  char32_t first;
  char32_t last;
  std::int32_t delta;
  std::uint8_t step;
}};

// Code points that fold to two or three.
struct FullFold {{
  char32_t from;
  char32_t to[3];
}};

// clang-format off""")
    for name, ranges in tables:
        out.append(f"// {len(ranges)} ranges")
        out.append(format_table(name, ranges))
    out.append(f"// {len(fold_runs)} runs")
    out.append(format_rows("constexpr FoldRun FOLD_RUNS[] = {", [
        f"{{0x{first:04X}, 0x{last:04X}, {delta}, {step}}}," for first, last, delta, step
        in fold_runs]))
    out.append(f"// {len(full)} code points")
    out.append(format_rows("constexpr FullFold FULL_FOLDS[] = {", [
        "{0x%04X, {%s}}," % (c, ", ".join("0x%04X" % p for p in points))
        for c, points in sorted(full.items())]))
    out.append("""\
// clang-format on

}  // namespace

// Beyond U+10FFFF nothing is a character, so nothing there can be printed either.
bool is_unprintable(char32_t c) { return c > 0x10FFFF || in_table(UNPRINTABLE, c); }
bool is_grapheme_extend(char32_t c) { return in_table(GRAPHEME_EXTEND, c); }
bool is_alphabetic(char32_t c) { return in_table(ALPHABETIC, c); }
bool is_numeric(char32_t c) { return in_table(NUMERIC, c); }

void append_case_folded(std::string& out, char32_t c) {
  const auto full =
      std::lower_bound(std::begin(FULL_FOLDS), std::end(FULL_FOLDS), c,
                       [](const FullFold& fold, char32_t x) { return fold.from < x; });
  if (full != std::end(FULL_FOLDS) && full->from == c) {
    for (const char32_t to : full->to) {
      if (to != 0) append_utf8(out, to);
    }
    return;
  }
  const auto run = std::upper_bound(std::begin(FOLD_RUNS), std::end(FOLD_RUNS), c,
                                    [](char32_t x, const FoldRun& r) { return x < r.first; });
  if (run != std::begin(FOLD_RUNS)) {
    const FoldRun& r = *(run - 1);
    if (c <= r.last && (c - r.first) % r.step == 0) {
      append_utf8(out, static_cast<char32_t>(static_cast<std::int32_t>(c) + r.delta));
      return;
    }
  }
  append_utf8(out, c);
}

}  // namespace kelp
""")
    return "\n".join(out)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--ucd", default="/usr/share/unicode",
                        help="folder holding UnicodeData.txt, DerivedCoreProperties.txt and "
                        "CaseFolding.txt")
    parser.add_argument("--output", default=os.path.join(root, "src", "text", "unicode_tables.cpp"))
    args = parser.parse_args()
    text = generate(args.ucd)
    with open(args.output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


if __name__ == "__main__":
    main()
