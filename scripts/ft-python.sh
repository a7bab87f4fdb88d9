#!/usr/bin/env bash
# Builds a free-threaded CPython (./configure --disable-gil) from Debian's
# source package and prints the installation prefix as its last line. The
# interpreter is kept in a cache outside the checkout ($LINORA_FT_CACHE,
# default /var/cache/linora), one directory per upstream version, and built
# only when that version is missing there. CPython 3.14 is tried first and
# 3.13 after it: the archive's indexes list 3.14 sources that could not be
# downloaded, and the stage moves to 3.14 by itself once they can be.
#
# --tsan builds the same source with --with-thread-sanitizer too (its own
# cache directory). Needs root for the Debian build dependencies when they
# are missing. The source lists used are a private apt configuration: the
# machine's own sources are left as they are.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
tsan=0
[ "${1:-}" = --tsan ] && tsan=1
cache=${LINORA_FT_CACHE:-/var/cache/linora}
suffix=t
configure_extra=()
if [ "$tsan" = 1 ]; then
    suffix=t-tsan
    configure_extra=(--with-thread-sanitizer)
fi
mkdir -p "$cache"
log() { echo "ft-python: $*" >&2; }

# A cached interpreter, newest version first, that imports what pip needs.
cached() {
    local d
    for d in $(ls -d "$cache"/cpython-3.1[0-9]*"$suffix" 2>/dev/null | sort -V -r); do
        if [ -f "$d/.complete" ]; then
            echo "$d"
            return 0
        fi
    done
    return 1
}

# Private apt state: deb-src lines for the suites that carry 3.13 and 3.14.
apt_dir="$cache/apt-src"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/archives/partial"
cat >"$apt_dir/sources.list" <<'EOF'
deb-src http://deb.debian.org/debian sid main
deb-src http://deb.debian.org/debian forky main
deb-src http://deb.debian.org/debian trixie main
deb-src http://deb.debian.org/debian-security trixie-security main
EOF
apt_opts=(-o Dir::Etc::SourceList="$apt_dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
          -o APT::Sandbox::User=root -o Acquire::Check-Valid-Until=false)
mkdir -p "$apt_dir/cache"

if ! apt-get "${apt_opts[@]}" update -qq >"$apt_dir/update.log" 2>&1; then
    log "apt-get update failed (the archive is unreachable?)"
    if d=$(cached); then log "using the cached $d"; echo "$d"; exit 0; fi
    cat "$apt_dir/update.log" >&2
    exit 1
fi

# Every version of a source package the indexes list, newest first.
versions() {
    apt-cache "${apt_opts[@]}" showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -V -r -u
}

for pkg in python3.14 python3.13; do
    for version in $(versions "$pkg"); do
        upstream=${version%%-*}
        upstream=${upstream%%+*}
        prefix="$cache/cpython-$upstream$suffix"
        if [ -f "$prefix/.complete" ]; then
            log "cached: $prefix (Debian's $pkg $version)"
            echo "$prefix"
            exit 0
        fi
        # The downloaded source is kept: the other configuration builds from it too.
        dl="$cache/sources/$pkg-$version"
        if ! ls "$dl"/"${pkg}"_*.orig.tar.* >/dev/null 2>&1; then
            rm -rf "$dl.tmp"
            mkdir -p "$dl.tmp"
            if ! (cd "$dl.tmp" && apt-get "${apt_opts[@]}" source -qq --download-only "$pkg=$version") \
                >"$dl.tmp/download.log" 2>&1; then
                log "$pkg $version: source not downloadable ($(grep -o '[0-9][0-9][0-9]  *[A-Za-z ]*' "$dl.tmp/download.log" | head -n 1))"
                rm -rf "$dl.tmp"
                continue
            fi
            rm -rf "$dl"
            mv "$dl.tmp" "$dl"
        fi
        orig=$(ls "$dl"/"${pkg}"_*.orig.tar.* | head -n 1)
        src=$(mktemp -d "$cache/build-XXXXXX")
        log "building CPython $upstream from $(basename "$orig") (Debian's $pkg $version), ${configure_extra[*]:-no sanitizer}"
        for p in libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev; do
            dpkg -s "$p" >/dev/null 2>&1 || apt_need "$p"
        done
        apt_install_needed ft-python >&2
        tar -C "$src" -xf "$orig"
        tree=$(ls -d "$src"/Python-*/ | head -n 1)
        rm -rf "$prefix"
        start=$SECONDS
        (
            cd "$tree"
            ./configure -q --disable-gil "${configure_extra[@]}" --prefix="$prefix" >../configure.log 2>&1
            make -s -j2 >../make.log 2>&1
            make -s install >../install.log 2>&1
        ) || { log "build failed; logs in $src"; tail -n 30 "$src"/*.log >&2; exit 1; }
        "$prefix/bin/python3" -c 'import sys, sysconfig, ssl, zlib, ensurepip
assert not sys._is_gil_enabled() and sysconfig.get_config_var("Py_GIL_DISABLED") == 1' ||
            { log "the built interpreter is not free-threaded or lacks ssl/zlib"; exit 1; }
        echo "$pkg $version" >"$prefix/.complete"
        rm -rf "$src"
        log "built $prefix in $((SECONDS - start)) s"
        echo "$prefix"
        exit 0
    done
done
if d=$(cached); then log "no source downloadable; using the cached $d"; echo "$d"; exit 0; fi
log "no CPython 3.14 or 3.13 source could be downloaded"
exit 1
