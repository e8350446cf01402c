#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from
the kinds of input the tests use. Targets that take their arguments through
FuzzedDataProvider get seeds in its layout: strings from the front, each
ended by a backslash and another byte (a doubled backslash is one backslash),
integers and booleans from the back."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def fdp(strings, tail=b""):
    out = b""
    for s in strings:
        if isinstance(s, str):
            s = s.encode("latin-1")
        out += s.replace(b"\\", b"\\\\") + b"\\|"
    # The last string is taken as "the rest": no terminator needed, but the
    # integers at the end must not be read as part of it.
    return out + tail


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


MESSAGES = {
    "plain": "From alice@example.org Mon Jan  1 00:00:00 2024\nFrom: Alice <Alice@Example.org>\n"
             "To: bob@example.com, carol@example.com\nSubject: hello\n\nbody line\nFrom the body\n",
    "crlf": "From a@b.c Mon\r\nFrom: a@b.c\r\nSubject: crlf\r\n\r\nbody\r\n",
    "folded": "From: \"Last, First\" <x@y.z>\nSubject: first\n\tsecond part\nCc: a@b;c@d\n\nb\n",
    "received": "Received: from host by mx.example.com with esmtpsa (TLS) id 1\n"
                "Received: from local by me with local; Mon\nFrom: self@example.com\n\nx\n",
    "headeronly": "From: no-body@example.com\nSubject: no empty line",
    "empty_first": "\nFrom: x@y\n",
    "verify": "From: r@s.t\nSubject: Re: hello verify#Abc_123XYZabc_123XYZabc_123XYZab\nX-Sendvetter: 0123\n\n",
    "bounce": "From MAILER-DAEMON Mon\nFrom: mailer-daemon@mx.example.com\nSubject: failure\n\n"
              "Subject : hello (verify#abc)\nX-Sendvetter: id\n",
}
for name, text in MESSAGES.items():
    write("fuzz_headers", name, text)

ADDRESSES = [
    "Alice <Alice@Example.org>",
    "\"Smith, John\" <john..smith@example.com>; jane@example.com,bob@x",
    "no address here",
    "a@b@c.d (comment), e@f",
    "\"q@quoted\" <real@example.com>",
]
for i, value in enumerate(ADDRESSES):
    write("fuzz_address", f"seed{i}", fdp(["info@example.com", "info@example.com,bob@x", value]))

LISTS = [
    ("a.b@c.d", "urgent reply", "from a\\.b@c\\.d\nsubject URGENT\n"),
    ("x@y.z", "", "# comment\nfrom ^newsletter-\nsubject ^$\nto a/b\ncc  leading-space\nFrom capital\n"),
    ("aaaaaaaaaaaaaaaaaaaaaaaaaaaa!", "s", "from (a+)+$\nsubject (x+x+)+y\n"),
    ("p@q.r", "s", "from [unclosed\nfrom \t\t\n"),
]
for i, (email, subject, listfile) in enumerate(LISTS):
    write("fuzz_lists", f"seed{i}", fdp([email, subject, "someone+tag@example.com", listfile], b"\x01\x01"))

CONFS = [
    ("froms=a@b.c,d@e.f\nstale-queue-time=30\n", "a@b.c=1700000000=3\nold@x=1=9\n"),
    ("froms=\nstale-queue-time = 30\n=x\nnoequals\n", "bad line\n=\nx==\n"),
    ("froms=x=y\r\nfroms=later\n", "we%3Dird@x=1700000000=5\n"),
]
for i, (conf, loop) in enumerate(CONFS):
    write("fuzz_config_loop", f"seed{i}", fdp(["bob", "a@b.c", conf, loop], b"\x65\x53\x4f\x00\x00\x00\x00\x00"))

REGEXES = [("(a+)+$", "a", "b"), ("^(\\w+\\s?)*$", "word ", "!"), ("x*y*z*", "", ""), ("[", "a", "a")]
for i, (pattern, piece, rest) in enumerate(REGEXES):
    write("fuzz_regex", f"seed{i}", fdp([pattern, piece, rest], b"\xff\x07\x01"))

PANEL = [
    ["1700000000", "showmsg.html", "viewmsg", "edit.html", "reset.html", "cgi/sv.html", "hello",
     "abc.msg", "\"Name\" <a@b.c>", "hello <b>", "body", "log \"line\" <x>", "froms=a@b.c\n",
     "verify.txt", "whitelist,deliver", "bob@example.com\ninfo@example.com\n"],
    ["", "x\"><script>", "a&b=c", "e\" onload=\"x", "r>", "\"/>", "(a+)+$",
     "q\"><i>.msg", "<a@b>", "\"><", "x", "</td>", "stale-queue-time=<b>\n",
     "x\" y=\"z.txt", "delete", "\"><b>\n"],
]
for i, strings in enumerate(PANEL):
    write("fuzz_panel_html", f"seed{i}", fdp(strings, bytes([1, i % 4, 0])))
