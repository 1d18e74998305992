#!/usr/bin/env bash
# scripts/install-deps.sh against a fake apt: apt-get, apt-cache, dpkg,
# dpkg-query and id first on PATH, so no network and no root are needed.
# Each case: how many updates fail, which packages apt cannot install or does
# not list; then the exit status, the number of updates tried and what the
# script names.
# Usage: install_deps_test.sh SOURCE_DIR
set -u
script=$1/scripts/install-deps.sh
scratch=$(mktemp -d "${TMPDIR:-/tmp}/temp-install-deps.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

fake=$scratch/bin
mkdir -p "$fake"
# The fakes share one state folder ($FAKE): installed (one package a line),
# updates (one line per update tried), update_fails (how many updates fail),
# broken and unlisted (packages apt cannot install / has no candidate for).
cat > "$fake/apt-get" <<'FAKE'
#!/bin/bash
case $1 in
  update)
    echo update >> "$FAKE/updates"
    if [ "$(wc -l < "$FAKE/updates")" -le "$(cat "$FAKE/update_fails")" ]; then
      echo "E: Failed to fetch .../Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
      exit 100
    fi ;;
  install)
    status=0
    for p in "$@"; do
      case $p in -*|install) continue ;; esac
      if grep -qx "$p" "$FAKE/broken"; then status=100; else echo "$p" >> "$FAKE/installed"; fi
    done
    exit $status ;;
esac
FAKE
cat > "$fake/apt-cache" <<'FAKE'
#!/bin/bash
grep -qx "$2" "$FAKE/unlisted" && { echo "  Candidate: (none)"; exit 0; }
echo "  Candidate: 1.0"
FAKE
cat > "$fake/dpkg-query" <<'FAKE'
#!/bin/bash
grep -qx "${!#}" "$FAKE/installed" && printf 'install ok installed'
exit 0
FAKE
printf '#!/bin/bash\n[ "$1" = --print-architecture ] && echo amd64\nexit 0\n' > "$fake/dpkg"
printf '#!/bin/bash\necho 0\n' > "$fake/id"
chmod +x "$fake"/*

# name | updates failing | broken | unlisted | exit | updates tried | named on stderr (a regex, or -)
cases=(
  "update works|0|||0|1|-"
  "one failed update is retried|1|||0|2|trying once more"
  "two failed updates: go on with the old lists|2|||0|2|going on with the package lists apt has"
  "a package that cannot be installed is named|2|libusb-1.0-0-dev||1|2|could not install: libusb-1.0-0-dev$"
  "a package stale lists lack is named|2||libsqlite3-dev|1|2|not in apt's package lists.*: libsqlite3-dev$"
)
for row in "${cases[@]}"; do
  IFS='|' read -r name fails broken unlisted want_status want_updates want_said <<<"$row"
  export FAKE=$scratch/state
  rm -rf "$FAKE"; mkdir -p "$FAKE"
  echo "$fails" > "$FAKE/update_fails"
  : > "$FAKE/updates"; : > "$FAKE/installed"
  echo "$broken" > "$FAKE/broken"; echo "$unlisted" > "$FAKE/unlisted"
  PATH=$fake:$PATH bash "$script" --run > "$scratch/out" 2> "$scratch/err"
  status=$?
  [ "$status" = "$want_status" ] || fail "$name: exit $status, wanted $want_status"
  updates=$(wc -l < "$FAKE/updates")
  [ "$updates" = "$want_updates" ] || fail "$name: $updates updates tried, wanted $want_updates"
  if [ "$want_said" != - ] && ! grep -q -- "$want_said" "$scratch/err"; then
    fail "$name: stderr lacks '$want_said'"
  fi
  # Whatever apt could install is installed, whatever happened to the update.
  for p in g++ cmake; do
    grep -qx "$p" "$FAKE/installed" || fail "$name: $p not installed"
  done
  [ "$failures" -eq 0 ] || { cat "$scratch/err" >&2; }
done

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all checks passed"
