# shellcheck shell=bash disable=SC2154,SC2034,SC2046
# Postfix for roundtrip.sh: Debian's postfix package unpacked below $T (the
# package itself would replace the machine's mail server) and layered over
# /usr, with Debian's master.cf, the test's private main.cf settings and the
# guide's snippets in /etc/postfix.
Q=/var/spool/postfix   # inside the namespace: a tmpfs

mta_prepare() {
  mkdir -p "$T/deb" "$T/postfix"
  (flock 9 && cd "$T/deb" && { apt-get download postfix ||
     { apt-get -o DPkg::Lock::Timeout=600 update -qq && apt-get download postfix; }; }) 9>"$APT_LOCK" >"$T/apt.log" 2>&1 ||
    { cat "$T/apt.log"; fail "could not download Debian's postfix package"; }
  dpkg-deb -x "$T"/deb/postfix_*.deb "$T/postfix" || fail "could not unpack the postfix package"
  # The libraries it needs, should this machine lack them.
  LD_LIBRARY_PATH=$T/postfix/usr/lib/postfix "$T/postfix/usr/sbin/postconf" -d mail_version >/dev/null 2>&1 ||
    apt_install $(dpkg-deb -f "$T"/deb/postfix_*.deb Depends | tr ',' '\n' | sed -n 's/^ *\(lib[^ |]*\).*/\1/p')
  USR_LAYERS=$T/stage/usr:$T/postfix/usr

  local gid uid
  gid=$(free_id group); echo "postdrop:x:$gid:" >>"$T/layer-etc/group"
  chgrp "$gid" "$T/postfix/usr/sbin/postdrop" "$T/postfix/usr/sbin/postqueue"
  chmod 2755 "$T/postfix/usr/sbin/postdrop" "$T/postfix/usr/sbin/postqueue"
  gid=$(free_id group); echo "postfix:x:$gid:" >>"$T/layer-etc/group"
  uid=$(free_id passwd); echo "postfix:x:$uid:$gid:postfix:/nonexistent:/usr/sbin/nologin" >>"$T/layer-etc/passwd"

  local pf=$T/layer-etc/postfix
  cp -a "$T/postfix/etc/postfix" "$pf"
  # Debian's master.cf without the chroot, which would need copies of /etc
  # below the queue.
  { awk '!/^[# \t]/ && NF >= 8 && $5 == "y" { $5 = "n" } { print }' "$T/postfix/usr/share/postfix/master.cf.dist"
    snippet "postfix master.cf"; } >"$pf/master.cf"
  conf postfix-main.cf.in >"$pf/main.cf"
  snippet "postfix main.cf" >>"$pf/main.cf"
  echo "$DOMAIN x" >"$pf/hosted_domains"
  echo "info@$DOMAIN $T/home/$OWNER/mail/$DOMAIN/info/inbox" >"$pf/hosted_mailboxes"
  echo "@$DOMAIN $OWNER_UID" >"$pf/hosted_uids"
  echo "@$DOMAIN $GROUP_GID" >"$pf/hosted_gids"
  : >"$pf/sendvetter_transport"
}

mta_start() {
  # Writable, for postmap.
  mount --bind "$T/layer-etc/postfix" /etc/postfix && mount -t tmpfs sendvetter-queue /var/spool &&
    mkdir -p $Q || fail "no private postfix configuration and queue"
  for map in /etc/postfix/{hosted_domains,hosted_mailboxes,hosted_uids,hosted_gids,sendvetter_transport}; do
    postmap "hash:$map" || fail "postmap $map"
  done
  postfix start >"$T/postfix-start.log" 2>&1 || { cat "$T/postfix-start.log"; mta_log; fail "postfix did not start"; }
}
mta_log() { cat "$T/maillog" 2>/dev/null || true; }
# Switching the filter on also routes the mailbox through it, as the guide says.
mta_enable() {
  echo "$1 sendvetter-$OWNER:" >>/etc/postfix/sendvetter_transport
  postmap hash:/etc/postfix/sendvetter_transport && postfix reload >/dev/null 2>&1 || fail "could not route $1 through the filter"
}
mta_queue() { find $Q/maildrop $Q/incoming $Q/active $Q/deferred -type f 2>/dev/null | wc -l; }
mta_retry() { postqueue -f; }
mta_deferrals() { grep -c "to=<info@$DOMAIN>.*status=deferred" "$T/maillog" || true; }
mta_failed() { grep -q 'status=bounced' "$T/maillog"; }
mta_more_steps() { :; }
