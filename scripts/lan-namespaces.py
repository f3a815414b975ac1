#!/usr/bin/env python3
"""Two hosts of a LAN without a LAN: network namespaces joined by a veth pair
(192.0.2.1 and 192.0.2.2, inside them only), each with its own system D-Bus
and its own avahi-daemon. Runs a command inside the second one, told where
the first one is, and removes everything at the end, whatever happens.

usage: lan-namespaces.py COMMAND [ARGUMENT ...]   (as root)
The DNS-SD test and benchmark run in it; so can a shell, to try the members'
window against a hub started by hand in the first namespace. The command
sees KESTROVA_HUB_NETNS (the first namespace), KESTROVA_HUB_BUS (its system
bus), DBUS_SYSTEM_BUS_ADDRESS (its own namespace's bus), KESTROVA_AVAHI_PID
and KESTROVA_AVAHI_COMMAND (its own avahi-daemon, and how to start another).
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""
AVAHI_CONFIG = """[server]
host-name={host}
use-ipv4=yes
use-ipv6=no
allow-interfaces={interface}
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
"""


def run(*command):
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL)


def wait_for_avahi(bus, timeout=15):
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=bus)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        state = subprocess.run(
            ["dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.Avahi", "/",
             "org.freedesktop.Avahi.Server.GetState"],
            env=env, capture_output=True, text=True)
        if "int32 2" in state.stdout:
            return True
        time.sleep(0.1)
    return False


class Host:
    """One namespace: its veth end, address, bus and avahi-daemon."""

    def __init__(self, root, name, interface, address):
        self.name, self.interface, self.address = name, interface, address
        self.dir = os.path.join(root, name)
        os.makedirs(self.dir)
        self.bus = "unix:path=" + os.path.join(self.dir, "bus")
        self.processes = []

    def start(self):
        run("ip", "-n", self.name, "addr", "add", self.address + "/24", "dev", self.interface)
        run("ip", "-n", self.name, "link", "set", self.interface, "up")
        run("ip", "-n", self.name, "link", "set", "lo", "up")
        bus_config = os.path.join(self.dir, "bus.conf")
        with open(bus_config, "w") as handle:
            handle.write(BUS_CONFIG.format(socket=os.path.join(self.dir, "bus")))
        self.spawn(["dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + bus_config])
        deadline = time.monotonic() + 10
        while not os.path.exists(os.path.join(self.dir, "bus")) and time.monotonic() < deadline:
            time.sleep(0.05)
        avahi_config = os.path.join(self.dir, "avahi.conf")
        with open(avahi_config, "w") as handle:
            handle.write(AVAHI_CONFIG.format(host=self.name, interface=self.interface))
        # Its own /run: the daemon's pid file and socket stay in this namespace.
        self.avahi = ("unshare -m sh -c 'mount --make-rprivate / && mount -t tmpfs kestrova-run /run"
                      " && mkdir /run/avahi-daemon && exec avahi-daemon --no-drop-root --no-chroot"
                      " --no-rlimits --no-proc-title -f " + avahi_config + "'")
        self.spawn(["sh", "-c", "exec " + self.avahi])
        return wait_for_avahi(self.bus)

    def spawn(self, command):
        log = open(os.path.join(self.dir, os.path.basename(command[0]) + ".log"), "wb")
        self.processes.append(subprocess.Popen(
            ["ip", "netns", "exec", self.name] + command, stdin=subprocess.DEVNULL, stdout=log,
            stderr=subprocess.STDOUT, env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.bus)))

    def stop(self):
        # ip netns exec, unshare and sh all exec: each pid is the daemon's own.
        for process in reversed(self.processes):
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def main():
    # Stopped from outside, it still removes what it made.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda *_: sys.exit(1))
    tag = str(os.getpid())
    root = tempfile.mkdtemp(prefix="kestrova-dnssd-")
    hub = Host(root, "kst" + tag + "a", "kv" + tag + "a", "192.0.2.1")
    member = Host(root, "kst" + tag + "b", "kv" + tag + "b", "192.0.2.2")
    made = []
    try:
        for host in (hub, member):
            run("ip", "netns", "add", host.name)
            made.append(host)
        run("ip", "link", "add", hub.interface, "netns", hub.name, "type", "veth",
            "peer", "name", member.interface, "netns", member.name)
        for host in (hub, member):
            if not host.start():
                print(f"FAIL: avahi-daemon of {host.name} did not start (see {host.dir})")
                return 1
        # The member's daemon too, for a command that restarts it.
        env = dict(os.environ, KESTROVA_HUB_NETNS=hub.name, KESTROVA_HUB_BUS=hub.bus,
                   DBUS_SYSTEM_BUS_ADDRESS=member.bus, KESTROVA_AVAHI_PID=str(member.processes[-1].pid),
                   KESTROVA_AVAHI_COMMAND=member.avahi)
        return subprocess.run(["ip", "netns", "exec", member.name] + sys.argv[1:], env=env,
                              stdin=subprocess.DEVNULL).returncode
    finally:
        for host in made:
            host.stop()
            subprocess.run(["ip", "netns", "del", host.name])
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
