#!/bin/sh
# What users install, checked the way they get it: the tree that `cmake --install` stages for
# /usr, with the examples built against it as a programmer would build them, and the Debian
# packages that scripts/package.sh builds, checked with dpkg-deb, then installed on this
# machine with dpkg, tried, and purged again. The machine is left as it was:
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

remove_tavrikd_user() {
    if getent passwd tavrikd >/dev/null; then
        $SUDO userdel tavrikd || return 1
    fi
    if getent group tavrikd >/dev/null; then
        $SUDO groupdel tavrikd || return 1
    fi
}

scratch=$(mktemp -d)
packages="tavrik-tools python3-tavrik libtavrik-dev libtavrik1"
installed=
plugdev_recorded=
plugdev_before=
tavrikd_recorded=
tavrikd_before=
cleanup() {
    if [ -n "$installed" ]; then
        # shellcheck disable=SC2086
        $SUDO dpkg --purge $packages >/dev/null 2>&1 || true
    fi
    if [ -n "$plugdev_recorded" ] && [ -z "$plugdev_before" ] && getent group plugdev >/dev/null; then
        $SUDO groupdel plugdev || true
    fi
    # The package leaves its system user on purge; the check takes away the one it caused.
    if [ -n "$tavrikd_recorded" ] && [ -z "$tavrikd_before" ]; then
        remove_tavrikd_user || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

./scripts/package.sh "$dir" >"$scratch/debs"
deb_of() {
    grep "/$1_[^/]*\.deb\$" "$scratch/debs"
}
deb=$(deb_of tavrik-tools)
lib_deb=$(deb_of libtavrik1)
dev_deb=$(deb_of libtavrik-dev)
python_deb=$(deb_of python3-tavrik)
sed 's/^/check-install: /' "$scratch/debs"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# Every installed file with its mode, nothing else: no test variant, no test program.
# Symbolic links show with mode 777.
py=$(cd "$dir/python/tavrik" && ls _tavrik*.so)
cat >"$scratch/expected-files" <<EOF
/usr/bin/tavrik_exporter 755
/usr/bin/tavrik_info 755
/usr/bin/tavrik_program 755
/usr/bin/tavrik_sim 755
/usr/include/tavrik/tavrik.h 644
/usr/include/tavrik/version.h 644
/usr/lib/$multiarch/cmake/Tavrik/TavrikConfig.cmake 644
/usr/lib/$multiarch/cmake/Tavrik/TavrikConfigVersion.cmake 644
/usr/lib/$multiarch/cmake/Tavrik/TavrikTargets-release.cmake 644
/usr/lib/$multiarch/cmake/Tavrik/TavrikTargets.cmake 644
/usr/lib/$multiarch/libtavrik.so 777
/usr/lib/$multiarch/libtavrik.so.1 777
/usr/lib/$multiarch/libtavrik.so.1.2.3 644
/usr/lib/$multiarch/pkgconfig/tavrik.pc 644
/usr/lib/python3/dist-packages/tavrik/__init__.py 644
/usr/lib/python3/dist-packages/tavrik/__init__.pyi 644
/usr/lib/python3/dist-packages/tavrik/$py 644
/usr/lib/python3/dist-packages/tavrik/py.typed 644
/usr/lib/systemd/system/tavrik-exporter.service 644
/usr/lib/systemd/system/tavrikd.service 644
/usr/lib/sysusers.d/tavrikd.conf 644
/usr/sbin/tavrikd 755
/usr/share/dbus-1/interfaces/io.tavrik1.xml 644
/usr/share/dbus-1/system.d/io.tavrik1.conf 644
/usr/lib/udev/rules.d/60-tavrik.rules 644
/usr/share/bash-completion/completions/tavrik_info 644
/usr/share/bash-completion/completions/tavrik_program 644
/usr/share/doc/libtavrik-dev/examples/CMakeLists.txt 644
/usr/share/doc/libtavrik-dev/examples/monitor.cpp 644
/usr/share/doc/libtavrik-dev/examples/monitor.py 644
/usr/share/doc/tavrik/README.md 644
/usr/share/doc/tavrik/SCENARIO.md 644
/usr/share/doc/tavrik/examples/prometheus/prometheus.yml 644
/usr/share/doc/tavrik/examples/prometheus/tavrik-alerts.yml 644
/usr/share/doc/tavrik/tavrik.ini 644
/usr/share/man/man1/tavrik_exporter.1.gz 644
/usr/share/man/man1/tavrik_info.1.gz 644
/usr/share/man/man1/tavrik_program.1.gz 644
/usr/share/man/man1/tavrik_sim.1.gz 644
/usr/share/man/man5/tavrik.ini.5.gz 644
/usr/share/man/man8/tavrikd.8.gz 644
EOF
sort -o "$scratch/expected-files" "$scratch/expected-files"
cut -d' ' -f1 "$scratch/expected-files" >"$scratch/expected-paths"

# --- The staged tree ---------------------------------------------------------------------
stage=$scratch/stage
DESTDIR=$stage cmake --install "$dir" >/dev/null
# The API reference's pages are doxygen's to name: checked apart, below.
html=/usr/share/doc/libtavrik-dev/html
(cd "$stage" && find . ! -type d -printf '/%P %m\n' | grep -v "^$html/" | sort) \
    >"$scratch/staged-files"
check "staged files and modes" diff -u "$scratch/expected-files" "$scratch/staged-files"
api_reference() {
    for page in index.html classtavrik_1_1Device.html classtavrik_1_1Monitor.html \
        structtavrik_1_1EventRecord.html; do
        [ -f "$stage$html/$page" ] || { echo "no $html/$page"; return 1; }
    done
    grep -q "readEvent" "$stage$html/classtavrik_1_1Device.html"
}
check "staged API reference documents the device and the monitor" api_reference
check "staged udev rule names all six IDs" tests/package/check-rule.sh \
    "$stage/usr/lib/udev/rules.d/60-tavrik.rules" discovery/device_ids.cpp device/tavrik_message.h
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
        names tavrik_exporter.1 /etc/tavrik.ini &&
        names tavrik_exporter.1 /usr/share/doc/tavrik/examples/prometheus/ &&
        names tavrikd.8 /usr/share/dbus-1/interfaces/io.tavrik1.xml &&
        names tavrikd.8 /usr/share/dbus-1/system.d/io.tavrik1.conf &&
        names tavrikd.8 /usr/lib/sysusers.d/tavrikd.conf &&
        grep -qxF ExecStart=/usr/bin/tavrik_exporter \
            "$stage/usr/lib/systemd/system/tavrik-exporter.service" &&
        grep -qxF ExecStart=/usr/sbin/tavrikd "$stage/usr/lib/systemd/system/tavrikd.service" &&
        grep -qF /etc/tavrik.ini "$stage/usr/share/doc/tavrik/tavrik.ini"
}
check "staged documents name /etc and /usr paths" staged_paths
staged_version() {
    [ "$(LD_LIBRARY_PATH=$stage/usr/lib/$multiarch "$stage/usr/bin/tavrik_program" -v)" = \
        "version: 1.2.3" ]
}
check "staged tavrik_program runs" staged_version

# The installed examples, built against the staged tree alone as a programmer's own project
# would be: through the CMake package and through pkg-config.
examples=$stage/usr/share/doc/libtavrik-dev/examples
examples_cmake() {
    cmake -S "$examples" -B "$scratch/examples" -DCMAKE_PREFIX_PATH="$stage/usr" \
        -DCMAKE_FIND_ROOT_PATH="$stage" >/dev/null &&
        cmake --build "$scratch/examples" >/dev/null &&
        [ -x "$scratch/examples/tavrik-monitor" ]
}
check "C++ example built through find_package(Tavrik)" examples_cmake
examples_pkgconfig() {
    flags=$(PKG_CONFIG_SYSROOT_DIR=$stage PKG_CONFIG_LIBDIR=$stage/usr/lib/$multiarch/pkgconfig \
        pkg-config --cflags --libs tavrik) &&
        # shellcheck disable=SC2086
        g++ -std=c++17 -o "$scratch/monitor-pc" "$examples/monitor.cpp" $flags &&
        LD_LIBRARY_PATH=$stage/usr/lib/$multiarch ldd "$scratch/monitor-pc" |
        grep -q "libtavrik.so.1 => $stage"
}
check "C++ example built through pkg-config" examples_pkgconfig
python_example() {
    PYTHONPATH=$stage/usr/lib/python3/dist-packages LD_LIBRARY_PATH=$stage/usr/lib/$multiarch \
        /usr/bin/python3 -c 'import tavrik; assert tavrik.__version__ == "1.2.3"' &&
        /usr/bin/python3 -c 'import py_compile, sys
py_compile.compile(sys.argv[1], cfile=sys.argv[2], doraise=True)' "$examples/monitor.py" "$scratch/monitor.pyc"
}
check "Python package imports from the staged tree; example compiles" python_example

# --- The package -------------------------------------------------------------------------
field_is() {
    actual=$(dpkg-deb -f "$deb" "$1")
    [ "$actual" = "$2" ] || { echo "$1: '$actual', expected '$2'"; return 1; }
}
depends_on() {
    depends=$(dpkg-deb -f "$1" Depends)
    shift
    for wanted in "$@"; do
        echo "$depends" | grep -qF "$wanted" || { echo "Depends lacks $wanted: $depends"; return 1; }
    done
}
metadata() {
    field_is Package tavrik-tools &&
        field_is Version 1.2.3 &&
        field_is Architecture "$(dpkg --print-architecture)" &&
        field_is Section utils &&
        depends_on "$deb" "libtavrik1 (= 1.2.3)" libc6 libstdc++6 &&
        depends_on "$lib_deb" libc6 libstdc++6 libhidapi-hidraw0 libboost-thread &&
        depends_on "$dev_deb" "libtavrik1 (= 1.2.3)" &&
        depends_on "$python_deb" "libtavrik1 (= 1.2.3)" "python3 (>= 3" &&
        [ "$(dpkg-deb -f "$lib_deb" Section)" = libs ] &&
        dpkg-deb -I "$lib_deb" shlibs | grep -q '^libtavrik 1 libtavrik1'
}
check "packages' metadata and dependencies" metadata
# dpkg-deb -c prints "mode owner/group size date time ./path".
for package in "$deb" "$lib_deb" "$dev_deb" "$python_deb"; do
    dpkg-deb -c "$package"
done | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6, $1, $2 }' | grep -v "^$html/" |
    sort >"$scratch/deb-files"
deb_files() {
    awk '{ print $1 }' "$scratch/deb-files" | diff -u "$scratch/expected-paths" - &&
        awk '$3 != "root/root" { print "not owned by root:", $0; bad = 1 }
             $2 ~ /^l/ { next }
             $1 ~ /^\/usr\/s?bin\// && $2 != "-rwxr-xr-x" { print "mode:", $0; bad = 1 }
             $1 !~ /^\/usr\/s?bin\// && $2 != "-rw-r--r--" { print "mode:", $0; bad = 1 }
             END { exit bad }' "$scratch/deb-files"
}
check "package files, owners and modes" deb_files
check "libtavrik-dev holds the API reference" \
    sh -c 'dpkg-deb -c "$1" | grep -q "\\.$2/classtavrik_1_1Device\\.html$"' - "$dev_deb" "$html"
maintainer_scripts() {
    dpkg-deb -e "$deb" "$scratch/control" &&
        for script in postinst prerm postrm; do
            [ -x "$scratch/control/$script" ] && sh -n "$scratch/control/$script" ||
                { echo "$script missing, not executable or not valid sh"; return 1; }
        done
}
check "package maintainer scripts" maintainer_scripts
# What the scripts ask systemd, the users' tools and the bus for where they run, in a mount
# namespace of its own whose /run says so, with the helpers replaced by stubs that log their
# arguments; none of them changes this machine.
stubs() {
    mkdir -p "$1" &&
        for stub in systemctl deb-systemd-invoke deb-systemd-helper groupadd udevadm \
            systemd-sysusers adduser useradd usermod dbus-send; do
            printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$stub" "$scratch/calls" >"$1/$stub"
            chmod 755 "$1/$stub"
        done
}
# run_script PATH SCRIPT ARGS...: one maintainer script, with systemd and the system bus
# running as far as the script can see.
run_script() {
    path=$1
    shift
    : >"$scratch/calls"
    $SUDO unshare --mount --propagation private sh -c \
        'mount -t tmpfs tavrik-check /run && mkdir -p /run/systemd/system /run/dbus &&
         /usr/bin/python3 -c "import socket; socket.socket(socket.AF_UNIX).bind(\"/run/dbus/system_bus_socket\")" &&
         exec "$@"' \
        sh env PATH="$path" /bin/sh "$@" >/dev/null 2>&1
}
unit_calls() {
    stubs "$scratch/stubs" &&
        # Each line: the script and its arguments, then the calls it must make, in order.
        while IFS='|' read -r call expected; do
            # shellcheck disable=SC2086
            run_script "$scratch/stubs:$PATH" "$scratch/control/"$call ||
                { echo "$call failed"; return 1; }
            actual=$(grep -E '^(systemctl|deb-systemd-invoke|systemd-sysusers|dbus-send|deb-systemd-helper (mask|purge)) ' \
                "$scratch/calls" | paste -sd ';' -)
            [ "$actual" = "$expected" ] ||
                { echo "$call: '$actual', expected '$expected'"; return 1; }
        done <<CALLS
postinst configure|systemd-sysusers /usr/lib/sysusers.d/tavrikd.conf;dbus-send --system --type=method_call --dest=org.freedesktop.DBus / org.freedesktop.DBus.ReloadConfig;systemctl --system daemon-reload;deb-systemd-invoke start tavrikd.service
postinst configure 1.2.2|systemd-sysusers /usr/lib/sysusers.d/tavrikd.conf;dbus-send --system --type=method_call --dest=org.freedesktop.DBus / org.freedesktop.DBus.ReloadConfig;systemctl --system daemon-reload;deb-systemd-invoke try-restart tavrik-exporter.service;deb-systemd-invoke restart tavrikd.service
prerm remove|deb-systemd-invoke stop tavrik-exporter.service tavrikd.service
prerm upgrade 1.2.4|
postrm remove|systemctl --system daemon-reload;deb-systemd-helper mask tavrik-exporter.service tavrikd.service
postrm purge|deb-systemd-helper purge tavrik-exporter.service tavrikd.service
CALLS
}
check "maintainer scripts make the user, stop, restart and reload the units where systemd runs" unit_calls
# Without systemd-sysusers the user comes from adduser, as Debian's packages make theirs: a
# PATH of stubs alone, whose getent knows plugdev and no tavrikd.
user_fallback() {
    stubs "$scratch/bare" && rm "$scratch/bare/systemd-sysusers" &&
        printf '#!/bin/sh\n[ "$*" = "group plugdev" ]\n' >"$scratch/bare/getent" &&
        chmod 755 "$scratch/bare/getent" &&
        run_script "$scratch/bare" "$scratch/control/postinst" configure &&
        actual=$(grep -E '^(systemd-sysusers|adduser|useradd|usermod) ' "$scratch/calls" |
            paste -sd ';' -) &&
        expected='adduser --system --group --no-create-home --home /nonexistent --quiet tavrikd;adduser --quiet tavrikd plugdev' &&
        { [ "$actual" = "$expected" ] || { echo "'$actual', expected '$expected'"; return 1; }; }
}
check "postinst makes the user tavrikd with adduser where systemd-sysusers is missing" user_fallback

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
        getent passwd tavrikd >/dev/null && tavrikd_before=yes
        tavrikd_recorded=yes
        installed=yes
        check "dpkg -i" $SUDO dpkg -i "$lib_deb" "$deb" "$dev_deb" "$python_deb"
        help_runs() {
            tavrik_info -h >"$scratch/help" && [ "$(head -n 1 "$scratch/help")" = "Tavrik device info" ]
        }
        check "installed tavrik_info -h" help_runs
        version_runs() {
            [ "$(tavrik_program -v)" = "version: 1.2.3" ]
        }
        check "installed tavrik_program -v" version_runs
        exporter_runs() {
            [ "$(tavrik_exporter -v)" = "version: 1.2.3" ] &&
                if command -v systemd-analyze >/dev/null; then
                    systemd-analyze verify /usr/lib/systemd/system/tavrik-exporter.service
                fi
        }
        check "installed tavrik_exporter -v and its unit" exporter_runs
        tavrikd_runs() {
            [ "$(/usr/sbin/tavrikd -v)" = "version: 1.2.3" ] &&
                if command -v systemd-analyze >/dev/null; then
                    systemd-analyze verify /usr/lib/systemd/system/tavrikd.service
                fi
        }
        check "installed tavrikd -v and its unit" tavrikd_runs
        tavrikd_user() {
            getent passwd tavrikd >/dev/null && id -nG tavrikd | tr ' ' '\n' | grep -qx plugdev &&
                [ -L /etc/systemd/system/multi-user.target.wants/tavrikd.service ] &&
                [ -z "$(ls /etc/systemd/system/*.wants/tavrik-exporter.service 2>/dev/null)" ]
        }
        check "user tavrikd made, in plugdev; its unit enabled, the exporter's not" tavrikd_user
        # The installed policy on a real dbus-daemon, with the user the package made as owner.
        policy_works() {
            $SUDO /usr/bin/python3 tests/package/bus-policy-test.py \
                /usr/share/dbus-1/system.d/io.tavrik1.conf >"$scratch/policy.log" 2>&1
            status=$?
            cat "$scratch/policy.log"
            [ "$status" -eq 0 ] && grep -q 'runs as tavrikd$' "$scratch/policy.log"
        }
        check "installed bus policy loads and admits only tavrikd, root and plugdev" policy_works
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
                    [ "$(man -w 5 tavrik.ini)" = /usr/share/man/man5/tavrik.ini.5.gz ] &&
                    [ "$(man -w 8 tavrikd)" = /usr/share/man/man8/tavrikd.8.gz ]
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
        python_imports() {
            /usr/bin/python3 -c 'import tavrik; assert tavrik.__version__ == "1.2.3"'
        }
        check "installed Python package imports" python_imports

        # An administrator enables the exporter and tavrikd; removal masks them, so that the
        # kept links start nothing, and reinstalling brings them back enabled.
        units="tavrik-exporter.service tavrikd.service"
        links=
        for unit in $units; do
            links="$links /etc/systemd/system/multi-user.target.wants/$unit /etc/systemd/system/$unit"
        done
        unit_state() {
            # shellcheck disable=SC2086
            $SUDO systemctl enable $units &&
                for unit in $units; do
                    [ -L "/etc/systemd/system/multi-user.target.wants/$unit" ] ||
                        { echo "$unit not enabled"; return 1; }
                done &&
                $SUDO dpkg -r tavrik-tools &&
                for unit in $units; do
                    [ "$(readlink "/etc/systemd/system/$unit")" = /dev/null ] ||
                        { echo "$unit not masked"; return 1; }
                done &&
                $SUDO dpkg -i "$deb" &&
                for unit in $units; do
                    [ ! -e "/etc/systemd/system/$unit" ] &&
                        [ -L "/etc/systemd/system/multi-user.target.wants/$unit" ] ||
                        { echo "$unit not enabled again"; return 1; }
                done
        }
        check "removal masks the enabled units; reinstalling keeps them enabled" unit_state

        # shellcheck disable=SC2086
        check "dpkg --purge" $SUDO dpkg --purge $packages
        installed=
        purged() {
            ! dpkg-query -W -f='${Status}' $packages 2>/dev/null | grep -q 'ok installed' &&
                while read -r path; do
                    [ ! -e "$path" ] || { echo "left behind: $path"; return 1; }
                done <"$scratch/expected-paths" &&
                [ ! -e /usr/share/doc/tavrik ] &&
                for link in $links; do
                    [ ! -L "$link" ] || { echo "left behind: $link"; return 1; }
                done &&
                [ -z "$(ls /var/lib/systemd/deb-systemd-helper-*/*tavrik* 2>/dev/null)" ]
        }
        check "purge leaves nothing behind" purged
        # Debian leaves a package's system user on purge, so that files it owns elsewhere do not
        # pass to a later user of its number; the check then removes it if it made it.
        check "purge keeps the user tavrikd" getent passwd tavrikd
        if [ -z "$tavrikd_before" ]; then
            check "user tavrikd removed again" remove_tavrikd_user
        fi
        if [ -z "$plugdev_before" ] && getent group plugdev >/dev/null; then
            check "group plugdev removed again" $SUDO groupdel plugdev
        fi
    fi
fi

echo "check-install: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
