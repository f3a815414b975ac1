"""The keeper's launcher from the build tree (packaging/kestrova.in written as
the installation writes it, the real kestrova-nouveau-reseau and Django, a
program stand-in): two launchers at once, five times in a fresh home, make one
complete demo and one registry line; a start cut short is completed by the
next one, which removes nothing it did not make.

usage: launcher_demo.py PATH/TO/kestrova-nouveau-reseau SOURCE-DIR
"""
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile

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


def state(work):
    with open(os.path.join(work, "networks.data"), "rb") as handle:
        registry = handle.read()
    package = os.path.join(work, "demo", "demo")
    complete = os.path.isfile(os.path.join(work, "demo", "manage.py")) and all(
        filecmp.cmp(os.path.join(SOURCE, "template", name), os.path.join(package, name), shallow=False)
        for name in ("settings.py", "urls.py", "hubs/views.py"))
    left = [name for name in os.listdir(work) if name.startswith(".kestrova-nouveau-")]
    return registry, complete, left


def main():
    scratch = tempfile.mkdtemp(prefix="kestrova-launcher-")
    try:
        data = os.path.join(scratch, "data")
        shutil.copytree(os.path.join(SOURCE, "template"), os.path.join(data, "template"))
        shutil.copytree(os.path.join(SOURCE, "img"), os.path.join(data, "img"))
        shutil.copy(os.path.join(SOURCE, "scripts", "style.qss"), data)
        with open(os.path.join(SOURCE, "packaging", "kestrova.in")) as handle:
            text = handle.read()
        for key, value in (("LAUNCHER", "kestrova"), ("PROGRAM", "/bin/true"), ("DATA", data), ("MAKER", MAKER)):
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

        # A first start killed after the demo's rename, before its line, with
        # a temporary folder of another start beside it.
        home = os.path.join(scratch, "home-cut")
        work = os.path.join(home, ".local", "share", "kestrova")
        os.makedirs(os.path.join(work, ".kestrova-nouveau-0badcafe", "demo"))
        shutil.copytree(os.path.join(data, "template"), work, dirs_exist_ok=True)
        subprocess.run([MAKER, "--demo"], cwd=work, env=ENV, check=True)
        open(os.path.join(work, "networks.data"), "wb").close()
        open(os.path.join(work, ".demo-a-faire"), "wb").close()
        start(launcher, home, 1)
        start(launcher, home, 1)
        check(state(work) == (DEMO_LINE, True, [".kestrova-nouveau-0badcafe"]),
              "a start cut short is completed once, and what it did not make stays", state(work))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
