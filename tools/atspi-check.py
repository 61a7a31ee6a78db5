#!/usr/bin/python3
# Reads Torvane's traffic log through AT-SPI, as a screen reader would, and
# checks it: a read-only multi-line text named "Traffic log" whose text holds
# the expected lines, and a click on a character's rectangle puts the caret
# on that character's line. Run by tools/atspi-check.sh.
#   atspi-check.py <expected-lines-file>
import subprocess
import sys
import time

import pyatspi


def find_log():
    for _ in range(100):
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is None or app.name.lower() != "torvane":
                continue
            hits = pyatspi.findAllDescendants(app, lambda a: a is not None and a.name == "Traffic log")
            if hits:
                return hits[0]
        time.sleep(0.1)
    sys.exit("atspi-check: no accessible named 'Traffic log' in Torvane")


def fail(message):
    sys.exit("atspi-check: FAIL: " + message)


def main():
    expected = open(sys.argv[1], encoding="latin-1").read().splitlines()
    log = find_log()
    if log.getRole() != pyatspi.ROLE_TEXT:
        fail("role is %s, not text" % log.getRoleName())
    states = log.getState()
    for state, name in ((pyatspi.STATE_MULTI_LINE, "multi-line"), (pyatspi.STATE_READ_ONLY, "read-only")):
        if not states.contains(state):
            fail("not " + name)
    if states.contains(pyatspi.STATE_EDITABLE):
        fail("editable")
    text = log.queryText()
    whole = text.getText(0, -1)
    lines = whole.split("\n")
    if text.characterCount != len(whole):
        fail("characterCount %d for %d characters" % (text.characterCount, len(whole)))
    # The expected lines, in this order, each one a whole line of the log.
    at = 0
    for want in expected:
        while at < len(lines) and not lines[at].endswith(want):
            at += 1
        if at == len(lines):
            fail("line not found in order: %r" % want)
    # Line by line, the same text again.
    offset, rebuilt = 0, ""
    while offset < text.characterCount:
        piece, start, end = text.getTextAtOffset(offset, pyatspi.TEXT_BOUNDARY_LINE_START)
        if start != offset or end <= start:
            fail("line at %d spans %d..%d" % (offset, start, end))
        rebuilt += piece
        offset = end
    if rebuilt != whole:
        fail("the lines joined differ from the whole text")
    print("atspi-check: %d lines, %d characters, read as text" % (len(lines), len(whole)))

    # Click on characters of lines in view; the caret follows to their line.
    starts = [0]
    for line in lines[:-1]:
        starts.append(starts[-1] + len(line) + 1)
    clicked = 0
    for index in range(len(lines) - 1, -1, -1):
        if len(lines[index]) < 20 or clicked == 3:
            continue
        offset = starts[index] + 15
        x, y, w, h = text.getCharacterExtents(offset, pyatspi.DESKTOP_COORDS)
        if w <= 0 or h <= 0 or x < 0 or y < 0:
            continue
        if text.getOffsetAtPoint(x + w // 2, y + h // 2, pyatspi.DESKTOP_COORDS) != offset:
            fail("offset at the centre of character %d's rectangle is not %d" % (offset, offset))
        subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1"], check=True)
        for _ in range(50):
            caret = text.caretOffset
            if starts[index] <= caret <= starts[index] + len(lines[index]):
                break
            time.sleep(0.05)
        else:
            fail("click on line %d left the caret at %d" % (index, text.caretOffset))
        clicked += 1
    if clicked == 0:
        fail("no line in view to click on")
    print("atspi-check: %d clicks put the caret on the clicked line" % clicked)
    print("atspi-check: OK")


main()
