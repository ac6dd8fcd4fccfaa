#!/usr/bin/env bash
# Packs a built release folder (default: build) as a Debian package, checks it with lintian,
# installs it the way a user does, records through the installed /usr/bin/ondrel (the end-to-end
# recording test and the JavaScript host example), and removes the package again.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

warnings=$(groff -man -ww -z doc/ondrel.1 2>&1)
[ -z "$warnings" ] || { echo "doc/ondrel.1: $warnings" >&2; exit 1; }

rm -f "$build"/ondrel_*.deb
quietly() {  # runs a command, showing its output only if it fails
  local log
  log=$("$@" 2>&1) || { echo "$log" >&2; return 1; }
}
(cd "$build" && quietly cpack -G DEB)
deb=$(echo "$PWD/$build"/ondrel_*.deb)
quietly lintian --fail-on error,warning "$deb"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"

trap 'quietly $sudo apt-get purge -y ondrel' EXIT
quietly $sudo apt-get install -y "$deb"
man -w ondrel >/dev/null
ONDREL_TEST_BINARY=/usr/bin/ondrel /usr/bin/python3 -m pytest -p no:cacheprovider -q tests/e2e \
  -k 'records_the_microphone or javascript'
