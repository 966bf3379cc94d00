"""measure.py BOARD MPBOARD FLOOR RUNS (run by scripts/bench-boot): the launcher's boot attempt on
slot 1's one large record, from its start-up mount to its tar (stamp.c stands in for both), against
the floor program on the same slot file, alternating; CPU time varies far less than wall time."""

import os, statistics, subprocess, sys, time  # noqa: E401
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "pylib"))
from mppackage import records  # noqa: E402


def floor(program, slot, out):
    start = time.monotonic_ns()
    _, status, usage = os.wait4(subprocess.Popen([program, str(slot), str(out)]).pid, 0)
    elapsed = time.monotonic_ns() - start
    if status != 0:
        sys.exit(f"floor failed on {slot}")
    return elapsed, round((usage.ru_utime + usage.ru_stime) * 1e9), out.stat().st_size


def launcher(board, mpboard):
    (stamps := board / "var/bench-stamps").unlink(missing_ok=True)
    proc = subprocess.run([mpboard, "run", str(board), "--clock-scale", "0"], stdin=subprocess.DEVNULL,
                          capture_output=True)
    seen = {n: list(map(int, v)) for n, *v in map(str.split, stamps.read_text().splitlines())} if stamps.exists() else {}
    if not {"mount", "tar"} <= seen.keys():
        sys.exit(f"the boot did not reach tar (status {proc.returncode}):\n{proc.stdout.decode()}{proc.stderr.decode()}")
    tar_ns, hwm_kb, size, cpu_us = seen["tar"]
    return tar_ns - seen["mount"][0], cpu_us * 1000, size, hwm_kb << 10


def main():
    board, mpboard, program, runs = Path(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
    slot, out = board / "user/images/image1", board / "tmp/floor-tarball"
    rec = records(slot.read_bytes()[:20])[0]
    floor(program, slot, out), launcher(board, mpboard)  # both find the slot file in the page cache
    rows = []
    print(f"{'run':>3} {'floor ms':>9} {'launcher ms':>12} {'ratio':>6} {'floor CPU ms':>13} {'launcher CPU ms':>16}"
          f" {'ratio':>6} {'launcher RSS MiB':>17}")
    for i in range(runs):  # which goes first changes: neither always runs just after the other's clean-up
        got = {}
        for which in ("floor", "launcher")[::1 if i % 2 == 0 else -1]:
            got[which] = floor(program, slot, out) if which == "floor" else launcher(board, mpboard)
        (f_ns, f_cpu, f_size), (l_ns, l_cpu, l_size, hwm) = got["floor"], got["launcher"]
        if {l_size, f_size} != {rec.length}:
            sys.exit(f"tarball of {l_size} bytes (floor: {f_size}), payload is {rec.length}")
        rows.append((f_ns, l_ns, f_cpu, l_cpu, hwm))
        print(f"{i + 1:>3} {f_ns / 1e6:>9.1f} {l_ns / 1e6:>12.1f} {l_ns / f_ns:>6.3f} {f_cpu / 1e6:>13.1f}"
              f" {l_cpu / 1e6:>16.1f} {l_cpu / f_cpu:>6.3f} {hwm / 2**20:>17.1f}")
    ratio, peak = statistics.median(r[1] / r[0] for r in rows), max(r[4] for r in rows)
    limit = rec.hdrlen + rec.length + (16 << 20)
    med = [statistics.median(r[k] for r in rows) / 1e6 for k in range(4)]
    print(f"\nrecord length:     {rec.hdrlen + rec.length} bytes\n"
          f"medians:           floor {med[0]:.1f} ms, launcher {med[1]:.1f} ms (start-up mount to tar)\n"
          f"median ratio:      {ratio:.3f} (goal: at most 1.15) {'met' if ratio <= 1.15 else 'MISSED'}\n"
          f"median CPU ratio:  {statistics.median(r[3] / r[2] for r in rows):.3f} (launcher {med[3]:.1f} ms, "
          f"floor {med[2]:.1f} ms; user + system)\n"
          f"launcher peak RSS: {peak / 2**20:.1f} MiB (goal: at most {limit / 2**20:.1f} MiB, the record plus "
          f"16 MiB) {'met' if peak <= limit else 'MISSED'}")


if __name__ == "__main__":
    main()
