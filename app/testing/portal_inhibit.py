"""The desktop portal's Inhibit interface as the updater's tests need it, a
python3-dbusmock template: every lock granted is listed by Locks() until its
request object is closed."""
import itertools

import dbus
from dbusmock import mockobject

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.Inhibit'
SYSTEM_BUS = False

REQUEST_IFACE = 'org.freedesktop.portal.Request'
HELD = {}  # request path -> (flags, reason)
NUMBERS = itertools.count(1)


def inhibit(self, _window, flags, options):
    path = f'{MAIN_OBJ}/request/test/lock{next(NUMBERS)}'
    HELD[path] = (int(flags), str(options.get('reason', '')))
    self.AddObject(path, REQUEST_IFACE, {}, [])
    mockobject.objects[path].AddMethod(REQUEST_IFACE, 'Close', '', '', lambda _request: HELD.pop(path, None) and None)
    return dbus.ObjectPath(path)


def locks(_self):
    return dbus.Array([dbus.Struct((dbus.UInt32(flags), reason), signature='us') for flags, reason in HELD.values()],
                      signature='(us)')


def load(mock, _parameters):
    mock.AddMethods(MAIN_IFACE, [('Inhibit', 'sua{sv}', 'o', inhibit), ('Locks', '', 'a(us)', locks)])
