#!/usr/bin/env python3
"""The help in both forms, as built: every jump of zarvek.html leads to a
topic, and every jump of zarvek.hlp names a context its |CONTEXT holds, so
that the viewer finds the topic. Usage: help_test.py zarvek.hlp zarvek.html"""
import re
import struct
import sys

hlp = open(sys.argv[1], "rb").read()
page = open(sys.argv[2], encoding="cp1252").read()
u16 = lambda at: struct.unpack_from("<H", hlp, at)[0]
u32 = lambda at: struct.unpack_from("<I", hlp, at)[0]


def leaf(internal_file):  # entries of a B+ tree of one leaf page: 38-byte header, 8-byte page header
    page_at = internal_file + 9 + 38
    return page_at + 8, u16(page_at + 2)


assert u32(0) == 0x00035F3F, "zarvek.hlp is not a help file"
files, (at, n) = {}, leaf(u32(4))
for _ in range(n):
    name = hlp[at:hlp.index(b"\0", at)].decode()
    files[name] = u32(at + len(name) + 1)
    at += len(name) + 5
at, n = leaf(files["|CONTEXT"])
contexts = {u32(at + 8 * i) for i in range(n)}
topic = files["|TOPIC"]
topic_bytes = hlp[topic + 9:topic + 9 + u32(topic + 4)]
hlp_jumps = [i for i in range(len(topic_bytes) - 4)
             if topic_bytes[i] == 0xE3 and struct.unpack_from("<I", topic_bytes, i + 1)[0] in contexts]

ids = set(re.findall(r' id="([^"]+)"', page))
jumps = re.findall(r'href="#([^"]+)"', page)
failures = [f"zarvek.html: a jump to '{j}', which is no topic" for j in jumps if j not in ids]
if len(ids) != n:
    failures.append(f"zarvek.hlp holds {n} contexts for {len(ids)} topics")
if not jumps or len(hlp_jumps) != len(jumps):
    failures.append(f"zarvek.hlp: {len(hlp_jumps)} jumps lead to a topic, of {len(jumps)} in the help")
print("\n".join(failures) or f"{len(jumps)} jumps, {len(ids)} topics: every jump leads to a topic")
sys.exit(1 if failures else 0)
