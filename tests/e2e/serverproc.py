"""Runs `vlsmb2s serve` on 127.0.0.1 with a system-chosen port for a test,
and the smbclient runs and tree snapshots the client tests share."""
import hashlib
import os
import subprocess
import tempfile
import time


def digest(data):
    return hashlib.sha256(data).hexdigest()


def tree_state(root):
    """Every path under root with its kind, size and content digest."""
    out = {}
    for d, dirs, files in os.walk(root):
        for n in dirs:
            out[os.path.relpath(os.path.join(d, n), root)] = "dir"
        for n in files:
            p = os.path.join(d, n)
            with open(p, "rb") as f:
                out[os.path.relpath(p, root)] = (os.path.getsize(p), digest(f.read()))
    return out


def smbclient(port, share, commands, user="guest%", proto="SMB2_10", extra=(), timeout=300):
    """Runs smbclient's commands on //127.0.0.1/share; (exit status, output)."""
    cmd = ["smbclient", "//127.0.0.1/" + share, "-p", str(port), "-U", user, "-m", proto,
           "--option=client min protocol=SMB2_02", *extra, "-c", commands]
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    return p.returncode, p.stdout.decode("utf-8", "replace")


class Server:
    """Context manager: starts the server with extra arguments, waits for its
    port file (bounded), and kills it at the end. .port, .share_dir."""

    def __init__(self, prog, *args):
        self.prog = prog
        self.args = list(args)

    def __enter__(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.share_dir = os.path.join(self.tmp.name, "pub")
        os.mkdir(self.share_dir)
        with open(os.path.join(self.share_dir, "hello.txt"), "w") as f:
            f.write("hello\n")
        port_file = os.path.join(self.tmp.name, "port")
        cmd = [self.prog, "serve", "--allow-root", "--share", "pub=" + self.share_dir, "--port", "0",
               "--port-file", port_file] + self.args
        # A file, not a pipe: nobody drains stderr while the server logs.
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=self.log)
        self.port = 0
        for _ in range(400):  # 20 s at most
            if self.proc.poll() is not None:
                self.log.seek(0)
                err = self.log.read().decode()
                self._cleanup()
                raise RuntimeError("server exited with %d: %s" % (self.proc.returncode, err))
            try:
                with open(port_file) as f:
                    text = f.read()
                if text.endswith("\n"):
                    self.port = int(text)
                    break
            except OSError:
                pass
            time.sleep(0.05)
        if not self.port:
            self._cleanup()
            raise RuntimeError("no port file within 20 s")
        return self

    def _cleanup(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=20)
        self.log.close()
        self.tmp.cleanup()

    def __exit__(self, *exc):
        self._cleanup()
        return False
