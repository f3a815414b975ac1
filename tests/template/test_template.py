#!/usr/bin/env python3
"""Provision hubs from template/ the way Kestrova does and query their dev server.

Standard library only, so any python3 runs it; the hubs themselves run on the
Django found through PATH=/usr/bin:$PATH.  The server listens on
KESTROVA_TEST_ADDR (default 127.0.0.9:8000, away from the 127.0.0.1:8000 that
a real hub may be using).  Exits non-zero if any check fails.
"""

import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TEMPLATE = Path(__file__).resolve().parents[2] / "template"
ENTRIES = ["settings.py", "urls.py", "hubs", "ressources", "templates", "static"]
ADDR = os.environ.get("KESTROVA_TEST_ADDR", "127.0.0.9:8000")
HOST, _, PORT = ADDR.rpartition(":")
HOST = HOST.strip("[]")
PORT = int(PORT)
START_TIMEOUT = 15.0
STOP_TIMEOUT = 10.0

passed = 0
failed = 0


def check(condition, what, detail=""):
    global passed, failed
    if condition:
        passed += 1
        print("ok - " + what)
    else:
        failed += 1
        print("FAIL - " + what + (": " + detail if detail else ""))
    return condition


def hub_env():
    env = dict(os.environ)
    env["PATH"] = "/usr/bin:" + env.get("PATH", "")
    # Anything that would steer the hub away from its own settings.
    for name in ("DJANGO_SETTINGS_MODULE", "KESTROVA_SECRET_KEY", "KESTROVA_HUB_DEBUG", "PYTHONPATH"):
        env.pop(name, None)
    return env


def run(args, cwd, env):
    done = subprocess.run(args, cwd=str(cwd), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=120)
    if done.returncode != 0:
        raise RuntimeError("{} failed ({}): {}".format(
            " ".join(args), done.returncode, done.stdout.decode("utf-8", "replace")))


def provision(workdir, name, env):
    """Lay the template in workdir and create project NAME there, as Kestrova does."""
    workdir.mkdir(parents=True, exist_ok=True)
    for entry in ENTRIES:
        source = TEMPLATE / entry
        if source.is_dir():
            if not (workdir / entry).exists():
                shutil.copytree(str(source), str(workdir / entry),
                                ignore=shutil.ignore_patterns("__pycache__"))
        else:
            shutil.copy(str(source), str(workdir / entry))
    package = "{0}/{0}/".format(name)
    run(["django-admin", "startproject", name], workdir, env)
    run(["cp", "settings.py", package], workdir, env)
    run(["cp", "urls.py", package], workdir, env)
    for folder in ("hubs/", "ressources/", "templates/", "static/"):
        run(["cp", "-r", folder, package], workdir, env)
    return workdir / name


def port_open():
    try:
        with socket.create_connection((HOST, PORT), timeout=0.5):
            return True
    except OSError:
        return False


def request(method, path, host_header=None, timeout=5.0):
    conn = http.client.HTTPConnection(HOST, PORT, timeout=timeout)
    try:
        headers = {"Host": host_header} if host_header else {}
        conn.request(method, path, headers=headers)
        response = conn.getresponse()
        body = response.read()
        return response.status, {k.lower(): v for k, v in response.getheaders()}, body
    finally:
        conn.close()


def raw_status_line(method, path):
    """The status line exactly as sent, which is what Kestrova itself reads."""
    with socket.create_connection((HOST, PORT), timeout=5.0) as sock:
        sock.sendall("{} {} HTTP/1.1\r\nHost: {}\r\nConnection: close\r\n\r\n".format(
            method, path, ADDR).encode("ascii"))
        data = b""
        while b"\r\n" not in data:
            chunk = sock.recv(4096)
            if not chunk:
                break
            data += chunk
    return data.split(b"\r\n", 1)[0].decode("latin-1")


class Server:
    """A hub's `manage.py runserver`, in its own session so that the
    autoreloader's child goes down with it."""

    def __init__(self, project, env, log_path):
        self.log_path = log_path
        self.log = open(str(log_path), "wb")
        self.proc = subprocess.Popen(
            ["python3", "manage.py", "runserver", ADDR], cwd=str(project), env=env,
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            start_new_session=True)

    def wait_ready(self):
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            try:
                status, _, _ = request("GET", "/_infos/kl/", timeout=1.0)
                if status == 200:
                    return True
            except OSError:
                pass
            time.sleep(0.2)
        return False

    def output(self):
        self.log.flush()
        return Path(self.log_path).read_text(encoding="utf-8", errors="replace")

    def stop(self):
        pgid = self.proc.pid  # start_new_session made the child its group's leader
        try:
            os.killpg(pgid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            self.proc.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            pass
        # The reloader's child may outlive its parent by a moment; the port is
        # only free once the whole group is gone.
        deadline = time.monotonic() + STOP_TIMEOUT
        while time.monotonic() < deadline:
            try:
                os.killpg(pgid, 0)
            except ProcessLookupError:
                break
            time.sleep(0.1)
        else:
            try:
                os.killpg(pgid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self.proc.poll() is None:
            self.proc.wait(timeout=STOP_TIMEOUT)
        self.log.close()


def check_hub(label, workdir, name, env, logs):
    try:
        project = provision(workdir, name, env)
    except Exception as exc:  # noqa: BLE001 - reported as a failed check
        check(False, label + ": provisioned", str(exc))
        return None
    check(True, label + ": provisioned")

    if not check(not port_open(), label + ": {} is free before start".format(ADDR),
                 "something else listens there; set KESTROVA_TEST_ADDR"):
        return None
    server = Server(project, env, logs / (name + ".log"))
    try:
        if not check(server.wait_ready(), label + ": server answers within {:.0f} s".format(START_TIMEOUT),
                     server.output()[-2000:]):
            return None

        line = raw_status_line("HEAD", "/")
        check("200 OK" in line, label + ": HEAD / status line is 200 OK", repr(line))

        status, headers, body = request("GET", "/")
        page = body.decode("utf-8", "replace")
        check(status == 200, label + ": GET / is 200", str(status))
        check(headers.get("content-type", "").startswith("text/html"), label + ": GET / is HTML",
              headers.get("content-type", ""))
        check("<html" in page and 'lang="fr"' in page, label + ": GET / is a French HTML page")
        check(name in page, label + ": GET / shows the network's name")

        status, headers, body = request("GET", "/_infos/kl/")
        check(status == 200 and body == name.encode("utf-8"), label + ": /_infos/kl/ answers the name",
              "{} {!r}".format(status, body))
        content_type = headers.get("content-type", "").replace(" ", "").lower()
        check(content_type == "text/plain;charset=utf-8", label + ": /_infos/kl/ is text/plain utf-8",
              headers.get("content-type", ""))

        other = "some-other-name:8000"
        status, _, body = request("GET", "/", host_header=other)
        check(status == 200, label + ": GET / with Host " + other + " is 200", str(status))
        status, _, body = request("GET", "/_infos/kl/", host_header=other)
        check(status == 200 and body == name.encode("utf-8"),
              label + ": /_infos/kl/ with Host " + other + " answers the name", "{} {!r}".format(status, body))

        sheets = re.findall(r'<link rel="stylesheet" href="([^"]+)"', page)
        if check(len(sheets) == 1, label + ": GET / links one stylesheet", repr(sheets)):
            status, headers, body = request("GET", sheets[0])
            expected = (project / name / "static" / "css" / "espace.css").read_bytes()
            check(status == 200 and headers.get("content-type", "").startswith("text/css")
                  and body == expected, label + ": stylesheet " + sheets[0] + " is served",
                  "{} {}".format(status, headers.get("content-type", "")))
        status, headers, body = request("GET", "/static/img/hub.svg")
        check(status == 200 and b"<svg" in body, label + ": /static/img/hub.svg is served", str(status))
        # settings.py sits right above static/ in the package.
        status, _, body = request("GET", "/static/../settings.py")
        check(status != 200 and b"SECRET_KEY" not in body, label + ": no file outside static/ is served",
              str(status))

        status, _, body = request("GET", "/pas-de-page-ici/")
        missing = body.decode("utf-8", "replace")
        check(status == 404 and "introuvable" in missing and "URLconf" not in missing,
              label + ": unknown page is a French 404 without debug details", str(status))

        output = server.output()
        check("unapplied migration" not in output, label + ": no migration warning", output[-1000:])
        check(not (project / "db.sqlite3").exists(), label + ": no database file created")
        key_file = project / ".secret_key"
        key = key_file.read_text().strip() if key_file.exists() else ""
        check(len(key) >= 40, label + ": a secret key was made in the project folder")
        check(key_file.exists() and key_file.stat().st_mode & 0o077 == 0,
              label + ": the secret key file is readable by its owner only")
        return key
    finally:
        server.stop()
        check(not port_open(), label + ": server stopped, " + ADDR + " free again")


def main():
    env = hub_env()
    check(sorted(p.name for p in TEMPLATE.iterdir() if p.name != "__pycache__") == sorted(ENTRIES),
          "template/ holds exactly " + ", ".join(ENTRIES),
          repr(sorted(p.name for p in TEMPLATE.iterdir())))
    check(shutil.which("django-admin", path=env["PATH"]) is not None, "django-admin is on PATH")

    tmp = Path(tempfile.mkdtemp(prefix="kestrova-template-"))
    try:
        logs = tmp / "logs"
        logs.mkdir()
        plain = tmp / "reseaux"
        key_a = check_hub("hub_alpha", plain, "hub_alpha", env, logs)
        # A second project beside the first: it must report its own name.
        key_b = check_hub("quartier_nord", plain, "quartier_nord", env, logs)
        if key_a and key_b:
            check(key_a != key_b, "each hub has its own secret key")
        # Kestrova's working folder may sit under a path with a blank.
        check_hub("maison (blank in path)", tmp / "Mes documents" / "dossier avec espace", "maison", env, logs)
    finally:
        shutil.rmtree(str(tmp), ignore_errors=True)

    print("{} passed, {} failed".format(passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
