# shellcheck shell=bash
# The package cache of the system tests that boot the emulated board
# (run_board.sh, tests/lava/run_lava.sh): Debian's armhf armmp kernel, its
# vexpress-a9 device tree and a static busybox. Sourced; the sourcing script
# defines skip MESSAGE (exits 77, or 1 when TIMING_REQUIRE_BOARD=1) and
# fail MESSAGE (exits 1).
#
# Environment: TIMING_BOARD_CACHE (the cache, default
# ${XDG_CACHE_HOME:-$HOME/.cache}/lib_timing/board).

cache="${TIMING_BOARD_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/lib_timing/board}"

have_cached_packages() {
    [ -s "$cache/vmlinuz" ] && [ -s "$cache/vexpress-v2p-ca9.dtb" ] && [ -s "$cache/busybox" ]
}

# download_packages PACKAGE...: apt-get download into a new directory, named
# in $download. When that fails: shows apt's output, removes the directory
# and returns 1.
download_packages() {
    download="$(mktemp -d "${TMPDIR:-/tmp}/board-fetch.XXXXXX")"
    chmod 777 "$download"  # apt's download user writes here
    (cd "$download" && apt-get download -qq "$@") >"$download/apt.log" 2>&1 && return 0
    cat "$download/apt.log"
    rm -rf "$download"
    return 1
}

# Kernel and busybox from Debian's armhf packages, unpacked once into the cache.
fetch_packages() {
    have_cached_packages && return 0
    for tool in apt-get apt-cache dpkg dpkg-deb tar; do
        command -v "$tool" >/dev/null || skip "no $tool here to fetch the armhf kernel and busybox"
    done
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
        [ "$(id -u)" = 0 ] ||
            skip "armhf packages are not known to apt; as root: dpkg --add-architecture armhf && apt-get update"
        echo "== adding the armhf architecture to apt"
        dpkg --add-architecture armhf && apt-get update -qq ||
            skip "could not add the armhf architecture to apt"
    fi
    # The meta package names today's kernel; resolve it instead of naming a version.
    kernel_package="$(apt-cache depends linux-image-armmp:armhf 2>/dev/null |
        awk '/Depends: linux-image-/ { print $2; exit }')"
    [ -n "$kernel_package" ] ||
        skip "apt knows no linux-image-armmp:armhf (apt-get update may help)"
    echo "== downloading $kernel_package and busybox-static:armhf"
    download_packages "$kernel_package" busybox-static:armhf ||
        skip "could not download $kernel_package and busybox-static:armhf"
    (
        set -e
        cd "$download"
        mkdir root
        dpkg-deb --fsys-tarfile linux-image-*.deb |
            tar -x -C root --wildcards './boot/vmlinuz-*' './usr/lib/linux-image-*/vexpress-v2p-ca9.dtb'
        dpkg-deb --fsys-tarfile busybox-static_*.deb | tar -x -C root ./bin/busybox
        mkdir -p "$cache"
        cp root/boot/vmlinuz-* "$cache/vmlinuz.new"
        cp root/usr/lib/linux-image-*/vexpress-v2p-ca9.dtb "$cache/vexpress-v2p-ca9.dtb.new"
        cp root/bin/busybox "$cache/busybox.new"
        for f in vmlinuz vexpress-v2p-ca9.dtb busybox; do mv "$cache/$f.new" "$cache/$f"; done
        echo "$kernel_package" >"$cache/kernel-package"
    ) || {
        rm -rf "$download"
        fail "could not unpack the downloaded packages into $cache"
    }
    rm -rf "$download"
}
