#!/usr/bin/env python3
"""The spooler program for MINUTES on a CUPS scheduler of its own while writer processes
do to its spool directory what DOS programs do, and the directory itself is removed and
made again a few times; then every job the printer got is read back and checked.

    bench/soak.py BUILD_DIR MINUTES OUT_DIR [--smb]      (bench/soak.sh is the usual way in)

Writers (WRITERS processes, default 8) write documents of 1 to 50 pages (most short), each
page carrying its document, version and page number at its head and foot: all at once,
slowly while holding the file open, rewritten in place (a new version under the same
name), published by renaming a .TMP file, renamed to another .PRN name or away from .PRN,
deleted after closing or while still open, with or without the end marker (text after it
is never printed). Every step is logged under one lock with a sequence number, so that
the check can replay what became of each document.

With --smb the writers write through a Samba share of the spool directory (a private
smbd serving the example share packaging/samba/smb.conf on 127.0.0.1), as the PCs of an
office do: each file is put with smbclient, fed from a pipe that the writer holds open as
long as it writes (slowly, or holding it), renamed and deleted with smbclient. A file
cannot be deleted through the share while its writer holds it open: that case is left out.

The check: every document version that its writer closed and left under a .PRN name was
printed exactly once and whole (its pages in order, in jobs of at most PagesSpool pages
titled with their range); any other version was printed whole once or not at all, or cut
short without a page twice when rewritten while it printed; no job mixes documents, no
page is printed twice, nothing after an end marker is printed. The spooler's resident
memory is sampled every 2 s.
"""

import json
import multiprocessing
import os
import random
import re
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import spooler_rig  # noqa: E402

PAGES_SPOOL = int(os.environ.get("PAGES_SPOOL", "3"))
WRITERS = int(os.environ.get("WRITERS", "8"))
DOCS_PER_MINUTE = int(os.environ.get("DOCS_PER_MINUTE", "240"))
QUEUE = "Soak"

HEAD = re.compile(r"DOC (\d{6}) V(\d+) PAGE (\d+)/(\d+)")
FOOT = re.compile(r"END (\d{6}) V(\d+) PAGE (\d+)")


def page_count(rng):
    r = rng.random()
    if r < 0.70:
        return rng.randint(1, 5)
    if r < 0.95:
        return rng.randint(6, 20)
    return rng.randint(21, 50)


def document(doc, version, pages, rng):
    """The pages of a document version as bytes, each page one piece (form feeds between)."""
    out = []
    for p in range(1, pages + 1):
        lines = ["DOC %06d V%d PAGE %d/%d" % (doc, version, p, pages)]
        for n in range(rng.randint(3, 12)):
            lines.append("  D%dV%dP%d line %d  %s" % (doc, version, p, n, "abcdefghij" * rng.randint(1, 6)))
        lines.append("END %06d V%d PAGE %d" % (doc, version, p))
        out.append(("\r\n".join(lines) + "\r\n" + ("\f" if p < pages else "")).encode("ascii"))
    if rng.random() < 0.5:
        # The end marker, and what comes after it is no part of the document.
        out[-1] += b"\r\0JUNK AFTER THE END MARKER\r\n"
    return out


class ShareFile:
    """A file written through the share: smbclient puts its standard input under the name,
    and the file stays open on the server until that input is closed."""

    def __init__(self, client, name):
        self.process = subprocess.Popen(client + ["--command", "put /dev/stdin " + name], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.broken = False

    def write(self, data):
        # smbclient ends early when the put fails (the directory was removed meanwhile).
        try:
            self.process.stdin.write(data)
            self.process.stdin.flush()
        except BrokenPipeError:
            self.broken = True

    def close(self):
        """Whether the file was written whole."""
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            self.broken = True
        out = self.process.stdout.read()
        return self.process.wait() == 0 and not self.broken and b"NT_STATUS_" not in out


class Writer:
    def __init__(self, index, spool, lock, sequence, directory_ok, log_dir, deadline, quota, seed, client=None):
        self.client = client  # smbclient's arguments for the share; None: the directory itself
        self.index = index
        self.spool = spool
        self.lock = lock
        self.sequence = sequence
        self.directory_ok = directory_ok
        self.log = open(os.path.join(log_dir, "events-w%d.jsonl" % index), "w")
        self.deadline = deadline
        self.quota = quota
        self.rng = random.Random(seed)
        self.next_doc = 0

    def path(self, name):
        return os.path.join(self.spool, name)

    def event(self, **fields):
        """Called with the lock held."""
        self.sequence.value += 1
        fields["seq"] = self.sequence.value
        fields["t"] = time.time()
        self.log.write(json.dumps(fields) + "\n")

    def new_doc(self):
        doc = self.index + WRITERS * self.next_doc
        self.next_doc += 1
        return doc

    # Each step takes the lock for the file operation only, never across a sleep.
    def create(self, name, doc, version, pages):
        with self.lock:
            if not self.directory_ok.value:
                return None
            if self.client:
                existed = os.path.exists(self.path(name))
                self.event(op="create", name=name, doc=doc, ver=version, pages=pages, existed=existed)
                return ShareFile(self.client, name)
            try:
                fd = os.open(self.path(name), os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
                existed = False
            except FileExistsError:
                fd = os.open(self.path(name), os.O_WRONLY | os.O_TRUNC)
                existed = True
            except FileNotFoundError:
                return None
            self.event(op="create", name=name, doc=doc, ver=version, pages=pages, existed=existed)
            return fd

    def close(self, fd, doc, version, name=None):
        if self.client:
            # smbclient ends only after the server closed the file.
            whole = fd.close()
            with self.lock:
                if whole:
                    self.event(op="close", doc=doc, ver=version)
                elif name:
                    # The put failed (the directory was gone): nothing of it is left.
                    self.event(op="unlink", name=name)
            return
        with self.lock:
            os.close(fd)
            self.event(op="close", doc=doc, ver=version)

    def write(self, fd, pieces, slow):
        for piece in pieces:
            if self.client:
                fd.write(piece)
            else:
                os.write(fd, piece)
            if slow:
                time.sleep(slow)

    def smbclient(self, *commands):
        result = subprocess.run(self.client + ["--command", "; ".join(commands)], stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=60)
        return result.returncode == 0 and b"NT_STATUS_" not in result.stdout + result.stderr

    def rename(self, source, target):
        if self.client:
            with self.lock:
                existed = os.path.exists(self.path(target))
                if not self.smbclient("rename %s %s -f" % (source, target)):
                    return False
                self.event(op="rename", src=source, dst=target, existed=existed)
                return True
        with self.lock:
            existed = os.path.exists(self.path(target))
            try:
                os.rename(self.path(source), self.path(target))
            except FileNotFoundError:
                return False
            self.event(op="rename", src=source, dst=target, existed=existed)
            return True

    def unlink(self, name):
        if self.client:
            with self.lock:
                if not self.smbclient("del " + name):
                    return False
                self.event(op="unlink", name=name)
                return True
        with self.lock:
            try:
                os.unlink(self.path(name))
            except FileNotFoundError:
                return False
            self.event(op="unlink", name=name)
            return True

    def write_document(self, name, doc, version, slow=False, hold=0.0):
        pages = page_count(self.rng)
        pieces = document(doc, version, pages, self.rng)
        fd = self.create(name, doc, version, pages)
        if fd is None:
            return False
        pause = min(0.3, 3.0 / len(pieces)) * self.rng.random() if slow else 0
        self.write(fd, pieces, pause)
        if hold:
            time.sleep(hold)
        self.close(fd, doc, version, name)
        return True

    def prn(self):
        return "W%dR%02d.PRN" % (self.index, self.rng.randrange(12))

    def scenario(self):
        rng = self.rng
        doc = self.new_doc()
        kind = rng.random()
        if kind < 0.30:
            self.write_document(self.prn(), doc, 1)
        elif kind < 0.50:
            self.write_document(self.prn(), doc, 1, slow=True, hold=rng.uniform(0, 3))
        elif kind < 0.65:
            # Rewritten in place once or twice: each version a new document.
            name = self.prn()
            for version in range(1, rng.randint(2, 3) + 1):
                if version > 1:
                    time.sleep(rng.uniform(0, 2.5))
                if not self.write_document(name, doc, version, slow=rng.random() < 0.5):
                    break
        elif kind < 0.75:
            temp = "W%dT%02d.TMP" % (self.index, rng.randrange(12))
            if self.write_document(temp, doc, 1):
                time.sleep(rng.uniform(0, 0.5))
                self.rename(temp, self.prn())
        elif kind < 0.85:
            name = self.prn()
            if self.write_document(name, doc, 1):
                time.sleep(rng.uniform(0, 2))
                if rng.random() < 0.7:
                    self.rename(name, "W%dN%02d.prn" % (self.index, rng.randrange(6)))
                else:
                    old = "W%dO%02d.OLD" % (self.index, rng.randrange(6))
                    if self.rename(name, old):
                        time.sleep(rng.uniform(0, 1))
                        self.unlink(old)
        elif kind < 0.95:
            name = self.prn()
            if self.write_document(name, doc, 1):
                time.sleep(rng.uniform(0, 2))
                self.unlink(name)
        elif self.client:
            # Through the share a file cannot be deleted while its writer holds it open.
            self.write_document(self.prn(), doc, 1)
        else:
            # Deleted while its writer still holds it open.
            name = self.prn()
            pages = page_count(rng)
            pieces = document(doc, 1, pages, rng)
            fd = self.create(name, doc, 1, pages)
            if fd is None:
                return
            self.write(fd, pieces[: len(pieces) // 2 + 1], 0.05)
            self.unlink(name)
            self.write(fd, pieces[len(pieces) // 2 + 1:], 0.01)
            self.close(fd, doc, 1)

    def run(self):
        start = time.time()
        interval = (self.deadline - start) / self.quota
        for i in range(self.quota):
            pause = start + i * interval - time.time()
            if pause > 0:
                time.sleep(pause)
            if time.time() > self.deadline + 30:
                break
            self.scenario()
        self.log.close()


def run_writer(*args):
    Writer(*args).run()


def remove_directory(spool, lock, sequence, directory_ok, log):
    with lock:
        names = sorted(os.listdir(spool)) if os.path.isdir(spool) else []
        shutil.rmtree(spool, ignore_errors=True)
        directory_ok.value = 0
        sequence.value += 1
        log.write(json.dumps({"op": "rmdir", "names": names, "seq": sequence.value, "t": time.time()}) + "\n")
        log.flush()


def make_directory(spool, lock, sequence, directory_ok, log):
    with lock:
        os.makedirs(spool, exist_ok=True)
        directory_ok.value = 1
        sequence.value += 1
        log.write(json.dumps({"op": "mkdir", "seq": sequence.value, "t": time.time()}) + "\n")
        log.flush()


class Version:
    def __init__(self, doc, ver):
        self.key = (doc, ver)
        self.names = []
        self.closed = False
        self.taken = None  # why it is not left in place: overwritten, replaced, deleted, ...
        self.ever_prn = False
        self.pages = 0


def replay(events):
    """What became of each document version, from the writers' steps in their order."""
    versions = {}
    at = {}  # name -> version under it now, as far as the writers know
    for e in sorted(events, key=lambda e: e["seq"]):
        op = e["op"]
        if op == "create":
            if e["existed"] and e["name"] in at:
                at[e["name"]].taken = at[e["name"]].taken or "overwritten"
            v = versions.setdefault((e["doc"], e["ver"]), Version(e["doc"], e["ver"]))
            v.names.append(e["name"])
            v.pages = e["pages"]
            at[e["name"]] = v
        elif op == "close":
            versions[(e["doc"], e["ver"])].closed = True
        elif op == "rename":
            v = at.pop(e["src"], None)
            if e["existed"] and e["dst"] in at:
                at[e["dst"]].taken = at[e["dst"]].taken or "replaced by a rename"
            if v:
                v.names.append(e["dst"])
                at[e["dst"]] = v
        elif op == "unlink":
            v = at.pop(e["name"], None)
            if v:
                v.taken = v.taken or "deleted"
        elif op == "rmdir":
            for name in e["names"]:
                v = at.get(name)
                if v:
                    v.taken = v.taken or "deleted with the directory"
            at.clear()
    for v in versions.values():
        v.ever_prn = any(n.lower().endswith(".prn") for n in v.names)
        final_prn = v.names[-1].lower().endswith(".prn")
        if not v.taken and not final_prn:
            v.taken = "renamed away from .PRN" if v.ever_prn else "never under a .PRN name"
        if not v.taken and not v.closed:
            v.taken = "never closed"
    return versions


def read_job(job):
    number, title, pdf = job
    pages, count = spooler_rig.pdf_pages(pdf)
    return number, title, pages, count


def check(versions, jobs):
    faults = []
    printed = {}  # (doc, ver) -> list of page numbers in the order printed
    pages_total = 0
    title_re = re.compile(r"^Pagello : (.+)  (\d+)-(\d+)$")
    for number, title, pages, count in jobs:
        pages_total += len(pages)
        m = title_re.match(title)
        if not m:
            faults.append("job %d: title %r" % (number, title))
            continue
        name, first, last = m.group(1), int(m.group(2)), int(m.group(3))
        if count != last - first + 1 or len(pages) != count:
            faults.append("job %d %r: %s pages in the PDF" % (number, title, count))
        if count and count > PAGES_SPOOL:
            faults.append("job %d %r: more than %d pages" % (number, title, PAGES_SPOOL))
        keys = set()
        for i, text in enumerate(pages):
            head, foot = HEAD.search(text), FOOT.search(text)
            if "JUNK" in text:
                faults.append("job %d %r: text after the end marker printed" % (number, title))
            if not head or not foot or head.groups()[:3] != foot.groups():
                faults.append("job %d %r: page %d is not a whole page of a document: %r"
                              % (number, title, i + 1, text[:120]))
                continue
            doc, ver, page = int(head.group(1)), int(head.group(2)), int(head.group(3))
            keys.add((doc, ver))
            printed.setdefault((doc, ver), []).append(page)
            if page != first + i:
                faults.append("job %d %r: holds page %d of document %d v%d as its page %d"
                              % (number, title, page, doc, ver, first + i))
            v = versions.get((doc, ver))
            if v and name not in v.names:
                faults.append("job %d %r: document %d v%d was never named so" % (number, title, doc, ver))
        if len(keys) > 1:
            faults.append("job %d %r mixes documents %s" % (number, title, sorted(keys)))

    counts = {"written": len(versions), "left in place": 0, "printed": 0, "printed whole once": 0,
              "cut short by a rewrite": 0, "not printed (taken away)": 0}
    for key, v in sorted(versions.items()):
        got = printed.get(key, [])
        required = v.taken is None
        counts["left in place"] += required
        if got:
            counts["printed"] += 1
            if not v.ever_prn:
                faults.append("document %d v%d was printed but never had a .PRN name" % key)
        if len(set(got)) != len(got):
            faults.append("document %d v%d (%s): pages printed twice: %s" % (key[0], key[1], v.taken or "left", got))
            continue
        prefix = sorted(got) == list(range(1, len(got) + 1))
        complete = prefix and len(got) == v.pages
        if complete:
            counts["printed whole once"] += 1
        elif required:
            faults.append("document %d v%d under %s, closed and left in place: printed pages %s of %d"
                          % (key[0], key[1], v.names[-1], sorted(got), v.pages))
        elif not got:
            counts["not printed (taken away)"] += 1
        elif v.taken == "overwritten" and prefix:
            # Rewritten in place while it printed: the pages sent before stay printed.
            counts["cut short by a rewrite"] += 1
        else:
            faults.append("document %d v%d (%s): printed pages %s of %d"
                          % (key[0], key[1], v.taken, sorted(got), v.pages))
    for key in printed:
        if key not in versions:
            faults.append("document %d v%d was printed but never written" % key)
    counts["pages captured"] = pages_total
    counts["jobs captured"] = len(jobs)
    return counts, faults


def main():
    arguments = [a for a in sys.argv[1:] if a != "--smb"]
    smb = "--smb" in sys.argv[1:]
    build, minutes, out = arguments[0], float(arguments[1]), arguments[2]
    problem = spooler_rig.missing_prerequisite() or (smb and spooler_rig.PrivateSamba.missing_prerequisite())
    if problem:
        sys.exit("soak: " + problem)
    os.makedirs(out, exist_ok=True)
    work = spooler_rig.make_workdir("pagello-soak-")
    cups = spooler_rig.PrivateCups(work)
    cups.start()
    cups.add_raw_capture_queue(QUEUE)
    spooler = spooler_rig.Spooler(build, work, cups, PAGES_SPOOL)
    spooler.start()
    samba = None
    client = None
    if smb:
        samba = spooler_rig.PrivateSamba(work, spooler.spool)
        samba.start()
        client = samba.client_arguments()
    lock = multiprocessing.Lock()
    sequence = multiprocessing.Value("q", 0, lock=False)
    directory_ok = multiprocessing.Value("i", 1, lock=False)
    duration = minutes * 60
    start = time.time()
    deadline = start + duration
    quota = max(1, int(DOCS_PER_MINUTE * minutes / WRITERS))
    writers = [multiprocessing.Process(target=run_writer, args=(i, spooler.spool, lock, sequence, directory_ok, out,
                                                                deadline, quota, 1000 + i, client))
               for i in range(WRITERS)]
    for w in writers:
        w.start()
    print("soak: %d writers%s, about %d documents over %.0f minutes; spooler pid %d, work in %s"
          % (WRITERS, " through the Samba share on port %d" % samba.port if samba else "", quota * WRITERS, minutes,
             spooler.process.pid, work), flush=True)

    # The directory goes away and comes back a few times (about every 3 minutes, at least 3).
    removals = [start + duration * k / (max(3, int(minutes / 3)) + 1) for k in range(1, max(3, int(minutes / 3)) + 1)]
    directory_log = open(os.path.join(out, "events-dir.jsonl"), "w")
    rss = []  # (seconds since start, kB)
    crashed = False
    next_sample = start
    while any(w.is_alive() for w in writers):
        now = time.time()
        if now >= next_sample:
            value = spooler.status("VmRSS")
            if value is None:
                crashed = True
                break
            rss.append((now - start, value))
            next_sample += 2
        if removals and now >= removals[0]:
            removals.pop(0)
            remove_directory(spooler.spool, lock, sequence, directory_ok, directory_log)
            time.sleep(random.uniform(1, 3))
            make_directory(spooler.spool, lock, sequence, directory_ok, directory_log)
        time.sleep(0.2)
    written_at = time.time()
    print("soak: writers done after %.0f s" % (written_at - start), flush=True)

    # The queue drains: no spool file left, no job pending at the scheduler.
    drain_deadline = time.time() + 900
    while not crashed and time.time() < drain_deadline:
        left = [n for n in os.listdir(spooler.spool) if n.lower().endswith(".prn")]
        if not left:
            break
        if time.time() >= next_sample:
            value = spooler.status("VmRSS")
            crashed = value is None
            if value is not None:
                rss.append((time.time() - start, value))
            next_sample += 2
        time.sleep(0.5)
    left = [n for n in os.listdir(spooler.spool) if n.lower().endswith(".prn")]
    idle = cups.wait_idle(300)
    drained_at = time.time()
    peak = spooler.status("VmHWM")
    crashed = crashed or not spooler.running()
    spooler.stop()
    print("soak: queue drained %.0f s after the writers (%d spool files left, scheduler %s)"
          % (drained_at - written_at, len(left), "idle" if idle else "NOT idle"), flush=True)

    events = []
    for name in os.listdir(out):
        if name.startswith("events-") and name.endswith(".jsonl"):
            with open(os.path.join(out, name)) as f:
                events += [json.loads(line) for line in f if line.strip()]
    versions = replay(events)
    jobs = cups.captured_jobs(QUEUE)
    with ThreadPoolExecutor(2) as pool:
        read = list(pool.map(read_job, jobs))
    counts, faults = check(versions, read)
    if crashed:
        faults.insert(0, "the spooler ended during the run:\n" + spooler.log_tail())
    for name in left:
        faults.append("spool file %s was never printed and deleted" % name)
    if not idle:
        faults.append("jobs still pending at the scheduler:\n" + cups.pending())

    def median(values):
        values = sorted(values)
        return values[len(values) // 2] if values else 0

    first = [kb for t, kb in rss if t < 60]
    last = [kb for t, kb in rss if t >= rss[-1][0] - 60] if rss else []
    lines = ["soak of %.0f minutes, PagesSpool %d, %d writers%s"
             % (minutes, PAGES_SPOOL, WRITERS, " through a Samba share (smbclient)" if smb else "")]
    for key in ("written", "left in place", "printed", "printed whole once", "cut short by a rewrite",
                "not printed (taken away)", "pages captured", "jobs captured"):
        lines.append("  %-26s %d" % ("documents " + key if key in ("written", "left in place", "printed") else key,
                                      counts[key]))
    lines.append("  %-26s %d" % ("spool directory removed", sum(1 for e in events if e["op"] == "rmdir")))
    lines.append("  %-26s %d" % ("faults", len(faults)))
    lines.append("  spooler RSS: peak %.1f MB (VmHWM %.1f MB); median first minute %.1f MB, last minute %.1f MB, "
                 "growth %+.1f MB" % (max(kb for _, kb in rss) / 1024 if rss else 0, (peak or 0) / 1024,
                                      median(first) / 1024, median(last) / 1024,
                                      (median(last) - median(first)) / 1024))
    lines.append("  queue drained %.0f s after the writers stopped" % (drained_at - written_at))
    report = "\n".join(lines)
    with open(os.path.join(out, "report.txt"), "w") as f:
        f.write(report + "\n")
    with open(os.path.join(out, "faults.txt"), "w") as f:
        f.write("\n".join(faults) + "\n")
    with open(os.path.join(out, "rss.csv"), "w") as f:
        f.write("seconds,rss_kb\n" + "".join("%.1f,%d\n" % s for s in rss))
    shutil.copy(spooler.log, os.path.join(out, "pagello.log"))
    print(report)
    for fault in faults[:40]:
        print("FAULT: " + fault)
    if len(faults) > 40:
        print("... %d faults in all, see %s" % (len(faults), os.path.join(out, "faults.txt")))
    print("soak: outputs in %s" % out)
    if samba:
        samba.stop()
    cups.stop()
    shutil.rmtree(work, ignore_errors=True)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
