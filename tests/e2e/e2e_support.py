"""Pieces shared by the end-to-end runs of the real program.

Everything here talks to loopback only: the ifconfig stand-in makes the
program see 127.0.0.2 as this computer's address. Every process is ended by
the id of one that the run itself started (or of one of its descendants).
"""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TEMPLATE = os.path.join(REPO, "template")
TEMPLATE_ENTRIES = ["settings.py", "urls.py", "hubs", "ressources", "templates", "static"]
HOST = "127.0.0.2"

IFCONFIG = """#!/bin/sh
cat <<'LISTING'
lo: flags=73<UP,LOOPBACK,RUNNING>  mtu 65536
        inet 127.0.0.1  netmask 255.0.0.0

eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500
        inet {host}  netmask 255.255.255.0  broadcast 0.0.0.0

LISTING
"""

# Records each URL the desktop is asked to open.
BROWSER = """#!/bin/sh
printf '%s\\n' "$1" >> "{log}"
"""


def system_env(extra_path):
    env = dict(os.environ)
    env["PATH"] = extra_path + ":/usr/bin:/bin:/usr/sbin:/sbin:" + env.get("PATH", "")
    env["LANG"] = env["LC_ALL"] = "C.UTF-8"
    env.pop("QT_QPA_PLATFORM", None)
    return env


def write(path, text, executable=False):
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)
    if executable:
        os.chmod(path, 0o755)


def stage_workdir(root, hubs):
    """A working directory like the keeper's: template files, images, style
    sheet and one real hub project per (registry name, folder) pair."""
    for entry in TEMPLATE_ENTRIES:
        source = os.path.join(TEMPLATE, entry)
        target = os.path.join(root, entry)
        if os.path.isdir(source):
            shutil.copytree(source, target)
        else:
            shutil.copy(source, target)
    if os.path.isdir(os.path.join(REPO, "img")):
        shutil.copytree(os.path.join(REPO, "img"), os.path.join(root, "img"))
    for gif in ("fuseum.gif", "wifi.gif", "velmor_logo.ico"):
        if os.path.exists(os.path.join(REPO, gif)):
            shutil.copy(os.path.join(REPO, gif), root)
    env = system_env("")
    for _, folder in hubs:
        subprocess.run(["/usr/bin/django-admin", "startproject", folder], cwd=root, env=env,
                       check=True)
        package = os.path.join(root, folder, folder)
        for entry in TEMPLATE_ENTRIES:
            source = os.path.join(root, entry)
            if os.path.isdir(source):
                shutil.copytree(source, os.path.join(package, entry), dirs_exist_ok=True)
            else:
                shutil.copy(source, package)
    with open(os.path.join(root, "networks.data"), "w", encoding="utf-8") as registry:
        for name, folder in hubs:
            registry.write(f"{name}|{folder}|\n")


def descendants(pid):
    """Ids of every living process below `pid`, deepest last."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as handle:
                stat = handle.read()
        except OSError:
            continue
        fields = stat[stat.rfind(b")") + 2:].split()
        children.setdefault(int(fields[1]), []).append(int(entry))
    found, queue = [], [pid]
    while queue:
        for child in children.get(queue.pop(0), []):
            found.append(child)
            queue.append(child)
    return found


def end_tree(process):
    """Ends a process that the run started and everything below it, by id."""
    if process is None:
        return
    victims = descendants(process.pid) + [process.pid]
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in reversed(victims):
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.time() + 5
        while time.time() < deadline and any(os.path.exists(f"/proc/{p}") and not _zombie(p)
                                             for p in victims):
            time.sleep(0.1)
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass


def _start_time(pid):
    """The process's start time since boot, which tells it from a later one of the same id."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as handle:
            stat = handle.read()
        return int(stat[stat.rfind(b")") + 2:].split()[19])
    except (OSError, IndexError, ValueError):
        return None


def remember_tree(pid):
    """(id, start time) of every living process below `pid`, to end them by id
    later, once their parents are gone and they hang below init."""
    return {(child, _start_time(child)) for child in descendants(pid)}


def end_remembered(remembered):
    """Ends those remembered processes that still run, by their id."""
    alive = lambda: [pid for pid, started in remembered
                     if started is not None and _start_time(pid) == started and not _zombie(pid)]
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in alive():
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        wait_until(lambda: not alive(), 5)
    return not alive()


def _zombie(pid):
    try:
        with open(f"/proc/{pid}/stat", "rb") as handle:
            stat = handle.read()
        return stat[stat.rfind(b")") + 2:].split()[0] == b"Z"
    except OSError:
        return True


class Display:
    """A private X server for the run."""

    def __init__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as handle:
            self.name = ":" + handle.readline().strip()

    def close(self):
        end_tree(self.process)


def wait_until(predicate, timeout, step=0.1):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


def port_open(host, port):
    with socket.socket() as probe:
        probe.settimeout(0.5)
        return probe.connect_ex((host, port)) == 0


def http(method, url):
    """(status, content type, body) of one request, or (None, None, b'')."""
    request = urllib.request.Request(url, method=method)
    try:
        with urllib.request.urlopen(request, timeout=5) as answer:
            return answer.status, answer.headers.get("Content-Type"), answer.read()
    except Exception:
        return None, None, b""


def xdotool(env, *args):
    result = subprocess.run(["xdotool", *args], env=env, capture_output=True, text=True, timeout=30)
    return result.stdout.strip()


def window_id(env, title, timeout=30):
    # Only a mapped window takes the focus and the keys sent to it; a slow
    # start (a sanitizer build) leaves the named window unmapped for a while.
    return wait_until(lambda: xdotool(env, "search", "--onlyvisible", "--name", title).split("\n")[0],
                      timeout)


def screenshot(env, path):
    subprocess.run(["import", "-window", "root", path], env=env, check=False, timeout=30,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, ok, what, seen=""):
        if ok:
            self.passed += 1
            print(f"PASS  {what}")
        else:
            self.failed += 1
            print(f"FAIL  {what}\n      saw: {seen!r}")

    def finish(self):
        print(f"{self.passed} passed, {self.failed} failed")
        return 1 if self.failed else 0


def new_root(prefix):
    return tempfile.mkdtemp(prefix=prefix)
