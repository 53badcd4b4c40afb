"""The fenced code blocks of README.md and docs/*.md, for the tests that run
and type-check them."""
import glob
import os
import re

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)


class Block:
    def __init__(self, path, line, lang, text):
        self.path, self.line, self.lang, self.text = path, line, lang, text

    @property
    def id(self):
        return f"{os.path.relpath(self.path, ROOT)}:{self.line}"


def blocks(lang=None):
    found = []
    for path in [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md"))):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        for m in _FENCE.finditer(text):
            if lang is None or m.group(1) == lang:
                found.append(Block(path, text.count("\n", 0, m.start()) + 1, m.group(1), m.group(2)))
    return found
