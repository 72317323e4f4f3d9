#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks the commands and options that README.md and docs/*.md name
against the programs' own help texts.

Every `vemra-boot ...`, `vemra-image ...` or `vemra-fleet ...` in a code span or a code block
must name a command that the program's usage lines list, with options
that those lines list for that command; every code span that is an option
alone (`--trial`, `--boots N`) must be an option of one of the programs. Each
mismatch is printed with its file and line, and the exit status is 1.

Usage: scripts/check-docs.py [BUILD_DIR]   (default build/, where the
host build puts vemra-boot, vemra-image and, with -DVEMRA_FLEET=ON,
vemra-fleet)
"""
import glob
import os
import re
import subprocess
import sys

PROGRAMS = {"vemra-boot": "vemra-boot/vemra-boot", "vemra-image": "vemra-image/vemra-image",
            "vemra-fleet": "fleet/vemra-fleet"}

# Options of other tools that the docs name in a span of their own.
OTHERS = {"--enable-minimal": "libsodium's configure"}

# A program's name where a command starts: at the start, after a pipe, a
# list operator, a path, a prompt (vboard# ) or init's action; then what
# follows it on the line. Not in vemra-boot.lock, "vemra-boot: ..." output
# or prose.
MENTION = re.compile(r"(?:^\s*|(?<=[|;&(/:])\s*|(?<=\w#)\s+)(vemra-boot|vemra-image|vemra-fleet)[ \t]+([^\n]*)")
COMMENT = re.compile(r"(?:^|\s)#(?:\s.*)?$")
OPTION = re.compile(r"^--?[a-zA-Z][-a-zA-Z]*$")


def help_text(build, program):
    path = os.path.join(build, PROGRAMS[program])
    if not os.path.exists(path):
        sys.exit("check-docs: no %s (a host build with -DVEMRA_FLEET=ON makes them all)" % path)
    run = subprocess.run([path, "--help"], capture_output=True, text=True, check=False)
    if run.returncode != 0:
        sys.exit("check-docs: %s --help failed (%d): %s" % (path, run.returncode, run.stderr))
    return run.stdout


def options_in(tokens):
    # The options among tokens: [--trial, FILE|-, [--boots give --trial, -.
    found = []
    for token in tokens:
        for piece in token.strip("[]").split("|"):
            if OPTION.match(piece):
                found.append(piece)
    return found


def commands_of(token, rest):
    # The command words a usage or doc line starts with: install|recovery,
    # or confirm | reject.
    words = token.split("|")
    while len(rest) >= 2 and rest[0] == "|":
        words.append(rest[1])
        rest = rest[2:]
    return words, rest


def usage(text, program):
    # {command: set of options} from the usage lines, up to the first
    # blank line; a line without the program's name goes on the one before.
    table, current = {}, []
    for line in text.split("\n"):
        if not line.strip():
            break
        tokens = line.replace("usage:", "").split()
        if tokens[0] == program:
            current, rest = commands_of(tokens[1], tokens[2:])
            for command in current:
                table.setdefault(command, set())
        else:
            rest = tokens
        for command in current:
            table[command].update(options_in(rest))
    return table


def command_line(text):
    # The words of one command: up to a comment, a pipe or a list operator
    # (a | inside brackets is an alternative), a redirection or a quote.
    words, depth = [], 0
    for word in text.split():
        if word.startswith("#") or word in ("&&", "||", ";", ">", "<", "2>&1") or "'" in word or '"' in word:
            break
        if word == "|" and depth == 0:
            break
        depth += word.count("[") - word.count("]")
        words.append(word.rstrip(";)"))
    return words


def check_command(program, words, table, where, problems):
    if not words or words[0] in ("...",):
        return
    commands, rest = commands_of(words[0], words[1:])
    for command in commands:
        if command not in table:
            problems.append("%s: %s has no command '%s'" % (where, program, command))
            continue
        for option in options_in(rest):
            if option not in table[command]:
                problems.append("%s: %s %s takes no option '%s'" % (where, program, command, option))


def places(path):
    # (line number, text, whether a span) of each code span and each line
    # of a code block.
    text = open(path, encoding="utf-8").read()
    found, fenced = [], False
    prose = []
    for number, line in enumerate(text.split("\n"), 1):
        if line.startswith("```"):
            fenced = not fenced
        elif fenced:
            found.append((number, COMMENT.sub("", line), False))
        else:
            prose.append((number, line))
    joined = "\n".join(line for _, line in prose)
    numbers = [number for number, _ in prose]
    for span in re.finditer(r"`([^`]+)`", joined):
        found.append((numbers[joined.count("\n", 0, span.start())], " ".join(span.group(1).split()), True))
    return found


def owner(word, tables):
    # The one program that has the command word, or None.
    owners = [p for p, table in tables.items() if word in table and not word.startswith("-")]
    return owners[0] if len(owners) == 1 else None


def check_file(path, tables, every_option, problems):
    for number, text, span in places(path):
        where = "%s:%d: %s\n   " % (path, number, text.strip())
        for mention in MENTION.finditer(text):
            program = mention.group(1)
            check_command(program, command_line(mention.group(2)), tables[program], where, problems)
        alone = text.split()
        # A span that names a command without its program: `select 2 --trial`.
        if span and alone and not MENTION.search(text) and owner(alone[0].split("|")[0], tables):
            program = owner(alone[0].split("|")[0], tables)
            check_command(program, command_line(text), tables[program], where, problems)
        if alone and alone[0].startswith("--") and "=" not in alone[0] and not MENTION.search(text):
            if alone[0] not in every_option and alone[0] not in OTHERS:
                problems.append("%s: '%s' is an option of no program" % (where, alone[0]))


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    os.chdir(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    tables = {p: usage(help_text(build, p), p) for p in PROGRAMS}
    every_option = set().union(*(o for t in tables.values() for o in t.values()))
    every_option.update(c for t in tables.values() for c in t if c.startswith("-"))
    problems = []
    for path in ["README.md"] + sorted(glob.glob("docs/*.md")):
        check_file(path, tables, every_option, problems)
    for problem in problems:
        print(problem)
    if problems:
        sys.exit(1)
    print("check-docs: the commands and options in README.md and docs/ are the programs' own")


main()
