# shellcheck shell=bash disable=SC2154
# Sender authentication for the Exim round trip (sourced by exim.sh): a DNS
# server of the test's own (dnsmasq on the private loopback, named by a
# layered /etc/resolv.conf) publishes SPF records for two sender domains that
# allow the loopback address only; Exim verifies SPF and writes its
# Authentication-Results with the guide's snippets; the staged system
# configuration names Exim's authserv-id. At the owner's own mailbox (a
# system account, so the round trip's inbox stays as it checks it), a genuine
# message from a white-listed sender is delivered; a forged one from it and a
# forged one from an unknown sender are held, and no request leaves.

# senderauth_prepare EXIM_DIR LOCAL_MACROS (outside the namespaces)
senderauth_prepare() {
  snippet "exim sender-authentication acl" >"$1/sendvetter_acl_data"
  snippet "exim sender-authentication macro" >>"$2"
  echo "nameserver 127.0.0.1" >"$T/layer-etc/resolv.conf"
  echo "authserv-id=mx.example.com" >"$T/stage/usr/local/orvane/etc/sendvetter/sendvetter.conf"
}

# senderauth_steps (inside, after the round trip's own steps, with the
# owner's filter switched on)
senderauth_steps() {
  local rcpt=$OWNER@far.test box=$home/etc inbox=$home/mail/inbox
  held_here() { find "$box/sendvetter/queue" -name '*.msg' | wc -l; }
  local spf="v=spf1 ip4:127.0.0.1 -all" deadline=$((SECONDS + 20))
  dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --user=root \
    --listen-address=127.0.0.1 --bind-interfaces --pid-file="$T/dnsmasq.pid" --local=/test/ \
    --txt-record=friend.test,"$spf" --txt-record=other.test,"$spf" 2>"$T/dnsmasq.log" &
  until [ "$($exim -be '${lookup dnsdb{txt=friend.test}}' 2>/dev/null)" = "$spf" ]; do
    [ $SECONDS -lt $deadline ] || { cat "$T/dnsmasq.log"; fail "the test's DNS server does not answer"; }
    sleep 0.2
  done

  printf '%s\n' 'from ^friend@friend\.test$' | as_owner tee -a "$box/.sendvetter/white-list.txt" >/dev/null
  local requests held log
  requests=$(grep -c "<= <> .*U=$OWNER" /var/log/exim4/mainlog || true)
  held=$(held_here)
  message auth-genuine "From a friend" 'Friend <friend@friend.test>' | smtp_send friend@friend.test "$rcpt"
  wait_for "the genuine message from the white-listed friend" contains "$inbox" auth-genuine
  grep -q 'spf=pass smtp.mailfrom=friend.test' "$inbox" || fail "no SPF pass recorded for the genuine message"
  # From here on, connections over the loopback come from a forger's host,
  # outside the SPF records.
  from_host "$OUTSIDE" || fail "cannot send from $OUTSIDE"
  message auth-forged-friend "Forged friend" 'Friend <friend@friend.test>' | smtp_send friend@friend.test "$rcpt"
  wait_for "the forged friend's message held" is $((held + 1)) held_here
  message auth-forged-other "Forged stranger" 'Someone <someone@other.test>' | smtp_send someone@other.test "$rcpt"
  wait_for "the forged stranger's message held" is $((held + 2)) held_here
  log=$(cat "$box"/sendvetter/log/*.log)
  [[ $log == *"Holding possibly forged mail from white-listed sender friend@friend.test/Forged friend"* ]] ||
    fail "no hold of the forged friend in the activity log"
  [[ $log == *"Holding message without verification request (sender authentication failed) someone@other.test/Forged stranger"* ]] ||
    fail "no hold of the forged stranger in the activity log"
  from_host 127.0.0.1
  grep -q "<= someone@other.test .*\[$OUTSIDE\]" /var/log/exim4/mainlog || fail "the forger's address was not used"
  ! contains "$inbox" auth-forged || fail "a forged message reached the inbox"
  [ "$(grep -c "<= <> .*U=$OWNER" /var/log/exim4/mainlog || true)" = "$requests" ] ||
    { mta_log; fail "a request went to a forged sender"; }
  say "SPF: genuine white-listed mail delivered; forged white-listed and forged unknown mail held, nobody asked"
}
