#!/usr/bin/env bash
# Builds the Debian package as `make package` does, but into a temporary
# folder, and holds it to Debian's rules:
#   1. lintian reports no error and no warning (the package's overrides, each
#      with its reason, are honoured);
#   2. the package's version is that of the newest entry of the changelog it
#      carries, which lintian does not compare.
#
# Usage: package.sh <cpack> <build folder>

set -u

# shellcheck source=../e2e/e2e_common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/e2e_common.sh" || exit 1
CPACK=${1:?usage: $0 <cpack> <build folder>}
BUILD=${2:?usage: $0 <cpack> <build folder>}
require_tools lintian dpkg-deb

WORK=$(mktemp -d "${TMPDIR:-/tmp}/keynook-package.XXXXXX") || fail "mktemp failed"
trap e2e_cleanup EXIT
# lintian reads settings from the home folder: none of the user's here.
export HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/config"
mkdir -p "$HOME" "$XDG_CONFIG_HOME" || fail "cannot create folders in $WORK"

# ---------------------------------------------------------------------------
STEP="package"

"$CPACK" -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/out" >"$WORK/cpack.log" 2>&1 ||
    fail "cpack failed: $(cat "$WORK/cpack.log")"
debs=("$WORK"/out/*.deb)
[[ ${#debs[@]} == 1 && -f "${debs[0]}" ]] || fail "cpack wrote [${debs[*]}], expected one .deb"
DEB=${debs[0]}
log "ok: built $(basename "$DEB") in $((SECONDS - STARTED_AT)) s"

# ---------------------------------------------------------------------------
STEP="changelog"

version=$(dpkg-deb --field "$DEB" Version) || fail "dpkg-deb cannot read $DEB"
top=$(dpkg-deb --fsys-tarfile "$DEB" | tar -xO ./usr/share/doc/keynook/changelog.Debian.gz |
    gzip -dc | head -n1)
[[ "$top" == "keynook ($version) "* ]] ||
    fail "the package is version $version, but its changelog starts with [$top]"
log "ok: version $version is the changelog's newest entry"

# ---------------------------------------------------------------------------
STEP="lintian"

lint_started=$SECONDS
status=0
lintian --fail-on error,warning --info "$DEB" >"$WORK/lintian.log" 2>&1 || status=$?
[[ $status == 0 ]] || fail "lintian ended with status $status: $(cat "$WORK/lintian.log")"
# Not the status alone: an error or a warning printed fails the test too.
! grep -q '^[EW]: ' "$WORK/lintian.log" || fail "lintian reported errors or warnings"
log "ok: lintian reports no error and no warning, in $((SECONDS - lint_started)) s"

STEP="done"
log "PASS: the Debian package is lintian-clean, in $((SECONDS - STARTED_AT)) s"
