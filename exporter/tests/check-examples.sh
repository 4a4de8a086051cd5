#!/bin/sh
# check-examples.sh EXAMPLES-DIR ALERTS-TEST: promtool accepts the example configuration and
# rules, and the rules fire as the test file expects on fixed series.
set -e
examples=$1
alerts_test=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$examples/prometheus.yml" "$examples/tavrik-alerts.yml" "$alerts_test" "$scratch/"
cd "$scratch"
promtool check config prometheus.yml
promtool check rules tavrik-alerts.yml
promtool test rules "$(basename "$alerts_test")"
