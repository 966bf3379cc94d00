# Third-party pieces built from Debian's source packages into build/third_party/ (never
# committed): libi2c for the powerpc board and a static BusyBox for sandbox boards. Sourced after
# common.sh.
#
# Sources come through a private apt configuration of our own under build/third_party/apt/: its
# own sources list (a deb-src entry copied from the machine's configured Debian mirror, so no new
# host is ever named), lists directory and cache. The system's apt sources and state stay as
# they are.

MP_THIRD_PARTY=$MP_BUILD/third_party
MP_APT_DIR=$MP_THIRD_PARTY/apt
MP_LIBI2C_PPC=$MP_THIRD_PARTY/ppc
MP_SODIUM_PPC=$MP_THIRD_PARTY/sodium-ppc
MP_BUSYBOX=$MP_THIRD_PARTY/busybox/busybox
MP_BUSYBOX_PPC=$MP_THIRD_PARTY/busybox-ppc/busybox
export MP_BUSYBOX MP_BUSYBOX_PPC

# Applets the sandbox board's scripts and the launcher's commands use.
MP_BUSYBOX_APPLETS=(sh ash tar gunzip gzip rm mkdir mv cp chmod tftp rx ifconfig route sleep cat
    echo ls date env sync)
# The configuration symbols behind them (tar's z and the bash-style `&>` of ash included).
MP_BUSYBOX_CONFIG=(STATIC ASH SH_IS_ASH ASH_BASH_COMPAT TAR FEATURE_TAR_CREATE
    FEATURE_SEAMLESS_GZ GUNZIP GZIP RM MKDIR MV CP CHMOD TFTP FEATURE_TFTP_GET FEATURE_TFTP_PUT
    RX IFCONFIG ROUTE SLEEP CAT ECHO LS DATE ENV SYNC)

_mp_apt() {
    local opts=(
        -o "Dir::Etc::SourceList=$MP_APT_DIR/sources.list"
        -o "Dir::Etc::SourceParts=$MP_APT_DIR/sources.list.d"
        -o "Dir::State::Lists=$MP_APT_DIR/lists"
        -o "Dir::Cache=$MP_APT_DIR/cache"
    )
    # apt's unprivileged download user cannot write into our root-owned build tree.
    [[ $(id -u) != 0 ]] || opts+=(-o APT::Sandbox::User=root)
    apt-get "${opts[@]}" "$@"
}

# Writes a deb-src entry for bookworm main from the first configured Debian entry whose suites
# include bookworm, in the format it was found in (one-line .list or deb822 .sources), keeping
# its mirror address and its signing options.
_mp_apt_write_sources() {
    local f found=''
    rm -rf "$MP_APT_DIR/sources.list.d"
    mkdir -p "$MP_APT_DIR/sources.list.d" "$MP_APT_DIR/lists/partial" \
        "$MP_APT_DIR/cache/archives/partial"
    : >"$MP_APT_DIR/sources.list"
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -r $f ]] || continue
        found=$(awk '
            /^[[:space:]]*#/ || NF == 0 { next }
            $1 == "deb" || $1 == "deb-src" {
                i = 2
                opts = ""
                if ($2 ~ /^\[/) {
                    while (i <= NF) { opts = opts (opts == "" ? "" : " ") $i; if ($i ~ /\]$/) break; i++ }
                    i++
                }
                uri = $i; suite = $(i + 1)
                if (suite == "bookworm") {
                    print "deb-src " (opts == "" ? "" : opts " ") uri " bookworm main"
                    exit
                }
            }' "$f")
        if [[ -n $found ]]; then
            printf '%s\n' "$found" >"$MP_APT_DIR/sources.list"
            mp_say "Debian mirror taken from $f"
            return 0
        fi
    done
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -r $f ]] || continue
        found=$(awk '
            BEGIN { RS = ""; FS = "\n" }
            {
                types = suites = enabled = ""; body = ""; field = ""
                for (i = 1; i <= NF; i++) {
                    line = $i
                    if (line ~ /^#/) continue
                    if (line ~ /^[[:space:]]/) {           # continuation of the field before
                        if (field !~ /^(types|suites|components|enabled)$/) body = body line "\n"
                        continue
                    }
                    field = tolower(substr(line, 1, index(line, ":") - 1))
                    value = substr(line, index(line, ":") + 1)
                    if (field == "types") types = value
                    else if (field == "suites") suites = " " value " "
                    else if (field == "enabled") enabled = value
                    else if (field != "components") body = body line "\n"
                }
                if (types ~ /deb/ && suites ~ /[[:space:]]bookworm[[:space:]]/ && enabled !~ /no/) {
                    printf "Types: deb-src\n%sSuites: bookworm\nComponents: main\n", body
                    exit
                }
            }' "$f")
        if [[ -n $found ]]; then
            printf '%s\n' "$found" >"$MP_APT_DIR/sources.list.d/debian-src.sources"
            mp_say "Debian mirror taken from $f"
            return 0
        fi
    done
    mp_die "no Debian bookworm entry in /etc/apt/sources.list or /etc/apt/sources.list.d/"
}

_mp_apt_update() {
    _mp_apt_write_sources
    mp_say "reading the source index (private apt configuration in ${MP_APT_DIR#"$MP_ROOT"/})"
    mp_run_logged "$MP_APT_DIR/update.log" _mp_apt update || mp_die "apt-get update failed"
}

# mp_debian_source PACKAGE: downloads and unpacks Debian's source package once; sets
# MP_SOURCE_DIR to the unpacked tree. When Debian's patch file is not served, the upstream
# tarball alone is used (its checksum checked against the signed index's .dsc).
mp_debian_source() {
    local pkg=$1 dl=$MP_THIRD_PARTY/src/$1
    if [[ -f $dl/.unpacked ]]; then
        MP_SOURCE_DIR=$(<"$dl/.unpacked")
        [[ -d $MP_SOURCE_DIR ]] && return 0
    fi
    mkdir -p "$dl"
    [[ -n $(compgen -G "$MP_APT_DIR/lists/*Sources*") ]] || _mp_apt_update
    local attempt status
    for attempt in 1 2; do
        status=0
        # Not every file of a source package is always served (see below): apt's complaint
        # stays in the log.
        (cd "$dl" && MP_QUIET=1 mp_run_logged "$dl/fetch.log" \
            _mp_apt source --download-only "$pkg") || status=$?
        # A stale index names versions the mirror no longer has: refresh it once.
        [[ $status != 0 && -z $(compgen -G "$dl/*.orig.tar.*") && $attempt == 1 ]] || break
        _mp_apt_update
    done
    local dsc
    dsc=$(compgen -G "$dl/*.dsc" | sort -V | tail -n 1) || true
    [[ -n $dsc ]] || mp_die "could not download the source of $pkg (log: $dl/fetch.log)"

    # Every file the .dsc names that is here must match its checksum; the upstream tarball must
    # be here.
    local sum size name have_all=1 orig=''
    while read -r sum size name; do
        if [[ ! -f $dl/$name ]]; then
            have_all=0
            continue
        fi
        [[ $name == *.orig.tar.* ]] && orig=$dl/$name
        echo "$sum  $dl/$name" | sha256sum --check --quiet ||
            mp_die "$name does not match its checksum in $(basename "$dsc")"
    done < <(awk '/^Checksums-Sha256:/ { on = 1; next } /^[^ ]/ { on = 0 } on && NF == 3' "$dsc")
    [[ -n $orig ]] || mp_die "the upstream tarball of $pkg was not downloaded (log: $dl/fetch.log)"

    local version tree tmp
    version=$(awk '/^Version:/ { print $2; exit }' "$dsc")
    tree=$dl/$pkg-${version#*:}
    tmp=$dl/.unpack
    rm -rf "$tree" "$tmp"
    if ((have_all)); then
        dpkg-source --no-check -x "$dsc" "$tmp" >"$dl/unpack.log" 2>&1 ||
            mp_die "dpkg-source failed (log: $dl/unpack.log)"
        mp_say "$pkg $version: Debian source package unpacked with its patches"
    else
        mkdir -p "$tmp.t"
        tar -xf "$orig" -C "$tmp.t"
        local top=("$tmp.t"/*)
        ((${#top[@]} == 1)) || mp_die "unexpected layout of $(basename "$orig")"
        mv "${top[0]}" "$tmp"
        rmdir "$tmp.t"
        mp_say "$pkg $version: Debian's patch file was not served; using the upstream tarball" \
            "(checksum checked)"
    fi
    mv "$tmp" "$tree"
    printf '%s\n' "$tree" >"$dl/.unpacked"
    MP_SOURCE_DIR=$tree
}

# libi2c of i2c-tools cross-built for the board (Debian has no powerpc architecture): one C file.
mp_build_libi2c_ppc() {
    local lib=$MP_LIBI2C_PPC/lib/libi2c.a hdr=$MP_LIBI2C_PPC/include/i2c/smbus.h
    if [[ -f $lib && -f $hdr ]]; then
        mp_ok "libi2c for powerpc already built (${lib#"$MP_ROOT"/})"
        return 0
    fi
    mp_debian_source i2c-tools
    local src=$MP_SOURCE_DIR obj=$MP_LIBI2C_PPC/obj
    rm -rf "$MP_LIBI2C_PPC"
    mkdir -p "$obj" "$MP_LIBI2C_PPC/lib" "$MP_LIBI2C_PPC/include/i2c"
    powerpc-linux-gnu-gcc -O2 -Wall -I"$src/include" -c "$src/lib/smbus.c" -o "$obj/smbus.o"
    cp "$src/include/i2c/smbus.h" "$hdr"
    [[ ! -f $src/COPYING.LGPL ]] || cp "$src/COPYING.LGPL" "$MP_LIBI2C_PPC/"
    powerpc-linux-gnu-ar rcs "$lib.tmp" "$obj/smbus.o"
    powerpc-linux-gnu-nm "$lib.tmp" | grep -q ' T i2c_smbus_read_byte_data$' ||
        mp_die "libi2c.a lacks i2c_smbus_read_byte_data"
    mv "$lib.tmp" "$lib"
    mp_ok "built ${lib#"$MP_ROOT"/} and ${hdr#"$MP_ROOT"/}"
}

# libsodium cross-built for the board, static, from Debian's libsodium source package: the package
# signatures' Ed25519 and hash, which its minimal build (--enable-minimal) holds. The host build
# uses Debian's libsodium-dev.
mp_build_libsodium_ppc() {
    local lib=$MP_SODIUM_PPC/lib/libsodium.a hdr=$MP_SODIUM_PPC/include/sodium.h
    if [[ -f $lib && -f $hdr ]]; then
        mp_ok "libsodium for powerpc already built (${lib#"$MP_ROOT"/})"
        return 0
    fi
    mp_debian_source libsodium
    local src=$MP_SOURCE_DIR obj=$MP_SODIUM_PPC/obj
    rm -rf "$MP_SODIUM_PPC"
    mkdir -p "$obj"
    mp_say "building libsodium for powerpc (static; a few minutes on 2 idle cores)"
    # The source package carries configure.ac, not configure.
    if [[ ! -x $src/configure ]]; then
        mp_run_logged "$MP_SODIUM_PPC/autogen.log" bash -c 'cd "$1" && autoreconf -fi' _ "$src" ||
            mp_die "libsodium autoreconf failed"
    fi
    mp_run_logged "$MP_SODIUM_PPC/configure.log" \
        bash -c 'cd "$1" && "$2/configure" --host=powerpc-linux-gnu --prefix="$3" \
            --disable-shared --enable-static --enable-minimal --with-pic=no CFLAGS="-O2"' _ \
        "$obj" "$src" "$MP_SODIUM_PPC" || mp_die "libsodium configure failed"
    mp_run_logged "$MP_SODIUM_PPC/build.log" make -C "$obj" -j "$MP_JOBS" install ||
        mp_die "libsodium build failed"
    local symbol
    for symbol in crypto_sign_verify_detached crypto_generichash_init randombytes_set_implementation; do
        powerpc-linux-gnu-nm "$lib" | grep " T $symbol\$" >/dev/null ||
            mp_die "libsodium.a lacks $symbol"
    done
    mp_ok "built ${lib#"$MP_ROOT"/} and ${hdr#"$MP_ROOT"/}"
}

# A static x86-64 BusyBox for sandbox boards (Debian's binary packages lack rx). Built once.
mp_build_busybox() {
    _mp_build_busybox "$MP_BUSYBOX" "" x86-64
}

# The same BusyBox cross-built static for powerpc: the root of `mpboard run --vm --ppc` machines.
mp_build_busybox_ppc() {
    _mp_build_busybox "$MP_BUSYBOX_PPC" powerpc-linux-gnu- powerpc
}

# _mp_build_busybox OUT CROSS_COMPILE WHAT
_mp_build_busybox() {
    local out=$1 cross=$2 what=$3
    if [[ -x $out ]]; then
        mp_ok "BusyBox for $what already built (${out#"$MP_ROOT"/})"
        return 0
    fi
    mp_debian_source busybox
    local src=$MP_SOURCE_DIR top sym
    top=$(dirname "$out")
    local obj=$top/obj
    # An earlier, interrupted build is continued: make redoes only what changed.
    mkdir -p "$obj"
    mp_run_logged "$top/defconfig.log" make -C "$src" O="$obj" CROSS_COMPILE="$cross" defconfig ||
        mp_die "BusyBox defconfig failed"
    for sym in "${MP_BUSYBOX_CONFIG[@]}"; do
        sed -i -e "/^CONFIG_$sym=/d" -e "/^# CONFIG_$sym is not set/d" "$obj/.config"
        echo "CONFIG_$sym=y" >>"$obj/.config"
    done
    # Answer any new question with its default.
    mp_run_logged "$top/oldconfig.log" \
        bash -c '{ yes "" || true; } | make -C "$1" O="$2" CROSS_COMPILE="$3" oldconfig' _ \
            "$src" "$obj" "$cross" ||
        mp_die "BusyBox oldconfig failed"
    for sym in "${MP_BUSYBOX_CONFIG[@]}"; do
        grep -qx "CONFIG_$sym=y" "$obj/.config" || mp_die "BusyBox configuration lost CONFIG_$sym"
    done
    mp_say "building BusyBox for $what (static; about a minute on 2 idle cores)"
    mp_run_logged "$top/build.log" make -C "$obj" -j "$MP_JOBS" CROSS_COMPILE="$cross" busybox ||
        mp_die "BusyBox build failed"
    _mp_check_busybox "$obj/busybox" "$cross" || mp_die "the BusyBox just built fails its checks"
    cp "$obj/busybox" "$out.tmp"
    mv "$out.tmp" "$out"
    mp_ok "built ${out#"$MP_ROOT"/} ($(stat -c %s "$out") bytes)"
}

# The applets are there, the binary is static, and ash runs `cmd &> file` in the foreground with
# both streams redirected, as bash does (dash would background the command). A cross-built one
# (CROSS_COMPILE given) runs under qemu-ppc-static.
_mp_check_busybox() {
    local bb=$1 cross=${2:-} applet list dir out run=()
    dir=$(dirname "$(dirname "$bb")")/check
    if [[ -n $cross ]]; then
        run=("$(command -v qemu-ppc-static)") || {
            mp_fail "no qemu-ppc-static to check the powerpc BusyBox with (Debian package qemu-user-static)"
            return 1
        }
    fi
    bb=$(realpath "$bb")
    list=$("${run[@]}" "$bb" --list)
    for applet in "${MP_BUSYBOX_APPLETS[@]}"; do
        grep -qx "$applet" <<<"$list" || {
            mp_fail "BusyBox lacks the $applet applet"
            return 1
        }
    done
    if readelf -l "$bb" | grep -q INTERP; then
        mp_fail "BusyBox is not statically linked"
        return 1
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    out=$(cd "$dir" && "${run[@]}" "$bb" sh -c 'mkdir -p x &> /dev/null; echo $?')
    [[ $out == 0 && -d $dir/x ]] || {
        mp_fail "BusyBox sh: 'mkdir -p x &> /dev/null; echo \$?' printed '$out'"
        return 1
    }
    out=$(cd "$dir" && "${run[@]}" "$bb" sh -c 'echo out &> f; echo "[$!]"; cat f')
    [[ $out == $'[]\nout' ]] || {
        mp_fail "BusyBox sh does not treat '&>' as bash does (got '$out')"
        return 1
    }
    out=$("${run[@]}" "$bb" rx 2>&1 || true)
    [[ $out == *"Usage: rx FILE"* ]] || {
        mp_fail "BusyBox rx does not answer"
        return 1
    }
    rm -rf "$dir"
}

# The static qemu-ppc (qemu-user-static) that a powerpc sandbox board carries in its root.
mp_check_qemu_ppc_static() {
    local q
    q=$(command -v qemu-ppc-static || true)
    if [[ -z $q ]] || readelf -l "$q" | grep -q INTERP; then
        mp_fail "no static qemu-ppc-static (Debian package qemu-user-static)"
        return 1
    fi
    MP_QEMU_PPC_STATIC=$q
    export MP_QEMU_PPC_STATIC
    mp_ok "static qemu-ppc: $q"
}

# The TFTP server the rescue tests and the demo serve packages with: tftpd-hpa's in.tftpd, taken
# from Debian's binary package with `apt-get download` and unpacked into the build tree. The
# package is never installed: installing it starts a TFTP daemon on every interface of an
# ordinary Debian machine. Its one library beyond libc, libwrap0, is a Debian package of its own.
MP_TFTPD=$MP_THIRD_PARTY/tftpd/usr/sbin/in.tftpd
export MP_TFTPD

mp_fetch_tftpd() {
    local dir=$MP_THIRD_PARTY/tftpd deb
    if [[ -x $MP_TFTPD ]]; then
        mp_ok "TFTP server: ${MP_TFTPD#"$MP_ROOT"/} (unpacked earlier)"
        return 0
    fi
    mkdir -p "$dir/deb"
    rm -f "$dir"/deb/tftpd-hpa_*.deb
    # apt's unprivileged download user cannot write into a root-owned build tree.
    local opts=()
    [[ $(id -u) != 0 ]] || opts+=(-o APT::Sandbox::User=root)
    if ! (cd "$dir/deb" && apt-get "${opts[@]}" download tftpd-hpa >"$dir/download.log" 2>&1); then
        # A machine whose package lists were never read knows no binary package yet.
        [[ $(id -u) == 0 ]] && mp_run_logged "$MP_BUILD/logs/apt-update.log" apt-get update ||
            true
        (cd "$dir/deb" && apt-get "${opts[@]}" download tftpd-hpa >"$dir/download.log" 2>&1) || {
            mp_fail "apt-get download tftpd-hpa failed (log: ${dir#"$MP_ROOT"/}/download.log)"
            return 1
        }
    fi
    deb=$(compgen -G "$dir/deb/tftpd-hpa_*.deb" | head -n 1)
    dpkg-deb -x "$deb" "$dir" || return 1
    [[ -x $MP_TFTPD ]] || {
        mp_fail "$deb holds no usr/sbin/in.tftpd"
        return 1
    }
    mp_ok "TFTP server: ${MP_TFTPD#"$MP_ROOT"/} (from $(basename "$deb"), not installed)"
}

# The virtual-machine board's kernel.
. "$(dirname "${BASH_SOURCE[0]}")/vm.sh"
. "$(dirname "${BASH_SOURCE[0]}")/vm-ppc.sh"
