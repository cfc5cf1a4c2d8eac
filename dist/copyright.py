#!/usr/bin/env python3
"""Writes the package's copyright file.

  copyright.py HEAD OUTPUT [CARRIED PORTABLE INSTALLED_PATH]

HEAD is the header and the package's own paragraph (copyright.in). With the
portable updater PORTABLE, which the package installs at INSTALLED_PATH, it
adds a Files paragraph for each group of parts that the updater's --licenses
names, with the holders and licence CARRIED (carried-copyright) gives them,
and the License paragraphs they refer to. A carried part that CARRIED does
not cover stops it: the package never carries a part its copyright file
does not name.
"""

import fnmatch
import re
import subprocess
import sys
import textwrap


def paragraphs(text):
    """The paragraphs of a copyright-format text: lists of (field, value)."""
    result = []
    for block in re.split(r"\n\s*\n", text.strip("\n")):
        lines = [line for line in block.splitlines() if not line.startswith("#")]
        fields = []
        for line in lines:
            if line[:1] in (" ", "\t"):
                name, value = fields[-1]
                fields[-1] = (name, value + "\n" + line)
            else:
                name, _, value = line.partition(":")
                fields.append((name, value.strip()))
        if fields:
            result.append(fields)
    return result


def render(fields):
    return "\n".join(f"{name}: {value}" for name, value in fields)


def licence_names(expression):
    """'GPL-2 with X exception and Y or Z' -> ['GPL-2 with X exception', 'Y', 'Z']"""
    return [name.strip() for name in re.split(r"\s+(?:and|or)\s+", expression)]


def carried_parts(portable):
    """(Debian package, part name) pairs, in the order --licenses gives them."""
    notices = subprocess.run([portable, "--licenses"], check=True, capture_output=True,
                             text=True).stdout
    parts = []
    for line in notices.splitlines():
        match = re.fullmatch(r"==== Debian package ([^:]+):((?: \S+)+)", line)
        if match:
            parts += [(match.group(1), name) for name in match.group(2).split()]
    if not parts:
        sys.exit(f"copyright.py: '{portable} --licenses' names no carried part")
    return parts


def wrap(prefix_width, words):
    lines = textwrap.wrap(" ".join(words), width=79 - prefix_width, break_long_words=False,
                          break_on_hyphens=False)
    return "\n ".join(lines)


def carried_paragraphs(table, parts):
    files = [p for p in table if p[0][0] == "Files"]
    licences = {dict(p)["License"].split("\n")[0]: p for p in table if p[0][0] == "License"}
    groups = [[] for _ in files]
    unnamed = []
    for package, name in parts:
        # The last paragraph that matches wins, as in the copyright format.
        matches = [i for i, p in enumerate(files)
                   if any(fnmatch.fnmatchcase(name, pattern) for pattern in dict(p)["Files"].split())]
        if matches:
            groups[matches[-1]].append((package, name))
        else:
            unnamed.append(name)
    if unnamed:
        sys.exit("copyright.py: the portable updater carries " + ", ".join(unnamed) +
                 ", which dist/carried-copyright does not cover: name the holders and licence there")

    out, used = [], []
    for paragraph, group in zip(files, groups):
        if not group:
            continue
        fields = dict(paragraph)
        packages = list(dict.fromkeys(package for package, _ in group))
        source = ("Debian package " if len(packages) == 1 else "Debian packages ") + ", ".join(packages)
        comment = fields.get("Comment", "")
        comment = (comment + " " if comment else "") + f"From {source}."
        out.append([("Files", wrap(len("Files: "), [name for _, name in group])),
                    ("Copyright", fields["Copyright"]),
                    ("License", fields["License"]),
                    ("Comment", textwrap.fill(comment, width=79 - len("Comment: "),
                                              break_on_hyphens=False).replace("\n", "\n "))])
        for name in licence_names(fields["License"]):
            if name not in licences:
                sys.exit(f"copyright.py: dist/carried-copyright has no License paragraph '{name}'")
            if name not in used:
                used.append(name)
    # In the table's order, so that the file reads the same from build to build.
    out += [licences[name] for name in licences if name in used]
    return out


def main(argv):
    if len(argv) not in (3, 6):
        sys.exit("usage: copyright.py HEAD OUTPUT [CARRIED PORTABLE INSTALLED_PATH]")
    with open(argv[1], encoding="utf-8") as f:
        head = paragraphs(f.read())
    if len(argv) == 6:
        with open(argv[3], encoding="utf-8") as f:
            table = paragraphs(f.read())
        head[0].append(("Comment", textwrap.fill(
            f"{argv[5]}, the portable updater, carries the libraries and the font named "
            "in the paragraphs after the first, by the names it unpacks them under; "
            f"'{argv[5]} --licenses' prints their complete notices as Debian distributes them.",
            width=70).replace("\n", "\n ")))
        head += carried_paragraphs(table, carried_parts(argv[4]))
    text = "\n\n".join(render(p) for p in head) + "\n"
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(text)


if __name__ == "__main__":
    main(sys.argv)
