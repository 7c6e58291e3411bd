#!/bin/sh
# run_readme.sh SOURCE_DIR WORK_DIR VERSION
# Runs the commands of the README section "Building your own program for
# the board" exactly as written: in a copy of the sources (what a clean
# clone holds, without build/), in a shell with a bare environment, one
# after the other.  The commands are the section's indented code lines
# (at most five); anything else the section shows is fenced.  Then:
#  - the last command's output shows both programs (CMake and pkg-config)
#    ran under qemu-arm and used the library of VERSION;
#  - the installed prefix is found by find_package through the toolchain
#    file also when named by the environment's CMAKE_PREFIX_PATH or as
#    CMAKE_STAGING_PREFIX.
# Everything stays under WORK_DIR (also HOME, so no CMake package registry
# of the user is read or written).
set -u
src=$1; work=$2; version=$3
status=0
fail() { echo "FAIL: $*"; status=1; }

rm -rf "$work"; mkdir -p "$work/clone" "$work/home"
work=$(cd "$work" && pwd)

# The section's commands.
awk '/^## / { on = ($0 == "## Building your own program for the board") } on && /^    [^ ]/ { sub(/^    /, ""); print }' \
    "$src/README.md" > "$work/commands.sh"
n=$(wc -l < "$work/commands.sh")
if [ "$n" -lt 1 ] || [ "$n" -gt 5 ]; then
    echo "FAIL: the README section has $n commands (1 to 5 expected)"; exit 1
fi
echo "--- the README's $n commands:"; cat "$work/commands.sh"

# A copy of the sources as a clone has them: tracked files and new ones not
# ignored (without git: everything but build/).
if git -C "$src" rev-parse --git-dir > /dev/null 2>&1; then
    git -C "$src" ls-files --cached --others --exclude-standard |
        while read -r f; do [ -e "$src/$f" ] && printf '%s\n' "$f"; done > "$work/files.list"
    tar -C "$src" -cf - -T "$work/files.list" | tar -C "$work/clone" -xf -
else
    tar -C "$src" --exclude=./build -cf - . | tar -C "$work/clone" -xf -
fi || { echo "FAIL: cannot copy the sources"; exit 1; }

echo "--- running them:"
(cd "$work/clone" && env -i PATH="$PATH" HOME="$work/home" LANG=C.UTF-8 sh -e -x "$work/commands.sh") \
    > "$work/run.log" 2>&1
rc=$?
cat "$work/run.log"
[ $rc -eq 0 ] || fail "the commands ended with status $rc"
last=$(tail -n 1 "$work/commands.sh")
echo "$last" | grep -q "qemu-arm" || fail "the last command runs nothing under qemu-arm: $last"
hellos=$(grep -c "^<6> \[lib main +[0-9 ]*\]hello from lib_common $version\$" "$work/run.log")
[ "$hellos" -eq 2 ] || fail "$hellos of the 2 programs traced 'hello from lib_common $version'"
trimmed=$(grep -c '^trimmed: board$' "$work/run.log")
[ "$trimmed" -eq 2 ] || fail "$trimmed of the 2 programs printed 'trimmed: board'"

# The prefix the commands installed into, found through its CMake package.
config=$(find "$work/clone" -path "$work/clone/build/armhf-release" -prune -o \
    -name lib_commonConfig.cmake -path '*/cmake/lib_common/*' -print | head -n 1)
if [ -z "$config" ]; then
    fail "no installed CMake package of lib_common"
else
    prefix=$(cd "$(dirname "$config")/../../.." && pwd)
    toolchain=$work/clone/cmake/toolchain-armhf.cmake
    if env -i PATH="$PATH" HOME="$work/home" CMAKE_PREFIX_PATH="$prefix" \
            cmake -S "$work/clone/examples/board" -B "$work/env_prefix" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" > "$work/env_prefix.log" 2>&1; then
        echo "ok: found through the environment's CMAKE_PREFIX_PATH"
    else
        fail "not found through the environment's CMAKE_PREFIX_PATH: $(grep -A3 'CMake Error' "$work/env_prefix.log")"
    fi
    if env -i PATH="$PATH" HOME="$work/home" \
            cmake -S "$work/clone/examples/board" -B "$work/staging" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_STAGING_PREFIX="$prefix" > "$work/staging.log" 2>&1; then
        echo "ok: found as CMAKE_STAGING_PREFIX"
    else
        fail "not found as CMAKE_STAGING_PREFIX: $(grep -A3 'CMake Error' "$work/staging.log")"
    fi
fi
[ $status -eq 0 ] && echo "board commands ok"
exit $status
