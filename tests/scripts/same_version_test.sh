#!/usr/bin/env bash
# scripts/same-version against a stubbed apt-cache and dpkg-query: the choice
# of versions for the Multi-Arch "same" pairs on machines that came with
# older, current or no native copies. Needs no network and no root.
set -u
script=${1:?usage: same_version_test.sh PATH/TO/scripts/same-version}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin"

# The stubs read a small world from files: installed/PKG:ARCH holds the
# installed version; archive/PKG:ARCH the versions the archive has, one a
# line, the candidate first. Their output mimics Debian 12's, including
# apt-cache show's silent success for any version.
cat >"$work/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
name=${@: -1}
f="$WORLD/installed/$name"
[ -f "$f" ] || { echo "dpkg-query: no packages found matching $name" >&2; exit 1; }
printf 'install ok installed|%s' "$(cat "$f")"
STUB
cat >"$work/bin/apt-cache" <<'STUB'
#!/usr/bin/env bash
cmd=$1 name=$2
case "$cmd" in
  show) exit 0 ;;
  madison)
    f="$WORLD/archive/$name"; [ -f "$f" ] || exit 0
    while read -r v; do printf '%10s | %s | http://archive.invalid bookworm/main Packages\n' "${name%%:*}" "$v"; done <"$f" ;;
  policy)
    f="$WORLD/archive/$name"
    printf '%s:\n  Installed: %s\n  Candidate: %s\n' "$name" \
      "$(cat "$WORLD/installed/$name" 2>/dev/null || echo '(none)')" \
      "$( [ -f "$f" ] && head -n1 "$f" || echo '(none)')" ;;
esac
STUB
chmod +x "$work/bin/"*

passed=0 failed=0
# world NAME: a fresh world; then `has`/`serves` lines build it.
world() { export WORLD="$work/$1"; mkdir -p "$WORLD/installed" "$WORLD/archive"; }
has() { echo "$2" >"$WORLD/installed/$1"; }
serves() { local p=$1; shift; printf '%s\n' "$@" >"$WORLD/archive/$p"; }
expect() {
  local what=$1 want=$2 got
  got=$(PATH="$work/bin:$PATH" bash "$script" amd64 libssl3 libssl-dev zlib1g 2>/dev/null | sort | tr '\n' ' ')
  if [ "$got" = "$want" ]; then passed=$((passed + 1)); echo "ok: $what"
  else failed=$((failed + 1)); echo "FAILED: $what"; echo "  want: $want"; echo "  got:  $got"; fi
}

world present
has libssl3:amd64 3.0.20-1; serves libssl3:armhf 3.0.22-1 3.0.20-1; serves libssl3:amd64 3.0.22-1 3.0.20-1
has zlib1g:amd64 1:1.2.13-1; serves zlib1g:armhf 1:1.2.13-1; serves zlib1g:amd64 1:1.2.13-1
expect "native version still in the archive: armhf pinned to it" \
  "libssl3:armhf=3.0.20-1 zlib1g:armhf=1:1.2.13-1 "

world gone
has libssl3:amd64 3.0.19-1; serves libssl3:armhf 3.0.22-1 3.0.20-1; serves libssl3:amd64 3.0.22-1 3.0.20-1
has libssl-dev:amd64 3.0.19-1; serves libssl-dev:armhf 3.0.22-1; serves libssl-dev:amd64 3.0.22-1
expect "native version gone from the archive: both copies to the candidate" \
  "libssl-dev:amd64=3.0.22-1 libssl-dev:armhf=3.0.22-1 libssl3:amd64=3.0.22-1 libssl3:armhf=3.0.22-1 "

world absent
serves libssl3:armhf 3.0.22-1; serves libssl3:amd64 3.0.22-1
expect "not installed natively: left to apt" ""

world matched
has libssl3:amd64 3.0.22-1; has libssl3:armhf 3.0.22-1; serves libssl3:armhf 3.0.22-1
expect "both copies already at one version: nothing to ask" ""

world nocommon
has libssl3:amd64 3.0.19-1; serves libssl3:armhf 3.0.20-1; serves libssl3:amd64 3.0.22-1
expect "no version common to both architectures: no pin, apt decides" ""

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
