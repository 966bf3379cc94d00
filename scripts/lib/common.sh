# Shared shell functions of scripts/test and scripts/demo. Source it from bash:
#   . "$(dirname "${BASH_SOURCE[0]}")/lib/common.sh"
# It sets MP_ROOT (the repository) and MP_BUILD (its build tree) and provides headings, phase
# timing, the Debian package check and a clean-up of anything a run leaves behind.

set -o errexit -o nounset -o pipefail

MP_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
MP_BUILD=$MP_ROOT/build
export MP_ROOT MP_BUILD

# Every Debian package the two commands rely on: toolchains (host, clang with sanitizers and
# libFuzzer, powerpc cross), test and benchmark libraries, the emulator, the board's peers
# (lrzsz, the TFTP server's libwrap0, iproute2; the TFTP server itself is only unpacked,
# see third_party.sh), the terminal the XMODEM tests type into (socat, picocom, tmux), the
# source unpacker and the formatters, what BusyBox's own build needs, strace (the campaign's
# sweep stops a board at each write to a file), lintian and help2man (the Debian packages'
# check and the tools' manual pages), and the libraries of Debian's linux-kbuild programs (libelf1,
# libssl3), which build the virtual-machine boards' own kernel module (scripts/lib/vm.sh).
MP_DEBIAN_PACKAGES=(
    cmake ninja-build g++ clang libclang-rt-14-dev ccache
    googletest libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev libi2c-dev libsodium-dev
    g++-powerpc-linux-gnu qemu-user qemu-user-static valgrind
    python3-pytest python3-pexpect lrzsz libwrap0 iproute2 socat picocom tmux
    qemu-system-x86 kmod libelf1 libssl3 qemu-system-ppc flex bison bc
    dpkg-dev clang-format clang-tidy yapf3
    make gcc libc6-dev bzip2 xz-utils patch ca-certificates autoconf automake libtool strace
    lintian help2man
)

# ---------------------------------------------------------------------------------------------
# Output

if [[ -t 1 ]]; then
    _mp_bold=$'\e[1m' _mp_red=$'\e[31m' _mp_green=$'\e[32m' _mp_off=$'\e[0m'
else
    _mp_bold='' _mp_red='' _mp_green='' _mp_off=''
fi

mp_heading() { printf '\n%s==> %s%s\n' "$_mp_bold" "$*" "$_mp_off"; }
mp_say() { printf '    %s\n' "$*"; }
mp_ok() { printf '    %sok%s: %s\n' "$_mp_green" "$_mp_off" "$*"; }
mp_warn() { printf '    %swarning%s: %s\n' "$_mp_red" "$_mp_off" "$*" >&2; }
mp_fail() { printf '    %sFAILED%s: %s\n' "$_mp_red" "$_mp_off" "$*"; }
mp_die() {
    printf '%serror%s: %s\n' "$_mp_red" "$_mp_off" "$*" >&2
    exit 1
}

# Phase timing: mp_phase_begin NAME ... mp_phase_end [STATUS]; mp_phase_table prints them all.
_mp_phase_names=()
_mp_phase_secs=()
_mp_phase_status=()
_mp_phase_start=0
_mp_phase_current=''

mp_phase_begin() {
    _mp_phase_current=$1
    _mp_phase_start=$SECONDS
    mp_heading "$1"
}

mp_phase_end() {
    local status=${1:-ok} secs=$((SECONDS - _mp_phase_start))
    _mp_phase_names+=("$_mp_phase_current")
    _mp_phase_secs+=("$secs")
    _mp_phase_status+=("$status")
    mp_say "($_mp_phase_current: $status, ${secs} s)"
}

mp_phase_table() {
    local i
    for i in "${!_mp_phase_names[@]}"; do
        printf '    %-58s %-8s %5s s\n' "${_mp_phase_names[$i]}" "${_mp_phase_status[$i]}" \
            "${_mp_phase_secs[$i]}"
    done
}

# mp_run_logged LOG COMMAND...: runs a long command with its output in LOG, printing a line
# every 20 s so a CI log shows it is alive; on failure prints the log's tail. Returns the
# command's status. MP_QUIET=1 leaves the failure report to the caller.
mp_run_logged() {
    local log=$1 pid status=0 waited=0
    shift
    mkdir -p "$(dirname "$log")"
    "$@" >"$log" 2>&1 </dev/null &
    pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        sleep 1
        waited=$((waited + 1))
        if ((waited % 20 == 0)) && kill -0 "$pid" 2>/dev/null; then
            mp_say "... still working (${waited} s; log: ${log#"$MP_ROOT"/})"
        fi
    done
    wait "$pid" || status=$?
    if ((status != 0)) && [[ -z ${MP_QUIET:-} ]]; then
        mp_fail "$* (status $status); last lines of ${log#"$MP_ROOT"/}:"
        tail -n 25 "$log" | sed 's/^/      | /'
    fi
    return "$status"
}

# ---------------------------------------------------------------------------------------------
# Nothing left running: every process started by this run carries MP_RUN_ID in its environment;
# at exit (normal or interrupted) those still alive are named and ended, by their own ids.

MP_RUN_ID="$$-$(date +%s%N)"
export MP_RUN_ID

mp_reap_leftovers() {
    local pid candidates=() leftovers=() env_file cmd
    while read -r env_file; do
        pid=${env_file#/proc/}
        pid=${pid%/environ}
        [[ $pid == "$$" ]] || candidates+=("$pid")
    done < <(grep -l -s -z -x -F "MP_RUN_ID=$MP_RUN_ID" /proc/[0-9]*/environ)
    for pid in "${candidates[@]}"; do
        # The scan's own grep has ended by now; a process without a command line is a zombie
        # about to be reaped.
        cmd=$({ tr '\0' ' ' <"/proc/$pid/cmdline"; } 2>/dev/null) || continue
        [[ -n $cmd ]] || continue
        leftovers+=("$pid")
        mp_warn "left running by this run, ending it: pid $pid: $cmd"
        kill -TERM "$pid" 2>/dev/null || true
    done
    if ((${#leftovers[@]})); then
        sleep 1
        for pid in "${leftovers[@]}"; do
            kill -KILL "$pid" 2>/dev/null || true
        done
    fi
    return 0
}

trap 'mp_reap_leftovers' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------------------------------------
# Debian packages

mp_missing_packages() {
    local -A installed=()
    local pkg status
    while read -r pkg status; do
        [[ $status != ii* ]] || installed[$pkg]=1
    done < <(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "$@" 2>/dev/null || true)
    for pkg in "$@"; do
        [[ -n ${installed[$pkg]:-} ]] || printf '%s\n' "$pkg"
    done
}

# Installs the missing ones when root; otherwise prints the command to run and stops.
mp_ensure_packages() {
    local missing
    mapfile -t missing < <(mp_missing_packages "$@")
    if ((${#missing[@]} == 0)); then
        mp_ok "all ${#} Debian packages installed"
        return 0
    fi
    local install=(apt-get install -y --no-install-recommends "${missing[@]}")
    if [[ $(id -u) != 0 ]]; then
        mp_say "missing Debian packages: ${missing[*]}"
        mp_say "install them as root, then run this command again:"
        printf '\n    sudo %s\n\n' "${install[*]}"
        exit 1
    fi
    mp_say "installing missing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    mp_run_logged "$MP_BUILD/logs/apt-update.log" apt-get update ||
        mp_die "apt-get update failed"
    mp_run_logged "$MP_BUILD/logs/apt-install.log" "${install[@]}" ||
        mp_die "apt-get install failed"
    mapfile -t missing < <(mp_missing_packages "$@")
    ((${#missing[@]} == 0)) || mp_die "still missing after apt-get install: ${missing[*]}"
    mp_ok "installed"
}

# ---------------------------------------------------------------------------------------------
# Builds

# Compiler cache inside the build tree: `rm -rf build` resets everything, nothing is written to
# the home directory. A CCACHE_DIR given by the caller is kept.
mp_setup_ccache() {
    export CCACHE_DIR=${CCACHE_DIR:-$MP_BUILD/ccache}
    export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-3G}
    # Objects with debug information are shared between build directories (the static powerpc
    # launcher's build/ppc-static/ and the ppc preset compile the same sources with the same
    # flags): their recorded compilation directory may name the other one.
    export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
    mkdir -p "$CCACHE_DIR"
}

MP_JOBS=${MP_JOBS:-2}

# mp_configure PRESET: configures build/PRESET, or refreshes an existing one (quick, and it picks
# up changed presets); the build directory and everything built in it are reused.
mp_configure() {
    local preset=$1 dir=$MP_BUILD/$1 what=configured
    [[ ! -f $dir/CMakeCache.txt ]] || what=reconfigured
    mp_run_logged "$MP_BUILD/logs/configure-$preset.log" \
        cmake --preset "$preset" -S "$MP_ROOT" || return 1
    mp_ok "$what build/$preset"
}

_mp_filter_build() {
    local line n=0 m=0
    while IFS= read -r line; do
        if [[ $line =~ ^\[[0-9]+/[0-9]+\] ]]; then
            ((n++ % 25 != 0)) || printf '    %s\n' "$line"
        elif ((m++ < 200)); then
            printf '    | %s\n' "$line"
        fi
    done
}

# mp_build PRESET [TARGET...]: builds with ninja's progress lines on the terminal. Keeps going
# past a failing target so that everything that does build can still be tested.
mp_build() {
    local preset=$1
    shift
    local targets=()
    (($# == 0)) || targets=(--target "$@")
    local log=$MP_BUILD/logs/build-$preset.log status=0
    mkdir -p "$MP_BUILD/logs"
    # ninja prints one line per step when its output is not a terminal: every 25th of them and
    # the compiler's messages (the first 200 lines) go to the screen, everything to the log.
    cmake --build "$MP_BUILD/$preset" -j "$MP_JOBS" "${targets[@]}" -- -k 0 2>&1 </dev/null |
        tee "$log" | _mp_filter_build || status=$?
    if ((status != 0)); then
        mp_fail "build of $preset (log: build/logs/build-$preset.log)"
        return 1
    fi
    mp_ok "built build/$preset"
}
