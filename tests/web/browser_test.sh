#!/usr/bin/env bash
# The owner's web pages in a real browser: a real Dovecot checks the mailbox
# password over STARTTLS, sendvetter-web of the test build serves the pages,
# headless Chromium driven by Selenium uses them (browser_test.py).
#
# Usage: browser_test.sh BUILD_DIR [SCREENSHOT_DIR]   (KEEP_TEST_DIR=1 keeps the fixtures)
#
# Runs as root only (Dovecot, and sendvetter-web switching to the owner), in
# private mount, network and process namespaces on loopback, so no port can
# clash with another run, no traffic leaves the machine and whatever is left
# when the test ends dies with it; mailboxes and host files are fixtures in a
# temporary directory.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export OWNER_UID=2001 OTHER_UID=2002

if [ "${1:-}" = --inner ]; then
  export T=$2 SHOTS=$4
  ip link set lo up
  /usr/sbin/dovecot -F -c "$T/dovecot.conf" 2>"$T/dovecot.err" &
  "$3/sendvetter-web" --listen 127.0.0.1:8480 --imap imap://127.0.0.1:143 --imap-ca "$T/cert.pem" 2>"$T/web.err" &
  up='(exec 3<>/dev/tcp/127.0.0.1/143 && exec 3<>/dev/tcp/127.0.0.1/8480) 2>/dev/null'
  timeout 5 bash -c "until $up; do sleep 0.1; done" || true
  /usr/bin/python3 "$here/browser_test.py" || { cat "$T/dovecot.err" "$T/dovecot.log" "$T/web.err" 2>/dev/null; exit 1; }
  exit
fi

build=$(cd "${1:?usage: browser_test.sh BUILD_DIR [SCREENSHOT_DIR]}" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
# (./run test installs dovecot-imapd, chromium, chromium-driver, python3-selenium.)
T=$(mktemp -d /tmp/sendvetter-web-test-XXXXXX)
trap '[ -n "${KEEP_TEST_DIR:-}" ] || rm -rf "$T"' EXIT
chmod 755 "$T"
# Host files, Dovecot's users (the owners' mail passwords) and configuration, fixtures from tests/web/.
cp -a "$here/host" "$T/"
mkdir -p "$T/host/usr/local/orvane/etc/sendvetter/forms" "$T/run" "$T/chrome" \
         "$T/home/alice/"{etc,mail}/example.test "$T/home/bob/"{etc,mail}/other.test
cp "$here"/../../forms/*.txt "$T/host/usr/local/orvane/etc/sendvetter/forms/"
for f in dovecot-users dovecot.conf; do sed "s|@T@|$T|g" "$here/$f.in" >"$T/$f"; done
sed -i "s|@T@|$T|g" "$T/host/etc/passwd"
chown -R $OWNER_UID:$OWNER_UID "$T/home/alice"
chown -R $OTHER_UID:$OTHER_UID "$T/home/bob"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$T/key.pem" -out "$T/cert.pem" 2>/dev/null

export SENDVETTER_HOST_ROOT=$T/host PATH="$T/host/bin:$PATH"
# Held mail made by the real filter, run as the mailbox's owner; held-mail.txt has one message a line:
# ACCOUNT, OWNER, envelope sender, From, Subject, separated by tabs.
while IFS=$'\t' read -r account owner sender from subject; do
  id=$(stat -c %u "$T/home/$owner")
  printf 'From %s Mon Dec  7 10:00:00 2026\nReceived: from mx.elsewhere.test by mail.example.test with esmtp; Mon, 7 Dec 2026 10:00:00 +0000\nFrom: %s\nTo: %s\nSubject: %s\n\nHello.\n' \
    "$sender" "$from" "$account" "$subject" | setpriv --reuid "$id" --regid "$id" --clear-groups "$build/sendvetter" "$account" >/dev/null
done <"$here/held-mail.txt"
# Readable by everyone: then only the session's own account keeps Bob's mail
# out of Alice's pages, not the file modes as well.
chmod -R go+rX "$T/home/bob"
unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private "$0" --inner "$T" "$build" "${2:-}"
