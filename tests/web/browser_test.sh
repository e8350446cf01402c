#!/usr/bin/env bash
# The owner's web pages in a real browser: a real Dovecot checks the mailbox
# password over STARTTLS, sendvetter-web of the test build serves the pages,
# headless Chromium driven by Selenium uses them (browser_test.py).
#
# Usage: browser_test.sh BUILD_DIR [SCREENSHOT_DIR]   (KEEP_TEST_DIR=1 keeps the fixtures)
#
# Runs as root only (Dovecot, and sendvetter-web switching to the owner).
# Everything runs in private mount, network and process namespaces on loopback, so no
# port can clash with another run and no traffic leaves the machine; the
# mailboxes and host files are fixtures in a temporary directory.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
SKIP=77
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
skip() { printf 'SKIP: %s\n' "$*"; exit "$SKIP"; }

OWNER_UID=2001 OTHER_UID=2002

inner() {
  local T=$1 build=$2 shots=$3
  ip link set lo up
  export SENDVETTER_HOST_ROOT=$T/host PATH="$T/host/bin:$PATH"

  /usr/sbin/dovecot -F -c "$T/dovecot.conf" 2>"$T/dovecot.err" &
  "$build/sendvetter-web" --listen 127.0.0.1:8480 --imap imap://127.0.0.1:143 \
      --imap-ca "$T/cert.pem" 2>"$T/web.err" &
  for _ in $(seq 50); do
    (exec 3<>/dev/tcp/127.0.0.1/143 && exec 3<>/dev/tcp/127.0.0.1/8480) 2>/dev/null && break
    sleep 0.1
  done
  T=$T SHOTS=$shots OWNER_UID=$OWNER_UID /usr/bin/python3 "$here/browser_test.py" ||
    { echo "--- dovecot"; cat "$T/dovecot.err" "$T/dovecot.log" 2>/dev/null; echo "--- web"; cat "$T/web.err"; exit 1; }
}

# A held message made by the real filter, run as the mailbox's owner.
hold() {  # account uid from subject
  printf 'From %s Mon Dec  7 10:00:00 2026\nReceived: from mx.elsewhere.test by mail.example.test with esmtp; Mon, 7 Dec 2026 10:00:00 +0000\nFrom: %s\nTo: %s\nSubject: %s\n\nHello.\n' \
    "$(echo "$3" | sed 's/.*<//; s/>.*//')" "$3" "$1" "$4" |
    setpriv --reuid "$2" --regid "$2" --clear-groups "$build/sendvetter" "$1" >/dev/null
}

if [ "${1:-}" = --inner ]; then inner "$2" "$3" "$4"; exit; fi

build=$(cd "${1:?usage: browser_test.sh BUILD_DIR [SCREENSHOT_DIR]}" && pwd)
shots=${2:-}
[ "$(id -u)" -eq 0 ] || skip "needs root"
[ -x "$build/sendvetter-web" ] || fail "no $build/sendvetter-web"
packages=(dovecot-imapd chromium chromium-driver python3-selenium openssl iproute2 util-linux)
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
fi

T=$(mktemp -d /tmp/sendvetter-web-test-XXXXXX)
trap '[ -n "${KEEP_TEST_DIR:-}" ] || rm -rf "$T"' EXIT
chmod 755 "$T"
src=$(cd "$here/../.." && pwd)
mkdir -p "$T/host/etc" "$T/host/bin" "$T/host/usr/sbin" "$T/host/usr/local/orvane/etc/sendvetter/forms" \
         "$T/home/alice/etc/example.test" "$T/home/alice/mail/example.test" \
         "$T/home/bob/etc/other.test" "$T/home/bob/mail/other.test" "$T/run" "$T/sent" "$T/chrome"
cp "$src"/forms/*.txt "$T/host/usr/local/orvane/etc/sendvetter/forms/"
printf 'alice:x:%s:%s:Alice:%s:/bin/sh\nbob:x:%s:%s:Bob:%s:/bin/sh\n' \
  $OWNER_UID $OWNER_UID "$T/home/alice" $OTHER_UID $OTHER_UID "$T/home/bob" > "$T/host/etc/passwd"
printf 'example.test: alice\nother.test: bob\n' > "$T/host/etc/userdomains"
printf '#!/bin/sh\necho mail.example.test\n' > "$T/host/bin/hostname"
printf '#!/bin/sh\ncat > /dev/null\n' > "$T/host/usr/sbin/sendmail"
chmod 755 "$T/host/bin/hostname" "$T/host/usr/sbin/sendmail"
chown -R $OWNER_UID:$OWNER_UID "$T/home/alice"
chown -R $OTHER_UID:$OTHER_UID "$T/home/bob"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$T/key.pem" -out "$T/cert.pem" 2>/dev/null
printf 'info@example.test:{PLAIN}right-password:%s:%s::%s::\nbob@other.test:{PLAIN}bobs-password:%s:%s::%s::\n' \
  $OWNER_UID $OWNER_UID "$T/home/alice" $OTHER_UID $OTHER_UID "$T/home/bob" > "$T/users"
sed "s|@T@|$T|g" "$here/dovecot.conf.in" > "$T/dovecot.conf"

export SENDVETTER_HOST_ROOT=$T/host PATH="$T/host/bin:$PATH"
hold info@example.test $OWNER_UID '"Pat Partner" <pat@partner.test>' 'Quarterly figures'
hold info@example.test $OWNER_UID '<friend@elsewhere.test>' 'Lunch on Friday'
hold info@example.test $OWNER_UID '"<script>console.log(\"SVXSS\")</script>" <javascript:alert(1)@evil.test>' \
  '<script>console.log("SVXSS")</script><img src=x onerror=alert("SVXSS")> javascript:alert(1)'
hold bob@other.test $OTHER_UID '<someone@elsewhere.test>' 'Only for Bob'
# Readable by everyone: then only the session's own account keeps Bob's mail
# out of Alice's pages, not the file modes as well.
chmod -R go+rX "$T/home/bob"

# A private process namespace too: whatever is left when the test ends dies with it.
unshare --mount --net --pid --fork --kill-child --mount-proc --propagation private "$0" --inner "$T" "$build" "$shots"
