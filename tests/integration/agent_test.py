#!/usr/bin/python3
"""The whole agent on one machine, each case in a sandbox of its own (tools/kiv_sandbox.py):
the scenario that scripts/run shows, then what a user meets when something fails.

  agent_test.py --build BUILD_DIR CASE        CASE: one of CASES below

Every wait is bounded (the sandbox gives up with the logs' tails); everything started
ends with the sandbox.
"""
import argparse
import os
import re
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import kiv_sandbox  # noqa: E402
from kiv_sandbox import OUTSIDE_DNS, SandboxError  # noqa: E402

# The application's own timers are real here: the cookie check every 10 s, the supervisor's
# restart after 1 s. Sanitized builds are slower; these bounds hold for both.
LONG = 90
SKIPPED = 77  # SKIP_RETURN_CODE in CMakeLists.txt


def check(condition, text):
    if not condition:
        raise SandboxError(text)


def answered_through_proxy(box, name, device):
    """A query for `name` to the outside address is answered, and the filtering resolver saw it
    tagged with the device's identity."""
    # A client asks again, as stub resolvers do: a reconfiguration (a reconnect, a restarted
    # extension) leaves a moment in which the proxy takes no query.
    answers = []

    def answered():
        answers.append(box.dig(OUTSIDE_DNS, name))
        return answers[-1] == ["192.0.2.1"]
    try:
        box.wait_until(answered, 30, "an answer to %s" % name)
    except SandboxError:
        check(False, "dig @%s %s: %r" % (OUTSIDE_DNS, name, answers[-1] if answers else None))
    records = [r for r in box.resolver_records("filtering-resolver") if r.get("qname") == name + "."]
    check(records, "the filtering resolver never saw %s" % name)
    option = box.identification(records[-1])
    check(option is not None, "no client identification on %s: %r" % (name, records[-1]))
    check(option["uuid"] == device["uuid"], "identification uuid %s, device %s" % (option["uuid"], device["uuid"]))
    tag = device["configuration"]["cfg"]["runtime"]["locations"][0]["tag"]
    check(option["location"] == tag, "identification location %r, expected %r" % (option["location"], tag))
    check(option["ip"] == kiv_sandbox.LINK_ADDRESS, "identification ip %s" % option["ip"])


def device_key(box):
    return ((box.config_file() or {}).get("result") or {}).get("device")


def start_agent(box, helper=True):
    """Services, the installer road, the normal road; returns once the device is registered and
    the proxy intercepts. The device's key."""
    box.start_services(helper=helper)
    box.install()
    check(os.listdir(os.path.join(box.root, "usr/local/share/ca-certificates")), "no CA certificate trusted")
    box.start_application()
    return wait_for_proxy(box)


def wait_for_proxy(box):
    key = box.wait_until(lambda: device_key(box), LONG, "the device's key in config.json")
    box.wait_until(lambda: (box.proxy_preferences() or {}).get("enabled"), LONG, "the proxy enabled")
    box.wait_until(lambda: box.proxy_pids() and "kivdnsproxy" in box.interception_table(), LONG,
                   "kivdnsproxy intercepting")
    return key


# ---- the cases ---------------------------------------------------------------------------


def scenario(box):
    """The scenario of scripts/run, its own checks included."""
    return kiv_sandbox.demo(box)


def device_server_down_at_start(box):
    """The device server is down when the application starts: it keeps trying, and registers
    once the server is back."""
    box.start_services()
    box.install()
    box.stop(box.device_server)
    box.start_application()
    line = box.wait_for_line(box.app.log, "register failed with error", LONG,
                             what="a failed registration")
    box.say("device server down: %s" % line.split(":  ", 1)[-1])
    check(device_key(box) is None, "registered without a device server")
    box.start_device_server()
    key = wait_for_proxy(box)
    answered_through_proxy(box, "after-outage.example", box.device_store()["devices"][key])
    box.say("device server back: registered as %s, DNS flows" % key)


def unauthorized(box):
    """The device's key is revoked: the next fetch is refused with "Unauthorized", the
    application keeps its stored configuration (DNS still flows) and re-applies the installer's
    parameters; the installer's next run has it register anew, with a new identity."""
    first = start_agent(box)
    box.device_server_command("revoke", "--store", box.store, first)
    start = box.mark(box.app.log)
    box.reconnect()
    box.wait_for_line(box.app.log, "Network call error message Unauthorized", LONG, start=start)
    box.wait_for_line(box.app.log, "getValuesFromInstaller:  saving value demo-install-key for key installKey",
                      LONG, start=start, what="the installer's parameters re-applied")
    box.say("revoked %s: Unauthorized, installer parameters re-applied" % first)
    answered_through_proxy(box, "while-revoked.example", box.device_store()["devices"][first])
    box.install()
    second = box.wait_until(lambda: device_key(box) not in (None, first) and device_key(box), LONG,
                            "a new device key")
    devices = box.device_store()["devices"]
    check(devices[first]["revoked"] and not devices[second]["revoked"], "store: %r" % devices)
    box.wait_until(lambda: (box.proxy_preferences() or {}).get("providerProtocol", {})
                   .get("providerConfiguration", {}).get("uuid") == devices[second]["uuid"], LONG,
                   "the new device's uuid in the proxy's configuration")
    answered_through_proxy(box, "new-device.example", devices[second])
    box.say("registered anew after the installer ran again: %s" % second)


def extension_killed(box):
    """kivdnsproxy is killed: the application hears it and starts it again, DNS flows again,
    and the next configuration save registers the application with it anew."""
    key = start_agent(box)
    [killed] = box.proxy_pids()
    start = box.mark(box.app.log)
    os.kill(killed, signal.SIGKILL)
    box.wait_for_line(box.app.log, r"\(pid %d\) exited: starting it again" % killed, LONG, start=start)
    box.wait_until(lambda: box.proxy_pids() and box.proxy_pids() != [killed], LONG, "kivdnsproxy started again")
    box.wait_for_line(box.app.log, "proxy started", LONG, start=start)
    answered_through_proxy(box, "after-kill.example", box.device_store()["devices"][key])
    box.say("kivdnsproxy %d killed; started again as %s; DNS flows" % (killed, box.proxy_pids()))
    start = box.mark(box.app.log)
    box.reconnect()
    box.wait_for_line(box.app.log, "Register worked Registered extension", LONG, start=start,
                      what="the application registering with the new extension")
    answered_through_proxy(box, "after-register.example", box.device_store()["devices"][key])


def helper_missing(box):
    """No helper: the application keeps running, says so in its log, and the proxy works."""
    key = start_agent(box, helper=False)
    line = box.wait_for_line(box.app.log, r"\[KIVHelperProxy\] error: ", LONG,
                             what="the missing helper in the application's log")
    box.say("without a helper the application logs: %s" % line.split("] ", 1)[1])
    answered_through_proxy(box, "no-helper.example", box.device_store()["devices"][key])
    check(box.app.running(), "the application ended")


def sleep_and_wake(box):
    """logind announces sleep, then wake: the application takes them as willSleep and didAwake,
    and the proxy still answers afterwards."""
    key = start_agent(box)
    start = box.mark(box.app.log)
    box.emit_prepare_for_sleep(True)
    box.wait_for_line(box.app.log, "received change of type willSleep", LONG, start=start)
    box.wait_for_line(box.app.log, "resetting timer becasue of change willSleep", LONG, start=start)
    box.emit_prepare_for_sleep(False)
    box.wait_for_line(box.app.log, "received change of type didAwake", LONG, start=start)
    box.say("PrepareForSleep true/false: willSleep (poll back-off reset), didAwake")
    answered_through_proxy(box, "after-wake.example", box.device_store()["devices"][key])
    check(box.app.running(), "the application ended")


def device_fetches(box):
    """The configuration requests the device server has answered so far."""
    return len(re.findall(r'"POST /api/device HTTP', box.read(box.device_server.log)))


def settled_fetches(box, quiet=3.0, timeout=LONG):
    """The device server's count once it has not changed for `quiet` seconds."""
    state = {"count": device_fetches(box), "since": time.monotonic()}

    def quiet_now():
        count = device_fetches(box)
        if count != state["count"]:
            state.update(count=count, since=time.monotonic())
            return None
        return time.monotonic() - state["since"] >= quiet
    box.wait_until(quiet_now, timeout, "the device server quiet for %g s" % quiet)
    return state["count"]


def connected_lines(box, start):
    """The connected events the application has handled since `start` (each is logged twice: to
    the console, and with a time to standard output; the timed line counts)."""
    return len(re.findall(r"^\d\d:\d\d:\d\d \S+ .*received change of type connected$", box.read(box.app.log)[start:],
                          re.M))


def network_churn(box):
    """A start with a stored configuration hears `connected` at once, not at the first poll; a
    container's veth pair with an address and a route elsewhere cost no device-server call; a
    reconnection costs at most two."""
    # Started from the build folder with the supervising stand-in: it activates the extension, saves
    # the proxy's configuration and registers with the extension (the extension's bundle, not the
    # application's own).
    start_agent(box)
    box.wait_for_line(box.app.log, "Register worked Registered extension", LONG)
    check(box.app.running(), "the application ended after registering")
    # A logout: the next start finds the configuration stored.
    check(box.stop(box.app, signal.SIGTERM) == 0, "the application's system quit failed")

    app = box.start_application()
    launched = box.wait_for_line(app.log, "^was not run from the command line", LONG)
    launched_at = time.monotonic()
    box.wait_for_line(app.log, "received change of type connected", LONG)
    delay = time.monotonic() - launched_at
    text = box.read(app.log)
    check("Firing polling interval" not in text.split("received change of type connected")[0],
          "connected came only after a poll")
    check(delay <= 1.0, "connected came %.2f s after launching" % delay)
    box.say("normal start with device.json: connected %.2f s after launching (%s)" % (delay, launched.strip()))
    wait_for_proxy(box)
    before = settled_fetches(box)

    # Unrelated: a container's veth pair with addresses and a route through it, a route elsewhere.
    start = box.mark(app.log)
    box.sh("ip", "link", "add", "ctr0", "type", "veth", "peer", "name", "ctr1")
    box.sh("ip", "link", "set", "ctr1", "up")
    box.sh("ip", "addr", "add", "172.18.0.1/16", "dev", "ctr0")
    box.sh("ip", "link", "set", "ctr0", "up")
    box.sh("ip", "route", "add", "10.200.0.0/16", "via", "172.18.0.2", "dev", "ctr0")
    box.sh("ip", "route", "add", "203.0.113.0/24", "via", "198.51.100.1", "dev", "kiv0")
    # A reconnection after them: the monitors read changes in order, so once it is heard the
    # unrelated changes have been read too.
    box.reconnect()
    text = box.read(app.log)[start:]
    unrelated = text.split("received change of type disconnected")[0]
    check("received change of type connected" not in unrelated,
          "the unrelated changes were taken for a connection:\n%s" % unrelated[-2000:])
    # The start-up's monitor and the registry's each tell it once.
    box.wait_until(lambda: connected_lines(box, start) >= 2, LONG, "connected from both monitors")
    after = settled_fetches(box)
    check(connected_lines(box, start) == 2, "%d connected events for one reconnection" % connected_lines(box, start))
    check(after - before <= 2, "%d configuration requests for one reconnection" % (after - before))
    box.say("veth pair, addresses and routes elsewhere: no connected event; one reconnection: %d fetches"
            % (after - before))
    check(app.running(), "the application ended")


CASES = {f.__name__: f for f in (scenario, device_server_down_at_start, unauthorized, extension_killed,
                                 helper_missing, sleep_and_wake, network_churn)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    options = parser.parse_args()
    try:
        status = kiv_sandbox.run_in_sandbox(CASES[options.case], options.build, timeout=230)
    except kiv_sandbox.SandboxUnavailable as why:
        print("%s: skipped: %s" % (options.case, why), flush=True)
        return SKIPPED
    if not os.environ.get(kiv_sandbox.INSIDE_VARIABLE):
        print("%s: %s" % (options.case, "passed" if status == 0 else "FAILED (%d)" % status), flush=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
