"""The Python benchmark's report: one table of both sides with ratios, sanity checks, goals, and the
plot of recall against queries per second.

Reads the JSON records ours_side.py and faiss_side.py wrote (ours_tT.json, faiss_tT.json). Raises
FileNotFoundError for a missing record. Single-threaded use.
"""
import json
import math
import os

# The goals ours is held to against FAISS at the same lists, probes and threads.
RECALL_POINTS = 0.01
COLD_QPS_FACTOR = 2.0
WARM_QPS_FACTOR = 1.2
BUSY_CORES = 1.0


def load_records(work_dir, threads):
    records = {}
    for t in threads:
        records[t] = {}
        for side in ("ours", "faiss"):
            with open(os.path.join(work_dir, "%s_t%d.json" % (side, t))) as f:
                records[t][side] = json.load(f)
        # FAISS built for this processor, when the run had it.
        avx2 = os.path.join(work_dir, "faiss-avx2_t%d.json" % t)
        if os.path.exists(avx2):
            with open(avx2) as f:
                records[t]["faiss-avx2"] = json.load(f)
    return records


def pairs(records):
    """(threads, n_lists, ours record, FAISS record) of every list count run."""
    for t, sides in sorted(records.items()):
        faiss_lists = {r["n_lists"]: r for r in sides["faiss"]["lists"]}
        for ours in sides["ours"]["lists"]:
            yield t, ours["n_lists"], ours, faiss_lists[ours["n_lists"]]


def ratio(ours, peer):
    return ours / peer if peer > 0 else float("nan")


def sanity(records):
    """Texts of every figure that cannot be true or that says a run went wrong."""
    problems = []

    def check_series(label, points):
        for key in ("seconds", "qps"):
            if any(not (p[key] > 0 and math.isfinite(p[key])) for p in points):
                problems.append("%s: a %s that is not a positive number" % (label, key))
        # A query probing few lists may find fewer than 10 items in them; at the most probes each
        # query scans thousands of vectors, so a short answer there is a lost result.
        if points[-1]["short_rows"]:
            problems.append("%s: queries with fewer than 10 results at the most probes" % label)
        recalls = [p["recall"] for p in points]
        if any(not 0.0 <= r <= 1.0 for r in recalls):
            problems.append("%s: recall outside [0, 1]" % label)
        # More probes scan a superset of the lists: recall can only rise (ties aside).
        if any(b < a - 0.002 for a, b in zip(recalls, recalls[1:])):
            problems.append("%s: recall falls as n_probes rises: %s" % (label, recalls))

    conversions = sorted(q["warm"]["conversion_s"] for _, _, ours, _ in pairs(records) for q in ours["queries"])
    conversions_median = conversions[len(conversions) // 2]
    for t, n, ours, peer in pairs(records):
        for cache in ("cold", "warm"):
            check_series("ours %s t%d L%d" % (cache, t, n), [q[cache] for q in ours["queries"]])
        check_series("FAISS t%d L%d" % (t, n), peer["queries"])
        expected = records[t]["ours"]["base_items"]
        if ours["items_found_probing_all"] != expected:
            problems.append("ours t%d L%d: %d items found probing every list, not %d" % (
                t, n, ours["items_found_probing_all"], expected))
        if ours["kmeans"]["ms_per_round"] <= 0:
            problems.append("ours t%d L%d: the time per round is lost in the seeding's swings (100 rounds took "
                            "%.2f s, 0 rounds %.2f s): not shown" % (t, n, ours["kmeans"]["rounds100_s"],
                                                                     ours["kmeans"]["rounds0_s"]))
        figures = [ours["ingest_untrained"]["seconds"], ours["ingest_trained"]["seconds"], ours["train"]["seconds"],
                   peer["train"]["kmeans_s"], peer["train"]["ms_per_iteration"], peer["ingest"]["seconds"]]
        if any(not (v > 0 and math.isfinite(v)) for v in figures):
            problems.append("t%d L%d: an ingest or training time that is not a positive number" % (t, n))
        for q in ours["queries"]:
            cell = "ours t%d L%d p%d" % (t, n, q["n_probes"])
            if q["warm"]["conversion_s"] >= q["warm"]["seconds"]:
                problems.append("%s: conversion estimate not below the call" % cell)
            if q["warm"]["conversion_s"] > 3 * conversions_median:
                problems.append("%s: conversion estimate %.2f s, over 3 times the run's median %.2f s: a disturbed "
                                "call" % (cell, q["warm"]["conversion_s"], conversions_median))
            # A warm call skips the fetch and the decryption a cold one does, and scans as much:
            # much slower than cold means a disturbed call, or two trainings whose lists differ that much.
            if q["warm"]["qps"] < 0.8 * q["cold"]["qps"]:
                problems.append("%s: warm %.0f queries/s, under 0.8 of cold %.0f: suspect" % (
                    cell, q["warm"]["qps"], q["cold"]["qps"]))
    # Another process on the machine stretches every figure, above all those on 8 threads: each
    # part during which the others kept more than BUSY_CORES busy on average is named.
    for t, sides in sorted(records.items()):
        for side, record in sorted(sides.items()):
            for part in record["lists"]:
                if part["others_cores"] > BUSY_CORES:
                    problems.append("%s t%d L%d: other processes kept %.1f cores busy meanwhile" % (
                        side, t, part["n_lists"], part["others_cores"]))
    return problems


def table(records, gt_stats):
    lines = []
    add = lines.append
    any_record = next(iter(records.values()))
    add("Fashion-MNIST: 60,000 base vectors of 784, %d queries, recall@10 against the exact neighbours "
        "(%d queries tie at the 10th); FAISS %s" % (gt_stats["queries"], gt_stats["ties_at_k"],
                                                   any_record["faiss"].get("version", "?")))
    add("ratio x = ours / FAISS: for items/s and queries/s above 1 is faster; for times below 1 is faster")
    for t, sides in sorted(records.items()):
        add("load (1/5/15 min) at %d thread(s): ours %s -> %s, FAISS %s -> %s; cores other processes kept busy: %s" % (
            t, sides["ours"]["load_start"], sides["ours"]["load_end"], sides["faiss"]["load_start"],
            sides["faiss"]["load_end"], ", ".join("%s L%d %.1f" % (side, part["n_lists"], part["others_cores"])
                                                  for side in ("ours", "faiss") for part in sides[side]["lists"])))

    add("")
    add("INGEST (items/s; ours: upsert(ids, float32 array) in batches of 10,000; FAISS: IndexIVFFlat.add)")
    add("%3s %6s | %14s | %14s %12s %7s" % ("thr", "lists", "ours untrained", "ours trained", "FAISS add", "x"))
    for t, n, ours, peer in pairs(records):
        trained, add_rate = ours["ingest_trained"]["items_per_s"], peer["ingest"]["items_per_s"]
        add("%3d %6d | %14.0f | %14.0f %12.0f %7.2f" % (t, n, ours["ingest_untrained"]["items_per_s"], trained,
                                                        add_rate, ratio(trained, add_rate)))
    for t, sides in sorted(records.items()):
        d = sides["ours"]["ingest_dicts"]
        add("ours upsert(list of dicts), %d items, %d thread(s): %.0f items/s (building the dicts not timed)" % (
            d["items"], t, d["items_per_s"]))

    add("")
    add("TRAINING (ours: mini-batch rounds of 2,048 vectors after k-means++ seeding; FAISS: Lloyd iterations "
        "over all 60,000, random seeding)")
    add("%3s %6s | %9s %9s %7s %6s | %8s %8s %6s | %7s | %9s %9s %6s | %s" % (
        "thr", "lists", "ours ms/r", "FAISS ms", "x", "x/pt", "ours 10r", "FAISS 10", "x", "seed s", "train() s",
        "FAISS s", "x", "goal"))
    for t, n, ours, peer in pairs(records):
        k, pt = ours["kmeans"], peer["train"]
        train_s = min(ours["train"]["seconds"], ours["train"]["seconds_warm_index"])
        per_iter, ten = ratio(k["ms_per_round"], pt["ms_per_iteration"]), ratio(k["rounds10_s"], pt["kmeans_s"])
        # A difference at or below zero is the seeding's noise, not a time: shown as such, never as a figure.
        per_point = per_iter * pt["points"] / k["batch"]
        per_round = ("%9.2f %9.1f %7.3f %6.2f" % (k["ms_per_round"], pt["ms_per_iteration"], per_iter, per_point)
                     if per_iter > 0 else "%9s %9.1f %7s %6s" % ("noise", pt["ms_per_iteration"], "-", "-"))
        add("%3d %6d | %s | %8.2f %8.2f %6.2f | %7.2f | %9.2f %9.2f %6.2f | %s" % (
            t, n, per_round, k["rounds10_s"], pt["kmeans_s"], ten, k["rounds0_s"], train_s, pt["total_s"],
            ratio(train_s, pt["total_s"]), "ok" if per_iter <= 1 and ten <= 1 else "MISS"))
    add("  ms/r: one round (ours, 2,048 vectors) and one iteration (FAISS, 60,000 vectors); ours = (k-means of 100 "
        "rounds - of 0) / 100, FAISS from its iteration statistics; x/pt: the same per vector assigned (a FAISS "
        "iteration assigns 29 times the vectors of one of our rounds)")
    add("  10r / 10: k-means of 10 rounds / iterations, seeding included (ours through train_and_serialize, "
        "which also copies the array in); seed s: ours with 0 rounds; k-means times the fastest of 5 calls when a "
        "call takes under 10 s")
    add("  goal: no slower than FAISS at equal iterations, per iteration and over 10 with the seeding")
    add("  train() s: ours train() with its defaults (100 rounds; fetch, decrypt, k-means, re-file and re-encrypt "
        "60,000 items; the faster of the two indexes') against FAISS k-means of 10 iterations (its IVF default) "
        "+ add()")

    add("")
    add("QUERIES (all 10,000 in one call, top_k 10; qps = queries/s; ours cold: no cache; warm: cache of every list, "
        "after one untimed pass)")
    add("%3s %6s %4s | %6s %9s | %9s %7s | %9s %7s | %9s %7s | %6s %6s %6s | %s" % (
        "thr", "lists", "prb", "scan/q", "FAISS qps", "cold qps", "x", "warm qps", "x", "native", "conv s", "FAISS",
        "cold", "warm", "goals"))
    for t, n, ours, peer in pairs(records):
        peer_by_p = {q["n_probes"]: q for q in peer["queries"]}
        for q in ours["queries"]:
            p, f = q["n_probes"], peer_by_p[q["n_probes"]]
            cold, warm = q["cold"], q["warm"]
            misses = []
            if cold["qps"] < f["qps"] / COLD_QPS_FACTOR:
                misses.append("cold qps")
            if warm["qps"] < f["qps"] / WARM_QPS_FACTOR:
                misses.append("warm qps")
            for cache, r in (("cold", cold), ("warm", warm)):
                if r["recall"] < f["recall"] - RECALL_POINTS:
                    misses.append(cache + " recall")
            add("%3d %6d %4d | %6.0f %9.0f | %9.0f %7.2f | %9.0f %7.2f | %9.0f %7.3f | %6.3f %6.3f %6.3f | %s" % (
                t, n, p, f["scanned_per_query"], f["qps"], cold["qps"], ratio(cold["qps"], f["qps"]), warm["qps"],
                ratio(warm["qps"], f["qps"]), warm["native_qps"], warm["conversion_s"], f["recall"], cold["recall"],
                warm["recall"], "ok" if not misses else "MISS: " + ", ".join(misses)))
    short = ["%s t%d L%d p%d: %d" % (label, t, n, q["n_probes"], r["short_rows"])
             for t, n, ours, peer in pairs(records)
             for label, series in (("ours cold", [q["cold"] for q in ours["queries"]]),
                                   ("ours warm", [q["warm"] for q in ours["queries"]]), ("FAISS", peer["queries"]))
             for q, r in zip(ours["queries"], series) if r["short_rows"]]
    add("  queries with fewer than 10 results (their probed lists hold fewer than 10 items): " +
        (", ".join(short) if short else "none"))
    add("  scan/q: vectors FAISS scans per query (the sizes of the lists it probes); each time the fastest of 3 "
        "calls when a call takes under 10 s, else of one")
    add("  native: warm qps without the estimated conversion of the answer into Python dicts (conv s = 10/9 of the "
        "warm call at top_k 10 minus the same at top_k 1)")
    add("  goals: recall within %.0f point of FAISS, queries/s within %gx of FAISS cold and %gx warm" % (
        100 * RECALL_POINTS, COLD_QPS_FACTOR, WARM_QPS_FACTOR))
    add("  ours cold and warm are two indexes, each trained by its own train(): their recalls differ as two "
        "k-means runs do")

    avx2_rows = [(t, n, ours, {p["n_lists"]: p for p in records[t]["faiss-avx2"]["lists"]}[n])
                 for t, n, ours, _ in pairs(records) if "faiss-avx2" in records[t]]
    if avx2_rows:
        add("")
        add("QUERIES against FAISS built with AVX2 (bench/faiss/build_faiss_avx2.sh), the same calls; x = ours / FAISS "
            "in queries/s")
        add("%3s %6s %4s | %9s | %9s %7s | %9s %7s | %6s %6s" % (
            "thr", "lists", "prb", "AVX2 qps", "cold qps", "x", "warm qps", "x", "AVX2", "cold"))
        for t, n, ours, peer in avx2_rows:
            peer_by_p = {q["n_probes"]: q for q in peer["queries"]}
            for q in ours["queries"]:
                f = peer_by_p[q["n_probes"]]
                add("%3d %6d %4d | %9.0f | %9.0f %7.2f | %9.0f %7.2f | %6.3f %6.3f" % (
                    t, n, q["n_probes"], f["qps"], q["cold"]["qps"], ratio(q["cold"]["qps"], f["qps"]),
                    q["warm"]["qps"], ratio(q["warm"]["qps"], f["qps"]), f["recall"], q["cold"]["recall"]))

    add("")
    problems = sanity(records)
    add("SANITY: " + ("every figure checked is possible" if not problems else
                      "%d problem(s)" % len(problems)))
    lines.extend("  " + p for p in problems)
    return "\n".join(lines)


def plot(records, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    threads = sorted(records)
    fig, axes = plt.subplots(1, len(threads), figsize=(5.2 * len(threads), 4.2), sharey=True, squeeze=False)
    styles = {256: "-", 1024: "--"}
    for ax, t in zip(axes[0], threads):
        for _, n, ours, peer in (x for x in pairs(records) if x[0] == t):
            style = styles.get(n, ":")
            series = [("FAISS", "tab:orange", "o", peer["queries"]),
                      ("ours cold", "tab:blue", "s", [q["cold"] for q in ours["queries"]]),
                      ("ours warm", "tab:green", "^", [q["warm"] for q in ours["queries"]])]
            for label, color, marker, points in series:
                ax.plot([p["qps"] for p in points], [p["recall"] for p in points], style, color=color, marker=marker,
                        markersize=4, linewidth=1.2, label="%s, %d lists" % (label, n))
            for q in peer["queries"]:
                ax.annotate(str(q["n_probes"]), (q["qps"], q["recall"]), textcoords="offset points", xytext=(-4, 4),
                            fontsize=7, color="tab:orange", ha="right")
        ax.set_xscale("log")
        ax.set_title("%d thread%s" % (t, "" if t == 1 else "s"), fontsize=10)
        ax.set_xlabel("queries per second (10,000 per call, log scale)", fontsize=9)
        ax.grid(True, which="both", linewidth=0.3)
        ax.tick_params(labelsize=8)
    axes[0][0].set_ylabel("recall@10", fontsize=9)
    axes[0][-1].legend(fontsize=7, loc="lower left")
    fig.suptitle("Fashion-MNIST, IVF-Flat: recall@10 against queries/s (labels: n_probes)", fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
