"""`mpboard xmodem-receive` against lrzsz's `sx -k`, each on a pseudo-terminal, through a relay
paced at 115200 bit/s 8N1 (11,520 bytes/s each way; 1024 data bytes per 1030 line bytes make
11,453) or not (then also BusyBox's rx); peak VmHWM; every received file is checked."""

import argparse
import contextlib
import os
import random
import select
import subprocess
import sys
import time
import tty
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "pylib"))
from mppackage import descendants, wait_for_line_settings  # noqa: E402

RATE, IDEAL, GOAL = 11520.0, 11453.0, 0.97


def vmhwm_kib(pid):  # not wait4's ru_maxrss: it counts the pre-exec copy of this script
    with contextlib.suppress(OSError):
        status = Path(f"/proc/{pid}/status").read_text().splitlines()
        return max((int(line.split()[1]) for line in status if line[:6] == "VmHWM:"), default=0)
    return 0


def relay(sender, fds, paced):
    """Moves bytes between the two masters until sx exits: (its first byte's time, its exit's)."""
    pending, free_at, first = {fd: bytearray() for fd in fds}, dict.fromkeys(fds, 0.0), None
    while sender.poll() is None:
        for fd in select.select(fds, [], [], 1 / RATE if any(pending.values()) else 0.05)[0]:
            data, dst, now = b"", fds[fd == fds[0]], time.monotonic()
            with contextlib.suppress(OSError):
                data = os.read(fd, 65536)
            first = first or (now if fd == fds[0] and data else None)
            free_at[dst] = free_at[dst] if pending[dst] else max(free_at[dst], now)
            pending[dst] += data
        for dst, buf in pending.items():
            n = min(len(buf), int((time.monotonic() - free_at[dst]) * RATE)) if paced else len(buf)
            if n > 0:
                n = os.write(dst, buf[:n])
                del buf[:n]
                free_at[dst] += n / RATE
    return first, time.monotonic()


def transfer(args, mib, ours=True, paced=False):
    """One transfer of mib MiB: (bytes per second, peak RSS of the receiving processes in KiB)."""
    work, size = Path(args.work), mib << 20
    (data := work / "sent").write_bytes(random.Random(mib).randbytes(size))
    (out := work / ("board/tmp/received" if ours else "received")).unlink(missing_ok=True)
    (r_master, r_slave), (s_master, s_slave) = os.openpty(), os.openpty()
    tty.setraw(s_slave)
    with open(work / "receiver-stderr.txt", "wb") as errors:
        proc = subprocess.Popen([args.mpboard, "xmodem-receive", work / "board", "/tmp/received"]
                                if ours else [args.busybox, "rx", out], stdin=r_slave,
                                stdout=r_slave, stderr=errors, start_new_session=True)
    if ours:  # the prompt is out before the switch, the operator's Enter after it
        wait_for_line_settings(r_slave, True)
        while select.select([r_master], [], [], 0)[0]:
            os.read(r_master, 4096)
        os.write(r_master, b"\r")
    sender = subprocess.Popen(["timeout", "1200", "sx", "-k", data], stdin=s_slave,
                              stdout=s_slave, stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(s_slave)
    first, end = relay(sender, [s_master, r_master], paced)
    if sender.returncode != 0:
        raise SystemExit(f"bench-xmodem: sx ended with status {sender.returncode}")
    rss = max(map(vmhwm_kib, [proc.pid, *descendants(proc.pid)]))  # ours waits for an Enter
    if ours:
        wait_for_line_settings(r_slave, False)
        os.write(r_master, b"\r")
    proc.wait()
    for fd in (r_master, r_slave, s_master):
        os.close(fd)
    got = out.read_bytes()
    if got[:size] != data.read_bytes() or set(got[size:]) - {0x1A} or len(got) - size >= 1024:
        raise SystemExit(f"bench-xmodem: {out} has {len(got)} bytes, not the file")
    return size / (end - first), rss


def main():
    p = argparse.ArgumentParser()
    for name in ("--mpboard", "--busybox", "--work"):
        p.add_argument(name, required=True)
    p.add_argument("--paced-mib", type=int, default=4)
    p.add_argument("--unpaced-mib", type=int, default=4)
    p.add_argument("--rss-mib", type=int, nargs="*", default=[1, 16])
    args = p.parse_args()
    if not (board := Path(args.work) / "board").exists():
        Path(args.work).mkdir(parents=True, exist_ok=True)
        subprocess.run([args.mpboard, "create", board, "--busybox", args.busybox], check=True)
    if args.paced_mib > 0:
        rate = transfer(args, args.paced_mib, paced=True)[0]
        print(f"paced 115200 8N1, {args.paced_mib} MiB: {rate:.0f} bytes/s = "
              f"{100 * rate / IDEAL:.1f}% of {IDEAL:.0f} (goal: at least {100 * GOAL:.0f}%) "
              f"{'met' if rate >= GOAL * IDEAL else 'NOT met'}", flush=True)
    if args.unpaced_mib > 0:
        ours, theirs = (transfer(args, args.unpaced_mib, r)[0] for r in (True, False))
        print(f"unpaced, {args.unpaced_mib} MiB: built-in {ours:.0f} bytes/s, BusyBox rx "
              f"{theirs:.0f} bytes/s, ratio {ours / theirs:.3f}", flush=True)
    for mib in args.rss_mib:
        print(f"peak RSS, {mib} MiB received: {transfer(args, mib)[1]} KiB", flush=True)


if __name__ == "__main__":
    main()
