#!/usr/bin/python3
"""serve as a service: config file, reload, readiness notification, signals,
dropping root, the port file, the users file and the access log.

usage: test_service.py PATH_TO_vlsmb2s [unittest args]
"""
import os
import pwd
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import rawsmb  # noqa: E402

PROG = None


def wait_for(pred, what, limit=20.0):
    end = time.time() + limit
    while time.time() < end:
        v = pred()
        if v:
            return v
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def smbclient(port, share, user, cmd):
    p = subprocess.run(["smbclient", "//127.0.0.1/" + share, "-p", str(port), "-U", user, "-m", "SMB2_10",
                        "--option=client min protocol=SMB2_02", "-c", cmd],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
    return p.returncode, p.stdout.decode("utf-8", "replace")


class Server:
    """`vlsmb2s serve ARGS` with a port file and stderr in a file; .port,
    .log(), .signal(sig), .stop() -> exit status."""

    def __init__(self, tmp, *args, env=None, preexec=None):
        self.pf = os.path.join(tmp, "port")
        if os.path.exists(self.pf):
            os.unlink(self.pf)
        self.errf = open(os.path.join(tmp, "stderr"), "w+b")
        self.proc = subprocess.Popen([PROG, "serve", "--port", "0", "--port-file", self.pf] + list(args),
                                     stdout=subprocess.DEVNULL, stderr=self.errf, env=env, preexec_fn=preexec)

    def __enter__(self):
        def ready():
            if self.proc.poll() is not None:
                raise AssertionError("server exited %d: %s" % (self.proc.returncode, self.log()))
            try:
                with open(self.pf) as f:
                    return int(f.read())
            except (OSError, ValueError):
                return 0
        try:
            self.port = wait_for(ready, "the port file")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def log(self):
        self.errf.flush()
        with open(self.errf.name, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return self.proc.wait(timeout=20)

    def __exit__(self, *exc):
        self.stop()
        self.errf.close()
        return False


class Tmp(unittest.TestCase):
    def setUp(self):
        t = tempfile.TemporaryDirectory()
        self.addCleanup(t.cleanup)
        self.tmp = t.name
        os.chmod(self.tmp, 0o755)
        self.pub = self.mk_dir("pub", {"a.txt": b"alpha\n", "big.bin": os.urandom(300000)})

    def mk_dir(self, name, files):
        d = os.path.join(self.tmp, name)
        os.mkdir(d)
        for n, data in files.items():
            with open(os.path.join(d, n), "wb") as f:
                f.write(data)
        return d

    def write(self, name, text, mode=0o644):
        p = os.path.join(self.tmp, name)
        with open(p, "w") as f:
            f.write(text)
        os.chmod(p, mode)
        return p


class ConfigFile(Tmp):
    def check(self, text):
        p = subprocess.run([PROG, "check-config", self.write("c.conf", text)], capture_output=True, timeout=20)
        return p.returncode, p.stdout.decode(), p.stderr.decode().replace(self.tmp + "/", "")

    def test_good_and_bad_files(self):
        users = self.write("users", "# accounts\n\nalice:s3cret\nbob: two words \n", 0o600)
        self.write("loose", "eve:pw\n", 0o644)
        single = os.path.join(self.pub, "a.txt")
        good = [
            ("", "[global]\nlog = connections\n"),
            ("# nothing shared yet\n[global]\n", "[global]\nlog = connections\n"),
            ("[Global]\n  PORT = 445 \n Max_Clients=8\n; c\n[Music]\npath = \"%s\"\n" % self.pub,
             "[global]\nport = 445\nmax_clients = 8\nlog = connections\n\n[Music]\npath = %s\n" % self.pub),
            ("[global]\nallow = 10.0.0.0/8, 192.168.1.0/24\nusers  file = %s\nlog = access\n[one]\npath='%s'\n"
             % (users, single),
             "[global]\nallow = 10.0.0.0/8 192.168.1.0/24\nlog = access\n"
             "# accounts (passwords not shown): alice bob\n\n[one]\npath = %s\n" % single),
        ]
        for text, out in good:
            with self.subTest(text=text):
                self.assertEqual((0, out, ""), self.check(text))
        bad = [
            ("port = 1\n", "c.conf:1: port: outside a section; start with [global]\n"),
            ("[global]\nport = 65536\n", "c.conf:2: port: 0..65535\n"),
            ("[global]\nport = 1\nport = 2\n", "c.conf:3: port: given twice\n"),
            ("[global\n", "c.conf:1: a section line is [NAME]\n"),
            ("[global]\njunk\n", "c.conf:2: expected KEY = VALUE or [SECTION]\n"),
            ("[global]\nbind = \"127.0.0.1\n", "c.conf:2: bind: unmatched quote\n"),
            ("[global]\nbind = nowhere\n", "c.conf:2: bind: nowhere is not an IP address\n"),
            ("[global]\nmax_clients = 0\n", "c.conf:2: max_clients: 1..1024\n"),
            ("[global]\n\nfrob = 1\n", "c.conf:3: frob: unknown option frob\n"),
            ("[global]\nallow = 10.0.0.0/33\n", "c.conf:2: allow: 10.0.0.0/33 is not a CIDR\n"),
            ("[global]\nuser = alice\n", "c.conf:2: user: accounts go in the users file, not here\n"),
            ("[global]\nusers file = %s\n" % os.path.join(self.tmp, "loose"),
             "loose: group or others can read it; chmod 600 loose\n"
             "c.conf:2: users file: not read (see above)\n"),
            ("[a]\npath = /nonexistent/x\n", "c.conf:2: path: /nonexistent/x does not exist\n"),
            ("[a]\n[b]\npath = /tmp\n", "c.conf:1: a: the share has no path\n"),
            ("[a]\npath = /tmp\nmode = ro\n", "c.conf:3: mode: unknown share key (only path)\n"),
            ("[a]\npath = /tmp\n[A]\npath = /tmp\n", "c.conf:3: A: share given twice\n"),
            ("[a/b]\npath = /tmp\n", "c.conf:2: path: invalid share name\n"),
        ]
        for text, err in bad:
            with self.subTest(text=text):
                self.assertEqual((1, "", err), self.check(text))

    def test_command_line_wins_and_a_bad_file_starts_nothing(self):
        other = self.mk_dir("other", {"b.txt": b"b\n"})
        conf = self.write("c.conf", "[global]\nport = 1\nguest = on\n[pub]\npath = %s\n" % other)
        with Server(self.tmp, "--allow-root", "--config", conf, "--share", "PUB=" + self.pub) as s:
            rc, out = smbclient(s.port, "pub", "guest%", "ls")
            self.assertIn("a.txt", out)
        bad = self.write("bad.conf", "[global]\nguest = maybe\n[pub]\npath = %s\n" % self.pub)
        p = subprocess.run([PROG, "serve", "--allow-root", "--config", bad, "--port", "0"], capture_output=True,
                           timeout=20)
        self.assertEqual((1, b""), (p.returncode, p.stdout))
        self.assertEqual("%s:2: guest: auto, on or off\n" % bad, p.stderr.decode())


class Reload(Tmp):
    def test_shares_and_accounts_change_while_a_client_keeps_reading(self):
        from impacket.smbconnection import SMBConnection
        from impacket import smb3structs
        self.write("users", "alice:pw1\n", 0o600)
        users = os.path.join(self.tmp, "users")
        two = self.mk_dir("two", {"t.txt": b"two\n"})
        base = "[global]\nguest = off\nusers file = %s\n[pub]\npath = %s\n" % (users, self.pub)
        conf = self.write("c.conf", base)
        with open(os.path.join(self.pub, "big.bin"), "rb") as f:
            want = f.read()
        with Server(self.tmp, "--allow-root", "--config", conf) as s:
            c = SMBConnection("127.0.0.1", "127.0.0.1", sess_port=s.port,
                              preferredDialect=smb3structs.SMB2_DIALECT_21, timeout=10)
            self.addCleanup(c.close)
            c.login("alice", "pw1")
            tid = c.connectTree("pub")
            fid = c.openFile(tid, "big.bin", desiredAccess=smb3structs.FILE_READ_DATA)

            def reload_with(text):
                self.write("c.conf", text)
                n = s.log().count("reload")
                s.signal(signal.SIGHUP)
                wait_for(lambda: s.log().count("reload") > n, "reload line")
                self.assertEqual(want, c.readFile(tid, fid, 0, len(want)))
                return s.log().splitlines()[-1]

            self.write("users", "alice:pw1\nbob:pw2\n", 0o600)
            self.assertIn("applied", reload_with(base + "[two]\npath = %s\n" % two))
            self.assertEqual(0, smbclient(s.port, "two", "bob%pw2", "get t.txt /dev/null")[0])
            self.write("users", "alice:pw1\n", 0o600)
            self.assertIn("applied", reload_with(base))
            self.assertNotEqual(0, smbclient(s.port, "pub", "bob%pw2", "ls")[0])
            self.assertIn("NT_STATUS_OBJECT_NAME_NOT_FOUND", smbclient(s.port, "two", "alice%pw1", "ls")[1])

            # Broken, or not applicable live: refused, everything as it was.
            for text in ("[global]\nguest = sometimes\n", base + "port = 99\n",
                         base.replace("guest = off\n", ""), base + "[x]\npath = /nonexistent/y\n",
                         base.replace(users, users + ".missing")):
                with self.subTest(text=text):
                    self.assertIn("reload refused", reload_with(text))
                    self.assertEqual(0, smbclient(s.port, "pub", "alice%pw1", "get a.txt /dev/null")[0])
            self.assertIn("applied", reload_with(base.replace("[pub]", "allow = 10.0.0.0/8\n[pub]")))
            self.assertIn("reload refused", reload_with(base))
            self.assertIn("an allow prefix cannot be removed while serving: 10.0.0.0/8", s.log())
            c.closeFile(tid, fid)
            self.assertEqual(0, s.stop())


class Notify(Tmp):
    def test_ready_reloading_stopping(self):
        sock_path = os.path.join(self.tmp, "notify")
        ns = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(ns.close)
        ns.bind(sock_path)
        ns.settimeout(20)
        env = dict(os.environ, NOTIFY_SOCKET=sock_path)
        conf = self.write("c.conf", "[global]\n")

        def expect(word):
            while True:
                msg = ns.recv(4096).decode()
                if word in msg.split("\n"):
                    return msg
        with Server(self.tmp, "--allow-root", "--config", conf, env=env) as s:
            expect("READY=1")
            status = expect("STATUS=serving on port %d, 0 clients" % s.port)
            self.assertTrue(status)
            s.signal(signal.SIGHUP)
            self.assertIn("MONOTONIC_USEC=", expect("RELOADING=1"))
            expect("READY=1")
            self.assertEqual(0, s.stop())
            expect("STOPPING=1")


class Signals(Tmp):
    def test_interrupt_stops_gracefully(self):
        with Server(self.tmp, "--allow-root") as s, rawsmb.Conn(s.port) as c:
            c.logon()
            s.signal(signal.SIGINT)
            self.assertEqual(0, s.proc.wait(timeout=20))
            self.assertTrue(c.closed_by_server())


    def test_descriptor_limit_raised_to_the_hard_one(self):
        import resource
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        with Server(self.tmp, "--allow-root",
                    preexec=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))) as s:
            with open("/proc/%d/limits" % s.proc.pid) as f:
                row = [l for l in f if l.startswith("Max open files")][0].split()
            self.assertEqual(row[3], row[4])


@unittest.skipUnless(os.geteuid() == 0, "needs root")
class RunAs(Tmp):
    def test_refuses_root_and_drops_to_the_user(self):
        p = subprocess.run([PROG, "serve", "--port", "0"], capture_output=True, timeout=20)
        self.assertEqual((1, "serve: refusing to serve as root; give --run-as USER (or --allow-root)\n"),
                         (p.returncode, p.stderr.decode()))
        os.chmod(self.tmp, 0o777)  # the port file is written as the user
        user = pwd.getpwnam("nobody")
        groups = sorted(os.getgrouplist(user.pw_name, user.pw_gid))
        with Server(self.tmp, "--run-as", "nobody", "--opt", "guest=on", "--share", "pub=" + self.pub) as s, \
                rawsmb.Conn(s.port) as c:
            c.logon()  # a connection thread too
            for task in os.listdir("/proc/%d/task" % s.proc.pid):
                with open("/proc/%d/task/%s/status" % (s.proc.pid, task)) as f:
                    st = dict(l.split(":", 1) for l in f.read().splitlines())
                self.assertEqual([user.pw_uid] * 4, [int(x) for x in st["Uid"].split()])
                self.assertEqual([user.pw_gid] * 4, [int(x) for x in st["Gid"].split()])
                self.assertEqual(groups, sorted(int(x) for x in st["Groups"].split()))
                self.assertEqual((0, 0), (int(st["CapEff"], 16), int(st["CapPrm"], 16)))
            self.assertEqual(0, smbclient(s.port, "pub", "guest%", "get a.txt /dev/null")[0])


class Files(Tmp):
    def test_port_file_replaces_a_symlink_never_writes_through_it(self):
        victim = self.write("victim", "precious\n")
        os.symlink(victim, os.path.join(self.tmp, "port"))
        with Server(self.tmp, "--allow-root") as s:
            self.assertFalse(os.path.islink(s.pf))
            with open(victim) as f:
                self.assertEqual("precious\n", f.read())
            self.assertEqual([], [n for n in os.listdir(self.tmp) if n.endswith(".tmp")])

    def test_users_file(self):
        script = rawsmb.frame(rawsmb.header(rawsmb.NEGOTIATE, 1) + rawsmb.negotiate_body()).hex() + "\n"
        cases = [
            ("alice:pw\n# x\n\n", 0o600, 0, ""),
            ("alice:pw\n", 0o640, 1, "U: group or others can read it; chmod 600 U\n"),
            ("alice\n", 0o600, 1, "U:1: needs NAME:PASSWORD\n"),
            ("a/b:pw\n", 0o600, 1,
             "U:1: add_user: the user name carries no domain (the domain is ignored)\n"),
        ]
        for text, mode, status, err in cases:
            with self.subTest(text=text, mode=mode):
                u = self.write("u", text, mode)
                p = subprocess.run([PROG, "sim", "--users-file", u], input=script.encode(), capture_output=True,
                                   timeout=20)
                self.assertEqual((status, err), (p.returncode, p.stderr.decode().replace(u, "U")))


class AccessLog(Tmp):
    def test_lines_and_journal_prefix(self):
        errf = os.path.join(self.tmp, "stderr")
        for journal in (False, True):
            with self.subTest(journal=journal):
                env = dict(os.environ)
                if journal:
                    open(errf, "wb").close()
                    st = os.stat(errf)
                    env["JOURNAL_STREAM"] = "%d:%d" % (st.st_dev, st.st_ino)
                with Server(self.tmp, "--allow-root", "--opt", "log=access", "--opt", "guest=on",
                            "--share", "pub=" + self.pub, env=env) as s, rawsmb.Conn(s.port) as c:
                    c.logon()
                    r = c.call(rawsmb.TREE_CONNECT, rawsmb.tree_body("\\\\h\\no\nshare"))
                    self.assertNotEqual(rawsmb.SUCCESS, rawsmb.status(r))
                    c.tree("pub")
                    stt, fid, _ = c.create("a.txt")
                    self.assertEqual(rawsmb.SUCCESS, stt)
                    c.read_all(fid)
                    c.close_file(fid)
                    lines = wait_for(lambda: "close from" in s.log() and s.log().splitlines(), "close line")
                for l in lines:
                    self.assertRegex(l, r"^<[46]>[a-z]" if journal else r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z ")
                text = "\n".join(l[3:] if journal else l.split(" ", 1)[1] for l in lines)
                for want in ("connection accepted from 127.0.0.1",
                             "tree connect from 127.0.0.1 user= share=no\\x0ashare: no such share",
                             "tree connect from 127.0.0.1 user=(guest) share=pub: ok",
                             "open from 127.0.0.1 user=(guest) share=pub name=a.txt",
                             "close from 127.0.0.1 user=(guest) share=pub name=a.txt read=6"):
                    self.assertIn(want, text)


if __name__ == "__main__":
    PROG = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
