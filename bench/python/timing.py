"""Clocks shared by both sides of the Python benchmark: a timed call, the best of a few calls, the
machine's load. Nothing here throws but what the timed call throws; single-threaded use.
"""
import os
import time

# A call shorter than REPEAT_BELOW_S is made three times (k-means: KMEANS_CALLS times) and the
# fastest kept: the machine is shared, and another process that takes a core for a moment
# stretches a call (above all one with OpenMP barriers) by more than the call costs. A longer call
# is made once, which keeps FAISS's single-thread scans (minutes) within the run's budget and
# averages such moments out anyway. Both sides are timed by this rule.
KMEANS_CALLS = 5
REPEAT_BELOW_S = 10.0


def cpu_snapshot():
    """(wall seconds, CPU seconds the whole machine has been busy, CPU seconds of this process)."""
    with open("/proc/stat") as f:
        values = [int(v) for v in f.readline().split()[1:9]]  # user nice system idle iowait irq softirq steal
    busy = sum(values) - values[3] - values[4]
    own = os.times()
    return time.monotonic(), busy / os.sysconf("SC_CLK_TCK"), own.user + own.system


def other_cores(start, end):
    """Cores that other processes kept busy on average between two snapshots.

    The load average cannot tell: it counts this process's own threads, spinning ones too. The
    machine's busy time less this process's is what the others took.
    """
    wall = end[0] - start[0]
    return max(0.0, (end[1] - start[1]) - (end[2] - start[2])) / wall if wall > 0 else 0.0


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def timed(fn):
    """(seconds, result) of one call."""
    t0 = time.perf_counter()
    result = fn()
    return time.perf_counter() - t0, result


def best_of_calls(fn, calls=3):
    """(fastest seconds, every call's seconds, result of the first call). Only the first result is
    kept: each later one is dropped as soon as its call returns."""
    first, result = timed(fn)
    seconds = [first]
    if first < REPEAT_BELOW_S:
        for _ in range(calls - 1):
            seconds.append(timed(fn)[0])
    return min(seconds), seconds, result
