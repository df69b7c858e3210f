#!/usr/bin/env python3
"""Checks that every folder of src/ includes only from the layers below it (or from itself).

The layers, lowest first; folders on one line are siblings and must not include each other.
"""
import pathlib
import re
import sys

LAYERS = [
    ["platform"],
    ["json"],
    ["protocol"],
    ["identity", "appserver", "link"],
    ["bridge", "device"],
    ["ui"],
    ["app"],
]
RANK = {folder: rank for rank, folders in enumerate(LAYERS) for folder in folders}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z]+)/[^"]+"', re.MULTILINE)


def violations(src: pathlib.Path):
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".h", ".cpp"}:
            continue
        folder = path.relative_to(src).parts[0]
        if folder not in RANK:
            yield f"{path}: folder {folder!r} is not in the list of layers"
            continue
        for included in INCLUDE.findall(path.read_text(errors="replace")):
            if included == folder or included not in RANK:
                continue
            if RANK[included] >= RANK[folder]:
                yield f"{path}: includes {included}/, which is not below {folder}/"


def main() -> int:
    src = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    found = list(violations(src))
    for line in found:
        print(line)
    print(f"{len(found)} include arrows point sideways or up")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
