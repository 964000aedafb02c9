#!/usr/bin/env python3
"""Checks that each folder of the libraries and the launcher includes only the folders below it.

platform/, foundation/, delivery/ and launcher/ are cut into folders, one concern each
(docs/layout.md). LAYERS below says which folders each one uses directly; a folder may include
from those and from everything they may use, and from itself. The script reads every quoted
#include of every source and header of those four and fails (exit status 1), one line per fault,
when
  - a file includes from a folder its own folder may not use (tools/ and tests/ included: none
    of them includes those; nor does anything below launcher/ include launcher/),
  - a file lies in a folder LAYERS does not know, or includes a header that does not exist,
  - LAYERS itself has a circle.
Python 3, standard library only. Usage: scripts/check-include-layers.py [ROOT]
"""

import os
import re
import sys

# Lowest first. A new folder is added here, on the folders it uses.
LAYERS = {
    "platform": [],
    "foundation/core": ["platform"],
    "foundation/time": ["foundation/core"],
    "foundation/files": ["foundation/core"],
    "foundation/data": ["foundation/files"],
    "foundation/config": ["foundation/files"],
    "foundation/threads": ["foundation/core", "foundation/time"],
    "foundation/text": ["foundation/config"],
    "foundation/runtime": ["foundation/data", "foundation/threads", "foundation/text"],
    "delivery/jobs": ["foundation/runtime"],
    "delivery/descriptors": ["foundation/runtime"],
    "delivery/net": ["delivery/jobs"],
    "delivery/archive": ["delivery/descriptors", "delivery/jobs"],
    "delivery/workers": ["delivery/archive", "delivery/net"],
    "delivery/update": ["delivery/workers"],
    "delivery/content": ["delivery/workers"],
    "delivery": ["delivery/update", "delivery/content"],
    # The launcher on all of delivery/: its controls and the browser at the bottom, the dialogs
    # and the tools sheet on them, the main window on those, the application object on top.
    "launcher/controls": ["delivery"],
    "launcher/web": ["delivery"],
    "launcher/dialogs": ["launcher/controls", "launcher/web"],
    "launcher/toolsheet": ["launcher/controls", "launcher/web"],
    "launcher/window": ["launcher/dialogs", "launcher/toolsheet"],
    "launcher/app": ["launcher/window"],
}

# The libraries and the program whose files are checked.
CHECKED = ("platform", "foundation", "delivery", "launcher")
# Top folders of the repository that a quoted include may start with.
TOP_FOLDERS = ("platform", "foundation", "delivery", "launcher", "tools", "tests")

INCLUDE_RE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def find_circle(layers):
    """A list of folders that form a circle in layers, or None."""
    state, stack = {}, []

    def visit(folder):
        state[folder] = "open"
        stack.append(folder)
        for used in layers[folder]:
            if state.get(used) == "open":
                return stack[stack.index(used):] + [used]
            if used not in state:
                circle = visit(used)
                if circle:
                    return circle
        stack.pop()
        state[folder] = "done"
        return None

    for folder in layers:
        if folder not in state:
            circle = visit(folder)
            if circle:
                return circle
    return None


def usable(layers):
    """For each folder, the set of folders it may include from (itself included)."""
    result = {}
    for folder in layers:
        seen, todo = {folder}, [folder]
        while todo:
            for used in layers[todo.pop()]:
                if used not in seen:
                    seen.add(used)
                    todo.append(used)
        result[folder] = seen
    return result


def folder_of(path):
    """The LAYERS folder that holds path (a repository-relative file), or None. A folder's
    subfolders are folders of their own: each one needs its line in LAYERS."""
    directory = os.path.dirname(path)
    return directory if directory in LAYERS else None


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    faults = []
    for folder, used in LAYERS.items():
        for u in used:
            if u not in LAYERS:
                faults.append("LAYERS: %s uses %s, which is not a folder of LAYERS" % (folder, u))
    circle = find_circle(LAYERS)
    if circle:
        faults.append("LAYERS has a circle: " + " -> ".join(circle))
    if faults:
        print("\n".join(faults), file=sys.stderr)
        return 1
    allowed = usable(LAYERS)

    checked = 0
    for lib in CHECKED:
        for dirpath, dirnames, filenames in os.walk(os.path.join(root, lib)):
            dirnames.sort()
            for name in sorted(filenames):
                if not name.endswith((".h", ".cpp")):
                    continue
                rel = os.path.relpath(os.path.join(dirpath, name), root).replace(os.sep, "/")
                own = folder_of(rel)
                if own is None:
                    faults.append("%s: its folder is not in the layers of "
                                  "scripts/check-include-layers.py" % rel)
                    continue
                checked += 1
                with open(os.path.join(root, rel), encoding="utf-8") as f:
                    lines = f.read().split("\n")
                for number, line in enumerate(lines, 1):
                    m = INCLUDE_RE.match(line)
                    if not m or m.group(1).split("/")[0] not in TOP_FOLDERS:
                        continue
                    target = m.group(1)
                    where = "%s:%d" % (rel, number)
                    if not os.path.isfile(os.path.join(root, target)):
                        faults.append('%s: includes "%s", which does not exist' % (where, target))
                        continue
                    theirs = folder_of(target)
                    if theirs is None or theirs not in allowed[own]:
                        faults.append('%s: %s/ may not include "%s" (it may use: %s)' % (
                            where, own, target,
                            ", ".join(sorted(f + "/" for f in allowed[own] if f != own)) or "nothing"))
    if faults:
        print("\n".join(faults), file=sys.stderr)
        print("include layers: %d fault(s) in %d files" % (len(faults), checked), file=sys.stderr)
        return 1
    print("include layers: ok (%d files)" % checked)
    return 0


if __name__ == "__main__":
    sys.exit(main())
