#!/usr/bin/env python3
"""crlf.py IN OUT - copies a text file with CRLF line endings (what Windows' setup reads)."""
import sys

with open(sys.argv[1], newline="") as f:
    text = f.read().replace("\r\n", "\n")
with open(sys.argv[2], "w", newline="\r\n") as f:
    f.write(text)
