#!/usr/bin/env python3
"""Writes the operator's guide as a plain text file that Notepad shows well.

    guide_to_text.py docs/operator-guide.md operator-guide.txt

CR LF line ends, ASCII only, lines of at most 78 characters (Notepad does not wrap by default).
Headings are underlined, inline code stands in double quotes, pictures are left out, and each
table row becomes a block of "Header: cell" lines. A fenced code block is a command: its lines
stand unquoted, each on a line of its own, indented, as a person types them, whole however long.
A number and its unit (16 ms, 896 KB) never part at the end of a line.
"""
import re
import sys
import textwrap

WIDTH = 78
UNITS = r"(?:ms|s|sec|seconds?|minutes?|KB|MB|bytes?|baud|blocks?|%)"


def inline(text):
    text = re.sub(r"!\[[^\]]*\]\([^)]*\)", "", text)
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"`([^`]*)`", r'"\1"', text)
    return re.sub(r"\*\*([^*]+)\*\*", r"\1", text)


def wrap(text, first, rest):
    # A quoted message stays on one line where it fits, so that its blanks can be counted.
    words = []
    for word in re.findall(r'"[^"]*"\S*|[(]?\d[\d,.]* ' + UNITS + r'(?![\w-])\S*|\S+', text):
        words += [word] if len(rest) + len(word) <= WIDTH else word.split()
    lines, line, empty = [], first, True
    for word in words:
        if not empty and len(line) + 1 + len(word) > WIDTH:
            lines.append(line)
            line, empty = rest, True
        line += ("" if empty else " ") + word
        empty = False
    lines.append(line.rstrip())
    return lines


def table(rows):
    header = [c.strip() for c in rows[0].strip().strip("|").split("|")]
    width = max(len(h) for h in header) + 2
    out = []
    for row in rows[2:]:
        cells = [c.strip() for c in row.strip().strip("|").split("|")]
        for name, cell in zip(header, cells):
            label = (name + ":").ljust(width)
            out += wrap(inline(cell), "  " + label, " " * (width + 2))
        out.append("")
    return out


def convert(markdown):
    out = []
    lines = markdown.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        if not line.strip():
            i += 1
            continue
        heading = re.match(r"(#+) (.*)", line)
        if heading:
            title = inline(heading.group(2))
            mark = {1: "=", 2: "-"}.get(len(heading.group(1)))
            out += [title, mark * len(title)] if mark else [title]
            out.append("")
            i += 1
            continue
        if line.strip().startswith("```"):
            # A command, as typed: under the text it belongs to, unquoted.
            indent = " " * (len(line) - len(line.lstrip()) + 4)
            i += 1
            while i < len(lines) and not lines[i].strip().startswith("```"):
                out.append((indent + lines[i].strip()).rstrip())
                i += 1
            i += 1
            out.append("")
            continue
        if line.startswith("|"):
            block = []
            while i < len(lines) and lines[i].startswith("|"):
                block.append(lines[i])
                i += 1
            out += table(block)
            continue
        # A paragraph or a list item, with its continuation lines; an indented paragraph goes on
        # the list item above it.
        indent = " " * (len(line) - len(line.lstrip()) + 2) if line.startswith(" ") else ""
        block = [line.strip()]
        i += 1
        while (i < len(lines) and lines[i].strip()
               and not re.match(r"\s*(([-|#]|\d+\.) |```)", lines[i])):
            block.append(lines[i].strip())
            i += 1
        text = inline(" ".join(block))
        if not text.strip():
            continue
        item = re.match(r"(- |\d+\. )(.*)", text)
        if item:
            out += wrap(item.group(2), "  " + item.group(1), " " * (2 + len(item.group(1))))
        else:
            out += wrap(text, indent, indent)
        if i >= len(lines) or not re.match(r"\s*(- |\d+\. )", lines[i]):
            out.append("")
    while out and not out[-1]:
        out.pop()
    return "\r\n".join(out) + "\r\n"


def main():
    source, target = sys.argv[1], sys.argv[2]
    with open(source, encoding="utf-8") as f:
        markdown = f.read()
    for number, line in enumerate(markdown.splitlines(), 1):
        for column, char in enumerate(line, 1):
            if ord(char) > 127:
                sys.exit(f"{source}:{number}:{column}: not ASCII ({char!r}); Notepad may garble it")
    text = convert(markdown)
    lines = text.split("\r\n")
    for number, (line, following) in enumerate(zip(lines, lines[1:]), 1):
        if re.search(r"\d$", line) and re.match(r"\s*[(]?[\d,.]*\s*" + UNITS + r"(?![\w-])", following):
            sys.exit(f"{target}:{number}: a number parted from its unit at the line's end")
    with open(target, "w", encoding="ascii", newline="") as f:
        f.write(text)


if __name__ == "__main__":
    main()
