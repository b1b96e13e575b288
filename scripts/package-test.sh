#!/bin/bash
# Builds the Debian package from a configured build tree, installs it on this machine, and
# checks the installed copy: sorbel-cli --version, a download of the installed sample.hex
# into the installed sorbel-target, the desktop entry, the metainfo, the icons and the
# manual pages. Removes the package again afterwards, also when a check fails.
# Usage: scripts/package-test.sh BUILD_DIR      (as root: dpkg installs into /usr)
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1/CMakeCache.txt" ]; then
    echo "usage: $0 BUILD_DIR   (a configured and built build tree)" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
if [ "$(id -u)" -ne 0 ]; then
    echo "package-test: needs root to install the package with dpkg" >&2
    exit 2
fi
for tool in cpack dpkg dpkg-shlibdeps desktop-file-validate appstreamcli man; do
    if ! command -v "$tool" >/dev/null; then
        echo "package-test: $tool is not installed (scripts/setup.sh installs it)" >&2
        exit 1
    fi
done

package=sorbel
work=$(mktemp -d /tmp/sorbel-package-test.XXXXXX)
target_pid=""
installed_by_us=0

# dpkg waits for no lock: another apt or dpkg run on this machine makes it fail at once.
dpkg_retry() {
    local try
    for try in 1 2 3 4 5 6 7 8 9 10 11 12; do
        if dpkg "$@" 2>"$work/dpkg.err"; then
            return 0
        fi
        if ! grep -q "lock" "$work/dpkg.err"; then
            cat "$work/dpkg.err" >&2
            return 1
        fi
        echo "package-test: dpkg is locked by another program, retrying ($try)" >&2
        sleep 5
    done
    cat "$work/dpkg.err" >&2
    return 1
}

cleanup() {
    local status=$?
    if [ -n "$target_pid" ] && kill -0 "$target_pid" 2>/dev/null; then
        kill "$target_pid" 2>/dev/null || true
        wait "$target_pid" 2>/dev/null || true
    fi
    if [ "$installed_by_us" -eq 1 ]; then
        echo "== removing the package"
        if ! dpkg_retry -r "$package" >/dev/null; then
            echo "package-test: could not remove the package $package" >&2
            status=1
        fi
    fi
    rm -rf "$work"
    if [ "$status" -ne 0 ]; then
        echo "package-test: FAILED" >&2
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    echo "package-test: $*" >&2
    exit 1
}

if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    fail "the package $package is already installed on this machine; remove it first (dpkg -r $package)"
fi

echo "== building the package"
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log" >&2
    fail "cpack failed"
}
deb=$(find "$work/out" -maxdepth 1 -name "${package}_*.deb" | head -n 1)
[ -n "$deb" ] || fail "cpack made no .deb in $work/out"
echo "$(basename "$deb")"
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends

echo "== installing it"
installed_by_us=1
dpkg_retry -i "$deb" >/dev/null || fail "dpkg -i $deb failed (a dependency missing?)"

# The installed copy must not read or write the settings of whoever runs the tests.
export HOME="$work/home"
export XDG_CONFIG_HOME="$work/home/.config"
mkdir -p "$HOME"
cli=/usr/bin/sorbel-cli
target=/usr/bin/sorbel-target
sample=/usr/share/sorbel/sample.hex
for f in "$cli" "$target" "$sample"; do
    [ -e "$f" ] || fail "$f is not installed"
done

echo "== sorbel-cli --version"
version=$("$cli" --version) || fail "sorbel-cli --version failed"
echo "$version"
expected=$(dpkg-query -W -f='${Version}' "$package")
case "$version" in
*"$expected"*) ;;
*) fail "sorbel-cli --version says '$version', the package is $expected" ;;
esac

echo "== download of the installed sample into the installed simulated target"
"$target" >"$work/target.out" 2>"$work/target.err" &
target_pid=$!
device=""
for _ in $(seq 1 100); do
    device=$(head -n 1 "$work/target.out" 2>/dev/null || true)
    [ -n "$device" ] && break
    kill -0 "$target_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$device" ]; then
    cat "$work/target.err" >&2
    fail "sorbel-target printed no device"
fi
echo "target on $device"
if ! timeout 120 "$cli" -p "$device" -b 115200 -f "$sample" --verify --timeout 30 \
    >"$work/cli.out" 2>"$work/cli.err"; then
    cat "$work/cli.out" "$work/cli.err" >&2
    fail "the download into sorbel-target failed"
fi
grep -q "Download Complete." "$work/cli.out" || {
    cat "$work/cli.out" "$work/cli.err" >&2
    fail "sorbel-cli did not report \"Download Complete.\""
}
tail -n 3 "$work/cli.out"
kill "$target_pid" 2>/dev/null || true
wait "$target_pid" 2>/dev/null || true
target_pid=""
grep -q . "$work/target.out" && sed -n '2,$p' "$work/target.out"
[ ! -e "$XDG_CONFIG_HOME/sorbel" ] || fail "sorbel-cli wrote a settings folder"

echo "== defaults of the installed copy, and an absent port"
# No file given: the default is the installed sample, so the file check passes and the
# port is what fails (exit status 3), naming the port and saying it is absent.
status=0
"$cli" -p /dev/sorbel-package-test-absent -b 115200 --timeout 5 \
    >"$work/absent.out" 2>"$work/absent.err" || status=$?
if [ "$status" -ne 3 ] || ! grep -q "Communication Port Error." "$work/absent.err" ||
    ! grep -q "/dev/sorbel-package-test-absent.*the port is absent" "$work/absent.err"; then
    cat "$work/absent.out" "$work/absent.err" >&2
    fail "sorbel-cli with an absent port: exit status $status, expected 3 and the absent message"
fi
grep "the port is absent" "$work/absent.err" | head -n 1

echo "== desktop entry, metainfo, icons, manual pages"
if [ -e /usr/bin/sorbel ]; then
    desktop=/usr/share/applications/org.sorbel.sorbel.desktop
    metainfo=/usr/share/metainfo/org.sorbel.sorbel.metainfo.xml
    desktop-file-validate "$desktop" || fail "$desktop is not valid"
    appstreamcli validate --no-net "$metainfo" || fail "$metainfo is not valid"
    for icon in /usr/share/icons/hicolor/48x48/apps/sorbel.png \
        /usr/share/icons/hicolor/scalable/apps/sorbel.svg; do
        [ -s "$icon" ] || fail "$icon is not installed"
    done
    exec_line=$(grep '^Exec=' "$desktop" | cut -d= -f2 | cut -d' ' -f1)
    command -v "$exec_line" >/dev/null || fail "the desktop entry runs '$exec_line', not installed"
else
    echo "(no desktop program in this build: desktop entry and metainfo not checked)"
fi
for page in sorbel-cli sorbel-target; do
    file=/usr/share/man/man1/$page.1.gz
    [ -s "$file" ] || fail "$file is not installed"
    warnings=$(MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null) || fail "man -l $file failed"
    [ -z "$warnings" ] || fail "man -l $file warns: $warnings"
done

echo "package-test: passed"
