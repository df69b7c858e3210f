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
    """The first word of each tagged paragraph (.TP) of `section`, as a reader sees it."""
    items = []
    in_section = False
    tag_next = False
    with open(path) as page:
        for line in page:
            line = line.rstrip("\n")
            if line.startswith(".SH "):
                in_section = line[4:].strip().strip('"') == section
                continue
            if not in_section:
                continue
            if line == ".TP":
                tag_next = True
                continue
            if tag_next:
                tag_next = False
                text = re.sub(r"^\.[A-Z]+ ", "", line)
                text = re.sub(r"\\f[BIRP]", "", text).replace("\\-", "-").replace('"', "")
                items.extend(word for word in re.split(r"[\s,|\[\]=]+", text) if word)
    return items


def missing_from(items, words):
    return [word for word in words if word not in items]


def exit_statuses(path):
    """The numbers the EXIT STATUS section gives a meaning."""
    with open(path) as page:
        text = page.read()
    section = re.search(r"^\.SH EXIT STATUS\n(.*?)(?=^\.SH |\Z)", text, re.M | re.S)
    return set(re.findall(r"\b(\d+)\b", section.group(1))) if section else set()


def help_text(program, *arguments):
    answer = subprocess.run([program, *arguments, "--help"], capture_output=True, text=True,
                            timeout=60, env=dict(os.environ, DISPLAY="", WAYLAND_DISPLAY=""))
    if answer.returncode != 0:
        raise AssertionError("%s --help: %r %r" % (" ".join([program, *arguments]),
                                                   answer.returncode, answer.stderr))
    return answer.stdout


def listed(text, heading):
    """The first word of each indented line under `heading`, up to the next empty line."""
    block = re.search(r"^%s\n((?:  .*\n)+)" % re.escape(heading), text, re.M)
    return re.findall(r"^  (\S+)", block.group(1), re.M) if block else []


def options(text):
    return sorted(set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", text)))


def statuses(text):
    block = re.search(r"Exit status:(.*?)(?:\n\n|\Z)", text, re.S | re.I)
    return set(re.findall(r"\b(\d+) [a-z]", block.group(1))) if block else set()


def check(program, page, commands_heading, subcommand_help):
    problems = []
    text = help_text(program)
    commands = listed(text, commands_heading)
    if not commands:
        problems.append("%s --help lists no commands under %r" % (program, commands_heading))
    found = options(text)
    for command in commands if subcommand_help else []:
        found += options(help_text(program, command))
    for section, words in (("COMMANDS", commands), ("OPTIONS", sorted(set(found)))):
        missing = missing_from(man_page_items(page, section), words)
        if missing:
            problems.append("%s lacks under %s: %s" % (os.path.basename(page), section,
                                                       " ".join(missing)))
    missing = sorted(statuses(text) - exit_statuses(page))
    if missing:
        problems.append("%s lacks the exit statuses %s" % (os.path.basename(page),
                                                          " ".join(missing)))
    return problems


def main():
    if len(sys.argv) != 4:
        print("usage: man_page_test.py TARNWICK_BRIDGE TARNWICK_DEVICE PACKAGING_DIR",
              file=sys.stderr)
        return 2
    bridge, device, packaging = sys.argv[1:]
    cases = [
        (bridge, os.path.join(packaging, "tarnwick-bridge.1"),
         "Commands for the running bridge, whichever way it runs:", False),
        (device, os.path.join(packaging, "tarnwick-device.1"), "Commands:", True),
    ]
    problems = []
    for program, page, heading, subcommand_help in cases:
        problems += check(program, page, heading, subcommand_help)
    for problem in problems:
        print("FAILED:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
