"""Whole-process figures of the built-in XMODEM-1K receiver (`mpboard xmodem-receive` on a sandbox
board) with lrzsz's `sx -k` as the sender, each on a pseudo-terminal of its own and a relay in
between that the figures are taken at:

  paced     the relay passes 11,520 bytes/s each way (115200 bit/s 8N1, as the board's UART);
            the throughput is the file's bytes over the time from the sender's first byte to
            its exit, against the 11,453 bytes/s of 1024 data bytes per 1030 line bytes
  unpaced   the relay passes bytes as they come; the same for BusyBox's rx as the receiver
  peak RSS  of the receiving process (the jailed mpboard: VmHWM), unpaced, for the sizes given

Every received file is compared with the sent one (plus the sender's 0x1A padding)."""

import argparse
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

LINE_RATE = 11520.0
IDEAL = 11453.0
GOAL = 0.97


def wait_for(fd, text, seen, limit=60):
    deadline = time.monotonic() + limit
    while text not in seen:
        if time.monotonic() > deadline:
            raise SystemExit(f"bench-xmodem: never saw {text!r} (got {bytes(seen[-200:])!r})")
        r, _, _ = select.select([fd], [], [], 0.1)
        if r:
            seen += os.read(fd, 4096)


def peak_rss_kib(root):
    """The largest VmHWM among root and its descendants. (wait4's ru_maxrss would count the
    moment before exec when the child was still a copy of this script, file data and all.)"""
    peak = 0
    for pid in [root, *descendants(root)]:
        try:
            for line in Path(f"/proc/{pid}/status").read_text().splitlines():
                if line.startswith("VmHWM:"):
                    peak = max(peak, int(line.split()[1]))
        except OSError:
            continue
    return peak


class Relay:
    """Moves bytes between the sender's and the receiver's pseudo-terminal masters, paced or not;
    returns the moment of the sender's first byte and of its exit."""

    def __init__(self, sender_fd, receiver_fd, paced):
        self.fds = (sender_fd, receiver_fd)
        self.paced = paced
        self.queue = {fd: [] for fd in self.fds}  # [start, bytes] chunks waiting for the wire
        self.free_at = {fd: 0.0 for fd in self.fds}
        self.first = None
        self.from_receiver = bytearray()  # the board's prompts arrive among its answers

    def put(self, dst, data, now):
        if not self.paced:
            os.write(dst, data)
            return
        start = max(now, self.free_at[dst])
        self.free_at[dst] = start + len(data) / LINE_RATE
        self.queue[dst].append([start, data])

    def send_due(self, now):
        wake = 0.05
        for dst, chunks in self.queue.items():
            while chunks:
                start, data = chunks[0]
                due = min(len(data), int((now - start) * LINE_RATE))
                if due > 0:
                    os.write(dst, data[:due])
                    chunks[0] = [start + due / LINE_RATE, data[due:]]
                if chunks[0][1]:
                    wake = min(wake, max(0.0002, chunks[0][0] + 1 / LINE_RATE - now))
                    break
                chunks.pop(0)
        return wake

    def run(self, sender):
        wake = 0.05
        while sender.poll() is None:
            r, _, _ = select.select(list(self.fds), [], [], wake)
            now = time.monotonic()
            for fd in r:
                try:
                    data = os.read(fd, 65536)
                except OSError:
                    continue
                if fd == self.fds[0] and self.first is None and data:
                    self.first = now
                if fd == self.fds[1]:
                    self.from_receiver += data
                self.put(self.fds[1] if fd == self.fds[0] else self.fds[0], data, now)
            wake = self.send_due(now) if self.paced else 0.05
        return self.first, time.monotonic()


def transfer(args, data_path, size, receiver, paced):
    """One transfer; (bytes per second, peak RSS of the receiving process in KiB)."""
    out = Path(args.work) / "received"
    r_master, r_slave = os.openpty()
    s_master, s_slave = os.openpty()
    tty.setraw(s_slave)
    errors = open(Path(args.work) / "receiver-stderr.txt", "wb")
    if receiver == "ours":
        board_file = Path(args.work) / "board" / "tmp" / "received"
        board_file.unlink(missing_ok=True)
        proc = subprocess.Popen([args.mpboard, "xmodem-receive", str(Path(args.work) / "board"),
                                 "/tmp/received"], stdin=r_slave, stdout=r_slave, stderr=errors,
                                start_new_session=True)
        seen = bytearray()
        wait_for(r_master, b"before initiating the download.", seen)
        wait_for_line_settings(r_slave, True)
        os.write(r_master, b"\r")
    else:
        out.unlink(missing_ok=True)
        board_file = out
        proc = subprocess.Popen([args.busybox, "rx", str(out)], stdin=r_slave, stdout=r_slave,
                                stderr=errors, start_new_session=True)
    sender = subprocess.Popen(["timeout", "1200", "sx", "-k", str(data_path)], stdin=s_slave,
                              stdout=s_slave, stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(s_slave)
    relay = Relay(s_master, r_master, paced)
    first, end = relay.run(sender)
    if sender.returncode != 0:
        raise SystemExit(f"bench-xmodem: sx ended with status {sender.returncode}")
    # The receiver still waits for the operator's Enter: its peak is all there is to see.
    rss = peak_rss_kib(proc.pid)
    if receiver == "ours":
        wait_for(r_master, b"Change the baud rate back to 9600 bps", relay.from_receiver)
        wait_for_line_settings(r_slave, False)
        os.write(r_master, b"\r")
    proc.wait()
    for fd in (r_master, r_slave, s_master):
        os.close(fd)
    errors.close()
    received = board_file.read_bytes()
    sent = data_path.read_bytes()
    if received[:size] != sent or set(received[size:]) - {0x1A} or len(received) - size >= 1024:
        raise SystemExit(f"bench-xmodem: {receiver} received {len(received)} bytes, not the file")
    return size / (end - first), rss


def data_file(args, mib):
    path = Path(args.work) / f"data-{mib}MiB.bin"
    if not path.exists() or path.stat().st_size != mib << 20:
        path.write_bytes(random.Random(mib).randbytes(mib << 20))
    return path


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--mpboard", required=True)
    p.add_argument("--busybox", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--paced-mib", type=int, default=4)
    p.add_argument("--unpaced-mib", type=int, default=4)
    p.add_argument("--rss-mib", type=int, nargs="*", default=[1, 16])
    args = p.parse_args()
    Path(args.work).mkdir(parents=True, exist_ok=True)
    board = Path(args.work) / "board"
    if not board.exists():
        subprocess.run([args.mpboard, "create", str(board), "--busybox", args.busybox],
                       check=True)

    if args.paced_mib > 0:
        rate, _ = transfer(args, data_file(args, args.paced_mib), args.paced_mib << 20, "ours",
                           True)
        verdict = "met" if rate >= GOAL * IDEAL else "NOT met"
        print(f"paced 115200 8N1, {args.paced_mib} MiB: {rate:.0f} bytes/s = "
              f"{100 * rate / IDEAL:.1f}% of {IDEAL:.0f} (goal: at least {100 * GOAL:.0f}%) "
              f"{verdict}", flush=True)
    if args.unpaced_mib > 0:
        path = data_file(args, args.unpaced_mib)
        ours, _ = transfer(args, path, args.unpaced_mib << 20, "ours", False)
        theirs, _ = transfer(args, path, args.unpaced_mib << 20, "busybox", False)
        print(f"unpaced, {args.unpaced_mib} MiB: built-in {ours:.0f} bytes/s, BusyBox rx "
              f"{theirs:.0f} bytes/s, ratio {ours / theirs:.3f}", flush=True)
    for mib in args.rss_mib:
        _, rss = transfer(args, data_file(args, mib), mib << 20, "ours", False)
        print(f"peak RSS, {mib} MiB received: {rss} KiB", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
