# Shared by scripts/run and scripts/test: installs what is missing and builds. Quiet when there is nothing
# to do.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# Debian packages the build and the tests need; the second line is the X backend and its test session
# (scripts/x-session, which asks Xlib through Python's ctypes who owns the compositor selection).
PACKAGES=(g++ cmake ninja-build pkg-config libboost1.81-dev libcairo2-dev libutf8proc-dev
          libgtest-dev libgmock-dev libbenchmark-dev
          libx11-dev libxtst-dev libxrandr-dev libxext-dev libxfixes-dev libxres-dev libxkbcommon-dev
          xvfb openbox picom x11-xserver-utils x11-utils python3)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    echo "${missing[@]:-}"
}

install_packages() {
    local missing
    missing="$(missing_packages "$@")"
    [ -z "$missing" ] && return 0
    echo "Installing: $missing" >&2
    as_root apt-get update -qq >&2
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends $missing >&2
}

# build DIR BUILD_TYPE [extra cmake args...]
build() {
    local dir="$1" type="$2"
    shift 2
    if [ ! -f "$ROOT/$dir/build.ninja" ]; then
        cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
    fi
    local log
    log="$(mktemp)"
    if ! cmake --build "$ROOT/$dir" -- -j"$(nproc)" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}
