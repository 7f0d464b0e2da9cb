#!/usr/bin/env python3
"""The Debian package, built with cpack from a build tree and checked the way
an operator meets it:

  control    name, version, Depends from dpkg-shlibdeps, the maintainer
             scripts (executable, valid sh)
  contents   every file of the runtime tree, the SDK, the unit and the
             /usr/bin links (a broken install rule fails here)
  relocated  the tree unpacked with dpkg -x elsewhere: the tools answer
             --help, run through a link, and the host serves from Server/
  unit       systemd-analyze verify (skipped without systemd-analyze)
  installed  as root: dpkg -i into a throw-away overlay of / (private mount
             namespace, chroot), the service user starts the server in the
             directories the postinst gave it and writes nowhere outside the
             unit's ReadWritePaths, an upgrade keeps the data, purge removes
             the links, the unit and the configuration but keeps the databases
             (skipped when not root or without overlayfs)

usage: deb_package_test.py --build-dir DIR --cpack CPACK --version X.Y.Z
"""

import argparse
import os
import random
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

PREFIX = "opt/quorvels"
UNIT = "lib/systemd/system/quorvel-host.service"
LINKED_TOOLS = ["quorvel-host", "qvadmin", "qvplay", "qvbot"]
# Everything the package must hold; a missing one is a broken install rule.
EXPECTED_FILES = [
    *(f"{PREFIX}/bin/{p}" for p in
      ["quorvel-host", "qvadmin", "qvplay", "qvbot", "qvtraceview", "qvverres"]),
    *(f"{PREFIX}/lib/{lib}" for lib in ["libQuorvelS.so", "libQ7NetDrv.so", "libDBCtrl.so"]),
    f"{PREFIX}/Binaries/GS/ExampleGame/GameServer.dll",
    f"{PREFIX}/include/QuorvelS/gamemodule.h",
    f"{PREFIX}/include/QuorvelS/quorvels.h",
    f"{PREFIX}/include/common/hostapi.h",
    *(f"{PREFIX}/lib/cmake/QuorvelS/{f}" for f in
      ["QuorvelSConfig.cmake", "QuorvelSConfigVersion.cmake", "QvVersionInfo.cmake",
       "QuorvelSGameModule.cmake"]),
    UNIT,
]
EXPECTED_DIRS = [f"{PREFIX}/{d}" for d in
                 ["Server/TLOG", "Server/Logs", "Binaries/dbc", "Binaries/GS/ExampleGame/DB"]]
# Shared libraries the binaries link: Depends must name their packages.
EXPECTED_DEPENDS = ["adduser", "libc6", "libstdc++6", "libsqlite3-0", "libpq5"]
SCRIPTS = ["postinst", "prerm", "postrm"]
START_DONE = "服务启动 完成"
STOP_DONE = "服务停止 完成"


class Checks:
    def __init__(self):
        self.passed = self.failed = self.skipped = 0

    def check(self, ok, what, detail=""):
        if ok:
            self.passed += 1
            print(f"ok    {what}")
        else:
            self.failed += 1
            print(f"FAIL  {what}" + (f"\n      {detail}" if detail else ""))
        return ok

    def skip(self, what, why):
        self.skipped += 1
        print(f"skip  {what}: {why}")


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def free_port():
    """A free loopback port above the default base port 41000, so that the
    server's port offset (ServerPort) can reach it."""
    for _ in range(200):
        port = random.randint(41001, 60000)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise RuntimeError("no free port")


def write_operator_config(root, port):
    """What an operator sets before the first start: the port and the listen
    address, nothing else. The server completes both files."""
    with open(f"{root}/{PREFIX}/Server/QuorvelS.ini", "w", newline="") as f:
        f.write(f"[ServerCore]\r\nServerPort={port - 41000}\r\n")
    with open(f"{root}/{PREFIX}/Binaries/ServerBaseConfig.ini", "w", newline="") as f:
        f.write("[ServerCore]\r\nServerIPBase=127.0.0.1\r\n")


def serve_once(cmd, cwd, log_path):
    """Starts the host, waits for the end of its start, stops it with SIGTERM.
    Returns (exit code, log text); exit code None when it did not stop."""
    with open(log_path, "w") as log:
        proc = subprocess.Popen(cmd, cwd=cwd, stdin=subprocess.DEVNULL, stdout=log,
                                stderr=subprocess.STDOUT, env=clean_env())
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and proc.poll() is None:
        if START_DONE in read(log_path):
            break
        time.sleep(0.05)
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        code = proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        code = None
    return code, read(log_path)


def read(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def clean_env():
    # No library path from the build: the binaries must find theirs alone.
    env = {k: v for k, v in os.environ.items() if not k.startswith("LD_")}
    env["PATH"] = "/usr/sbin:/usr/bin:/sbin:/bin"
    return env


def build_package(args, out_dir):
    proc = run([args.cpack, "-G", "DEB", "-B", out_dir,
                "--config", os.path.join(args.build_dir, "CPackConfig.cmake")])
    if proc.returncode != 0:
        print(proc.stdout + proc.stderr)
        return None
    debs = [f for f in os.listdir(out_dir) if f.endswith(".deb")]
    return os.path.join(out_dir, debs[0]) if len(debs) == 1 else None


def check_control(c, deb, version, work):
    arch = run(["dpkg", "--print-architecture"]).stdout.strip()
    fields = {name: run(["dpkg-deb", "-f", deb, name]).stdout.strip()
              for name in ["Package", "Version", "Depends"]}
    c.check(os.path.basename(deb) == f"quorvels_{version}_{arch}.deb"
            and fields["Package"] == "quorvels" and fields["Version"] == version,
            f"package quorvels, version {version}, file quorvels_{version}_{arch}.deb",
            f"{os.path.basename(deb)} {fields}")
    names = {re.split(r"[ (]", d.strip())[0] for d in fields["Depends"].split(",")}
    missing = [d for d in EXPECTED_DEPENDS if d not in names]
    c.check(not missing, "Depends names the linked libraries' packages and adduser",
            f"missing {missing} in: {fields['Depends']}")

    control = os.path.join(work, "control")
    run(["dpkg-deb", "-e", deb, control])
    for script in SCRIPTS:
        path = os.path.join(control, script)
        ok = os.path.isfile(path) and os.stat(path).st_mode & stat.S_IXUSR
        syntax = run(["sh", "-n", path]) if ok else None
        c.check(ok and syntax.returncode == 0, f"{script} is an executable, valid sh script",
                syntax.stderr if syntax else "missing or not executable")


def check_contents(c, deb):
    listing = run(["dpkg-deb", "--contents", deb]).stdout
    entries, links = {}, {}
    for line in listing.splitlines():
        parts = line.split(None, 5)
        if len(parts) < 6:
            continue
        mode, name = parts[0], parts[5]
        if " -> " in name:
            name, target = name.split(" -> ", 1)
            links[name.removeprefix("./")] = target
        entries[name.removeprefix("./").rstrip("/")] = mode
    missing = [f for f in EXPECTED_FILES if entries.get(f, "")[:1] != "-"]
    c.check(not missing, f"the package holds the {len(EXPECTED_FILES)} files of the tree and unit",
            f"missing: {missing}")
    missing = [d for d in EXPECTED_DIRS if entries.get(d, "")[:1] != "d"]
    c.check(not missing, "the package holds the writable directories", f"missing: {missing}")
    wrong = {n: links.get(f"usr/bin/{n}") for n in LINKED_TOOLS
             if links.get(f"usr/bin/{n}") != f"/{PREFIX}/bin/{n}"}
    c.check(not wrong, "/usr/bin links to the tools in the tree", f"wrong or missing: {wrong}")
    inis = sorted(n for n in entries if n.lower().endswith(".ini"))
    c.check(not inis, "no INI file is shipped (the server writes them)", f"{inis}")


def check_relocated(c, deb, work):
    root = os.path.join(work, "root")
    run(["dpkg", "-x", deb, root])
    tree = os.path.join(root, PREFIX)
    for tool, expect in [("quorvel-host", "usage: quorvel-host"), ("qvadmin", "usage: qvadmin")]:
        proc = run([os.path.join(tree, "bin", tool), "--help"], env=clean_env())
        c.check(proc.returncode == 0 and expect in proc.stdout + proc.stderr,
                f"unpacked elsewhere, {tool} --help runs", f"rc={proc.returncode} {proc.stderr}")

    # Links as the package's /usr/bin ones, pointing into this tree: the
    # programs find their libraries and the tree from the link's target.
    links = os.path.join(work, "links")
    os.makedirs(links)
    for tool in LINKED_TOOLS:
        os.symlink(os.path.join(tree, "bin", tool), os.path.join(links, tool))
    proc = run([os.path.join(links, "qvadmin"), "user", "add", "bob", "--gold", "7"],
               env=clean_env(), cwd=work)
    c.check(proc.returncode == 0 and os.path.exists(f"{tree}/Binaries/dbc/platform.db"),
            "qvadmin run through a link uses the tree's Binaries/dbc",
            f"rc={proc.returncode} {proc.stdout}{proc.stderr}")

    port = free_port()
    write_operator_config(root, port)
    code, log = serve_once([os.path.join(links, "quorvel-host"), "--no-console"],
                           f"{tree}/Server", os.path.join(work, "relocated-host.log"))
    c.check(code == 0 and f"127.0.0.1:{port}" in log and START_DONE in log and STOP_DONE in log,
            "the host run through a link serves from the unpacked Server/ and stops on SIGTERM",
            f"exit {code}; log:\n{log[-2000:]}")
    return root


def check_unit(c, root, work):
    if shutil.which("systemd-analyze") is None:
        c.skip("systemd-analyze verify", "systemd-analyze is not installed")
        return
    # The unit's paths pointed into the unpacked tree, so that verify can
    # see the program it would run.
    text = read(os.path.join(root, UNIT)).replace(f"/{PREFIX}", os.path.join(root, PREFIX))
    unit_dir = os.path.join(work, "unit")
    os.makedirs(unit_dir)
    path = os.path.join(unit_dir, "quorvel-host.service")
    with open(path, "w") as f:
        f.write(text)
    proc = run(["systemd-analyze", "verify", path])
    # verify exits 0 on settings it ignores: every line about the unit counts.
    about = [line for line in (proc.stdout + proc.stderr).splitlines()
             if "quorvel-host.service" in line]
    c.check(proc.returncode == 0 and not about, "systemd-analyze verify finds nothing in the unit",
            "\n      ".join(about) or f"rc={proc.returncode}")


# Runs inside the chroot on the overlay; it reports "== KEY VALUE" lines that
# are checked outside. /ovl-upper is the overlay's upper layer: every file the
# chroot changed, and only those.
INSTALLED_SCRIPT = r"""
set -u
deb=$1; port=$2
p=/opt/quorvels
say() { echo "== $*"; }
dpkg -i "$deb" > /root/dpkg-install.log 2>&1; say "install $?"
sed 's/^/   | /' /root/dpkg-install.log
say "user $(getent passwd quorvels | cut -d: -f1,6,7)"
for d in $p/Server $p/Server/TLOG $p/Server/Logs $p/Binaries $p/Binaries/dbc \
         $p/Binaries/GS/ExampleGame/DB $p/Binaries/GS/ExampleGame $p/bin; do
    echo "== owner $(stat -c '%U %a %n' "$d")"
done
printf '[ServerCore]\r\nServerPort=%d\r\n' $((port - 41000)) > $p/Server/QuorvelS.ini
printf '[ServerCore]\r\nServerIPBase=127.0.0.1\r\n' > $p/Binaries/ServerBaseConfig.ini
touch /root/before-host
cd $p/Server
setpriv --reuid=quorvels --regid=quorvels --clear-groups /usr/bin/quorvel-host --no-console \
    < /dev/null > /root/host.log 2>&1 &
pid=$!
for i in $(seq 400); do grep -q '服务启动 完成' /root/host.log && break; sleep 0.05; done
kill -TERM $pid; wait $pid; say "host exit $?"
sed 's/^/   | /' /root/host.log
setpriv --reuid=quorvels --regid=quorvels --clear-groups qvadmin user add carol --gold 9 \
    > /root/qvadmin.log 2>&1; say "qvadmin $?"
sed 's/^/   | /' /root/qvadmin.log
say "written $(cd /ovl-upper && find . -newer root/before-host ! -path './root/*' \
    ! -path ./root -printf '/%P ' | sed 's#^/ ##')"
grep -q '^ServerPortBase=' $p/Binaries/ServerBaseConfig.ini; say "completed $?"
dpkg -i "$deb" > /root/dpkg-upgrade.log 2>&1; say "upgrade $?"
say "kept $(stat -c '%U' $p/Binaries/dbc) $(setpriv --reuid=quorvels --regid=quorvels \
    --clear-groups qvadmin user show carol 2>&1 | grep -c 'gold=9')"
dpkg -P quorvels > /root/dpkg-purge.log 2>&1; say "purge $?"
q=${p#/}
say "left $(cd / && ls -d usr/bin/qvadmin lib/systemd/system/quorvel-host.service \
    $q/Server/QuorvelS.ini $q/Binaries/ServerBaseConfig.ini $q/Binaries/dbc/platform.db \
    $q/Binaries/GS/ExampleGame/DB/game.db $q/bin 2> /dev/null | tr '\n' ' ')"
"""

# Mounts the overlay of / in the private mount namespace and runs the script
# in a chroot on it; everything it changes lives in the tmpfs and goes with
# the namespace.
OVERLAY_SCRIPT = r"""
set -e
ov=$1
mount -t tmpfs tmpfs "$ov"
mkdir "$ov/upper" "$ov/work" "$ov/merged"
mount -t overlay overlay -o "lowerdir=/,upperdir=$ov/upper,workdir=$ov/work" "$ov/merged"
mount --bind /proc "$ov/merged/proc"
mount --bind /dev "$ov/merged/dev"
# No systemd inside: the maintainer scripts see no /run/systemd/system.
mount -t tmpfs tmpfs "$ov/merged/run"
mount -t tmpfs tmpfs "$ov/merged/tmp"
cp "$2" "$ov/merged/root/quorvels.deb"
cp "$3" "$ov/merged/root/installed.sh"
mkdir "$ov/merged/ovl-upper"
mount --bind "$ov/upper" "$ov/merged/ovl-upper"
echo "== mounted"
chroot "$ov/merged" /bin/bash /root/installed.sh /root/quorvels.deb "$4"
"""


def check_installed(c, deb, root, work):
    what = "install, serve as the service user, upgrade, purge"
    if os.geteuid() != 0:
        c.skip(what, "needs root (dpkg -i in a private overlay of /)")
        return
    if shutil.which("unshare") is None or "overlay" not in read("/proc/filesystems"):
        c.skip(what, "needs unshare and overlayfs")
        return
    rw_paths = []
    for line in read(os.path.join(root, UNIT)).splitlines():
        if line.startswith("ReadWritePaths="):
            rw_paths += line.split("=", 1)[1].split()
    scripts = os.path.join(work, "scripts")
    os.makedirs(scripts)
    for name, text in [("overlay.sh", OVERLAY_SCRIPT), ("installed.sh", INSTALLED_SCRIPT)]:
        with open(os.path.join(scripts, name), "w") as f:
            f.write(text)
    ov = os.path.join(work, "overlay")
    os.makedirs(ov)
    port = free_port()
    proc = run(["unshare", "--mount", "--propagation", "private", "/bin/bash",
                os.path.join(scripts, "overlay.sh"), ov, deb,
                os.path.join(scripts, "installed.sh"), str(port)], env=clean_env(), timeout=120)
    out = proc.stdout
    said, owners = {}, {}
    for line in out.splitlines():
        if line.startswith("== owner "):
            user, mode, path = line[len("== owner "):].split()
            owners[path.removeprefix("/opt/quorvels/")] = (user, mode)
        elif line.startswith("== "):
            key, _, value = line[3:].partition(" ")
            said[key] = value
    # A kernel that refuses the namespace or the overlay is a limit of the
    # machine, not a fault of the package.
    if "mounted" not in said:
        c.skip(what, f"the overlay of / could not be mounted: {proc.stderr.strip()[:300]}")
        return
    failed_before = c.failed
    detail = "(transcript below)"
    c.check(said.get("install") == "0", "dpkg -i installs it (postinst included)", detail)
    c.check(said.get("user") == "quorvels:/opt/quorvels/Server:/usr/sbin/nologin",
            "the postinst created the system user quorvels", said.get("user", ""))
    want = {"Server": "quorvels", "Server/TLOG": "quorvels", "Server/Logs": "quorvels",
            "Binaries": "quorvels", "Binaries/dbc": "quorvels",
            "Binaries/GS/ExampleGame/DB": "quorvels", "Binaries/GS/ExampleGame": "root",
            "bin": "root"}
    got = {path: user for path, (user, _) in owners.items()}
    c.check(got == want, "the user owns the writable directories, root the rest", f"got {got}")
    readable = [p for p in ["Binaries/dbc", "Binaries/GS/ExampleGame/DB"]
                if owners.get(p, ("", ""))[1] != "750"]
    c.check(not readable, "the database directories are not readable by others", f"{owners}")
    c.check(said.get("host") == "exit 0" and START_DONE in out and STOP_DONE in out,
            "the service user starts the server in the installed tree; it stops on SIGTERM",
            detail)
    c.check(said.get("qvadmin") == "0", "qvadmin through /usr/bin works as the service user",
            detail)
    written = said.get("written", "").split()
    outside = [w for w in written if not any(w == p or w.startswith(p + "/") for p in rw_paths)]
    c.check(bool(rw_paths) and bool(written) and not outside,
            f"the server and qvadmin wrote only below ReadWritePaths {rw_paths}",
            f"outside: {outside}; written: {written}")
    c.check(said.get("completed") == "0",
            "the server completed ServerBaseConfig.ini (Binaries/ is writable for it)", detail)
    c.check(said.get("upgrade") == "0" and said.get("kept") == "quorvels 1",
            "an upgrade keeps the ownership and the data", said.get("kept", detail))
    c.check(said.get("purge") == "0", "dpkg -P purges it", detail)
    left = set(said.get("left", "").split())
    c.check(left == {"opt/quorvels/Binaries/dbc/platform.db",
                     "opt/quorvels/Binaries/GS/ExampleGame/DB/game.db"},
            "purge removes links, unit, programs and configuration, keeps the databases",
            f"left: {sorted(left)}")
    if c.failed != failed_before:
        print("      transcript of the install in the overlay:\n" + out + proc.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--version", required=True)
    args = parser.parse_args()
    for tool in ["dpkg-deb", "dpkg-shlibdeps"]:
        if shutil.which(tool) is None:
            print(f"FAIL  {tool} is missing (scripts/deps.sh installs dpkg-dev)")
            return 1

    c = Checks()
    work = tempfile.mkdtemp(prefix="qv-package-")
    try:
        started = time.monotonic()
        deb = build_package(args, os.path.join(work, "out"))
        if not c.check(deb is not None, "cpack -G DEB builds one package"):
            return 1
        print(f"      {os.path.basename(deb)} in {time.monotonic() - started:.1f} s")
        check_control(c, deb, args.version, work)
        check_contents(c, deb)
        root = check_relocated(c, deb, work)
        check_unit(c, root, work)
        check_installed(c, deb, root, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"package: {c.passed} passed, {c.failed} failed, {c.skipped} skipped")
    return 0 if c.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
