#!/usr/bin/env python3
"""The spooler program on big inputs, on an X display and a CUPS scheduler of its own:

    bench/big_inputs.py BUILD_DIR OUT_DIR [CASE...]     (bench/big-inputs.sh is the usual way in)

  big    one spool file of BIG_MB (default 100) MB, numbered pages of dense text
  many   MANY_FILES (default 10,000) spool files of one page each, written at once

Each case runs a fresh spooler (PagesSpool 3 unless PAGES_SPOOL says otherwise) with its
window shown on the display, and starts once its first print pass is over. Reported: the
time from the input landing in the spool directory until every spool file is deleted and
the scheduler has passed every job to the printer, the spooler's peak resident memory
(VmHWM), and the longest time its window did not answer _NET_WM_PING (bench-window-probe,
a ping every 20 ms). Then every job is read back: all pages there once, in order, in jobs
titled with their range, and every file deleted.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import spooler_rig  # noqa: E402

PAGES_SPOOL = int(os.environ.get("PAGES_SPOOL", "3"))
BIG_MB = float(os.environ.get("BIG_MB", "100"))
MANY_FILES = int(os.environ.get("MANY_FILES", "10000"))
LINES_PER_PAGE = 60


def big_page(p, pages):
    lines = ["BIG PAGE %d/%d" % (p, pages)]
    for n in range(1, LINES_PER_PAGE - 1):
        lines.append(("P%d L%d " % (p, n) + "Lorem ipsum dolor sit amet consectetur adipiscing elit " * 2)[:78])
    lines.append("END PAGE %d" % p)
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def write_big(path):
    size = len(big_page(1, 1)) + 6
    pages = int(BIG_MB * 1048576 // size)
    with open(path, "wb") as f:
        for p in range(1, pages + 1):
            f.write(big_page(p, pages) + (b"\f" if p < pages else b""))
    return pages


def many_text(i):
    return ("MANY FILE %05d PAGE 1/1\r\n" % i + "line of file %05d\r\n" % i * 5 + "END FILE %05d\r\n" % i).encode()


def page_texts(pdf):
    """The text of each page: pdftotext ends every page with a form feed."""
    text = subprocess.run(["pdftotext", "-enc", "UTF-8", pdf, "-"], capture_output=True, timeout=300).stdout
    return text.decode("utf-8", "replace").split("\f")[:-1]


class Case:
    def __init__(self, name, build, work, cups, display, queue):
        self.name = name
        self.dir = os.path.join(work, name)
        os.makedirs(self.dir)
        self.cups = cups
        self.display = display
        self.queue = queue
        self.spooler = spooler_rig.Spooler(build, self.dir, cups, PAGES_SPOOL, display)
        self.probe_program = os.path.join(build, "bench", "bench-window-probe")
        self.faults = []

    def start(self):
        self.spooler.start()
        window = ""
        deadline = time.time() + 30
        while not window and time.time() < deadline:
            window = self.display.run("xdotool", "search", "--class", "^TForm1$").split("\n")[0]
            time.sleep(0.2)
        if not window:
            raise RuntimeError("the spooler's window did not come up:\n" + self.spooler.log_tail())
        # It starts minimised, out of sight: mapped, it is on the screen as after a click
        # on its tray icon.
        self.display.run("xdotool", "windowmap", "--sync", window, timeout=20)
        shown = "IsViewable" in self.display.run("xwininfo", "-id", window)
        self.probe = subprocess.Popen([self.probe_program, "--interval", "20"],
                                      env=dict(os.environ, DISPLAY=self.display.name), stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True)
        self.probe_started = time.time()
        # The first print pass comes 10 s after the start: the input lands after it.
        time.sleep(max(0, self.spooler.started + 11 - time.time()))
        return shown

    def wait_done(self, jobs_expected, timeout):
        """Until no spool file is left and the scheduler has passed on every job."""
        rss_peak = 0
        deadline = time.time() + timeout
        while time.time() < deadline:
            rss = self.spooler.status("VmRSS")
            if rss is None:
                self.faults.append("the spooler ended:\n" + self.spooler.log_tail())
                break
            rss_peak = max(rss_peak, rss)
            left = any(n.lower().endswith(".prn") for n in os.listdir(self.spooler.spool))
            if not left and self.cups.captured_count(self.queue) >= jobs_expected and not self.cups.pending():
                break
            time.sleep(0.25)
        else:
            self.faults.append("not done within %d s" % timeout)
        return rss_peak

    def finish(self):
        self.probe.send_signal(signal.SIGINT)
        out, err = self.probe.communicate(timeout=30)
        probe = dict(zip(out.split()[0::2], out.split()[1::2]))
        if "at_s" in probe:
            # From the probe's first ping to after the input landed.
            probe["at_s"] = "%.1f" % (float(probe["at_s"]) - (self.landed - self.probe_started))
        if not probe:
            self.faults.append("the window probe reported nothing: " + err.strip())
        peak = self.spooler.status("VmHWM")
        self.spooler.stop()
        # The spooler's lock of the directory stays with it.
        left = sorted(n for n in os.listdir(self.spooler.spool) if n != ".pagello.lock")
        if left:
            self.faults.append("%d spool files left, e.g. %s" % (len(left), left[:5]))
        shutil.copy(self.spooler.log, os.path.join(OUT, "pagello-%s.log" % self.name))
        return probe, peak


def run_big(case):
    source = os.path.join(case.dir, "BIG.PRN")
    pages = write_big(source)
    size = os.path.getsize(source)
    shown = case.start()
    start = case.landed = time.time()
    os.rename(source, os.path.join(case.spooler.spool, "BIG.PRN"))
    jobs_expected = (pages + PAGES_SPOOL - 1) // PAGES_SPOOL
    rss = case.wait_done(jobs_expected, 3600)
    elapsed = time.time() - start
    probe, peak = case.finish()

    jobs = case.cups.captured_jobs(case.queue)
    title = re.compile(r"^Pagello : BIG\.PRN  (\d+)-(\d+)$")
    head = re.compile(r"BIG PAGE (\d+)/(\d+)")
    foot = re.compile(r"END PAGE (\d+)")
    with ThreadPoolExecutor(2) as pool:
        texts = list(pool.map(lambda job: page_texts(job[2]), jobs))
    next_page = 1
    for (number, name, _), job_pages in zip(jobs, texts):
        m = title.match(name)
        if not m or int(m.group(1)) != next_page:
            case.faults.append("job %d %r does not follow page %d" % (number, name, next_page - 1))
            if not m:
                continue
        first, last = int(m.group(1)), int(m.group(2))
        if len(job_pages) != last - first + 1:
            case.faults.append("job %d %r holds %d pages" % (number, name, len(job_pages)))
        for i, text in enumerate(job_pages):
            h, f = head.search(text), foot.search(text)
            if not h or not f or int(h.group(1)) != first + i or int(f.group(1)) != first + i:
                case.faults.append("job %d %r: its page %d is not page %d whole" % (number, name, i + 1, first + i))
        next_page = last + 1
    if next_page != pages + 1:
        case.faults.append("the jobs end at page %d of %d" % (next_page - 1, pages))
    return {"input": "one spool file of %.1f MB, %d pages" % (size / 1048576, pages), "jobs": len(jobs),
            "expected jobs": jobs_expected, "seconds": elapsed, "peak": peak, "rss": rss, "probe": probe,
            "shown": shown}


def run_many(case):
    shown = case.start()
    start = case.landed = time.time()
    for i in range(MANY_FILES):
        with open(os.path.join(case.spooler.spool, "F%05d.PRN" % i), "wb") as f:
            f.write(many_text(i))
    written = time.time() - start
    rss = case.wait_done(MANY_FILES, 3600)
    elapsed = time.time() - start
    probe, peak = case.finish()

    jobs = case.cups.captured_jobs(case.queue)
    title = re.compile(r"^Pagello : F(\d{5})\.PRN  1-1$")
    seen = {}
    with ThreadPoolExecutor(2) as pool:
        texts = list(pool.map(lambda job: page_texts(job[2]), jobs))
    for (number, name, _), pages in zip(jobs, texts):
        m = title.match(name)
        if not m:
            case.faults.append("job %d titled %r" % (number, name))
            continue
        i = int(m.group(1))
        seen[i] = seen.get(i, 0) + 1
        if len(pages) != 1 or "MANY FILE %05d PAGE 1/1" % i not in pages[0] or "END FILE %05d" % i not in pages[0]:
            case.faults.append("job %d %r does not hold its file's page whole" % (number, name))
    twice = [i for i, n in seen.items() if n > 1]
    missing = [i for i in range(MANY_FILES) if i not in seen]
    if twice:
        case.faults.append("%d files printed more than once, e.g. %s" % (len(twice), twice[:5]))
    if missing:
        case.faults.append("%d files never printed, e.g. %s" % (len(missing), missing[:5]))
    return {"input": "%d spool files of one page, written in %.1f s" % (MANY_FILES, written), "jobs": len(jobs),
            "expected jobs": MANY_FILES, "seconds": elapsed, "peak": peak, "rss": rss, "probe": probe,
            "shown": shown}


OUT = None


def main():
    global OUT
    build, OUT = sys.argv[1], sys.argv[2]
    cases = sys.argv[3:] or ["big", "many"]
    problem = spooler_rig.missing_prerequisite(display=True)
    if problem:
        sys.exit("big-inputs: " + problem)
    os.makedirs(OUT, exist_ok=True)
    work = spooler_rig.make_workdir("pagello-big-")
    cups = spooler_rig.PrivateCups(work)
    display = spooler_rig.PrivateDisplay()
    lines = ["big inputs, PagesSpool %d, the spooler on Xvfb with openbox" % PAGES_SPOOL]
    failed = False
    try:
        cups.start()
        display.start()
        # One queue: the spooler's registry file picks the first printer.
        queue = "Big"
        cups.add_raw_capture_queue(queue)
        for name in cases:
            case = Case(name, build, work, cups, display, queue)
            result = {"big": run_big, "many": run_many}[name](case)
            probe = result["probe"]
            lines.append("%s: %s" % (name, result["input"]))
            lines.append("  time until all printed and deleted  %.1f s" % result["seconds"])
            lines.append("  jobs captured                       %d of %d" % (result["jobs"], result["expected jobs"]))
            lines.append("  spooler peak RSS                    %.1f MB (VmHWM; %.1f MB sampled)"
                         % ((result["peak"] or 0) / 1024, result["rss"] / 1024))
            lines.append("  window shown                        %s" % ("yes" if result["shown"] else "NO"))
            lines.append("  longest unanswered window time      %s ms (from %s s after the input landed; %s pings, "
                         "median %s ms, "
                         "p99 %s ms, %s stalls over 250 ms)"
                         % (probe.get("longest_ms", "?"), probe.get("at_s", "?"), probe.get("pings", "?"),
                            probe.get("median_ms", "?"), probe.get("p99_ms", "?"),
                            probe.get("stalls_over_250ms", "?")))
            lines.append("  faults                              %d" % len(case.faults))
            for fault in case.faults[:20]:
                lines.append("    FAULT: " + fault)
            failed = failed or bool(case.faults)
            print("\n".join(lines[-7 - min(20, len(case.faults)):]), flush=True)
            shutil.rmtree(case.dir, ignore_errors=True)
            shutil.rmtree(cups.capture_dir(queue), ignore_errors=True)
            os.makedirs(cups.capture_dir(queue), exist_ok=True)
    finally:
        display.stop()
        cups.stop()
        shutil.rmtree(work, ignore_errors=True)
    with open(os.path.join(OUT, "report.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("big-inputs: report in %s" % os.path.join(OUT, "report.txt"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
