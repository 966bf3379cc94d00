# The kernel of `mpboard run --vm`: Debian's stock amd64 kernel, taken from its binary package
# with `apt-get download` and unpacked with `dpkg-deb -x` (never installed), and the few modules a
# board's virtual machine loads, with their dependencies and a modules.dep made by depmod.
# Sourced by third_party.sh.
#
# What stays in build/third_party/vm/ (MPBOARD_VM_DIR names another such directory):
#   vmlinuz     the kernel
#   release     its release string (the modules' directory name)
#   modules/    lib/modules/RELEASE/ with the modules below, as the VM's initramfs holds them

MP_VM_DIR=$MP_THIRD_PARTY/vm
export MP_VM_DIR

# The drivers the VM's init loads: phram for the flash (the partitions and /user's, in a PCI
# memory region over the board's run/vm-flash), block2mtd over a loop device for the CPLD's
# registers, mtdblock and jffs2 for /user, i2c-dev with i2c-stub (the VPD
# path's devices) and the chipset's SMBus (a second adapter), e1000 network cards and cuse.
MP_VM_MODULES=(virtio_pci mtd phram block2mtd mtdblock jffs2 loop i2c-dev i2c-stub
    i2c-piix4 e1000 cuse)

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
        return 0
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
}

# Run directly (bash scripts/lib/vm.sh), it fetches the kernel for `mpboard run --vm`.
if [[ ${BASH_SOURCE[0]} == "$0" && -z ${MP_VM_SH_MAIN:-} ]]; then
    MP_VM_SH_MAIN=1
    . "$(dirname "${BASH_SOURCE[0]}")/common.sh"
    . "$(dirname "${BASH_SOURCE[0]}")/third_party.sh"
    mp_ensure_packages qemu-system-x86 kmod
    mp_fetch_vm_kernel
fi
