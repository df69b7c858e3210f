#!/usr/bin/python3
"""The manual pages keep up with the programs' --help.

Every option, command and exit status that `tarnwick-bridge --help`, `tarnwick-device --help`
and each `tarnwick-device COMMAND --help` print must have its entry in the program's manual
page: an option or a command under OPTIONS or COMMANDS, an exit status under EXIT STATUS. (The
terminal front end's commands are checked against the page where scripts_test runs the
terminal.)
"""

import os
import re
import subprocess
import sys


def man_page_items(path, section):
    """The words of the tag of each tagged paragraph (.TP) of `section`, as a reader sees it."""
    items, in_section, tag_next = [], False, False
    with open(path) as page:
        for line in page:
            line = line.rstrip("\n")
            if line.startswith(".SH "):
                in_section = line[4:].strip().strip('"') == section
            elif in_section and line == ".TP":
                tag_next = True
            elif in_section and tag_next:
                tag_next = False
                text = re.sub(r"^\.[A-Z]+ ", "", line)
                text = re.sub(r"\\f[BIRP]", "", text).replace("\\-", "-").replace('"', "")
                items.extend(word for word in re.split(r"[\s,|\[\]=]+", text) if word)
    return items


def missing_from(items, words):
    return [word for word in words if word not in items]


def help_text(program, *arguments):
    answer = subprocess.run([program, *arguments, "--help"], capture_output=True, text=True,
                            timeout=60, env=dict(os.environ, DISPLAY="", WAYLAND_DISPLAY=""))
    if answer.returncode != 0:
        raise AssertionError("%s --help: %r %r" % (" ".join([program, *arguments]),
                                                   answer.returncode, answer.stderr))
    return answer.stdout


def numbers_in(text, pattern, follow=""):
    """The numbers in the first block `pattern` finds in `text`."""
    block = re.search(pattern, text, re.M | re.S | re.I)
    return set(re.findall(r"\b(\d+)\b" + follow, block.group(1))) if block else set()


def check(program, page, heading, subcommand_help):
    problems = []
    name = os.path.basename(page)
    text = help_text(program)
    # The first word of each indented line under the heading, up to the next empty line.
    block = re.search(r"^%s\n((?:  .*\n)+)" % re.escape(heading), text, re.M)
    commands = re.findall(r"^  (\S+)", block.group(1), re.M) if block else []
    if not commands:
        problems.append("%s --help lists no commands under %r" % (program, heading))
    found = set()
    for help_page in [text] + [help_text(program, c) for c in commands if subcommand_help]:
        found.update(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", help_page))
    for section, words in (("COMMANDS", commands), ("OPTIONS", sorted(found))):
        if missing := missing_from(man_page_items(page, section), words):
            problems.append("%s lacks under %s: %s" % (name, section, " ".join(missing)))
    with open(page) as source:
        documented = numbers_in(source.read(), r"^\.SH EXIT STATUS\n(.*?)(?=^\.SH |\Z)")
    if missing := sorted(numbers_in(text, r"Exit status:(.*?)(?:\n\n|\Z)", " [a-z]")
                         - documented):
        problems.append("%s lacks the exit statuses %s" % (name, " ".join(missing)))
    return problems


def main():
    if len(sys.argv) != 4:
        print("usage: man_page_test.py TARNWICK_BRIDGE TARNWICK_DEVICE PACKAGING_DIR",
              file=sys.stderr)
        return 2
    bridge, device, packaging = sys.argv[1:]
    problems = check(bridge, os.path.join(packaging, "tarnwick-bridge.1"),
                     "Commands for the running bridge, whichever way it runs:", False)
    problems += check(device, os.path.join(packaging, "tarnwick-device.1"), "Commands:", True)
    for problem in problems:
        print("FAILED:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
