# shellcheck shell=bash disable=SC2154
# Sender authentication for the Exim round trip (sourced by exim.sh): a DNS
# server of the test's own (dnsmasq on the private loopback, named by a
# layered /etc/resolv.conf) publishes SPF records for two sender domains that
# allow the loopback address only; Exim verifies SPF and writes its
# Authentication-Results with the guide's snippets; the system configuration
# names Exim's authserv-id. At the owner's own mailbox (a system account, so
# the round trip's inbox stays as it checks it), a genuine message from a
# white-listed sender is delivered; a forged one from it and a forged one
# from an unknown sender are held, and no request leaves.

# senderauth_prepare EXIM_DIR LOCAL_MACROS (outside the namespaces)
senderauth_prepare() {
  snippet "exim sender-authentication acl" >"$1/sendvetter_acl_data"
  snippet "exim sender-authentication macro" >>"$2"
  echo "nameserver 127.0.0.1" >"$T/layer-etc/resolv.conf"
  echo "authserv-id=mx.example.com" >"$T/layer-etc/sendvetter/sendvetter.conf"
}

# senderauth_steps (inside, after the round trip's own steps, with the owner's filter switched on)
senderauth_steps() {
  local box=$home/etc spf="v=spf1 ip4:127.0.0.1 -all" log=/var/log/exim4/mainlog requests held
  held_here() { find "$box/sendvetter/queue" -name '*.msg' | wc -l; }
  dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --user=root --listen-address=127.0.0.1 \
    --bind-interfaces --local=/test/ --txt-record=friend.test,"$spf" --txt-record=other.test,"$spf" 2>"$T/dnsmasq.log" &
  wait_for "the test's DNS server" eval '[ "$($exim -be "\${lookup dnsdb{txt=friend.test}}" 2>/dev/null)" = "$spf" ]'
  echo 'from ^friend@friend\.test$' | as_owner tee -a "$box/.sendvetter/white-list.txt" >/dev/null
  requests=$(grep -c "<= <> .*U=$OWNER" $log || true)
  held=$(held_here)
  message auth-genuine "From a friend" 'Friend <friend@friend.test>' | smtp_send friend@friend.test "$OWNER@far.test"
  wait_for "the genuine message from the white-listed friend" contains "$home/mail/inbox" auth-genuine
  grep -q 'spf=pass smtp.mailfrom=friend.test' "$home/mail/inbox" || fail "no SPF pass recorded for the genuine message"
  # From here on, connections over the loopback come from a forger's host, outside the SPF records.
  from_host "$OUTSIDE"
  message auth-forged-friend "Forged friend" 'Friend <friend@friend.test>' | smtp_send friend@friend.test "$OWNER@far.test"
  wait_for "the forged friend's message held" is $((held + 1)) held_here
  message auth-forged-other "Forged stranger" 'Someone <someone@other.test>' | smtp_send someone@other.test "$OWNER@far.test"
  wait_for "the forged stranger's message held" is $((held + 2)) held_here
  from_host 127.0.0.1
  grep -q "<= someone@other.test .*\[$OUTSIDE\]" $log || fail "the forger's address was not used"
  grep -q "Holding possibly forged mail from white-listed sender friend@friend.test/Forged friend" "$box"/sendvetter/log/*.log &&
    grep -q "Holding message without verification request (sender authentication failed) someone@other.test/Forged stranger" \
      "$box"/sendvetter/log/*.log || fail "the activity log does not name both forged holds"
  ! contains "$home/mail/inbox" auth-forged && [ "$(grep -c "<= <> .*U=$OWNER" $log || true)" = "$requests" ] ||
    { mta_log; fail "a forged message was delivered or a request went to a forged sender"; }
  say "SPF: genuine white-listed mail delivered; forged white-listed and forged unknown mail held, nobody asked"
}
