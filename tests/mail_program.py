#!/usr/bin/env python3
"""A mail program's view of the filter's form messages, for the tests.

mail_program.py check < MESSAGE
    Parses the message under email.policy.strict. Exits 1, naming the
    problem, on any defect of the message or of a header, a line over 998
    octets or a header line over 78; else prints the decoded subject, an
    empty line and the decoded body.
mail_program.py reply STYLE < MESSAGE
    Prints the reply that a mail program writes to the message, from its
    recipient, with "Re: " and its subject. STYLE says how the subject is
    written: "whole-CHARSET" encodes all of it in that charset (as
    email.header.Header and many mail programs do), "words" only the words
    that need it (as email.message.EmailMessage does).
"""
import email
import email.policy
import sys
from email.header import Header
from email.message import EmailMessage


def parse(raw):
    return email.message_from_bytes(raw, policy=email.policy.strict)


def check(raw):
    problems = []
    head = raw.split(b"\n\n", 1)[0]
    problems += ["line over 998 octets" for line in raw.split(b"\n") if len(line) > 998]
    problems += ["header line over 78: %r" % line[:90] for line in head.split(b"\n") if len(line) > 78]
    message = parse(raw)
    problems += [repr(defect) for defect in message.defects]
    for name, value in message.items():
        problems += ["%s: %r" % (name, defect) for defect in value.defects]
    if problems:
        sys.exit("\n".join(problems))
    sys.stdout.write("%s\n\n%s" % (message["Subject"], message.get_content()))


def reply(raw, style):
    challenge = parse(raw)
    sender, subject = str(challenge["To"]), "Re: " + str(challenge["Subject"])
    if style == "words":
        answer = EmailMessage()
        answer["From"], answer["To"], answer["Subject"] = sender, str(challenge["From"]), subject
        answer.set_content("Yes, that was me.\n")
        sys.stdout.buffer.write(answer.as_bytes(policy=email.policy.default))
    else:
        encoded = Header(subject, style[len("whole-"):]).encode()
        sys.stdout.write("From: %s\nTo: %s\nSubject: %s\n\nYes, that was me.\n"
                         % (sender, challenge["From"], encoded))


if __name__ == "__main__":
    data = sys.stdin.buffer.read()
    if sys.argv[1] == "check":
        check(data)
    else:
        reply(data, sys.argv[2])
