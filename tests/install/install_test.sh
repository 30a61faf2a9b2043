#!/usr/bin/env bash
# Installs the build to a fresh prefix, checks what lands there, then builds
# the out-of-tree consumer against it twice, with pkg-config and with
# find_package, and runs both. Settings come from tests/install/CMakeLists.txt
# through the environment (HAC_*).
set -euo pipefail

prefix="$HAC_WORK_DIR/prefix"
rm -rf "$HAC_WORK_DIR"
mkdir -p "$HAC_WORK_DIR"
read -r -a emulator <<<"${HAC_EMULATOR:-}"

fail() {
    echo "install test: $*" >&2
    exit 1
}

cmake --install "$HAC_BUILD_DIR" --prefix "$prefix" >"$HAC_WORK_DIR/install.log"

libdir="$prefix/$HAC_LIBDIR"
for f in "$libdir/libhbbtv_hac.so.1.0.0" \
         "$HAC_INCDIR_REL" \
         "$libdir/pkgconfig/hbbtv_hac.pc" \
         "$libdir/cmake/hbbtv_hac/hbbtv_hacConfig.cmake" \
         "$libdir/cmake/hbbtv_hac/hbbtv_hacConfigVersion.cmake"; do
    case "$f" in /*) ;; *) f="$prefix/$f" ;; esac
    [ -e "$f" ] || fail "missing $f"
done
for h in vetu_ipc.h vetu_log.h vetu_hac.h hac_message_type.h; do
    [ -f "$prefix/$HAC_INCDIR_REL/$h" ] || fail "missing header $h"
done
[ "$(readlink "$libdir/libhbbtv_hac.so.1")" = libhbbtv_hac.so.1.0.0 ] || fail "libhbbtv_hac.so.1 does not name the library"
[ "$(readlink "$libdir/libhbbtv_hac.so")" = libhbbtv_hac.so.1 ] || fail "libhbbtv_hac.so does not name the SONAME link"
"$HAC_READELF" -d "$libdir/libhbbtv_hac.so.1.0.0" | grep -q 'SONAME.*\[libhbbtv_hac\.so\.1\]' || fail "SONAME is not libhbbtv_hac.so.1"
if [ "$HAC_HAS_TOOL" = 1 ]; then
    [ -x "$prefix/bin/hac" ] || fail "missing bin/hac"
    # It finds the library of its own prefix.
    "${emulator[@]}" "$prefix/bin/hac" --help >/dev/null || fail "installed hac does not run"
fi

echo "== consumer through pkg-config"
if [ -n "${HAC_PKG_CONFIG_LIBDIR:-}" ]; then
    # Cross build: only the prefix and the target's own .pc files.
    export PKG_CONFIG_LIBDIR="$libdir/pkgconfig:$HAC_PKG_CONFIG_LIBDIR"
    unset PKG_CONFIG_PATH
else
    export PKG_CONFIG_PATH="$libdir/pkgconfig"
fi
[ "$(pkg-config --modversion hbbtv_hac)" = 1.0.0 ] || fail "pkg-config reports another version"
read -r -a pc_cflags <<<"$(pkg-config --cflags hbbtv_hac)"
read -r -a pc_libs <<<"$(pkg-config --libs hbbtv_hac)"
read -r -a flags <<<"${HAC_FLAGS:-}"
pc_dir="$HAC_WORK_DIR/pkgconfig-build"
mkdir -p "$pc_dir"
"$HAC_CC" "${flags[@]}" "${pc_cflags[@]}" -c "$HAC_CONSUMER_DIR/consumer_c.c" -o "$pc_dir/consumer_c.o"
"$HAC_CXX" -std=c++17 "${flags[@]}" "${pc_cflags[@]}" "$HAC_CONSUMER_DIR/consumer.cpp" "$pc_dir/consumer_c.o" \
    "${pc_libs[@]}" -Wl,-rpath,"$libdir" -o "$pc_dir/hac_consumer"
"${emulator[@]}" "$pc_dir/hac_consumer"

echo "== consumer through find_package"
cm_dir="$HAC_WORK_DIR/cmake-build"
cmake_args=(-DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$HAC_CC" -DCMAKE_CXX_COMPILER="$HAC_CXX"
            -DCMAKE_C_FLAGS="${HAC_FLAGS:-}" -DCMAKE_CXX_FLAGS="${HAC_FLAGS:-}")
if [ -n "${HAC_TOOLCHAIN:-}" ]; then
    cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$HAC_TOOLCHAIN")
fi
cmake -S "$HAC_CONSUMER_DIR" -B "$cm_dir" "${cmake_args[@]}" >"$HAC_WORK_DIR/configure.log" \
    || { cat "$HAC_WORK_DIR/configure.log"; fail "consumer does not configure"; }
cmake --build "$cm_dir"
"${emulator[@]}" "$cm_dir/hac_consumer"
