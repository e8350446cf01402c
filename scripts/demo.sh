#!/usr/bin/env bash
# Shows the filter at work on a sandboxed mailbox: fixture host files, a
# capturing sendmail, and the real programs of the test build.
set -euo pipefail
build=${1:?usage: demo.sh BUILD_DIR [--web]}
web=${2:-}
filter="$build/sendvetter"
panel="$build/sendvetter-panel"
src=$(cd "$(dirname "$0")/.." && pwd)

box=$(mktemp -d /tmp/sendvetter-demo-XXXXXX)
trap 'rm -rf "$box"' EXIT
mkdir -p "$box/etc" "$box/home/alice" "$box/bin" "$box/usr/sbin" "$box/sent" \
         "$box/usr/local/orvane/etc/sendvetter/forms"
# The owner is whoever runs the demo: a filter started as root takes the
# owner's ids, and another uid could not enter this private directory.
echo "alice:x:$(id -u):$(id -g):Alice:$box/home/alice:/bin/sh" > "$box/etc/passwd"
echo "example.com: alice" > "$box/etc/userdomains"
printf '#!/bin/sh\necho demo.example.com\n' > "$box/bin/hostname"
cat > "$box/usr/sbin/sendmail" <<SM
#!/bin/sh
n=\$(ls "$box/sent" | wc -l)
cat > "$box/sent/\$n.eml"
SM
chmod +x "$box/bin/hostname" "$box/usr/sbin/sendmail"
cp "$src"/forms/*.txt "$box/usr/local/orvane/etc/sendvetter/forms/" 2>/dev/null || true
export SENDVETTER_HOST_ROOT="$box" PATH="$box/bin:$PATH"

account=info@example.com
emaildir="$box/home/alice/etc/example.com/info"
inbox="$box/home/alice/mail/example.com/info/inbox"
mkdir -p "$box/home/alice/etc/example.com" "$box/home/alice/mail/example.com"

say() { printf '\n== %s\n' "$*"; }

say "self-test"
"$filter" --bincheck

stranger_mail() {  # $1 subject, $2 body line
  printf 'From stranger@elsewhere.test Mon Dec  7 10:00:00 2026\n'
  printf 'Received: from mx.elsewhere.test by demo.example.com with esmtp; Mon, 7 Dec 2026 10:00:00 +0000\n'
  printf 'From: "A Stranger" <Stranger@Elsewhere.test>\nTo: info@example.com\nSubject: %s\n\n%s\n' "$1" "$2"
}

say "1. a stranger writes to $account: the message is held and the sender challenged"
stranger_mail "Hello there" "Is this address still in use?" | "$filter" "$account"; echo "exit status $?"
echo "held in the queue: $(ls "$emaildir/sendvetter/queue")"
echo "verifications record for stranger@elsewhere.test: $(cat "$emaildir/sendvetter/verifications/stranger@elsewhere.test")"

say "2. the challenge that went out through sendmail -t"
cat "$box/sent/0.eml"

say "3. the stranger replies to the challenge (a plain reply keeps the subject)"
subject=$(sed -n 's/^Subject: //p' "$box/sent/0.eml" | head -n 1)
stranger_mail "Re: $subject" "Yes, it is me." | "$filter" "$account"; echo "exit status $?"
echo "white list now: $(cat "$emaildir/.sendvetter/white-list.txt")"
echo "queue now: $(ls "$emaildir/sendvetter/queue" | wc -l) held"

say "4. a second message from the same sender is delivered at once"
stranger_mail "Another question" "Delivered straight away." | "$filter" "$account"; echo "exit status $?"

say "the inbox ($inbox)"
cat "$inbox"

say "a message without any sender"
printf 'Subject: no sender\n\nbody\n' | "$filter" "$account"; echo "exit status $?"

say "an unknown account"
printf 'From: a@b.test\n\nbody\n' | "$filter" nobody@nowhere.test || echo "exit status $?"

say "the mailbox identity ($emaildir/.sendvetter/id)"
cat "$emaildir/.sendvetter/id"; echo

say "settings saved through the panel, then the settings directory"
"$panel" SendVetter_saveconf "$account" "info@example.com,sales@example.com" 30
cat "$emaildir/sendvetter.conf"
"$panel" SendVetter_getboxconfdir "$account"; echo

say "activity log"
cat "$emaildir"/sendvetter/log/*.log

say "the web page for the owner of $account"
if [ "$web" != --web ]; then
  echo "./run demo --web ends by serving it at http://127.0.0.1:8480/ (needs root and dovecot-imapd)"
  exit 0
fi
[ "$(id -u)" -eq 0 ] || { echo "--web needs root: the pages run as the mailbox's owner"; exit 1; }
stranger_mail "Held for the web page" "Deliver me from the web page." |
  sed 's/stranger@elsewhere.test/newcomer@elsewhere.test/I' | "$filter" "$account" >/dev/null
# The pages act as alice, never as root: from here on she is uid 1000 and
# her files are hers; Dovecot checks the password "demo" on a loopback port.
chmod 755 "$box"
chown -R 1000:1000 "$box/home/alice"
sed -i 's/^alice:x:[0-9]*:[0-9]*:/alice:x:1000:1000:/' "$box/etc/passwd"
printf '%s:{PLAIN}demo:1000:1000::%s::\n' "$account" "$box/home/alice" > "$box/users"
cat > "$box/dovecot.conf" <<CONF
protocols = imap
listen = 127.0.0.1
base_dir = $box/dovecot
state_dir = $box/dovecot
log_path = $box/dovecot.log
ssl = no
disable_plaintext_auth = no
passdb {
  driver = passwd-file
  args = $box/users
}
userdb {
  driver = passwd-file
  args = $box/users
}
mail_location = mbox:~/mail/%d/%n:INBOX=~/mail/%d/%n/inbox
service imap-login {
  inet_listener imap {
    port = 10143
  }
  inet_listener imaps {
    port = 0
  }
}
CONF
/usr/sbin/dovecot -F -c "$box/dovecot.conf" &
dovecot_pid=$!
trap 'kill $dovecot_pid 2>/dev/null; wait; rm -rf "$box"' EXIT
echo "Open http://127.0.0.1:8480/ and sign in as $account with the password demo."
echo "Ctrl-C ends the demo."
"$build/sendvetter-web" --listen 127.0.0.1:8480 --imap imap://127.0.0.1:10143 --imap-plain
