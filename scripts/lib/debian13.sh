# shellcheck shell=bash
# Runs commands inside a Debian 13 (trixie) root tree, which is created with
# debootstrap on first use and reused afterwards.
#
#   source scripts/lib/debian13.sh
#   debian13_exec meson setup build-debian13      # runs in /src, as root
#
# The project's source tree is bind-mounted at /src. Everything else the
# command sees under /proc, /sys, /dev, /tmp and /run is a fresh instance made
# for this run: the host's /dev, /proc, /sys and /run are never bound into the
# tree, so deleting the tree can never reach the host's device nodes. All
# mounts live in a private mount namespace and are also undone by an exit
# trap, in reverse order, on success, failure and interruption alike.
#
# Settings (environment):
#   TRELLAN_DEBIAN13_ROOT   where the tree lives (default /var/tmp/trellan-debian13)
#   TRELLAN_DEBIAN13_MIRROR archive to bootstrap from (default: taken from the
#                           host's apt sources)
# The command runs with a clean environment: HOME, PATH, LANG, TERM, CI and
# any TRELLAN_*, MESON_* or *_proxy variables are passed through.
#
# This file can also be executed directly: `scripts/lib/debian13.sh CMD...`.

_D13_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=scripts/lib/packages.sh
source "$_D13_LIB_DIR/packages.sh"
# shellcheck source=scripts/lib/roottree.sh
source "$_D13_LIB_DIR/roottree.sh"

DEBIAN13_SUITE=trixie
DEBIAN13_DEFAULT_ROOT=/var/tmp/trellan-debian13
DEBIAN13_MARKER=.trellan-debian13-ready
DEBIAN13_HOST_PACKAGES=(debootstrap)

# Prints the Debian archive the host installs from, or
# TRELLAN_DEBIAN13_MIRROR when set.
debian13_mirror() {
    rt_mirror "${TRELLAN_DEBIAN13_MIRROR:-}"
}

# Creates a fresh tree with debootstrap and configures its apt for quick,
# quiet installs.
_d13_create_tree() {
    local root=$1 mirror=$2
    echo "Creating the Debian 13 root tree in $root from $mirror" >&2
    rt_bootstrap "$root" "$mirror" "$DEBIAN13_SUITE" || return 1
    cat >"$root/etc/apt/apt.conf.d/90trellan" <<'EOT' || return 1
APT::Install-Recommends "false";
APT::Install-Suggests "false";
Acquire::Languages "none";
Dpkg::Use-Pty "0";
EOT
}

# Runs its arguments in the host's mount namespace as root: takes the lock,
# (re)creates the tree when it is missing or incomplete, then hands over to
# _d13_stage_run in a private mount namespace.
_d13_stage_prepare() {
    local root=$1 src=$2 mirror=$3
    shift 3
    rt_check_root_path "$root" || return 1

    rt_lock "$root.lock" 3600 || return 1

    local create=0
    if [ ! -f "$root/$DEBIAN13_MARKER" ]; then
        create=1
        if [ -e "$root" ]; then
            echo "Removing the incomplete root tree $root" >&2
            rt_remove_tree "$root" || return 1
        fi
        ensure_packages "${DEBIAN13_HOST_PACKAGES[@]}" || return 1
        if ! _d13_create_tree "$root" "$mirror"; then
            rt_remove_tree "$root"
            return 1
        fi
    fi

    exec unshare --mount --propagation private -- \
        /bin/bash "$_D13_LIB_DIR/debian13.sh" __debian13_run \
        "$root" "$src" "$create" "$RT_LOCK_FD" "$@"
}

# Runs in a private mount namespace: mounts, installs what is missing, runs
# the command, cleans up, and exits with the command's status.
_d13_stage_run() {
    local root=$1 src=$2 create=$3 lockfd=$4
    shift 4
    local -a env_vars=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do
        env_vars+=("$1")
        shift
    done
    shift

    trap 'rt_cleanup' EXIT
    trap 'rt_cleanup; trap - EXIT; exit 130' INT
    trap 'rt_cleanup; trap - EXIT; exit 143' TERM
    trap 'rt_cleanup; trap - EXIT; exit 129' HUP

    if ! rt_mount_all "$root" "$src"; then
        echo "error: could not set up the mounts of $root" >&2
        exit 1
    fi
    rt_configure_network "$root" || exit 1

    local -a base_env=(
        HOME=/root
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
        LANG=C.UTF-8
        DEBIAN_FRONTEND=noninteractive
    )
    # shellcheck disable=SC2016
    if ! chroot "$root" /usr/bin/env -i "${base_env[@]}" "${env_vars[@]}" /bin/bash -c '
            source /src/scripts/lib/packages.sh && ensure_packages || exit 1
            # The session bus wants a machine id.
            if [ ! -s /etc/machine-id ]; then
                dbus-uuidgen >/etc/machine-id || exit 1
            fi'; then
        echo "error: could not install the build packages in $root" >&2
        exit 1
    fi
    if [ "$create" = 1 ]; then
        date -u '+%Y-%m-%dT%H:%M:%SZ' >"$root/$DEBIAN13_MARKER" || exit 1
        echo "Debian 13 root tree ready in $root" >&2
    fi
    flock -u "$lockfd"
    exec {lockfd}>&-

    local rc=0
    # shellcheck disable=SC2016
    chroot "$root" /usr/bin/env -i "${base_env[@]}" "${env_vars[@]}" \
        /bin/bash -c 'cd /src || exit 1; exec "$@"' debian13 "$@" || rc=$?
    rt_cleanup
    trap - EXIT
    exit "$rc"
}

# debian13_exec CMD [ARG...]: runs CMD in the Debian 13 root tree (see the
# top of this file) and returns its exit status.
debian13_exec() {
    if [ $# -eq 0 ]; then
        echo "usage: debian13_exec COMMAND [ARG...]" >&2
        return 2
    fi
    local root=${TRELLAN_DEBIAN13_ROOT:-$DEBIAN13_DEFAULT_ROOT}
    local src
    src=$(cd "$_D13_LIB_DIR/../.." && pwd) || return 1
    local mirror
    mirror=$(debian13_mirror)

    local -a env_vars=()
    local name
    for name in TERM CI http_proxy https_proxy no_proxy $(compgen -e | grep -E '^(TRELLAN|MESON)_'); do
        if [ -n "${!name+set}" ]; then
            env_vars+=("$name=${!name}")
        fi
    done

    as_root /bin/bash "$_D13_LIB_DIR/debian13.sh" __debian13_prepare \
        "$root" "$src" "$mirror" "${env_vars[@]}" -- "$@"
}

# debian13_remove: deletes the root tree (it is created again on next use).
debian13_remove() {
    local root=${TRELLAN_DEBIAN13_ROOT:-$DEBIAN13_DEFAULT_ROOT}
    as_root /bin/bash "$_D13_LIB_DIR/debian13.sh" __debian13_remove "$root"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    case "${1:-}" in
        __debian13_prepare) shift; _d13_stage_prepare "$@"; exit $? ;;
        __debian13_run) shift; _d13_stage_run "$@" ;;
        __debian13_remove)
            shift
            rt_lock "$1.lock" 600 && rt_remove_tree "$1"
            exit $?
            ;;
        *) debian13_exec "$@"; exit $? ;;
    esac
fi
