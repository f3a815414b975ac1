"""Announces the running hub on DNS-SD, so that members' Kestrova finds it.

The serving process asks the Avahi daemon, over the system D-Bus, for an entry
group of its own. Avahi withdraws a group when the connection that made it
closes, so the announcement ends with the server however the server ends;
Avahi forgets it when it restarts, so it is made again once Avahi is back.
Without D-Bus or Avahi the hub serves as before, unannounced.
"""
import os
import socket
import sys
import threading
import time
import urllib.request

SERVICE_TYPE = "_http._tcp"
SUBTYPE = "_kestrova._sub._http._tcp"
DEFAULT_ADDRESS = "127.0.0.1"
DEFAULT_PORT = 8000
# How long the announcement waits for the server to answer before it gives up.
LISTEN_WAIT = 30.0
# How often the announcement checks that Avahi still holds it: a daemon that
# restarts (an upgrade) forgets every announcement it held.
RECHECK = 5.0
# One TXT string holds at most 255 bytes.
TXT_MAX = 255

# The D-Bus connection lives as long as the process: it holds the announcement.
_bus = None


def serving_address(argv):
    """(host, port) that "manage.py runserver [addrport]" listens on."""
    words = [word for word in argv[2:] if not word.startswith("-")]
    if not words:
        return DEFAULT_ADDRESS, DEFAULT_PORT
    host, _, port = words[0].rpartition(":")
    if not host:
        host, port = (port, DEFAULT_PORT) if not port.isdigit() else (DEFAULT_ADDRESS, port)
    return host.strip("[]"), int(port)


def is_serving_process(argv, environ):
    """runserver's process that serves: the autoreloader's child, or the only
    process with --noreload. The autoreloader itself serves nothing."""
    if len(argv) < 2 or argv[1] != "runserver":
        return False
    return environ.get("RUN_MAIN") == "true" or "--noreload" in argv


def service_name(hub_name, host_name):
    """A DNS-SD instance name is one label of at most 63 bytes; the host name
    keeps two hubs of the same name on a LAN apart."""
    suffix = " ({})".format(host_name)
    name = (hub_name or "Kestrova").encode("utf-8")[: max(0, 63 - len(suffix.encode("utf-8")))]
    return (name.decode("utf-8", "ignore") + suffix).encode("utf-8")[:63].decode("utf-8", "ignore")


def txt_record(key, value):
    """One TXT string, cut to what DNS-SD allows: a hub's name may be longer."""
    return (key + "=" + value).encode("utf-8")[:TXT_MAX].decode("utf-8", "ignore").encode("utf-8")


def _ask_own_name(host, port):
    """The name the hub itself answers on "/_infos/kl/", once it listens."""
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    # A server that listens on every address answers on loopback too.
    if host in ("0.0.0.0", "::", ""):
        host = "127.0.0.1"
    url = "http://{}:{}/_infos/kl/".format("[" + host + "]" if ":" in host else host, port)
    deadline = time.monotonic() + LISTEN_WAIT
    while time.monotonic() < deadline:
        try:
            with opener.open(url, timeout=2) as answer:
                return answer.read(4096).decode("utf-8", "replace").strip()
        except OSError:
            time.sleep(0.2)
    return None


def _publish(dbus, name, port):
    """Asks Avahi for an entry group holding the hub; returns (bus, group)."""
    bus = dbus.SystemBus(private=True)
    try:
        avahi = bus.get_object("org.freedesktop.Avahi", "/", introspect=False)
        server = dbus.Interface(avahi, "org.freedesktop.Avahi.Server")
        group = dbus.Interface(
            bus.get_object("org.freedesktop.Avahi", server.EntryGroupNew(timeout=2), introspect=False),
            "org.freedesktop.Avahi.EntryGroup",
        )
        instance = service_name(name, str(server.GetHostName(timeout=2)))
        txt = dbus.Array([dbus.ByteArray(txt_record("name", name)), dbus.ByteArray(txt_record("path", "/"))],
                         signature="ay")
        # -1: every interface and protocol; 0: no flags; "": default domain and host.
        group.AddService(-1, -1, dbus.UInt32(0), instance, SERVICE_TYPE, "", "",
                         dbus.UInt16(port), txt, timeout=2)
        group.AddServiceSubtype(-1, -1, dbus.UInt32(0), instance, SERVICE_TYPE, "", SUBTYPE, timeout=2)
        group.Commit(timeout=2)
        return bus, group
    except Exception:
        bus.close()
        raise


def _announce(host, port):
    global _bus
    name = _ask_own_name(host, port)
    if name is None:
        return
    try:
        import dbus
    except ImportError:
        # Without python3-dbus the hub is simply not announced.
        return
    while True:
        try:
            _bus, group = _publish(dbus, name, port)
            # Until the daemon, or the bus, goes: then announced anew once back.
            while True:
                time.sleep(RECHECK)
                group.GetState(timeout=2)
        except Exception:
            # No system bus, no Avahi (yet): the hub serves unannounced.
            if _bus is not None:
                _bus.close()
                _bus = None
            time.sleep(RECHECK)


def start(argv=None, environ=None):
    argv = sys.argv if argv is None else argv
    environ = os.environ if environ is None else environ
    if not is_serving_process(argv, environ):
        return
    host, port = serving_address(argv)
    # A hub that listens on loopback only cannot be reached by members.
    try:
        if host in ("localhost", "") or socket.inet_aton(host)[0] == 127:
            return
    except OSError:
        pass
    threading.Thread(target=_announce, args=(host, port), name="kestrova-announce", daemon=True).start()
