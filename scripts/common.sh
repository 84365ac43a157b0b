# Shared by the scripts in this folder: installs what is missing from Debian's
# packages and configures a build tree. Source it; do not run it.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The packages the Linux build, the tests and the tool (with its man page) need.
zentrel_packages=(cmake ninja-build g++ pkg-config binutils python3
                  libopencv-dev googletest libgtest-dev help2man)
# What the Python tests add: Dask for zentrel.batch, and venv with Debian's
# setuptools and wheel wheels for the offline pip install.
zentrel_python_test_packages=(python3-distributed python3-venv python3-wheel-whl)

apt_updated=no

# ensure_packages PACKAGE...: installs those that are not installed yet.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
        return 1
    fi
    echo "installing ${missing[*]}"
    if [ "$apt_updated" = no ]; then
        apt-get update -qq
        apt_updated=yes
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# configure_and_build DIR [CMAKE OPTION...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S "$repo_root" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
