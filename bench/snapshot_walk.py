#!/usr/bin/env python3
"""The peer of the snapshot benchmark: a plain pyatspi walk of one
application's first window that asks the application for every attribute a
snapshot reads (role, name, description, states, extents, text, current
value, children), one call at a time with libatspi's cache off. Once the
window is found it prints {"ready": true}; then, for every line it reads, it
walks once and prints {"count": elements walked, "ms": time taken}, one line
of JSON each, until its input ends.

    snapshot_walk.py PID"""
import json
import sys
import time

import pyatspi
from gi.repository import Atspi

LIMIT = 500


def find_window(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    # By index: iterating the desktop object itself has been seen to hang.
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.get_process_id() == pid:
            for j in range(app.childCount):
                window = app.getChildAtIndex(j)
                if window is not None:
                    # Only now: asked before the first child, libatspi has
                    # been seen to block on the application's children.
                    app.set_cache_mask(Atspi.Cache.NONE)
                    return window
    return None


def read(element):
    element.getRole()
    element.name
    element.description
    element.getState()
    try:
        element.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    except NotImplementedError:
        pass
    try:
        element.queryText().getText(0, -1)
    except NotImplementedError:
        pass
    try:
        element.queryValue().currentValue
    except NotImplementedError:
        pass


def walk(window):
    count = 0
    stack = [window]
    read(window)
    while stack and count < LIMIT:
        element = stack.pop()
        children = [element.getChildAtIndex(i) for i in range(element.childCount)]
        for child in children:
            if child is None or count >= LIMIT:
                continue
            read(child)
            count += 1
        stack.extend(reversed([c for c in children if c is not None]))
    return count


def main():
    pid = int(sys.argv[1])
    window = find_window(pid)
    if window is None:
        print(json.dumps({"error": "no window"}), flush=True)
        return 1
    print(json.dumps({"ready": True}), flush=True)
    for _ in sys.stdin:
        started = time.perf_counter()
        count = walk(window)
        elapsed = (time.perf_counter() - started) * 1000
        print(json.dumps({"count": count, "ms": elapsed}), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
