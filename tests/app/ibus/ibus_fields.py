#!/usr/bin/python3
# Two text fields ("a" and "b") of an IBus client, as a toolkit's input module would have them.
# Reads commands from standard input, one a line:
#   use ENGINE     make ENGINE the session's input method
#   focus NAME     focus field NAME (the other one loses the focus)
#   escape         press and release Escape in the focused field
#   engine         report the session's input method
# and reports, one JSON array a line: ["ready"], ["commit", FIELD, TEXT],
# ["preedit", FIELD, TEXT, VISIBLE], ["engine", NAME].
import json
import os
import sys

import gi

gi.require_version("IBus", "1.0")
from gi.repository import GLib, IBus  # noqa: E402


def report(*values):
    print(json.dumps(values), flush=True)


IBus.init()
bus = IBus.Bus.new()
if not bus.is_connected():
    sys.exit("ibus_fields.py: no IBus daemon")

fields = {}
focused = None
for name in ("a", "b"):
    context = bus.create_input_context("orvane-test-" + name)
    context.set_capabilities(IBus.Capabilite.PREEDIT_TEXT | IBus.Capabilite.FOCUS)
    context.connect("commit-text", lambda _c, text, n=name: report("commit", n, text.get_text()))
    context.connect("update-preedit-text",
                    lambda _c, text, _cursor, visible, n=name:
                    report("preedit", n, text.get_text(), visible))
    context.connect("hide-preedit-text", lambda _c, n=name: report("preedit", n, "", False))
    fields[name] = context


def command(line):
    global focused
    words = line.split()
    if words[0] == "use":
        bus.set_global_engine(words[1])
    elif words[0] == "focus":
        if focused:
            fields[focused].focus_out()
        focused = words[1]
        fields[focused].focus_in()
    elif words[0] == "escape":
        fields[focused].process_key_event(IBus.KEY_Escape, 1, 0)
        fields[focused].process_key_event(IBus.KEY_Escape, 1, IBus.ModifierType.RELEASE_MASK)
    elif words[0] == "engine":
        engine = bus.get_global_engine()
        report("engine", engine.get_name() if engine else "")


pending = b""


def read(fd, _condition):
    global pending
    data = os.read(fd, 4096)
    if not data:
        loop.quit()
        return False
    pending += data
    while b"\n" in pending:
        line, pending = pending.split(b"\n", 1)
        if line.strip():
            command(line.decode().strip())
    return True


loop = GLib.MainLoop()
GLib.unix_fd_add_full(GLib.PRIORITY_DEFAULT, 0, GLib.IO_IN | GLib.IO_HUP, read)
report("ready")
loop.run()
