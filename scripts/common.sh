# Shared by the scripts in this folder: installs what is missing from Debian's
# packages and configures a build tree. Source it; do not run it.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The packages the Linux build, the tests and the tool (with its man page and
# its page server) need.
zentrel_packages=(cmake ninja-build g++ pkg-config binutils python3
                  libopencv-dev googletest libgtest-dev help2man libexiv2-dev libpng-dev
                  libcpp-httplib-dev)
# What the Python tests add: Dask for zentrel.batch, and venv with Debian's
# setuptools and wheel wheels for the offline pip install.
zentrel_python_test_packages=(python3-distributed python3-venv python3-wheel-whl)
# What the page's browser tests add: headless Chromium driven by Selenium.
zentrel_browser_test_packages=(chromium chromium-driver python3-selenium)

# What the Windows DLLs add: the cross compilers, and Wine for 64-bit and
# 32-bit programs (the i386 packages need dpkg's i386 architecture). Wine's
# preloader is a package of its own that --no-install-recommends leaves out;
# without it Wine cannot reserve its address space under CPU emulation. Mono
# and nuget build the .NET binding's layout check and its NuGet package.
zentrel_windows_packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools dpkg-dev
                          xz-utils wine wine64 wine32:i386 wine32-preloader:i386
                          mono-mcs mono-runtime nuget)

apt_updated=no

# apt_update: refreshes the package lists. A mirror caught mid-sync serves an
# index of the wrong size; that is tried again twice. If it persists, the
# lists that were fetched are used, and installs prefer the release's own
# archive (apt_install_args): with one architecture's security list missing,
# the security versions of the other could not be matched, and i386 and
# amd64 copies of a library must be the same version.
apt_install_args=()
apt_update() {
    local attempt
    for attempt in 1 2 3; do
        apt-get update -qq && return 0
        ((attempt < 3)) || break
        echo "apt-get update failed (attempt $attempt of 3); trying again in $((attempt * 20)) s" >&2
        sleep $((attempt * 20))
    done
    local release
    release=$(. /etc/os-release && echo "$VERSION_CODENAME")
    apt_install_args=(-t "$release")
    echo "apt-get update failed three times; installing from the lists it fetched, $release's own first" >&2
}

# missing_packages PACKAGE...: prints those that are not installed.
missing_packages() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            echo "$package"
    done
}

# ensure_packages PACKAGE...: installs those that are not installed yet.
ensure_packages() {
    local missing=()
    mapfile -t missing < <(missing_packages "$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
        return 1
    fi
    echo "installing ${missing[*]}"
    if [ "$apt_updated" = no ]; then
        apt_update
        apt_updated=yes
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${apt_install_args[@]}" "${missing[@]}" >/dev/null
}

# configure_and_build DIR [CMAKE OPTION...]
configure_and_build() {
    local dir=$1
    shift
    cmake -S "$repo_root" -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}

# Whether this machine runs a 32-bit x86 Linux program, asked of the kernel
# itself: a five-instruction static i386 program that exits with 7, built
# with binutils alone. Through an emulator registered with binfmt_misc
# counts too.
runs_32bit_code() {
    local dir status=1
    dir=$(mktemp -d /tmp/zentrel-ia32.XXXXXX)
    printf '.globl _start\n_start:\n movl $1, %%eax\n movl $7, %%ebx\n int $0x80\n' >"$dir/exit.S"
    if as --32 "$dir/exit.S" -o "$dir/exit.o" && ld -m elf_i386 -static "$dir/exit.o" -o "$dir/exit"; then
        "$dir/exit" 2>/dev/null || status=$?
    fi
    rm -rf "$dir"
    [ "$status" -eq 7 ]
}

binfmt_dir=/proc/sys/fs/binfmt_misc

# The interpreter of an enabled binfmt_misc entry for i386 ELF programs, if
# any. The kernel asks binfmt_misc before its own loader, so with one an
# i386 program runs under that interpreter even where the kernel could run
# it natively.
i386_binfmt_interpreter() {
    local entry
    for entry in "$binfmt_dir"/*; do
        [ -f "$entry" ] && [ "$(head -n 1 "$entry" 2>/dev/null)" = enabled ] || continue
        if grep -q '^magic 7f454c4601010100000000000000000002000300' "$entry"; then
            sed -n 's/^interpreter //p' "$entry"
            return
        fi
    done
}
