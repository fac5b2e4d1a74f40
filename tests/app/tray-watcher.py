#!/usr/bin/python3
"""A desktop's tray as far as the app can tell: a StatusNotifierWatcher with a host on the session
bus. Writes to FILE "watching" once it owns the name, then the labels of the first registered
item's menu, one a line. SIGUSR1 clicks the menu's "Quit". usage: tray-watcher.py FILE"""
import signal, sys
from gi.repository import Gio, GLib

WATCHER = Gio.DBusNodeInfo.new_for_xml("""<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
</interface></node>""").interfaces[0]
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
out, menu = open(sys.argv[1], "w", buffering=1), {}

def call(name, path, method, signature, args, answer):
    interface, method = method.rsplit(".", 1)
    return bus.call_sync(name, path, interface, method, GLib.Variant(signature, args),
                         GLib.VariantType(answer), 0, 5000, None).unpack()

def register(_bus, _sender, _path, _interface, _method, args, invocation):
    invocation.return_value(None)
    if not menu:  # Qt names the item's service; the item answers once this call has returned
        GLib.idle_add(readMenu, args.unpack()[0])

def readMenu(service, path="/StatusNotifierItem"):
    menu["at"] = service, call(service, path, "org.freedesktop.DBus.Properties.Get", "(ss)",
                               ("org.kde.StatusNotifierItem", "Menu"), "(v)")[0]
    layout = call(*menu["at"], "com.canonical.dbusmenu.GetLayout", "(iias)", (0, -1, []),
                  "(u(ia{sv}av))")[1]
    for number, properties, _ in layout[2]:
        if "label" in properties:
            menu[properties["label"]] = number
            print(properties["label"], file=out)

def clickQuit():
    call(*menu["at"], "com.canonical.dbusmenu.Event", "(isvu)",
         (menu["Quit"], "clicked", GLib.Variant("i", 0), 0), "()")
    return GLib.SOURCE_CONTINUE

bus.register_object("/StatusNotifierWatcher", WATCHER, register,
                    lambda *_: GLib.Variant("b", True), None)
Gio.bus_own_name_on_connection(bus, "org.kde.StatusNotifierWatcher", 0,
                               lambda *_: print("watching", file=out), None)
GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGUSR1, clickQuit)
GLib.MainLoop().run()
