#!/bin/sh
# Renders one manual page from its scdoc source, tidied by tidy-manual.awk: plain for the lint
# test, and compressed without name or time stamp for installing.
# Usage: render-manual.sh <scdoc> <source.scd> <output>
set -eu
"$1" <"$2" >"$3.scdoc"
awk -f "$(dirname "$0")/tidy-manual.awk" "$3.scdoc" >"$3"
rm -f "$3.scdoc"
gzip -9nc "$3" >"$3.gz"
