# Exim for roundtrip.sh: Debian's exim4 package, run with the test's
# configuration (exim.conf.in) as /etc/exim4/exim4.conf.
DOMAIN=example.test
STRANGER=stranger@example.test
exim=/usr/sbin/exim4

mta_prepare() {
  [ -x $exim ] || apt_install exim4-daemon-light
  [ -x $exim ] || fail "no $exim"
  # Installed for this test only: no daemon now, none at the next boot.
  if [ -d /run/systemd/system ]; then
    systemctl disable --now exim4 >/dev/null 2>&1 || true
  else
    update-rc.d exim4 disable >/dev/null 2>&1 || true
  fi
  mkdir -p "$T/layer-etc/exim4" "$T/spool" "$T/exim-log"
  sed -e "s|@PORT@|$PORT|g" -e "s|@SPOOL@|$T/spool|g" -e "s|@LOGDIR@|$T/exim-log|g" \
    "$here/exim.conf.in" >"$T/layer-etc/exim4/exim4.conf"
  chmod 644 "$T/layer-etc/exim4/exim4.conf"
  local exim_user
  exim_user=$($exim -bP exim_user 2>/dev/null | sed 's/.*= *//')
  chown "${exim_user:-Debian-exim}:" "$T/spool" "$T/exim-log"
  chmod 750 "$T/spool" "$T/exim-log"
}

mta_start() {
  $exim -bV >"$T/exim-bV.out" 2>&1 || { cat "$T/exim-bV.out"; fail "exim rejects the test configuration"; }
  grep -q '^Configuration file is /etc/exim4/exim4.conf$' "$T/exim-bV.out" ||
    { cat "$T/exim-bV.out"; fail "exim does not read the test configuration"; }
  $exim -bdf &
}
mta_log() { cat "$T/exim-log/mainlog" "$T/exim-log/paniclog" 2>/dev/null || true; }
mta_enable() { :; }   # the routers test for the enable flag themselves
mta_queue() { $exim -bpc; }
mta_retry() { $exim -qff; }
mta_deferrals() { grep -c "== info@$DOMAIN .*returned 75" "$T/exim-log/mainlog" || true; }
mta_failed() { grep -q ' \*\* ' "$T/exim-log/mainlog"; }

# The hosting account's own mailbox (a system account).
mta_more_steps() {
  local state
  state=$(as_owner "$PANEL" --user "$OWNER" SendVetter_changestatus "$OWNER" Enable)
  [ "$state" = enabled ] || fail "panel answered '$state' to Enable for $OWNER"
  message tok6-system "For the owner" | smtp_send "$STRANGER" "$OWNER@$DOMAIN"
  wait_for "the owner's message in the queue" \
    is 1 eval 'find "$home/etc/sendvetter/queue" -name "*.msg" | wc -l'
  wait_for "a second challenge" is 2 count "$mbox" 'X-Sendvetter:'
  ! contains "$inbox" tok6-system || fail "mail for $OWNER went to info's inbox"
  say "system account $OWNER: held in $home/etc/sendvetter/queue, challenge sent"
}
