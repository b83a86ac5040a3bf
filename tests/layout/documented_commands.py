#!/usr/bin/env python3
"""Lists every command that README.md and docs/*.md show (the lines of their
```sh blocks) and where each is run: by a test, a script, a bench or CI, or
the block says it is for the reader's own servers (its first line is the
comment "# on your own servers"). A command is found when its program (the
first word after any VAR=value; a path whole) is named in tests/, scripts/,
bench/ or .ci/run; scripts/demo is the demo itself.

usage: tests/layout/documented_commands.py   (exit 1 when a command is found nowhere)
"""
import pathlib
import re
import sys

REPO = pathlib.Path(__file__).resolve().parents[2]
OWN_SERVERS = '# on your own servers'
RUN_BY = ['.ci/run', 'scripts', 'tests', 'bench']
THE_DEMO = 'scripts/demo'
BLOCK = re.compile(r'^```sh\n(.*?)^```', re.MULTILINE | re.DOTALL)
HEREDOC = re.compile(r"<<-?\s*'?(\w+)'?")
ASSIGNMENT = re.compile(r'^\w+=\S*$')


def guides():
    return [REPO / 'README.md', *sorted((REPO / 'docs').glob('*.md'))]


def command_lines(block):
    """The block's commands: continuation lines joined, comments, heredoc bodies and line-end comments dropped,
    and each line split at && || and |."""
    lines, heredoc_end, pending = [], None, ''
    for line in block.splitlines():
        if heredoc_end is not None:
            heredoc_end = None if line.strip() == heredoc_end else heredoc_end
            continue
        if not pending and (not line.strip() or line.lstrip().startswith('#')):
            continue
        pending += line.rstrip('\\').rstrip() + ' '
        if line.endswith('\\'):
            continue
        text = re.sub(r'\s#\s.*$', '', pending).strip()
        pending = ''
        opened = HEREDOC.search(text)
        if opened:
            heredoc_end = opened.group(1)
        lines += [part.strip() for part in re.split(r'&&|\|\||\|', text) if part.strip()]
    return lines


def program(command):
    words = command.split()
    while words and ASSIGNMENT.match(words[0]):
        words.pop(0)
    return words[0] if words else ''


def run_by(name, texts):
    """The first file that names the program, or None."""
    if name == THE_DEMO:
        return 'the demo itself'
    # A path is looked for whole (scripts/test is not scripts/test32), a plain command by its name.
    pattern = re.compile(rf'(?<![\w-]){re.escape(name)}(?![\w-])')
    return next((path for path, text in texts if pattern.search(text)), None)


def evidence_texts():
    texts = []
    for root in RUN_BY:
        base = REPO / root
        for path in sorted([base] if base.is_file() else base.rglob('*')):
            if path.is_file() and path.suffix not in ('.png', '.ico', '.bin') and 'layout' not in path.parts:
                try:
                    texts.append((path.relative_to(REPO).as_posix(), path.read_text()))
                except UnicodeDecodeError:
                    pass
    return texts


def documented_commands():
    """(guide, command, where it is run: a file, 'the demo itself', 'your own servers', or None)."""
    texts = evidence_texts()
    found = []
    for guide in guides():
        for block in BLOCK.findall(guide.read_text()):
            own = block.lstrip().startswith(OWN_SERVERS)
            for command in command_lines(block):
                where = 'your own servers' if own else run_by(program(command), texts)
                found.append((guide.relative_to(REPO).as_posix(), command, where))
    return found


def main():
    commands = documented_commands()
    for guide, command, where in commands:
        print(f'{guide}: {command[:90]}\n    {where or "NOT RUN ANYWHERE"}')
    missing = [c for c in commands if c[2] is None]
    print(f'{len(commands)} commands, {len(missing)} run nowhere')
    return 1 if missing else 0


if __name__ == '__main__':
    sys.exit(main())
