#!/usr/bin/env bash
# Every program answers --help, -h, --version, and for each subcommand its
# --help list names: SUBCOMMAND --help, -h and help SUBCOMMAND alike; the
# help ends with the exit-code table; a wrong option gets one line saying
# what was wrong and the usage line, exit 2.
#   help-convention.sh VERSION PROGRAM...
set -uo pipefail
version=$1; shift
fail() { echo "FAIL: $*"; exit 1; }
for program in "$@"; do
  name=$(basename "$program")
  help=$("$program" --help) || fail "$name --help"
  [[ $help == "Usage: $name "* ]] || fail "$name --help starts: ${help%%$'\n'*}"
  grep -q '^  5  local failure' <<<"$help" || fail "$name --help has no exit-code table"
  [ "$("$program" -h)" = "$help" ] || fail "$name -h differs from --help"
  [ "$("$program" --version)" = "$name $version" ] || fail "$name --version"
  err=$("$program" --no-such-option 2>&1 >/dev/null); rc=$?
  [ $rc -eq 2 ] || fail "$name --no-such-option: exit $rc"
  [ "$(wc -l <<<"$err")" -eq 2 ] && [[ $err == "$name: unknown option --no-such-option"$'\n'"Usage: $name "* ]] \
    || fail "$name --no-such-option says: $err"
  commands=$(sed -n '/^Subcommands:$/,/^$/p' <<<"$help" | sed -n 's/^  \([a-z-]*\).*/\1/p')
  for command in $commands; do
    sub=$("$program" "$command" --help) || fail "$name $command --help"
    [[ $sub == "Usage: $name [OPTIONS] $command"* ]] || fail "$name $command --help starts: ${sub%%$'\n'*}"
    [ "$("$program" "$command" -h)" = "$sub" ] || fail "$name $command -h"
    [ "$("$program" help "$command")" = "$sub" ] || fail "$name help $command"
    err=$("$program" "$command" --no-such-option 2>&1 >/dev/null); rc=$?
    [ $rc -eq 2 ] && [ "$(wc -l <<<"$err")" -eq 2 ] || fail "$name $command --no-such-option: exit $rc: $err"
  done
done
echo PASS
