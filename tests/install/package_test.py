#!/usr/bin/python3
"""The Debian package, installed with dpkg into a throwaway copy of this machine's root.

  package_test.py CMAKE BUILD_DIR

Makes the package of the build (cpack; lintian finds no error in it), then, in a mount
namespace of its own, lays an overlay over / (its upper layer on a tmpfs of that namespace)
and works in it through chroot: dpkg -i;
the group, the extension's user, the folders and modes the maintainer scripts made; the
installed extension as its unit runs it (its own user, two capabilities) intercepting and
answering; the installed helper and application on the installer road and the normal road
against the development device server, with a query answered through the installed extension
(tools/kiv_sandbox.py on the installed programs); then dpkg --purge, after which nothing of the
package is left. Nothing on the machine changes: the overlay goes with the namespace.
Skipped (status 77) where it cannot run: not root, no dpkg, no overlayfs.
"""
import grp
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = pathlib.Path(__file__).resolve().parents[2]
SKIPPED = 77
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
    print("%s: %s" % ("ok" if ok else "FAIL", what), flush=True)


def skip(why):
    print("package: skipped:", why, flush=True)
    sys.exit(SKIPPED)


def run(argv, check_status=True, **options):
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **options)
    if check_status and done.returncode != 0:
        raise RuntimeError("%s: status %d\n%s" % (" ".join(map(str, argv)), done.returncode, done.stdout))
    return done


def prefix_of(build):
    cache = (build / "CMakeCache.txt").read_text()
    return re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", cache, re.M).group(1)


def make_package(cmake, build, folder):
    """The build's package, its files below the build's own prefix (the units name it)."""
    cpack = pathlib.Path(cmake).with_name("cpack")
    run([cpack, "-G", "DEB", "--config", build / "CPackConfig.cmake", "-B", folder,
         "-D", "CPACK_PACKAGING_INSTALL_PREFIX=" + prefix_of(build)])
    [package] = folder.glob("kiv_*.deb")
    return package


# ---- outside: the package and the namespace ---------------------------------------------------


def main():
    cmake, build = sys.argv[1], pathlib.Path(sys.argv[2]).resolve()
    if os.geteuid() != 0:
        skip("installing a package into an overlay of / takes root")
    for tool in ("dpkg", "dpkg-shlibdeps", "unshare", "chroot"):
        if not shutil.which(tool):
            skip(tool + " is not installed")
    if "overlay" not in pathlib.Path("/proc/filesystems").read_text():
        if shutil.which("modprobe"):
            run(["modprobe", "overlay"], check_status=False)
        if "overlay" not in pathlib.Path("/proc/filesystems").read_text():
            skip("no overlayfs in this kernel")
    work = pathlib.Path(tempfile.mkdtemp(prefix="kiv-package-"))
    try:
        package = make_package(cmake, build, work / "package")
        print("package:", package.name, flush=True)
        if prefix_of(build) != "/usr":
            print("SKIP: lintian checks a package for /usr only (this build's prefix is %s)" % prefix_of(build))
        elif shutil.which("lintian"):
            report = run(["lintian", "--fail-on", "error", package], check_status=False)
            errors = [line for line in report.stdout.splitlines() if line.startswith("E:")]
            check(report.returncode == 0 and not errors, "lintian finds no error: %s" % "; ".join(errors))
        else:
            print("SKIP: no lintian to check the package", flush=True)
        status = subprocess.run(["unshare", "--mount", "--propagation", "private", sys.executable, __file__,
                                 "--inside", str(package), prefix_of(build), str(work)]).returncode
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if status == SKIPPED:
        return SKIPPED
    status = status or (1 if failures else 0)
    print("package:", "passed" if status == 0 else "FAILED", flush=True)
    return status


# ---- inside the mount namespace: the overlay and the chroot -------------------------------------


def overlay_root(work):
    """/ with a writable layer that lives in this namespace only."""
    layer = work / "layer"
    layer.mkdir()
    # A tmpfs takes an overlay's upper layer wherever / itself is an overlay (a container's).
    run(["mount", "-t", "tmpfs", "-o", "mode=0755", "kiv-layer", layer])
    (layer / "upper").mkdir()
    (layer / "work").mkdir()
    root = work / "root"
    root.mkdir()
    mounted = run(["mount", "-t", "overlay", "kiv-root", "-o",
                   "lowerdir=/,upperdir=%s,workdir=%s" % (layer / "upper", layer / "work"), root], check_status=False)
    if mounted.returncode != 0:
        skip("overlayfs over / is unavailable here: " + mounted.stdout.strip())
    # The kernel's file systems as they are, a run folder and /tmp of the copy's own (no service
    # manager runs there), and this source tree, read-only, for the sandbox's tools.
    for folder in ("proc", "sys", "dev"):
        run(["mount", "--rbind", "/" + folder, root / folder])
    for folder in ("run", "tmp"):
        run(["mount", "-t", "tmpfs", "-o", "mode=%s" % ("0755" if folder == "run" else "1777"), "kiv-" + folder,
             root / folder])
    (root / str(SOURCE).lstrip("/")).mkdir(parents=True, exist_ok=True)
    run(["mount", "--bind", SOURCE, root / str(SOURCE).lstrip("/")])
    run(["mount", "-o", "remount,bind,ro", root / str(SOURCE).lstrip("/")])
    return root


def below(root, path):
    return root / str(path).lstrip("/")


def mode_owner(path):
    info = path.lstat()
    return info.st_mode & 0o7777, info.st_uid, info.st_gid


def entry(root, database, name):
    for line in below(root, "/etc/" + database).read_text().splitlines():
        fields = line.split(":")
        if fields[0] == name:
            return fields
    return None


def check_installed(root, prefix):
    group = entry(root, "group", "kiv")
    user = entry(root, "passwd", "kivdnsproxy")
    check(group is not None, "the group kiv exists")
    check(user is not None and group is not None and user[3] == group[2] and user[6].endswith("nologin"),
          "the extension's user kivdnsproxy, primary group kiv, no login: %r" % (user,))
    if group is None or user is None:
        return
    kiv, proxy = int(group[2]), int(user[2])
    for path, expected in [("/var/lib/kiv", (0o755, 0, 0)), ("/var/lib/kiv/dnsproxy", (0o2770, 0, kiv)),
                           ("/var/lib/kiv/config.ini", (0o644, 0, 0)), ("/run/kiv", (0o755, proxy, kiv)),
                           ("/run/KIVDNSModifier.lock", (0o600, 0, 0)),
                           ("/etc/kiv/kivhelper.rights" if prefix == "/usr" else
                            prefix + "/etc/kiv/kivhelper.rights", (0o644, 0, 0))]:
        path = below(root, path)
        check(path.exists() and mode_owner(path) == expected, "%s %o %d:%d" % (path.relative_to(root), *expected))
    conffiles = run(["chroot", root, "dpkg-query", "-W", "-f=${Conffiles}", "kiv"]).stdout
    check("kivhelper.rights" in conffiles, "the rights file is a conffile: %s" % conffiles.strip())
    socket = below(root, "/etc/systemd/system/sockets.target.wants/kivhelper.socket")
    check(socket.is_symlink(), "the helper's socket enabled")


PROXY_CAPABILITIES = "net_admin,net_bind_service"


def extension_as_its_unit(prefix):
    """In the chroot, in a network namespace of its own: the installed extension as its unit
    runs it (its own user, the group kiv, only its two capabilities, no new privileges) takes
    the computer's DNS, answers through a stand-in resolver and makes its link socket in /run/kiv.
    Its exit status; what it saw on standard output."""
    # As in the sandbox: one link whose default route makes the outside address routable.
    for argv in (["ip", "link", "set", "lo", "up"], ["ip", "link", "add", "kiv0", "type", "veth", "peer", "name", "kiv1"],
                 ["ip", "link", "set", "kiv1", "up"], ["ip", "link", "set", "kiv0", "up"],
                 ["ip", "addr", "add", "198.51.100.2/24", "dev", "kiv0"],
                 ["ip", "route", "add", "default", "via", "198.51.100.1", "dev", "kiv0"]):
        run(argv)
    folder = pathlib.Path(tempfile.mkdtemp(prefix="kiv-extension-"))
    os.chmod(folder, 0o755)
    vendor = folder / "vendor.json"
    vendor.write_text(json.dumps({"uuid": "00112233-4455-6677-8899-aabbccddeeff", "locationTag": "abc",
                                  "resolvers": ["127.0.0.2"], "internalIp": "10.1.2.3",
                                  "externalIp": "198.51.100.7", "localDNS": ["127.0.0.2"],
                                  "filters": [{"filter": [{"resolvers": ["127.0.0.2"]}]}]}))
    os.chmod(vendor, 0o644)
    log = open(folder / "resolver.log", "w")
    resolver = subprocess.Popen([sys.executable, str(SOURCE / "tools/kiv-test-resolver"), "--address", "127.0.0.2",
                                 "--port", "53", "--quiet"], stdout=log, stderr=subprocess.STDOUT)
    confined = ["setpriv", "--reuid=kivdnsproxy", "--regid=kiv", "--init-groups", "--no-new-privs",
                "--inh-caps=-all,+" + PROXY_CAPABILITIES.replace(",", ",+"),
                "--ambient-caps=-all,+" + PROXY_CAPABILITIES.replace(",", ",+"),
                "--bounding-set=-all,+" + PROXY_CAPABILITIES.replace(",", ",+")]
    program = prefix + "/libexec/kiv/kivdnsproxy"
    output = open(folder / "kivdnsproxy.log", "w+")
    proxy = subprocess.Popen(confined + [program, "--vendor-data", str(vendor), "--threads", "1"],
                             stdout=output, stderr=subprocess.STDOUT, env={"PATH": "/usr/bin:/bin"})
    ok = True

    def expect(condition, what):
        nonlocal ok
        ok = ok and bool(condition)
        print("%s: %s" % ("ok" if condition else "FAIL", what), flush=True)

    def until(condition, seconds=30):
        deadline = time.monotonic() + seconds
        while not condition() and time.monotonic() < deadline and proxy.poll() is None:
            time.sleep(0.05)
        return condition()
    try:
        started = until(lambda: "proxy started" in (folder / "kivdnsproxy.log").read_text())
        expect(started and "intercepting" in (folder / "kivdnsproxy.log").read_text(),
               "kivdnsproxy as kivdnsproxy:kiv with %s only: intercepting" % PROXY_CAPABILITIES)
        status = pathlib.Path("/proc/%d/status" % proxy.pid).read_text() if proxy.poll() is None else ""
        effective = re.search(r"^CapEff:\s*(\S+)$", status, re.M)
        expect(effective and int(effective.group(1), 16) == (1 << 12) | (1 << 10),
               "its effective capabilities: %s" % (effective and effective.group(1)))
        answers = []

        def answered():
            answers.append(run(["dig", "+short", "+time=2", "+tries=1", "@192.0.2.53", "example.com", "A"],
                               check_status=False).stdout.strip())
            return answers[-1] == "192.0.2.1"
        expect(until(answered), "dig @192.0.2.53 example.com through it: %r" % (answers[-1:],))
        sockets = [path for path in pathlib.Path("/run/kiv").glob("*.sock")]
        expect(sockets and all(path.stat().st_uid != 0 and path.stat().st_gid == grp_id("kiv") for path in sockets),
               "its link socket in /run/kiv, group kiv: %s" % [str(path) for path in sockets])
    finally:
        proxy.terminate()
        proxy.wait(timeout=20)
        cleared = subprocess.run(confined + [program, "--clear-interception"], capture_output=True, text=True)
        tables = run(["nft", "list", "tables"], check_status=False).stdout
        expect(cleared.returncode == 0 and "kivdnsproxy" not in tables, "--clear-interception as its user: %r" % tables)
        resolver.terminate()
        resolver.wait(timeout=20)
        if not ok:
            print(re.sub("^", "    ", (folder / "kivdnsproxy.log").read_text(), flags=re.M), flush=True)
        shutil.rmtree(folder, ignore_errors=True)
    return 0 if ok else 1


def grp_id(name):
    return grp.getgrnam(name).gr_gid


def run_extension(root, prefix):
    done = run(["chroot", root, "unshare", "--net", sys.executable, __file__, "--extension", prefix],
               check_status=False, timeout=120)
    print(re.sub("^", "    ", done.stdout.rstrip(), flags=re.M), flush=True)
    check(done.returncode == 0, "the installed extension runs confined as its unit says")


def run_agent(root, prefix):
    """The demo of scripts/run on the installed programs, in the copy."""
    # The computer's DNS server is the sandbox's outside address, in a file the helper may
    # replace (in a container, /etc/resolv.conf is another file mounted over the image's).
    resolv = below(root, "/etc/resolv.conf")
    if resolv.is_symlink():
        resolv.unlink()
    resolv.write_text("nameserver 192.0.2.53\n")
    agent = run(["chroot", root, sys.executable, __file__, "--agent", prefix], check_status=False, timeout=400)
    print(re.sub("^", "    ", agent.stdout.rstrip(), flags=re.M), flush=True)
    check(agent.returncode == 0, "the installed agent: helper, installer road, normal road, DNS through the proxy")


def check_purged(root, files):
    run(["chroot", root, "dpkg", "--purge", "kiv"])
    query = run(["chroot", root, "dpkg-query", "-W", "-f=${db:Status-Status}", "kiv"], check_status=False)
    check(query.returncode != 0 or query.stdout.strip() == "not-installed", "dpkg knows no kiv: %r" % query.stdout)
    left = [path for path in files + ["/var/lib/kiv", "/run/kiv", "/run/KIVDNSModifier.lock",
                                      "/etc/systemd/system/sockets.target.wants/kivhelper.socket",
                                      "/root/.config/kiv/com.veltrix.kivHelper.json"]
            if os.path.lexists(below(root, path))]
    check(not left, "nothing of the package left: %s" % left)
    check(entry(root, "group", "kiv") is None and entry(root, "passwd", "kivdnsproxy") is None,
          "the group kiv and the user kivdnsproxy removed")


def inside(package, prefix, work):
    root = overlay_root(work)
    shutil.copy(package, root / "tmp")
    installed = run(["chroot", root, "dpkg", "-i", "/tmp/" + package.name], check_status=False)
    check(installed.returncode == 0, "dpkg -i %s: %s" % (package.name, installed.stdout.strip()[-2000:]))
    if installed.returncode != 0:
        return 1
    files = [line for line in run(["chroot", root, "dpkg", "-L", "kiv"]).stdout.splitlines()
             if below(root, line).is_file()]
    check_installed(root, prefix)
    run_extension(root, prefix)
    run_agent(root, prefix)
    check_purged(root, files)
    # The namespace's mounts, the overlay among them, end with it.
    return 1 if failures else 0


def agent(prefix):
    """In the chroot: the sandbox's scenario on the installed programs."""
    sys.path.insert(0, str(SOURCE / "tools"))
    import kiv_sandbox
    try:
        return kiv_sandbox.run_in_sandbox(kiv_sandbox.demo, "/nonexistent", timeout=360, installed=prefix)
    except kiv_sandbox.SandboxUnavailable as why:
        print("agent: no sandbox in the copy:", why)
        return 1


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--inside":
        sys.exit(inside(pathlib.Path(sys.argv[2]), sys.argv[3], pathlib.Path(sys.argv[4])))
    if len(sys.argv) > 1 and sys.argv[1] == "--extension":
        sys.exit(extension_as_its_unit(sys.argv[2]))
    if len(sys.argv) > 1 and sys.argv[1] == "--agent":
        sys.exit(agent(sys.argv[2]))
    sys.exit(main())
