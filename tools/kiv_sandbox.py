#!/usr/bin/python3
"""The whole agent on one machine, in namespaces of its own.

A sandbox is a user, network, mount and PID namespace (unshare -Urnmpf) holding
everything the agent touches: loopback and one link whose default route makes
an outside address (192.0.2.53, kept for documentation) routable, temporary roots for
the helper's folders, the run folder, the DNS-proxy preferences, the user's home,
private system and session buses, and the system's CA store (bind-mounted copies, so
that trusting the device server's CA is the real trust-store update). When the
namespace's first process ends, the kernel ends every other one in it; nothing on
the machine changes.

  tools/kiv_sandbox.py demo [--build DIR]      the scenario that scripts/run shows

As a library (tests/integration/agent_test.py):

  def scenario(box):            # runs inside the namespace, given a prepared Sandbox
      box.start_services()
      ...
  sys.exit(kiv_sandbox.run_in_sandbox(scenario, build_dir))

run_in_sandbox runs the calling script once more, with the same arguments, inside the
namespaces; there it calls the function. KIV_SANDBOX_KEEP=1 keeps the sandbox's folder
(logs of every program in logs/) for a look afterwards.

With `installed=PREFIX` the programs are those a package installed below PREFIX, run as
installed: the helper with its unit's rights file, every program on the machine's own folders
(/var/lib/kiv, /run/kiv, /tmp). That is for a throwaway root (tests/install chroots into an
overlay of the machine's), where the sandbox runs as root without a user namespace, which a
chrooted process cannot make.
"""
import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INSIDE_VARIABLE = "KIV_SANDBOX_WORK"
INSTALLED_VARIABLE = "KIV_SANDBOX_INSTALLED"

OUTSIDE_DNS = "192.0.2.53"             # an "outside" DNS server: routable here, served nowhere
LINK_ADDRESS = "198.51.100.2"          # the computer's own address on its one link
FILTERING_RESOLVER = "127.0.0.2"       # tools/kiv-test-resolver, named by the device server
RULE_RESOLVER = "127.0.0.3"            # a second one, for a forwarding rule
INSTALL_KEY = "demo-install-key"
DEVICE_SERVER_PORT = 8443              # the installer's URL check takes ports of up to four digits
HELPER_RIGHTS = """com.veltrix.kivHelper.flushDNSwithAuthorization allow
# every other command: root or the administrators
com.veltrix.kivHelper.setLogDebug group:sudo
com.veltrix.kivHelper.setTrayType group:sudo
com.veltrix.kivHelper.writeLocation group:sudo
com.veltrix.kivHelper.downloadCert group:sudo
com.veltrix.kivHelper.importCert group:sudo
com.veltrix.kivHelper.modifyDNS group:sudo
com.veltrix.kivHelper.rollbackDNS group:sudo
com.veltrix.kivHelper.modifyDNSForServices group:sudo
com.veltrix.kivHelper.rollbackDNSForServices group:sudo
"""


class SandboxError(Exception):
    pass


class SandboxUnavailable(SandboxError):
    """This machine cannot make the namespaces (a tool missing, user namespaces not allowed)."""


def _namespaces(installed):
    return "-nmpf" if installed else "-Urnmpf"


def sandbox_unavailable(installed=None):
    """Empty when a sandbox can be made here, else why not."""
    for tool in ("/usr/bin/unshare", "/usr/sbin/ip", "/usr/sbin/nft", "/usr/bin/dig", "/usr/bin/dbus-daemon"):
        if not os.path.exists(tool):
            return tool + " is not installed"
    flags = _namespaces(installed)
    probe = subprocess.run(["/usr/bin/unshare", flags, "--mount-proc", "/usr/sbin/nft", "list", "tables"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if probe.returncode != 0:
        return "unshare %s (network, mount and PID namespaces) with nftables inside: %s" % (
            flags, probe.stderr.strip() or "exit status %d" % probe.returncode)
    return ""


def run_in_sandbox(function, build_dir, timeout=600, installed=None):
    """Runs function(Sandbox) inside a new namespace and returns the exit status. Called
    again inside (the script re-runs itself through unshare), it runs the function."""
    work = os.environ.get(INSIDE_VARIABLE)
    if work:
        return _run_inside(function, build_dir, work, os.environ.get(INSTALLED_VARIABLE) or None)
    why = sandbox_unavailable(installed)
    if why:
        raise SandboxUnavailable(why)
    work = tempfile.mkdtemp(prefix="kiv-sandbox-")
    os.chmod(work, 0o755)
    env = dict(os.environ, **{INSIDE_VARIABLE: work, INSTALLED_VARIABLE: installed or ""})
    command = ["/usr/bin/unshare", _namespaces(installed), "--mount-proc", "--propagation", "private",
               sys.executable, os.path.abspath(sys.argv[0]), *sys.argv[1:]]
    child = subprocess.Popen(command, env=env)
    try:
        try:
            return child.wait(timeout=timeout)
        except KeyboardInterrupt:
            # The terminal's Ctrl-C reached the namespace too: give it time to stop its own.
            try:
                return child.wait(timeout=30)
            except (subprocess.TimeoutExpired, KeyboardInterrupt):
                return 130
        except subprocess.TimeoutExpired:
            print("kiv_sandbox: the sandbox took longer than %d s" % timeout, file=sys.stderr)
            return 124
    finally:
        if child.poll() is None:
            child.kill()  # the namespace's first process: the kernel ends the rest
            child.wait()
        if os.environ.get("KIV_SANDBOX_KEEP"):
            print("kiv_sandbox: kept %s" % work, file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)


def _run_inside(function, build_dir, work, installed):
    def stop(signum, frame):
        raise KeyboardInterrupt
    # The first process of a PID namespace ignores signals it has no handler for.
    signal.signal(signal.SIGTERM, stop)
    box = Sandbox(build_dir, work, installed)
    try:
        box.prepare()
        result = function(box)
        return 0 if result in (None, True) else (result if isinstance(result, int) else 1)
    except KeyboardInterrupt:
        box.say("interrupted")
        return 130
    except SandboxError as error:
        box.say("FAILED: %s" % error)
        box.dump_logs()
        return 1
    finally:
        box.stop_all()


class Process:
    """A program started by the sandbox; its output goes to `log`."""

    def __init__(self, name, popen, log):
        self.name, self.popen, self.log = name, popen, log

    @property
    def pid(self):
        return self.popen.pid

    def running(self):
        return self.popen.poll() is None


class Sandbox:
    """Inside the namespaces: the folders, network, mounts and buses (prepare), the services
    and the agent's programs (start_*), and what a test looks at (logs, files, DNS, buses).
    Every wait is bounded and raises SandboxError."""

    def __init__(self, build_dir, work, installed=None):
        self.build = os.path.abspath(build_dir)
        self.installed = installed                    # a package's prefix, or None: the build's
        self.work = work
        self.processes = []
        self.root = os.path.join(work, "root")        # KIV_ROOT: the helper's "/"
        self.run_dir = os.path.join(work, "run")      # KIV_RUN_DIR
        self.home = os.path.join(work, "home")        # KIV_HOME
        self.tmp = os.path.join(work, "tmp")          # KIV_TMP_DIR: the cookie parameter file
        self.logs = os.path.join(work, "logs")
        self.preferences = os.path.join(work, "dnsproxy", "preferences.json")
        if installed:
            self.root, self.run_dir, self.tmp = "/", "/run/kiv", "/tmp"
            self.preferences = "/var/lib/kiv/dnsproxy/preferences.json"
        self.store = os.path.join(work, "device-store.json")
        self.server_url = None
        self.server_port = None
        self.device_server = None
        self.app = None

    # ---- output ----------------------------------------------------------------------

    def say(self, text):
        print(text, flush=True)

    def dump_logs(self, lines=40):
        for name in sorted(os.listdir(self.logs)) if os.path.isdir(self.logs) else []:
            path = os.path.join(self.logs, name)
            with open(path, errors="replace") as f:
                tail = f.readlines()[-lines:]
            print("---- %s (last %d lines)" % (name, len(tail)), file=sys.stderr)
            sys.stderr.write("".join(tail))
        sys.stderr.flush()

    # ---- the namespace ---------------------------------------------------------------

    def prepare(self):
        for folder in (self.root, self.run_dir, self.home, self.tmp, self.logs, os.path.dirname(self.preferences),
                       os.path.join(self.root, "etc/kiv"), os.path.join(self.root, "var/lib/kiv"),
                       os.path.join(self.root, "usr/local/share/ca-certificates"), os.path.join(self.work, "bus")):
            os.makedirs(folder, exist_ok=True)
        if not self.installed:  # else the package's folders and rights
            os.chmod(self.tmp, 0o755)
            rights = os.path.join(self.root, "etc/kiv/kivhelper.rights")
            with open(rights, "w") as f:
                f.write(HELPER_RIGHTS)
            os.chmod(rights, 0o644)
        self._network()
        self._mounts()
        self._buses()

    def sh(self, *argv, check=True, timeout=30):
        completed = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                   timeout=timeout)
        if check and completed.returncode != 0:
            raise SandboxError("%s: %s" % (" ".join(argv), completed.stdout.strip()))
        return completed.stdout

    def _network(self):
        self.sh("ip", "link", "set", "lo", "up")
        # A veth pair whose far end leads nowhere: the dummy link type is not everywhere.
        self.sh("ip", "link", "add", "kiv0", "type", "veth", "peer", "name", "kiv1")
        self.sh("ip", "link", "set", "kiv1", "up")
        self.sh("ip", "link", "set", "kiv0", "up")
        self.sh("ip", "addr", "add", LINK_ADDRESS + "/24", "dev", "kiv0")
        self.sh("ip", "route", "add", "default", "via", "198.51.100.1", "dev", "kiv0")

    def _bind(self, source, target):
        self.sh("mount", "--bind", source, target)

    def _mounts(self):
        # The CA store: the helper writes the local CA folder, update-ca-certificates rebuilds the
        # bundle that libcurl reads; both are copies here.
        certs = os.path.join(self.work, "etc-ssl-certs")
        shutil.copytree("/etc/ssl/certs", certs, symlinks=True)
        self._bind(certs, "/etc/ssl/certs")
        self._bind(os.path.join(self.root, "usr/local/share/ca-certificates"), "/usr/local/share/ca-certificates")
        # The trust-store update's hooks (Java's keystore, dpkg triggers) write outside the copies.
        if os.path.isdir("/etc/ca-certificates/update.d"):
            hooks = os.path.join(self.work, "no-hooks")
            os.makedirs(hooks)
            self._bind(hooks, "/etc/ca-certificates/update.d")
        # No service manager here (the application supervises the extension itself), and the
        # computer's DNS server is the outside address.
        resolv = "nameserver %s\n" % OUTSIDE_DNS
        if os.path.isdir("/run/systemd"):
            fake = os.path.join(self.work, "run-systemd")
            os.makedirs(os.path.join(fake, "resolve"))
            for name in ("stub-resolv.conf", "resolv.conf"):
                with open(os.path.join(fake, "resolve", name), "w") as f:
                    f.write(resolv)
            self._bind(fake, "/run/systemd")
        target = os.path.realpath("/etc/resolv.conf")
        if os.path.isfile(target) and open(target).read() != resolv:
            own = os.path.join(self.work, "resolv.conf")
            with open(own, "w") as f:
                f.write(resolv)
            self._bind(own, target)

    def _buses(self):
        bus = os.path.join(self.work, "bus")
        self.system_bus = "unix:path=" + os.path.join(bus, "system")
        self.session_bus = "unix:path=" + os.path.join(bus, "session")
        for address in (self.system_bus, self.session_bus):
            name = os.path.basename(address)
            self.start(name + "-bus", ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--nosyslog",
                                       "--address=" + address])
            self.wait_until(lambda: os.path.exists(address[len("unix:path="):]), 10, "the %s bus" % name)

    # ---- processes -------------------------------------------------------------------

    def environment(self, **extra):
        env = {
            "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "LANG": "C.UTF-8",
            "KIV_ROOT": self.root,
            "KIV_RUN_DIR": self.run_dir,
            "KIV_HOME": self.home,
            "HOME": self.home,
            "KIV_TMP_DIR": self.tmp,
            "KIV_DNSPROXY_PREFERENCES": self.preferences,
            "KIV_SYSEXT_DIR": os.path.join(self.work, "systemextensions"),
            "KIV_EXTENSION_PATH": os.path.join(self.build, "dnsproxy"),
            "KIV_LOG_LEVEL": "info",
            "DBUS_SYSTEM_BUS_ADDRESS": self.system_bus,
            "DBUS_SESSION_BUS_ADDRESS": self.session_bus,
        }
        if self.installed:
            # The machine's own folders, the extension beside the application, the rights file
            # that the helper's unit names.
            for key in ("KIV_ROOT", "KIV_RUN_DIR", "KIV_TMP_DIR", "KIV_DNSPROXY_PREFERENCES", "KIV_EXTENSION_PATH"):
                del env[key]
            unit = self.read(os.path.join(self.installed, "lib/systemd/system/kivhelper.service"))
            env.update(re.findall(r"^Environment=(KIV_HELPER_RIGHTS)=(\S+)$", unit, re.M))
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"):
            if key in os.environ:
                env[key] = os.environ[key]
        env.update({k: v for k, v in extra.items() if v is not None})
        return env

    def log_path(self, name):
        return os.path.join(self.logs, name + ".log")

    def start(self, name, argv, env=None, cwd=None):
        log = self.log_path(name)
        with open(log, "ab") as out:
            # A session of its own: the terminal's Ctrl-C reaches the sandbox alone, which then
            # stops everything in order.
            popen = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                     env=env if env is not None else self.environment(), cwd=cwd or self.work,
                                     start_new_session=True)
        process = Process(name, popen, log)
        self.processes.append(process)
        return process

    def stop(self, process, sig=signal.SIGTERM, timeout=20):
        """Signals the process and waits for it; its exit status."""
        if process.running():
            process.popen.send_signal(sig)
        try:
            return process.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.popen.kill()
            return process.popen.wait()

    def stop_all(self):
        for process in reversed(self.processes):
            if process.running():
                process.popen.terminate()
        deadline = time.monotonic() + 10
        for process in reversed(self.processes):
            try:
                process.popen.wait(timeout=max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                process.popen.kill()
                process.popen.wait()
        self.processes.clear()

    # ---- waiting ---------------------------------------------------------------------

    def wait_until(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            value = condition()
            if value:
                return value
            if time.monotonic() > deadline:
                raise SandboxError("timed out after %g s waiting for %s" % (timeout, what))
            time.sleep(0.05)

    @staticmethod
    def read(path):
        try:
            with open(path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_for_line(self, path, pattern, timeout, start=0, what=None):
        """The first line of the file at or after byte `start` that matches the regular
        expression `pattern`; SandboxError when none comes in time."""
        expression = re.compile(pattern)

        def found():
            text = self.read(path)[start:]
            for line in text.splitlines():
                if expression.search(line):
                    return line
            return None
        return self.wait_until(found, timeout, what or "%r in %s" % (pattern, os.path.basename(path)))

    def mark(self, path):
        """Where the file ends now: a start for wait_for_line."""
        return len(self.read(path))

    # ---- the services ----------------------------------------------------------------

    def start_resolver(self, address, name):
        record = os.path.join(self.work, name + ".jsonl")
        process = self.start(name, ["/usr/bin/python3", os.path.join(SOURCE_DIR, "tools/kiv-test-resolver"),
                                    "--address", address, "--port", "53", "--record", record])
        self.wait_for_line(process.log, "^listening on", 10)
        return process

    def resolver_records(self, name):
        records = []
        for line in self.read(os.path.join(self.work, name + ".jsonl")).splitlines():
            records.append(json.loads(line))
        return records

    @staticmethod
    def identification(record):
        """The client-identification option of a recorded query, or None."""
        for option in record.get("options", []):
            if option.get("code") == 0xFE78:
                return option
        return None

    def start_device_server(self, port=DEVICE_SERVER_PORT):
        argv = ["/usr/bin/python3", os.path.join(SOURCE_DIR, "tools/kiv-device-server"), "serve",
                "--store", self.store, "--cert-dir", os.path.join(self.work, "device-server-certs"),
                "--port", str(port), "--resolver", FILTERING_RESOLVER]
        start = self.mark(self.log_path("device-server"))
        process = self.start("device-server", argv)
        self.wait_for_line(process.log, r"^store ", 30, start=start)
        text = self.read(process.log)[start:]
        self.server_url = re.findall(r"^url (\S+)$", text, re.M)[-1]
        self.server_ca = re.findall(r"^ca (\S+)$", text, re.M)[-1]
        self.server_port = int(self.server_url.rsplit(":", 1)[1])
        self.device_server = process
        return process

    def device_server_command(self, *argv):
        return self.sh("/usr/bin/python3", os.path.join(SOURCE_DIR, "tools/kiv-device-server"), *argv)

    def device_store(self):
        return json.loads(self.read(self.store))

    def serve_ca_certificate(self):
        """The service's CA certificate where an installation fetches it: http://<server host>/ssl/ca.der."""
        site = os.path.join(self.work, "ca-site")
        os.makedirs(os.path.join(site, "ssl"), exist_ok=True)
        self.sh("openssl", "x509", "-in", self.server_ca, "-outform", "der", "-out",
                os.path.join(site, "ssl", "ca.der"))
        process = self.start("ca-site", ["/usr/bin/python3", "-m", "http.server", "80", "--bind", "127.0.0.1",
                                         "--directory", site])
        self.wait_until(lambda: self._connects("127.0.0.1", 80), 10, "the CA certificate's web server")
        return process

    @staticmethod
    def _connects(host, port):
        try:
            with socket.create_connection((host, port), timeout=1):
                return True
        except OSError:
            return False

    def start_helper(self):
        program = (os.path.join(self.installed, "libexec/kivhelper/kivhelper") if self.installed
                   else os.path.join(self.build, "helper/kivhelper"))
        process = self.start("kivhelper", [program])
        self.wait_for_line(process.log, "^kivhelper: serving", 20)
        return process

    def start_logind(self):
        process = self.start("logind", ["/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"])
        self.wait_until(lambda: "org.freedesktop.login1" in self.bus_names(self.system_bus), 20, "the stand-in logind")
        return process

    def start_status_area(self):
        """A status-area host's watcher on the session bus, where the application's status item
        registers (tests/fakes/sni_watcher.py)."""
        self.status_area = self.start("status-area", ["/usr/bin/python3",
                                                      os.path.join(SOURCE_DIR, "tests/fakes/sni_watcher.py")])
        self.wait_for_line(self.status_area.log, "^ready", 20)
        return self.status_area

    def start_services(self, helper=True, logind=True):
        """Resolvers, device server, the CA's web server, helper, logind and a status area."""
        self.start_resolver(FILTERING_RESOLVER, "filtering-resolver")
        self.start_resolver(RULE_RESOLVER, "rule-resolver")
        self.start_device_server()
        self.serve_ca_certificate()
        if helper:
            self.start_helper()
        if logind:
            self.start_logind()
        self.start_status_area()

    # ---- the application -------------------------------------------------------------

    def application(self):
        if self.installed:
            return os.path.join(self.installed, "bin/brannockcloud")
        return os.path.join(self.build, "app/shell/brannockcloud")

    def installer_arguments(self):
        return ["RPC_URL=" + self.server_url, "INSTALL_KEY=" + INSTALL_KEY, "DEVICE_NAME=sandbox",
                "DOWNLOAD_CERT=true"]

    def install(self, arguments=None, timeout=120):
        """An installation: the package leaves its parameter file in the user's Caches folder
        (what the application re-applies on "Unauthorized"), then runs the installer road as
        root (sudo from the installer's shell): the arguments saved, the CA certificate trusted,
        the cookie parameter file written for the user's application."""
        arguments = arguments or self.installer_arguments()
        caches = os.path.join(self.home, ".cache")
        os.makedirs(caches, exist_ok=True)
        with open(os.path.join(caches, "com.veltrix.kivConfig"), "w") as f:
            f.write("".join(argument + "\n" for argument in arguments))
        env = self.environment(SUDO_COMMAND=self.application() + " ...", PWD=self.work)
        process = self.start("installer-road", [self.application(), *arguments], env=env)
        try:
            status = process.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise SandboxError("the installer road did not end within %d s" % timeout)
        if status != 0:
            raise SandboxError("the installer road ended with status %d" % status)
        return process

    def start_application(self):
        """The normal road (as the user's service starts it: no PWD, no SUDO_COMMAND)."""
        self.app = self.start("brannockcloud", [self.application()])
        return self.app

    def config_file(self, name="config.json"):
        path = os.path.join(self.home, ".local/share/BrannockCloud", name)
        text = self.read(path)
        return json.loads(text) if text else None

    def settings(self):
        text = self.read(os.path.join(self.home, ".config/kiv/com.kiv.veltrix.json"))
        return json.loads(text) if text else {}

    def device_config(self):
        return self.config_file("device.json")

    def proxy_preferences(self):
        text = self.read(self.preferences)
        return json.loads(text) if text else None

    def interception_table(self):
        return self.sh("nft", "list", "tables", check=False).strip()

    def proxy_pids(self):
        pids = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    exe = os.readlink("/proc/%s/exe" % entry)
                except OSError:
                    continue
                if os.path.basename(exe) == "kivdnsproxy":
                    pids.append(int(entry))
        return pids

    def reconnect(self, timeout=60):
        """The link goes down and comes back up, as a network change does; returns once the
        application has heard both."""
        start = self.mark(self.app.log)
        self.sh("ip", "link", "set", "kiv0", "down")
        self.wait_for_line(self.app.log, "received change of type disconnected", timeout, start=start)
        start = self.mark(self.app.log)
        self.sh("ip", "link", "set", "kiv0", "up")
        self.sh("ip", "route", "replace", "default", "via", "198.51.100.1", "dev", "kiv0")
        self.wait_for_line(self.app.log, "received change of type connected", timeout, start=start)

    # ---- DNS -------------------------------------------------------------------------

    def dig(self, server, name, qtype="A"):
        """The answer's addresses (empty: answered without one), or None without a reply."""
        completed = subprocess.run(["dig", "+time=2", "+tries=1", "@" + server, name, qtype],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=20)
        if "status:" not in completed.stdout:
            return None
        answers = []
        for line in completed.stdout.splitlines():
            fields = line.split()
            if len(fields) == 5 and not line.startswith(";") and fields[3] == qtype:
                answers.append(fields[4])
        return answers

    def dig_tcp(self, server, name, qtype="A"):
        """A query over TCP: dig's output and the seconds it took to answer or fail."""
        start = time.monotonic()
        completed = subprocess.run(["dig", "+tcp", "+timeout=5", "+tries=1", "@" + server, name, qtype],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=20)
        return completed.stdout, time.monotonic() - start

    # ---- buses -----------------------------------------------------------------------

    @staticmethod
    def bus_names(address):
        import dbus
        try:
            bus = dbus.bus.BusConnection(address)
        except dbus.DBusException:
            return []
        try:
            return [str(name) for name in bus.list_names()]
        finally:
            bus.close()

    def emit_prepare_for_sleep(self, sleeping):
        import dbus
        bus = dbus.bus.BusConnection(self.system_bus)
        try:
            mock = bus.get_object("org.freedesktop.login1", "/org/freedesktop/login1")
            mock.EmitSignal("org.freedesktop.login1.Manager", "PrepareForSleep", "b", [dbus.Boolean(sleeping)],
                            dbus_interface="org.freedesktop.DBus.Mock")
        finally:
            bus.close()

    def _menu_object(self, bus):
        registered = re.findall(r"^registered (\S+) (\S+)$", self.read(self.status_area.log), re.M)
        if not registered:
            return None
        return bus.get_object(registered[-1][0], "/MenuBar")

    def open_menu(self):
        """What a status area does when the user opens the menu: AboutToShow on its root."""
        import dbus
        bus = dbus.bus.BusConnection(self.session_bus)
        try:
            menu = self._menu_object(bus)
            if menu is None:
                return False
            menu.AboutToShow(0, dbus_interface="com.canonical.dbusmenu")
            return True
        except dbus.DBusException:
            return False
        finally:
            bus.close()

    def menu(self):
        """The status menu as the status area shows it: (label, enabled) of each visible
        entry, from the application's DBusMenu; None while it is empty."""
        import dbus
        bus = dbus.bus.BusConnection(self.session_bus)
        try:
            menu = self._menu_object(bus)
            if menu is None:
                return None
            _revision, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"),
                                               dbus_interface="com.canonical.dbusmenu")
        except dbus.DBusException:
            return None
        finally:
            bus.close()
        entries = []

        def walk(node, depth):
            _id, properties, children = node
            if depth > 0 and properties.get("visible", True):
                if properties.get("type") == "separator":
                    entries.append(("-", False))
                else:
                    entries.append((str(properties.get("label", "")), bool(properties.get("enabled", True))))
            for child in children:
                walk(child, depth + 1)
        walk(layout, 0)
        return entries or None

    def read_menu(self, timeout=30, settle=None):
        """The menu as it is shown when opened; with `settle`, opened again (bounded by the
        timeout) until one entry reads so."""
        deadline = time.monotonic() + timeout
        while True:
            self.wait_until(self.open_menu, max(1, deadline - time.monotonic()), "the status item")
            entries = self.wait_until(self.menu, max(1, deadline - time.monotonic()), "the status menu")
            if settle is None or any(label == settle for label, _ in entries) or time.monotonic() > deadline:
                return entries
            time.sleep(0.2)


# ---- the demonstration (scripts/run) -------------------------------------------------------


def expect(condition, text):
    if not condition:
        raise SandboxError(text)


def demo(box):
    """The scenario of scripts/run; SandboxError when the agent does not do what it shows."""
    box.say("== sandbox: own network, mount and PID namespaces; the computer's DNS server is %s (link kiv0, %s)"
            % (OUTSIDE_DNS, LINK_ADDRESS))
    box.start_services()
    box.say("   device server %s, filtering resolver %s, rule resolver %s, kivhelper, logind, status area"
            % (box.server_url, FILTERING_RESOLVER, RULE_RESOLVER))

    box.say("== installer road: brannockcloud %s" % " ".join(box.installer_arguments()))
    box.install()
    trusted = os.listdir(os.path.join(box.root, "usr/local/share/ca-certificates"))
    expect(trusted, "the device server's CA certificate was not trusted")
    cookie = box.read(os.path.join(box.tmp, ".kivcookie"))
    expect("INSTALL_KEY=%s" % INSTALL_KEY in cookie, "no install key in the parameter file: %r" % cookie)
    box.say("   CA certificate trusted (%s); settings handed over in %s/.kivcookie"
            % (", ".join(trusted), os.path.basename(box.tmp)))

    box.say("== normal road: brannockcloud")
    app = box.start_application()
    device_key = box.wait_until(lambda: ((box.config_file() or {}).get("result") or {}).get("device"), 90,
                                "the device's key")
    device = box.device_store()["devices"][device_key]
    tag = device["configuration"]["cfg"]["runtime"]["locations"][0]["tag"]
    box.say("   device registered: key %s, uuid %s, location %s" % (device_key, device["uuid"], tag))
    box.wait_until(lambda: (box.device_config() or {}).get("result"), 90, "the configuration stored")
    box.say("   configuration fetched and stored (device.json)")
    box.wait_until(lambda: (box.proxy_preferences() or {}).get("enabled"), 90, "the proxy enabled")
    box.wait_until(lambda: box.proxy_pids() and "kivdnsproxy" in box.interception_table(), 60,
                   "kivdnsproxy intercepting")
    box.say("   proxy enabled: kivdnsproxy (pid %s) takes the computer's DNS (nftables: %s)"
            % (", ".join(map(str, box.proxy_pids())), box.interception_table()))

    answer, tries = ask(box, "example.com", lambda answer: answer == ["192.0.2.1"])
    records = [r for r in box.resolver_records("filtering-resolver") if r.get("qname") == "example.com."]
    option = box.identification(records[-1]) if records else None
    expect(option and option["uuid"] == device["uuid"] and option["location"] == tag,
           "the filtering resolver saw %r" % (records[-1] if records else None))
    box.say("== dig @%s example.com: %s%s, through the proxy; the filtering resolver saw uuid %s, ip %s, location %s"
            % (OUTSIDE_DNS, answer[0], tries, option["uuid"], option["ip"], option["location"]))
    # The proxy takes no TCP: a TCP query fails at once (a reset), well before dig's timeout.
    text, took = box.dig_tcp(OUTSIDE_DNS, "example.com")
    expect("connection refused" in text and took < 2,
           "dig +tcp @%s example.com was not refused at once (%.1f s): %s" % (OUTSIDE_DNS, took, text.strip()))
    box.say("   dig +tcp @%s example.com: connection refused after %d ms (TCP DNS is refused while the proxy runs)"
            % (OUTSIDE_DNS, round(took * 1000)))

    box.say("== device server: forwarding rule corp.example -> %s; the network drops and comes back" % RULE_RESOLVER)
    add_forwarding_rule(box, device_key, "corp.example", RULE_RESOLVER)
    # Polls re-apply the stored configuration; a fetch comes with a reconnection (or a VPN's end,
    # a local edit of the configuration files, a new parameter file).
    box.reconnect()
    wait_for_rule(box, "corp.example", RULE_RESOLVER, 60)
    # The extension takes the new rule while the application reconfigures it: until then a query
    # still goes to the filtering resolver, and one may go unanswered.
    def claimed():
        return [r for r in box.resolver_records("rule-resolver") if r.get("qname") == "host.corp.example."]
    answer, tries = ask(box, "host.corp.example", lambda answer: answer == ["192.0.2.1"] and claimed(),
                        lambda answer: "rule resolver saw %d" % len(claimed()))
    box.say("   dig @%s host.corp.example: %s%s, answered by the rule's resolver %s"
            % (OUTSIDE_DNS, answer[0], tries, RULE_RESOLVER))

    # The external address is looked up on a (re)connection; the first one came before the device
    # had a configuration, so the menu shows it from the reconnection on.
    entries = box.read_menu(settle="Status: Connected")
    box.say("== status menu: %s" % " | ".join(label + ("" if enabled else " (disabled)")
                                              for label, enabled in entries if label != "-"))

    status = box.stop(app, signal.SIGINT, timeout=30)
    expect(status == 0, "brannockcloud ended with %d" % status)
    expect(not os.path.exists(box.preferences), "the proxy preferences are still there")
    expect(not box.interception_table(), "interception left in place: %s" % box.interception_table())
    expect(not box.proxy_pids(), "kivdnsproxy still runs")
    box.say("== user quit (SIGINT): proxy preferences removed, interception removed, kivdnsproxy stopped")
    answer = box.dig(OUTSIDE_DNS, "example.com")
    box.say("   dig @%s example.com goes directly again: %s" % (
        OUTSIDE_DNS, "no reply, as nothing serves %s here" % OUTSIDE_DNS if answer is None else answer))
    return True


def ask(box, name, good, detail=lambda answer: "", timeout=30):
    """Asks the computer's DNS server for `name` again and again, as a stub resolver does, until
    `good(answer)` or the timeout: the answer and, when it took more than one, how many tries.
    A reconfiguration of the proxy leaves a moment in which a query goes unanswered."""
    answers = []

    def answered():
        answers.append(box.dig(OUTSIDE_DNS, name))
        return good(answers[-1])
    try:
        box.wait_until(answered, timeout, "an answer to %s" % name)
    except SandboxError:
        last = answers[-1] if answers else None
        raise SandboxError("dig @%s %s: %r after %d tries %s" % (OUTSIDE_DNS, name, last, len(answers), detail(last)))
    return answers[-1], (" (try %d)" % len(answers) if len(answers) > 1 else "")


def add_forwarding_rule(box, device_key, domain, resolver):
    """Adds a rule for `domain` to the device's configuration on the device server."""
    result = box.device_store()["devices"][device_key]["configuration"]
    result["filters"] = [rule for rule in result.get("filters", []) if rule.get("domain") != domain]
    result["filters"].append({"domain": domain, "resolvers": [resolver]})
    path = os.path.join(box.work, "result.json")
    with open(path, "w") as f:
        json.dump(result, f)
    box.device_server_command("set", "--store", box.store, "--device", device_key, "--result", path)


def wait_for_rule(box, domain, resolver, timeout):
    def applied():
        preferences = box.proxy_preferences() or {}
        filters = preferences.get("providerProtocol", {}).get("providerConfiguration", {}).get("filters", [])
        return any({"domain": domain} in items and {"resolvers": [resolver]} in items
                   for items in (entry.get("filter", []) for entry in filters))
    box.wait_until(applied, timeout, "the rule for %s in the proxy's configuration" % domain)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", choices=["demo"])
    parser.add_argument("--build", default=os.path.join(SOURCE_DIR, "build"))
    options = parser.parse_args()
    try:
        return run_in_sandbox(demo, options.build)
    except SandboxError as error:
        print("kiv_sandbox: %s" % error, file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
