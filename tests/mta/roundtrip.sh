#!/usr/bin/env bash
# End-to-end test with a real mail server: Exim or Postfix pipes mail for a
# protected mailbox into the filter of the Debian package and takes its
# challenges through /usr/sbin/sendmail -t -i. Over SMTP, with the filter
# switched off the mail server delivers by itself; switched on, a stranger's
# message is held and challenged with an empty envelope sender, the
# stranger's reply releases it, the next message is delivered directly, a
# temporary failure of the filter makes the mail server defer (not bounce)
# and deliver on the retry, and the owner's own message, submitted on the
# host, is delivered. Python's mbox reader then finds exactly the messages
# delivered, each whole. Last, a hostile subject's challenge goes to the
# stranger alone, and the challenge to a folded 2 KB subject arrives and the
# reply releases.
#
# Usage: roundtrip.sh exim|exim-split|postfix PACKAGE_DIR (holding the .deb)
#
# Runs as root only, in private mount, process and network namespaces:
# fixture /etc/passwd, /etc/userdomains and the mail server's configuration
# are layered over /etc, the package's files over /usr and /etc, so the
# machine's own files are never changed. The mail server's part of the
# configuration comes from the snippets of docs/operators.md, so the guide
# cannot drift from what is tested.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
OWNER=bob
DOMAIN=example.com          # a hosted domain, in /etc/userdomains
STRANGER=stranger@far.test  # a system user at the system's own domain
OUTSIDE=192.0.2.66          # a host on the Internet (TEST-NET-1), not relayed for
say() { printf '== %s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
skip() { printf 'SKIP: %s\n' "$*"; exit 77; }

# snippet NAME: the fenced block that follows "<!-- snippet: NAME -->" in the guide.
snippet() {
  awk -v tag="<!-- snippet: $1 -->" '$0 == tag { on = 1; next }
    on && /^```/ { if (inside) { found = 1; exit } inside = 1; next }
    inside { print } END { exit !found }' "$here/../../docs/operators.md" || fail "the guide has no snippet '$1'"
}
# conf FILE.in: the data file with the test's directory filled in.
conf() { sed "s|@T@|$T|g" "$here/$1"; }

MTA=${1:?usage: roundtrip.sh exim|exim-split|postfix PACKAGE_DIR}
# shellcheck source=/dev/null
. "$here/${MTA%-split}.sh"

# ---- inside the namespaces ----
inner() {
  T=$1
  # shellcheck disable=SC1091
  . "$T/vars"
  home=$T/home/$OWNER account=info@$DOMAIN mbox=/var/mail/stranger
  emaildir=$home/etc/$DOMAIN/info
  inbox=$home/mail/$DOMAIN/info/inbox
  ip link set lo up && ip addr add "$OUTSIDE/32" dev lo || skip "no loopback in the private network namespace"
  # from_host ADDRESS: connections to 127.0.0.1 come from ADDRESS from now on.
  from_host() { ip route change local 127.0.0.1 dev lo table local proto kernel scope host src "$1"; }
  mount -t overlay sendvetter-etc -o "lowerdir=$T/layer-etc:/etc" /etc &&
    mkdir "$T/usr-plain" && mount --bind /usr "$T/usr-plain" &&
    mount -t overlay sendvetter-usr -o "lowerdir=$USR_LAYERS:/usr" /usr || skip "overlay mounts unavailable"
  mount -t tmpfs -o mode=2775,gid="$(getent group mail | cut -d: -f3)" sendvetter-mail /var/mail || fail "no private /var/mail"
  as_owner() { setpriv --reuid="$OWNER_UID" --regid="$GROUP_GID" --clear-groups "$@"; }
  smtp_send() { # ENVELOPE_FROM RCPT < message
    python3 -c 'import smtplib, sys
smtplib.SMTP("127.0.0.1", 25, "client.example.test").sendmail(sys.argv[1], [sys.argv[2]], sys.stdin.buffer.read().replace(b"\n", b"\r\n"))' "$@" ||
      fail "$MTA refused a message over SMTP"
  }
  wait_for() { # DESCRIPTION COMMAND...: polls for up to 30 seconds
    local what=$1 deadline=$((SECONDS + 30)); shift
    until "$@"; do [ $SECONDS -lt $deadline ] || { mta_log; fail "timed out waiting for: $what"; }; sleep 0.2; done
  }
  is() { [ "$("${@:2}")" = "$1" ]; }
  contains() { [ -f "$1" ] && grep -q -F -- "$2" "$1"; }
  count() { grep -s -c -F -- "$2" "$1" || true; }
  queue_files() { find "${1:-$emaildir}/sendvetter/queue" -name '*.msg' 2>/dev/null | wc -l; }  # [EMAILDIR]
  enable_filter() { # ACCOUNT: through the panel, and in the mail server where it routes by itself
    [ "$(as_owner /usr/bin/sendvetter-panel --user "$OWNER" SendVetter_changestatus "$1" Enable)" = enabled ] &&
      mta_enable "$1" || fail "could not enable the filter of $1"
  }
  message() { # TOKEN SUBJECT [FROM]
    printf 'From: %s\nTo: %s\nSubject: %s\nMessage-ID: <%s@client.example.test>\n\n' "${3:-A Stranger <$STRANGER>}" "$account" "$2" "$1"
    printf 'Hello, this is %s.\nFrom here on the body goes on.\n.a line that starts with a dot\n' "$1"
  }

  mta_start
  wait_for "$MTA to listen on port 25" eval '(exec 3<>/dev/tcp/127.0.0.1/25) 2>/dev/null'

  # The filter switched off: the mail server's own delivery.
  message tok0-off "Before the filter" | smtp_send "$STRANGER" "$account"
  wait_for "plain delivery into the inbox" contains "$inbox" tok0-off
  [ ! -e "$emaildir/sendvetter" ] || fail "the filter ran although it is switched off"
  enable_filter "$account"

  # A stranger's message, from another host, is held and challenged.
  from_host "$OUTSIDE"
  message tok1-held "Lunch on Friday" | smtp_send "$STRANGER" "$account"
  from_host 127.0.0.1
  [[ $(mta_log) == *"[$OUTSIDE]"* ]] || fail "the message did not come from $OUTSIDE"
  wait_for "the challenge in the stranger's mailbox" contains "$mbox" 'verify#'
  local subject id
  subject=$(sed -n 's/^Subject: \(.*verify#.*\)$/\1/p' "$mbox")
  id=$(sed 's/.*verify#\([A-Za-z0-9_]*\).*/\1/' <<<"$subject")
  [ ${#id} = 32 ] && contains "$emaildir/sendvetter/queue/$id.msg" tok1-held ||
    fail "the challenge '$subject' does not name the held message"
  grep -q -i '^Return-Path: <>$' "$mbox" || { cat "$mbox"; fail "the challenge has an envelope sender that bounces could reach"; }

  # The stranger's reply releases the held message.
  printf 'From: %s\nTo: %s\nSubject: Re: %s\n\nYes, that was me.\n' "$STRANGER" "$account" "$subject" |
    smtp_send "$STRANGER" "$account"
  wait_for "the held message released into the inbox" contains "$inbox" tok1-held
  wait_for "the queue emptied" is 0 queue_files

  # The stranger's next message, to the address in capitals, goes straight in.
  message tok2-direct "Second message" | smtp_send "$STRANGER" "INFO@$DOMAIN"
  wait_for "direct delivery of the next message" contains "$inbox" tok2-direct

  # A temporary failure (inbox not writable) defers; the retry delivers.
  chmod 0400 "$inbox"
  message tok3-deferred "Third message" | smtp_send "$STRANGER" "$account"
  wait_for "$MTA to defer on status 75" is 1 mta_deferrals
  [ "$(mta_queue)" = 1 ] && ! contains "$inbox" tok3-deferred || fail "the deferred message left $MTA's queue"
  chmod 0600 "$inbox"
  mta_retry
  wait_for "delivery on the retry" contains "$inbox" tok3-deferred

  # The owner's own message, submitted on the host, is not held as forged.
  message tok4-own "From the owner" "$account" | as_owner /usr/sbin/sendmail -t
  wait_for "the owner's own message in the inbox, not held as forged" contains "$inbox" tok4-own
  mta_more_steps

  # Each delivered message once, in order, whole: a body line "From " neither
  # splits a message nor loses its quoting, an empty line precedes every
  # envelope line, dot-stuffing is undone.
  python3 - "$inbox" tok0-off tok1-held tok2-direct tok3-deferred tok4-own <<'PY' || { cat "$inbox"; fail "the inbox is not the mbox file of the delivered messages"; }
import mailbox, sys
path, tokens = sys.argv[1], sys.argv[2:]
raw = open(path, "rb").read()
found = [(m["Message-ID"], m.get_payload()) for m in mailbox.mbox(path)]
want = [("<%s@client.example.test>" % t,
         "Hello, this is %s.\n>From here on the body goes on.\n.a line that starts with a dot\n" % t) for t in tokens]
sys.exit(found != want or raw.count(b"\nFrom ") != raw.count(b"\n\nFrom "))
PY

  # Challenges to hostile and long subjects; the stranger is a stranger again.
  as_owner sh -c ': >"$1"' - "$emaildir/.sendvetter/white-list.txt"
  local n
  n=$(count "$mbox" 'X-Sendvetter:')
  # A subject that would bring the incoming header, with its Cc and Bcc, into
  # the challenge's header: the mail server sends it to the stranger alone.
  # No victim is a user here, so a copy to one would fail, which the last
  # check finds.
  printf 'From: %s\nTo: %s\nCc: victim1@far.test\nBcc: victim2@far.test\nSubject: Hello %%headers%%\n\nx\n' \
    "$STRANGER" "$account" | smtp_send "$STRANGER" "$account"
  wait_for "the challenge to the hostile subject" is $((n + 1)) count "$mbox" 'X-Sendvetter:'
  [ "$(queue_files)" = 1 ] || fail "the message with the hostile subject is not held"

  # A folded subject of some 2 KB: a reply that keeps its folding releases.
  local long=word0 i
  for i in $(seq 1 259); do long+=$([ $((i % 10)) = 0 ] && printf '\n ' || printf ' ')word$i; done
  message tok5-long "$long" | smtp_send "$STRANGER" "$account"
  wait_for "the challenge to the 2 KB subject" is $((n + 2)) count "$mbox" 'X-Sendvetter:'
  subject=$(python3 -c 'import mailbox, sys; b = mailbox.mbox(sys.argv[1]); print(b[len(b) - 1]["Subject"])' "$mbox")
  printf 'From: %s\nTo: %s\nSubject: Re: %s\n\nYes.\n' "$STRANGER" "$account" "$subject" | smtp_send "$STRANGER" "$account"
  wait_for "the reply to release the 2 KB subject's message" contains "$inbox" tok5-long
  # No failed delivery, so no bounce either, not even for the deferred message.
  wait_for "$MTA's queue to empty" is 0 mta_queue
  ! mta_failed || { mta_log; fail "$MTA failed a delivery (a challenge to a Cc or Bcc victim?)"; }
  say "$MTA: held, challenged, released by reply, delivered directly, deferred and retried, hostile and 2 KB subjects"
}
if [ "${2:-}" = --inner ]; then inner "$3"; exit 0; fi

# ---- outside: the mail server, the package, the fixture layers ----
debs=("${2:?usage: roundtrip.sh exim|exim-split|postfix PACKAGE_DIR}"/*.deb)
[ "$(id -u)" -eq 0 ] || skip "needs root (private namespaces, fixture users, a mail server)"
unshare -m -p -n -f --mount-proc --kill-child true 2>/dev/null || skip "no private mount, process and network namespaces here"
# The round trips run in parallel: they take apt one at a time, as apt's
# list lock has no wait and a package another test is still installing
# already counts as known to dpkg.
APT_LOCK=/run/lock/sendvetter-tests-apt.lock
# apt_install PACKAGE...: those not fully installed, from the distribution;
# no service starts meanwhile.
apt_install() {
  local guard=/usr/sbin/policy-rc.d status=0 missing=() p
  exec 9>"$APT_LOCK" && flock 9 || fail "cannot take $APT_LOCK"
  for p in "$@"; do
    [ "$(dpkg-query -W -f '${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    [ ! -e $guard ] && printf '#!/bin/sh\nexit 101\n' >$guard && chmod 755 $guard || guard=""
    { apt-get -o DPkg::Lock::Timeout=600 update -qq &&
      DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}"; } >"$T/apt.log" 2>&1 || status=$?
    [ -z "$guard" ] || rm -f "$guard"
  fi
  exec 9>&-
  [ $status -eq 0 ] || { cat "$T/apt.log"; fail "could not install ${missing[*]}"; }
}
T=$(mktemp -d /tmp/sendvetter-mta-XXXXXX)
trap 'rm -rf "$T"' EXIT
chmod 755 "$T"
dpkg-deb -x "${debs[0]}" "$T/stage" || fail "cannot unpack the package ${debs[*]}"
mkdir -p "$T/layer-etc" "$T/home/stranger" "$T/home/$OWNER/etc/$DOMAIN" "$T/home/$OWNER/mail/$DOMAIN/info"
cp -a "$T/stage/etc/sendvetter" /etc/passwd /etc/group "$T/layer-etc/"
USR_LAYERS=$T/stage/usr

# Fixture users with ids the machine does not use, in the nobody group.
getent passwd "$OWNER" >/dev/null && skip "this machine has a user $OWNER, the test's mailbox owner"
free_id() { # DATABASE: an id from 61000 up that neither the machine nor the layer uses
  local id=61000
  while getent "$1" "$id" >/dev/null || grep -q "^[^:]*:x:$id:" "$T/layer-etc/$1"; do id=$((id + 1)); done
  echo "$id"
}
GROUP_GID=$(getent group nogroup | cut -d: -f3)
OWNER_UID=$(free_id passwd)
echo "$OWNER:x:$OWNER_UID:$GROUP_GID:$OWNER:$T/home/$OWNER:/bin/sh" >>"$T/layer-etc/passwd"
STRANGER_UID=$(free_id passwd)
echo "stranger:x:$STRANGER_UID:$GROUP_GID:stranger:$T/home/stranger:/bin/sh" >>"$T/layer-etc/passwd"
echo "$DOMAIN: $OWNER" >"$T/layer-etc/userdomains"
mta_prepare
chown -R "$OWNER_UID:$GROUP_GID" "$T/home/$OWNER"
chown "$STRANGER_UID:$GROUP_GID" "$T/home/stranger"
chmod 700 "$T/home/$OWNER" "$T/home/stranger"
declare -p OWNER_UID GROUP_GID USR_LAYERS >"$T/vars"

# Should this script be stopped, the namespaces and all their processes go
# too (unshare ignores TERM, so it gets KILL; --kill-child takes the
# namespace down with it), and the EXIT trap removes $T.
unshare -m -p -n -f --mount-proc --kill-child "$0" "$MTA" --inner "$T" &
child=$!
trap 'kill -KILL "$child" 2>/dev/null || true; wait "$child" 2>/dev/null || true; exit 143' TERM INT
wait "$child"
