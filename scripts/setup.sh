# Shared set-up of scripts/test and scripts/demo (sourced, not run).
# Installs what is missing from Debian's packages, quietly, then configures
# and builds the given build directory.
set -eu

RA62_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

RA62_PACKAGES="cmake ninja-build g++ clang libclang-rt-14-dev pkg-config \
libgtest-dev libgmock-dev googletest libbenchmark-dev libserialport-dev \
libbluetooth-dev libcli11-dev nlohmann-json3-dev libedit-dev tar dpkg-dev file \
man-db groff-base lintian python3"

# The Windows build and its tests under wine (scripts/build-windows and the
# Windows stage of scripts/test) need these as well; the Linux build does not.
RA62_WINDOWS_PACKAGES="g++-mingw-w64-x86-64-posix wine64 wine googletest \
groff-base bsdextrautils python3"

# scripts/check-report renders the export's report and reads its GPX with
# programs of other makers; nothing else needs them.
RA62_REPORT_CHECK_PACKAGES="chromium python3-gpxpy"

# Header-only libraries that the Windows build takes from the Linux
# packages when they are installed (ra62_stage_headers).
RA62_HEADER_ONLY_PACKAGES="libcli11-dev nlohmann-json3-dev"

ra62_install_deps() {
    ra62_install_packages $RA62_PACKAGES
}

ra62_install_windows_deps() {
    ra62_install_packages $RA62_WINDOWS_PACKAGES
}

# ra62_install_packages PACKAGE...: installs those that are missing.
ra62_install_packages() {
    local missing=""
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null |
            grep -q "install ok installed"; then
            missing="$missing $p"
        fi
    done
    [ -z "$missing" ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq >/dev/null
    # shellcheck disable=SC2086
    $sudo apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

# ra62_configure DIR [cmake options...]
ra62_configure() {
    local dir=$1
    shift
    cmake -S "$RA62_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
}

# ra62_stage_headers DIR: copies the headers (and CMake and pkg-config
# files) of the installed header-only packages into DIR/usr, so a cross
# build finds them there (CMake with DIR/usr as a find root, pkg-config with
# DIR as its sysroot) and nothing else of the build machine's /usr.
ra62_stage_headers() {
    local dir=$1 p f
    rm -rf "$dir"
    mkdir -p "$dir"
    for p in $RA62_HEADER_ONLY_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null |
            grep -q "install ok installed" || continue
        dpkg-query -L "$p" | while read -r f; do
            case "$f" in
            /usr/include/* | /usr/share/cmake/* | /usr/lib/cmake/* | \
                /usr/share/pkgconfig/* | /usr/lib/*/cmake/* | \
                /usr/lib/*/pkgconfig/*)
                [ -f "$f" ] || continue
                mkdir -p "$dir$(dirname "$f")"
                cp "$f" "$dir$f"
                ;;
            esac
        done
    done
}
