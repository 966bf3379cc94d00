"""measure.py MPIMAGE REFERENCE PACKAGE RUNS (run by scripts/bench-verify): whole-process times of
`mpimage verify PACKAGE` and of the streamed zlib reference on the same file, in pairs whose order
alternates, both reading from the page cache."""

import os, statistics, subprocess, sys, time  # noqa: E401


def timed(argv):
    start = time.monotonic_ns()
    _, status, usage = os.wait4(subprocess.Popen(argv, stdout=subprocess.DEVNULL).pid, 0)
    if status != 0:
        sys.exit(f"{argv[0]} failed (status {status})")
    return time.monotonic_ns() - start, (usage.ru_utime + usage.ru_stime) * 1e9


def main():
    mpimage, reference, package, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    commands = {"mpimage": [mpimage, "verify", package], "reference": [reference, package]}
    for argv in commands.values():  # the file in the page cache for both
        timed(argv)
    pairs = []
    for i in range(runs):
        order = ("mpimage", "reference")[::1 - 2 * (i % 2)]
        got = {name: timed(commands[name]) for name in order}
        pairs.append((got["mpimage"], got["reference"]))
    ratio = statistics.median(m[0] / r[0] for m, r in pairs)
    med = [statistics.median(p[w][k] for p in pairs) / 1e6 for w in (0, 1) for k in (0, 1)]
    print(
        f"medians:      mpimage verify {med[0]:.1f} ms, reference {med[2]:.1f} ms (wall)\n"
        f"median ratio: {ratio:.3f} (goal: at most 0.95) {'met' if ratio <= 0.95 else 'MISSED'}\n"
        f"CPU medians:  mpimage verify {med[1]:.1f} ms, reference {med[3]:.1f} ms (user + system)")


if __name__ == "__main__":
    main()
