#!/usr/bin/python3
"""Replaces one "## TITLE" section of a Markdown report with new text (or
appends it), leaving the sections the other benchmarks own as they are.
Usage: replace_section.py REPORT "TITLE" SECTION-TEXT"""
import re
import sys

path, title, section = sys.argv[1], sys.argv[2], sys.argv[3].rstrip("\n") + "\n"
text = open(path).read()
match = re.search(r"^## " + re.escape(title) + r"\n.*?(?=^## |\Z)", text, flags=re.M | re.S)
if match:
    text = text[:match.start()] + section + ("\n" if match.end() < len(text) else "") + text[match.end():]
else:
    text = text.rstrip("\n") + "\n\n" + section
open(path, "w").write(text)
