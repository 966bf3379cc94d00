#!/bin/busybox sh
# PID 1 of a board's virtual machine (`mpboard run DIR --vm`). The kernel hands it the board's
# geometry as variables from its command line:
#   mp_flash     the flash partitions, /user's ("user"), the way out ("out") and the flash file's
#                state ("state"), name:offset:size,... in the flash device's memory (qemu's
#                ivshmem over the board's run/vm-flash)
#   mp_erase     the erase block of every partition, bytes
#   mp_vpd       offset:size of the VPD EEPROM's bytes in the flash device's memory
#   mp_user_in   1: /user's flash is erased, the initramfs's /run/user-in is copied onto it (then
#                the state block says so: from then on the flash file is what the board holds);
#                0: it holds what a cut left
#   mp_mode      run, or recover: only hand /user's flash out (after a cut)
#   mp_modules   the kernel's modules to load first (a built-in one loads as well), name,...
#   mp_second_bus  the chipset's or SoC's own I2C controller, loaded after bus 0
#   mp_uart      the console's UART, named /dev/ttyS0 here (absent: ttyS0 itself)
#   mp_mark      "in" (x86-64) or "be" (powerpc): the mark of the machine that wrote /user's
#                flash, whose jffs2 has that machine's byte order
# The machine never sees the board directory: what it needs comes in the initramfs (user/ as
# /run/user-in) and the flash device (the partitions and the VPD EEPROM's bytes), and what goes
# back leaves as one archive on the "out" flash, which mpboard unpacks on the workstation once the
# machine has ended. The launcher runs on ttyS0 as the board's init starts it; when it (or what it
# became through exec) ends, or asks for a reboot, /user and its status go out and the machine
# powers off.
export PATH=/sbin:/usr/sbin:/bin:/usr/bin HOME=/root SHELL=/bin/sh TERM=${TERM:-vt100}

fail() {
    echo "mpboard vm: $*" > /dev/console
    poweroff -f
}

/bin/busybox mkdir -p /proc /sys /dev /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /dev/lamel /user /tmp /run /var/log
mount -t devpts devpts /dev/pts
# The board's console UART as /dev/ttyS0, where the launcher opens it, when the machine's first
# UART is another's (mp_uart: the firmware console of qemu's e500 machine).
if [ "${mp_uart:-ttyS0}" != ttyS0 ]; then
    uart=$(cat "/sys/class/tty/$mp_uart/dev") || fail "no $mp_uart"
    rm -f /dev/ttyS0 "/dev/$mp_uart"
    mknod /dev/ttyS0 c "${uart%:*}" "${uart#*:}" || fail "cannot name $mp_uart ttyS0"
fi

for m in $(echo "$mp_modules" | tr , ' '); do
    modprobe "$m" || fail "cannot load $m"
done

# The six partitions, named as on the board, and /user's flash: phram devices over the flash
# device's memory region (BAR 2 of the ivshmem card, 1af4:1110), whose writes land at once in
# the board's run/vm-flash, as on a NOR chip.
base=
for d in /sys/bus/pci/devices/*; do
    if [ "$(cat "$d/vendor"):$(cat "$d/device")" = 0x1af4:0x1110 ]; then
        echo 1 > "$d/enable"
        base=$(sed -n 3p "$d/resource" | cut -d ' ' -f 1)
    fi
done
[ -n "$base" ] || fail "no flash device"
for piece in $(echo "$mp_flash" | tr , ' '); do
    name=${piece%%:*} && size=${piece##*:} && offset=${piece#*:} && offset=${offset%:*}
    printf '%s,0x%x,%s,%s\n' "$name" $((base + offset)) "$size" "$mp_erase" \
        > /sys/module/phram/parameters/phram || fail "phram refused $name"
done
# Bus 0 (the multiplexer, the set-up device and the VPD EEPROM, whose bytes it keeps in the flash
# device's memory) and the CPLD's /dev/lamel/cpld_mmmap: our own module, first so that its
# adapter is i2c-0; the chipset's SMBus (x86-64) or the SoC's controller (powerpc) is i2c-1.
modprobe mpboard_i2c vpd_addr=$((base + ${mp_vpd%:*})) vpd_size=${mp_vpd#*:} ||
    fail "cannot load mpboard_i2c"
modprobe "$mp_second_bus" || fail "cannot load $mp_second_bus"

while read -r dev size erase name rest; do
    dev=${dev%:}
    case "$name $rest" in
    '"user" ')
        ln -s "/dev/$dev" /dev/mtd-user-char
        ln -s "/dev/mtdblock${dev#mtd}" /dev/mtd-user
        ;;
    '"'*) name=${name#\"} && ln -s "/dev/$dev" "/dev/mtd-${name%\"}" ;;
    esac
done < /proc/mtd

# The way out: an archive (cpio "newc", gzip) of the launcher's status and what /user's flash holds, from where the launcher mounted it, else
# mounted here. A file larger than /user's flash (sparse, or compressed by jffs2) stays out.
hand_out() {
    from=/user
    if ! grep -q ' /user jffs2 ' /proc/mounts; then
        from=/run/flash-user
        mkdir -p "$from"
        mount -t jffs2 /dev/mtd-user "$from" || fail "cannot mount /user's flash"
    fi
    mkdir -p /run/out/user
    mount --bind "$from" /run/out/user || fail "cannot reach /user's flash"
    echo "$1" > /run/out/status
    cd /run/out || fail "no /run/out"
    for piece in $(echo "$mp_flash" | tr , ' '); do
        [ "${piece%%:*}" != user ] || limit=$((${piece##*:} / 1024))
    done
    find ./user -type f -size +"$limit"k | sed 's/^\./mpboard vm: /; s/$/: larger than the flash, left out/' \
        > /dev/console
    find . ! \( -type f -size +"$limit"k \) | cpio -o -H newc 2> /dev/null | gzip > /dev/mtd-out
}
if [ "$mp_mode" = recover ]; then
    hand_out "0 recovered"
    poweroff -f
fi

# user/ goes onto an erased /user flash; the launcher mounts it itself, as on the board. From
# then on the flash file is what the board holds (a cut leaves it for the next run): the last 16
# bytes of the state block say so.
mkdir -p /run/flash-user
if [ "$mp_user_in" = 1 ]; then
    mount -t jffs2 /dev/mtd-user /run/flash-user || fail "cannot mount /user's flash"
    cp -a /run/user-in/. /run/flash-user/ || fail "cannot copy user/ onto /user's flash"
    umount /run/flash-user
    printf 'mpboard user %s\n' "$mp_mark" | dd of=/dev/mtd-state bs=16 seek=$((mp_erase / 16 - 1)) 2> /dev/null ||
        fail "cannot mark the flash"
fi
rm -rf /run/user-in

ending=
trap 'ending=reboot' TERM
trap 'ending=halt' USR1
trap 'ending=poweroff' USR2

cd /
setsid -c /bin/mplaunch < /dev/ttyS0 > /dev/ttyS0 2>&1 &
launcher=$!
while :; do
    wait "$launcher"
    status=$?
    kill -0 "$launcher" 2> /dev/null || break
done
trap '' TERM USR1 USR2

mkdir -p /run/out
hand_out "$status ${ending:-end}"
poweroff -f
