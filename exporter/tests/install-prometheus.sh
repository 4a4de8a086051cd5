#!/bin/sh
# Installs Debian's prometheus (promtool and the server) for the exporter's tests, without
# letting the package start its own service: the tests start what they need on loopback.
set -e
if command -v promtool >/dev/null && command -v prometheus >/dev/null; then
    exit 0
fi
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo
policy=/usr/sbin/policy-rc.d
added=
if [ ! -e "$policy" ]; then
    # invoke-rc.d and deb-systemd-invoke start no service while this says 101.
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    added=1
fi
status=0
{
    $SUDO apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
            prometheus
} || status=$?
[ -z "$added" ] || $SUDO rm -f "$policy"
exit $status
