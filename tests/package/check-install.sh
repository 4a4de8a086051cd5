#!/bin/sh
# What users install, checked the way they get it: the tree that `cmake --install` stages for
# /usr, and the Debian package that scripts/package.sh builds, checked with dpkg-deb, then
# installed on this machine with dpkg, tried, and purged again. The machine is left as it was:
# the package is purged on every way out, and the group plugdev goes again if the package
# created it. Runs as root (CI) or through sudo.
# Usage: tests/package/check-install.sh [build-dir]   (build-pkg by default)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
dir=${1:-build-pkg}
SUDO=
[ "$(id -u)" -eq 0 ] || SUDO=sudo

passed=0
failed=0
pass() {
    echo "check-install: PASS $1"
    passed=$((passed + 1))
}
fail() {
    echo "check-install: FAIL $1"
    failed=$((failed + 1))
}
# check NAME COMMAND...: one named check; its output is shown only when it fails.
check() {
    name=$1
    shift
    if "$@" >"$scratch/check.log" 2>&1; then
        pass "$name"
    else
        fail "$name"
        sed 's/^/    /' "$scratch/check.log"
    fi
}

scratch=$(mktemp -d)
installed=
plugdev_recorded=
plugdev_before=
cleanup() {
    if [ -n "$installed" ]; then
        $SUDO dpkg --purge tavrik-tools >/dev/null 2>&1 || true
    fi
    if [ -n "$plugdev_recorded" ] && [ -z "$plugdev_before" ] && getent group plugdev >/dev/null; then
        $SUDO groupdel plugdev || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

deb=$(./scripts/package.sh "$dir" | tail -n 1)
echo "check-install: $deb"

# Every installed file with its mode, nothing else: no test variant, no test program.
cat >"$scratch/expected-files" <<'EOF'
/usr/bin/tavrik_info 755
/usr/bin/tavrik_program 755
/usr/bin/tavrik_sim 755
/usr/lib/udev/rules.d/60-tavrik.rules 644
/usr/share/bash-completion/completions/tavrik_info 644
/usr/share/bash-completion/completions/tavrik_program 644
/usr/share/doc/tavrik/README.md 644
/usr/share/doc/tavrik/SCENARIO.md 644
/usr/share/doc/tavrik/tavrik.ini 644
/usr/share/man/man1/tavrik_info.1.gz 644
/usr/share/man/man1/tavrik_program.1.gz 644
/usr/share/man/man1/tavrik_sim.1.gz 644
/usr/share/man/man5/tavrik.ini.5.gz 644
EOF
cut -d' ' -f1 "$scratch/expected-files" >"$scratch/expected-paths"

# --- The staged tree ---------------------------------------------------------------------
stage=$scratch/stage
DESTDIR=$stage cmake --install "$dir" >/dev/null
(cd "$stage" && find . ! -type d -printf '/%P %m\n' | sort) >"$scratch/staged-files"
check "staged files and modes" diff -u "$scratch/expected-files" "$scratch/staged-files"
check "staged udev rule names all six IDs" tests/package/check-rule.sh \
    "$stage/usr/lib/udev/rules.d/60-tavrik.rules" discovery/device_ids.cpp
mkdir "$scratch/man"
for page in "$stage"/usr/share/man/man*/*.gz; do
    zcat "$page" >"$scratch/man/$(basename "$page" .gz)"
done
check "staged manual pages lint clean" mandoc -T lint -W style "$scratch"/man/*
# The pages and the example name the paths of this build.
names() {
    mandoc -T ascii "$scratch/man/$1" | col -b | grep -qF "$2" ||
        { echo "$1 does not name $2"; return 1; }
}
staged_paths() {
    names tavrik_info.1 /etc/tavrik.ini &&
        names tavrik_info.1 /usr/lib/udev/rules.d/60-tavrik.rules &&
        names tavrik_program.1 /usr/lib/udev/rules.d/60-tavrik.rules &&
        names tavrik.ini.5 /etc/tavrik.ini &&
        names tavrik.ini.5 /usr/share/doc/tavrik/tavrik.ini &&
        names tavrik_sim.1 /usr/share/doc/tavrik/SCENARIO.md &&
        grep -qF /etc/tavrik.ini "$stage/usr/share/doc/tavrik/tavrik.ini"
}
check "staged documents name /etc and /usr paths" staged_paths
staged_version() {
    [ "$("$stage/usr/bin/tavrik_program" -v)" = "version: 1.2.3" ]
}
check "staged tavrik_program runs" staged_version

# --- The package -------------------------------------------------------------------------
field_is() {
    actual=$(dpkg-deb -f "$deb" "$1")
    [ "$actual" = "$2" ] || { echo "$1: '$actual', expected '$2'"; return 1; }
}
metadata() {
    field_is Package tavrik-tools &&
        field_is Version 1.2.3 &&
        field_is Architecture "$(dpkg --print-architecture)" &&
        field_is Section utils &&
        depends=$(dpkg-deb -f "$deb" Depends) &&
        for lib in libc6 libstdc++6 libhidapi-hidraw0 libboost-thread; do
            echo "$depends" | grep -q "$lib" || { echo "Depends lacks $lib: $depends"; return 1; }
        done
}
check "package metadata and library dependencies" metadata
# dpkg-deb -c prints "mode owner/group size date time ./path".
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6, $1, $2 }' | sort \
    >"$scratch/deb-files"
deb_files() {
    awk '{ print $1 }' "$scratch/deb-files" | diff -u "$scratch/expected-paths" - &&
        awk '$3 != "root/root" { print "not owned by root:", $0; bad = 1 }
             $1 ~ /^\/usr\/bin\// && $2 != "-rwxr-xr-x" { print "mode:", $0; bad = 1 }
             $1 !~ /^\/usr\/bin\// && $2 != "-rw-r--r--" { print "mode:", $0; bad = 1 }
             END { exit bad }' "$scratch/deb-files"
}
check "package files, owners and modes" deb_files
maintainer_scripts() {
    dpkg-deb -e "$deb" "$scratch/control" &&
        for script in postinst postrm; do
            [ -x "$scratch/control/$script" ] && sh -n "$scratch/control/$script" ||
                { echo "$script missing, not executable or not valid sh"; return 1; }
        done
}
check "package maintainer scripts" maintainer_scripts

# --- Installed on this machine -----------------------------------------------------------
if dpkg-query -W -f='${Status}' tavrik-tools 2>/dev/null | grep -q 'ok installed'; then
    fail "tavrik-tools is already installed here: not installing it over the user's copy"
else
    present=
    while read -r path; do
        [ -e "$path" ] && present="$present $path"
    done <"$scratch/expected-paths"
    if [ -n "$present" ]; then
        fail "files of the package are already here, from no package:$present"
    else
        getent group plugdev >/dev/null && plugdev_before=yes
        plugdev_recorded=yes
        installed=yes
        check "dpkg -i" $SUDO dpkg -i "$deb"
        help_runs() {
            tavrik_info -h >"$scratch/help" && [ "$(head -n 1 "$scratch/help")" = "Tavrik device info" ]
        }
        check "installed tavrik_info -h" help_runs
        version_runs() {
            [ "$(tavrik_program -v)" = "version: 1.2.3" ]
        }
        check "installed tavrik_program -v" version_runs
        # Minimal images may tell dpkg to leave manual pages out (path-exclude); the pages
        # are then checked in the package above, and their absence here is what dpkg was told.
        if grep -qs '^path-exclude=/usr/share/man' /etc/dpkg/dpkg.cfg /etc/dpkg/dpkg.cfg.d/*; then
            excluded() {
                [ ! -e /usr/share/man/man1/tavrik_info.1.gz ]
            }
            check "manual pages left out as dpkg is configured to" excluded
        else
            man_finds() {
                [ "$(man -w tavrik_info)" = /usr/share/man/man1/tavrik_info.1.gz ] &&
                    [ "$(man -w 5 tavrik.ini)" = /usr/share/man/man5/tavrik.ini.5.gz ]
            }
            check "man -w finds the installed pages" man_finds
        fi
        completion_loads() {
            bash -c '. /usr/share/bash-completion/completions/tavrik_info &&
                . /usr/share/bash-completion/completions/tavrik_program &&
                complete -p tavrik_info tavrik_program'
        }
        check "installed bash completion loads" completion_loads
        check "group plugdev exists" getent group plugdev

        check "dpkg --purge" $SUDO dpkg --purge tavrik-tools
        installed=
        purged() {
            ! dpkg-query -W -f='${Status}' tavrik-tools 2>/dev/null | grep -q 'ok installed' &&
                while read -r path; do
                    [ ! -e "$path" ] || { echo "left behind: $path"; return 1; }
                done <"$scratch/expected-paths" &&
                [ ! -e /usr/share/doc/tavrik ]
        }
        check "purge leaves nothing behind" purged
        if [ -z "$plugdev_before" ] && getent group plugdev >/dev/null; then
            check "group plugdev removed again" $SUDO groupdel plugdev
        fi
    fi
fi

echo "check-install: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
