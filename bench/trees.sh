# bench/trees.sh, sourced by the benchmarks: real Windows payload trees built
# from Debian packages, the same bytes on every run. Needs say() and $work.

# Debian packages: installed when missing (as root), else the tree is skipped.
installed() { [ "$(dpkg-query -W -f '${db:Status-Abbrev}' "$1" 2>/dev/null)" = "ii " ]; }
need() {
    local missing=() p
    for p; do installed "$p" || missing+=("$p"); done
    [ ${#missing[@]} = 0 ] && return 0
    [ "$(id -u)" = 0 ] || { say "missing: ${missing[*]} (install them as root)"; return 1; }
    case "${missing[*]}" in *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386;; esac
    apt-get install -y "${missing[@]}" >"$work/apt.log" 2>&1 ||
        { apt-get update >>"$work/apt.log" 2>&1 && apt-get install -y "${missing[@]}" >>"$work/apt.log" 2>&1; } ||
        { say "could not install ${missing[*]}:"; tail -3 "$work/apt.log" >&2; return 1; }
}
# The trees, regular files only (links and special files are left out), in the byte order of the
# paths, with the packages' modification times, so that each run packs the same bytes.
is_pe() {
    [ "$(head -c 2 "$1")" = MZ ] || return 1
    local at; at=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
    [ -n "$at" ] && [ "$(od -An -tx1 -j"$at" -N4 "$1" | tr -d ' ')" = 50450000 ]
}
make_tree() {  # NAME DEST: fills DEST, returns 1 when the packages are missing
    local name=$1 dest=$2 src f
    mkdir -p "$dest"
    case $name in
    nsis)
        need nsis || return 1
        src=/usr/share/nsis
        find "$src" -type f | sort | while read -r f; do
            mkdir -p "$dest/$(dirname "${f#$src/}")"; cp -p "$f" "$dest/${f#$src/}"
        done;;
    wine)
        need wine32:i386 binutils-mingw-w64-i686 || return 1
        src=/usr/lib/i386-linux-gnu/wine/i386-windows
        find "$src" -maxdepth 1 -type f | sort | while read -r f; do
            is_pe "$f" || continue
            SOURCE_DATE_EPOCH=1700000000 i686-w64-mingw32-strip --strip-all -p -o "$dest/${f##*/}" "$f" 2>/dev/null ||
                cp -p "$f" "$dest/${f##*/}"
        done;;
    mingw)
        need mingw-w64-i686-dev g++-mingw-w64-i686 || return 1
        local pkgs=() p
        for p in mingw-w64-i686-dev {gcc,g++}-mingw-w64-i686-{posix,win32} gcc-mingw-w64-i686-{posix,win32}-runtime; do
            installed "$p" && pkgs+=("$p")
        done
        mkdir -p "$dest/lib"
        dpkg -L "${pkgs[@]}" | grep -E '^/usr/(i686-w64-mingw32/lib|lib/gcc/i686-w64-mingw32/[^/]+)/[^/]+\.(a|dll)$' |
            sort -u | while read -r f; do
            [ -f "$f" ] && [ ! -L "$f" ] || continue
            case $f in
            /usr/i686-w64-mingw32/lib/*) cp -p "$f" "$dest/lib/";;
            *) p=${f#/usr/lib/gcc/i686-w64-mingw32/}; mkdir -p "$dest/gcc/${p%%/*}"; cp -p "$f" "$dest/gcc/$p";;
            esac
        done;;
    large)
        # Big native libraries and programs, some 168 MiB in few files: the case where the
        # block size and the match finder's cost dominate.
        need libllvm15 g++-12 libicu72 || return 1
        for f in /usr/lib/x86_64-linux-gnu/libLLVM-15.so.1 /usr/lib/gcc/x86_64-linux-gnu/12/cc1plus \
                 /usr/lib/x86_64-linux-gnu/libicudata.so.72.1; do
            cp -p "$f" "$dest/${f##*/}"
        done;;
    esac
    find "$dest" -type d -exec touch -d @1700000000 {} +  # files keep the packages' times
}
