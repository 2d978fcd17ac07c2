#!/usr/bin/env bash
# Floors: every folder includes only folders on floors below its own. Lists
# every project include ("folder/File.h") that runs sideways (another folder
# on the same floor) or up, and fails if there is one.
#
#   floors.sh [SOURCE_DIR]
#
# Test code (any tests/ folder, bench/, fuzz/) stands above every floor and
# is not checked; a folder's own includes ("File.h", "sub/File.h" inside it)
# are never sideways.
set -euo pipefail

src=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$src"

# The floor table, lowest first. A file belongs to the longest folder that
# holds it. README.md's "Layout" section shows the same table.
floors='
0 base
1 protocol
2 link
2 receipt
3 installer/payload
4 installer/engine
5 platform/linux
5 platform/fake
6 cli-common
6 ui-common
7 installer/unattended
8 installer/wizard
9 driver/backend
9 driver/raster
9 driver/service
9 driver/uninstaller
9 sim
9 settings-tool
9 update-tool
9 installer/lumbra
9 installer/tools
9 printer-app
'

# Every C++ source of ours outside the test code, with its project includes.
# In a git checkout the files git knows (build folders stay out wherever they
# are); elsewhere every file but those under build*/.
sources() {
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h'
  else
    find . -path './build*' -prune -o \( -name '*.cpp' -o -name '*.h' \) -type f -print | sed 's|^\./||'
  fi
}
mapfile -t files < <(sources | grep -v -E '(^|/)tests/|^(bench|fuzz)/' | sort -u)

# The floor of each folder, for awk.
table_awk='
  BEGIN {
    n = split(table, rows, "\n")
    for (i = 1; i <= n; i++) if (split(rows[i], cell, " ") == 2) floor[cell[2]] = cell[1]
  }
  # The folder of the table that holds path p ("" when none does).
  function folder(p,    best, d) {
    best = ""
    for (d in floor) if (index(p, d "/") == 1 && length(d) > length(best)) best = d
    return best
  }'

includes() {
  local f
  for f in "${files[@]}"; do
    grep -H -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+/[^"]+"' "$f" || true
  done
}

bad=$(includes | awk -v table="$floors" "$table_awk"'
  {
    split($0, part, ":")
    file = part[1]; line = part[2]
    inc = $0; sub(/^[^"]*"/, "", inc); sub(/".*$/, "", inc)
    from = folder(file); to = folder(inc)
    if (from == "" || to == "" || from == to) next
    if (floor[to] >= floor[from]) {
      how = floor[to] == floor[from] ? "sideways" : "up"
      printf "%s:%s: %s (floor %d) includes %s (%s, floor %d): %s\n", file, line, from, floor[from], inc, to, floor[to], how
    }
  }')

# Every folder with C++ sources of ours must be on a floor.
unplaced=$(printf '%s\n' "${files[@]}" | awk -v table="$floors" "$table_awk"'
  folder($0) == "" { dir = $0; sub(/\/[^\/]*$/, "", dir); print dir }' | sort -u)

status=0
if [[ -n "$bad" ]]; then
  echo "$bad"
  echo "floors: $(printf '%s\n' "$bad" | wc -l) include(s) run sideways or up" >&2
  status=1
fi
if [[ -n "$unplaced" ]]; then
  printf 'floors: folder on no floor: %s\n' $unplaced >&2
  status=1
fi
[[ $status -eq 0 ]] && echo "floors: every include runs down"
exit $status
