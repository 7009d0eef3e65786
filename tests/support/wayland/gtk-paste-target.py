#!/usr/bin/python3
# gtk-paste-target PREFIX: a GTK 3 text field, the kind most Wayland
# applications have. Writes PREFIX.text (the field's whole text, on every
# change) and PREFIX.ready once the field has the keyboard focus.
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402

prefix = sys.argv[1]


def replace(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


window = Gtk.Window(title="gtk-paste-target")
window.set_default_size(400, 200)
view = Gtk.TextView()
window.add(view)
buffer = view.get_buffer()
buffer.connect("changed", lambda b: replace(prefix + ".text", b.get_text(b.get_start_iter(), b.get_end_iter(), True)))
window.connect("destroy", Gtk.main_quit)


def on_focus(*_):
    if view.has_focus() and window.is_active():
        replace(prefix + ".ready", "gtk")
    return False


window.connect("notify::is-active", on_focus)
view.connect("focus-in-event", on_focus)
window.show_all()
view.grab_focus()
GLib.timeout_add(100, lambda: on_focus() or not os.path.exists(prefix + ".ready"))
Gtk.main()
