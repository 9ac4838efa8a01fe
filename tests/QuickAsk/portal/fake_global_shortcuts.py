#!/usr/bin/python3
# A desktop portal that offers only global shortcuts, on the session bus
# named by DBUS_SESSION_BUS_ADDRESS: it grants every session and binding,
# and reports each bound shortcut as pressed once, shortly after binding.
import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PATH = "/org/freedesktop/portal/desktop"
IFACE = "org.freedesktop.portal.GlobalShortcuts"


class Request(dbus.service.Object):
    @dbus.service.signal("org.freedesktop.portal.Request", signature="ua{sv}")
    def Response(self, response, results):
        pass


class Portal(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PATH)
        self.bus = bus
        self.requests = []

    def _answer(self, sender, token, results):
        path = "%s/request/%s/%s" % (PATH, sender[1:].replace(".", "_"), token)
        request = Request(self.bus, path)
        self.requests.append(request)
        GLib.timeout_add(50, lambda: request.Response(dbus.UInt32(0), results) and False)
        return dbus.ObjectPath(path)

    @dbus.service.method(IFACE, in_signature="a{sv}", out_signature="o", sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        session = "%s/session/%s/%s" % (PATH, sender[1:].replace(".", "_"), options["session_handle_token"])
        return self._answer(sender, options["handle_token"], {"session_handle": dbus.String(session)})

    @dbus.service.method(IFACE, in_signature="oa(sa{sv})sa{sv}", out_signature="o", sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent, options, sender=None):
        for shortcut_id, properties in shortcuts:
            print("bound %s %s" % (shortcut_id, properties.get("preferred_trigger", "")), flush=True)
            GLib.timeout_add(300, lambda sid=shortcut_id: self.Activated(session, sid, dbus.UInt64(0), {}) and False)
        return self._answer(sender, options["handle_token"], {"shortcuts": dbus.Array([], signature="(sa{sv})")})

    @dbus.service.signal(IFACE, signature="osta{sv}")
    def Activated(self, session, shortcut_id, timestamp, options):
        pass


DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
portal = Portal(bus)
name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
print("ready", flush=True)
GLib.MainLoop().run()
