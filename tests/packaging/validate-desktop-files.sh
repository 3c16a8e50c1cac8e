#!/bin/sh
# Runs one validator on a file that the package installs; exits
# 77 (skipped) when the validator is not installed.
# Usage: validate-desktop-files.sh desktop|metainfo|manual FILE
#        validate-desktop-files.sh unit UNITFILE SERVER
set -u
kind=$1
file=$2
need() {
    command -v "$1" >/dev/null 2>&1 || { echo "SKIP: $1 is not installed"; exit 77; }
}
case $kind in
desktop)
    need desktop-file-validate
    # Prints warnings and errors; hints are not faults.
    out=$(desktop-file-validate --no-hints "$file") || { echo "$out"; exit 1; }
    [ -z "$out" ] || { echo "$out"; exit 1; }
    ;;
metainfo)
    need appstreamcli
    appstreamcli validate --no-net --explain "$file"
    ;;
manual)
    # A manual page that renders with warnings renders wrongly; make groff say so.
    need groff
    errors=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$file" 2>&1)
    [ -z "$errors" ] || { echo "$errors"; exit 1; }
    if command -v man >/dev/null 2>&1; then
        text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" 2>&1) || { echo "$text"; exit 1; }
    else
        text=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -P-cbou "$file" 2>&1) || { echo "$text"; exit 1; }
    fi
    for section in NAME SYNOPSIS OPTIONS "EXIT STATUS" ENVIRONMENT; do
        printf '%s\n' "$text" | grep -qx "$section" || { echo "no $section section"; exit 1; }
    done
    ;;
unit)
    # The unit as installed names /usr/bin; check it against the server just built.
    need systemd-analyze
    dir=$(mktemp -d) || exit 1
    trap 'rm -rf "$dir"' EXIT
    sed "s|/usr/bin/winorvex-server|$3|" "$file" > "$dir/winorvex-server.service"
    out=$(systemd-analyze verify "$dir/winorvex-server.service" 2>&1)
    [ -z "$out" ] || { echo "$out"; exit 1; }
    for option in DynamicUser=yes NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes \
        PrivateTmp=yes; do
        grep -qx "$option" "$file" || { echo "no $option"; exit 1; }
    done
    ;;
*)
    echo "unknown kind $kind"
    exit 2
    ;;
esac
