"""The boot benchmark's measuring half (scripts/bench-boot prepares the board and the programs).

One boot attempt on a board whose slot 1 holds a single large application record, timed from the
launcher's start (its mount at start-up) to the tarball written (the tar it then runs), against
the floor program on the same slot file. The board's mount and tar are the stamp program, which
writes CLOCK_MONOTONIC, the launcher's peak resident set, the tarball's size and the launcher's
CPU time to /var/bench-stamps. Runs alternate between the two, in changing order, so that both see the same machine.
Wall time is the measure; CPU time (user + system) is shown beside it because on a machine that
other work shares it varies far less from run to run.

    measure.py BOARD MPBOARD FLOOR RUNS
"""

import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "pylib"))
from mppackage import records  # noqa: E402


def record_info(path):
    with open(path, "rb") as f:
        rec = records(f.read(20))[0]
    return rec.hdrlen + rec.length, rec.length


def run_floor(floor, slot, out):
    out.unlink(missing_ok=True)
    start = time.monotonic_ns()
    proc = subprocess.Popen([floor, str(slot), str(out)])
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.monotonic_ns() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"floor failed on {slot}")
    size = out.stat().st_size
    out.unlink()
    cpu_ns = round((usage.ru_utime + usage.ru_stime) * 1e9)
    return elapsed, usage.ru_maxrss * 1024, size, cpu_ns


def run_launcher(board, mpboard):
    stamps = board / "var/bench-stamps"
    stamps.unlink(missing_ok=True)
    start = time.monotonic_ns()
    proc = subprocess.run([mpboard, "run", str(board), "--clock-scale", "0"],
                          stdin=subprocess.DEVNULL, capture_output=True)
    lines = {}
    if stamps.exists():
        for line in stamps.read_text().splitlines():
            name, ns, hwm_kb, size, cpu_us = line.split()
            lines[name] = (int(ns), int(hwm_kb), int(size), int(cpu_us))
    if "mount" not in lines or "tar" not in lines:
        sys.exit(f"the boot did not reach tar (status {proc.returncode}):\n"
                 f"{proc.stdout.decode()}{proc.stderr.decode()}")
    tar_ns, hwm_kb, size, cpu_us = lines["tar"]
    return tar_ns - lines["mount"][0], tar_ns - start, hwm_kb * 1024, size, cpu_us * 1000


def main():
    board, mpboard, floor, runs = Path(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
    slot = board / "user/images/image1"
    record_length, payload = record_info(slot)
    out = board / "tmp/floor-tarball"

    # One of each first, so that both find the slot file in the page cache.
    run_floor(floor, slot, out)
    run_launcher(board, mpboard)

    rows = []
    print(f"{'run':>3} {'floor ms':>9} {'launcher ms':>12} {'ratio':>6} {'mpboard run ms':>15}"
          f" {'floor CPU ms':>13} {'launcher CPU ms':>16} {'ratio':>6} {'launcher RSS MiB':>17}")
    for i in range(runs):
        # Which of the two goes first changes from run to run: neither always finds the machine
        # just after the other's clean-up.
        if i % 2 == 0:
            floor_ns, floor_rss, floor_size, floor_cpu = run_floor(floor, slot, out)
            launch_ns, total_ns, hwm, size, launch_cpu = run_launcher(board, mpboard)
        else:
            launch_ns, total_ns, hwm, size, launch_cpu = run_launcher(board, mpboard)
            floor_ns, floor_rss, floor_size, floor_cpu = run_floor(floor, slot, out)
        if size != payload or floor_size != payload:
            sys.exit(f"tarball of {size} bytes (floor: {floor_size}), payload is {payload}")
        rows.append((floor_ns, launch_ns, total_ns, hwm, floor_rss, floor_cpu, launch_cpu))
        print(f"{i + 1:>3} {floor_ns / 1e6:>9.1f} {launch_ns / 1e6:>12.1f}"
              f" {launch_ns / floor_ns:>6.3f} {total_ns / 1e6:>15.1f} {floor_cpu / 1e6:>13.1f}"
              f" {launch_cpu / 1e6:>16.1f} {launch_cpu / floor_cpu:>6.3f} {hwm / 2**20:>17.1f}")

    ratio = statistics.median(r[1] / r[0] for r in rows)
    peak = max(r[3] for r in rows)
    limit = record_length + (16 << 20)
    print()
    print(f"record length:        {record_length} bytes ({record_length / 2**20:.1f} MiB)")
    print(f"floor median:         {statistics.median(r[0] for r in rows) / 1e6:.1f} ms, "
          f"peak RSS {max(r[4] for r in rows) / 2**20:.1f} MiB")
    print(f"launcher median:      {statistics.median(r[1] for r in rows) / 1e6:.1f} ms "
          f"(start-up mount to tar; whole mpboard run to tar: "
          f"{statistics.median(r[2] for r in rows) / 1e6:.1f} ms)")
    print(f"median ratio:         {ratio:.3f} (goal: at most 1.15) "
          f"{'met' if ratio <= 1.15 else 'MISSED'}")
    print(f"median CPU ratio:     {statistics.median(r[6] / r[5] for r in rows):.3f} "
          f"(launcher {statistics.median(r[6] for r in rows) / 1e6:.1f} ms, "
          f"floor {statistics.median(r[5] for r in rows) / 1e6:.1f} ms; user + system)")
    print(f"launcher peak RSS:    {peak / 2**20:.1f} MiB (goal: at most {limit / 2**20:.1f} MiB, "
          f"the record plus 16 MiB) {'met' if peak <= limit else 'MISSED'}")


if __name__ == "__main__":
    main()
