"""The report of run_wire_bench.sh: per store and thread count, for every n_probes, the bytes a
cold query received, its floor (those bytes at the loopback rate + opening its envelopes + 3 round
trips), the cold and warm query times and cold / floor, after and (when given) before.

Usage: wire_report.py AFTER_JSON [BEFORE_JSON]
"""
import json
import sys


def rows_of(store):
    return {(r["threads"], r["n_probes"]): r for r in store["rows"]}


def main():
    after = json.load(open(sys.argv[1]))
    before = json.load(open(sys.argv[2])) if len(sys.argv) > 2 else None
    runs = [("after", after)] + ([("before", before)] if before else [])
    for tag, run in runs:
        print(f"{tag}: loopback {run['loopback_gbs']:.2f} GB/s, load {run['load_start']} -> {run['load_end']}")
    stores_before = {s["store"]: s for s in before["stores"]} if before else {}
    for store in after["stores"]:
        name = store["store"]
        old = stores_before.get(name)
        print(f"\n{name}: round trip {store['round_trip_us']:.0f} us; upsert {store['upsert_s']:.2f} s"
              + (f" (before {old['upsert_s']:.2f} s)" if old else "")
              + f", training {store['train_s']:.2f} s" + (f" (before {old['train_s']:.2f} s)" if old else ""))
        head = "| threads | probes | MB received | floor ms | cold ms | cold / floor | warm ms |"
        if old:
            head = ("| threads | probes | MB received | floor ms | cold ms before | cold ms after | "
                    "cold / floor before | cold / floor after | warm ms before | warm ms after |")
        print(head)
        print("|" + "---|" * (head.count("|") - 1))
        old_rows = rows_of(old) if old else {}
        for key, r in sorted(rows_of(store).items()):
            o = old_rows.get(key)
            if o:
                print(f"| {key[0]} | {key[1]} | {r['received_mb']:.1f} | {r['floor_ms']:.2f} | {o['cold']['median_ms']:.2f}"
                      f" | {r['cold']['median_ms']:.2f} | {o['ratio']:.2f} | {r['ratio']:.2f}"
                      f" | {o['warm']['median_ms']:.2f} | {r['warm']['median_ms']:.2f} |")
            elif old:
                print(f"| {key[0]} | {key[1]} | {r['received_mb']:.1f} | {r['floor_ms']:.2f} | - | {r['cold']['median_ms']:.2f}"
                      f" | - | {r['ratio']:.2f} | - | {r['warm']['median_ms']:.2f} |")
            else:
                print(f"| {key[0]} | {key[1]} | {r['received_mb']:.1f} | {r['floor_ms']:.2f} | {r['cold']['median_ms']:.2f}"
                      f" | {r['ratio']:.2f} | {r['warm']['median_ms']:.2f} |")
        if store["restarts"]:
            old_restarts = {x["n_probes"]: x for x in old["restarts"]} if old else {}
            for x in store["restarts"]:
                o = old_restarts.get(x["n_probes"])
                print(f"first query after a restart, n_probes {x['n_probes']}: {x['first_ms']:.1f} ms"
                      + (f" (before {o['first_ms']:.1f} ms)" if o else ""))


if __name__ == "__main__":
    main()
