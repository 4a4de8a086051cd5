#!/usr/bin/python3
"""Who may use io.tavrik1 under its bus policy file, on a real dbus-daemon.

A private bus with the system bus's default policy includes the policy file. Clients run as
other users through setpriv: the service's own user, root, a member of plugdev and a user in
no group of the policy. A small stand-in owns the name, serves two methods and emits one
signal, so that this checks the policy alone, not the service.

Usage: bus-policy-test.py POLICY_FILE [DBUS_DAEMON]
Runs as root; exits with 77 (skipped) otherwise. The roles (own, call, listen, serve) are the
same file run again as another user.
"""

import grp
import os
import pwd
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

NAME = "io.tavrik1"
ACCESS_DENIED = "org.freedesktop.DBus.Error.AccessDenied"
SKIP = 77

# The system bus's own default policy (system.conf): method calls and names are closed
# unless a service's file opens them; signals and replies pass.
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>tavrik-policy-test</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
  </policy>
  <include>{policy}</include>
</busconfig>
"""

# Every wait of the test and of its roles ends within this many seconds.
WAIT = 10


# --- Roles, each run as its own user -------------------------------------------------------

def connect(address, mainloop=None):
    import dbus.bus
    return dbus.bus.BusConnection(address, mainloop=mainloop)


def error_name(exception):
    return exception.get_dbus_name() or "unnamed error"


def role_own(address):
    """Asks for the name and leaves: prints "owned" or the error's name."""
    import dbus
    bus = connect(address)
    try:
        reply = bus.request_name(NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
        print("owned" if reply == dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER else "reply %d" % reply)
    except dbus.exceptions.DBusException as e:
        print(error_name(e))


def role_call(address, interface, member):
    """Calls one method of the name's owner: prints "ok" or the error's name."""
    import dbus
    bus = connect(address)
    try:
        bus.call_blocking(NAME, "/io/tavrik1", interface, member, "", (), timeout=WAIT)
        print("ok")
    except dbus.exceptions.DBusException as e:
        print(error_name(e))


def role_listen(address):
    """Prints "ready" once subscribed, then "signal" or "none" when the stand-in's marker,
    which follows its signal, arrives."""
    import dbus.mainloop.glib
    from gi.repository import GLib
    bus = connect(address, dbus.mainloop.glib.DBusGMainLoop())
    loop = GLib.MainLoop()
    seen = []

    def on_signal(*args, **keywords):
        member = keywords["member"]
        if member == "PointChanged":
            seen.append(member)
        elif member == "Done":
            print("signal" if seen else "none", flush=True)
            loop.quit()

    bus.add_signal_receiver(on_signal, member_keyword="member")
    # A blocking AddMatch, so that "ready" means the bus routes signals here.
    bus.add_match_string("type='signal'")
    print("ready", flush=True)
    GLib.timeout_add_seconds(WAIT, loop.quit)
    loop.run()


def role_serve(address):
    """The stand-in owner: Rescan emits a PointChanged signal, then, from a second connection
    that owns nothing, the marker Done."""
    import dbus
    import dbus.mainloop.glib
    import dbus.service
    from gi.repository import GLib
    bus = connect(address, dbus.mainloop.glib.DBusGMainLoop())
    if bus.request_name(NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE) != \
            dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
        print("not owned", flush=True)
        return
    plain = connect(address)

    class StandIn(dbus.service.Object):
        @dbus.service.method("io.tavrik1.Manager")
        def Rescan(self):
            self.PointChanged(0, 0, 1, False, 1, 0)
            # The bus handles one connection's messages in order: once it has answered this,
            # it has routed the signal, and the marker reaches every listener after it.
            bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus", "GetId", "", ())
            plain.send_message(dbus.lowlevel.SignalMessage("/io/tavrik1", "io.tavrik1.Test",
                                                           "Done"))
            plain.flush()

        @dbus.service.signal("io.tavrik1.Module", signature="uuibtt")
        def PointChanged(self, type_, index, value, initial, sequence, timestamp):
            pass

    StandIn(bus, "/io/tavrik1")
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    GLib.timeout_add_seconds(6 * WAIT, loop.quit)
    print("owned", flush=True)
    loop.run()


# --- The test, as root ---------------------------------------------------------------------

class User:
    def __init__(self, label, uid, gid, groups):
        self.label, self.uid, self.gid, self.groups = label, uid, gid, groups

    def command(self, script, *args):
        if self.uid == 0:
            return [sys.executable, script] + list(args)
        groups = ["--groups=" + ",".join(str(g) for g in self.groups)] if self.groups \
            else ["--clear-groups"]
        return ["setpriv", "--reuid=%d" % self.uid, "--regid=%d" % self.gid] + groups + \
            ["--", sys.executable, script] + list(args)


def stranger_accounts(count, taken):
    """Existing accounts in no group of the policy: the bus refuses a connection from a user
    number that no account has. Their groups come from setpriv, not from /etc/group."""
    plugdev = grp.getgrnam("plugdev")
    found = []
    for entry in sorted(pwd.getpwall(), key=lambda e: e.pw_uid):
        if entry.pw_uid == 0 or entry.pw_name in taken or entry.pw_name in plugdev.gr_mem \
                or entry.pw_gid in (0, plugdev.gr_gid):
            continue
        found.append(entry)
        if len(found) == count:
            return found
    raise AssertionError("this system has fewer than %d accounts to run clients as" % count)


def read_line(process, what, errors=None):
    ready, _, _ = select.select([process.stdout], [], [], WAIT)
    line = process.stdout.readline().strip() if ready else ""
    if line:
        return line
    try:
        status = "ended with status %d" % process.wait(timeout=1)
    except subprocess.TimeoutExpired:
        status = "no answer within %d s" % WAIT
    if errors:
        errors.seek(0)
        status += ": " + errors.read().strip()
    raise AssertionError("%s %s" % (what, status))


class Test:
    def __init__(self, policy_file, dbus_daemon):
        self.failures = []
        self.processes = []
        self.files = []
        self.scratch = tempfile.mkdtemp(prefix="tavrik-policy-")
        # The clients run as other users: they need the way to the socket and the script.
        os.chmod(self.scratch, 0o755)
        self.script = os.path.join(self.scratch, "roles.py")
        shutil.copyfile(os.path.abspath(__file__), self.script)
        os.chmod(self.script, 0o644)
        self.policy_file = policy_file
        self.dbus_daemon = dbus_daemon

    def check(self, name, actual, expected):
        if actual == expected:
            print("PASS %s" % name)
        else:
            print("FAIL %s: %s, expected %s" % (name, actual, expected))
            self.failures.append(name)

    def start(self, command, stderr=None):
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=stderr, text=True)
        self.processes.append(process)
        return process

    def run_role(self, user, *args):
        result = subprocess.run(user.command(self.script, *args), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True, timeout=2 * WAIT)
        answer = result.stdout.strip()
        if not answer:
            answer = "no answer (status %d): %s" % (result.returncode, result.stderr.strip())
        return answer

    def stop(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=WAIT)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            if process.stdout:
                process.stdout.close()
        for f in self.files:
            f.close()
        shutil.rmtree(self.scratch, ignore_errors=True)

    def policy_for(self, owner):
        with open(self.policy_file, encoding="utf-8") as f:
            text = f.read()
        if owner != "tavrikd":
            if text.count('user="tavrikd"') != 1:
                raise AssertionError("the policy names the user tavrikd %d times, not once" %
                                     text.count('user="tavrikd"'))
            text = text.replace('user="tavrikd"', 'user="%s"' % owner)
        path = os.path.join(self.scratch, "io.tavrik1.conf")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def run(self):
        # The service's own user where the package has made it, else a stand-in account.
        owner_name = "tavrikd"
        try:
            entry = pwd.getpwnam(owner_name)
        except KeyError:
            owner_name = "nobody"
            entry = pwd.getpwnam(owner_name)
        print("the name's owner runs as %s" % owner_name)
        plugdev = grp.getgrnam("plugdev").gr_gid
        member_entry, other_entry = stranger_accounts(2, (owner_name, "tavrikd"))
        owner = User(owner_name, entry.pw_uid, entry.pw_gid, [entry.pw_gid])
        root = User("root", 0, 0, [0])
        member = User("a member of plugdev", member_entry.pw_uid, member_entry.pw_gid,
                      [member_entry.pw_gid, plugdev])
        other = User("another user", other_entry.pw_uid, other_entry.pw_gid,
                     [other_entry.pw_gid])

        socket = os.path.join(self.scratch, "bus")
        config = os.path.join(self.scratch, "bus.conf")
        with open(config, "w", encoding="utf-8") as f:
            f.write(BUS_CONFIG.format(socket=socket, policy=self.policy_for(owner_name)))
        errors = open(os.path.join(self.scratch, "dbus.err"), "w+", encoding="utf-8")
        self.files.append(errors)
        bus = self.start([self.dbus_daemon, "--config-file=" + config, "--nofork",
                          "--print-address"], stderr=errors)
        address = read_line(bus, "dbus-daemon", errors)
        # A policy that names a user or group this system lacks loads with a warning and
        # then grants nothing: that is as much a failure as broken XML.
        errors.seek(0)
        warnings = [line for line in errors.read().splitlines() if "configuration file" in line]
        self.check("the bus loads the policy without a warning", warnings, [])

        for user in (root, member, other):
            self.check("%s may not own %s" % (user.label, NAME),
                       self.run_role(user, "own", address), ACCESS_DENIED)
        server = self.start(owner.command(self.script, "serve", address))
        self.check("%s owns %s" % (owner.label, NAME), read_line(server, "the stand-in"), "owned")

        for user, expected in ((root, "ok"), (member, "ok"), (other, ACCESS_DENIED)):
            for interface, member_name in (("io.tavrik1.Manager", "Rescan"),
                                           ("org.freedesktop.DBus.Introspectable", "Introspect")):
                self.check("%s calls %s.%s" % (user.label, interface, member_name),
                           self.run_role(user, "call", address, interface, member_name),
                           expected)

        listeners = []
        for user, expected in ((root, "signal"), (member, "signal"), (other, "none")):
            listener = self.start(user.command(self.script, "listen", address))
            self.check("%s listens" % user.label, read_line(listener, user.label), "ready")
            listeners.append((user, listener, expected))
        self.check("root makes the stand-in signal",
                   self.run_role(root, "call", address, "io.tavrik1.Manager", "Rescan"), "ok")
        for user, listener, expected in listeners:
            self.check("%s gets the signal" % user.label if expected == "signal"
                       else "%s does not get the signal" % user.label,
                       read_line(listener, user.label), expected)
        return not self.failures


def main():
    if len(sys.argv) >= 3 and sys.argv[1] in ("own", "listen", "serve"):
        {"own": role_own, "listen": role_listen, "serve": role_serve}[sys.argv[1]](sys.argv[2])
        return 0
    if len(sys.argv) == 5 and sys.argv[1] == "call":
        role_call(*sys.argv[2:])
        return 0
    if len(sys.argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    if os.geteuid() != 0:
        print("SKIP: runs clients as other users through setpriv, which needs root")
        return SKIP
    try:
        grp.getgrnam("plugdev")
    except KeyError:
        print("SKIP: this system has no group plugdev for the policy to name")
        return SKIP
    dbus_daemon = sys.argv[2] if len(sys.argv) == 3 else shutil.which("dbus-daemon")
    test = Test(sys.argv[1], dbus_daemon)
    try:
        passed = test.run()
    except AssertionError as e:
        print("FAIL %s" % e)
        passed = False
    finally:
        test.stop()
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
