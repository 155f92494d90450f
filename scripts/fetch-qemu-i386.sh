#!/usr/bin/env bash
# Fetches qemu-i386 of QEMU 10, which runs Wine's 32-bit loader on a kernel
# that runs no i386 code (tests/wine/wine_route.sh), into a fixed cache:
# /var/cache/tovrin-led-test/qemu-i386 as root, else
# ${XDG_CACHE_HOME:-~/.cache}/tovrin-led-test/qemu-i386. Does nothing where
# the kernel runs i386 code or the cached binary is there already.
#
# The binary comes from Debian's qemu-user package in bookworm-backports (it
# is static, so one file is enough), fetched by apt with a private state and
# one source entry at the URIs of the system's own Debian entry, so the
# archive's signature is checked and nothing of apt's or dpkg's is changed.
# Needs no root.
#   scripts/fetch-qemu-i386.sh    exit 0: the binary is there or not needed
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=../tests/wine/wine_route.sh
source "$(dirname "$0")/../tests/wine/wine_route.sh"

say() { echo "fetch-qemu-i386: $*"; }
die() {
    say "$*" >&2
    exit 1
}

[ -x "$wine_dir/wine" ] || die "Wine's i386 loader $wine_dir/wine is missing (install wine32:i386 first)"
if kernel_runs_i386; then
    say "not needed: this kernel runs i386 code"
    exit 0
fi
cache=$(qemu_i386_cache_dir)
if version=$(qemu_i386_version "$cache/qemu-i386"); then
    say "QEMU $version's qemu-i386 is in $cache already"
    exit 0
fi

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[ -n "$codename" ] || die "no VERSION_CODENAME in /etc/os-release"
# shellcheck disable=SC2016  # apt expands $(REPO_URI)
uris=$(apt-get indextargets --format '$(REPO_URI)' "Release: $codename" "Identifier: Packages" |
    sort -u | paste -sd ' ')
[ -n "$uris" ] || die "apt's sources have no entry for suite $codename"

work=$(mktemp -d "${TMPDIR:-/tmp}/fetch-qemu.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sources" "$work/lists/partial" "$work/cache/archives/partial"
{
    echo "Types: deb"
    echo "URIs: $uris"
    echo "Suites: bookworm-backports"
    echo "Components: main"
    echo "Architectures: $(dpkg --print-architecture)"
    keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    [ ! -f "$keyring" ] || echo "Signed-By: $keyring"
} >"$work/sources/backports.sources"
# As root apt downloads as its own user, which must be able to write here.
if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
    chmod 755 "$work"
    chown -R _apt "$work"
fi
private=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work/sources"
    -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" -o Acquire::Languages=none)

say "fetching qemu-user from bookworm-backports ($uris)"
apt-get "${private[@]}" -qq update || die "apt-get update of bookworm-backports failed"
(cd "$work" && apt-get "${private[@]}" -qq download qemu-user/bookworm-backports) ||
    die "apt-get download qemu-user/bookworm-backports failed"
dpkg-deb --fsys-tarfile "$work"/qemu-user_*.deb | tar -x -C "$work" ./usr/bin/qemu-i386 ||
    die "no usr/bin/qemu-i386 in $(basename "$work"/qemu-user_*.deb)"
version=$(qemu_i386_version "$work/usr/bin/qemu-i386") ||
    die "the fetched qemu-i386 is not QEMU 10 or later: $("$work/usr/bin/qemu-i386" --version 2>&1 | head -n 1)"

mkdir -p "$cache"
# Into place in one step, so a cut-short fetch leaves no half a binary.
cp "$work/usr/bin/qemu-i386" "$cache/qemu-i386.new"
mv -f "$cache/qemu-i386.new" "$cache/qemu-i386"
say "fetched QEMU $version's qemu-i386 into $cache ($(du -h "$cache/qemu-i386" | cut -f1))"
