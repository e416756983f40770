#!/usr/bin/python3
"""Command-line program: messages, exit statuses, serve and sim.

usage: test_cli.py PATH_TO_vlsmb2s [unittest args]
"""
import os
import select
import socket
import subprocess
import sys
import tempfile
import time
import unittest

PROG = None

USAGE = (
    "usage: vlsmb2s serve  [--share NAME=PATH]... [--user USER:PASS]... [--allow CIDR]...\n"
    "                      [--opt KEY=VALUE]... [--bind IP] [--port N] [--port-file FILE]\n"
    "                      [--users-file FILE] [--config FILE] [--run-as USER] [--allow-root]\n"
    "       vlsmb2s sim    [--share NAME=PATH]... [--user USER:PASS]... [--users-file FILE]\n"
    "                      [--opt KEY=VALUE]... [--ip IP] < SCRIPT\n"
    "       vlsmb2s check-config FILE\n"
    "       vlsmb2s selftest\n"
    "       vlsmb2s version | --version\n"
    "       vlsmb2s help | --help\n"
)

# One ECHO request with its frame prefix.
ECHO = "00000044" + "fe534d42" + "4000" + "0000" + "00000000" + "0d00" + "0100" + \
    "00000000" + "00000000" + "0700000000000000" + "00" * 32 + "04000000"


def run(args, stdin=b"", timeout=20):
    """Runs a command that must end by itself; returns (status, out, err)."""
    p = subprocess.run([PROG] + args, input=stdin, capture_output=True, timeout=timeout)
    return p.returncode, p.stdout.decode(), p.stderr.decode()


class Serving:
    """Runs `vlsmb2s serve ARGS` until the block ends; .banner and .port."""

    def __init__(self, args):
        self.args = args

    def __enter__(self):
        self.proc = subprocess.Popen([PROG, "serve", "--allow-root"] + self.args, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL)
        try:
            ready, _, _ = select.select([self.proc.stdout], [], [], 20)
            if not ready:
                raise AssertionError("no banner within 20 s")
            self.banner = self.proc.stdout.readline().decode()
            words = self.banner.split()
            self.port = int(words[-1]) if words else 0
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait(timeout=20)
        self.proc.stdout.close()
        return False


def connectable(port):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.sendall(bytes.fromhex(ECHO))
        return len(s.recv(4)) == 4


class Commands(unittest.TestCase):
    def test_no_arguments_or_unknown_command_prints_usage(self):
        for args in ([], ["bogus"], ["Serve"], ["--share"]):
            with self.subTest(args=args):
                self.assertEqual((2, "", USAGE), run(args))

    def test_version_ignores_later_words(self):
        for args in (["version"], ["version", "extra", "--port"], ["--version"]):
            self.assertEqual((0, "vlsmb2s 1.0.0\n", ""), run(args))

    def test_help_goes_to_standard_output(self):
        for args in (["help"], ["--help"]):
            self.assertEqual((0, USAGE, ""), run(args))

    def test_selftest(self):
        self.assertEqual((0, "selftest ok\n", ""), run(["selftest", "more"]))


class Arguments(unittest.TestCase):
    def test_argument_faults(self):
        cases = [
            (["--share"], 2, "unknown argument --share\n" + USAGE),
            (["--port"], 2, "unknown argument --port\n" + USAGE),
            (["--frob", "x"], 2, "unknown argument --frob\n" + USAGE),
            (["--share=a=/tmp"], 2, "unknown argument --share=a=/tmp\n" + USAGE),
            (["--opt", "guest=on", "stray"], 2, "unknown argument stray\n" + USAGE),
            (["--share", "noequals"], 2, "--share needs NAME=PATH\n"),
            (["--user", "nocolon"], 2, "--user needs USER:PASS\n"),
            (["--opt", "noequals"], 2, "--opt needs KEY=VALUE\n"),
            (["--opt", "bogus=1"], 1, "set_option: unknown option bogus\n"),
            (["--opt", "max_clients=0"], 1, "set_option: max_clients: 1..1024\n"),
            (["--share", "x=/nonexistent/vlsmb2s-test"], 1,
             "add_share: /nonexistent/vlsmb2s-test does not exist\n"),
            (["--user", ":pw"], 1, "add_user: user must be 1..128 printable bytes\n"),
            (["--allow", "10.0.0.0/33"], 1, "allow_cidr: 10.0.0.0/33 is not a CIDR\n"),
            # The first failure stops the walk: the later fault is not reached.
            (["--opt", "bogus=1", "--share", "noequals"], 1, "set_option: unknown option bogus\n"),
        ]
        for cmd in ("serve", "sim"):
            for args, status, err in cases:
                with self.subTest(cmd=cmd, args=args):
                    self.assertEqual((status, "", err), run([cmd] + args))

    def test_start_failures(self):
        for port in ("70000", "-1", "65536"):
            with self.subTest(port=port):
                self.assertEqual((1, "", "start: port out of range\n"),
                                 run(["serve", "--allow-root", "--port", port]))
        self.assertEqual((1, "", "start: nowhere is not an IP address\n"),
                         run(["serve", "--allow-root", "--bind", "nowhere"]))
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen(1)
            port = holder.getsockname()[1]
            status, out, err = run(["serve", "--allow-root", "--port", str(port)])
        self.assertEqual(1, status)
        self.assertEqual("", out)
        self.assertEqual("start: bind failed (98): Address already in use\n", err)


class Serve(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def test_port_zero_banner_and_port_file(self):
        pf = os.path.join(self.tmp.name, "port")
        with Serving(["--share", "pub=" + self.tmp.name, "--user", "u:p:w", "--opt", "guest=on",
                      "--port", "0", "--port-file", pf]) as s:
            self.assertGreater(s.port, 0)
            self.assertEqual("vlsmb2s serving on 127.0.0.1 port %d\n" % s.port, s.banner)
            for _ in range(200):
                if os.path.exists(pf) and open(pf).read().endswith("\n"):
                    break
                time.sleep(0.05)
            self.assertEqual("%d\n" % s.port, open(pf).read())
            self.assertTrue(connectable(s.port))

    def test_later_port_wins_and_text_without_digits_is_zero(self):
        with Serving(["--port", "99999", "--port", "abc", "--ip", "10.9.9.9"]) as s:
            self.assertGreater(s.port, 0)
            self.assertTrue(connectable(s.port))

    def test_empty_bind_text_binds_loopback_and_shows_it_empty(self):
        with Serving(["--bind", "", "--port", "0"]) as s:
            self.assertEqual("vlsmb2s serving on  port %d\n" % s.port, s.banner)
            self.assertTrue(connectable(s.port))

    def test_unwritable_port_file_is_skipped(self):
        pf = os.path.join(self.tmp.name, "missing", "port")
        with Serving(["--port", "0", "--port-file", pf]) as s:
            self.assertTrue(connectable(s.port))
            self.assertFalse(os.path.exists(pf))

    def test_share_path_may_hold_an_equals_sign(self):
        d = os.path.join(self.tmp.name, "a=b")
        os.mkdir(d)
        with Serving(["--share", "eq=" + d, "--bind", "127.0.0.1", "--port", "0"]) as s:
            self.assertEqual("vlsmb2s serving on 127.0.0.1 port %d\n" % s.port, s.banner)


class Sim(unittest.TestCase):
    def test_empty_script(self):
        self.assertEqual((0, "RESULT ok (0 frames)\n", ""), run(["sim"]))

    def test_echo_frame_and_ignored_serve_options(self):
        status, out, err = run(["sim", "--bind", "1.2.3.4", "--port", "1", "--port-file", "/nonexistent/x",
                                "--opt", "guest=on"], stdin=(ECHO + "\n").encode())
        self.assertEqual((0, ""), (status, err))
        lines = out.splitlines()
        self.assertEqual(3, len(lines), out)
        self.assertEqual(">> ECHO", lines[0])
        self.assertTrue(lines[1].startswith("<< fe534d42"), lines[1])
        self.assertEqual("RESULT ok (1 frames)", lines[2])

    def test_script_larger_than_the_first_block(self):
        filler = ("#" + "x" * 1000 + "\n") * 3500  # about 3.5 MiB: the block doubles twice
        status, out, _ = run(["sim"], stdin=(filler + ECHO + "\n").encode())
        self.assertEqual(0, status)
        self.assertTrue(out.startswith(">> ECHO\n<< fe534d42"), out[:80])
        self.assertTrue(out.endswith("RESULT ok (1 frames)\n"))

    def test_script_ends_at_its_first_zero_byte(self):
        status, out, _ = run(["sim"], stdin=b"# nothing\n\0" + (ECHO + "\n").encode())
        self.assertEqual((0, "RESULT ok (0 frames)\n"), (status, out))

    def test_client_address(self):
        self.assertEqual((0, "refused: client address not allowed\n", ""), run(["sim", "--ip", "10.1.2.3"]))
        self.assertEqual((0, "RESULT ok (0 frames)\n", ""),
                         run(["sim", "--allow", "10.0.0.0/8", "--ip", "10.1.2.3"]))
        self.assertEqual((1, "", "simulate: nowhere is not an IP address\n"),
                         run(["sim", "--ip", "nowhere"]))

    def test_bad_frame_line_fails(self):
        self.assertEqual((1, "", "simulate: bad frame hex on a script line\n"),
                         run(["sim"], stdin=b"000000\n"))


if __name__ == "__main__":
    PROG = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
