#!/usr/bin/env bash
# Tries the README's commands on a fresh Debian 12 machine: a minimal
# bookworm root tree made once with `debootstrap --variant=minbase` from the
# host's apt sources, used read-only as the lower layer of a throwaway
# overlay for every case, so that each case starts from the same bare system
# with a clean clone of the committed HEAD (not the working tree).
#
#   scripts/lib/fresh-machine.sh               the three cases below
#   scripts/lib/fresh-machine.sh --with-test   also ./scripts/test --native
#                                              after the root case's run
#
# Cases:
#   root      `./scripts/run` as root with no display ends with the app closed
#             with status 0 and no iperf3 left running;
#   sudo      the same as an unprivileged user who has password-less sudo
#             (the case installs sudo and makes the user first: a newcomer
#             who is not root has sudo);
#   by-hand   "Building by hand": only the packages that section of the
#             README lists (installed without recommends), then its
#             `meson setup`, `ninja` and `meson install`.
#
# Prints one "ok"/"FAIL" line per case and ends with "RESULT <passed>
# <failed>"; exits non-zero when any case fails. Each case's full output is
# kept in build/fresh-<case>.log.
#
# Settings (environment):
#   TRELLAN_FRESH_ROOT    the bare tree (default /var/tmp/trellan-fresh12)
#   TRELLAN_FRESH_DEBS    host directory that keeps the downloaded .deb files
#                         between runs, bound at /var/cache/apt/archives in
#                         every case (default /var/tmp/trellan-fresh12-debs);
#                         packages are still installed from scratch each time
#   TRELLAN_FRESH_MIRROR  archive to bootstrap from (default: the host's)
#
# Safety: see scripts/lib/roottree.sh. The cases' mounts live in private
# mount namespaces and are undone by exit traps; the overlay's writable layer
# is in memory, so nothing of a case outlives it.
set -uo pipefail

LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SRC_DIR=$(cd "$LIB_DIR/../.." && pwd)
# shellcheck source=scripts/lib/packages.sh
source "$LIB_DIR/packages.sh"
# shellcheck source=scripts/lib/roottree.sh
source "$LIB_DIR/roottree.sh"

FRESH_SUITE=bookworm
FRESH_MARKER=.trellan-fresh12-ready
FRESH_USER=newcomer
RUN_END="The app closed with status 0 and left no iperf3 running."

CASES=(
    "root|./scripts/run as root on a fresh Debian 12 runs the app to a clean end"
    "sudo|./scripts/run as a user with sudo on a fresh Debian 12 runs the app to a clean end"
    "by-hand|building by hand with only the README's packages: meson setup, ninja, meson install"
)

# ---------------------------------------------------------------------------
# The bare tree (host mount namespace, under the lock).

create_tree() {
    local root=$1 mirror=$2
    echo "[fresh] creating the bare Debian 12 tree in $root from $mirror"
    rt_bootstrap "$root" "$mirror" "$FRESH_SUITE" || return 1
    # Every installed system has a machine id; the session bus wants one.
    tr -d '-' </proc/sys/kernel/random/uuid >"$root/etc/machine-id" || return 1
    echo 'Acquire::Languages "none";' >"$root/etc/apt/apt.conf.d/90trellan" || return 1
    date -u '+%Y-%m-%dT%H:%M:%SZ' >"$root/$FRESH_MARKER"
}

# ---------------------------------------------------------------------------
# One case, in a private mount namespace.

case_cleanup() {
    rt_cleanup
    rt_overlay_cleanup
}

# in_tree [--user NAME] COMMAND: runs COMMAND with bash as a login shell in
# the tree, with a newcomer's clean environment and no display.
in_tree() {
    local user=root
    if [ "$1" = --user ]; then
        user=$2
        shift 2
    fi
    local ids home
    ids=$(chroot "$TREE" /usr/bin/id -u "$user"):$(chroot "$TREE" /usr/bin/id -g "$user") || return 1
    home=$(chroot "$TREE" /usr/bin/getent passwd "$user" | cut -d: -f6)
    chroot --userspec="$ids" "$TREE" /usr/bin/env -i HOME="$home" USER="$user" \
        LOGNAME="$user" SHELL=/bin/bash LANG=C.UTF-8 TERM=dumb \
        /bin/bash -lc "$1" </dev/null
}

# Clones the committed HEAD (from the bundle) to DIR in the tree, owned by
# USER.
clone_into() {
    local dir=$1 user=$2
    git clone -q "$BUNDLE" "$TREE$dir" || return 1
    in_tree "chown -R $user: $dir"
}

# Runs `./scripts/run` in the clone as USER, then checks its status, its last
# line, and that no iperf3 is left in the tree.
run_first_command() {
    local dir=$1 user=$2
    local out=/tmp/fresh-run.out rc=0
    echo "[fresh] ./scripts/run as $user"
    # Both streams to the log, standard output also to $out.
    # shellcheck disable=SC2069
    in_tree --user "$user" "cd $dir && ./scripts/run" 2>&1 1> >(tee "$out") || rc=$?
    wait $! 2>/dev/null
    local last
    last=$(grep -v '^[[:space:]]*$' "$out" | tail -n 1)
    local ok=1
    if [ "$rc" != 0 ]; then
        echo "[fresh] ./scripts/run ended with status $rc"
        ok=0
    fi
    if [ "$last" != "$RUN_END" ]; then
        echo "[fresh] its last line is \"$last\", not \"$RUN_END\""
        ok=0
    fi
    local pid left=()
    for pid in $(rt_processes_in "$TREE"); do
        left+=("$pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)")
    done
    if [ ${#left[@]} -gt 0 ]; then
        echo "[fresh] still running in the tree after ./scripts/run:"
        printf '  %s\n' "${left[@]}"
        if printf '%s\n' "${left[@]}" | grep -qE '^[0-9]+ ([^ ]*/)?iperf3( |$)'; then
            echo "[fresh] an iperf3 is left running"
            ok=0
        fi
    fi
    [ "$ok" = 1 ]
}

# The packages the README's "Building by hand" section tells the reader to
# install: the words after "apt install" in that section.
readme_packages() {
    awk '
        /^## / { inside = ($0 == "## Building by hand") }
        inside && /apt(-get)? install / {
            sub(/^.*apt(-get)? install +/, ""); sub(/ *#.*$/, ""); print; exit
        }
    ' "$1" | tr ' ' '\n' | grep -v '^-' | grep -v '^$'
}

case_root() {
    clone_into /root/trellan root || return 1
    run_first_command /root/trellan root || return 1
    if [ "$WITH_TEST" = 1 ]; then
        echo "[fresh] ./scripts/test --native as root"
        local out=/tmp/fresh-test.out rc=0
        # shellcheck disable=SC2069
        in_tree "cd /root/trellan && ./scripts/test --native" 2>&1 1> >(tee "$out") || rc=$?
        wait $! 2>/dev/null
        if [ "$rc" != 0 ] || ! tail -n 1 "$out" | grep -qE '^[1-9][0-9]* passed, 0 failed$'; then
            echo "[fresh] ./scripts/test --native failed (status $rc)"
            return 1
        fi
    fi
}

case_sudo() {
    echo "[fresh] a newcomer with sudo: installing sudo, adding $FRESH_USER"
    in_tree "apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get -q -y install sudo" ||
        return 1
    in_tree "useradd --create-home --shell /bin/bash $FRESH_USER &&
        echo '$FRESH_USER ALL=(ALL:ALL) NOPASSWD: ALL' >/etc/sudoers.d/$FRESH_USER &&
        chmod 440 /etc/sudoers.d/$FRESH_USER" || return 1
    clone_into "/home/$FRESH_USER/trellan" "$FRESH_USER" || return 1
    run_first_command "/home/$FRESH_USER/trellan" "$FRESH_USER"
}

# The Debian package's build dependencies, without debhelper's and with the
# compiler that build-essential brings: what "Building by hand" must list.
control_packages() {
    awk '
        /^Build-Depends:/ { inside = 1; sub(/^Build-Depends:/, "") }
        inside && /^[A-Za-z-]+:/ && !/^Build-Depends:/ { inside = 0 }
        inside { print }
    ' "$1" | tr ',' '\n' | awk '{ print $1 }' | grep -v -e '^$' -e '^debhelper'
    echo g++
}

case_by_hand() {
    clone_into /root/trellan root || return 1
    local -a pkgs
    mapfile -t pkgs < <(readme_packages "$TREE/root/trellan/README.md")
    if [ ${#pkgs[@]} -eq 0 ]; then
        echo "[fresh] the README's \"Building by hand\" section names no packages"
        return 1
    fi
    local differ
    differ=$(diff <(printf '%s\n' "${pkgs[@]}" | sort -u) \
        <(control_packages "$TREE/root/trellan/debian/control" | sort -u)) || true
    if [ -n "$differ" ]; then
        echo "[fresh] the README's packages (<) are not debian/control's build dependencies (>):"
        echo "$differ"
        return 1
    fi
    echo "[fresh] installing the README's packages: ${pkgs[*]}"
    in_tree "apt-get -q update && DEBIAN_FRONTEND=noninteractive \
        apt-get -q -y install --no-install-recommends ${pkgs[*]}" || return 1
    echo "[fresh] meson setup, ninja, meson install"
    in_tree "cd /root/trellan && meson setup build && ninja -C build && meson install -C build" ||
        return 1
    local f absent=0
    for f in /usr/local/bin/trellan /usr/local/share/applications/org.trellan.Trellan.desktop \
        /usr/local/share/metainfo/org.trellan.Trellan.metainfo.xml \
        /usr/local/share/icons/hicolor/scalable/apps/org.trellan.Trellan.svg; do
        [ -e "$TREE$f" ] || { echo "[fresh] not installed: $f"; absent=1; }
    done
    [ "$absent" = 0 ]
}

# Mounts the overlay on the bare tree and runs the case in it.
run_case() {
    local name=$1 base=$2 debs=$3
    trap case_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
    rt_overlay_mount "$base" /var/tmp/trellan-fresh12-case.XXXXXX 8g "$FRESH_MARKER" || return 1
    TREE=$RT_OVERLAY_DIR/root
    rt_mount_all "$TREE" || return 1
    mkdir -p "$debs" || return 1
    rt_mount --bind "$debs" "$TREE/var/cache/apt/archives" || return 1
    rt_configure_network "$TREE" || return 1
    # As on an installed system, the machine's own name resolves locally.
    printf '127.0.1.1\t%s\n' "$(hostname)" >>"$TREE/etc/hosts" || return 1

    case $name in
        root) case_root ;;
        sudo) case_sudo ;;
        by-hand) case_by_hand ;;
        *) echo "unknown case $name" >&2; return 2 ;;
    esac
}

# ---------------------------------------------------------------------------
# On the host, as root.

host_main() {
    local root=$1 debs=$2 mirror=$3
    rt_check_root_path "$root" || return 1
    rt_check_root_path "$debs" || return 1

    # One stage at a time on this machine: the bare tree and the .deb cache
    # are shared.
    rt_lock "$root.lock" 3600 || return 1

    if [ ! -f "$root/$FRESH_MARKER" ]; then
        local started=$SECONDS
        if [ -e "$root" ]; then
            echo "[fresh] removing the incomplete tree $root"
            rt_remove_tree "$root" || return 1
        fi
        ensure_packages debootstrap || return 1
        if ! create_tree "$root" "$mirror"; then
            rt_remove_tree "$root"
            return 1
        fi
        echo "[fresh] bare tree made in $((SECONDS - started)) s"
    fi

    local entry key started rc log
    mkdir -p "$SRC_DIR/build" || return 1
    for entry in "${CASES[@]}"; do
        key=${entry%%|*}
        log=$SRC_DIR/build/fresh-$key.log
        echo "[fresh] case $key (output in build/fresh-$key.log)"
        started=$SECONDS
        rc=0
        unshare --mount --propagation private -- /bin/bash "$LIB_DIR/fresh-machine.sh" \
            __case "$key" "$root" "$debs" "$BUNDLE" "$WITH_TEST" >"$log" 2>&1 || rc=$?
        grep '^\[fresh\]' "$log"
        if [ "$rc" = 0 ]; then
            echo "pass $key" >>"$RESULTS"
            echo "[fresh] ok: $key ($((SECONDS - started)) s)"
        else
            echo "[fresh] FAIL: $key ($((SECONDS - started)) s), the end of its output:"
            tail -n 40 "$log" | sed 's/^/    /'
        fi
    done
}

main() {
    local with_test=0
    case "${1:-}" in
        --with-test) with_test=1 ;;
        "") ;;
        *) sed -n '2,35p' "$0"; exit 2 ;;
    esac
    cd "$SRC_DIR" || exit 1
    local root=${TRELLAN_FRESH_ROOT:-/var/tmp/trellan-fresh12}
    local debs=${TRELLAN_FRESH_DEBS:-/var/tmp/trellan-fresh12-debs}
    local mirror
    mirror=$(rt_mirror "${TRELLAN_FRESH_MIRROR:-}")

    # Globals: the exit trap runs after main has returned.
    BUNDLE=$(mktemp /var/tmp/trellan-fresh12-head.XXXXXX) || exit 1
    RESULTS=$(mktemp) || exit 1
    trap 'rm -f "$BUNDLE" "$RESULTS"' EXIT
    chmod 644 "$BUNDLE"
    chmod 666 "$RESULTS"
    trap 'exit 130' INT
    trap 'exit 143' TERM

    # The committed HEAD only: an uncommitted file must not make a case pass.
    echo "[fresh] cloning HEAD $(git rev-parse --short HEAD)"
    if git bundle create -q "$BUNDLE" HEAD; then
        as_root env RESULTS="$RESULTS" BUNDLE="$BUNDLE" WITH_TEST="$with_test" \
            /bin/bash "$LIB_DIR/fresh-machine.sh" __host "$root" "$debs" "$mirror" ||
            echo "[fresh] the stage ended with an error" >&2
    else
        echo "[fresh] could not bundle HEAD with git" >&2
    fi

    rt_report_cases "$RESULTS" "${CASES[@]}"
}

case "${1:-}" in
    __host)
        host_main "$2" "$3" "$4"
        exit $?
        ;;
    __case)
        BUNDLE=$5
        WITH_TEST=$6
        run_case "$2" "$3" "$4"
        exit $?
        ;;
    *) main "$@" ;;
esac
