#!/usr/bin/env python3
"""Compares two registry exports (regedit /e, UTF-16) and prints every key that was added,
removed or changed, except keys matching one of the --ignore patterns (regular expressions,
matched case-insensitively against the full key name). Empty keys that an installer leaves
for its own bookkeeping (added, or removed when they were empty) can be ignored with
--ignore-empty PATTERN; --only PATTERN compares
the matching keys alone. Exit code 1 when anything is left."""
import argparse
import re
import sys


def read_export(path):
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else data.decode("utf-8", "replace")
    keys = {}
    current = None
    pending = ""
    for line in text.replace("\r", "").split("\n"):
        if pending:
            line = pending + line.lstrip()
            pending = ""
        if line.endswith("\\") and current is not None and not line.startswith("["):
            pending = line[:-1]
            continue
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1]
            keys.setdefault(current.lower(), (current, set()))
        elif line and current is not None:
            keys[current.lower()][1].add(line)
    return keys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--ignore", action="append", default=[])
    parser.add_argument("--ignore-empty", action="append", default=[])
    parser.add_argument("--only", action="append", default=[])
    args = parser.parse_args()
    ignore = [re.compile(p, re.I) for p in args.ignore]
    ignore_empty = [re.compile(p, re.I) for p in args.ignore_empty]
    only = [re.compile(p, re.I) for p in args.only]
    before, after = read_export(args.before), read_export(args.after)
    left = 0
    for lower in sorted(set(before) | set(after)):
        name, values_before = before.get(lower, (None, set()))
        name_after, values_after = after.get(lower, (None, set()))
        name = name or name_after
        if any(p.search(name) for p in ignore) or (only and not any(p.search(name) for p in only)):
            continue
        if lower not in before:
            if not values_after and any(p.search(name) for p in ignore_empty):
                continue
            print("added:   [%s] %s" % (name, " ".join(sorted(values_after))))
        elif lower not in after:
            if not values_before and any(p.search(name) for p in ignore_empty):
                continue
            print("removed: [%s]" % name)
        elif values_before != values_after:
            print("changed: [%s] -%s +%s" % (name, sorted(values_before - values_after), sorted(values_after - values_before)))
        else:
            continue
        left += 1
    return 1 if left else 0


if __name__ == "__main__":
    sys.exit(main())
