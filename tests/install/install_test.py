#!/usr/bin/python3
"""Installs a build as a package is staged and checks the result with the programs that use it.

  install_test.py CMAKE BUILD_DIR PREFIX

The build is installed twice below a temporary folder (DESTDIR): at its own prefix, whose units
systemd-analyze verifies and whose entries systemd-sysusers and systemd-tmpfiles apply to that
folder as a root, and at another prefix, below which everything must land. A step whose tool is
missing says so and is skipped. Nothing outside the temporary folder changes.
"""
import json
import os
import re
import pathlib
import shutil
import subprocess
import sys
import tempfile

CMAKE, BUILD, PREFIX = sys.argv[1], pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3])
FILES = {  # below the prefix: mode
    "bin/brannockcloud": 0o755, "bin/Info.plist": 0o644, "libexec/kiv/kivdnsproxy": 0o755,
    "libexec/kiv/Info.plist": 0o644, "libexec/kivhelper/kivhelper": 0o755, "libexec/kivhelper/Info.plist": 0o644,
    "lib/systemd/system/kivhelper.service": 0o644, "lib/systemd/system/kivhelper.socket": 0o644,
    "lib/systemd/system/kivdnsproxy.service": 0o644, "lib/systemd/user/brannockcloud.service": 0o644,
    "lib/sysusers.d/kiv.conf": 0o644, "lib/tmpfiles.d/kiv.conf": 0o644, "share/kiv/config.ini": 0o644,
    "share/polkit-1/rules.d/kivdnsproxy.rules": 0o644, "share/icons/hicolor/scalable/apps/corvel_icon.svg": 0o644,
    "share/icons/hicolor/scalable/apps/corvel_icon_alert.svg": 0o644}
BUNDLES = {"bin": "com.kiv.veltrix", "libexec/kiv": "com.kiv.veltrax.KIVDNSProxy",
           "libexec/kivhelper": "com.veltrix.kivHelper"}
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def below(root, path):
    return root / str(path).lstrip("/")


def run(argv, **options):
    done = subprocess.run(argv, capture_output=True, text=True, **options)
    check(done.returncode == 0, f"{' '.join(map(str, argv))}: {done.stderr.strip()}")
    return done.stdout


def install(destdir, prefix=None):
    run([CMAKE, "--install", BUILD] + (["--prefix", prefix] if prefix else []), env=dict(os.environ, DESTDIR=destdir))


def check_files(prefix, rights):
    for path, mode in [(prefix / name, mode) for name, mode in FILES.items()] + [(rights, 0o644)]:
        info = path.lstat() if path.exists() else None
        check(info and info.st_mode & 0o7777 == mode and (os.geteuid() != 0 or info.st_uid == 0), f"{path} {mode:o}")
    for folder, identifier in BUNDLES.items():
        plist = json.loads((prefix / folder / "Info.plist").read_text())
        check(plist["CFBundleIdentifier"] == identifier and (prefix / folder / plist["CFBundleExecutable"]).is_file(),
              f"{folder}/Info.plist names {identifier} and its binary")


def unit(path):
    lines = [line.split("=", 1) for line in path.read_text().splitlines() if "=" in line and line[0] != "#"]
    return {key: " ".join(v for k, v in lines if k == key) for key, _ in lines}


def check_polkit_rule(rule):
    harness = """let rule; const polkit = {Result: {YES: "yes"}, addRule: f => { rule = f; }};
        new Function("polkit", require("fs").readFileSync(process.argv[1], "utf8"))(polkit);
        console.log(JSON.stringify(JSON.parse(process.argv[2]).map(([id, unit, verb, groups]) =>
            rule({id, lookup: k => ({unit, verb})[k]}, {isInGroup: g => groups.includes(g)}) || "no")));"""
    units, proxy = "org.freedesktop.systemd1.manage-units", "kivdnsproxy.service"
    cases = [[units, proxy, "start", ["kiv"], "yes"], [units, proxy, "stop", ["users", "kiv"], "yes"],
             [units, proxy, "restart", ["kiv"], "yes"], [units, proxy, "start", ["users"], "no"],
             [units, proxy, "reload", ["kiv"], "no"], [units, "ssh.service", "stop", ["kiv"], "no"],
             ["org.freedesktop.systemd1.manage-unit-files", None, None, ["kiv"], "no"]]
    got = run(["node", "-e", harness, rule, json.dumps([case[:4] for case in cases])])
    check(got and json.loads(got) == [case[4] for case in cases], f"polkit rule answers {got.strip()}")


CONFINED = {  # directive: value in both system services (None: any value)
    "NoNewPrivileges": "yes", "ProtectSystem": "strict", "PrivateTmp": "yes", "SystemCallFilter": "@system-service",
    "LimitNOFILE": None, "MemoryMax": None, "TasksMax": None, "RestrictAddressFamilies": None,
    "CapabilityBoundingSet": None}


def check_confinement(units):
    """Both services confined as systemd's own daemons are; the extension as its own user with
    only the capabilities its interception and port take; systemd's exposure score stays low."""
    for name in ("kivhelper.service", "kivdnsproxy.service"):
        service = unit(units / name)
        for key, value in CONFINED.items():
            check(service.get(key) and value in (None, service[key]), f"{name} {key}={value or '...'}: "
                  f"{service.get(key)}")
        check("AF_PACKET" not in service.get("RestrictAddressFamilies", ""), f"{name} without packet sockets")
        score = run(["systemd-analyze", "security", "--offline=yes", "--no-pager", units / name])
        exposure = re.search(r"Overall exposure level for \S+: ([0-9.]+)", score)
        check(exposure and float(exposure.group(1)) <= 3.0, f"{name} exposure {exposure and exposure.group(1)}")
    proxy = unit(units / "kivdnsproxy.service")
    capabilities = {"CAP_NET_ADMIN", "CAP_NET_BIND_SERVICE"}
    check((proxy.get("User"), proxy.get("Group")) == ("kivdnsproxy", "kiv"), "kivdnsproxy runs as kivdnsproxy:kiv")
    check(set(proxy["AmbientCapabilities"].split()) == capabilities == set(proxy["CapabilityBoundingSet"].split()),
          f"kivdnsproxy capabilities {proxy.get('AmbientCapabilities')}")
    check(unit(units / "kivhelper.service")["CapabilityBoundingSet"] == "CAP_NET_ADMIN", "kivhelper capabilities")
    check((proxy.get("WatchdogSec"), proxy.get("NotifyAccess")) == ("30s", "main"), "kivdnsproxy has a watchdog")


def main(tmp):
    root = tmp / "root"
    install(root)
    prefix = below(root, PREFIX)
    rights = pathlib.Path(unit(prefix / "lib/systemd/system/kivhelper.service")["Environment"].split("=", 1)[1])
    check_files(prefix, below(root, rights))
    # The application shares only the preferences file with the extension, none of its io_uring or nftables code.
    needed = run(["readelf", "-d", prefix / "bin/brannockcloud"])
    check("NEEDED" in needed and not re.search(r"liburing|libnftables", needed),
          "brannockcloud links no liburing, libnftables")
    for name, key in [("system/kivhelper.service", "ExecStart"), ("system/kivdnsproxy.service", "ExecStart"),
                      ("system/kivdnsproxy.service", "ExecStopPost"), ("user/brannockcloud.service", "ExecStart")]:
        check(os.access(below(root, unit(prefix / "lib/systemd" / name)[key].split()[0]), os.X_OK), f"{name} {key}")
    check({"PWD", "SUDO_COMMAND"} <= set(unit(prefix / "lib/systemd/user/brannockcloud.service")
                                         .get("UnsetEnvironment", "").split()), "user unit without PWD, SUDO_COMMAND")
    lines = [line.split() for line in below(root, rights).read_text().splitlines() if line and line[0] != "#"]
    check(sorted(rule for _, rule in lines) == ["allow"] + ["group:sudo"] * 9 and
          dict(lines)["com.veltrix.kivHelper.flushDNSwithAuthorization"] == "allow", "rights: flush allow, others sudo")
    check((prefix / "share/kiv/config.ini").read_text() == "[ApplicationSettings]\n[XNCServerInfoSection]\n",
          "config.ini holds its two sections")
    if shutil.which("node"):
        check_polkit_rule(prefix / "share/polkit-1/rules.d/kivdnsproxy.rules")
    else:
        print("SKIP: no node to evaluate the polkit rule")

    if shutil.which("systemd-analyze") and pathlib.Path("/usr/lib/systemd/system/sysinit.target").exists():
        # The system units next to the machine's own (sysinit.target ...); the user manager takes no
        # root, so the user unit is verified with its program's staged path.
        shutil.copytree("/usr/lib/systemd/system", root / "usr/lib/systemd/system", symlinks=True, dirs_exist_ok=True)
        run(["systemd-analyze", "verify", f"--root={root}", "--man=no", "--generators=no"] +
            [prefix / "lib/systemd/system" / name for name in ("kivhelper.socket", "kivhelper.service",
                                                                "kivdnsproxy.service")])
        check_confinement(prefix / "lib/systemd/system")
        user_unit = (prefix / "lib/systemd/user/brannockcloud.service").read_text()
        (tmp / "brannockcloud.service").write_text(user_unit.replace(f"={PREFIX}/", f"={prefix}/"))
        (tmp / "xdg").mkdir(mode=0o700)
        run(["systemd-analyze", "verify", "--user", "--man=no", "--generators=no", tmp / "brannockcloud.service"],
            env=dict(os.environ, XDG_RUNTIME_DIR=tmp / "xdg"))
    else:
        print("SKIP: no systemd-analyze or no system units in /usr/lib/systemd/system")

    elsewhere = tmp / "elsewhere"
    install(elsewhere, "/srv/kiv-staging")
    stray = [p for p in elsewhere.rglob("*") if p.is_file() and not p.is_relative_to(elsewhere / "srv/kiv-staging")]
    check(not stray, f"installed outside the prefix: {stray}")
    check_files(elsewhere / "srv/kiv-staging", elsewhere / "srv/kiv-staging/etc/kiv/kivhelper.rights")

    if os.geteuid() != 0 or not shutil.which("systemd-sysusers") or not shutil.which("systemd-tmpfiles"):
        return print("SKIP: sysusers and tmpfiles entries need root, systemd-sysusers and systemd-tmpfiles")
    (root / "etc").mkdir(exist_ok=True)
    run(["systemd-sysusers", f"--root={root}", "kiv.conf"])
    groups = {f[0]: int(f[2]) for f in (line.split(":") for line in (root / "etc/group").read_text().splitlines())}
    users = {f[0]: (int(f[2]), int(f[3])) for f in (line.split(":") for line in
                                                    (root / "etc/passwd").read_text().splitlines())}
    check("kiv" in groups, "sysusers made the group kiv")
    check(users.get("kivdnsproxy", (0, None))[1] == groups.get("kiv") and users["kivdnsproxy"][0] != 0,
          "sysusers made the extension's user kivdnsproxy in the group kiv")
    run(["systemd-tmpfiles", "--create", f"--root={root}", "kiv.conf"])
    proxy = users.get("kivdnsproxy", (None,))[0]
    for path, mode, uid, gid in [("var/lib/kiv", 0o755, 0, 0), ("var/lib/kiv/dnsproxy", 0o2770, 0, groups.get("kiv")),
                                 ("var/lib/kiv/config.ini", 0o644, 0, 0), ("run/kiv", 0o755, proxy, groups.get("kiv")),
                                 ("run/KIVDNSModifier.lock", 0o600, 0, 0)]:
        info = (root / path).stat()
        check((info.st_mode & 0o7777, info.st_uid, info.st_gid) == (mode, uid, gid), f"{path} {mode:o} {uid}:{gid}")
    config = root / "var/lib/kiv/config.ini"
    check(config.read_text() == (prefix / "share/kiv/config.ini").read_text(), "tmpfiles copied config.ini")
    config.write_text("[ApplicationSettings]\nLogDebug=true\n[XNCServerInfoSection]\n")
    run(["systemd-tmpfiles", "--create", f"--root={root}", "kiv.conf"])
    check("LogDebug=true" in config.read_text(), "tmpfiles keeps an existing config.ini")


if __name__ == "__main__":
    folder = pathlib.Path(tempfile.mkdtemp(prefix="kiv-install-"))
    try:
        main(folder)
    finally:
        shutil.rmtree(folder)
    print("install:", "FAILED" if failures else "passed")
    sys.exit(1 if failures else 0)
