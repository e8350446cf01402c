#!/usr/bin/env bash
# Measures backscatter: generates a marked corpus of mail (person-to-person
# mail, list posts, auto-replies, delivery and read reports, bulk notices,
# spam with forged senders), runs every message through each given filter
# program on one sandboxed mailbox, and prints per filter: requests sent to
# automated or forged senders, requests sent to persons, forged mail
# delivered, and mail lost (in neither the inbox nor the queue).
#
# Usage: backscatter.sh FILTER [FILTER ...]    (test builds: relocatable host paths)
set -euo pipefail
[ $# -ge 1 ] || { sed -n '9p' "$0"; exit 2; }
src=$(cd "$(dirname "$0")/.." && pwd)

# ---- the corpus: one message per file, KIND-NNN --------------------------------
corpus=$(mktemp -d /tmp/sendvetter-corpus-XXXXXX)
trap 'rm -rf "$corpus"' EXIT
n=0
# emit KIND ENVELOPE FROM [HEADER LINE ...]: the next message of the corpus.
emit() {
  local kind=$1 envelope=$2 from=$3
  shift 3
  n=$((n + 1))
  {
    printf 'From %s Mon Dec  7 10:00:00 2026\n' "$envelope"
    printf 'Received: from mx.far.test by host.example.com with esmtp; Mon, 7 Dec 2026 10:00:00 +0000\n'
    printf 'From: %s\nTo: alice@example.com\nSubject: %s message %d\n' "$from" "$kind" "$n"
    printf 'Message-ID: <corpus-%03d@far.test>\n' "$n"
    [ $# -eq 0 ] || printf '%s\n' "$@"
    printf '\nBody of corpus message %d.\n' "$n"
  } >"$corpus/$(printf '%s-%03d' "$kind" "$n")"
}
ar() { printf 'Authentication-Results: mx.example.com; %s' "$1"; }
for i in $(seq 1 10); do
  emit person "p$i@people.test" "Person $i <p$i@people.test>" "$(ar "spf=pass smtp.mailfrom=people.test")"
  emit person "q$i@people.test" "q$i@people.test"
  # Forwarded on the way (SPF fails) but signed by the author's domain.
  emit person "r$i@people.test" "r$i@people.test" \
    "$(ar "spf=fail smtp.mailfrom=people.test;")" "	dkim=pass header.d=people.test"
done
for i in $(seq 1 5); do
  emit list "bounces+$i@lists.test" "Poster $i <poster$i@people.test>" "List-Id: <dev.lists.test>" "Precedence: list"
  emit list "owner-dev@lists.test" "poster$((i + 5))@people.test" "List-Post: <mailto:dev@lists.test>"
  emit list "bounces@lists.test" "poster$((i + 10))@people.test" "list-unsubscribe: <mailto:u@lists.test>"
  emit autoreply "away$i@far.test" "away$i@far.test" "Auto-Submitted: auto-replied"
  emit autoreply "away$i@far.test" "away$i@far.test" "Precedence: junk" "Subject-Prefix: Out of office"
  emit autoreply "robot$i@far.test" "robot$i@far.test" "AUTO-SUBMITTED: Auto-Generated (ticket)"
  emit report "MAILER-DAEMON" "Mail Delivery System <MAILER-DAEMON@mx.far.test>" \
    "Content-Type: multipart/report; report-type=delivery-status;" "	boundary=b"
  emit report "<>" "reader$i@people.test" "Content-Type: multipart/report;" \
    " report-type=disposition-notification; boundary=b"
  emit report "reader$((i + 5))@people.test" "reader$((i + 5))@people.test" "Return-Path: <>"
  emit spam "victim$i@victim.test" "Victim $i <victim$i@victim.test>" "$(ar "spf=fail smtp.mailfrom=victim.test")"
  emit spam "spam$i@spam.test" "victim$((i + 5))@victim.test" "$(ar "spf=pass smtp.mailfrom=spam.test; dmarc=fail header.from=victim.test")"
  emit spam "friend@friend.test" "Friend <friend@friend.test>" "$(ar "spf=fail smtp.mailfrom=friend.test")"
done
for i in $(seq 1 15); do
  emit bulk "noreply@shop.test" "Shop <noreply@shop.test>" "Precedence: bulk" "List-Unsubscribe: <https://shop.test/u>"
done

kind_of() { local f=${1##*/}; echo "${f%-*}"; }

# ---- one run of the corpus through a filter ------------------------------------
measure() {
  local filter=$1 box
  box=$(mktemp -d /tmp/sendvetter-backscatter-XXXXXX)
  mkdir -p "$box/etc" "$box/home/alice/etc/.sendvetter" "$box/home/alice/mail" "$box/bin" "$box/usr/sbin" \
           "$box/sent" "$box/usr/local/orvane/etc/sendvetter/forms"
  echo "alice:x:1000:1000:Alice:$box/home/alice:/bin/sh" >"$box/etc/passwd"
  : >"$box/etc/userdomains"
  printf '#!/bin/sh\necho host.example.com\n' >"$box/bin/hostname"
  printf '#!/bin/sh\ncat >"%s/sent/$(date +%%s%%N)"\n' "$box" >"$box/usr/sbin/sendmail"
  chmod +x "$box/bin/hostname" "$box/usr/sbin/sendmail"
  cp "$src"/forms/*.txt "$box/usr/local/orvane/etc/sendvetter/forms/"
  echo "authserv-id=mx.example.com" >"$box/usr/local/orvane/etc/sendvetter/sendvetter.conf"
  echo 'from ^friend@friend\.test$' >"$box/home/alice/etc/.sendvetter/white-list.txt"

  local automated=0 forged=0 persons=0 delivered_forged=0 lost=0 msg kind before after id
  for msg in "$corpus"/*; do
    kind=$(kind_of "$msg")
    before=$(ls "$box/sent" | wc -l)
    SENDVETTER_HOST_ROOT=$box PATH="$box/bin:$PATH" "$filter" alice <"$msg" >/dev/null 2>&1 || true
    after=$(ls "$box/sent" | wc -l)
    case $kind in
      person) persons=$((persons + after - before)) ;;
      spam) forged=$((forged + after - before)) ;;
      *) automated=$((automated + after - before)) ;;
    esac
    id=$(sed -n 's/^Message-ID: <\(.*\)>$/\1/p' "$msg")
    if grep -q -F -r "<$id>" "$box/home/alice/mail/inbox" 2>/dev/null; then
      [ "$kind" != spam ] || delivered_forged=$((delivered_forged + 1))
    elif ! grep -q -F -r "<$id>" "$box/home/alice/etc/sendvetter/queue" 2>/dev/null; then
      lost=$((lost + 1))
    fi
  done
  rm -rf "$box"
  printf '| %s | %d | %d | %d of %d | %d | %d |\n' "$filter" "$automated" "$forged" "$persons" \
    "$(ls "$corpus"/person-* | wc -l)" "$delivered_forged" "$lost"
}

total=$(ls "$corpus" | wc -l)
printf 'Corpus: %d messages:' "$total"
for kind in person list autoreply report bulk spam; do printf ' %s %d' "$kind" "$(ls "$corpus"/$kind-* | wc -l)"; done
printf '\n\n| Filter | Requests to automated senders | Requests to forged senders | Requests to persons |'
printf ' Forged mail delivered | Mail lost |\n|---|---|---|---|---|---|\n'
for filter in "$@"; do measure "$filter"; done
