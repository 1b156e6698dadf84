#!/usr/bin/python3
"""Checks that every source folder includes only the folders below it.

The layers, lowest first:
    platform -> base -> image -> comm -> load -> {bootstrap, key, targets} -> jobs -> app -> ui
bootstrap/, key/ and targets/ stand side by side: none includes another.
sim/ stands apart and uses platform/ only. tests/ and bench/ may use anything.

Usage: check_layers.py [SOURCE_ROOT]
Prints one line per offending include ("file:line: includes "x/y.h" ...") and
exits 1 when there is any, 0 otherwise.
"""
import os
import re
import sys

# Rank of each layer; folders of equal rank may not include each other.
RANKS = {
    "platform": 0,
    "base": 1,
    "image": 2,
    "comm": 3,
    "load": 4,
    "bootstrap": 5,
    "key": 5,
    "targets": 5,
    "jobs": 6,
    "app": 7,
    "ui": 8,
}
APART = {"sim": {"sim", "platform"}}
FREE = {"tests", "bench"}
SOURCE_SUFFIXES = (".h", ".hpp", ".cpp", ".cc", ".c")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]*"')


def allowed(own, target):
    if own in FREE:
        return True
    if own in APART:
        return target in APART[own]
    if target not in RANKS:
        # Not a folder of the project (a generated or third-party header).
        return target not in APART
    if target == own:
        return True
    return RANKS[target] < RANKS[own]


def check(root):
    faults = []
    for own in sorted(set(RANKS) | set(APART)):
        top = os.path.join(root, own)
        if not os.path.isdir(top):
            continue
        for dirpath, _, names in os.walk(top):
            for name in sorted(names):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(dirpath, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        if not m:
                            continue
                        target = m.group(1)
                        if not allowed(own, target):
                            what = ("a folder above it" if target in RANKS and RANKS[target] > RANKS.get(own, -1)
                                    else "a folder beside it" if target in RANKS and RANKS[target] == RANKS.get(own, -1)
                                    else "a folder outside its own")
                            rel = os.path.relpath(path, root)
                            faults.append('%s:%d: includes "%s" (%s/ is %s)'
                                          % (rel, number, line.strip().split('"')[1], target, what))
    return faults


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    faults = check(root)
    for line in faults:
        print(line)
    if faults:
        print("%d include(s) break the layering" % len(faults))
        return 1
    print("layering: every include points to a lower layer")
    return 0


if __name__ == "__main__":
    sys.exit(main())
