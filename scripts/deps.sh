# deps.sh - sourced by the scripts: installs missing Debian packages.
#   lc_need pkg...   installs the packages that are not installed yet
#                    (as root; otherwise says what is missing and fails);
#                    LC_APT_OPTIONS are added to apt-get install's options.
#   lc_folder_arg ARG DEFAULT
#                    prints the folder a script was given (relative to where
#                    it was called), or DEFAULT when ARG is empty

lc_folder_arg() {
    case $1 in
        "") echo "$2" ;;
        /*) echo "$1" ;;
        *) echo "$PWD/$1" ;;
    esac
}

lc_need() {
    missing=""
    for pkg in "$@"; do
        status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
        case "$status" in
            *"install ok installed"*) ;;
            *) missing="$missing $pkg" ;;
        esac
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "missing Debian packages:$missing (run as root to install them)" >&2
        return 1
    fi
    echo "installing:$missing"
    if [ -z "${LC_APT_UPDATED:-}" ]; then
        apt-get update -qq >/dev/null
        LC_APT_UPDATED=1
    fi
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ${LC_APT_OPTIONS:-} $missing >/dev/null
}

# What building the library, its tool and the demo needs (scripts/demo.sh,
# which builds without the man pages); what building and testing need on a
# fresh machine besides: pkg-config, Doxygen for the man pages that every
# build makes and installs, the test framework's sources, libabigail's
# abidw and abidiff for the ABI guard; the shell commands the helpers run
# (ps, grep, cat, ls, wc, cp, sync), and the cross toolchain with its
# emulator.
LC_COMPILE_PACKAGES="cmake ninja-build g++"
LC_BUILD_PACKAGES="$LC_COMPILE_PACKAGES pkg-config doxygen googletest binutils abigail-tools"
LC_RUNTIME_PACKAGES="procps grep coreutils"
LC_CROSS_PACKAGES="crossbuild-essential-armhf qemu-user"
LC_FUZZ_PACKAGES="clang libclang-rt-14-dev"
# What scripts/bench.sh needs besides the build packages: Google Benchmark,
# the peer libraries measured beside the library, and python3 for the table.
LC_BENCH_PACKAGES="libbenchmark-dev libspdlog-dev libglib2.0-dev libboost-dev python3"
# What scripts/package.sh needs besides the build and cross packages:
# dpkg-buildpackage and debhelper, which make the packages from debian/,
# lintian, which judges them, and Doxygen with man-db for the man pages of
# the development package (target "man") and their check.
LC_PACKAGE_PACKAGES="dpkg-dev debhelper lintian doxygen man-db"
# What scripts/board.sh needs besides the package step's: mmdebstrap and
# arch-test, which make the board's root file system, the emulator of the
# whole board, mke2fs for its disk image and cpio for its initrd.  They are
# installed without recommends (qemu-system-arm's would bring a desktop).
LC_BOARD_PACKAGES="mmdebstrap arch-test qemu-system-arm e2fsprogs cpio util-linux"
# What scripts/docs.sh needs besides the build packages: Doxygen, which
# makes the HTML reference and the man pages from the headers, and man-db,
# whose man shows a page.
LC_DOC_PACKAGES="doxygen man-db"
# What scripts/coverage.sh needs besides the build packages (gcc's gcov
# comes with g++).
LC_COVERAGE_PACKAGES="gcovr"
# What scripts/format.sh needs.
LC_FORMAT_PACKAGES="clang-format"

# The syslog daemon of the demo's syslog test and of scripts/bench.sh
# (scripts/syslogd.sh): busybox's syslogd, and unshare for its private /dev.
LC_SYSLOG_PACKAGES="busybox-syslogd util-linux"

# Installs the syslog daemon's packages.  busybox-syslogd replaces another
# system log daemon on install; where one is installed, only busybox (whose
# syslogd applet scripts/syslogd.sh runs) is added and the machine's own
# daemon stays.
lc_need_syslogd() {
    for pkg in rsyslog syslog-ng-core inetutils-syslogd sysklogd; do
        case "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)" in
            *"install ok installed"*) lc_need busybox util-linux; return ;;
        esac
    done
    lc_need $LC_SYSLOG_PACKAGES
}
