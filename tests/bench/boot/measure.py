"""measure.py BOARD MPBOARD FLOOR RUNS (run by scripts/bench-boot): the launcher's boot attempt on
slot 1's record, from its mount to its tar (both stamp.c), against the floor program, alternating.
"""

import os, statistics, subprocess, sys, time  # noqa: E401
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "pylib"))
from mppackage import records  # noqa: E402


def floor(program, slot, out):
    start = time.monotonic_ns()
    _, status, usage = os.wait4(subprocess.Popen([program, str(slot), str(out)]).pid, 0)
    if status != 0:
        sys.exit(f"floor failed on {slot}")
    return time.monotonic_ns() - start, (usage.ru_utime +
                                         usage.ru_stime) * 1e9, out.stat().st_size, 0


def launcher(board, mpboard):
    (stamps := board / "var/bench-stamps").unlink(missing_ok=True)
    proc = subprocess.run([mpboard, "run", str(board), "--clock-scale", "0"],
                          stdin=subprocess.DEVNULL, capture_output=True)
    seen = {n: list(map(int, v))
            for n, *v in map(str.split,
                             stamps.read_text().splitlines())} if stamps.exists() else {}
    if not {"mount", "tar"} <= seen.keys():
        out = proc.stdout.decode() + proc.stderr.decode()
        sys.exit(f"the boot did not reach tar (status {proc.returncode}):\n{out}")
    tar_ns, hwm_kb, size, cpu_us = seen["tar"]
    return tar_ns - seen["mount"][0], cpu_us * 1000, size, hwm_kb << 10


def main():
    board, mpboard, program, runs = Path(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
    slot, out = board / "user/images/image1", board / "tmp/floor-tarball"
    rec = records(slot.read_bytes()[:20])[0]
    floor(program, slot, out), launcher(board, mpboard)  # both find the slot file in the page cache
    rows = []
    for i in range(runs):  # neither always runs just after the other's clean-up
        got = {
            w: floor(program, slot, out) if w == "floor" else launcher(board, mpboard)
            for w in ("floor", "launcher")[::1 - 2 * (i % 2)]
        }
        if {got["floor"][2], got["launcher"][2]} != {rec.length}:
            sys.exit(f"tarballs of {got['launcher'][2]} and {got['floor'][2]} bytes, "
                     f"payload {rec.length}")
        rows.append((*got["floor"][:2], *got["launcher"][:2], got["launcher"][3]))
    med = [statistics.median(r[k] for r in rows) / 1e6 for k in range(4)]
    ratio, peak, limit = statistics.median(r[2] / r[0] for r in rows), max(
        r[4] for r in rows), rec.hdrlen + rec.length + (16 << 20)
    cpu = statistics.median(r[3] / r[1] for r in rows)
    print(f"medians:           floor {med[0]:.1f} ms, launcher {med[2]:.1f} ms "
          "(start-up mount to tar)\n"
          f"median ratio:      {ratio:.3f} (goal: at most 1.10) "
          f"{'met' if ratio <= 1.10 else 'MISSED'}\n"
          f"median CPU ratio:  {cpu:.3f} (launcher {med[3]:.1f} ms, "
          f"floor {med[1]:.1f} ms; user + system)\n"
          f"launcher peak RSS: {peak / 2**20:.1f} MiB (goal: at most {limit / 2**20:.1f} MiB, "
          f"the record plus 16 MiB) {'met' if peak <= limit else 'MISSED'}")


if __name__ == "__main__":
    main()
