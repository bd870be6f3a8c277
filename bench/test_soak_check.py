#!/usr/bin/env python3
"""The soak's verdicts, on writers' steps and printed jobs made up here: what counts as
left in place, and which jobs are faults. A checker that lets a mixed or doubled
document through would make every soak figure worthless."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import soak  # noqa: E402


class Steps:
    """Writers' steps in order, as soak.py logs them."""

    def __init__(self):
        self.events = []

    def add(self, op, **fields):
        self.events.append(dict(fields, op=op, seq=len(self.events) + 1))
        return self

    def write(self, name, doc, ver=1, pages=2, existed=False):
        self.add("create", name=name, doc=doc, ver=ver, pages=pages, existed=existed)
        return self.add("close", doc=doc, ver=ver)


def page(doc, ver, p, n, junk=False):
    text = "DOC %06d V%d PAGE %d/%d\n  body\nEND %06d V%d PAGE %d\n" % (doc, ver, p, n, doc, ver, p)
    return text + ("JUNK AFTER THE END MARKER\n" if junk else "")


def job(number, name, first, pages):
    """A job as read back: (number, title, page texts, page count)."""
    return (number, "Pagello : %s  %d-%d" % (name, first, first + len(pages) - 1), pages, len(pages))


def document_jobs(name, doc, ver, n, start=1):
    jobs, p = [], 1
    while p <= n:
        last = min(n, p + soak.PAGES_SPOOL - 1)
        jobs.append(job(start + len(jobs), name, p, [page(doc, ver, q, n) for q in range(p, last + 1)]))
        p = last + 1
    return jobs


class Replay(unittest.TestCase):
    def test_what_becomes_of_each_version(self):
        s = Steps()
        s.write("A.PRN", 1)                               # left in place
        s.write("B.PRN", 2).write("B.PRN", 2, ver=2, existed=True)  # v1 overwritten, v2 left
        s.write("C.TMP", 3).add("rename", src="C.TMP", dst="C.PRN", existed=False)  # published
        s.write("D.PRN", 4).add("rename", src="D.PRN", dst="A.PRN", existed=True)   # replaces doc 1
        s.write("E.PRN", 5).add("rename", src="E.PRN", dst="E.OLD", existed=False)  # renamed away
        s.write("F.PRN", 6).add("unlink", name="F.PRN")   # deleted
        s.add("create", name="G.PRN", doc=7, ver=1, pages=1, existed=False)      # never closed
        s.write("H.PRN", 8).add("rmdir", names=["H.PRN"]).add("mkdir")           # gone with the directory
        s.write("I.TMP", 9)                               # never a spool file
        taken = {key[0]: v.taken for key, v in soak.replay(s.events).items() if key[1] == 1}
        self.assertEqual(taken, {1: "replaced by a rename", 2: "overwritten", 3: None, 4: None,
                                 5: "renamed away from .PRN", 6: "deleted", 7: "never closed",
                                 8: "deleted with the directory", 9: "never under a .PRN name"})
        self.assertIsNone(soak.replay(s.events)[(2, 2)].taken)


class Check(unittest.TestCase):
    def verdict(self, steps, jobs):
        return soak.check(soak.replay(steps.events), jobs)

    def test_documents_printed_whole_once_pass(self):
        s = Steps().write("A.PRN", 1, pages=7).write("B.PRN", 2, pages=1)
        counts, faults = self.verdict(s, document_jobs("A.PRN", 1, 1, 7) + document_jobs("B.PRN", 2, 1, 1, 10))
        self.assertEqual(faults, [])
        self.assertEqual((counts["left in place"], counts["printed whole once"], counts["jobs captured"],
                          counts["pages captured"]), (2, 2, 4, 8))

    def test_lost_doubled_mixed_and_misnumbered_pages_are_faults(self):
        s = Steps().write("A.PRN", 1, pages=4).write("A.PRN", 1, ver=2, pages=4, existed=True)
        cases = {
            "a document left in place never printed": [],
            "a page printed twice": document_jobs("A.PRN", 1, 2, 4) + [job(9, "A.PRN", 1, [page(1, 2, 1, 4)])],
            "a job holding two versions": [job(1, "A.PRN", 1, [page(1, 1, 1, 4), page(1, 1, 2, 4), page(1, 2, 3, 4)]),
                                           job(2, "A.PRN", 4, [page(1, 2, 4, 4)])],
            "a page under another number than its title says": [job(1, "A.PRN", 1, [page(1, 2, 2, 4)])],
            "text after the end marker": document_jobs("A.PRN", 1, 2, 3) + [job(5, "A.PRN", 4, [page(1, 2, 4, 4, True)])],
            "a page cut off": document_jobs("A.PRN", 1, 2, 3) + [job(5, "A.PRN", 4, ["DOC 000001 V2 PAGE 4/4\n"])],
            "a job under a name the document never had": document_jobs("Z.PRN", 1, 2, 4),
        }
        for name, jobs in cases.items():
            with self.subTest(name):
                self.assertNotEqual(self.verdict(s, jobs)[1], [])

    def test_a_version_taken_away_may_be_missing_or_whole_and_only_a_rewritten_one_cut_short(self):
        s = Steps().write("A.PRN", 1, pages=6).write("A.PRN", 1, ver=2, pages=2, existed=True)
        s.write("B.PRN", 2, pages=6).add("unlink", name="B.PRN")
        v2 = document_jobs("A.PRN", 1, 2, 2, 20)
        counts, faults = self.verdict(s, document_jobs("A.PRN", 1, 1, 3) + v2)
        self.assertEqual(faults, [])
        self.assertEqual(counts["cut short by a rewrite"], 1)
        self.assertEqual(self.verdict(s, document_jobs("B.PRN", 2, 1, 6) + v2)[1], [])
        self.assertEqual(self.verdict(s, v2)[0]["not printed (taken away)"], 2)
        self.assertNotEqual(self.verdict(s, document_jobs("B.PRN", 2, 1, 3) + v2)[1], [])

    def test_a_document_that_never_had_a_spool_name_must_not_print(self):
        s = Steps().write("C.TMP", 3, pages=1)
        self.assertNotEqual(self.verdict(s, document_jobs("C.TMP", 3, 1, 1))[1], [])


if __name__ == "__main__":
    unittest.main()
