# The kernel of `mpboard run --vm`: Debian's stock amd64 kernel, taken from its binary package
# with `apt-get download` and unpacked with `dpkg-deb -x` (never installed), and the few modules a
# board's virtual machine loads, with their dependencies and a modules.dep made by depmod.
# Sourced by third_party.sh.
#
# What stays in build/third_party/vm/ (MPBOARD_VM_DIR names another such directory):
#   vmlinuz     the kernel
#   release     its release string (the modules' directory name)
#   modules/    lib/modules/RELEASE/ with the modules below, as the VM's initramfs holds them, and
#               extra/mpboard_i2c.ko, our own (kernel/mpboard-i2c), built against Debian's headers
#               for RELEASE (unpacked in build/third_party/vm-headers, never installed)

MP_VM_DIR=$MP_THIRD_PARTY/vm
export MP_VM_DIR

# Debian's drivers the VM's init loads: phram for the flash (the partitions and /user's, in a PCI
# memory region over the board's run/vm-flash), mtdblock and jffs2 for /user, i2c-dev, the
# chipset's SMBus (a second adapter) and e1000 network cards. Bus 0 with the VPD path's devices
# and the CPLD are our own module's.
MP_VM_MODULES=(virtio_pci mtd phram mtdblock jffs2 i2c-dev i2c-piix4 e1000)
MP_VM_OWN_MODULE=$MP_ROOT/kernel/mpboard-i2c

# The kernel package Debian's linux-image-amd64 currently depends on.
_mp_vm_kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9].*-amd64$/ && !found { print $2; found = 1 }'
}

mp_fetch_vm_kernel() {
    local dir=$MP_VM_DIR
    local have=1 m
    for m in "${MP_VM_MODULES[@]}"; do
        [[ -f $dir/release ]] && grep -q "/${m//[-_]/[-_]}\.ko" "$dir/modules/lib/modules/$(<"$dir/release")/modules.dep" 2>/dev/null || have=
    done
    if [[ $have && -f $dir/vmlinuz ]]; then
        mp_ok "VM kernel $(<"$dir/release") already unpacked (${dir#"$MP_ROOT"/})"
        mp_build_vm_module
        return
    fi
    local pkg opts=()
    [[ $(id -u) != 0 ]] || opts+=(-o APT::Sandbox::User=root)
    pkg=$(_mp_vm_kernel_package)
    if [[ -z $pkg && $(id -u) == 0 ]]; then
        mp_run_logged "$MP_BUILD/logs/apt-update.log" apt-get update || true
        pkg=$(_mp_vm_kernel_package)
    fi
    [[ -n $pkg ]] || {
        mp_fail "apt-cache names no kernel package for linux-image-amd64"
        return 1
    }
    rm -rf "$dir/deb" "$dir/unpacked" "$dir/modules.tmp" "$dir/download.log"
    mkdir -p "$dir/deb"
    mp_say "downloading $pkg (about 70 MB; unpacked here, never installed)"
    (cd "$dir/deb" && apt-get "${opts[@]}" download "$pkg" >"$dir/download.log" 2>&1) || {
        mp_fail "apt-get download $pkg failed (log: ${dir#"$MP_ROOT"/}/download.log)"
        return 1
    }
    local deb
    deb=$(compgen -G "$dir/deb/${pkg}_"*.deb | head -n 1)
    dpkg-deb -x "$deb" "$dir/unpacked" || return 1
    local release=${pkg#linux-image-}
    local from=$dir/unpacked/lib/modules/$release to=$dir/modules.tmp/lib/modules/$release
    [[ -f $dir/unpacked/boot/vmlinuz-$release && -d $from ]] || {
        mp_fail "$deb holds no boot/vmlinuz-$release and lib/modules/$release"
        return 1
    }

    # Each wanted module and, through modinfo's depends field, what it needs.
    local -A seen=()
    local todo=("${MP_VM_MODULES[@]}") name file dep
    while ((${#todo[@]})); do
        name=${todo[0]//-/_}
        todo=("${todo[@]:1}")
        [[ -z ${seen[$name]:-} ]] || continue
        seen[$name]=1
        file=$(find "$from/kernel" \( -name "$name.ko" -o -name "${name//_/-}.ko" \) | head -n 1)
        [[ -n $file ]] || {
            mp_fail "module $name is not in $pkg"
            return 1
        }
        mkdir -p "$to/$(dirname "${file#"$from"/}")"
        cp "$file" "$to/${file#"$from"/}"
        for dep in $(modinfo -F depends "$file" | tr ',' ' '); do
            todo+=("$dep")
        done
    done
    cp "$from"/modules.order "$from"/modules.builtin* "$to/" 2>/dev/null || true
    depmod -b "$dir/modules.tmp" "$release" || {
        mp_fail "depmod failed"
        return 1
    }
    rm -rf "$dir/modules"
    mv "$dir/modules.tmp" "$dir/modules"
    # New files renamed over the old ones: a kernel being booted stays whole.
    cp "$dir/unpacked/boot/vmlinuz-$release" "$dir/vmlinuz.tmp" && mv "$dir/vmlinuz.tmp" "$dir/vmlinuz"
    printf '%s\n' "$release" >"$dir/release.tmp" && mv "$dir/release.tmp" "$dir/release"
    # The other modules and the package are not needed again.
    rm -rf "$dir/unpacked" "$dir/deb"
    mp_ok "VM kernel $release and ${#seen[@]} modules in ${dir#"$MP_ROOT"/} (from $pkg, not installed)"
    mp_build_vm_module
}

# kernel/mpboard-i2c built out of tree against linux-headers-RELEASE and the two packages of the
# same kernel it needs (linux-headers-ABI-common and linux-kbuild-VERSION), downloaded with
# `apt-get download` and unpacked with `dpkg-deb -x`; added to modules/ with a new modules.dep.
# Built again when its source changed (its checksum beside the kernel).
mp_build_vm_module() {
    local dir=$MP_VM_DIR src=$MP_VM_OWN_MODULE release sum
    release=$(<"$dir/release")
    local into=$dir/modules/lib/modules/$release headers=$MP_THIRD_PARTY/vm-headers
    local kdir=$headers/usr/src/linux-headers-$release log=$MP_BUILD/logs/vm-module.log
    sum=$(cat "$src"/Kbuild "$src"/Makefile "$src"/*.c | sha256sum | cut -d ' ' -f 1)
    if [[ -f $into/extra/mpboard_i2c.ko && $(cat "$dir/mpboard_i2c.sum" 2>/dev/null) == "$sum" ]]; then
        mp_ok "VM module mpboard_i2c built earlier (${into#"$MP_ROOT"/}/extra)"
        return 0
    fi
    if [[ ! -f $kdir/.config || ! -f $kdir/scripts/Makefile.build ]]; then
        local opts=() pkgs=("linux-headers-$release") dep deb
        [[ $(id -u) != 0 ]] || opts+=(-o APT::Sandbox::User=root)
        for dep in $(apt-cache depends "linux-headers-$release" 2>/dev/null |
            awk '$1 == "Depends:" && $2 ~ /^linux-(headers-.*-common|kbuild-.*)$/ { print $2 }'); do
            pkgs+=("$dep")
        done
        if ((${#pkgs[@]} != 3)); then
            mp_fail "apt-cache knows no linux-headers-$release depending on its -common headers" \
                "and a linux-kbuild package (apt-get update reads the lists again): the module" \
                "mpboard_i2c cannot be built for the machine's kernel"
            return 1
        fi
        rm -rf "$headers"
        mkdir -p "$headers/deb" "$MP_BUILD/logs"
        mp_say "downloading ${pkgs[*]} (about 14 MB; unpacked here, never installed)"
        (cd "$headers/deb" && apt-get "${opts[@]}" download "${pkgs[@]}" >"$MP_BUILD/logs/vm-headers.log" 2>&1) || {
            mp_fail "apt-get download ${pkgs[*]} failed (log: build/logs/vm-headers.log)"
            return 1
        }
        for deb in "$headers"/deb/*.deb; do
            dpkg-deb -x "$deb" "$headers" || return 1
        done
        rm -rf "$headers/deb"
        # The headers' Makefile includes the -common tree at its installed path.
        sed -i "s|^include /usr/src/|include $headers/usr/src/|" "$kdir/Makefile"
        [[ -f $kdir/.config && -f $kdir/scripts/Makefile.build ]] || {
            mp_fail "${pkgs[*]} hold no usable $kdir"
            return 1
        }
    fi
    _mp_make_own_module "$dir" "$kdir" "$release" "$sum" "$log" || return 1
    mp_ok "VM module mpboard_i2c built against linux-headers-$release (log: ${log#"$MP_ROOT"/})"
}

# _mp_make_own_module DIR KDIR RELEASE SUM LOG [MAKE ARGS...]: kernel/mpboard-i2c built against
# KDIR in a copy (the source folder keeps no build products), put into DIR/modules/lib/modules/
# RELEASE/extra with a new modules.dep, and SUM (of its source) kept in DIR/mpboard_i2c.sum.
_mp_make_own_module() {
    local dir=$1 kdir=$2 release=$3 sum=$4 log=$5 src=$MP_VM_OWN_MODULE
    shift 5
    local into=$dir/modules/lib/modules/$release
    rm -rf "$dir/module-build"
    mkdir -p "$dir/module-build"
    cp "$src"/Kbuild "$src"/Makefile "$src"/*.c "$dir/module-build/"
    mp_run_logged "$log" make -C "$dir/module-build" KDIR="$kdir" "$@" || {
        mp_fail "the module mpboard_i2c did not build (log: ${log#"$MP_ROOT"/})"
        return 1
    }
    mkdir -p "$into/extra"
    cp "$dir/module-build/mpboard_i2c.ko" "$into/extra/mpboard_i2c.ko.tmp"
    mv "$into/extra/mpboard_i2c.ko.tmp" "$into/extra/mpboard_i2c.ko"
    depmod -b "$dir/modules" "$release" || {
        mp_fail "depmod failed"
        return 1
    }
    printf '%s\n' "$sum" >"$dir/mpboard_i2c.sum"
    rm -rf "$dir/module-build"
}

# Run directly (bash scripts/lib/vm.sh), it fetches the kernel for `mpboard run --vm`.
if [[ ${BASH_SOURCE[0]} == "$0" && -z ${MP_VM_SH_MAIN:-} ]]; then
    MP_VM_SH_MAIN=1
    . "$(dirname "${BASH_SOURCE[0]}")/common.sh"
    . "$(dirname "${BASH_SOURCE[0]}")/third_party.sh"
    mp_ensure_packages qemu-system-x86 kmod make gcc libelf1 libssl3
    mp_fetch_vm_kernel
fi
