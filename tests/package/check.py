#!/usr/bin/env python3
"""Checks what scripts/package made, as a user would meet it.

usage: check.py PACKAGES BUILD

PACKAGES holds korvane_<version>_amd64.deb and korvane-<version>-win64.zip /
-win32.zip; BUILD is the build they were made from (build/package), for an
install with DESTDIR. Each check prints a line; the last line counts them.
"""
import gzip
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

passed = 0
failed = 0


def check(name, problems):
    """Counts a check: passed when it found no problem."""
    global passed, failed
    if problems:
        failed += 1
        print(f"FAIL {name}:")
        for problem in problems:
            print(f"     {problem}")
    else:
        passed += 1
        print(f"ok   {name}")


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def project_version(build):
    header = open(os.path.join(build, "generated", "korvane_version.h")).read()
    return re.search(r'KORVANE_VERSION_TEXT "([^"]+)"', header).group(1)


def tree(root):
    """The files below root, as relative paths."""
    found = []
    for folder, _, files in os.walk(root):
        for name in files:
            found.append(os.path.relpath(os.path.join(folder, name), root))
    return sorted(found)


def check_deb(deb, version, scratch):
    check("lintian: no error or warning", lintian(deb))

    fields = {name: run(["dpkg-deb", "-f", deb, name]).stdout.strip()
              for name in ("Package", "Version", "Architecture", "Depends", "Section", "Maintainer")}
    problems = []
    expected = {"Package": "korvane", "Version": version, "Architecture": "amd64", "Section": "utils"}
    for name, value in expected.items():
        if fields[name] != value:
            problems.append(f"{name} is [{fields[name]}], not [{value}]")
    if not re.search(r"\blibc6 \(>= [0-9.]+\)", fields["Depends"]):
        problems.append(f"Depends [{fields['Depends']}] was not computed from the binary")
    if "@" not in fields["Maintainer"]:
        problems.append("no maintainer address")
    check("package metadata", problems)

    root = os.path.join(scratch, "deb")
    result = run(["dpkg-deb", "-x", deb, root])
    files = tree(root)
    wanted = ["usr/bin/korvane", "usr/share/bash-completion/completions/korvane",
              "usr/share/doc/korvane/README.md", "usr/share/doc/korvane/changelog.gz",
              "usr/share/doc/korvane/copyright", "usr/share/man/man1/korvane.1.gz"]
    problems = [result.stderr] if result.returncode else []
    if files != wanted:
        problems.append(f"holds {files}")
    else:
        copyright = open(os.path.join(root, "usr/share/doc/korvane/copyright")).read()
        if "License: Expat" not in copyright or "Permission is hereby granted" not in copyright:
            problems.append("the copyright file does not carry the MIT licence")
        with gzip.open(os.path.join(root, "usr/share/doc/korvane/changelog.gz"), "rt") as changelog:
            top = changelog.readline()
        if not top.startswith(f"korvane ({version}) "):
            problems.append(f"the changelog's latest entry is [{top.strip()}], not version {version}")
    check("package contents", problems)
    if problems:
        return

    program = os.path.join(root, "usr/bin/korvane")
    check("korvane --version from the unpacked package", version_problems(program, version))
    check("a run of the unpacked program", run_problems(program, scratch))
    # The long options as --help lists them: the manual and the completion
    # must name the same.
    # (an option named again on a later line, in a note, counts once).
    options = list(dict.fromkeys(re.findall(r"^ +(?:-\w, )?(--[a-z0-9-]+)", run([program, "--help"]).stdout, re.M)))
    check("the manual page renders without warnings, every option in it",
          manual_problems(os.path.join(root, "usr/share/man/man1/korvane.1.gz"), options))
    check("bash completes the options and their values",
          completion_problems(os.path.join(root, "usr/share/bash-completion/completions/korvane"), options, scratch))


def lintian(deb):
    # --fail-on: errors and warnings fail; information and pedantic tags are
    # printed for the reader.
    result = run(["lintian", "--display-info", "--pedantic", "--fail-on", "error,warning", deb])
    for line in result.stdout.splitlines():
        print(f"     lintian: {line}")
    return [] if result.returncode == 0 else [f"lintian exited {result.returncode}: {result.stderr.strip()}"]


def version_problems(program, version):
    result = run([program, "--version"])
    line = result.stdout.strip()
    if result.returncode != 0 or not re.fullmatch(rf"korvane {re.escape(version)}( \(commit [0-9a-f]+(-dirty)?\))?",
                                                  line):
        return [f"prints [{line}], exit {result.returncode}"]
    return []


def run_problems(program, scratch):
    source = os.path.join(scratch, "from")
    os.makedirs(os.path.join(source, "sub"))
    for name, text in (("a.txt", "a"), ("sub/b.txt", "b" * 5000)):
        with open(os.path.join(source, name), "w") as out:
            out.write(text)
    target = os.path.join(scratch, "to")
    result = run([program, "-q", "--mkpath", source, target])
    problems = [f"exit {result.returncode}: {result.stderr.strip()}"] if result.returncode else []
    same = run(["diff", "-r", source, target])
    if same.returncode:
        problems.append(same.stdout.strip() or same.stderr.strip())
    return problems


def manual_problems(page, options):
    problems = []
    # As lintian's check and as a reader's man call it, warnings on.
    result = run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", "-Z", page], env=dict(os.environ, MANWIDTH="80"))
    if result.returncode or result.stderr:
        problems.append(f"man: {result.stderr.strip()}")
    source = gzip.open(page, "rt").read()
    result = run(["groff", "-ww", "-man", "-Tutf8", "-z"], input=source)
    if result.returncode or result.stderr:
        problems.append(f"groff -ww: {result.stderr.strip()}")
    text = run(["man", "-l", page], env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="0")).stdout
    text = re.sub(r".\x08", "", text)
    for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES", "SEE ALSO"):
        if not re.search(rf"^{section}$", text, re.M):
            problems.append(f"no {section} section")
    if len(options) < 10:
        problems.append(f"--help lists only {options}")
    for option in options:
        if not re.search(rf"^ +(-\w, )?{option}\b", text, re.M):
            problems.append(f"{option} is not among the options")
    if "korvane -s -y --exclude '*.tmp' --exclude /build/ /src /copy" not in text:
        problems.append("examples not rendered as written")
    return problems


def completion_problems(script, options, scratch):
    os.makedirs(os.path.join(scratch, "where", "folder"))
    open(os.path.join(scratch, "where", "file.txt"), "w").close()
    # Each case: the words typed, and what the completion must offer.
    cases = [
        (["korvane", "--"], options),
        (["korvane", "--s"], [option for option in options if option.startswith("--s")]),
        (["korvane", "-q", "--dry"], ["--dry-run"]),
        (["korvane", "-s", "--rule", ""], []),
        (["korvane", "--list", "where/"], ["where/file.txt", "where/folder"]),
        (["korvane", "--list=where/"], ["where/file.txt", "where/folder"]),
        (["korvane", "-l", "where/"], ["where/folder"]),
        (["korvane", "--settings", "--y"], ["--yes"]),
        (["korvane", "-s", "where/"], ["where/folder"]),
        (["korvane", "--", "--s"], []),
    ]
    problems = []
    for words, wanted in cases:
        line = " ".join(words)
        program = f"""
            source /usr/share/bash-completion/bash_completion
            source {script!r}
            complete -p korvane >/dev/null || exit 3
            COMP_LINE={line!r}
            COMP_POINT=${{#COMP_LINE}}
            words=({" ".join(repr(w) for w in words)})
            COMP_WORDS=("${{words[@]}}")
            COMP_CWORD=$(( ${{#COMP_WORDS[@]}} - 1 ))
            _korvane korvane "${{COMP_WORDS[COMP_CWORD]}}" "${{COMP_WORDS[COMP_CWORD-1]}}"
            printf '%s\\n' "${{COMPREPLY[@]}}"
        """
        result = run(["bash", "-c", program], cwd=scratch)
        offered = sorted(word.rstrip("/") for word in result.stdout.splitlines() if word)
        if result.returncode or offered != sorted(wanted):
            problems.append(f"[{line}] offers {offered} (exit {result.returncode}), not {sorted(wanted)}")
    return problems


def check_install(build, scratch):
    """cmake --install honours the prefix and DESTDIR; the licence comes along."""
    root = os.path.join(scratch, "destdir")
    result = run(["cmake", "--install", build, "--prefix", "/opt/korvane"], env=dict(os.environ, DESTDIR=root))
    files = tree(root)
    wanted = ["opt/korvane/bin/korvane", "opt/korvane/share/bash-completion/completions/korvane",
              "opt/korvane/share/doc/korvane/LICENSE", "opt/korvane/share/doc/korvane/README.md",
              "opt/korvane/share/man/man1/korvane.1.gz"]
    problems = [result.stderr.strip()] if result.returncode else []
    if files != wanted:
        problems.append(f"installed {files}")
    check("cmake --install with --prefix and DESTDIR", problems)


def version_resource(program):
    """The fixed file version and the strings of a PE file's version resource."""
    data = open(program, "rb").read()
    start = data.find("VS_VERSION_INFO".encode("utf-16-le"))
    if start < 0:
        return None, {}
    signature = data.find(struct.pack("<I", 0xFEEF04BD), start)
    ms, ls = struct.unpack("<II", data[signature + 8:signature + 16])
    fixed = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    strings = {}
    for name in ("FileVersion", "ProductVersion", "OriginalFilename", "FileDescription", "ProductName"):
        key = data.find(name.encode("utf-16-le") + b"\0\0", start)
        if key < 0:
            continue
        value = key + 2 * len(name) + 2
        value += (4 - value % 4) % 4  # values start on a 32-bit boundary
        end = data.find(b"\0\0", value)
        while end >= 0 and (end - value) % 2:
            end = data.find(b"\0\0", end + 1)
        strings[name] = data[value:end].decode("utf-16-le")
    return fixed, strings


def check_zip(archive, version, bits, scratch):
    name = f"korvane-{version}-win{bits}"
    problems = []
    with zipfile.ZipFile(archive) as contents:
        listed = sorted(contents.namelist())
        wanted = sorted(f"{name}/{file}" for file in ("LICENSE.txt", "README.txt", "korvane.exe", "korvaneui.exe"))
        if listed != wanted:
            check(f"{name}.zip contents", [f"holds {listed}"])
            return
        contents.extractall(scratch)
    check(f"{name}.zip contents", [])
    folder = os.path.join(scratch, name)

    problems = []
    here = os.path.dirname(os.path.abspath(__file__))
    for text, source in (("README.txt", "README.md"), ("LICENSE.txt", "LICENSE")):
        data = open(os.path.join(folder, text), "rb").read()
        original = open(os.path.join(here, "..", "..", source), "rb").read()
        if data != original.replace(b"\n", b"\r\n"):
            problems.append(f"{text} is not {source} with CR LF line ends")
    check(f"{name}: README and licence as Windows text", problems)

    kind = "PE32+ executable" if bits == 64 else "PE32 executable"
    machine = "x86-64" if bits == 64 else "Intel 80386"
    objdump = "x86_64-w64-mingw32-objdump" if bits == 64 else "i686-w64-mingw32-objdump"
    for program, subsystem, description in (("korvaneui.exe", "(GUI)", "korvane window program"),
                                            ("korvane.exe", "(console)", "korvane command-line front end")):
        path = os.path.join(folder, program)
        problems = []
        described = run(["file", "-b", path]).stdout.strip()
        if not described.startswith(f"{kind} {subsystem} {machine}"):
            problems.append(f"file says [{described}]")
        imports = re.findall(r"DLL Name: (\S+)", run([objdump, "-p", path]).stdout)
        foreign = [dll for dll in imports if re.match(r"(?i)lib(stdc\+\+|gcc|winpthread)", dll)]
        if foreign:
            problems.append(f"needs {foreign}: not linked statically")
        fixed, strings = version_resource(path)
        numbers = (version.split(".") + ["0", "0", "0"])[:4]
        if fixed != ".".join(numbers):
            problems.append(f"version resource [{fixed}], not {'.'.join(numbers)}")
        expected = {"FileVersion": version, "ProductVersion": version, "OriginalFilename": program,
                    "ProductName": "korvane", "FileDescription": description}
        for key, value in expected.items():
            if strings.get(key) != value:
                problems.append(f"{key} is [{strings.get(key)}], not [{value}]")
        check(f"{name}/{program}: {kind} {subsystem}, statically linked, version {version}", problems)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    packages, build = sys.argv[1], sys.argv[2]
    version = project_version(build)
    scratch = tempfile.mkdtemp(prefix="korvane-package-")
    try:
        deb = os.path.join(packages, f"korvane_{version}_amd64.deb")
        if os.path.exists(deb):
            check_deb(deb, version, scratch)
        else:
            check(f"{os.path.basename(deb)} made", ["missing"])
        check_install(build, scratch)
        for bits in (64, 32):
            archive = os.path.join(packages, f"korvane-{version}-win{bits}.zip")
            if os.path.exists(archive):
                check_zip(archive, version, bits, os.path.join(scratch, f"win{bits}"))
            else:
                check(f"{os.path.basename(archive)} made", ["missing"])
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
