#!/usr/bin/env bash
# The printer application's service as an install lays it out: the main
# component installed into a staging folder (DESTDIR, prefix /usr), its
# paths checked; systemd-analyze verifies the unit there and rates its
# sandbox; the server runs with the command line the unit and the shipped
# settings make and answers IPP on loopback; the maintainer scripts make the
# system user in a throw-away root, again without change, and leave the
# running system alone.
#   service-test.sh BUILD_DIR PACKAGING_SOURCE_DIR
# Run it inside scripts/in-netns (the server listens on 127.0.0.1).
set -uo pipefail
build=$1 source=$2
work=$(mktemp -d /tmp/service-test.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
unit_path=usr/lib/systemd/system/receipt-printer-app.service

# ---- the staged install ------------------------------------------------------
stage=$work/stage
DESTDIR=$stage cmake --install "$build" --prefix /usr --component tools >"$work/install.log" 2>&1 \
  || { cat "$work/install.log"; fail "cmake --install"; }
for path in usr/bin/receipt-printer-app "$unit_path" etc/default/receipt-printer-app \
    usr/lib/sysusers.d/receipt-printer-app.conf usr/share/man/man1/receipt-printer-app.1.gz \
    usr/share/bash-completion/completions/receipt-printer-app; do
  [ -f "$stage/$path" ] || fail "the install lacks $path"
done
unit=$stage/$unit_path
grep -q '^ExecStart=/usr/bin/receipt-printer-app server ' "$unit" || fail "ExecStart does not run /usr/bin/receipt-printer-app server: $(grep ExecStart "$unit")"
# The man page the unit's Documentation= names is the program's own.
zcat "$stage/usr/share/man/man1/receipt-printer-app.1.gz" | grep -q '^\.TH "\{0,1\}RECEIPT-PRINTER-APP' \
  || fail "the man page is not receipt-printer-app's"
grep -q 'receipt-printer-app' "$stage/usr/share/bash-completion/completions/receipt-printer-app" || fail "completion"

# ---- systemd's view of the unit ---------------------------------------------
# verify resolves the unit's dependencies and its ExecStart inside the root;
# the targets it names come from this machine's systemd. Any line it prints
# (an unknown key, a value it ignores) is a fault: the setting would be lost.
# The targets, and the shell and rm of the privileged helpers, are this
# machine's.
cp /lib/systemd/system/*.target "$stage/usr/lib/systemd/system/"
mkdir -p "$stage/bin" && cp /bin/sh /bin/rm "$stage/bin/"
said=$(systemd-analyze verify --man=no --root="$stage" "/$unit_path" 2>&1)
status=$?
[ $status = 0 ] && [ -z "$said" ] || fail "systemd-analyze verify ($status): $said"
# Hardening, each setting as it must read (what the unit promises a reader of
# its sandbox: no privilege at all, a user of its own in group lp, a
# read-only system).
while IFS= read -r line; do
  [ -z "$line" ] && continue
  grep -qxF "$line" "$unit" || fail "the unit lacks '$line'"
done <<'LINES'
User=receipt-printer-app
SupplementaryGroups=lp dialout
StateDirectory=receipt-printer-app
NoNewPrivileges=yes
CapabilityBoundingSet=
ProtectSystem=strict
ProtectHome=yes
PrivateTmp=yes
PrivateDevices=no
RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK
Restart=on-failure
EnvironmentFile=-/etc/default/receipt-printer-app
Wants=avahi-daemon.service
WantedBy=multi-user.target
LINES
grep -q '^Requires=.*avahi' "$unit" && fail "the unit must not require Avahi"
# systemd's own rating of the sandbox: exposure 3.0 or less ("OK").
systemd-analyze security --offline=yes --root="$stage" --threshold=30 "/$unit_path" >"$work/security.log" 2>&1 \
  || { tail -3 "$work/security.log"; fail "systemd-analyze security: exposure above 3.0"; }

# ---- the server as the unit starts it ---------------------------------------
# ExecStart with the shipped settings, as systemd expands it: ${NAME} from the
# environment file (over the unit's Environment= defaults), %S the state root.
# Only the port changes (a free one) and the state root is a temporary folder.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
command=$(
  set -a
  for assignment in $(sed -n 's/^Environment=//p' "$unit"); do eval "$assignment"; done
  # shellcheck disable=SC1091
  . "$stage/etc/default/receipt-printer-app"
  SERVER_PORT=$port
  line=$(sed -n 's/^ExecStart=//p' "$unit")
  line=${line//%S/$work/state}
  while [[ $line =~ \$\{([A-Z_]+)\} ]]; do
    name=${BASH_REMATCH[1]}
    line=${line//\$\{$name\}/${!name}}
  done
  echo "$line"
)
grep -qx 'LISTEN_HOSTNAME=localhost' "$stage/etc/default/receipt-printer-app" || fail "the settings do not listen on localhost"
grep -qx '#LISTEN_HOSTNAME=\*' "$stage/etc/default/receipt-printer-app" || fail "no line to listen on the network"
# As systemd runs it: an unprivileged user (nobody here) owning the state
# and runtime folders, TMPDIR the runtime folder, and the link the unit
# makes for root's client subcommands (named after the program's link here,
# so that it is this test's own).
name=rpa-service-test-$$
runtime=$work/runtime
mkdir -p "$work/state/receipt-printer-app" "$runtime"
chown 65534:65534 "$work/state/receipt-printer-app" "$runtime"
chmod 755 "$work"
ln -s "$stage/usr/bin/receipt-printer-app" "$work/$name"
client_link=/run/$name.sock
ln -sfn "$runtime/${name}65534.sock" "$client_link"
trap 'cleanup; rm -f "$client_link"' EXIT
read -r -a argv <<<"$command"
argv[0]=$work/$name
start_server() {
  TMPDIR=$runtime setpriv --reuid=65534 --regid=65534 --clear-groups "${argv[@]}" >>"$work/server.out" 2>&1 &
  server_pid=$!
  answered=no
  for _ in $(seq 1 200); do
    kill -0 "$server_pid" 2>/dev/null || break
    if ipptool -T 2 "ipp://127.0.0.1:$port/ipp/system" "$work/system.test" >"$work/ipptool.out" 2>&1; then
      answered=yes; break
    fi
    sleep 0.1
  done
  [ $answered = yes ] || { tail -20 "$work/server.out"; cat "$work/ipptool.out"; fail "the server started as the unit starts it did not answer IPP: ${argv[*]}"; }
}
stop_server() { kill "$server_pid"; wait "$server_pid" 2>/dev/null; server_pid=; }
cat >"$work/system.test" <<'TEST'
{
  NAME "Get-System-Attributes"
  OPERATION Get-System-Attributes
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri system-uri $uri
  STATUS successful-ok
}
TEST
start_server
# root's client subcommands reach it through the link; the printer added is
# kept in the state folder and is there again after a restart.
said=$("$work/$name" add -d Counter -v receipt-socket://127.0.0.1:9 -m receipt_80mm 2>&1) || fail "add as root: $said"
stop_server
grep -q 'Counter' "$work/state/receipt-printer-app/receipt-printer-app.state" 2>/dev/null \
  || fail "no printer in the state folder: $(ls -l "$work/state/receipt-printer-app")"
start_server
said=$("$work/$name" jobs -d Counter 2>&1) || fail "the printer is gone after a restart: $said"
stop_server

# ---- the maintainer scripts in a throw-away root ----------------------------
# The root's user database as base-passwd makes it, lp with a member already.
# Stand-ins for the programs that act on the running system record any call:
# with DPKG_ROOT set, none may come.
root=$work/root
mkdir -p "$root/etc" "$root/usr/lib/sysusers.d" "$root/var/lib/receipt-printer-app" "$work/bin"
cp "$stage/usr/lib/sysusers.d/receipt-printer-app.conf" "$root/usr/lib/sysusers.d/"
printf 'root:x:0:0:root:/root:/bin/bash\nlp:x:7:7:lp:/var/spool/lpd:/usr/sbin/nologin\n' >"$root/etc/passwd"
printf 'root:x:0:\nlp:x:7:alice\ndialout:x:20:\nalice:x:1000:\n' >"$root/etc/group"
printf 'root:*:19000:0:99999:7:::\nlp:*:19000:0:99999:7:::\n' >"$root/etc/shadow"
printf 'root:*::\nlp:*::alice\ndialout:*::\nalice:!::\n' >"$root/etc/gshadow"
touch "$root/var/lib/receipt-printer-app/state"
for program in systemctl udevadm deb-systemd-invoke deb-systemd-helper; do
  printf '#!/bin/sh\necho "%s $*" >>%s/calls\n' "$program" "$work" >"$work/bin/$program"
  chmod 755 "$work/bin/$program"
done
system_users=$(md5sum /etc/passwd /etc/group)
run() { DPKG_ROOT=$root PATH="$work/bin:$PATH" sh "$source/debian/$1" "${@:2}" || fail "$* exited $?"; }
user_line() { grep '^receipt-printer-app:' "$root/etc/passwd"; }

run postinst configure ""
[ "$(grep -c '^receipt-printer-app:' "$root/etc/passwd")" = 1 ] || fail "postinst made no user: $(cat "$root/etc/passwd")"
user_line | grep -q ':/var/lib/receipt-printer-app:/usr/sbin/nologin$' || fail "the user's home or shell: $(user_line)"
uid=$(user_line | cut -d: -f3)
[ "$uid" -ge 100 ] && [ "$uid" -lt 1000 ] || fail "not a system user: uid $uid"
grep -qx 'lp:x:7:alice,receipt-printer-app' "$root/etc/group" || fail "not in the existing group lp: $(grep ^lp: "$root/etc/group")"
grep -qx 'dialout:x:20:receipt-printer-app' "$root/etc/group" || fail "not in group dialout: $(grep ^dialout: "$root/etc/group")"
grep -q '^receipt-printer-app:x:' "$root/etc/group" || fail "no group of its own"
before=$(cd "$root/etc" && md5sum passwd group shadow gshadow)
run postinst configure 1.0.0      # an upgrade, or configure run again
[ "$(cd "$root/etc" && md5sum passwd group shadow gshadow)" = "$before" ] || fail "postinst again changed the user database"
run prerm remove
run postrm remove
[ -f "$root/var/lib/receipt-printer-app/state" ] || fail "remove took the state folder"
run postrm purge
[ -e "$root/var/lib/receipt-printer-app" ] && fail "purge left the state folder"
user_line >/dev/null || fail "purge removed the system user"
[ -e "$work/calls" ] && fail "with DPKG_ROOT set, the scripts acted on the running system: $(cat "$work/calls")"
[ "$(md5sum /etc/passwd /etc/group)" = "$system_users" ] || fail "this machine's user database changed"
echo PASS
