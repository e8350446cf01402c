#!/usr/bin/env bash
# End-to-end test with a real mail server: Exim or Postfix pipes mail for a
# protected mailbox into the installed filter and takes its challenges through
# /usr/sbin/sendmail -t -i. Over SMTP, a stranger's message is held and
# challenged, the stranger's reply releases it, the stranger's next message is
# delivered directly, a temporary failure of the filter makes the mail server
# defer (not bounce) and deliver on the retry, and the owner's own message,
# submitted on the host, is delivered. Python's mbox reader then finds exactly
# the messages delivered, each whole. Last, a hostile subject's challenge goes
# to the stranger alone, and the challenges to a 2 KB subject and to a UTF-8
# one (answered with an encoded subject) arrive and their replies release.
#
# Usage: roundtrip.sh exim|exim-split|postfix RELEASE_BUILD_DIR
#
# Runs as root only. Everything happens inside private mount, process and
# network namespaces: fixture /etc/passwd, /etc/userdomains and the mail
# server's configuration are layered over /etc, the installed programs over
# /usr, so the machine's own files are never changed; every process ends with
# the namespace and the temporary directory is removed afterwards. The mail
# server's part of the configuration comes from the snippets of
# docs/operators.md, so the guide cannot drift from what is tested.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
guide=$here/../../docs/operators.md
SKIP=77
OWNER=bob
DOMAIN=example.com          # a hosted domain, in /etc/userdomains
STRANGER=stranger@far.test  # a system user at the system's own domain
OUTSIDE=192.0.2.66          # a host on the Internet (TEST-NET-1), not relayed for
PORT=25

say() { printf '== %s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
skip() { printf 'SKIP: %s\n' "$*"; exit "$SKIP"; }

# snippet NAME: the fenced block that follows "<!-- snippet: NAME -->" in the guide.
snippet() {
  local text
  text=$(awk -v tag="<!-- snippet: $1 -->" '
    $0 == tag { on = 1; next }
    on && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$guide")
  [ -n "$text" ] || fail "the guide has no snippet '$1'"
  printf '%s\n' "$text"
}

MTA=${1:?usage: roundtrip.sh exim|exim-split|postfix RELEASE_BUILD_DIR}
# shellcheck source=/dev/null
. "$here/${MTA%-split}.sh"

# ---------------------------------------------------------------------------
# Inside the namespaces (second stage).
# ---------------------------------------------------------------------------
inner() {
  T=$1
  # shellcheck disable=SC1091
  . "$T/vars"
  home=$T/home/$OWNER
  emaildir=$home/etc/$DOMAIN/info
  deliverdir=$home/mail/$DOMAIN/info
  inbox=$deliverdir/inbox
  mbox=/var/mail/stranger
  local account=info@$DOMAIN

  ip link set lo up && ip addr add "$OUTSIDE/32" dev lo ||
    skip "cannot set up loopback in the private network namespace"
  # from_host ADDRESS: connections to 127.0.0.1 come from ADDRESS from now on.
  from_host() { ip route change local 127.0.0.1 dev lo table local proto kernel scope host src "$1"; }
  mount -t overlay sendvetter-etc -o "lowerdir=$T/layer-etc:/etc" /etc ||
    skip "cannot layer the fixture files over /etc (overlay mounts unavailable)"
  mkdir "$T/usr-plain" && mount --bind /usr "$T/usr-plain" &&
    mount -t overlay sendvetter-usr -o "lowerdir=$USR_LAYERS:/usr" /usr ||
    skip "cannot layer the installed programs over /usr (overlay mounts unavailable)"
  [ -e /etc/sendvetter-test-layer ] || fail "the fixture layer is not in place"
  [ -f /usr/local/orvane/etc/sendvetter/forms/verify.txt ] || fail "the installed forms are not in place"
  getent passwd "$OWNER" >/dev/null || fail "fixture user $OWNER unknown"
  mount -t tmpfs -o mode=2775,gid="$(getent group mail | cut -d: -f3)" sendvetter-mail /var/mail ||
    fail "no private /var/mail"

  mta_start
  local deadline=$((SECONDS + 20))
  until (exec 3<>"/dev/tcp/127.0.0.1/$PORT") 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || { mta_log; fail "$MTA does not listen on 127.0.0.1:$PORT"; }
    sleep 0.2
  done
  say "$MTA listens on 127.0.0.1:$PORT"

  as_owner() { setpriv --reuid="$OWNER_UID" --regid="$GROUP_GID" --clear-groups "$@"; }
  smtp_expect() {
    local code=$1 line
    while IFS= read -r -t 20 line <&3; do
      line=${line%$'\r'}
      [[ $line == "$code-"* ]] && continue
      [[ $line == "$code "* ]] && return 0
      fail "SMTP: wanted $code, got: $line"
    done
    fail "SMTP: no answer (wanted $code)"
  }
  # smtp_send ENVELOPE_FROM RCPT < message
  smtp_send() {
    local line
    exec 3<>"/dev/tcp/127.0.0.1/$PORT"
    smtp_expect 220
    printf 'EHLO client.example.test\r\n' >&3; smtp_expect 250
    printf 'MAIL FROM:<%s>\r\n' "$1" >&3; smtp_expect 250
    printf 'RCPT TO:<%s>\r\n' "$2" >&3; smtp_expect 250
    printf 'DATA\r\n' >&3; smtp_expect 354
    while IFS= read -r line; do
      [[ $line == .* ]] && line=".$line"
      printf '%s\r\n' "$line" >&3
    done
    printf '.\r\n' >&3; smtp_expect 250
    printf 'QUIT\r\n' >&3; smtp_expect 221
    exec 3>&- 3<&-
  }
  # wait_for DESCRIPTION COMMAND...: polls for up to 30 seconds.
  wait_for() {
    local what=$1; shift
    local deadline=$((SECONDS + 30))
    until "$@"; do
      [ $SECONDS -lt $deadline ] || { mta_log; fail "timed out waiting for: $what"; }
      sleep 0.2
    done
  }
  # is VALUE COMMAND...: the command prints VALUE (for wait_for).
  is() { [ "$("${@:2}")" = "$1" ]; }
  contains() { [ -f "$1" ] && grep -q -F -- "$2" "$1"; }
  count() { if [ -f "$1" ]; then grep -c -F -- "$2" "$1" || true; else echo 0; fi; }
  queue_files() { find "$emaildir/sendvetter/queue" -name '*.msg' 2>/dev/null | wc -l; }
  no_bounce() {
    ! grep -q -e '^Subject: Mail delivery failed' -e '^Subject: Undelivered Mail' "$mbox" 2>/dev/null ||
      { cat "$mbox"; fail "a bounce reached the stranger"; }
    ! mta_failed || { mta_log; fail "$MTA failed a delivery"; }
  }
  message() { # message TOKEN SUBJECT [FROM]
    printf 'From: %s\nTo: %s\nSubject: %s\n' "${3:-A Stranger <$STRANGER>}" "$account" "$2"
    printf 'Message-ID: <%s@client.example.test>\n\n' "$1"
    printf 'Hello, this is %s.\nFrom here on the body goes on.\n.a line that starts with a dot\n' "$1"
  }

  # ---- 0: the filter switched off: the mail server's own delivery ----
  as_owner mkdir -p "$deliverdir"
  message tok0-before-enable "Before the filter" | smtp_send "$STRANGER" "$account"
  wait_for "plain delivery into the inbox" contains "$inbox" tok0-before-enable
  [ ! -e "$emaildir/sendvetter" ] || fail "the filter ran although it is switched off"
  say "filter off: delivered straight into $inbox"

  local state
  state=$(as_owner "$PANEL" --user "$OWNER" SendVetter_changestatus "$account" Enable)
  [ "$state" = enabled ] || fail "panel answered '$state' to Enable"
  [ -e "$emaildir/.sendvetterenable" ] || fail "no enable flag after the panel's Enable"
  mta_enable "$account"

  # ---- 1: a stranger's message, from another host, is held and challenged ----
  from_host "$OUTSIDE" || fail "cannot send from $OUTSIDE"
  message tok1-held "Lunch on Friday" | smtp_send "$STRANGER" "$account"
  from_host 127.0.0.1
  [[ $(mta_log) == *"[$OUTSIDE]"* ]] || fail "the message did not come from $OUTSIDE"
  wait_for "the message in the queue" is 1 queue_files
  wait_for "the challenge in the stranger's mailbox" contains "$mbox" 'verify#'
  ! contains "$inbox" tok1-held || fail "the stranger's message went to the inbox"
  contains "$(find "$emaildir/sendvetter/queue" -name '*.msg')" tok1-held ||
    fail "the queue file does not hold the message"
  local subject id from
  subject=$(sed -n 's/^Subject: \(.*verify#.*\)$/\1/p' "$mbox" | head -n 1)
  from=$(sed -n 's/^From: \(.*\)$/\1/p' "$mbox" | grep -v -i stranger | head -n 1)
  id=$(printf '%s\n' "$subject" | sed -n 's/.*verify#\([A-Za-z0-9_]*\).*/\1/p')
  [ ${#id} = 32 ] || fail "no queue id in the challenge subject '$subject'"
  [ -f "$emaildir/sendvetter/queue/$id.msg" ] || fail "the challenge names $id, which is not in the queue"
  [ "$from" = "$account" ] || fail "challenge comes from '$from', not from the protected address"
  grep -q '^X-Sendvetter: ' "$mbox" || fail "the challenge has no X-Sendvetter header"
  grep -q "^To: $STRANGER" "$mbox" || fail "the challenge is not addressed to the stranger"
  grep -q -i '^Return-Path: <>$' "$mbox" ||
    { cat "$mbox"; fail "the challenge went out with an envelope sender that bounces could reach"; }
  say "held as queue/$id.msg; challenge '$subject' from $from arrived in $mbox"

  # ---- 2: the stranger's reply releases the held message ----
  {
    printf 'From: A Stranger <%s>\nTo: %s\nSubject: Re: %s\n' "$STRANGER" "$from" "$subject"
    printf 'In-Reply-To: <challenge@example.test>\n\nYes, that was me.\n'
  } | smtp_send "$STRANGER" "$from"
  wait_for "the held message released into the inbox" contains "$inbox" tok1-held
  wait_for "the queue emptied" is 0 queue_files
  grep -q -F "${STRANGER%%@*}@" "$emaildir/.sendvetter/white-list.txt" || fail "the stranger is not on the white list"
  ! contains "$inbox" "Yes, that was me." || fail "the reply itself was delivered"
  grep -q -x -F '.a line that starts with a dot' "$inbox" || fail "dot-stuffing was not undone"
  say "reply 'Re: $subject' released the held message into the inbox; stranger white-listed"

  # ---- 3: the stranger's next message is delivered directly ----
  # In capitals, as senders sometimes write it: still the one mailbox.
  message tok3-direct "Second message" | smtp_send "$STRANGER" "INFO@$DOMAIN"
  wait_for "direct delivery of the next message" contains "$inbox" tok3-direct
  [ "$(count "$mbox" 'X-Sendvetter:')" = 1 ] || fail "the white-listed stranger was challenged again"
  [ "$(queue_files)" = 0 ] || fail "the white-listed stranger's message was held"
  say "next message from the stranger delivered directly, no new challenge"

  # ---- 4: temporary failures defer, the retry delivers ----
  mv "$home/mail/$DOMAIN" "$home/mail/$DOMAIN.away"
  message tok4-deferred "Third message" | smtp_send "$STRANGER" "$account"
  wait_for "$MTA to defer on status 75 (no delivery directory)" is 1 mta_deferrals
  wait_for "the deferred message in $MTA's queue" is 1 mta_queue
  no_bounce
  mv "$home/mail/$DOMAIN.away" "$home/mail/$DOMAIN"
  say "delivery directory missing: status 75, $MTA deferred the message"

  chmod 0400 "$inbox"
  mta_retry
  wait_for "a second deferral (inbox not writable)" is 2 mta_deferrals
  [ "$(mta_queue)" = 1 ] || fail "the message left $MTA's queue although the filter could not store it"
  ! contains "$inbox" tok4-deferred || fail "an unstorable message was reported as stored"
  no_bounce
  chmod 0600 "$inbox"
  say "inbox not writable: status 75, $MTA deferred again"

  mta_retry
  wait_for "delivery on the retry" contains "$inbox" tok4-deferred
  wait_for "$MTA's queue to empty" is 0 mta_queue
  no_bounce
  say "retry delivered the deferred message"

  # ---- 5: the owner's own message, submitted on the host ----
  message tok5-own "From the owner" "$account" | as_owner /usr/sbin/sendmail -t
  wait_for "the owner's own message in the inbox" contains "$inbox" tok5-own
  [ "$(queue_files)" = 0 ] || fail "the owner's own message was held as possibly forged"
  say "the owner's own submission was delivered"

  mta_more_steps

  # Python's mbox reader finds each delivered message once, in order, whole:
  # a body line "From " neither splits a message nor loses its quoting, and
  # an empty line precedes every envelope line.
  python3 - "$inbox" tok0-before-enable tok1-held tok3-direct tok4-deferred tok5-own <<'PY' ||
import mailbox, sys
path, tokens = sys.argv[1], sys.argv[2:]
raw = open(path, "rb").read()
found = [(m["Message-ID"], m.get_payload()) for m in mailbox.mbox(path)]
want = [("<%s@client.example.test>" % t,
         "Hello, this is %s.\n>From here on the body goes on.\n.a line that starts with a dot\n" % t)
        for t in tokens]
if found != want or raw.count(b"\nFrom ") != raw.count(b"\n\nFrom "):
    sys.exit("the inbox holds %r" % found)
PY
    { cat "$inbox"; fail "the inbox is not the mbox file of the delivered messages"; }
  ! grep -q 'verify#' "$inbox" || fail "challenge traffic reached the inbox"
  say "inbox: mailbox.mbox finds exactly the five delivered messages, whole"

  # ---- 7 to 9: challenges to hostile, long and non-ASCII subjects ----
  # The stranger is a stranger again; the mail program is Python's.
  as_owner sh -c ': >"$1"' - "$emaildir/.sendvetter/white-list.txt"
  last_challenge() {
    python3 -c 'import mailbox, sys; b = mailbox.mbox(sys.argv[1]); sys.stdout.buffer.write(b[len(b) - 1].as_bytes())' "$mbox"
  }
  reply_to_last_challenge() { # STYLE, as tests/mail_program.py takes it
    last_challenge | python3 "$here/../mail_program.py" reply "$1" | smtp_send "$STRANGER" "$account"
  }
  local challenges recipients
  challenges=$(count "$mbox" 'X-Sendvetter:')

  # 7: a subject that would bring the incoming header, with its Cc and Bcc
  # lines, into the challenge's header: the server sends it to the stranger alone.
  {
    printf 'From: A Stranger <%s>\nTo: %s\nCc: victim1@far.test\n' "$STRANGER" "$account"
    printf 'Bcc: victim2@far.test\nSubject: Hello %%headers%%\n\ntok7-hostile\n'
  } | smtp_send "$STRANGER" "$account"
  wait_for "the challenge to the hostile subject" is $((challenges + 1)) count "$mbox" 'X-Sendvetter:'
  wait_for "$MTA to finish with the challenge" eval '[ -n "$(mta_submitted_recipients)" ]'
  recipients=$(mta_submitted_recipients)
  [ "$recipients" = "$STRANGER" ] || { mta_log; fail "the challenge went to: $recipients"; }
  [ "$(queue_files)" = 1 ] || fail "the message with the hostile subject is not held"
  say "hostile subject: $MTA sent the challenge to $STRANGER alone"

  # 8: a subject of some 2 KB, folded: the challenge has no line an SMTP
  # transport refuses, and a plain reply to it releases the message.
  local long=word0 i
  for i in $(seq 1 259); do
    if [ $((i % 10)) = 0 ]; then long+=$'\n '; else long+=' '; fi
    long+=word$i
  done
  message tok8-long "$long" | smtp_send "$STRANGER" "$account"
  wait_for "the challenge to the 2 KB subject" is $((challenges + 2)) count "$mbox" 'X-Sendvetter:'
  last_challenge | LC_ALL=C awk 'length($0) > 998 { exit 1 }' || fail "the challenge has lines over 998 octets"
  reply_to_last_challenge words
  wait_for "the reply to release the 2 KB subject's message" contains "$inbox" tok8-long
  say "2 KB subject: the challenge arrived, the reply released the message"

  # 9: a UTF-8 subject, and a reply that encodes its whole subject.
  as_owner sh -c ': >"$1"' - "$emaildir/.sendvetter/white-list.txt"
  message tok9-utf8 "$(printf 'Gr\303\274\303\237e aus K\303\266ln')" | smtp_send "$STRANGER" "$account"
  wait_for "the challenge to the UTF-8 subject" is $((challenges + 3)) count "$mbox" 'X-Sendvetter:'
  reply_to_last_challenge whole-utf-8
  wait_for "the encoded reply to release the message" contains "$inbox" tok9-utf8
  no_bounce
  say "UTF-8 subject: the reply with an encoded subject released the message"
  # For a look at what arrived where: SENDVETTER_MTA_KEEP=DIR keeps copies.
  if [ -n "${SENDVETTER_MTA_KEEP:-}" ]; then
    mkdir -p "$SENDVETTER_MTA_KEEP"
    cp "$inbox" "$mbox" "$SENDVETTER_MTA_KEEP/"
    mta_log >"$SENDVETTER_MTA_KEEP/$MTA.log"
  fi
}

if [ "${2:-}" = --inner ]; then
  inner "$3"
  exit 0
fi

# ---------------------------------------------------------------------------
# Outside (first stage): checks, the mail server, the installed build, the
# fixture layers.
# ---------------------------------------------------------------------------
tree=${2:?usage: roundtrip.sh exim|exim-split|postfix RELEASE_BUILD_DIR}
[ "$(id -u)" -eq 0 ] || skip "needs root (private namespaces, fixture users, a mail server)"
command -v unshare >/dev/null || skip "unshare is not available"
command -v setpriv >/dev/null || skip "setpriv is not available"
unshare -m -p -n -f --mount-proc --kill-child true 2>/dev/null ||
  skip "cannot create private mount, process and network namespaces here"

# apt_install PACKAGE...: from the distribution; no service starts meanwhile.
apt_install() {
  local guard="" status=0
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\n# no service starts while the test installs its mail server\nexit 101\n' \
      >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    guard=/usr/sbin/policy-rc.d
  fi
  say "installing $*"
  { apt-get -o DPkg::Lock::Timeout=600 update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq "$@"; } \
    >"$T/apt.log" 2>&1 || status=$?
  [ -z "$guard" ] || rm -f "$guard"
  [ $status -eq 0 ] || { cat "$T/apt.log"; fail "could not install $*"; }
}

T=$(mktemp -d /tmp/sendvetter-mta-XXXXXX)
trap 'rm -rf "$T"' EXIT
chmod 755 "$T"
command -v python3 >/dev/null || apt_install python3

# The installed programs and forms, staged below $T.
DESTDIR="$T/stage" cmake --install "$tree" --prefix /usr >"$T/install.log" 2>&1 ||
  { cat "$T/install.log"; fail "cmake --install failed"; }
PANEL=/usr/bin/sendvetter-panel
[ -x "$T/stage/usr/bin/sendvetter" ] && [ -x "$T/stage$PANEL" ] || fail "the installed programs are missing"
! grep -q -a SENDVETTER_HOST_ROOT "$T/stage/usr/bin/sendvetter" ||
  fail "the installed filter is a test build (relocatable host paths)"

# Fixture users with ids the machine does not use, in the nobody group.
mkdir -p "$T/layer-etc" "$T/home"
cp /etc/passwd "$T/layer-etc/passwd"
cp /etc/group "$T/layer-etc/group"
getent passwd "$OWNER" >/dev/null && skip "this machine has a user $OWNER, the test's mailbox owner"
free_id() { # free_id DATABASE FIRST
  local id=$2
  while getent "$1" "$id" >/dev/null || grep -q "^[^:]*:x:$id:" "$T/layer-etc/$1"; do id=$((id + 1)); done
  echo "$id"
}
# add_user NAME HOME: a fixture user in the nobody group; prints the uid.
add_user() {
  local id
  id=$(free_id passwd 61000)
  echo "$1:x:$id:$GROUP_GID:$1:$2:/bin/sh" >>"$T/layer-etc/passwd"
  echo "$id"
}
GROUP_GID=$(getent group nogroup | cut -d: -f3)
GROUP_GID=${GROUP_GID:-65534}
OWNER_UID=$(add_user "$OWNER" "$T/home/$OWNER")
STRANGER_UID=$(add_user stranger "$T/home/stranger")
touch "$T/layer-etc/sendvetter-test-layer"
USR_LAYERS=$T/stage/usr
mta_prepare

echo "$DOMAIN: $OWNER" >"$T/layer-etc/userdomains"
chmod 644 "$T/layer-etc/passwd" "$T/layer-etc/group" "$T/layer-etc/userdomains"
mkdir -p "$T/home/$OWNER/etc/$DOMAIN" "$T/home/$OWNER/mail/$DOMAIN" "$T/home/stranger"
chown -R "$OWNER_UID:$GROUP_GID" "$T/home/$OWNER"
chown "$STRANGER_UID:$GROUP_GID" "$T/home/stranger"
chmod 700 "$T/home/$OWNER" "$T/home/stranger"

cat >"$T/vars" <<VARS
OWNER_UID=$OWNER_UID
GROUP_GID=$GROUP_GID
PANEL=$PANEL
USR_LAYERS=$USR_LAYERS
VARS

# Should this script be stopped, the namespaces and all their processes go
# too (unshare ignores TERM, so it gets KILL; --kill-child takes the
# namespace down with it), and the EXIT trap removes $T.
unshare -m -p -n -f --mount-proc --kill-child "$0" "$MTA" --inner "$T" &
child=$!
trap 'kill -KILL "$child" 2>/dev/null || true; wait "$child" 2>/dev/null || true; exit 143' TERM INT
wait "$child"
