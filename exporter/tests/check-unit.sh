#!/bin/sh
# check-unit.sh UNIT PROGRAM: systemd accepts the exporter's unit, run from this build.
set -e
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sed "s#^ExecStart=.*#ExecStart=$2#" "$1" >"$scratch/tavrik-exporter.service"
# The manual page is not installed at build time.
systemd-analyze verify --man=no "$scratch/tavrik-exporter.service"
