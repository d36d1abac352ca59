"""Runs the Python benchmark: dodezero_vizu against FAISS IndexIVFFlat on Fashion-MNIST.

Usage: bench_faiss.py [--work-dir DIR] [--threads 1,8] [--lists 256,1024] [--probes 1,4,16,64]
[--plot PNG] [--report-only]. Run with /usr/bin/python3 and the module on PYTHONPATH (run_bench.sh
does both). DIR (default $PY_BENCH_DIR or /tmp/dz_python_bench) keeps the data, the exact
neighbours (made once and reused), each side's JSON record and our side's log.

Each side runs in a process of its own for each thread count, ours first, then FAISS (Debian's
generic python3-faiss, then the AVX2 build of bench/faiss/build_faiss_avx2.sh when present), so that
neither inherits the other's OpenMP and BLAS state, and each gets the OpenMP wait policy it does
best with (FAISS: passive; ours: the runtime's default). Both get OPENBLAS_NUM_THREADS=THREADS and
neither gets the OpenBLAS core-type overrides that some machines set. Then report.py prints one
table and writes the plot.
"""
import argparse
import os
import subprocess
import sys

import fashion_mnist
import report
from timing import load_average, timed

HERE = os.path.dirname(os.path.abspath(__file__))
# FAISS built for this processor by bench/faiss/build_faiss_avx2.sh (run_bench.sh builds it).
AVX2_FAISS = os.path.join(HERE, "..", "..", ".deps", "faiss-avx2", "python")


def side_env(threads, passive):
    env = dict(os.environ)
    for name in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE", "OMP_NUM_THREADS", "OMP_WAIT_POLICY"):
        env.pop(name, None)
    env["OPENBLAS_NUM_THREADS"] = str(threads)
    if passive:
        env["OMP_WAIT_POLICY"] = "PASSIVE"
    return env


def run_side(script, work_dir, threads, lists, probes, passive, name=None, python_path=None, extra=()):
    name = name or script.split("_")[0]
    out_json = os.path.join(work_dir, "%s_t%d.json" % (name, threads))
    log_path = os.path.join(work_dir, "%s_t%d.log" % (name, threads))
    print("[bench] %s, %d thread(s); load %s" % (name, threads, load_average()), file=sys.stderr, flush=True)
    env = side_env(threads, passive)
    if python_path:
        env["PYTHONPATH"] = python_path + (":" + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    with open(log_path, "w") as log:
        seconds, done = timed(lambda: subprocess.run(
            [sys.executable, os.path.join(HERE, script), work_dir, str(threads), out_json,
             ",".join(map(str, lists)), ",".join(map(str, probes))] + list(extra),
            stdout=log, env=env, check=False))
    if done.returncode != 0:
        sys.exit("%s failed (exit %d); its stdout is in %s" % (script, done.returncode, log_path))
    print("[bench] %s, %d thread(s) took %.0f s" % (name, threads, seconds), file=sys.stderr, flush=True)


def prepare(work_dir):
    """Makes the data and the exact neighbours once (the sides read them); returns their statistics.
    The arrays are dropped on return: the driver holds nothing while the sides run."""
    base, queries = fashion_mnist.load(work_dir)
    return fashion_mnist.ground_truth(work_dir, base, queries)[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work-dir", default=os.environ.get("PY_BENCH_DIR", "/tmp/dz_python_bench"))
    parser.add_argument("--threads", default="1,8")
    parser.add_argument("--lists", default="256,1024")
    parser.add_argument("--probes", default="1,4,16,64")
    parser.add_argument("--plot", default=os.path.join(HERE, "recall_qps.png"))
    parser.add_argument("--report-only", action="store_true", help="reprint the table and plot of the last run")
    args = parser.parse_args()
    threads = [int(v) for v in args.threads.split(",")]
    lists = [int(v) for v in args.lists.split(",")]
    probes = [int(v) for v in args.probes.split(",")]

    seconds, stats = timed(lambda: prepare(args.work_dir))
    print("[bench] data and exact neighbours ready in %.0f s" % seconds, file=sys.stderr, flush=True)
    if not args.report_only:
        for t in threads:
            run_side("ours_side.py", args.work_dir, t, lists, probes, passive=False)
            run_side("faiss_side.py", args.work_dir, t, lists, probes, passive=True)
            if os.path.isdir(AVX2_FAISS):
                run_side("faiss_side.py", args.work_dir, t, lists, probes, passive=True, name="faiss-avx2",
                         python_path=AVX2_FAISS, extra=["avx2"])
    records = report.load_records(args.work_dir, threads)
    print(report.table(records, stats))
    report.plot(records, args.plot)
    print("plot: %s (%d bytes)" % (args.plot, os.path.getsize(args.plot)))


if __name__ == "__main__":
    main()
