"""Prints the index benchmark: ours and FAISS side by side with the time ratio, where our time
goes, sanity checks on both sides' figures, and the goals met or missed.

Usage: report.py DATA_DIR NAME... Reads, for every thread count T run, ours_NAME_tT.json
(index_bench), faiss_NAME_tT.json and, when present, faiss-avx2_NAME_tT.json (faiss_peer.py) from
DATA_DIR. The ratio is always ours / FAISS in time:
for a rate it is FAISS's rate over ours, so below 1 means we are faster everywhere.
"""
import json
import os
import sys

# Above this, an empty OpenMP region is waiting for threads other processes took the cores from.
REGION_LIMIT_US = 100.0
BUSY_SHARE_LIMIT = 0.1
PARTS = ("prefilter", "probes", "fetch", "search", "fetch_search", "kmeans", "seeding", "encode", "add")


def fmt(v, unit):
    if v is None:
        return "-"
    if unit in ("items/s", "q/s"):
        return "{:,.0f}".format(v)
    if unit == "recall":
        return "%.4f" % v
    return "%.3f" % v if v < 10 else "%.1f" % v


class Table:
    def __init__(self, threads):
        self.rows = []
        self.problems = []
        self.threads = threads

    def add(self, label, unit, ours, peer, note="", sample=None):
        """Adds a row; returns (ratio, busy). Busy: our side ran while OpenMP regions waited for cores
        (the probes around the sample, or more than a tenth of the probes after its calls); on one
        thread nothing waits for another."""
        region = sample.get("region_us", 0.0) if sample else 0.0
        share = sample.get("busy_share", 0.0) if sample else 0.0
        busy = self.threads > 1 and (region > REGION_LIMIT_US or share > BUSY_SHARE_LIMIT)
        if busy:
            note = (note + "; " if note else "") + "BUSY: region %.0f us, %.0f%% of calls" % (region, 100 * share)
        ratio = None
        if ours is not None and peer is not None:
            if ours <= 0 or peer <= 0:
                self.problems.append("%s: a figure that cannot be true (ours %r, FAISS %r)" % (label, ours, peer))
            elif unit in ("items/s", "q/s"):
                ratio = peer / ours
            else:
                ratio = ours / peer
        self.rows.append((label, unit, fmt(ours, unit), fmt(peer, unit), "%.2f" % ratio if ratio else "-", note))
        return ratio, busy

    def add_recall(self, label, ours, peer, note=""):
        diff = "%+.2f pts" % (100 * (ours - peer))
        for v in (ours, peer):
            if not 0.0 <= v <= 1.0:
                self.problems.append("%s: recall %r out of range" % (label, v))
        self.rows.append((label, "recall", fmt(ours, "recall"), fmt(peer, "recall"), diff, note))

    def show(self):
        print("  %-40s %-8s %12s %12s %10s  %s" % ("", "unit", "ours", "FAISS", "ours/FAISS", ""))
        for r in self.rows:
            print("  %-40s %-8s %12s %12s %10s  %s" % r)


def parts_line(s):
    bits = ["%s %.2f" % (p, s["parts_ms"][p]) for p in PARTS if p in s["parts_ms"]]
    return "%s | other %.2f | mean %.2f ms" % ("  ".join(bits), s["other_ms"], s["mean_ms"])


def check_parts(table, label, s):
    # The stages are parts of the call: together they cannot take longer than it.
    if s["other_ms"] < -0.02 * s["mean_ms"] - 0.01:
        table.problems.append("%s: stages add up to more than the call (other %.3f ms)" % (label, s["other_ms"]))


def report_threads(ds, ours, peer, goals, busy, avx2):
    t = ours["threads"]
    p = ds["params"]
    where = "%s threads %d" % (ds["dataset"], t)
    print("\n== %s: %s x %s, %s queries, %d lists, top %d | threads %d" % (
        ds["dataset"], "{:,}".format(ds["n"]), ds["dim"], "{:,}".format(ds["queries"]), p["n_lists"], p["top_k"], t))
    print("  load (1/5/15 min): ours %s -> %s, FAISS %s -> %s; one OpenMP region on %d threads: %.1f -> %.1f us"
          % (ours["load_start"], ours["load_end"], peer["load_start"], peer["load_end"], t, ours["region_us_start"],
             ours["region_us_end"]))
    region = max(ours["region_us_start"], ours["region_us_end"])
    if region > REGION_LIMIT_US:
        busy.append("%s: a region took %.0f us (idle: a few); its parallel figures measure the machine's load" % (where, region))
    tab = Table(t)
    n = ds["n"]

    up_before = ours["upsert_untrained_items_per_s"]
    up_after = ours["upsert_trained_items_per_s"]
    _, before_busy = tab.add("upsert before training", "items/s", up_before, peer["flat_add_items_per_s"],
                             "FAISS IndexFlatL2.add", ours["upsert_untrained"])
    _, after_busy = tab.add("upsert after training", "items/s", up_after, peer["ivf_add_items_per_s"],
                            "FAISS IndexIVFFlat.add, same centroids", ours["upsert_trained"])
    tab.add("exhaustive query, 1 of %s" % "{:,}".format(n), "ms", ours["untrained_query"]["median_ms"],
            peer["flat_query"]["median_ms"], "untrained index; FAISS IndexFlatL2", ours["untrained_query"])
    if avx2:
        tab.add("  against FAISS built with AVX2", "ms", ours["untrained_query"]["median_ms"],
                avx2["flat_query"]["median_ms"], "", ours["untrained_query"])
    rounds, batch = p["train_rounds"], p["train_batch"]
    train = tab.add("training, %d rounds / iterations" % rounds, "s", ours["train"]["mean_ms"] / 1e3,
                    peer["train"]["total_s"], "TrainIndex, mini-batch %d | full-batch Lloyd + add" % batch,
                    ours["train"])
    tab.add("  same, second training", "s", ours["train_second"]["mean_ms"] / 1e3, peer["train"]["total_s"],
            "warm index's TrainIndex", ours["train_second"])
    per_round = tab.add("  k-means per round, %d points" % batch, "ms", ours["train_rounds_ms_per_round"],
                        peer["train_sample"]["ms_per_iteration"], "FAISS on a %d-point sample" % batch,
                        ours["train"])
    full = tab.add("  k-means per round, all %s points" % "{:,}".format(n), "ms",
                   ours["train_full_batch_ms_per_round"], peer["train"]["ms_per_iteration"],
                   "ours: kernel alone, %d rounds" % p["full_batch_rounds"], ours["train_full_batch_kernel"])
    peer_q = {q["n_probes"]: q for q in peer["queries"]}
    avx2_q = {q["n_probes"]: q for q in avx2["queries"]} if avx2 else {}
    ours_q = {(q["n_probes"], q["cache"]): q for q in ours["queries"]}
    for probes in p["n_probes"]:
        f = peer_q[probes]
        for cache in ("cold", "warm"):
            o = ours_q[(probes, cache)]
            r = tab.add("1 query, n_probes %d, %s" % (probes, cache), "ms", o["single"]["median_ms"],
                        f["single"]["median_ms"], "median of %d" % o["single"]["reps"], o["single"])
            goals.append((cache, "%s, 1 query, n_probes %d" % (where, probes)) + r)
            if probes in avx2_q:
                tab.add("  against FAISS built with AVX2", "ms", o["single"]["median_ms"],
                        avx2_q[probes]["single"]["median_ms"], "", o["single"])
        for cache in ("cold", "warm"):
            o = ours_q[(probes, cache)]
            r = tab.add("%s queries, n_probes %d, %s" % ("{:,}".format(p["batch_queries"]), probes, cache), "q/s",
                        o["batch_qps"], f["batch_qps"], "one call, median of %d" % o["batch"]["reps"],
                        o["batch"])
            goals.append((cache, "%s, %d queries, n_probes %d" % (where, p["batch_queries"], probes)) + r)
            if probes in avx2_q:
                tab.add("  against FAISS built with AVX2", "q/s", o["batch_qps"], avx2_q[probes]["batch_qps"], "",
                        o["batch"])
    for probes in p["n_probes"]:
        o = ours_q[(probes, "cold")]
        f = peer_q[probes]
        tab.add_recall("recall@10, n_probes %d, same centroids" % probes, o["recall_at_10"], f["recall_at_10"],
                       "ids in common with ours: %.4f" % f["agreement_with_ours"])
        tab.add_recall("recall@10, n_probes %d, own training" % probes, o["recall_at_10"],
                       peer["own_training_recall_at_10"][str(probes)], "each side's own k-means")
        goals.append(("recall", "%s, n_probes %d, same centroids" % (where, probes),
                      100 * (f["recall_at_10"] - o["recall_at_10"]), False))
        goals.append(("recall", "%s, n_probes %d, own training" % (where, probes),
                      100 * (peer["own_training_recall_at_10"][str(probes)] - o["recall_at_10"]), False))
        if f["agreement_with_ours"] < 0.99:
            tab.problems.append("n_probes %d: only %.4f of the ids agree with FAISS on the same centroids"
                                % (probes, f["agreement_with_ours"]))
    goals.append(("train", "%s, total" % where) + train)
    goals.append(("train", "%s, per round at %d points" % (where, batch)) + per_round)
    goals.append(("train", "%s, per round at all points" % where) + full)
    if ds["dim"] == 784:
        goals.append(("upsert", "%s, before training" % where, up_before, before_busy))
        goals.append(("upsert", "%s, after training" % where, up_after, after_busy))
    tab.show()

    print("  where our time goes (mean ms per call):")
    lines = [("upsert before training", ours["upsert_untrained"]), ("upsert after training", ours["upsert_trained"]),
             ("exhaustive query", ours["untrained_query"]), ("training", ours["train"])]
    for probes in p["n_probes"]:
        for cache in ("cold", "warm"):
            o = ours_q[(probes, cache)]
            lines.append(("1 query, n_probes %d, %s" % (probes, cache), o["single"]))
            lines.append(("%d queries, n_probes %d, %s" % (p["batch_queries"], probes, cache), o["batch"]))
    for label, s in lines:
        print("    %-32s %s" % (label, parts_line(s)))
        check_parts(tab, label, s)

    # FAISS scans a list no faster per vector than its flat index scans everything.
    flat_rate = n / peer["flat_query"]["median_ms"]
    print("  sanity: FAISS vectors scanned per ms, one query: flat %.0f" % flat_rate, end="")
    for probes in p["n_probes"]:
        f = peer_q[probes]
        rate = f["scanned_per_single_query"] / f["single"]["median_ms"]
        print(", n_probes %d %.0f (%.0f vectors)" % (probes, rate, f["scanned_per_single_query"]), end="")
        if rate > 3 * flat_rate:
            tab.problems.append("FAISS n_probes %d scans %.0f vectors/ms, over 3x its flat search" % (probes, rate))
    print()
    if ours["warm_rows_differing_from_cold"]:
        tab.problems.append("%d query rows differ between the warm and the cold index"
                            % ours["warm_rows_differing_from_cold"])
    for problem in tab.problems:
        print("  CHECK: " + problem)
    return not tab.problems


def print_goals(goals):
    print("\n== goals")

    def verdict(kind, test, text):
        picked = [g for g in goals if g[0] == kind]
        if not picked:
            return
        misses = [g for g in picked if g[2] is None or not test(g[2])]
        busy = sum(1 for g in misses if g[3])
        print("  %-58s %s" % (text, "met" if not misses else "MISSED in %d of %d%s:" % (
            len(misses), len(picked), " (%d measured busy)" % busy if busy else "")))
        for _, where, v, was_busy in misses:
            print("      %s: %s%s" % (where, "-" if v is None else "%.2f" % v, "  (busy)" if was_busy else ""))

    verdict("upsert", lambda v: v >= 50000, "upsert >= 50,000 items/s at dimension 784 (items/s)")
    verdict("cold", lambda v: v <= 2.0, "cold query within 2x of FAISS (ratio)")
    verdict("warm", lambda v: v <= 1.2, "warm query within 1.2x of FAISS (ratio)")
    verdict("recall", lambda v: v <= 1.0, "recall@10 within 1 point of FAISS (FAISS - ours, pts)")
    verdict("train", lambda v: v <= 1.0, "training no slower than FAISS at equal iterations (ratio)")


LEGEND = """Index benchmark on the memory store, ours against FAISS IndexIVFFlat (L2) in the same run.
  ratio: ours / FAISS in time (for a rate, FAISS's rate over ours): below 1, ours is faster.
  FAISS is Debian's generic build (no SIMD in its scans); 'against FAISS built with AVX2' rows compare the
  same figure of ours with the same FAISS run built for this processor (bench/faiss/build_faiss_avx2.sh).
  cold: index created with max_cache_size 0; warm: a cache of every list, each query run once before timing.
  FAISS queries run on an IndexIVFFlat built on our trained centroids, so both probe the same lists;
  'own training' recall is FAISS on its own k-means. Training: ours TrainIndex (fetch, k-means++ seeding,
  mini-batch rounds, re-filing every item) against FAISS full-batch Lloyd iterations plus add, at equal
  iterations; per-round rows compare equal points per round."""


def main():
    data_dir = sys.argv[1]
    print(LEGEND)
    goals = []
    busy = []
    sound = True
    for name in sys.argv[2:]:
        prefix = "ours_%s_t" % name
        threads = sorted(int(f[len(prefix):-5]) for f in os.listdir(data_dir)
                         if f.startswith(prefix) and f.endswith(".json"))
        if not threads:
            sys.exit("no %s*.json in %s" % (prefix, data_dir))
        for t in threads:
            with open(os.path.join(data_dir, "%s%d.json" % (prefix, t))) as f:
                ds = json.load(f)
            with open(os.path.join(data_dir, "faiss_%s_t%d.json" % (name, t))) as f:
                peer = json.load(f)
            avx2 = None
            avx2_path = os.path.join(data_dir, "faiss-avx2_%s_t%d.json" % (name, t))
            if os.path.exists(avx2_path):
                with open(avx2_path) as f:
                    avx2 = json.load(f)
            sound &= report_threads(ds, ds["run"], peer, goals, busy, avx2)
    print_goals(goals)
    for line in busy:
        print("  LOAD: " + line)
    if not sound:
        print("\nSome figures failed their sanity checks (CHECK lines): rerun before quoting them.")
        sys.exit(1)


if __name__ == "__main__":
    main()
