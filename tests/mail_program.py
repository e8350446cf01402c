#!/usr/bin/env python3
"""A mail program's reply to one of the filter's form messages, for the tests.

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


def reply(raw, style):
    challenge = email.message_from_bytes(raw, policy=email.policy.strict)
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
    if sys.argv[1:2] != ["reply"]:
        sys.exit(__doc__)
    reply(sys.stdin.buffer.read(), sys.argv[2])
