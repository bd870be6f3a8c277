#!/usr/bin/env python3
"""Writes the sample spool files of tests/data (run it after changing it; its output is kept
in the repository so that tests never need Python).

czech.prn: what a DOS invoicing program prints on a matrix printer, in code page 852:
three pages separated by form feeds, Czech letters, box drawing, bold (ESC E / ESC F),
condensed (SI / DC2), CR LF line ends, and the spooler's end marker (CR NUL) followed by
bytes that must never reach a page.

epson.prn: what a DOS program prints for an Epson ESC/P 2 printer: a reset, bold, 12 cpi,
italic, double width, an absolute column, a 24-dot bit image, underlining switched off by
a NUL parameter, and a second page.

laser.prn: what a DOS program prints for an HP PCL 5 laser printer: a job language header,
a reset, A4, PC-852, Courier 10 cpi, bold, a proportional Times line in italic, positions in
decipoints and in PCL units, a raster graphic in PackBits, a black and a grey rectangle, and
a second page.
"""

import os

ESC = "\x1b"
BOLD_ON, BOLD_OFF = ESC + "E", ESC + "F"
CONDENSED_ON, CONDENSED_OFF = "\x0f", "\x12"
FF = "\x0c"
CRLF = "\r\n"


def box(widths, rows):
    """A table framed with single lines; a row of None is a separator."""
    def rule(left, mid, right):
        return left + mid.join("─" * (w + 2) for w in widths) + right

    out = [rule("┌", "┬", "┐")]
    for row in rows:
        if row is None:
            out.append(rule("├", "┼", "┤"))
        else:
            out.append("│" + "│".join(" " + c.ljust(w) + " " for c, w in zip(row, widths)) + "│")
    out.append(rule("└", "┴", "┘"))
    return out


def page1():
    lines = [
        BOLD_ON + "FAKTURA č. 2024/0815" + BOLD_OFF,
        "",
        "Dodavatel: Účetní služby Řehoř, s.r.o., Žižkova 12, České Budějovice",
        "Odběratel: Kůň a syn, Dlouhá 7, Ústí nad Labem",
        "",
        "Příliš žluťoučký kůň úpěl ďábelské ódy.",
        "",
    ]
    lines += box([24, 8, 12], [
        ("Položka", "Počet", "Cena Kč"),
        None,
        ("Šroub M6 pozinkovaný", "120", "1 234,50"),
        ("Matice čtyřhranná", "80", "512,00"),
        ("Podložka ž. ocel", "200", "96,40"),
        None,
        ("Celkem", "", "1 842,90"),
    ])
    lines += ["", "═" * 52, "Děkujeme za včasnou úhradu."]
    return lines


def page2():
    lines = [
        BOLD_ON + "Příloha: rozpis dodávek" + BOLD_OFF,
        "",
        CONDENSED_ON + "Zhuštěný tisk: řádek obsahuje více znaků, než se vejde v normální hustotě písma." + CONDENSED_OFF,
        "Normální hustota: čeština s háčky a čárkami - ěščřžýáíéůú ĚŠČŘŽÝÁÍÉŮÚ.",
        "",
    ]
    lines += box([10, 30], [
        ("Datum", "Poznámka"),
        None,
        ("02.01.", "dodáno úplně"),
        ("15.01.", "částečně, zbytek příště"),
        ("29.01.", "vráceno: poškozený obal"),
    ])
    return lines


def page3():
    return [
        "Souhrn",
        "",
        "Razítko a podpis: ____________________",
        "",
        CONDENSED_ON + "Vytištěno programem pro DOS; strana 3 ze 3." + CONDENSED_OFF,
    ]


def encode(lines):
    return (CRLF.join(lines) + CRLF).encode("cp852")


def czech():
    body = encode(page1()) + FF.encode() + encode(page2()) + FF.encode() + encode(page3())
    # The end marker, then what a program left in its buffer: never printed.
    return body + b"\r\x00" + b"GARBAGE AFTER THE END MARKER\r\n\x0c\xff\x00\x1b@"


def epson():
    def text(s):
        return s.encode("cp852")

    out = b"\x1b@"
    out += b"\x1bE" + text("Faktura") + b"\x1bF" + text(" ESC/P") + b"\r\n"
    out += b"\x1bM" + text("Elite 12cpi") + b"\x1bP\r\n"
    out += b"\x1b4" + text("Kurzíva") + b"\x1b5\r\n"
    out += b"\x1bW\x01" + text("DVOJITÁ ŠÍŘKA") + b"\x1bW\x00\r\n"
    # One inch (60/60) from the left margin.
    out += b"\x1b$\x3c\x00" + text("Sloupec") + b"\r\n"
    # Two inches in, a bar half an inch wide: 90 columns of 24 dots at 180 dpi.
    out += text("Graf:") + b"\x1b$\x78\x00\x1b*\x27\x5a\x00" + b"\xff" * 270 + text(" konec") + b"\r\n"
    out += b"\x1b-\x01" + text("Podtrženo") + b"\x1b-\x00" + text(" normálně") + b"\r\n"
    out += b"\x0c" + text("Strana 2") + b"\r\n\x0c"
    return out


def laser():
    def text(s):
        return s.encode("cp852")

    esc = b"\x1b"
    out = esc + b"%-12345X@PJL ENTER LANGUAGE=PCL\r\n" + esc + b"E"
    out += esc + b"&l26a0O" + esc + b"(17U" + esc + b"(s0p10h12v0s0b4099T"
    out += text("Faktura PCL") + b"\r\n"
    out += esc + b"(s3B" + text("Tučně") + esc + b"(s0B" + text(" obyčejně") + b"\r\n"
    out += esc + b"(s1p12v0s0b4101T" + text("Times") + esc + b"(s1S" + text(" kurzíva") + esc + b"(s0S"
    out += esc + b"(s0p10h12v0s0b4099T\r\n"
    # One inch from the left edge of the logical page, in decipoints.
    out += esc + b"&a720H" + text("Sloupec") + b"\r\n"
    # Two inches in and five below the top margin, in PCL units.
    out += esc + b"*p600x1500Y" + text("Pozice")
    # At one inch in and six below the top margin, a black bar of 160 x 75 dots at 150 dpi,
    # each row of 20 bytes packed as one repeat.
    out += esc + b"*p300x1800Y" + esc + b"*t150R" + esc + b"*r160S" + esc + b"*r1A"
    out += (esc + b"*b2m2W\xed\xff") * 75 + esc + b"*rB"
    # Beside it, a black rectangle an inch by half an inch and a grey one of 50 percent.
    out += esc + b"*p1200x1800Y" + esc + b"*c300a150b0P"
    out += esc + b"*p1800x1800Y" + esc + b"*c150a150b50g2P"
    out += b"\r\x0c" + text("Strana 2") + b"\r\n" + esc + b"E"
    return out


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(here, "czech.prn"), "wb") as f:
        f.write(czech())
    with open(os.path.join(here, "epson.prn"), "wb") as f:
        f.write(epson())
    with open(os.path.join(here, "laser.prn"), "wb") as f:
        f.write(laser())


if __name__ == "__main__":
    main()
