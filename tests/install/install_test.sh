#!/usr/bin/env bash
# Installs the build to a fresh prefix, and a second build of the library of
# the other kind (the static archive beside the shared library, or the other
# way round) to another, and checks what lands in each. Then, for each prefix,
# builds the out-of-tree consumer with pkg-config and with find_package and
# runs it: every consumer includes the headers both by bare name and with
# their folder, and checks that the library it runs with is the release of
# its headers. Settings come from tests/install/CMakeLists.txt through the
# environment (HAC_*).
set -euo pipefail

rm -rf "$HAC_WORK_DIR"
mkdir -p "$HAC_WORK_DIR"
read -r -a emulator <<<"${HAC_EMULATOR:-}"
read -r -a flags <<<"${HAC_FLAGS:-}"

fail() {
    echo "install test: $*" >&2
    exit 1
}

# Shows a log that explains a failed step, then fails.
fail_with_log() {
    local log="$1"
    shift
    tail -n 40 "$log" >&2
    fail "$*"
}

if [ "$HAC_LIBRARY_TYPE" = SHARED_LIBRARY ]; then
    main_kind=shared other_kind=static other_shared=OFF
else
    main_kind=static other_kind=shared other_shared=ON
fi

# The second library is configured like this build and only its target is
# built, in a folder kept between runs so that a rerun rebuilds nothing.
build_other_library() {
    local args=(-DBUILD_SHARED_LIBS="$other_shared" -DHAC_BUILD_TESTS=OFF -DHAC_BUILD_TOOLS=OFF
                -DCMAKE_BUILD_TYPE="$HAC_BUILD_TYPE" -DHAC_SANITIZER="${HAC_SANITIZER:-}"
                -DCMAKE_INSTALL_LIBDIR="$HAC_LIBDIR" -DCMAKE_INSTALL_INCLUDEDIR="$HAC_INCLUDEDIR")
    if [ -n "${HAC_TOOLCHAIN:-}" ]; then
        args+=(-DCMAKE_TOOLCHAIN_FILE="$HAC_TOOLCHAIN")
    else
        args+=(-DCMAKE_C_COMPILER="$HAC_CC" -DCMAKE_CXX_COMPILER="$HAC_CXX")
    fi
    local log="$HAC_WORK_DIR/$other_kind-library.log"
    echo "== building the $other_kind library in $HAC_OTHER_BUILD_DIR"
    cmake -S "$HAC_SOURCE_DIR" -B "$HAC_OTHER_BUILD_DIR" "${args[@]}" >"$log" 2>&1 \
        || fail_with_log "$log" "the $other_kind library does not configure"
    cmake --build "$HAC_OTHER_BUILD_DIR" --target hbbtv_hac -j2 >>"$log" 2>&1 \
        || fail_with_log "$log" "the $other_kind library does not build"
}

install_to() {
    local build_dir="$1" prefix="$2"
    cmake --install "$build_dir" --prefix "$prefix" >"$prefix.install.log" 2>&1 \
        || fail_with_log "$prefix.install.log" "cmake --install $build_dir failed"
}

check_common_files() {
    local prefix="$1" libdir="$1/$HAC_LIBDIR"
    local f
    for f in "$libdir/pkgconfig/hbbtv_hac.pc" \
             "$libdir/cmake/hbbtv_hac/hbbtv_hacConfig.cmake" \
             "$libdir/cmake/hbbtv_hac/hbbtv_hacConfigVersion.cmake"; do
        [ -e "$f" ] || fail "missing $f"
    done
    for f in vetu_ipc.h vetu_status.h vetu_log.h vetu_hac.h hac_message_type.h hac_catalogue.h hbbtv_hac_version.h; do
        [ -f "$prefix/$HAC_INCLUDEDIR/hbbtv_hac/$f" ] || fail "missing header $f in $prefix"
    done
    grep -q "#define HBBTV_HAC_VERSION_STRING \"$HAC_VERSION\"" "$prefix/$HAC_INCLUDEDIR/hbbtv_hac/hbbtv_hac_version.h" \
        || fail "hbbtv_hac_version.h does not carry version $HAC_VERSION"
}

check_shared_files() {
    local libdir="$1/$HAC_LIBDIR"
    local so="libhbbtv_hac.so.$HAC_VERSION" soname="libhbbtv_hac.so.$HAC_VERSION_MAJOR"
    [ -f "$libdir/$so" ] || fail "missing $libdir/$so"
    [ "$(readlink "$libdir/$soname")" = "$so" ] || fail "$soname does not name the library"
    [ "$(readlink "$libdir/libhbbtv_hac.so")" = "$soname" ] || fail "libhbbtv_hac.so does not name the SONAME link"
    "$HAC_READELF" -d "$libdir/$so" | grep -q "SONAME.*\[$soname\]" || fail "SONAME is not $soname"
    [ ! -e "$libdir/libhbbtv_hac.a" ] || fail "a shared install holds libhbbtv_hac.a"
}

check_static_files() {
    local libdir="$1/$HAC_LIBDIR"
    [ -f "$libdir/libhbbtv_hac.a" ] || fail "missing $libdir/libhbbtv_hac.a"
    ! compgen -G "$libdir/libhbbtv_hac.so*" >/dev/null || fail "a static install holds libhbbtv_hac.so"
}

# pkg-config sees the prefix's .pc file (and, in a cross build, only the
# target's own .pc files besides).
pc() {
    local libdir="$1"
    shift
    if [ -n "${HAC_PKG_CONFIG_LIBDIR:-}" ]; then
        PKG_CONFIG_LIBDIR="$libdir/pkgconfig:$HAC_PKG_CONFIG_LIBDIR" PKG_CONFIG_PATH= pkg-config "$@"
    else
        PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config "$@"
    fi
}

# A shared consumer loads libhbbtv_hac.so.MAJOR; a static one carries the
# library in itself.
check_links_as() {
    local kind="$1" exe="$2"
    local needed
    needed=$("$HAC_READELF" -d "$exe" | grep NEEDED || true)
    if [ "$kind" = shared ]; then
        grep -q "\[libhbbtv_hac\.so\.$HAC_VERSION_MAJOR\]" <<<"$needed" || fail "$exe does not load libhbbtv_hac.so.$HAC_VERSION_MAJOR"
    else
        ! grep -q libhbbtv_hac <<<"$needed" || fail "$exe loads libhbbtv_hac although linked with the static archive"
    fi
}

run_consumer() {
    local exe="$1"
    "${emulator[@]}" "$exe" || fail "$exe failed"
}

consume_with_pkg_config() {
    local kind="$1" prefix="$2"
    local libdir="$prefix/$HAC_LIBDIR" dir="$HAC_WORK_DIR/$kind-pkgconfig"
    echo "== $kind library, consumer through pkg-config"
    mkdir -p "$dir"
    [ "$(pc "$libdir" --modversion hbbtv_hac)" = "$HAC_VERSION" ] || fail "pkg-config reports another version"
    local pc_cflags pc_libs
    read -r -a pc_cflags <<<"$(pc "$libdir" --cflags hbbtv_hac)"
    if [ "$kind" = shared ]; then
        # A prefix outside the loader's search path: the consumer carries it.
        read -r -a pc_libs <<<"$(pc "$libdir" --libs hbbtv_hac) -Wl,-rpath,$libdir"
    else
        read -r -a pc_libs <<<"$(pc "$libdir" --static --libs hbbtv_hac)"
        grep -q -- -pthread <<<"${pc_libs[*]}" || fail "the static library's pkg-config file leaves out the threads library"
    fi
    "$HAC_CC" "${flags[@]}" "${pc_cflags[@]}" -c "$HAC_CONSUMER_DIR/consumer_c.c" -o "$dir/consumer_c.o"
    "$HAC_CXX" -std=c++17 "${flags[@]}" "${pc_cflags[@]}" -DHAC_EXPECTED_VERSION="\"$HAC_VERSION\"" \
        "$HAC_CONSUMER_DIR/consumer.cpp" "$HAC_CONSUMER_DIR/consumer_prefixed.cpp" "$dir/consumer_c.o" \
        "${pc_libs[@]}" -o "$dir/hac_consumer"
    check_links_as "$kind" "$dir/hac_consumer"
    run_consumer "$dir/hac_consumer"
    # A C program links with the C compiler: the flags must bring the
    # library's C++ runtime along.
    "$HAC_CC" "${flags[@]}" "${pc_cflags[@]}" -DHAC_CONSUMER_C_MAIN "$HAC_CONSUMER_DIR/consumer_c.c" \
        "${pc_libs[@]}" -o "$dir/hac_consumer_c"
    run_consumer "$dir/hac_consumer_c"
}

consume_with_find_package() {
    local kind="$1" prefix="$2"
    local dir="$HAC_WORK_DIR/$kind-cmake"
    echo "== $kind library, consumer through find_package"
    local type=STATIC_LIBRARY
    [ "$kind" = shared ] && type=SHARED_LIBRARY
    local args=(-DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE="$HAC_BUILD_TYPE"
                -DCMAKE_C_FLAGS="${HAC_FLAGS:-}" -DCMAKE_CXX_FLAGS="${HAC_FLAGS:-}"
                -DHAC_EXPECT_LIBRARY_TYPE="$type" -DHAC_EXPECT_VERSION="$HAC_VERSION")
    if [ -n "${HAC_TOOLCHAIN:-}" ]; then
        args+=(-DCMAKE_TOOLCHAIN_FILE="$HAC_TOOLCHAIN")
    else
        args+=(-DCMAKE_C_COMPILER="$HAC_CC" -DCMAKE_CXX_COMPILER="$HAC_CXX")
    fi
    cmake -S "$HAC_CONSUMER_DIR" -B "$dir" "${args[@]}" >"$dir.log" 2>&1 \
        || fail_with_log "$dir.log" "consumer does not configure"
    cmake --build "$dir" >>"$dir.log" 2>&1 || fail_with_log "$dir.log" "consumer does not build"
    check_links_as "$kind" "$dir/hac_consumer"
    run_consumer "$dir/hac_consumer"

    # CMake's find-package mode enables no language; the package still loads.
    # It answers for the host, whose pointer size a cross-built package
    # (armhf: 4 bytes) does not match, so a cross build leaves it out.
    [ -z "${HAC_TOOLCHAIN:-}" ] || return 0
    # Without a language it guesses the multiarch folder from the first
    # /usr/lib/*-linux-gnu* there is: with armhf packages installed beside
    # the host's, that is arm-linux-gnueabihf, where it finds no jsoncpp
    # of this build. The build's own folder is named.
    local out arch=()
    [ -z "${HAC_LIBRARY_ARCHITECTURE:-}" ] || arch=(-DCMAKE_LIBRARY_ARCHITECTURE="$HAC_LIBRARY_ARCHITECTURE")
    out=$(cmake --find-package -DNAME=hbbtv_hac -DCOMPILER_ID=GNU -DLANGUAGE=CXX -DMODE=EXIST "${arch[@]}" \
          -DCMAKE_PREFIX_PATH="$prefix" 2>&1) || fail "cmake --find-package failed: $out"
    grep -q "hbbtv_hac found" <<<"$out" || fail "cmake --find-package does not find the package: $out"
}

build_other_library

prefix_main="$HAC_WORK_DIR/prefix-$main_kind"
prefix_other="$HAC_WORK_DIR/prefix-$other_kind"
install_to "$HAC_BUILD_DIR" "$prefix_main"
install_to "$HAC_OTHER_BUILD_DIR" "$prefix_other"
for prefix in "$prefix_main" "$prefix_other"; do
    check_common_files "$prefix"
done
if [ "$main_kind" = shared ]; then
    check_shared_files "$prefix_main"
    check_static_files "$prefix_other"
else
    check_static_files "$prefix_main"
    check_shared_files "$prefix_other"
fi
if [ "$HAC_HAS_TOOL" = 1 ]; then
    [ -x "$prefix_main/bin/hac" ] || fail "missing bin/hac"
    [ -f "$prefix_main/$HAC_MANDIR/man1/hac.1" ] || fail "missing $HAC_MANDIR/man1/hac.1"
    [ -f "$prefix_main/$HAC_DATADIR/bash-completion/completions/hac" ] \
        || fail "missing $HAC_DATADIR/bash-completion/completions/hac"
    # It finds the library of its own prefix.
    "${emulator[@]}" "$prefix_main/bin/hac" --help >/dev/null || fail "installed hac does not run"
fi

for kind in shared static; do
    prefix="$HAC_WORK_DIR/prefix-$kind"
    consume_with_pkg_config "$kind" "$prefix"
    consume_with_find_package "$kind" "$prefix"
done
echo "install test: shared and static prefixes, 6 consumers built and run"
