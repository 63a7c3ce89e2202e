# shellcheck shell=bash
# Helpers shared by the scripts that run commands in Debian root trees made
# with debootstrap (scripts/lib/debian13.sh, scripts/lib/fresh-machine.sh).
#
# Safety rules every user of these helpers keeps:
# - the host's /dev, /proc, /sys and /run are never bound into a tree: a tree
#   gets fresh instances of its own (rt_mount_all), so deleting a tree can
#   never reach the host's device nodes;
# - mounts are made in a private mount namespace and also undone by an exit
#   trap (rt_cleanup), in reverse order;
# - a tree is deleted only with `rm -rf --one-file-system`, and only after
#   checking that nothing is mounted below it and no process runs in it
#   (rt_remove_tree).

# Sourced once per shell: the state below must survive a second `source`.
[ -z "${_RT_SOURCED:-}" ] || return 0
_RT_SOURCED=1

# Prints "URI SUITE" for every enabled binary ("deb") source the host's apt
# configuration lists, in deb822 files and in one-line files alike.
rt_host_sources() {
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

# rt_mirror [URI]: prints the given archive, or else the Debian archive the
# host installs from (the first source whose suite is a Debian release
# name), without a trailing slash.
rt_mirror() {
    local uri=${1:-}
    local releases='(buster|bullseye|bookworm|trixie|forky|sid|oldstable|stable|testing|unstable)'
    [ -n "$uri" ] || uri=$(rt_host_sources | awk -v re="^${releases}(-updates|-backports)?\$" \
        '$2 ~ re && $1 !~ /security/ { print $1; exit }')
    uri=${uri:-http://deb.debian.org/debian}
    while [ "${uri%/}" != "$uri" ]; do uri=${uri%/}; done
    echo "$uri"
}

# Prints the host's Debian security archive, if it lists one.
rt_security_mirror() {
    rt_host_sources | awk '$2 ~ /-security$/ { print $1; exit }' | sed 's:/*$::'
}

# Prints the mount points at or below the given directory, as this process's
# mount namespace sees them, deepest first.
rt_mounts_below() {
    awk -v r="$1" '$2 == r || index($2, r "/") == 1 { print $2 }' /proc/self/mounts |
        sort -r
}

# Prints the ids of processes whose root directory is the given tree.
rt_processes_in() {
    local p
    for p in /proc/[0-9]*; do
        if [ "$p/root" -ef "$1" ]; then
            echo "${p#/proc/}"
        fi
    done
}

# Refuses anything but a plain absolute path of at least two components.
rt_check_root_path() {
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
rt_remove_tree() {
    local root=$1
    rt_check_root_path "$root" || return 1
    [ -e "$root" ] || return 0
    local mounts busy
    mounts=$(rt_mounts_below "$root")
    if [ -n "$mounts" ]; then
        echo "error: not removing $root: still mounted below it:" >&2
        echo "$mounts" >&2
        return 1
    fi
    busy=$(rt_processes_in "$root")
    if [ -n "$busy" ]; then
        echo "error: not removing $root: processes still run inside it:" >&2
        echo "$busy" >&2
        return 1
    fi
    rm -rf --one-file-system -- "$root"
}

# rt_bootstrap ROOT MIRROR SUITE: makes a minimal tree of SUITE with
# debootstrap and points its apt at MIRROR (and the host's security archive,
# if any). Runs in the host's mount namespace; debootstrap itself runs in a
# private one so that whatever it mounts disappears with it.
rt_bootstrap() {
    local root=$1 mirror=$2 suite=$3
    mkdir -p "$root" || return 1
    # debootstrap bind-mounts the host's /dev when it believes it runs in an
    # LXC container; make sure it takes its own device nodes instead.
    if ! unshare --mount --propagation private -- env -u container \
        debootstrap --variant=minbase "$suite" "$root" "$mirror"; then
        echo "error: debootstrap failed" >&2
        return 1
    fi

    local security
    security=$(rt_security_mirror)
    rm -f "$root/etc/apt/sources.list"
    {
        echo "Types: deb"
        echo "URIs: $mirror"
        echo "Suites: $suite $suite-updates"
        echo "Components: main"
        echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
        if [ -n "$security" ]; then
            echo
            echo "Types: deb"
            echo "URIs: $security"
            echo "Suites: $suite-security"
            echo "Components: main"
            echo "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
        fi
    } >"$root/etc/apt/sources.list.d/debian.sources" || return 1
    # A throwaway tree: skip dpkg's fsync calls, they dominate install time.
    echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/90trellan-unsafe-io" || return 1
    # Never start services from package scripts.
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d" &&
        chmod 755 "$root/usr/sbin/policy-rc.d"
}

# State of the mounts made by rt_mount and rt_mount_all, for rt_cleanup.
_RT_ROOT=
_RT_MOUNTED=()

# rt_cleanup: kills what runs in this mount namespace (which must be a
# private one made for the tree), then undoes every mount below the tree in
# reverse order (lazily where one is busy).
rt_cleanup() {
    [ -n "$_RT_ROOT" ] || return 0
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
    for ((i = ${#_RT_MOUNTED[@]} - 1; i >= 0; i--)); do
        m=${_RT_MOUNTED[i]}
        umount "$m" 2>/dev/null || umount -l "$m" ||
            echo "warning: could not unmount $m" >&2
    done
    _RT_MOUNTED=()
    # Anything the command mounted on its own.
    for m in $(rt_mounts_below "$_RT_ROOT"); do
        umount -l "$m" || echo "warning: could not unmount $m" >&2
    done
    _RT_ROOT=
}

# rt_mount ARGS... TARGET: mount(8) wrapper that records the mount point for
# rt_cleanup.
rt_mount() {
    local target=${*: -1}
    mount "$@" || return 1
    _RT_MOUNTED+=("$target")
}

# rt_mount_all ROOT [SRC]: makes the fresh /proc, /sys, /dev, /tmp and /run
# instances of the tree, and binds SRC at /src when given. Marks ROOT as the
# tree rt_cleanup undoes.
rt_mount_all() {
    local root=$1 src=${2:-}
    _RT_ROOT=$root
    rt_mount -t proc -o nosuid,nodev,noexec proc "$root/proc" || return 1
    rt_mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys" || return 1

    rt_mount -t tmpfs -o mode=755,nosuid,size=16m trellan-dev "$root/dev" || return 1
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
    rt_mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5,nosuid,noexec \
        devpts "$root/dev/pts" || return 1
    rt_mount -t tmpfs -o mode=1777,nosuid,nodev trellan-shm "$root/dev/shm" || return 1

    rt_mount -t tmpfs -o mode=1777,nosuid,nodev trellan-tmp "$root/tmp" || return 1
    rt_mount -t tmpfs -o mode=755,nosuid,nodev trellan-run "$root/run" || return 1
    mkdir -m 1777 "$root/run/lock" || return 1

    if [ -n "$src" ]; then
        mkdir -p "$root/src" || return 1
        rt_mount --bind "$src" "$root/src" || return 1
    fi
}

# Network look-ups inside the tree: the host's resolver, and localhost.
rt_configure_network() {
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

# rt_lock FILE SECONDS: takes an exclusive lock on FILE (created if need be),
# waiting at most SECONDS. The lock is held by descriptor $RT_LOCK_FD.
RT_LOCK_FD=
rt_lock() {
    exec {RT_LOCK_FD}>"$1" || return 1
    if ! flock -w "$2" "$RT_LOCK_FD"; then
        echo "error: timed out waiting for the lock on $1" >&2
        return 1
    fi
}

# rt_overlay_mount BASE TEMPLATE SIZE MARKER: mounts a throwaway copy of the
# tree BASE: an overlay on a new directory made from the mktemp TEMPLATE,
# whose writable layer lives in memory (at most SIZE). Run it in a private
# mount namespace. The copy is $RT_OVERLAY_DIR/root; it must show MARKER, the
# file that tells a finished tree (nothing must ever take an empty directory
# for a tree).
RT_OVERLAY_DIR=
rt_overlay_mount() {
    local base=$1 template=$2 size=$3 marker=$4
    RT_OVERLAY_DIR=$(mktemp -d "$template") || return 1
    local dir=$RT_OVERLAY_DIR
    mount -t tmpfs -o "mode=700,size=$size" trellan-overlay "$dir" || return 1
    mkdir "$dir/upper" "$dir/work" "$dir/root" || return 1
    mount -t overlay -o "lowerdir=$base,upperdir=$dir/upper,workdir=$dir/work" \
        trellan-overlay-root "$dir/root" || return 1
    if ! mountpoint -q "$dir/root" || [ ! -f "$dir/root/$marker" ]; then
        echo "error: the overlay copy of $base is not in place" >&2
        return 1
    fi
}

# Unmounts the copy, then removes its mount point, which is empty once
# nothing is mounted on it.
rt_overlay_cleanup() {
    local dir=$RT_OVERLAY_DIR
    [ -n "$dir" ] || return 0
    umount "$dir/root" 2>/dev/null || umount -l "$dir/root" 2>/dev/null
    umount "$dir" 2>/dev/null || umount -l "$dir" 2>/dev/null
    if mountpoint -q "$dir"; then
        echo "warning: $dir is still mounted; left in place" >&2
    else
        rmdir -- "$dir" || echo "warning: could not remove $dir" >&2
    fi
    RT_OVERLAY_DIR=
}

# Prints "ok" or "FAIL" for each case ("key|description") by whether the
# results file records "pass key", then "RESULT passed failed"; false when
# any failed. A case without an outcome failed.
rt_report_cases() {
    local results=$1 passed=0 failed=0 entry
    shift
    for entry in "$@"; do
        if grep -qx "pass ${entry%%|*}" "$results"; then
            passed=$((passed + 1))
            echo "ok   - ${entry#*|}"
        else
            failed=$((failed + 1))
            echo "FAIL - ${entry#*|}"
        fi
    done
    echo "RESULT $passed $failed"
    [ "$failed" = 0 ]
}
