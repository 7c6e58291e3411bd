#!/bin/sh
# check_packages.sh ARCH TRIPLET DEB_DIR VERSION STAGE WORK
# Checks the three Debian packages of one architecture made from debian/
# (scripts/package.sh runs it before it keeps any package):
#  - names, version, architecture, sections, Multi-Arch, dependencies
#    (dpkg-deb -I); every needed library's package is in Depends with a
#    version that has every symbol version the files use, and for the build
#    machine's architecture (where dpkg-shlibdeps made them) the Depends
#    equal what cmake/lc_deb_depends.cmake finds, which a cross build uses;
#    the library is registered by the ldconfig trigger, not by scripts;
#  - contents (dpkg-deb -c): every file the build installs into STAGE (the
#    folder usr/ of debian/tmp) is in exactly one package, the development
#    files in -dev, lcctl in the tools package, the rest in the runtime
#    package, under /usr with the library in the multiarch folder; each
#    package has its copyright file and changelog;
#  - the ELF files (readelf of the target): machine, SONAME, needed
#    libraries, versioned exports;
#  - the man pages of the development package: the front page, the family
#    pages, the links of the functions, and that man opens add_task's;
#  - use: both packages are unpacked into a scratch root (dpkg -x), and a C
#    program is built against them through pkg-config and a C++ program
#    through find_package, and run (amd64 natively, armhf under qemu-arm).
# Each failed check prints one line "FAIL: ..."; the exit status is 1 when
# any failed.
set -u
arch=$1; triplet=$2; debs=$3; version=$4; stage=$5; work=$6
here=$(cd "$(dirname "$0")" && pwd)
consumer=$here/../consumer
status=0
failed=0
fail() { echo "FAIL ($arch): $*"; status=1; failed=1; }
# ok TEXT: the checks since the last ok (or the start) passed.
ok() {
    if [ $failed -eq 0 ]; then echo "ok ($arch): $*"; fi
    failed=0
}

soname=liblib_common.so.1
runtime_pkg=liblib-common1; dev_pkg=liblib-common-dev; tools_pkg=lib-common-tools
runtime=$debs/${runtime_pkg}_${version}_$arch.deb
dev=$debs/${dev_pkg}_${version}_$arch.deb
tools=$debs/${tools_pkg}_${version}_$arch.deb
libdir=usr/lib/$triplet
if [ "$arch" = "$(dpkg --print-architecture)" ]; then
    readelf=readelf; native=1
else
    readelf=$triplet-readelf; native=0
fi

rm -rf "$work"; mkdir -p "$work"
work=$(cd "$work" && pwd); debs=$(cd "$debs" && pwd); stage=$(cd "$stage" && pwd)
for deb in "$runtime" "$dev" "$tools"; do
    [ -f "$deb" ] || { echo "FAIL ($arch): no package $deb"; exit 1; }
done
count=$(find "$debs" -maxdepth 1 -name "*_$arch.deb" | wc -l)
[ "$count" -eq 3 ] || fail "$count packages for $arch instead of 3"

# --- Control fields ---------------------------------------------------------
field() { dpkg-deb -f "$1" "$2"; }
# PACKAGE SECTION MULTI-ARCH of each.
for row in "$runtime $runtime_pkg libs same" "$dev $dev_pkg libdevel same" "$tools $tools_pkg utils foreign"; do
    set -- $row
    [ "$(field "$1" Package)" = "$2" ] || fail "$1: Package $(field "$1" Package)"
    [ "$(field "$1" Version)" = "$version" ] || fail "$1: Version $(field "$1" Version)"
    [ "$(field "$1" Architecture)" = "$arch" ] || fail "$1: Architecture $(field "$1" Architecture)"
    [ "$(field "$1" Section)" = "$3" ] || fail "$2 in section $(field "$1" Section)"
    [ "$(field "$1" Multi-Arch)" = "$4" ] || fail "$2 is Multi-Arch '$(field "$1" Multi-Arch)'"
    case $(field "$1" Maintainer) in
        *@localhost*|"") fail "$2: Maintainer '$(field "$1" Maintainer)'" ;;
    esac
done
[ "$(field "$dev" Depends)" = "$runtime_pkg (= $version)" ] ||
    fail "development package depends on '$(field "$dev" Depends)'"
control() { dpkg-deb --ctrl-tarfile "$1" | tar -xOf - "./$2" 2>/dev/null; }
shlibs=$(control "$runtime" shlibs)
[ "$shlibs" = "liblib_common 1 $runtime_pkg (>= $version)" ] || fail "shlibs file '$shlibs'"
triggers=$(control "$runtime" triggers | grep -v "^#")
[ "$triggers" = "activate-noawait ldconfig" ] || fail "triggers file '$triggers'"
for script in preinst postinst prerm postrm; do
    [ -z "$(control "$runtime" $script)" ] || fail "$runtime_pkg has a $script script"
done
ok "fields: $runtime_pkg, $dev_pkg, $tools_pkg $version $arch, shlibs '$shlibs', '$triggers'"

# --- Contents -----------------------------------------------------------------
# Files and links (not folders), without the leading "./usr/".
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./usr/||' | sort; }
contents "$runtime" | grep -v "^share/doc/$runtime_pkg/" > "$work/runtime.list"
contents "$dev" | grep -v "^share/doc/$dev_pkg/" > "$work/dev.list"
contents "$tools" | grep -v "^share/doc/$tools_pkg/" > "$work/tools.list"
# Installed man pages are compressed in the packages.
(cd "$stage/usr" && find . ! -type d | sed -e 's|^\./||' -e 's|^\(share/man/.*\)$|\1.gz|' | sort) > "$work/stage.list"
for deb in "$runtime" "$dev" "$tools"; do
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | grep -v '^\./usr/'
done > "$work/outside.list"
[ -s "$work/outside.list" ] && fail "files outside /usr: $(tr '\n' ' ' < "$work/outside.list")"
for pkg in "$runtime" "$dev" "$tools"; do
    name=$(field "$pkg" Package)
    for f in copyright changelog.gz; do
        contents "$pkg" | grep -qx "share/doc/$name/$f" || fail "$name lacks share/doc/$name/$f"
    done
done
sort "$work/runtime.list" "$work/dev.list" "$work/tools.list" > "$work/both.list"
[ -z "$(sort "$work/both.list" | uniq -d)" ] || fail "in both packages: $(sort "$work/both.list" | uniq -d | tr '\n' ' ')"
missing=$(comm -23 "$work/stage.list" "$work/both.list")
[ -z "$missing" ] || fail "installed but in no package: $(echo "$missing" | tr '\n' ' ')"
extra=$(comm -13 "$work/stage.list" "$work/both.list")
[ -z "$extra" ] || fail "packed but not installed: $(echo "$extra" | tr '\n' ' ')"
# What belongs to the development package.
sublib=${libdir#usr/}
is_dev() {
    case $1 in
        include/*|share/man/man3/*|"$sublib"/pkgconfig/*|"$sublib"/cmake/*|*.so|*.a) return 0 ;;
    esac
    return 1
}
while read -r f; do is_dev "$f" && fail "development file $f in the runtime package"; done < "$work/runtime.list"
while read -r f; do is_dev "$f" || fail "run-time file $f in the development package"; done < "$work/dev.list"
for f in "$sublib/$soname" "$sublib/liblib_common.so.$version"; do
    grep -qx "$f" "$work/runtime.list" || fail "runtime package lacks $f"
done
for f in include/lib_common/lib_common.h include/lib_common/lc_version.h "$sublib/liblib_common.so" \
         "$sublib/pkgconfig/lib_common.pc" "$sublib/cmake/lib_common/lib_commonConfig.cmake" \
         "$sublib/cmake/lib_common/lib_commonConfigVersion.cmake"; do
    grep -qx "$f" "$work/dev.list" || fail "development package lacks $f"
done
# Tools the build installs (bin/, their man pages) have a package of their own.
while read -r f; do
    case $f in
        bin/*|share/man/man1/*) ;;
        *) fail "$f in the tools package" ;;
    esac
done < "$work/tools.list"
grep -qx bin/lcctl "$work/tools.list" || fail "tools package lacks bin/lcctl"
ok "contents: $(wc -l < "$work/runtime.list") files in $runtime_pkg, $(wc -l < "$work/dev.list") in $dev_pkg," \
   "$(wc -l < "$work/tools.list") in $tools_pkg, each with copyright and changelog"

# --- ELF files of the runtime package ---------------------------------------
root=$work/root
mkdir -p "$root"
dpkg-deb -x "$runtime" "$root" && dpkg-deb -x "$dev" "$root" && dpkg-deb -x "$tools" "$root" ||
    { fail "dpkg-deb -x failed"; exit 1; }
lib=$root/$libdir/liblib_common.so.$version
[ "$(readlink "$root/$libdir/$soname")" = "liblib_common.so.$version" ] || fail "$soname does not link to the library"
[ "$(readlink "$root/$libdir/liblib_common.so")" = "$soname" ] || fail "liblib_common.so does not link to $soname"
case $arch in
    amd64) machine="Advanced Micro Devices X86-64"; class=ELF64 ;;
    armhf) machine=ARM; class=ELF32 ;;
    *) machine=""; class="" ;;
esac
elves=$(cd "$root" && find usr -type f | while read -r f; do
    [ "$(head -c 4 "$f" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] && echo "$f"; done)
for f in $elves; do
    case $f in
        usr/bin/*) depends=$(field "$tools" Depends) ;;
        *) depends=$(field "$runtime" Depends) ;;
    esac
    header=$("$readelf" -h "$root/$f")
    echo "$header" | grep -q "Machine: *$machine\$" || fail "$f: machine $(echo "$header" | sed -n 's/.*Machine: *//p')"
    echo "$header" | grep -q "Class: *$class\$" || fail "$f: class $(echo "$header" | sed -n 's/.*Class: *//p')"
    if [ "$arch" = armhf ]; then
        echo "$header" | grep -q "hard-float ABI" || fail "$f: not hard-float"
    fi
    needed=$("$readelf" -d "$root/$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    for n in $needed; do
        case $n in
            libc.so.6|libm.so.6|ld-linux*) pkg=libc6; prefix=GLIBC_ ;;
            libstdc++.so.6) pkg=libstdc++6; prefix="" ;;
            libgcc_s.so.1) pkg=libgcc-s1; prefix=GCC_ ;;
            "$soname") continue ;;
            *) fail "$f needs $n, which the library must not"; continue ;;
        esac
        echo "$depends" | grep -q "\(^\|, \)$pkg\( \|,\|\$\)" || fail "$f needs $n but Depends lacks $pkg: $depends"
        # The Depends version must be at least the newest node used.
        if [ -n "$prefix" ]; then
            have=$(echo "$depends" | sed -n "s/.*$pkg (>= \([0-9.]*\)).*/\1/p")
            newest=$("$readelf" -V --wide "$root/$f" | sed -n '/Version needs/,$p' |
                awk -v file="$n" '$4 == "File:" { cur = $5 } $2 == "Name:" && cur == file { print $3 }' |
                sed -n "s/^$prefix//p" | sort -V | tail -n 1)
            if [ -n "$newest" ] && [ "$(printf '%s\n%s\n' "$newest" "${have:-0}" | sort -V | tail -n 1)" != "${have:-0}" ]; then
                fail "$f uses $prefix$newest of $n but Depends allows $pkg ${have:-(any)}"
            fi
        fi
    done
done
sh "$here/../abi/check_versions.sh" "$readelf" "$lib" "$version" > "$work/versions.log" 2>&1 ||
    fail "symbol versions: $(cat "$work/versions.log")"
if [ "$native" = 1 ]; then
    # dpkg-shlibdeps made these Depends; the cross build's way must agree.
    for pkg in "$runtime" "$tools"; do
        name=$(field "$pkg" Package)
        mkdir -p "$work/own/$name" && dpkg-deb -x "$pkg" "$work/own/$name"
        found=$(cmake -DLC_READELF="$readelf" -DLC_ROOT="$work/own/$name" \
            -P "$here/../../cmake/lc_deb_depends.cmake" 2>&1 | sed -n 's/^shlibs:Depends=//p')
        [ "$found" = "$(field "$pkg" Depends)" ] ||
            fail "$name: Depends '$(field "$pkg" Depends)', cmake/lc_deb_depends.cmake finds '$found'"
    done
fi
ok "ELF files: library for $("$readelf" -h "$lib" | sed -n 's/.*Machine: *//p'), SONAME $soname, needs $("$readelf" -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')- Depends: $(field "$runtime" Depends); $tools_pkg: $(field "$tools" Depends)"

# --- Man pages of the development package -------------------------------------
# The front page, a page per family and per record, and for each function,
# macro, type and variable a link to its family's page, which man opens from
# any folder.
man3=$root/usr/share/man/man3
npages=$(find "$man3" -type f -name '*.3.gz' 2>/dev/null | wc -l)
nlinks=$(find "$man3" -type l -name '*.3.gz' 2>/dev/null | wc -l)
for f in lib_common.3.gz lib_common_tasks.3.gz add_task.3.gz remove_task_wait.3.gz xel_traceout.3.gz lwrb.3.gz; do
    [ -e "$man3/$f" ] || fail "development package lacks share/man/man3/$f"
done
[ "$(readlink "$man3/add_task.3.gz" 2>/dev/null)" = lib_common_tasks.3.gz ] ||
    fail "share/man/man3/add_task.3.gz is no link to lib_common_tasks.3.gz"
dangling=$(find "$man3" -xtype l 2>/dev/null | sed "s|^$man3/||" | tr '\n' ' ')
[ -z "$dangling" ] || fail "man page links that lead nowhere: $dangling"
page=$(cd / && MANPAGER=cat MANWIDTH=100 man -l "$man3/add_task.3.gz" 2>&1) || true
case $page in
    *"int add_task (lc_task_fn fn"*"Thread safety:"*) ;;
    *) fail "man -l share/man/man3/add_task.3.gz does not show add_task: $(echo "$page" | head -n 3)" ;;
esac
ok "man pages: $npages pages and $nlinks links in $dev_pkg, compressed; add_task.3.gz opens lib_common_tasks.3.gz"

# --- A C and a C++ program built against the unpacked packages -----------------
if [ "$native" = 1 ]; then
    cc=cc; cxx=c++; run=""
    toolchain=""
else
    cc=$triplet-gcc; cxx=$triplet-g++; run="qemu-arm"
    toolchain=-DCMAKE_TOOLCHAIN_FILE=$here/../../cmake/toolchain-$arch.cmake
fi
export PKG_CONFIG_LIBDIR="$root/$libdir/pkgconfig"
unset PKG_CONFIG_PATH
pcversion=$(pkg-config --modversion lib_common)
[ "$pcversion" = "$version" ] || fail "pkg-config gives version '$pcversion'"
# shellcheck disable=SC2046
if "$cc" -Wall -Wextra -Werror -o "$work/consumer_c" "$consumer/consumer.c" $(pkg-config --cflags --libs lib_common) \
        > "$work/cc.log" 2>&1; then
    if QEMU_LD_PREFIX=/usr/$triplet LD_LIBRARY_PATH="$root/$libdir" $run "$work/consumer_c" "$version" > "$work/run_c.log" 2>&1; then
        ok "C program through pkg-config: $(cat "$work/run_c.log")"
    else
        fail "C program through pkg-config: $(cat "$work/run_c.log")"
    fi
else
    fail "C program through pkg-config does not build: $(tail -n 5 "$work/cc.log")"
fi
# shellcheck disable=SC2086
if cmake -S "$consumer" -B "$work/cmake_build" -DCMAKE_PREFIX_PATH="$root/usr" $toolchain \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" > "$work/cmake.log" 2>&1 &&
        cmake --build "$work/cmake_build" >> "$work/cmake.log" 2>&1; then
    # No LD_LIBRARY_PATH: CMake's build RPATH leads to the unpacked library.
    if QEMU_LD_PREFIX=/usr/$triplet $run "$work/cmake_build/consumer_cpp" "$(cat "$work/cmake_build/package_version")" \
            > "$work/run_cpp.log" 2>&1; then
        ok "C++ program through find_package: $(cat "$work/run_cpp.log")"
    else
        fail "C++ program through find_package: $(cat "$work/run_cpp.log")"
    fi
else
    fail "C++ program through find_package does not build: $(tail -n 5 "$work/cmake.log")"
fi
exit $status
