# The kernel of `mpboard run --vm --ppc`: Debian's linux-source-6.1, taken with `apt-get download`
# and unpacked with `dpkg-deb -x` (never installed), cross-built for qemu's ppce500 machine with an
# e500mc core from `make allnoconfig` and kernel/config/qemu-e500mc.config, with our own module
# kernel/mpboard-i2c built against the same tree. Built once; sourced by third_party.sh.
#
# What stays in build/third_party/vm-ppc/ (MPBOARD_VM_PPC_DIR names another such directory):
#   vmlinux     the kernel, which qemu-system-ppc -M ppce500 loads as it is
#   release     its release string (the modules' directory name)
#   modules/    lib/modules/RELEASE/: the modules of the configuration (the SoC's I2C controller)
#               and extra/mpboard_i2c.ko, with their modules.dep made by depmod
#   linux/      the unpacked source and obj/ the build, kept for the module's rebuilds
#   built.sum   what the kernel was built from (the source package's version and the fragment)
# The build is logged in build/logs/vm-ppc-kernel.log, the module's in vm-ppc-module.log.

MP_VM_PPC_DIR=$MP_THIRD_PARTY/vm-ppc
MP_VM_PPC_SOURCE_PACKAGE=linux-source-6.1
MP_VM_PPC_FRAGMENT=$MP_ROOT/kernel/config/qemu-e500mc.config
export MP_VM_PPC_DIR

_mp_vm_ppc_make() {
    make -C "$MP_VM_PPC_DIR/linux" O="$MP_VM_PPC_DIR/obj" ARCH=powerpc \
        CROSS_COMPILE=powerpc-linux-gnu- -j "$MP_JOBS" "$@"
}

mp_build_vm_ppc_kernel() {
    local dir=$MP_VM_PPC_DIR log=$MP_BUILD/logs/vm-ppc-kernel.log version sum tool
    for tool in powerpc-linux-gnu-gcc flex bison bc make; do
        command -v "$tool" >/dev/null || {
            mp_fail "no $tool to build the powerpc kernel with (Debian packages gcc-powerpc-linux-gnu," \
                "flex, bison, bc and make)"
            return 1
        }
    done
    version=$(apt-cache policy "$MP_VM_PPC_SOURCE_PACKAGE" 2>/dev/null | awk '$1 == "Candidate:" { print $2 }')
    if [[ -z $version || $version == "(none)" ]] && [[ $(id -u) == 0 ]]; then
        mp_run_logged "$MP_BUILD/logs/apt-update.log" apt-get update || true
        version=$(apt-cache policy "$MP_VM_PPC_SOURCE_PACKAGE" 2>/dev/null | awk '$1 == "Candidate:" { print $2 }')
    fi
    [[ -n $version && $version != "(none)" ]] || {
        mp_fail "apt-cache knows no package $MP_VM_PPC_SOURCE_PACKAGE (apt-get update reads the" \
            "lists again): the powerpc kernel of run --vm --ppc cannot be built"
        return 1
    }
    sum=$({ echo "$MP_VM_PPC_SOURCE_PACKAGE $version"; cat "$MP_VM_PPC_FRAGMENT"; } | sha256sum | cut -d ' ' -f 1)
    if [[ -f $dir/vmlinux && -f $dir/release && $(cat "$dir/built.sum" 2>/dev/null) == "$sum" ]]; then
        mp_ok "powerpc VM kernel $(<"$dir/release") built earlier (${dir#"$MP_ROOT"/})"
        mp_build_vm_ppc_module
        return
    fi
    mkdir -p "$MP_BUILD/logs"
    if [[ $(cat "$dir/linux/.package" 2>/dev/null) != "$MP_VM_PPC_SOURCE_PACKAGE $version" ]]; then
        local opts=() deb
        [[ $(id -u) != 0 ]] || opts+=(-o APT::Sandbox::User=root)
        rm -rf "$dir"
        mkdir -p "$dir/deb"
        mp_say "downloading $MP_VM_PPC_SOURCE_PACKAGE $version (about 140 MB; unpacked here, never installed)"
        (cd "$dir/deb" && apt-get "${opts[@]}" download "$MP_VM_PPC_SOURCE_PACKAGE=$version" \
            >"$dir/download.log" 2>&1) || {
            mp_fail "apt-get download $MP_VM_PPC_SOURCE_PACKAGE failed (log: ${dir#"$MP_ROOT"/}/download.log)"
            return 1
        }
        deb=$(compgen -G "$dir/deb/${MP_VM_PPC_SOURCE_PACKAGE}_*.deb" | head -n 1)
        dpkg-deb -x "$deb" "$dir/unpacked" || return 1
        local tarball=$dir/unpacked/usr/src/$MP_VM_PPC_SOURCE_PACKAGE.tar.xz
        [[ -f $tarball ]] || {
            mp_fail "$deb holds no usr/src/$MP_VM_PPC_SOURCE_PACKAGE.tar.xz"
            return 1
        }
        mkdir -p "$dir/linux.tmp"
        tar -xf "$tarball" -C "$dir/linux.tmp" --strip-components=1 || {
            mp_fail "could not unpack $tarball"
            return 1
        }
        rm -rf "$dir/unpacked" "$dir/deb"
        printf '%s\n' "$MP_VM_PPC_SOURCE_PACKAGE $version" >"$dir/linux.tmp/.package"
        mv "$dir/linux.tmp" "$dir/linux"
    fi
    # A configuration that changed is built again in the same obj/: kbuild remakes only what
    # depends on the symbols that changed.
    rm -f "$dir/built.sum"
    mkdir -p "$dir/obj"
    mp_say "building the powerpc kernel (about 290 CPU-seconds: 2.5 to 4.5 minutes on 2 cores; log: ${log#"$MP_ROOT"/})"
    {
        _mp_vm_ppc_make allnoconfig &&
            "$dir/linux/scripts/kconfig/merge_config.sh" -m -O "$dir/obj" "$dir/obj/.config" \
                "$MP_VM_PPC_FRAGMENT" &&
            _mp_vm_ppc_make olddefconfig
    } >"$log" 2>&1 || {
        mp_fail "the powerpc kernel's configuration failed (log: ${log#"$MP_ROOT"/})"
        return 1
    }
    # Every line of the fragment must have stood: a symbol that Kconfig dropped (a dependency
    # missing, a name that changed) would leave a kernel the machine cannot use.
    local line lost=()
    while IFS= read -r line; do
        grep -qx "$line" "$dir/obj/.config" || lost+=("$line")
    done < <(grep -E '^CONFIG_[A-Z0-9_]+=' "$MP_VM_PPC_FRAGMENT")
    if ((${#lost[@]})); then
        mp_fail "the kernel's configuration lost ${lost[*]} (kernel/config/qemu-e500mc.config)"
        return 1
    fi
    mp_run_logged "$log" _mp_vm_ppc_make vmlinux modules || {
        mp_fail "the powerpc kernel did not build (log: ${log#"$MP_ROOT"/})"
        return 1
    }
    local release
    release=$(<"$dir/obj/include/config/kernel.release")
    rm -rf "$dir/modules"
    mp_run_logged "$log" _mp_vm_ppc_make INSTALL_MOD_PATH="$dir/modules" DEPMOD=/bin/true \
        modules_install || {
        mp_fail "modules_install failed (log: ${log#"$MP_ROOT"/})"
        return 1
    }
    rm -f "$dir/modules/lib/modules/$release/build" "$dir/modules/lib/modules/$release/source"
    cp "$dir/obj/vmlinux" "$dir/vmlinux.tmp" && mv "$dir/vmlinux.tmp" "$dir/vmlinux"
    printf '%s\n' "$release" >"$dir/release.tmp" && mv "$dir/release.tmp" "$dir/release"
    rm -f "$dir/mpboard_i2c.sum"
    printf '%s\n' "$sum" >"$dir/built.sum"
    mp_ok "powerpc VM kernel $release built in ${dir#"$MP_ROOT"/} ($(stat -c %s "$dir/vmlinux") bytes; log: ${log#"$MP_ROOT"/})"
    mp_build_vm_ppc_module
}

# kernel/mpboard-i2c built out of tree against the kernel just built (its obj/), into
# modules/.../extra with a new modules.dep; built again when its source changed.
mp_build_vm_ppc_module() {
    local dir=$MP_VM_PPC_DIR src=$MP_VM_OWN_MODULE release sum log=$MP_BUILD/logs/vm-ppc-module.log
    release=$(<"$dir/release")
    local into=$dir/modules/lib/modules/$release
    sum=$(cat "$src"/Kbuild "$src"/Makefile "$src"/*.c | sha256sum | cut -d ' ' -f 1)
    if [[ -f $into/extra/mpboard_i2c.ko && $(cat "$dir/mpboard_i2c.sum" 2>/dev/null) == "$sum" ]]; then
        mp_ok "powerpc VM module mpboard_i2c built earlier (${into#"$MP_ROOT"/}/extra)"
        return 0
    fi
    _mp_make_own_module "$dir" "$dir/obj" "$release" "$sum" "$log" ARCH=powerpc \
        CROSS_COMPILE=powerpc-linux-gnu- || return 1
    mp_ok "powerpc VM module mpboard_i2c built against the powerpc kernel $release (log: ${log#"$MP_ROOT"/})"
}

# Run directly (bash scripts/lib/vm-ppc.sh), it builds the kernel and BusyBox of `run --vm --ppc`.
if [[ ${BASH_SOURCE[0]} == "$0" && -z ${MP_VM_PPC_SH_MAIN:-} ]]; then
    MP_VM_PPC_SH_MAIN=1
    . "$(dirname "${BASH_SOURCE[0]}")/common.sh"
    . "$(dirname "${BASH_SOURCE[0]}")/third_party.sh"
    mp_ensure_packages qemu-system-ppc qemu-user-static g++-powerpc-linux-gnu flex bison bc kmod make
    mp_build_vm_ppc_kernel && mp_build_busybox_ppc
fi
