#!/usr/bin/python3
"""scripts/bench-xmodem [--paced-mib N] [--unpaced-mib N] [--rss-mib N ...]: `mpboard
xmodem-receive` (BUILD_DIR, default build/host-release) against lrzsz's `sx -k` through a relay
paced at 115200 8N1 (11,453 data bytes/s at best) or not (then against BusyBox rx too), and the
receivers' peak VmHWM."""

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

ROOT = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(ROOT / "tests/pylib"))
from mppackage import descendants, wait_for_line_settings  # noqa: E402

RATE, IDEAL, GOAL = 11520.0, 11453.0, 0.99


def vmhwm_kib(pid):
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


def transfer(work, mpboard, busybox, mib, ours=True, paced=False):
    """One transfer of mib MiB: (bytes per second, peak RSS of the receiving processes in KiB)."""
    (data := work / "sent").write_bytes(random.Random(mib).randbytes(mib << 20))
    (out := work / ("board/tmp/received" if ours else "received")).unlink(missing_ok=True)
    (r_master, r_slave), (s_master, s_slave) = os.openpty(), os.openpty()
    tty.setraw(s_slave)
    receiver = subprocess.Popen([mpboard, "xmodem-receive", work /
                                 "board", "/tmp/received"] if ours else [busybox, "rx", out],
                                stdin=r_slave, stdout=r_slave, stderr=subprocess.DEVNULL,
                                start_new_session=True)
    if ours:  # the prompt is out before the switch, the operator's Enter after it
        wait_for_line_settings(r_slave, True)
        while select.select([r_master], [], [], 0)[0]:
            os.read(r_master, 4096)
        os.write(r_master, b"\r")
    sender = subprocess.Popen(["timeout", "1200", "sx", "-k", data], stdin=s_slave, stdout=s_slave,
                              stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(s_slave)
    first, end = relay(sender, [s_master, r_master], paced)
    rss = max(map(vmhwm_kib, [receiver.pid, *descendants(receiver.pid)]))  # ours waits for Enter
    if ours:
        wait_for_line_settings(r_slave, False)
        os.write(r_master, b"\r")
    receiver.wait()
    list(map(os.close, (r_master, r_slave, s_master)))
    got, sent = out.read_bytes(), data.read_bytes()
    if not got.startswith(sent) or got[len(sent):].strip(b"\x1a") or len(got) - len(sent) >= 1024:
        raise SystemExit(f"bench-xmodem: {out} is not the file (sx ended with {sender.returncode})")
    return len(sent) / (end - first), rss


def main():
    p = argparse.ArgumentParser(prog="bench-xmodem", description=__doc__.split(":", 1)[1])
    p.add_argument("--paced-mib", type=int, default=4)
    p.add_argument("--unpaced-mib", type=int, default=4)
    p.add_argument("--rss-mib", type=int, nargs="*", default=[1, 16])
    args = p.parse_args()
    build = Path(os.environ.get("BUILD_DIR", ROOT / "build/host-release"))
    busybox, work = ROOT / "build/third_party/busybox/busybox", build / "bench-xmodem"
    if not (build / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "--preset", "host-release", "-B", build], cwd=ROOT, check=True)
    subprocess.run(["ninja", "-C", build, "-j", os.environ.get("JOBS", "2"), "mpboard"], check=True)
    mpboard = build / "tools/mpboard/mpboard"
    if not (work / "board").exists():
        work.mkdir(parents=True, exist_ok=True)
        subprocess.run([mpboard, "create", work / "board", "--busybox", busybox], check=True)
    run = (lambda mib, **kw: transfer(work, mpboard, busybox, mib, **kw))
    if args.paced_mib > 0:
        rate = run(args.paced_mib, paced=True)[0]
        print(
            f"paced 115200 8N1, {args.paced_mib} MiB: {rate:.0f} bytes/s = "
            f"{100 * rate / IDEAL:.1f}% of {IDEAL:.0f} (goal: at least {100 * GOAL:.0f}%) "
            f"{'met' if rate >= GOAL * IDEAL else 'NOT met'}", flush=True)
    if args.unpaced_mib > 0:
        ours, theirs = (run(args.unpaced_mib, ours=r)[0] for r in (True, False))
        print(
            f"unpaced, {args.unpaced_mib} MiB: built-in {ours:.0f} bytes/s, BusyBox rx "
            f"{theirs:.0f} bytes/s, ratio {ours / theirs:.3f}", flush=True)
    for mib in args.rss_mib:
        print(f"peak RSS, {mib} MiB received: {run(mib)[1]} KiB", flush=True)


if __name__ == "__main__":
    main()
