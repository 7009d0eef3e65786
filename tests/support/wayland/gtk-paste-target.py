#!/usr/bin/python3
# gtk-paste-target PREFIX: a GTK 3 text field, the kind most Wayland
# applications have. Writes PREFIX.text (the field's whole text, on every
# change) and PREFIX.ready once the field has the keyboard focus.
import os, sys, gi  # noqa: E401

gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk  # noqa: E402


def replace(path, text):
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


window, view = Gtk.Window(), Gtk.TextView()
window.add(view)
view.get_buffer().connect("changed", lambda b: replace(sys.argv[1] + ".text", b.get_text(*b.get_bounds(), True)))
window.show_all()
view.grab_focus()
ready = lambda: view.has_focus() and window.is_active() and replace(sys.argv[1] + ".ready", "gtk")  # noqa: E731
GLib.timeout_add(100, lambda: not ready() and not os.path.exists(sys.argv[1] + ".ready"))
Gtk.main()
