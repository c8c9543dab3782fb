#!/usr/bin/env python3
"""Writes zarvek.hlp, the program's help file, in the WinHelp 3.1 file format,
and the same help as one HTML page, zarvek.html, for Windows without the
WinHelp viewer (every Windows since Vista): one source, two forms.

The format: a 16-byte file header; internal files, each behind a 9-byte file
header; a directory of the internal files as a B+ tree. The help viewer reads
|SYSTEM (version, title, contents topic, start-up macros), |TOPIC (topic
headers and paragraphs in 4 KB blocks, stored uncompressed), |FONT, |CONTEXT
(context-name hash -> topic offset, for jumps) and |TTLBTREE (topic titles).

Usage: make_help.py OUTPUT.hlp [OUTPUT.html]
"""
import html
import struct
import sys

# --------------------------------------------------------------------------
# What the help says. A paragraph is a list of spans: a plain string, or
# ("b", text) for the program's own texts, or ("jump", context, text).

INDENT = 28  # half-points

TOPICS = [
    ("contents", "Zarvek Help", [
        ["Zarvek copies files from one computer to another over a serial (RS-232) "
         "cable. The same program runs at both ends: on one computer you choose "
         "Receive, on the other you choose Send and pick the files."],
        {"indent": INDENT, "spans": [("jump", "cable", "Connecting the cable")]},
        {"indent": INDENT, "spans": [("jump", "receive_first", "Receive before Send")]},
        {"indent": INDENT, "spans": [("jump", "settings", "The settings")]},
        {"indent": INDENT, "spans": [("jump", "verified", "Verified transfers")]},
        {"indent": INDENT, "spans": [("jump", "messages", "What the messages mean")]},
        {"indent": INDENT, "spans": [("jump", "keys", "Menus and keys")]},
    ]),
    ("cable", "Connecting the cable", [
        ["Join the two computers with a null-modem cable: a serial cable whose "
         "transmit and receive wires are crossed, so that what one computer sends "
         "arrives on the other computer's receive pin. A straight extension cable "
         "does not work."],
        ["With 9-pin connectors the cable joins:"],
        {"indent": INDENT, "spans": ["pin 2 (receive) to pin 3 (transmit),"]},
        {"indent": INDENT, "spans": ["pin 3 (transmit) to pin 2 (receive),"]},
        {"indent": INDENT, "spans": ["pin 5 (signal ground) to pin 5."]},
        ["Zarvek uses only these three wires. Note which port (COM1, COM2, ... or, "
         "for a USB serial adapter, often COM3 to COM20) the cable is plugged into at each end, choose that port in Communications "
         "Setup, and choose the same speed at both ends. Nothing checks that the "
         "speeds match: with different speeds the packets arrive garbled."],
    ]),
    ("receive_first", "Receive before Send", [
        ["The receiving end must be waiting before the sending end starts."],
        {"indent": INDENT, "spans": [
            "1. On the receiving computer choose Setup > Receive Folder (Ctrl+F) if "
            "the files are to go elsewhere than the receive folder (see The "
            "settings). Then choose Action > Receive (Ctrl+R). The title becomes ",
            ("b", "ZARVEK [RECEIVE MODE]"), " and Zarvek waits for files."]},
        {"indent": INDENT, "spans": [
            "2. Then, on the sending computer, choose Action > Send (Ctrl+S), pick "
            "one or more files in the dialog ", ("b", "File(s) To Send"),
            " and press Open. The title becomes ", ("b", "ZARVEK [SEND MODE]"),
            "; the status line shows the file being sent and the bar its progress. "
            "To send a folder with everything in it, choose Action > Send Folder... "
            "instead and pick the folder."]},
        {"indent": INDENT, "spans": [
            "3. When the last file has gone, the sending window returns to ",
            ("b", "ZARVEK [IDLE]"), " and plays a sound. The receiving end keeps "
            "waiting for more files until its user chooses Action > Abort (Esc)."]},
        ["A folder arrives under its own name in the receive folder, with its "
         "subfolders, when Zarvek runs at both ends; links in it are not sent, and "
         "Zarvek lists them before it starts. An older program at the other end "
         "gets every file under its own name, without the folders."],
        ["If Send is started first, its packets are lost and the sender waits for "
         "an answer that never comes: press Esc on the sending computer, start "
         "Receive on the other one, and send again."],
        ["Files arrive under the names they had on the sending computer; a file of "
         "the same name in the receive folder is replaced without a question. With "
         "an older program at one end, if the sender aborts, the receiving end "
         "deletes the part of the file it has received; if the receiver aborts, "
         "the file stays at its full size with its missing part empty: send it "
         "again. Between two Zarvek ends a file cut off is kept to be taken up "
         "(see Verified transfers)."],
    ]),
    ("settings", "The settings", [
        ["Setup > Comm Setup (Ctrl+C) opens Communications Setup. Every choice "
         "takes effect at once; OK or Enter closes the dialog. There is no Cancel, "
         "and Esc does not close it. The choices are kept for the next start (see "
         "below); without kept choices Zarvek starts with COM2, 115200 and 4."],
        {"indent": INDENT, "spans": [
            ("b", "Port Number"), ": COM1, COM2, COM3 or COM4, the port the cable is "
            "plugged into. PORT: shows the current choice. Default COM2."]},
        {"indent": INDENT, "spans": [
            ("b", "Ports Present"), ": every serial port this computer has now, "
            "USB adapters included, each with the name its device goes by (as in "
            "the Device Manager); the list is read afresh each time the dialog "
            "opens. Choosing one sets the port as a button does."]},
        {"indent": INDENT, "spans": [
            ("b", "Port Speed"), ": 9600, 19200, 57600 or 115200 bit/s, always with "
            "8 data bits, no parity and one stop bit. SPEED: shows the current "
            "choice. Both ends must use the same speed. Default 115200."]},
        {"indent": INDENT, "spans": [
            ("b", "Adapter Speeds"), ": 230400, 460800 or 921600 bit/s, which USB "
            "serial adapters reach; a motherboard port stops at 115200. Both ends "
            "must use the same speed."]},
        {"indent": INDENT, "spans": [
            ("b", "Sender's CRC Retry Value"), ": how many times in a row the sender "
            "sends a packet again that arrived damaged before it gives up the file, "
            "from 1 to 20. Only the sending end uses it. Default 4."]},
        ["Setup > Receive Folder (Ctrl+F) chooses the folder that holds received "
         "files. Until one is chosen it is the folder Zarvek was started in, or "
         "your Documents folder when that folder is under Program Files (as when "
         "Zarvek is started from the Start menu) or Zarvek may not write to it."],
        ["Both commands are available only while Zarvek is idle; during a transfer "
         "they are grayed, and so are their keys."],
        ["Zarvek keeps these settings, and where its window stands, for each user "
         "in the file %APPDATA%\\Zarvek\\zarvek.ini. A kept setting that no longer "
         "fits (a port that is not there now, a folder that has been removed, a "
         "window place on a monitor since unplugged) gives way to its start "
         "value without a message. Delete the file to start afresh."],
    ]),
    ("verified", "Verified transfers", [
        ["When Zarvek runs at both ends, the two agree for each file to check it "
         "over all its bytes: every packet after the name carries a checksum of "
         "all its bytes, and at the end the receiving end compares the whole file "
         "with the sender's. A file that does not match is deleted at the "
         "receiving end and sent again, up to the Sender's CRC Retry Value of "
         "times. With an older program at the other end, files travel as that "
         "program sends and receives them."],
        ["Verified files are also streamed: the sending end sends packet after "
         "packet without waiting for each answer, and the receiving end says "
         "which arrived and asks again for any that did not. Through a USB "
         "serial adapter this is up to twice as fast. A file that was streamed "
         "says so: ", ("b", "Verified: a.txt (1500 bytes, streamed)"), "."],
        ["A verified file that is cut off (an abort, a pulled cable) is not lost: "
         "the receiving end keeps what arrived, and when the same file is sent "
         "again, only the rest goes over the line. Such a file says so: ",
         ("b", "Resumed: a.txt (1500 bytes, from byte 1024)"), "."],
        ["While receiving, the status line names each file that arrived "
         "verified (", ("b", "Verified: a.txt (1500 bytes, streamed)"), ") and each that did "
         "not arrive complete (", ("b", "Not received: ..."), ") until the next "
         "file begins. When receiving ends (Abort), one box lists them all."],
    ]),
    ("messages", "What the messages mean", [
        [("b", "Select a different port."), " (Whoopsy: COM port in use!) The port "
         "chosen in Communications Setup does not exist or another program holds "
         "it. Nothing was sent or received; Zarvek is idle again. Choose another "
         "port or close the other program."],
        [("b", "Too Contiguous CRC Errors, Aborting Transmission"), " (CRC Errors) "
         "The receiving end reported a damaged packet as many times in a row as the "
         "Sender's CRC Retry Value allows. The file is abandoned and deleted at the "
         "receiving end; the remaining files of the selection are abandoned the same "
         "way, each with this message. Check the cable and that both ends use the "
         "same speed, then send again."],
        [("b", "Invalid Packet"), " (Error) The receiving end could not read from "
         "the port. It waits for the next file; the sending end waits for an answer "
         "until its user aborts."],
        [("b", "Cannot send ..."), " (Error) A chosen file cannot be sent: it cannot "
         "be read, is 4 GB or larger, or its name is longer than 99 characters. "
         "Nothing of it was sent; the other files go on."],
        [("b", "The port failed while waiting for the reply ..."), " (Error) The port "
         "stopped working (for example a USB adapter was pulled out). The file was "
         "not sent complete and no further file is sent; the receiving end deletes "
         "its copy."],
        [("b", "These files did not arrive complete"), " (Receive Mode) Shown when "
         "receiving ends: each file that was refused, arrived incomplete, was "
         "aborted by the sender or interrupted, and each file that arrived "
         "verified."],
        [("b", "Sorry, too many files selected!"), " (Error) The names of the chosen "
         "files do not fit in 25,600 characters. Send them in smaller groups."],
        [("b", "Data Transfer in Progress, Exit Zarvek?"), " (Sending Data!) Exit "
         "while sending. OK stops the transfer and quits; the receiving end deletes "
         "the file it was receiving. Cancel goes on sending."],
        [("b", "Still In Receive Mode, Exit Zarvek?"), " (Receive Mode) Exit while "
         "receiving. OK quits at once; a file being received stays as it is. Cancel "
         "goes on receiving."],
        [("b", "Send thread error, Aborting"), " or ", ("b", "Receive thread error, "
         "Aborting"), " (Error) The previous transfer did not end within a few "
         "seconds. Zarvek quits; start it again."],
        [("b", "Error closing thread handle!"), " (Error) A system resource of the "
         "previous transfer could not be released. The new transfer starts anyway."],
        ["The title shows the mode: ", ("b", "ZARVEK [SEND MODE]"), ", ",
         ("b", "ZARVEK [RECEIVE MODE]"), " or ", ("b", "ZARVEK [IDLE]"), "."],
    ]),
    ("keys", "Menus and keys", [
        {"indent": INDENT, "spans": ["Action > Send: Ctrl+S"]},
        {"indent": INDENT, "spans": ["Action > Send Folder...: no key"]},
        {"indent": INDENT, "spans": ["Action > Receive: Ctrl+R"]},
        {"indent": INDENT, "spans": ["Action > Abort: Esc, while sending or receiving"]},
        {"indent": INDENT, "spans": ["Action > Exit: Ctrl+E"]},
        {"indent": INDENT, "spans": ["Setup > Comm Setup: Ctrl+C"]},
        {"indent": INDENT, "spans": ["Setup > Receive Folder: Ctrl+F"]},
        {"indent": INDENT, "spans": ["Help > Contents: F1"]},
        ["Send, Send Folder, Receive, Comm Setup and Receive Folder are grayed while a transfer "
         "runs; Abort is grayed while Zarvek is idle. A grayed command's key does "
         "nothing."],
    ]),
]

TITLE = "Zarvek Help"
START_MACROS = ["BrowseButtons()"]

# Fonts: face, half-points, attributes (1 bold), family (1 modern, 2 roman, 3 swiss).
FONTS = [("Arial", 20, 0, 3), ("Arial", 28, 1, 3), ("Arial", 20, 1, 3)]
FONT_BODY, FONT_HEADING, FONT_BOLD = 0, 1, 2

TOPIC_BLOCK = 4096        # |SYSTEM minor 21, flags 0: uncompressed 4 KB blocks
BLOCK_HEADER = 12
LINK_HEADER = 21

# --------------------------------------------------------------------------
# Encodings


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def cushort(v):  # compressed unsigned short
    assert 0 <= v < 0x8000
    return bytes([v * 2]) if v < 0x80 else bytes([1 + (v % 128) * 2, v // 128])


def csshort(v):  # compressed signed short
    return cushort(v + 64) if -64 <= v < 64 else cushort(v + 16384)


def culong(v):  # compressed unsigned long
    return u16(v * 2) if v < 0x8000 else u16(1 + (v % 32768) * 2) + u16(v // 32768)


def cslong(v):  # compressed signed long
    return culong(v + 16384) if -0x4000 <= v < 0x4000 else culong(v + 67108864)


def text(s):
    return s.encode("cp1252")


def context_hash(name):
    """The viewer finds jump targets by this hash of the context name."""
    h = 0
    for c in name:
        if "A" <= c <= "Z":
            x = ord(c) - ord("A") + 17
        elif "a" <= c <= "z":
            x = ord(c) - ord("a") + 17
        elif "1" <= c <= "9":
            x = ord(c) - ord("0")
        elif c == "0":
            x = 10
        elif c == ".":
            x = 12
        elif c == "_":
            x = 13
        else:
            raise ValueError(f"context name {name!r}: only letters, digits, '.' and '_'")
        h = (h * 43 + x) & 0xFFFFFFFF
    return h - (1 << 32) if h & 0x80000000 else h  # signed, as the tree sorts it


# --------------------------------------------------------------------------
# Topic records (TOPICLINKs)


class Link:
    def __init__(self, kind, data1, data2, topic=None):
        self.kind = kind            # 2 topic header, 0x20 paragraph
        self.data1 = data1
        self.data2 = data2
        self.topic = topic          # context name, for topic headers
        self.pos = self.offset = 0  # TOPICPOS and TOPICOFFSET, set by layout()

    def size(self):
        return LINK_HEADER + len(self.data1) + len(self.data2)


def paragraph(spans, font, space_above, indent):
    """A displayable-text record: formatting commands in data1, NUL-separated
    strings in data2, one string before each command."""
    bits, attrs = 0, b""
    if space_above:
        bits |= 0x0002
        attrs += csshort(space_above)
    if indent:
        bits |= 0x0010
        attrs += csshort(indent)
    cmds = bytes([0x00, 0x80]) + u16(0) + u16(bits) + attrs
    strings = bytearray()

    def command(c):
        nonlocal cmds
        strings.append(0)
        cmds += c

    command(b"\x80" + u16(font))
    for span in spans:
        if isinstance(span, str):
            strings += text(span)
        elif span[0] == "b":
            command(b"\x80" + u16(FONT_BOLD))
            strings += text(span[1])
            command(b"\x80" + u16(font))
        elif span[0] == "jump":
            command(b"\xE3" + u32(context_hash(span[1])))
            strings += text(span[2])
            command(b"\x89")
        else:
            raise ValueError(span)
    command(b"\x82")  # end of paragraph
    command(b"\xFF")  # end of formatting
    head = cslong(len(cmds)) + cushort(len(strings))
    return Link(0x20, head + cmds, bytes(strings))


def build_links():
    links = []
    for context, title, paras in TOPICS:
        links.append(Link(2, bytes(28), text(title), topic=context))
        links.append(paragraph([title], FONT_HEADING, 0, 0))
        for p in paras:
            if isinstance(p, list):
                p = {"spans": p}
            links.append(paragraph(p["spans"], FONT_BODY, 12, p.get("indent", 0)))
    links.append(Link(2, bytes(28), b""))  # closing record: carries no topic
    return links


def layout(links):
    """Places the records in blocks: a record may run on into the next block,
    but its 21-byte header and its data1 stay in one block."""
    block, pos, chars = 0, BLOCK_HEADER, 0
    for link in links:
        if TOPIC_BLOCK - pos < LINK_HEADER + len(link.data1):
            block, pos, chars = block + 1, BLOCK_HEADER, 0
        link.pos = block * 0x4000 + pos
        link.offset = block * 0x8000 + chars
        pos += link.size()
        if link.kind != 2:
            chars += len(link.data2)  # a topic offset counts displayed characters
        while pos > TOPIC_BLOCK:
            block, pos, chars = block + 1, pos - (TOPIC_BLOCK - BLOCK_HEADER), 0


def topic_file(links):
    layout(links)
    headers = [i for i, link in enumerate(links) if link.kind == 2]
    first_para = {}
    for i in headers:
        if i + 1 < len(links) and links[i + 1].kind != 2:
            first_para[i] = links[i + 1].pos
    topics = [links[i] for i in headers if links[i].topic]
    for number, i in enumerate(headers):
        link = links[i]
        end = headers[headers.index(i) + 1] if i != headers[-1] else len(links)
        t = topics.index(link) if link.topic else -1
        prev_t = topics[t - 1].offset if t > 0 else -1
        next_t = topics[t + 1].offset if 0 <= t < len(topics) - 1 else -1
        link.data1 = (u32(sum(l.size() for l in links[i:end])) + u32(prev_t) +
                      u32(next_t) + u32(number) + u32(-1) +
                      u32(first_para.get(i, -1)) +
                      u32(links[end].pos if end < len(links) else -1))

    stream = {}  # block number -> bytearray of its data part
    starts = {}  # block number -> records starting in it

    def put(block, pos, data):
        while data:
            room = TOPIC_BLOCK - pos
            buf = stream.setdefault(block, bytearray(TOPIC_BLOCK - BLOCK_HEADER))
            buf[pos - BLOCK_HEADER:pos - BLOCK_HEADER + min(room, len(data))] = data[:room]
            data = data[room:]
            block, pos = block + 1, BLOCK_HEADER

    for i, link in enumerate(links):
        prev = links[i - 1].pos if i > 0 else -1
        nxt = links[i + 1].pos if i + 1 < len(links) else -1
        header = (u32(link.size()) + u32(len(link.data2)) + u32(prev) + u32(nxt) +
                  u32(LINK_HEADER + len(link.data1)) + bytes([link.kind]))
        block, pos = link.pos >> 14, link.pos & 0x3FFF
        starts.setdefault(block, []).append(link)
        put(block, pos, header + link.data1 + link.data2)

    out = bytearray()
    last_link, last_header = -1, -1
    for block in range(max(stream) + 1):
        first = starts[block][0].pos if block in starts else -1
        out += u32(last_link) + u32(first) + u32(last_header)
        out += stream.get(block, bytes(TOPIC_BLOCK - BLOCK_HEADER))
        for link in starts.get(block, []):
            last_link = link.pos
            if link.kind == 2:
                last_header = link.pos
    return bytes(out)


# --------------------------------------------------------------------------
# The other internal files


def btree(flags, page_size, structure, entries):
    """A B+ tree of one leaf page (enough for this file's few entries)."""
    body = b"".join(entries)
    free = page_size - 8 - len(body)
    if free < 0:
        raise ValueError(f"B+ tree {structure}: entries need more than one page")
    page = u16(free) + u16(len(entries)) + u16(-1) + u16(-1) + body + bytes(free)
    header = (u16(0x293B) + u16(flags) + u16(page_size) +
              structure.encode().ljust(16, b"\0") + u16(0) + u16(0) + u16(0) +
              u16(-1) + u16(1) + u16(1) + u32(len(entries)))
    return header + page


def system_file(contents_offset):
    out = u16(0x036C) + u16(21) + u16(1) + u32(0) + u16(0)  # 3.1, no compression

    def record(kind, data):
        return u16(kind) + u16(len(data)) + data

    out += record(1, text(TITLE) + b"\0")
    out += record(3, u32(contents_offset))
    for macro in START_MACROS:
        out += record(4, text(macro) + b"\0")
    return out


def font_file():
    faces = sorted({f[0] for f in FONTS})
    face_len = 20
    out = u16(len(faces)) + u16(len(FONTS)) + u16(8) + u16(8 + face_len * len(faces))
    for face in faces:
        out += text(face).ljust(face_len, b"\0")
    for face, half_points, attrs, family in FONTS:
        out += bytes([attrs, half_points, family]) + u16(faces.index(face)) + bytes(6)
    return out


def help_file():
    links = build_links()
    topic = topic_file(links)
    headers = {l.topic: l for l in links if l.kind == 2 and l.topic}
    contexts = sorted((context_hash(name), link.offset) for name, link in headers.items())
    if len({h for h, _ in contexts}) != len(contexts):
        raise ValueError("two context names share a hash")
    titles = sorted((link.offset, link.data2) for link in headers.values())
    files = {
        "|CONTEXT": btree(0x0002, 0x0800, "L4",
                          [u32(h) + u32(off) for h, off in contexts]),
        "|FONT": font_file(),
        "|SYSTEM": system_file(headers[TOPICS[0][0]].offset),
        "|TOPIC": topic,
        "|TTLBTREE": btree(0x0002, 0x0800, "Lz",
                           [u32(off) + title + b"\0" for off, title in titles]),
    }
    out = bytearray(16)
    directory = []
    for name in sorted(files, key=lambda n: n.encode()):
        directory.append(text(name) + b"\0" + u32(len(out)))
        data = files[name]
        out += u32(len(data) + 9) + u32(len(data)) + b"\x04" + data
    start = len(out)
    data = btree(0x0402, 0x0400, "z4", directory)
    out += u32(len(data) + 9) + u32(len(data)) + b"\x04" + data
    out[0:16] = u32(0x00035F3F) + u32(start) + u32(-1) + u32(len(out))
    return bytes(out)


def html_file():
    """The same topics as one page; jumps become links to the topic's anchor."""
    def span(part):
        if isinstance(part, str):
            return html.escape(part)
        if part[0] == "b":
            return "<b>" + html.escape(part[1]) + "</b>"
        return '<a href="#%s">%s</a>' % (part[1], html.escape(part[2]))

    body = []
    for context, title, paragraphs in TOPICS:
        body.append('<h%d id="%s">%s</h%d>' % (1 if context == TOPICS[0][0] else 2, context,
                                                 html.escape(title), 1 if context == TOPICS[0][0] else 2))
        for p in paragraphs:
            spans = p["spans"] if isinstance(p, dict) else p
            indent = ' class="indent"' if isinstance(p, dict) and p.get("indent") else ""
            body.append("<p%s>%s</p>" % (indent, "".join(span(x) for x in spans)))
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"windows-1252\"><title>%s</title>\n"
            "<style>body{font-family:Arial,sans-serif;max-width:42em;margin:1em auto}"
            ".indent{margin-left:1.5em}</style></head><body>\n%s\n</body></html>\n"
            % (html.escape(TITLE), "\n".join(body)))


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    with open(sys.argv[1], "wb") as f:
        f.write(help_file())
    if len(sys.argv) == 3:
        with open(sys.argv[2], "w", encoding="cp1252", newline="\r\n") as f:
            f.write(html_file())
