#!/usr/bin/env python3
"""Fails when the units of the sources include each other in a circle: a
unit is a header and its .cpp together (src/engine/jobs.h and jobs.cpp are
"engine/jobs"), and an #include "dir/name.h" line points from the including
unit to that one. Includes are to point one way only.

include_cycles.py [SRC]
"""
import os
import re
import sys

INCLUDE = re.compile(r'\s*#\s*include\s+"([^"]+)\.h"')


def units(src):
    """Each unit below src with the units it includes."""
    found = {}
    for folder, _, files in os.walk(src):
        for name in files:
            stem, ext = os.path.splitext(name)
            if ext not in (".h", ".cpp"):
                continue
            unit = os.path.relpath(os.path.join(folder, stem), src)
            with open(os.path.join(folder, name), encoding="utf-8") as source:
                included = {m.group(1) for m in map(INCLUDE.match, source) if m}
            found.setdefault(unit, set()).update(included - {unit})
    return {unit: {other for other in included if other in found} for unit, included in found.items()}


def circles(graph):
    """The groups of units that reach each other (Tarjan's components of more than one)."""
    order, low, stack, on_stack, groups = {}, {}, [], set(), []

    def visit(unit):
        order[unit] = low[unit] = len(order)
        stack.append(unit)
        on_stack.add(unit)
        for other in sorted(graph[unit]):
            if other not in order:
                visit(other)
                low[unit] = min(low[unit], low[other])
            elif other in on_stack:
                low[unit] = min(low[unit], order[other])
        if low[unit] == order[unit]:
            group = []
            while not group or group[-1] != unit:
                group.append(stack.pop())
                on_stack.discard(group[-1])
            if len(group) > 1:
                groups.append(sorted(group))

    sys.setrecursionlimit(10000)
    for unit in sorted(graph):
        if unit not in order:
            visit(unit)
    return groups


def main():
    graph = units(sys.argv[1] if len(sys.argv) > 1 else "src")
    groups = circles(graph)
    for group in groups:
        print("units that include each other: " + ", ".join(group))
        for unit in group:
            print("  %s -> %s" % (unit, ", ".join(sorted(graph[unit] & set(group)))))
    return 1 if groups else 0


if __name__ == "__main__":
    sys.exit(main())
