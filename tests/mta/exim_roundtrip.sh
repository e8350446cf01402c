#!/usr/bin/env bash
# End-to-end test with a real mail server: Exim on a loopback port pipes mail
# for a protected mailbox into the installed filter and takes its challenges
# through /usr/sbin/sendmail -t. Over SMTP, a stranger's message is held and
# challenged, the stranger's reply releases it, the stranger's next message is
# delivered directly, and a temporary failure of the filter makes Exim defer
# (not bounce) and deliver on the retry.
#
# Usage: exim_roundtrip.sh RELEASE_BUILD_DIR
#
# Runs as root only. Everything happens inside private mount and process
# namespaces: fixture /etc/passwd, /etc/userdomains and Exim configuration are
# layered over /etc, the installed default forms over /usr/local, so the
# machine's own files are never changed; every process ends with the
# namespace and the temporary directory is removed afterwards.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
SKIP=77

say() { printf '== %s\n' "$*"; }
fail() { printf 'FAIL: %s\n' "$*" >&2; exit 1; }
skip() { printf 'SKIP: %s\n' "$*"; exit "$SKIP"; }

# ---------------------------------------------------------------------------
# Inside the namespaces (second stage).
# ---------------------------------------------------------------------------
inner() {
  local T=$1
  # shellcheck disable=SC1091
  . "$T/vars"
  local home=$T/home/$OWNER
  local emaildir=$home/etc/example.test/info
  local deliverdir=$home/mail/example.test/info
  local inbox=$deliverdir/inbox
  local mbox=$T/home/stranger/mbox
  local mainlog=$T/exim-log/mainlog

  # Fixture layers; read-only overlays with the real directories below.
  mount -t overlay sendvetter-etc -o "lowerdir=$T/layer-etc:/etc" /etc ||
    skip "cannot layer the fixture files over /etc (overlay mounts unavailable)"
  mount -t overlay sendvetter-usrlocal -o "lowerdir=$T/stage/usr/local:/usr/local" /usr/local ||
    skip "cannot layer the installed forms over /usr/local (overlay mounts unavailable)"
  [ -e /etc/sendvetter-test-layer ] || fail "the fixture layer is not in place"
  [ -f /usr/local/orvane/etc/sendvetter/forms/verify.txt ] || fail "the installed forms are not in place"
  getent passwd "$OWNER" >/dev/null || fail "fixture user $OWNER unknown"

  local exim=/usr/sbin/exim4 port=$PORT
  daemon=""
  cleanup_inner() {
    if [ -n "$daemon" ]; then kill "$daemon" 2>/dev/null || true; wait "$daemon" 2>/dev/null || true; fi
  }
  trap cleanup_inner EXIT

  "$exim" -bV >"$T/exim-bV.out" 2>&1 || { cat "$T/exim-bV.out"; fail "exim rejects the test configuration"; }
  grep -q '^Configuration file is /etc/exim4/exim4.conf$' "$T/exim-bV.out" ||
    { cat "$T/exim-bV.out"; fail "exim does not read the test configuration"; }
  "$exim" -bdf &
  daemon=$!
  local deadline=$((SECONDS + 20))
  until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    kill -0 "$daemon" 2>/dev/null || { cat "$T/exim-log/paniclog" 2>/dev/null; fail "exim did not start"; }
    [ $SECONDS -lt $deadline ] || fail "exim does not listen on 127.0.0.1:$port"
    sleep 0.2
  done
  say "exim listens on 127.0.0.1:$port"

  as_owner() { setpriv --reuid="$OWNER_UID" --regid="$GROUP_GID" --clear-groups "$@"; }

  # ---- helpers ----
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
    exec 3<>"/dev/tcp/127.0.0.1/$port"
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
      if [ $SECONDS -ge $deadline ]; then
        echo "--- exim mainlog"; cat "$mainlog" 2>/dev/null || true
        echo "--- exim paniclog"; cat "$T/exim-log/paniclog" 2>/dev/null || true
        fail "timed out waiting for: $what"
      fi
      sleep 0.2
    done
  }
  # is VALUE COMMAND...: the command prints VALUE (for wait_for).
  is() { [ "$("${@:2}")" = "$1" ]; }
  log_count() { grep -c -- "$1" "$mainlog" || true; }
  contains() { [ -f "$1" ] && grep -q -F -- "$2" "$1"; }
  count() { if [ -f "$1" ]; then grep -c -F -- "$2" "$1" || true; else echo 0; fi; }
  queue_files() { find "$emaildir/sendvetter/queue" -name '*.msg' 2>/dev/null | wc -l; }
  exim_queue() { "$exim" -bpc; }
  no_bounce() {
    [ "$(count "$mbox" 'Mail delivery failed')" = 0 ] || { cat "$mbox"; fail "a bounce reached the stranger"; }
    ! grep -q ' \*\* ' "$mainlog" || { cat "$mainlog"; fail "exim failed a delivery"; }
  }
  message() { # message TOKEN SUBJECT
    printf 'From: A Stranger <stranger@example.test>\nTo: info@example.test\nSubject: %s\n' "$2"
    printf 'Message-ID: <%s@client.example.test>\n\n' "$1"
    printf 'Hello, this is %s.\nFrom here on the body goes on.\n.a line that starts with a dot\n' "$1"
  }

  # ---- 0: the filter switched off: plain delivery into the inbox ----
  as_owner mkdir -p "$deliverdir"
  message tok0-before-enable "Before the filter" | smtp_send stranger@example.test info@example.test
  wait_for "plain delivery into the inbox" contains "$inbox" tok0-before-enable
  [ ! -e "$emaildir/sendvetter" ] || fail "the filter ran although it is switched off"
  say "filter off: delivered straight into $inbox"

  # ---- switch it on through the panel, as the domain's owner ----
  local state
  state=$(as_owner "$PANEL" --user "$OWNER" SendVetter_changestatus info@example.test Enable)
  [ "$state" = enabled ] || fail "panel answered '$state' to Enable"
  [ -e "$emaildir/.sendvetterenable" ] || fail "no enable flag after the panel's Enable"

  # ---- 1: a stranger's message is held and challenged ----
  message tok1-held "Lunch on Friday" | smtp_send stranger@example.test info@example.test
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
  [ "$from" = info@example.test ] || fail "challenge comes from '$from', not from the protected address"
  grep -q '^X-Sendvetter: ' "$mbox" || fail "the challenge has no X-Sendvetter header"
  grep -q '^To: stranger@example.test' "$mbox" || fail "the challenge is not addressed to the stranger"
  say "held as queue/$id.msg; challenge '$subject' from $from arrived in $mbox"

  # ---- 2: the stranger's reply releases the held message ----
  {
    printf 'From: A Stranger <stranger@example.test>\nTo: %s\nSubject: Re: %s\n' "$from" "$subject"
    printf 'In-Reply-To: <challenge@example.test>\n\nYes, that was me.\n'
  } | smtp_send stranger@example.test "$from"
  wait_for "the held message released into the inbox" contains "$inbox" tok1-held
  wait_for "the queue emptied" is 0 queue_files
  grep -q 'stranger@example' "$emaildir/.sendvetter/white-list.txt" || fail "the stranger is not on the white list"
  ! contains "$inbox" "Yes, that was me." || fail "the reply itself was delivered"
  contains "$inbox" '>From here on the body goes on.' || fail "body line 'From ' not escaped in the inbox"
  grep -q -x -F '.a line that starts with a dot' "$inbox" || fail "dot-stuffing was not undone"
  say "reply 'Re: $subject' released the held message into the inbox; stranger white-listed"

  # ---- 3: the stranger's next message is delivered directly ----
  message tok3-direct "Second message" | smtp_send stranger@example.test info@example.test
  wait_for "direct delivery of the next message" contains "$inbox" tok3-direct
  [ "$(count "$mbox" 'X-Sendvetter:')" = 1 ] || fail "the white-listed stranger was challenged again"
  [ "$(queue_files)" = 0 ] || fail "the white-listed stranger's message was held"
  say "next message from the stranger delivered directly, no new challenge"

  # ---- 4: temporary failures defer, the retry delivers ----
  mv "$home/mail/example.test" "$home/mail/example.test.away"
  message tok4-deferred "Third message" | smtp_send stranger@example.test info@example.test
  wait_for "exim to defer on status 75 (no delivery directory)" \
    grep -q '== info@example.test .*returned 75' "$mainlog"
  [ "$(exim_queue)" = 1 ] || fail "the deferred message is not in exim's queue"
  no_bounce
  mv "$home/mail/example.test.away" "$home/mail/example.test"
  say "delivery directory missing: status 75, exim deferred the message"

  chmod 0400 "$inbox"
  "$exim" -qff
  wait_for "a second deferral (inbox not writable)" \
    is 2 log_count '== info@example.test .*returned 75'
  [ "$(exim_queue)" = 1 ] || fail "the message left exim's queue although the filter could not store it"
  ! contains "$inbox" tok4-deferred || fail "an unstorable message was reported as stored"
  no_bounce
  chmod 0600 "$inbox"
  say "inbox not writable: status 75, exim deferred again"

  "$exim" -qff
  wait_for "delivery on the retry" contains "$inbox" tok4-deferred
  wait_for "exim's queue to empty" is 0 exim_queue
  no_bounce
  say "retry delivered the deferred message"

  # ---- 5: the hosting account's own mailbox (a system account) ----
  state=$(as_owner "$PANEL" --user "$OWNER" SendVetter_changestatus "$OWNER" Enable)
  [ "$state" = enabled ] || fail "panel answered '$state' to Enable for $OWNER"
  message tok5-system "For the owner" | smtp_send stranger@example.test "$OWNER@example.test"
  wait_for "the owner's message in the queue" \
    is 1 eval 'find "$home/etc/sendvetter/queue" -name "*.msg" | wc -l'
  wait_for "a second challenge" is 2 count "$mbox" 'X-Sendvetter:'
  ! contains "$inbox" tok5-system || fail "mail for $OWNER went to info's inbox"
  say "system account $OWNER: held in $home/etc/sendvetter/queue, challenge sent"

  # The inbox holds each message once, in order, and no challenge traffic.
  local order
  order=$(grep -o 'tok[0-9]-[a-z-]*' "$inbox" | awk '!seen[$0]++' | tr '\n' ' ')
  [ "$order" = "tok0-before-enable tok1-held tok3-direct tok4-deferred " ] ||
    fail "inbox holds: $order"
  for t in tok0-before-enable tok1-held tok3-direct tok4-deferred; do
    [ "$(count "$inbox" "Message-ID: <$t@")" = 1 ] || fail "$t is not in the inbox exactly once"
  done
  ! grep -q 'verify#' "$inbox" || fail "challenge traffic reached the inbox"
  say "inbox: $order"
  # For a look at what arrived where: SENDVETTER_MTA_KEEP=DIR keeps copies.
  if [ -n "${SENDVETTER_MTA_KEEP:-}" ]; then
    mkdir -p "$SENDVETTER_MTA_KEEP"
    cp "$inbox" "$mbox" "$mainlog" "$SENDVETTER_MTA_KEEP/"
    cp -r "$emaildir/sendvetter/log" "$emaildir/.sendvetter/white-list.txt" "$SENDVETTER_MTA_KEEP/"
  fi
}

if [ "${1:-}" = --inner ]; then
  inner "$2"
  exit 0
fi

# ---------------------------------------------------------------------------
# Outside (first stage): checks, the mail server package, the installed
# build, the fixture layers.
# ---------------------------------------------------------------------------
tree=${1:?usage: exim_roundtrip.sh RELEASE_BUILD_DIR}
[ "$(id -u)" -eq 0 ] || skip "needs root (private namespaces, fixture users, a mail server)"
command -v unshare >/dev/null || skip "unshare is not available"
command -v setpriv >/dev/null || skip "setpriv is not available"
unshare -m -p -f --mount-proc --kill-child true 2>/dev/null ||
  skip "cannot create private mount and process namespaces here"

# Exim from the distribution; the package must not leave a system daemon.
if [ ! -x /usr/sbin/exim4 ]; then
  say "installing exim4-daemon-light"
  guard=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\n# no service starts while the test installs its mail server\nexit 101\n' \
      >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
    guard=/usr/sbin/policy-rc.d
  fi
  status=0
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq exim4-daemon-light; } \
    >/tmp/sendvetter-exim-install.log 2>&1 || status=$?
  [ -z "$guard" ] || rm -f "$guard"
  if [ $status -ne 0 ]; then
    cat /tmp/sendvetter-exim-install.log; rm -f /tmp/sendvetter-exim-install.log
    fail "could not install exim4-daemon-light"
  fi
  rm -f /tmp/sendvetter-exim-install.log
  # Installed for this test only: no daemon now, none at the next boot.
  if [ -d /run/systemd/system ]; then
    systemctl disable --now exim4 >/dev/null 2>&1 || true
  else
    update-rc.d exim4 disable >/dev/null 2>&1 || true
    if [ -s /run/exim4/exim.pid ] && kill -0 "$(cat /run/exim4/exim.pid)" 2>/dev/null; then
      /etc/init.d/exim4 stop >/dev/null 2>&1 || true
    fi
  fi
fi
[ -x /usr/sbin/exim4 ] || fail "no /usr/sbin/exim4"

T=$(mktemp -d /tmp/sendvetter-mta-XXXXXX)
trap 'rm -rf "$T"' EXIT
chmod 755 "$T"

# The installed programs and forms, staged below $T.
DESTDIR="$T/stage" cmake --install "$tree" --prefix /usr >"$T/install.log" 2>&1 ||
  { cat "$T/install.log"; fail "cmake --install failed"; }
FILTER=$T/stage/usr/bin/sendvetter
PANEL=$T/stage/usr/bin/sendvetter-panel
[ -x "$FILTER" ] && [ -x "$PANEL" ] || fail "the installed programs are missing"
! grep -q -a SENDVETTER_HOST_ROOT "$FILTER" || fail "the installed filter is a test build (relocatable host paths)"

# Fixture users with ids the machine does not use, in the nobody group.
free_uid() {
  local id=$1
  while getent passwd "$id" >/dev/null || grep -q ":x:$id:" "$T/layer-etc/passwd" 2>/dev/null; do
    id=$((id + 1))
  done
  echo "$id"
}
GROUP_GID=$(getent group nogroup | cut -d: -f3)
GROUP_GID=${GROUP_GID:-65534}
OWNER=svowner
mkdir -p "$T/layer-etc/exim4" "$T/home" "$T/spool" "$T/exim-log"
cp /etc/passwd "$T/layer-etc/passwd"
OWNER_UID=$(free_uid 61000)
echo "$OWNER:x:$OWNER_UID:$GROUP_GID:Hosting owner:$T/home/$OWNER:/bin/sh" >>"$T/layer-etc/passwd"
STRANGER_UID=$(free_uid $((OWNER_UID + 1)))
echo "stranger:x:$STRANGER_UID:$GROUP_GID:A stranger:$T/home/stranger:/bin/sh" >>"$T/layer-etc/passwd"
echo "example.test: $OWNER" >"$T/layer-etc/userdomains"
touch "$T/layer-etc/sendvetter-test-layer"
# A free loopback port for the test's Exim.
PORT=""
for p in $(seq 2525 2600); do
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then PORT=$p; break; fi
done
[ -n "$PORT" ] || fail "no free port in 2525-2600"
sed -e "s|@PORT@|$PORT|g" -e "s|@SPOOL@|$T/spool|g" -e "s|@LOGDIR@|$T/exim-log|g" -e "s|@FILTER@|$FILTER|g" \
  "$here/exim.conf.in" >"$T/layer-etc/exim4/exim4.conf"
chmod 644 "$T/layer-etc/passwd" "$T/layer-etc/userdomains" "$T/layer-etc/exim4/exim4.conf"

mkdir -p "$T/home/$OWNER/etc/example.test" "$T/home/$OWNER/mail/example.test" "$T/home/stranger"
chown -R "$OWNER_UID:$GROUP_GID" "$T/home/$OWNER"
chown "$STRANGER_UID:$GROUP_GID" "$T/home/stranger"
chmod 700 "$T/home/$OWNER" "$T/home/stranger"
exim_user=$(/usr/sbin/exim4 -bP exim_user 2>/dev/null | sed 's/.*= *//')
chown "${exim_user:-Debian-exim}:" "$T/spool" "$T/exim-log"
chmod 750 "$T/spool" "$T/exim-log"

cat >"$T/vars" <<VARS
PORT=$PORT
OWNER=$OWNER
OWNER_UID=$OWNER_UID
GROUP_GID=$GROUP_GID
PANEL=$PANEL
VARS

# Should this script be stopped, the namespace and all its processes go too
# (unshare ignores TERM, so it gets KILL; --kill-child takes the namespace
# down with it), and the EXIT trap removes $T.
unshare -m -p -f --mount-proc --kill-child "$0" --inner "$T" &
child=$!
trap 'kill -KILL "$child" 2>/dev/null || true; wait "$child" 2>/dev/null || true; exit 143' TERM INT
wait "$child"
