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

DEBIAN13_SUITE=trixie
DEBIAN13_DEFAULT_ROOT=/var/tmp/trellan-debian13
DEBIAN13_MARKER=.trellan-debian13-ready
DEBIAN13_HOST_PACKAGES=(debootstrap)

# Prints "URI SUITE" for every enabled binary ("deb") source the host's apt
# configuration lists, in deb822 files and in one-line files alike.
_d13_host_sources() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            function flush(   i, j, nu, ns, us, ss) {
                if (types ~ /(^| )deb( |$)/ && tolower(enabled) != "no") {
                    nu = split(uris, us, " "); ns = split(suites, ss, " ")
                    for (i = 1; i <= nu; i++)
                        for (j = 1; j <= ns; j++) print us[i], ss[j]
                }
                types = uris = suites = ""; enabled = "yes"
            }
            BEGIN { enabled = "yes" }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            {
                key = tolower($1); sub(/:$/, "", key)
                val = $0; sub(/^[^:]*:[ \t]*/, "", val)
                if (key == "types") types = val
                else if (key == "uris") uris = val
                else if (key == "suites") suites = val
                else if (key == "enabled") enabled = val
            }
            END { flush() }
        ' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk '
            $1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while (i <= NF && $i !~ /\]$/) i++; i++ }
                if (i + 1 <= NF) print $i, $(i + 1)
            }
        ' "$f"
    done
}

# Prints the Debian archive the host installs from (the first source whose
# suite is a Debian release name), without a trailing slash.
debian13_mirror() {
    local uri=${TRELLAN_DEBIAN13_MIRROR:-}
    local releases='(buster|bullseye|bookworm|trixie|forky|sid|oldstable|stable|testing|unstable)'
    [ -n "$uri" ] || uri=$(_d13_host_sources | awk -v re="^${releases}(-updates|-backports)?\$" \
        '$2 ~ re && $1 !~ /security/ { print $1; exit }')
    uri=${uri:-http://deb.debian.org/debian}
    while [ "${uri%/}" != "$uri" ]; do uri=${uri%/}; done
    echo "$uri"
}

# Prints the host's Debian security archive, if it lists one.
_d13_security_mirror() {
    _d13_host_sources | awk '$2 ~ /-security$/ { print $1; exit }' | sed 's:/*$::'
}

# Prints the mount points at or below the given directory, as this process's
# mount namespace sees them, deepest first.
_d13_mounts_below() {
    awk -v r="$1" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts |
        sort -r
}

# Prints the ids of processes whose root directory is the given tree.
_d13_processes_in() {
    local p
    for p in /proc/[0-9]*; do
        if [ "$p/root" -ef "$1" ]; then
            echo "${p#/proc/}"
        fi
    done
}

# Refuses anything but a plain absolute path of at least two components.
_d13_check_root_path() {
    case "$1" in
        /*/*) ;;
        *) echo "error: unsafe root tree path '$1'" >&2; return 1 ;;
    esac
    case "$1" in
        *//* | */. | */./* | */.. | */../* | */) echo "error: unsafe root tree path '$1'" >&2; return 1 ;;
    esac
}

# Deletes the tree, provided nothing is mounted below it and no process runs
# inside it. Never crosses into another file system.
_d13_remove_tree() {
    local root=$1
    _d13_check_root_path "$root" || return 1
    [ -e "$root" ] || return 0
    local mounts busy
    mounts=$(_d13_mounts_below "$root")
    if [ -n "$mounts" ]; then
        echo "error: not removing $root: still mounted below it:" >&2
        echo "$mounts" >&2
        return 1
    fi
    busy=$(_d13_processes_in "$root")
    if [ -n "$busy" ]; then
        echo "error: not removing $root: processes still run inside it:" >&2
        echo "$busy" >&2
        return 1
    fi
    rm -rf --one-file-system -- "$root"
}

# Creates a fresh tree with debootstrap and configures apt in it. Runs in the
# host's mount namespace; debootstrap itself runs in a private one so that
# whatever it mounts disappears with it.
_d13_create_tree() {
    local root=$1 mirror=$2
    echo "Creating the Debian 13 root tree in $root from $mirror" >&2
    mkdir -p "$root" || return 1
    # debootstrap bind-mounts the host's /dev when it believes it runs in an
    # LXC container; make sure it takes its own device nodes instead.
    if ! unshare --mount --propagation private -- env -u container \
        debootstrap --variant=minbase "$DEBIAN13_SUITE" "$root" "$mirror"; then
        echo "error: debootstrap failed" >&2
        return 1
    fi

    local security
    security=$(_d13_security_mirror)
    rm -f "$root/etc/apt/sources.list"
    {
        echo "Types: deb"
        echo "URIs: $mirror"
        echo "Suites: $DEBIAN13_SUITE $DEBIAN13_SUITE-updates"
        echo "Components: main"
        echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
        if [ -n "$security" ]; then
            echo
            echo "Types: deb"
            echo "URIs: $security"
            echo "Suites: $DEBIAN13_SUITE-security"
            echo "Components: main"
            echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
        fi
    } >"$root/etc/apt/sources.list.d/debian.sources" || return 1
    cat >"$root/etc/apt/apt.conf.d/90trellan" <<'EOF' || return 1
APT::Install-Recommends "false";
APT::Install-Suggests "false";
Acquire::Languages "none";
Dpkg::Use-Pty "0";
EOF
    # A throwaway tree: skip dpkg's fsync calls, they dominate install time.
    echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/90trellan-unsafe-io" || return 1
    # Never start services from package scripts.
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d" &&
        chmod 755 "$root/usr/sbin/policy-rc.d"
}

# Runs its arguments in the host's mount namespace as root: takes the lock,
# (re)creates the tree when it is missing or incomplete, then hands over to
# _d13_stage_run in a private mount namespace.
_d13_stage_prepare() {
    local root=$1 src=$2 mirror=$3
    shift 3
    _d13_check_root_path "$root" || return 1

    local lockfd
    exec {lockfd}>"$root.lock" || return 1
    if ! flock -w 3600 "$lockfd"; then
        echo "error: timed out waiting for the lock on $root" >&2
        return 1
    fi

    local create=0
    if [ ! -f "$root/$DEBIAN13_MARKER" ]; then
        create=1
        if [ -e "$root" ]; then
            echo "Removing the incomplete root tree $root" >&2
            _d13_remove_tree "$root" || return 1
        fi
        ensure_packages "${DEBIAN13_HOST_PACKAGES[@]}" || return 1
        if ! _d13_create_tree "$root" "$mirror"; then
            _d13_remove_tree "$root"
            return 1
        fi
    fi

    exec unshare --mount --propagation private -- \
        /bin/bash "$_D13_LIB_DIR/debian13.sh" __debian13_run \
        "$root" "$src" "$create" "$lockfd" "$@"
}

# State of _d13_stage_run, used by its cleanup.
_D13_ROOT=
_D13_MOUNTED=()

# Kills what the command left running in this mount namespace, then undoes
# every mount below the tree in reverse order (lazily where one is busy).
_d13_cleanup() {
    [ -n "$_D13_ROOT" ] || return 0
    local round pid p found
    for round in 1 2 3 4 5 6 7 8 9 10; do
        found=0
        for p in /proc/[0-9]*; do
            pid=${p#/proc/}
            [ "$pid" = "$$" ] && continue
            if [ "$p/ns/mnt" -ef "/proc/$$/ns/mnt" ]; then
                found=1
                if [ "$round" -lt 5 ]; then
                    kill -TERM "$pid" 2>/dev/null
                else
                    kill -KILL "$pid" 2>/dev/null
                fi
            fi
        done
        [ "$found" -eq 0 ] && break
        sleep 0.2
    done

    local i m
    for ((i = ${#_D13_MOUNTED[@]} - 1; i >= 0; i--)); do
        m=${_D13_MOUNTED[i]}
        umount "$m" 2>/dev/null || umount -l "$m" ||
            echo "warning: could not unmount $m" >&2
    done
    _D13_MOUNTED=()
    # Anything the command mounted on its own.
    for m in $(_d13_mounts_below "$_D13_ROOT"); do
        umount -l "$m" || echo "warning: could not unmount $m" >&2
    done
    _D13_ROOT=
}

# mount(8) wrapper that records the mount point for the cleanup.
_d13_mount() {
    local target=${*: -1}
    mount "$@" || return 1
    _D13_MOUNTED+=("$target")
}

# Makes the fresh /proc, /sys, /dev, /tmp and /run instances and binds the
# source tree at /src.
_d13_mount_all() {
    local root=$1 src=$2
    _d13_mount -t proc -o nosuid,nodev,noexec proc "$root/proc" || return 1
    _d13_mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys" || return 1

    _d13_mount -t tmpfs -o mode=755,nosuid,size=16m trellan-dev "$root/dev" || return 1
    local name major minor
    while read -r name major minor; do
        mknod -m 666 "$root/dev/$name" c "$major" "$minor" || return 1
    done <<'EOF'
null 1 3
zero 1 5
full 1 7
random 1 8
urandom 1 9
tty 5 0
EOF
    ln -s /proc/self/fd "$root/dev/fd" &&
        ln -s /proc/self/fd/0 "$root/dev/stdin" &&
        ln -s /proc/self/fd/1 "$root/dev/stdout" &&
        ln -s /proc/self/fd/2 "$root/dev/stderr" &&
        ln -s pts/ptmx "$root/dev/ptmx" &&
        mkdir -m 755 "$root/dev/pts" &&
        mkdir -m 1777 "$root/dev/shm" || return 1
    _d13_mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5,nosuid,noexec \
        devpts "$root/dev/pts" || return 1
    _d13_mount -t tmpfs -o mode=1777,nosuid,nodev trellan-shm "$root/dev/shm" || return 1

    _d13_mount -t tmpfs -o mode=1777,nosuid,nodev trellan-tmp "$root/tmp" || return 1
    _d13_mount -t tmpfs -o mode=755,nosuid,nodev trellan-run "$root/run" || return 1
    mkdir -m 1777 "$root/run/lock" || return 1

    mkdir -p "$root/src" || return 1
    _d13_mount --bind "$src" "$root/src" || return 1
}

# Network look-ups inside the tree: the host's resolver, and localhost.
_d13_configure_network() {
    local root=$1
    if [ -e /etc/resolv.conf ]; then
        rm -f "$root/etc/resolv.conf"
        cp -L /etc/resolv.conf "$root/etc/resolv.conf" || return 1
    fi
    if ! grep -qsE '^127\.0\.0\.1[[:space:]].*\blocalhost\b' "$root/etc/hosts"; then
        printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' \
            >>"$root/etc/hosts" || return 1
    fi
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

    _D13_ROOT=$root
    trap '_d13_cleanup' EXIT
    trap '_d13_cleanup; trap - EXIT; exit 130' INT
    trap '_d13_cleanup; trap - EXIT; exit 143' TERM
    trap '_d13_cleanup; trap - EXIT; exit 129' HUP

    if ! _d13_mount_all "$root" "$src"; then
        echo "error: could not set up the mounts of $root" >&2
        exit 1
    fi
    _d13_configure_network "$root" || exit 1

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
    _d13_cleanup
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
            exec {_lockfd}>"$1.lock" && flock -w 600 "$_lockfd" &&
                _d13_remove_tree "$1"
            exit $?
            ;;
        *) debian13_exec "$@"; exit $? ;;
    esac
fi
