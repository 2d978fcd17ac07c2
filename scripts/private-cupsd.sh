#!/usr/bin/env bash
# Starts or stops a private cupsd for tests and demos.
#
#   scripts/private-cupsd.sh start DIR [--env NAME=VALUE]... [--conf 'DIRECTIVE VALUE']... [--stock-policy]
#                                        builds a CUPS tree below DIR and starts cupsd
#   scripts/private-cupsd.sh stop DIR    stops it (the tree stays for inspection)
#   scripts/private-cupsd.sh env DIR     prints the variables to talk to it
#
# --env passes a variable to the backends and filters cupsd runs (SetEnv), for
# example USB_PRINTER_ROOT=DIR/usbroot or PRINTER_BROADCAST_ADDR=127.0.0.1, so
# that they find a fake USB tree and send discovery probes to loopback only.
# --conf adds a line to cupsd.conf (for example 'JobRetryInterval 2').
# --stock-policy gives cupsd the access rules of a freshly installed system
# instead of allowing everything to everyone: the <Policy default> of the
# packaged cupsd.conf.default, its DefaultAuthType, and the SystemGroup and
# PeerCred of cups-files.conf.default (on Debian: operator work such as
# cupsenable or releasing another user's job for root and the users the group
# database lists in lpadmin, identified by their uid on the socket).
#
# The tree doubles as an install root (LUMBRA_ROOT=DIR): cupsd's ServerBin is
# DIR/usr/lib/cups and its DataDir DIR/usr/share/cups, so a backend or PPD that an
# install writes below DIR is what this cupsd sees. The system's backends,
# filters and data are linked in, except the backend and model folders, which
# are our own. cupsd listens only on the unix socket DIR/cups.sock; point
# clients at it with CUPS_SERVER=DIR/cups.sock. No TCP port is opened.
set -euo pipefail

usage() { echo "usage: $0 start DIR [--env NAME=VALUE]... [--conf 'DIRECTIVE VALUE']... [--stock-policy] | stop DIR | env DIR | --help"; }
cmd=${1:-}; dir=${2:-}
case "$cmd" in
  -h|--help|help)
    # The comment at the top of this file is its manual.
    sed -n '2,/^set -euo pipefail/{/^set -euo/d; s/^# \{0,1\}//; p}' "$0"
    echo; usage; exit 0 ;;
esac
if [ -z "$cmd" ] || [ -z "$dir" ]; then
  usage >&2; echo "($0 --help says more)" >&2; exit 2
fi
shift 2
extra_conf=""; extra_files_conf=""; stock_policy=no
while [ $# -gt 0 ]; do
  case "$1" in
    --env)
      [ $# -ge 2 ] && [[ "$2" == [A-Za-z_]*=* ]] || { echo "$0: --env needs NAME=VALUE" >&2; exit 2; }
      extra_files_conf+="SetEnv ${2%%=*} ${2#*=}"$'\n'; shift 2 ;;
    --conf)
      [ $# -ge 2 ] || { echo "$0: --conf needs a line" >&2; exit 2; }
      extra_conf+="$2"$'\n'; shift 2 ;;
    --stock-policy) stock_policy=yes; shift ;;
    *) echo "$0: unknown option $1" >&2; exit 2 ;;
  esac
done
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
sock="$dir/cups.sock"
pidfile="$dir/cupsd.pid"

sysbin=/usr/lib/cups
sysdata=/usr/share/cups

# Who may do what: everything for everyone, or the packaged defaults.
system_group="SystemGroup root"
auth_type="DefaultAuthType None"
policy='<Policy default>
  <Limit All>
    Order deny,allow
    Allow all
  </Limit>
</Policy>'
if [ "$stock_policy" = yes ]; then
  defaults="$sysdata/cupsd.conf.default"; files_defaults="$sysdata/cups-files.conf.default"
  [ -r "$defaults" ] && [ -r "$files_defaults" ] || { echo "$0: no $defaults or $files_defaults" >&2; exit 2; }
  system_group=$(grep -E '^(SystemGroup|PeerCred)[[:space:]]' "$files_defaults")
  auth_type=$(grep -E '^DefaultAuthType[[:space:]]' "$defaults" || echo "DefaultAuthType Basic")
  policy=$(sed -n '/^<Policy default>/,/^<\/Policy>/p' "$defaults")
fi

start() {
  if [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
    echo "private cupsd already running (pid $(cat "$pidfile"))"; return 0
  fi
  chmod 755 "$dir"
  mkdir -p "$dir/etc/cups/ppd" "$dir/etc/cups/ssl" "$dir/usr/lib/cups/backend" \
           "$dir/usr/share/cups/model" "$dir/var/cache/cups" "$dir/var/run/cups/certs" \
           "$dir/var/spool/cups/tmp" "$dir/var/log/cups"
  chmod -R go-w "$dir/etc" "$dir/usr" "$dir/var"
  chmod 1777 "$dir/var/spool/cups/tmp"
  # ServerBin: the system's programs, but a backend folder of our own.
  for entry in "$sysbin"/*; do
    name=$(basename "$entry")
    [ "$name" = backend ] && continue
    ln -sfn "$entry" "$dir/usr/lib/cups/$name"
  done
  for be in serial parallel socket; do
    [ -e "$sysbin/backend/$be" ] && ln -sfn "$sysbin/backend/$be" "$dir/usr/lib/cups/backend/$be"
  done
  # DataDir: the system's data, but a model folder of our own.
  for entry in "$sysdata"/*; do
    name=$(basename "$entry")
    [ "$name" = model ] && continue
    ln -sfn "$entry" "$dir/usr/share/cups/$name"
  done
  for f in mime.types mime.convs; do
    [ -e "/usr/share/cups/mime/$f" ] || { [ -e "/etc/cups/$f" ] && cp "/etc/cups/$f" "$dir/etc/cups/$f"; }
  done
  cat > "$dir/etc/cups/cups-files.conf" <<CONF
ServerRoot $dir/etc/cups
ServerBin $dir/usr/lib/cups
DataDir $dir/usr/share/cups
CacheDir $dir/var/cache/cups
StateDir $dir/var/run/cups
RequestRoot $dir/var/spool/cups
TempDir $dir/var/spool/cups/tmp
AccessLog $dir/var/log/cups/access_log
ErrorLog $dir/var/log/cups/error_log
PageLog $dir/var/log/cups/page_log
FileDevice Yes
Sandboxing Relaxed
${system_group}
LogFilePerm 0644
ConfigFilePerm 0644
${extra_files_conf}
CONF
  cat > "$dir/etc/cups/cupsd.conf" <<CONF
LogLevel debug
Listen $sock
Browsing No
BrowseLocalProtocols none
${auth_type}
WebInterface No
DefaultShared No
<Location />
  Order allow,deny
  Allow all
</Location>
${policy}
${extra_conf}
CONF
  rm -f "$sock"
  cupsd -f -c "$dir/etc/cups/cupsd.conf" -s "$dir/etc/cups/cups-files.conf" \
    >"$dir/var/log/cups/cupsd.out" 2>&1 &
  echo $! > "$pidfile"
  for _ in $(seq 1 100); do
    if [ -S "$sock" ] && CUPS_SERVER="$sock" lpstat -r >/dev/null 2>&1; then
      echo "private cupsd running (pid $(cat "$pidfile")), CUPS_SERVER=$sock"; return 0
    fi
    kill -0 "$(cat "$pidfile")" 2>/dev/null || break
    sleep 0.1
  done
  echo "private cupsd did not start; see $dir/var/log/cups/" >&2
  cat "$dir/var/log/cups/cupsd.out" >&2 || true
  tail -20 "$dir/var/log/cups/error_log" >&2 || true
  return 1
}

stop() {
  [ -f "$pidfile" ] || return 0
  pid=$(cat "$pidfile")
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$pidfile" "$sock"
}

case "$cmd" in
  start) start ;;
  stop) stop ;;
  env) echo "export CUPS_SERVER=$sock LUMBRA_ROOT=$dir" ;;
  *) usage >&2; exit 2 ;;
esac
