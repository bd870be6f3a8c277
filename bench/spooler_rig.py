"""The real spooler program on a desktop of its own, for the soak and big-input runs.

PrivateCups: a CUPS scheduler of the run's own (`cupsd -f`, reachable only through a
socket in its directory), with a raw queue whose backend keeps each job's PDF and title
(tests/integration/capture-backend.sh), made the scheduler's default. Root only, as in the
integration tests: the backend runs as root.
PrivateDisplay: Xvfb on the first free display with openbox.
Spooler: the built `pagello` copied beside `kavrin.fxp` (so it watches its directory),
with its spool directory, registry file and lock of the run's own.
PrivateSamba: smbd serving a directory through the example share packaging/samba/smb.conf,
on a free port of 127.0.0.1, with its state in the run's directory; smbclient is its client.
Pages: the text pdftotext reads from a job's PDF, page by page.

Python 3 standard library only.
"""

import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CAPTURE_BACKEND = os.path.join(ROOT, "tests", "integration", "capture-backend.sh")


def _die_with_parent():
    """Run in a child before exec: it gets SIGTERM when this process ends, even by a crash."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def _server_bin():
    for d in ("/usr/lib/cups", "/usr/libexec/cups"):
        if os.path.exists(os.path.join(d, "daemon", "cups-exec")):
            return d
    return None


def missing_prerequisite(display=False):
    if os.geteuid() != 0:
        return "the private CUPS scheduler must run as root (its backend runs as root)"
    for tool in ["/usr/sbin/cupsd"] + [shutil.which(t) or t for t in ("lpadmin", "lpstat", "pdftotext", "pdfinfo")]:
        if not os.path.exists(tool):
            return "%s is not installed" % tool
    if _server_bin() is None:
        return "the CUPS filters and backends (/usr/lib/cups) are not installed"
    if display:
        for tool in ("Xvfb", "openbox", "xdotool"):
            if not shutil.which(tool):
                return "%s is not installed" % tool
    return None


def stop_process(process, grace):
    """Ends a process we started: asked first, killed after `grace` seconds."""
    if process and process.poll() is None:
        process.terminate()
        try:
            process.wait(grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class PrivateCups:
    def __init__(self, workdir):
        self.root = os.path.join(workdir, "cups")
        self.process = None

    @property
    def socket(self):
        return os.path.join(self.root, "cups.sock")

    def _path(self, relative):
        return os.path.join(self.root, relative)

    def start(self):
        for d in ("etc", "bin/backend", "spool/tmp", "cache", "state", "log", "capture"):
            os.makedirs(self._path(d), exist_ok=True)
        os.chmod(self.root, 0o755)
        server_bin = _server_bin()
        for d in ("filter", "daemon", "cgi-bin", "monitor", "notifier", "driver"):
            if os.path.exists(os.path.join(server_bin, d)):
                os.symlink(os.path.join(server_bin, d), self._path("bin/" + d))
        backend = self._path("bin/backend/pagello-capture")
        shutil.copyfile(CAPTURE_BACKEND, backend)
        os.chmod(backend, 0o700)
        with open(self._path("etc/cups-files.conf"), "w") as f:
            f.write("ServerRoot {0}/etc\nServerBin {0}/bin\nRequestRoot {0}/spool\nTempDir {0}/spool/tmp\n"
                    "CacheDir {0}/cache\nStateDir {0}/state\nServerKeychain {0}/etc/ssl\n"
                    "Printcap {0}/printcap\nAccessLog {0}/log/access_log\nErrorLog {0}/log/error_log\n"
                    "PageLog {0}/log/page_log\nSystemGroup root\nLogFileGroup root\n".format(self.root))
        # Thousands of jobs: no limit on their number, no history kept, and a log of
        # warnings only.
        with open(self._path("etc/cupsd.conf"), "w") as f:
            f.write("Listen %s\nLogLevel warn\nBrowsing No\nBrowseLocalProtocols none\nDefaultShared No\n"
                    "WebInterface No\nErrorPolicy abort-job\nMaxJobs 0\nMaxJobsPerPrinter 0\n"
                    "MaxJobsPerUser 0\nPreserveJobHistory No\nPreserveJobFiles No\n"
                    "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
                    "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n" % self.socket)
        out = open(self._path("log/cupsd.out"), "w")
        self.process = subprocess.Popen(
            ["/usr/sbin/cupsd", "-f", "-c", self._path("etc/cupsd.conf"), "-s", self._path("etc/cups-files.conf")],
            stdout=out, stderr=subprocess.STDOUT, env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"},
            preexec_fn=_die_with_parent)
        deadline = time.time() + 15
        while not self._answers():
            if self.process.poll() is not None or time.time() > deadline:
                raise RuntimeError("cupsd did not start:\n" + self.log_tail())
            time.sleep(0.05)

    def _answers(self):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(self.socket)
            return True
        except OSError:
            return False
        finally:
            s.close()

    def run(self, program, *args):
        return subprocess.run([program, "-h", self.socket] + list(args), check=True, capture_output=True,
                              text=True, timeout=30).stdout

    def add_raw_capture_queue(self, name):
        os.makedirs(self.capture_dir(name), exist_ok=True)
        self.run("lpadmin", "-p", name, "-E", "-v", "pagello-capture:" + self.capture_dir(name))
        self.run("lpadmin", "-d", name)

    def capture_dir(self, name):
        return self._path("capture/" + name)

    def captured_jobs(self, name):
        """(job id, title, PDF path) of every complete job, oldest first."""
        jobs = []
        d = self.capture_dir(name)
        for entry in os.listdir(d):
            if entry.startswith("job-") and entry.endswith(".pdf"):
                job = int(entry[4:-4])
                with open(os.path.join(d, "job-%d.title" % job), encoding="utf-8", errors="replace") as f:
                    jobs.append((job, f.read(), os.path.join(d, entry)))
        jobs.sort()
        return jobs

    def captured_count(self, name):
        return sum(1 for e in os.listdir(self.capture_dir(name)) if e.endswith(".pdf"))

    def pending(self):
        return self.run("lpstat", "-o").strip()

    def wait_idle(self, timeout):
        deadline = time.time() + timeout
        while self.pending():
            if time.time() > deadline:
                return False
            time.sleep(0.5)
        return True

    def log_tail(self, lines=20):
        try:
            with open(self._path("log/error_log"), errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return "(no error log)"

    def stop(self):
        stop_process(self.process, 10)


class PrivateDisplay:
    """Xvfb on the first free display number, with openbox."""

    def __init__(self):
        self.server = None
        self.window_manager = None
        self.name = None

    def start(self):
        read, write = os.pipe()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        os.close(write)
        number = b""
        deadline = time.time() + 15
        while not number.endswith(b"\n") and time.time() < deadline:
            c = os.read(read, 1)
            if not c:
                break
            number += c
        os.close(read)
        if not number.endswith(b"\n"):
            raise RuntimeError("Xvfb did not start")
        self.name = ":" + number.decode().strip()
        env = dict(os.environ, DISPLAY=self.name)
        self.window_manager = subprocess.Popen(["openbox", "--sm-disable"], env=env, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        # openbox is ready once it manages windows: it sets the supporting-WM property.
        deadline = time.time() + 30
        while time.time() < deadline:
            out = self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK")
            if "window id" in out:
                time.sleep(0.5)
                return
            time.sleep(0.1)
        raise RuntimeError("openbox did not start on " + self.name)

    def run(self, *args, timeout=10):
        r = subprocess.run(list(args), env=dict(os.environ, DISPLAY=self.name), capture_output=True, text=True,
                           timeout=timeout)
        return r.stdout.strip()

    def stop(self):
        for p in (self.window_manager, self.server):
            stop_process(p, 5)


def free_loopback_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


SAMBA_EXAMPLE = os.path.join(ROOT, "packaging", "samba", "smb.conf")


class PrivateSamba:
    """smbd in the foreground serving `directory` as the example share TISK, its files
    belonging to root (the run's user), on a free port of the loopback interface."""

    def __init__(self, workdir, directory):
        self.root = os.path.join(workdir, "samba")
        self.directory = directory
        self.port = None
        self.process = None

    @staticmethod
    def missing_prerequisite():
        for tool in ("smbd", "smbclient"):
            if not shutil.which(tool, path="/usr/sbin:/usr/bin:/sbin:/bin"):
                return "%s is not installed (packages samba, smbclient)" % tool
        return None

    def start(self):
        for d in ("lock", "state", "cache", "pid", "private", "ncalrpc", "log"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        self.port = free_loopback_port()
        lines = []
        with open(SAMBA_EXAMPLE) as f:
            for line in f.read().split("\n"):
                key = line.split("=")[0].strip()
                if key == "path":
                    line = "   path = " + self.directory
                elif key in ("force user", "force group"):
                    line = "   %s = root" % key
                lines.append(line)
        own = ("[global]\n   smb ports = {1}\n   interfaces = 127.0.0.1\n   bind interfaces only = yes\n"
               "   disable netbios = yes\n   lock directory = {0}/lock\n   state directory = {0}/state\n"
               "   cache directory = {0}/cache\n   pid directory = {0}/pid\n   private dir = {0}/private\n"
               "   ncalrpc dir = {0}/ncalrpc\n   log file = {0}/log/log.%m\n"
               "   passdb backend = tdbsam:{0}/private/passdb.tdb\n   guest account = nobody\n"
               .format(self.root, self.port))
        conf = os.path.join(self.root, "smb.conf")
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n" + own)
        out = open(os.path.join(self.root, "log", "smbd.out"), "w")
        # smbd makes a process group of its own, which stop() ends with its children.
        self.process = subprocess.Popen(
            [shutil.which("smbd", path="/usr/sbin:/usr/bin"), "--foreground", "--debug-stdout", "--configfile", conf],
            stdout=out, stderr=subprocess.STDOUT, env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C.UTF-8"},
            preexec_fn=_die_with_parent)
        deadline = time.time() + 15
        while not self._answers():
            if self.process.poll() is not None or time.time() > deadline:
                raise RuntimeError("smbd did not start:\n" + self.log_tail())
            time.sleep(0.05)

    def _answers(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.connect(("127.0.0.1", self.port))
                return True
            except OSError:
                return False

    def client_arguments(self):
        """smbclient and its arguments for the share, as a guest: commands follow."""
        return [shutil.which("smbclient"), "//127.0.0.1/TISK", "--port=%d" % self.port, "--no-pass"]

    def client(self, *commands):
        """smbclient's arguments for `commands` ("put FILE NAME", ...) on the share."""
        return self.client_arguments() + ["--command", "; ".join(commands)]

    def run(self, *commands):
        """Runs the commands; whether smbclient reported no failure."""
        result = subprocess.run(self.client(*commands), stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return result.returncode == 0 and b"NT_STATUS_" not in result.stdout + result.stderr

    def log_tail(self, lines=20):
        try:
            with open(os.path.join(self.root, "log", "smbd.out"), errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return "(no log)"

    def stop(self):
        if self.process and self.process.poll() is None:
            try:
                os.killpg(self.process.pid, signal.SIGTERM)
            except OSError:
                pass
        stop_process(self.process, 10)


def registry_text(pages_spool):
    return ("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Morvane\\Pagello]\n"
            "\"AutoStart\"=dword:00000001\n\"PrinterIndex\"=dword:00000000\n"
            "\"PagesSpool\"=dword:%08x\n" % pages_spool)


class Spooler:
    """The built program, copied with kavrin.fxp beside it, printing on the scheduler's
    default queue; offscreen, or on a display when one is given."""

    def __init__(self, build, workdir, cups, pages_spool=3, display=None):
        self.workdir = workdir
        self.program_dir = os.path.join(workdir, "program")
        self.spool = os.path.join(workdir, "tisk")
        self.log = os.path.join(workdir, "pagello.log")
        os.makedirs(self.program_dir, exist_ok=True)
        os.makedirs(self.spool, exist_ok=True)
        os.makedirs(os.path.join(workdir, "tmp"), exist_ok=True)
        self.program = os.path.join(self.program_dir, "pagello")
        shutil.copy2(os.path.join(build, "src", "app", "pagello"), self.program)
        open(os.path.join(self.program_dir, "kavrin.fxp"), "w").close()
        self.registry = os.path.join(workdir, "system.reg")
        with open(self.registry, "w") as f:
            f.write(registry_text(pages_spool))
        env = dict(os.environ)
        for variable in ("LPDEST", "PRINTER"):
            env.pop(variable, None)
        # The single-instance lock of the run's own, in a runtime directory as private as
        # a user's.
        runtime = os.path.join(workdir, "runtime")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        env.update(PAGELLO=self.spool, PAGELLO_REGISTRY=self.registry, XDG_RUNTIME_DIR=runtime,
                   CUPS_SERVER=cups.socket, TMPDIR=os.path.join(workdir, "tmp"))
        if display:
            env.update(QT_QPA_PLATFORM="xcb", DISPLAY=display.name)
        else:
            env["QT_QPA_PLATFORM"] = "offscreen"
        self.env = env
        self.process = None

    def start(self):
        self.started = time.time()
        self.process = subprocess.Popen([self.program], env=self.env, stdout=open(self.log, "a"),
                                        stderr=subprocess.STDOUT, cwd=self.workdir, preexec_fn=_die_with_parent)

    def running(self):
        return self.process is not None and self.process.poll() is None

    def status(self, field):
        """A field of /proc/PID/status in kB (VmRSS, VmHWM); None once the program is gone."""
        try:
            with open("/proc/%d/status" % self.process.pid) as f:
                for line in f:
                    if line.startswith(field + ":"):
                        return int(line.split()[1])
        except OSError:
            return None
        return None

    def log_tail(self, lines=20):
        try:
            with open(self.log, errors="replace") as f:
                return "".join(f.readlines()[-lines:])
        except OSError:
            return ""

    def stop(self):
        stop_process(self.process, 10)


def pdf_pages(pdf):
    """The text of each page of a PDF (pdftotext), and its page count (pdfinfo)."""
    text = subprocess.run(["pdftotext", "-enc", "UTF-8", pdf, "-"], capture_output=True, timeout=120).stdout
    info = subprocess.run(["pdfinfo", pdf], capture_output=True, text=True, timeout=60).stdout
    count = None
    for line in info.splitlines():
        if line.startswith("Pages:"):
            count = int(line.split()[1])
    # pdftotext ends every page with a form feed, the last one too.
    pages = text.decode("utf-8", "replace").split("\f")
    return pages[:count] if count is not None else pages[:-1], count


def make_workdir(prefix):
    d = tempfile.mkdtemp(prefix=prefix, dir="/tmp")
    os.chmod(d, 0o755)
    return d
