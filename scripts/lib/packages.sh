# shellcheck shell=bash
# Debian packages needed to build, test and run Trellan, and a helper that
# installs whichever of them are missing. Sourced by the project's scripts,
# on the host (Debian 12) and inside the Debian 13 root tree alike, so every
# name here must exist in both bookworm and trixie.

BUILD_PACKAGES=(
    # toolchain and build system
    g++
    meson
    ninja-build
    pkg-config
    # libraries the app links against
    libgtk-4-dev
    libadwaita-1-dev
    libx11-dev
    libcairo2-dev
    # header-only JSON parser for reading iperf3's JSON and run files
    rapidjson-dev
    # test framework
    libgtest-dev
    googletest
    # sanitizer builds and fuzz targets
    clang
    libclang-rt-dev
    # the tool the app drives, and the ping it measures latency with
    iperf3
    iputils-ping
    # headless window tests: X server, private session bus, accessibility bus
    xvfb
    xauth
    dbus
    dbus-x11
    at-spi2-core
    python3-gi
    gir1.2-atspi-2.0
    dconf-gsettings-backend
    # a real pasting program reading the X11 clipboard in the clipboard test
    xclip
    # what the window draws with: fonts, icons, SVG loading for icons
    fonts-cantarell
    fonts-dejavu-core
    adwaita-icon-theme
    hicolor-icon-theme
    librsvg2-common
    # icon cache and launcher database refreshed by `meson install`
    gtk-update-icon-cache
    # checks on the data files
    desktop-file-utils
    appstream
    librsvg2-bin
    libxml2-utils
    # process inspection used by the runner tests and scripts
    procps
    psmisc
    # network namespaces with addresses of their own for the address-line
    # test and the screenshots (unshare comes with util-linux)
    iproute2
    # locale used by the number-formatting tests
    locales
    # building the Debian package
    build-essential
    debhelper
    dpkg-dev
)

# Locale the tests expect to be able to switch to.
TEST_LOCALE=de_DE.UTF-8

# Runs its arguments as root: directly when already root, else through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        echo "error: root is needed for '$*' and sudo is not installed" >&2
        return 1
    fi
}

# Prints the first python3 on the PATH that has the GObject bindings
# (python3-gi): a Python of one's own earlier on the PATH often lacks them.
gi_python() {
    local py
    while read -r py; do
        if "$py" -c 'import gi' >/dev/null 2>&1; then
            echo "$py"
            return 0
        fi
    done < <(type -ap python3)
    echo "error: no python3 on the PATH can import gi (Debian: python3-gi)" >&2
    return 1
}

# Prints, one per line, the packages among the arguments that are not
# installed.
missing_packages() {
    local status
    # dpkg-query exits 1 when any of the packages is unknown to dpkg (never
    # installed): that is information here, not a failure.
    status=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "$@" 2>/dev/null) || true
    local pkg
    for pkg in "$@"; do
        if ! grep -qx "$pkg installed" <<<"$status"; then
            echo "$pkg"
        fi
    done
}

# True when `locale -a` lists the given locale (it prints "de_DE.utf8" for
# "de_DE.UTF-8").
locale_present() {
    local want=${1,,} all
    want=${want//-/}
    # Read all of it first: `grep -q` leaving early would fail the pipeline.
    all=$(locale -a 2>/dev/null | tr '[:upper:]' '[:lower:]' | tr -d '-') || true
    grep -qx "$want" <<<"$all"
}

# Installs the missing packages among the arguments (all of BUILD_PACKAGES
# when none are given) and makes sure the test locale exists. The package
# lists are refreshed only when something has to be installed.
ensure_packages() {
    local -a wanted=("$@")
    if [ ${#wanted[@]} -eq 0 ]; then
        wanted=("${BUILD_PACKAGES[@]}")
    fi

    local -a missing
    mapfile -t missing < <(missing_packages "${wanted[@]}")
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing missing packages: ${missing[*]}" >&2
        local -a apt_opts=(
            -q -y
            -o Acquire::Retries=3
            -o DPkg::Lock::Timeout=600
            -o Dpkg::Use-Pty=0
            -o Dpkg::Options::=--force-confdef
            -o Dpkg::Options::=--force-confold
        )
        as_root env DEBIAN_FRONTEND=noninteractive \
            apt-get "${apt_opts[@]}" update || return 1
        as_root env DEBIAN_FRONTEND=noninteractive \
            apt-get "${apt_opts[@]}" install --no-install-recommends \
            "${missing[@]}" || return 1
        mapfile -t missing < <(missing_packages "${wanted[@]}")
        if [ ${#missing[@]} -gt 0 ]; then
            echo "error: still not installed: ${missing[*]}" >&2
            return 1
        fi
    fi

    if ! locale_present "$TEST_LOCALE"; then
        echo "Generating the $TEST_LOCALE locale" >&2
        local charset=${TEST_LOCALE#*.}
        local line="$TEST_LOCALE $charset"
        if [ -f /etc/locale.gen ] && grep -q "^# *$line\$" /etc/locale.gen; then
            as_root sed -i "s/^# *$line\$/$line/" /etc/locale.gen || return 1
        elif ! grep -qx "$line" /etc/locale.gen 2>/dev/null; then
            echo "$line" | as_root tee -a /etc/locale.gen >/dev/null || return 1
        fi
        as_root locale-gen || return 1
        if ! locale_present "$TEST_LOCALE"; then
            echo "error: the $TEST_LOCALE locale could not be generated" >&2
            return 1
        fi
    fi
}
