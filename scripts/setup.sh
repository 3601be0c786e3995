# Shared set-up of scripts/test and scripts/demo (sourced, not run).
# Installs what is missing from Debian's packages, quietly, then configures
# and builds the given build directory.
set -eu

RA62_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

RA62_PACKAGES="cmake ninja-build g++ clang libclang-rt-14-dev pkg-config \
libgtest-dev libgmock-dev googletest libbenchmark-dev libserialport-dev \
libbluetooth-dev libcli11-dev nlohmann-json3-dev libedit-dev tar dpkg-dev file \
man-db groff-base lintian"

ra62_install_deps() {
    local missing=""
    for p in $RA62_PACKAGES; do
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
