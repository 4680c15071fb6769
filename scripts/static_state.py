#!/usr/bin/env python3
"""Fails when the engine or the file-system layer keeps state of its own
outside the records a run owns: any variable of static storage (a
file-scope variable, a function's static, a thread's) in a writable section
of their object files, but the one process-wide record the window
program's design names, runContext. Constants (read-only sections, and
those made read-only once relocated) are fine, and so is what the compiler
and the standard library keep for themselves (type information, the
standard library's own statics). Reads the objects of a build folder, as
nm lists them.

static_state.py [BUILD]   (default build/native)
"""
import os
import subprocess
import sys

FOLDERS = ("src/engine", "src/fs")
WRITABLE = (".bss", ".data", ".tbss", ".tdata")
READ_ONLY_ONCE_RELOCATED = ".data.rel.ro"
ALLOWED = {"runContext"}
# What the compiler and the standard library keep: not the program's state.
NOT_OURS = ("DW.ref.", "typeinfo for ", "typeinfo name for ", "vtable for ", "std::", "guard variable for std::")


def objects(build):
    """The object files of the engine and the file-system layer below build."""
    for folder, _, files in os.walk(build):
        place = folder.replace(os.sep, "/")
        if not any(("/" + part + "/") in (place + "/") or place.endswith("/" + part) for part in FOLDERS):
            continue
        for name in sorted(files):
            if name.endswith(".o") or name.endswith(".obj"):
                yield os.path.join(folder, name)


def writable_variables(path):
    """The variables of static storage in a writable section of the object at path."""
    listing = subprocess.run(["nm", "-C", "-f", "sysv", path], capture_output=True, text=True, check=True).stdout
    for line in listing.splitlines():
        fields = [field.strip() for field in line.split("|")]
        if len(fields) < 7 or fields[3] not in ("OBJECT", "TLS"):
            continue
        name, section = fields[0], fields[6]
        if section.startswith(READ_ONLY_ONCE_RELOCATED) or name.startswith(NOT_OURS):
            continue
        if any(section == kind or section.startswith(kind + ".") for kind in WRITABLE):
            yield name, section


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/native"
    found = list(objects(build))
    if not found:
        print("no objects of %s below %s: build it first" % (" or ".join(FOLDERS), build))
        return 1
    bad = 0
    for path in found:
        for name, section in writable_variables(path):
            if name in ALLOWED:
                continue
            print("%s: %s (%s) is state outside a run's records" % (os.path.relpath(path, build), name, section))
            bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
