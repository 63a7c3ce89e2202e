#!/usr/bin/env bash
# Builds the Debian package of Trellan inside the Debian 13 root tree, installs
# it with apt into a throwaway copy of that tree (apt has to pull in iperf3),
# starts the installed app under Xvfb with a session bus of its own, checks the
# desktop integration files, purges the package and checks that none of its
# files are left. Run on the host, as root (or with sudo):
#
#   scripts/lib/package-test.sh
#
# Prints one "ok"/"FAIL" line per case and ends with "RESULT <passed> <failed>";
# exits non-zero when any case fails. The .deb is left in build-package/ and a
# screenshot of the installed app's window in build/package-window.png.
#
# The copy is an overlay on the root tree with its writable layer in memory,
# mounted in a private mount namespace: the base tree is never modified by the
# install, and the copy's mounts disappear with the namespace even if this
# script is killed.
set -uo pipefail

LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SRC_DIR=$(cd "$LIB_DIR/../.." && pwd)
OUT_REL=build-package
APP_ID=org.trellan.Trellan
WINDOW_TITLE=iperf3

# The cases, in order, as "key|description".
CASES=(
    "build|the package builds in Debian 13"
    "install|apt installs the package and pulls in iperf3"
    "window|the installed app opens its window"
    "files|launcher, metainfo, icons, run-file type and manual page are where the desktop looks for them"
    "icon-cache|GTK's icon cache lists the app icon"
    "purge|purging the package leaves none of its files behind"
)

# Records the outcome of a case: pass|fail KEY.
record() {
    echo "$1 $2" >>"$RESULTS"
    if [ "$1" = pass ]; then
        echo "[package] ok: $2"
    else
        echo "[package] FAIL: $2" >&2
    fi
}

# ---------------------------------------------------------------------------
# Inside the Debian 13 root tree (working directory /src).

# Builds the binary package from a copy of the source tree in /tmp, so that
# nothing but build-package/ is written in the source tree.
inside_build() {
    local version work
    version=$(dpkg-parsechangelog -l debian/changelog -SVersion) || return 1
    local project_version
    project_version=$(sed -n "s/^ *version: *'\([^']*\)'.*/\1/p" meson.build | head -n 1)
    if [ "$version" != "$project_version" ]; then
        echo "debian/changelog says $version but meson.build says $project_version" >&2
        return 1
    fi

    work=/tmp/trellan-package
    rm -rf "$work"
    mkdir -p "$work/trellan-$version" || return 1
    local entry
    for entry in /src/* /src/.[!.]*; do
        [ -e "$entry" ] || continue
        case ${entry##*/} in build* | .git) continue ;; esac
        cp -a "$entry" "$work/trellan-$version/" || return 1
    done
    (cd "$work/trellan-$version" && dpkg-buildpackage -us -uc -b -Jauto) || return 1

    local deb
    deb="$work/trellan_${version}_$(dpkg --print-architecture).deb"
    [ -f "$deb" ] || { echo "no package at $deb" >&2; return 1; }
    cp "$deb" "$OUT_REL/" || return 1
    # The screenshot tool, built for Debian 13 along with the app.
    cp "$work/trellan-$version/build-package/deb/tools/x11-shot" "$OUT_REL/x11-shot" || return 1
}

# Is the package installed (not merely known to dpkg)?
installed() {
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

# Removes iperf3 from the copy, then installs the package with apt.
inside_install() {
    local deb=$1
    apt-get -q -y purge --autoremove iperf3 >/dev/null || return 1
    if installed iperf3 || command -v iperf3 >/dev/null; then
        echo "iperf3 is still installed in the copy" >&2
        return 1
    fi
    cp "$deb" /tmp/ || return 1
    apt-get -q -y install "/tmp/${deb##*/}" || return 1
    installed trellan || { echo "trellan is not installed" >&2; return 1; }
    installed iperf3 || { echo "iperf3 was not pulled in" >&2; return 1; }
    [ "$(apt-mark showauto iperf3)" = iperf3 ] ||
        { echo "iperf3 is not marked as installed automatically" >&2; return 1; }
    [ -x /usr/bin/iperf3 ] || { echo "no /usr/bin/iperf3" >&2; return 1; }
}

# Runs under Xvfb and the session bus: starts /usr/bin/trellan, waits for its
# window, saves a screenshot, checks the app is still alive, then ends it.
inside_window() {
    local shot=$1 log=/tmp/trellan-app.log
    /usr/bin/trellan >"$log" 2>&1 &
    local app=$! found=0 i
    for i in $(seq 150); do
        if "$OUT_REL/x11-shot" /tmp/window.png "$WINDOW_TITLE" 2>/dev/null; then
            found=1
            break
        fi
        kill -0 "$app" 2>/dev/null || break
        sleep 0.2
    done
    if [ "$found" = 1 ]; then
        # Let the first frames settle, then take the picture that is kept.
        sleep 1
        "$OUT_REL/x11-shot" "$shot" "$WINDOW_TITLE" || found=0
    fi
    local alive=0
    kill -0 "$app" 2>/dev/null && alive=1
    kill -TERM "$app" 2>/dev/null
    wait "$app" 2>/dev/null
    if [ -s "$log" ]; then
        echo "the app printed:" >&2
        sed 's/^/  /' "$log" >&2
    fi
    [ "$found" = 1 ] || { echo "no window titled \"$WINDOW_TITLE\" appeared" >&2; return 1; }
    [ "$alive" = 1 ] || { echo "the app ended on its own" >&2; return 1; }
    # A clean install must start without GLib or GTK warnings.
    if grep -qE -- '-(CRITICAL|WARNING) \*\*' "$log"; then
        echo "the app printed warnings at start-up" >&2
        return 1
    fi
    check_screenshot "$shot"
}

# The window picture must be at least the window's minimum size and show
# more than a blank surface.
check_screenshot() {
    python3 - "$1" <<'EOF'
import sys
import gi
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf

pix = GdkPixbuf.Pixbuf.new_from_file(sys.argv[1])
w, h, n, stride = pix.get_width(), pix.get_height(), pix.get_n_channels(), pix.get_rowstride()
data = pix.get_pixels()
colours = {bytes(data[y * stride + x * n:y * stride + x * n + 3])
           for y in range(0, h, 2) for x in range(0, w, 2)}
print(f"screenshot {w}x{h}, {len(colours)} colours")
if w < 400 or h < 560:
    sys.exit("the window is smaller than its minimum size")
if len(colours) < 32:
    sys.exit("the window looks blank")
EOF
}

# Starts Xvfb on a free display (the X socket namespace is the host's, so a
# fixed number could collide with other servers) and runs inside_window with
# a private session bus.
inside_window_session() {
    local shot=$1
    local fifo=/tmp/xvfb-display
    rm -f "$fifo"
    mkfifo "$fifo" || return 1
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fifo" >/tmp/xvfb.log 2>&1 &
    local xvfb=$! display=""
    read -r -t 20 display <"$fifo"
    if [ -z "$display" ]; then
        echo "Xvfb did not start" >&2
        cat /tmp/xvfb.log >&2
        kill "$xvfb" 2>/dev/null
        return 1
    fi
    mkdir -m 700 /tmp/runtime 2>/dev/null
    local rc=0
    DISPLAY=:$display XDG_RUNTIME_DIR=/tmp/runtime \
        dbus-run-session -- "$LIB_DIR/package-test.sh" __window "$shot" || rc=$?
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
    return "$rc"
}

# Prints the name of the first file among the arguments that is missing.
first_missing() {
    local f
    for f in "$@"; do
        [ -f "$f" ] || { echo "$f"; return 0; }
    done
    return 1
}

inside_files() {
    local apps=/usr/share/applications icons=/usr/share/icons/hicolor missing
    local desktop=$apps/$APP_ID.desktop
    local metainfo=/usr/share/metainfo/$APP_ID.metainfo.xml
    if missing=$(first_missing "$desktop" "$metainfo" \
        "$icons/scalable/apps/$APP_ID.svg" "$icons/symbolic/apps/$APP_ID-symbolic.svg" \
        /usr/share/man/man1/trellan.1.gz /usr/share/mime/packages/$APP_ID.xml); then
        echo "missing: $missing" >&2
        return 1
    fi
    desktop-file-validate "$desktop" || return 1
    appstreamcli validate --no-net "$metainfo" >/dev/null ||
        { appstreamcli validate --no-net "$metainfo" >&2; return 1; }
    # The launcher must start the installed program and name the installed icon.
    local exec icon
    exec=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop" | head -n 1)
    icon=$(sed -n 's/^Icon=//p' "$desktop" | head -n 1)
    [ "$(command -v "$exec")" = /usr/bin/trellan ] ||
        { echo "the launcher runs '$exec', not /usr/bin/trellan" >&2; return 1; }
    [ "$icon" = "$APP_ID" ] || { echo "the launcher names the icon '$icon'" >&2; return 1; }
    # Where shared-mime-info is installed, its trigger has taken in the type
    # of run files.
    if [ -f /usr/share/mime/types ]; then
        grep -qxF application/x-trellan-runs /usr/share/mime/types ||
            { echo "the MIME database does not know application/x-trellan-runs" >&2; return 1; }
    fi
    # AppStream ties the metadata to the launcher by its file name.
    grep -q "<launchable type=\"desktop-id\">$APP_ID.desktop</launchable>" "$metainfo" ||
        { echo "the metainfo does not name $APP_ID.desktop as its launchable" >&2; return 1; }
}

# Prints the icon names an icon cache lists, one a line, by walking its hash
# table (big-endian: header with the hash offset at byte 4; the hash holds a
# bucket count and bucket offsets; each entry holds the next entry's offset
# and its name's offset).
cache_names() {
    [ -f "$1" ] || return 0
    python3 - "$1" <<'EOF'
import struct
import sys

data = open(sys.argv[1], "rb").read()
def u32(at):
    return struct.unpack_from(">I", data, at)[0]
hash_at = u32(4)
for bucket in range(u32(hash_at)):
    entry = u32(hash_at + 4 + 4 * bucket)
    while entry != 0xFFFFFFFF:
        name_at = u32(entry + 4)
        print(data[name_at:data.index(b"\0", name_at)].decode())
        entry = u32(entry)
EOF
}

# The hicolor theme's cache is rebuilt by a dpkg trigger; it must be valid and
# know the app icon (regular and symbolic).
inside_icon_cache() {
    local cache=/usr/share/icons/hicolor/icon-theme.cache
    [ -f "$cache" ] || { echo "no $cache" >&2; return 1; }
    gtk-update-icon-cache --validate /usr/share/icons/hicolor >/dev/null 2>&1 ||
        { echo "$cache is not a valid icon cache" >&2; return 1; }
    local name
    for name in "$APP_ID" "$APP_ID-symbolic"; do
        cache_names "$cache" | grep -qxF "$name" ||
            { echo "$cache does not list $name" >&2; return 1; }
    done
}

# Purges the package and checks every path it had installed: files must be
# gone, and a directory may stay only when another package still owns it.
inside_purge() {
    local list=$1
    apt-get -q -y purge trellan >/dev/null || return 1
    local status
    status=$(dpkg-query -W -f='${db:Status-Status}' trellan 2>/dev/null)
    if [ -n "$status" ] && [ "$status" != not-installed ]; then
        echo "dpkg still lists trellan as $status" >&2
        return 1
    fi
    local kind path left=0
    while read -r kind path; do
        if [ "$kind" = d ]; then
            if [ -d "$path" ] && ! dpkg-query -S "$path" >/dev/null 2>&1; then
                echo "left behind: directory $path" >&2
                left=1
            fi
        elif [ -e "$path" ] || [ -L "$path" ]; then
            echo "left behind: $path" >&2
            left=1
        fi
    done <"$list"
    if compgen -G "/var/lib/dpkg/info/trellan.*" >/dev/null; then
        echo "left behind: $(echo /var/lib/dpkg/info/trellan.*)" >&2
        left=1
    fi
    if cache_names /usr/share/icons/hicolor/icon-theme.cache | grep -qF "$APP_ID"; then
        echo "the icon cache still lists $APP_ID" >&2
        left=1
    fi
    [ "$left" = 0 ]
}

# Lists every path the package installed as "d PATH" or "f PATH".
list_package_paths() {
    local path
    dpkg-query -L trellan | while read -r path; do
        case $path in /.) continue ;; esac
        if [ -d "$path" ] && [ ! -L "$path" ]; then
            echo "d $path"
        else
            echo "f $path"
        fi
    done
}

# All the cases that need the installed package, in the copy of the tree.
inside_copy() {
    local deb=$1 shot=$2
    if ! inside_install "$deb"; then
        record fail install
        return 0
    fi
    record pass install

    local list=/tmp/trellan-paths
    list_package_paths >"$list"
    echo "[package] the package installed $(grep -c '^f' "$list") files"

    if inside_window_session "$shot"; then record pass window; else record fail window; fi
    if inside_files; then record pass files; else record fail files; fi
    if inside_icon_cache; then record pass icon-cache; else record fail icon-cache; fi
    if inside_purge "$list"; then record pass purge; else record fail purge; fi
}

# ---------------------------------------------------------------------------
# On the host.

# Runs in a private mount namespace: mounts the overlay copy of the root tree
# and runs inside_copy in it.
host_copy() {
    local base=$1 deb=$2 shot=$3
    # shellcheck source=scripts/lib/debian13.sh
    source "$LIB_DIR/debian13.sh"
    trap rt_overlay_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    # Never let the root tree runner see an empty directory: it would build a
    # new tree there.
    rt_overlay_mount "$base" /var/tmp/trellan-debian13-install.XXXXXX 2g \
        .trellan-debian13-ready || return 1
    local dir=$RT_OVERLAY_DIR

    # shellcheck disable=SC2153 # set by main through the environment
    TRELLAN_DEBIAN13_ROOT=$dir/root debian13_exec \
        scripts/lib/package-test.sh __copy "$RESULTS_IN_ROOT" "$deb" "$shot"
}

main() {
    cd "$SRC_DIR" || exit 1
    # shellcheck source=scripts/lib/packages.sh
    source "$LIB_DIR/packages.sh"
    # shellcheck source=scripts/lib/debian13.sh
    source "$LIB_DIR/debian13.sh"

    mkdir -p "$OUT_REL" || exit 1
    rm -f "$OUT_REL"/trellan_*.deb "$OUT_REL/x11-shot"
    RESULTS=$(mktemp "$SRC_DIR/$OUT_REL/results.XXXXXX") || exit 1
    trap 'rm -f "$RESULTS"' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    local results_in_root=/src/$OUT_REL/${RESULTS##*/}
    local shot=build/package-window.png
    mkdir -p "$(dirname "$shot")" && rm -f "$shot"

    echo "[package] building the package in Debian 13"
    if debian13_exec scripts/lib/package-test.sh __build &&
        compgen -G "$OUT_REL/trellan_*.deb" >/dev/null; then
        record pass build
        local deb
        deb=$(echo "$OUT_REL"/trellan_*.deb)
        echo "[package] installing $deb in a copy of the Debian 13 tree"
        local base=${TRELLAN_DEBIAN13_ROOT:-$DEBIAN13_DEFAULT_ROOT}
        as_root env RESULTS_IN_ROOT="$results_in_root" \
            unshare --mount --propagation private -- \
            /bin/bash "$LIB_DIR/package-test.sh" __host_copy "$base" "/src/$deb" "/src/$shot" ||
            echo "[package] the install stage ended with an error" >&2
    else
        record fail build
    fi

    [ -f "$shot" ] && echo "[package] screenshot of the installed app: $shot"
    rt_report_cases "$RESULTS" "${CASES[@]}"
}

case "${1:-}" in
    __build)
        RESULTS=/dev/null
        inside_build
        exit $?
        ;;
    __copy)
        RESULTS=$2
        inside_copy "$3" "$4"
        exit 0
        ;;
    __window)
        inside_window "$2"
        exit $?
        ;;
    __host_copy)
        host_copy "$2" "$3" "$4"
        exit $?
        ;;
    "") main ;;
    *)
        sed -n '2,12p' "$0"
        exit 2
        ;;
esac
