"""The keeper's launcher from the build tree (packaging/kestrova.in written as
the installation writes it, the real kestrova-nouveau-reseau and Django, a
program stand-in that records what it is told): two launchers at once, five
times in a fresh home, make one complete demo and one registry line; a start
cut short (a killed demo, a full disk, a file an older launcher left half
copied) is completed by the next one, which keeps the keeper's own files and
removes only what a cut-short save left; a read-only folder still starts.

usage: launcher_demo.py PATH/TO/kestrova-nouveau-reseau SOURCE-DIR
"""
import filecmp
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MAKER, SOURCE = (os.path.abspath(arg) for arg in sys.argv[1:3])
DEMO_LINE = "Réseau de démonstration|demo|\n".encode()
ENV = dict(os.environ, PATH="/usr/bin:/bin")
failed = 0


def check(ok, what, seen):
    global failed
    failed += not ok
    print(("PASS  " if ok else "FAIL  ") + what + ("" if ok else f"\n      saw: {seen!r}"))


def start(launcher, home, count):
    runs = [subprocess.Popen([launcher], env=dict(ENV, HOME=home), stderr=subprocess.PIPE) for _ in range(count)]
    return [(run.wait(timeout=120), run.stderr.read().decode()) for run in runs]


def differing(work, data):
    """The files the launcher put in place that differ from their source."""
    said = "".join(subprocess.run(["diff", "-rq", os.path.join(data, source), os.path.join(work, target)],
                                  capture_output=True, text=True).stdout
                   for source, target in (("template", ""), ("img", "img")))
    return [line.split()[3] for line in said.splitlines() if line.startswith("Files ")]


def state(work):
    with open(os.path.join(work, "networks.data"), "rb") as handle:
        registry = handle.read()
    package = os.path.join(work, "demo", "demo")
    complete = os.path.isfile(os.path.join(work, "demo", "manage.py")) and all(
        filecmp.cmp(os.path.join(SOURCE, "template", name), os.path.join(package, name), shallow=False)
        for name in ("settings.py", "urls.py", "hubs/views.py"))
    left = [name for name in os.listdir(work) if name.startswith(".kestrova-nouveau-")]
    return registry, complete, left


def full_disk(scratch, launcher, data, told):
    """A first start on a disk that fills up, then one with room; then the
    same folder read-only."""
    disk = os.path.join(scratch, "small")
    os.makedirs(disk)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=48k", "kestrova-test", disk], check=True)
    try:
        work = os.path.join(disk, ".local", "share", "kestrova")
        for size, what, said in (("", "a full disk", "No space left on device"), ("remount,size=64m", "room", ""),
                                 ("remount,ro", "a read-only folder", "style.qss n'a pas pu être copié")):
            if size:
                subprocess.run(["mount", "-o", size, disk], check=True)
            [(code, err)] = start(launcher, disk, 1)
            with open(told) as handle:
                shown = handle.read()
            check(code == 0 and said in shown and shown in err and differing(work, data) == []
                  and (size != "remount,size=64m" or state(work) == (DEMO_LINE, True, [])),
                  f"{what}: the program starts, told what was not prepared, every file whole", (code, err, shown))
            if what == "room":
                os.remove(os.path.join(work, "style.qss"))
    finally:
        subprocess.run(["umount", disk])


def main():
    scratch = tempfile.mkdtemp(prefix="kestrova-launcher-")
    try:
        data = os.path.join(scratch, "data")
        shutil.copytree(os.path.join(SOURCE, "template"), os.path.join(data, "template"))
        shutil.copytree(os.path.join(SOURCE, "img"), os.path.join(data, "img"))
        shutil.copy(os.path.join(SOURCE, "scripts", "style.qss"), data)
        with open(os.path.join(SOURCE, "packaging", "kestrova.in")) as handle:
            text = handle.read()
        told = os.path.join(scratch, "told")
        program = os.path.join(scratch, "program")
        with open(program, "w") as handle:
            handle.write(f'#!/bin/sh\nprintf "%s" "${{KESTROVA_PREPARATION:-}}" > {told}\n')
        os.chmod(program, 0o755)
        for key, value in (("LAUNCHER", "kestrova"), ("PROGRAM", program), ("DATA", data), ("MAKER", MAKER)):
            text = text.replace(f"@KESTROVA_{key}@", value)
        launcher = os.path.join(scratch, "kestrova")
        with open(launcher, "w") as handle:
            handle.write(text)
        os.chmod(launcher, 0o755)

        for trial in range(1, 6):
            home = os.path.join(scratch, f"home-{trial}")
            results = start(launcher, home, 2)
            seen = state(os.path.join(home, ".local", "share", "kestrova"))
            check([code for code, _ in results] == [0, 0] and seen == (DEMO_LINE, True, []),
                  f"two launchers at once, trial {trial}: both start, one complete demo, one line", (results, seen))

        # A first start killed while django-admin made the demo, which an
        # older launcher also left with settings.py half copied; the keeper
        # changed base.html meanwhile, and keeps a folder of that prefix.
        home = os.path.join(scratch, "home-cut")
        work = os.path.join(home, ".local", "share", "kestrova")
        os.makedirs(os.path.join(work, ".kestrova-nouveau-du-gardien"))
        shutil.copytree(os.path.join(data, "template"), work, dirs_exist_ok=True)
        os.truncate(os.path.join(work, "settings.py"), 4096)
        with open(os.path.join(work, "templates", "hubs", "base.html"), "wb") as handle:
            handle.write(b"<!-- du gardien -->\n")
        slow = os.path.join(scratch, "django-admin")
        with open(slow, "w") as handle:
            handle.write("#!/bin/sh\n/usr/bin/django-admin \"$@\" && sleep 60\n")
        os.chmod(slow, 0o755)
        cut = subprocess.Popen([MAKER, "--demo"], cwd=work, env=dict(ENV, PATH=scratch + ":/usr/bin"),
                               start_new_session=True)
        while cut.poll() is None and not glob.glob(os.path.join(work, ".kestrova-nouveau-*", "demo", "manage.py")):
            time.sleep(0.05)
        os.killpg(cut.pid, signal.SIGKILL)
        cut.wait()
        open(os.path.join(work, ".demo-a-faire"), "wb").close()
        start(launcher, home, 1)
        start(launcher, home, 1)
        check(state(work) == (DEMO_LINE, True, [".kestrova-nouveau-du-gardien"])
              and differing(work, data) == [os.path.join(work, "templates", "hubs", "base.html")],
              "a start cut short is completed; a half copy is made whole, the keeper's own files stay",
              (state(work), differing(work, data)))

        if os.geteuid() == 0:
            full_disk(scratch, launcher, data, told)
        else:
            print("SKIP  a full disk and a read-only folder: they need root to mount a small tmpfs")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
