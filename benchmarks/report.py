#!/usr/bin/env python3
"""Turns the benchmark outputs into one table of ratios.

Usage: report.py NATIVE_JSON[,NATIVE_JSON...] [JVM_TXT[,JVM_TXT...]]

Several comma-separated files (runs of the same build) give the median of
their figures.

NATIVE_JSON is Google Benchmark's JSON output of hb_native_bench (run with
repetitions: the medians are used when present). JVM_TXT holds the lines
"name wall-ns cpu-ns" printed by the JVM driver. Times are CPU times (the
machine is shared; CPU time is what other processes disturb least). Ratios
are ours / peer (below 1.0 means ours is faster) unless the column says
otherwise.
"""
import json
import re
import sys


def load_native(path):
    with open(path) as f:
        data = json.load(f)
    times, counters = {}, {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = re.sub(r"/(min_time|iterations|repeats):[^/]*", "", b["run_name"])
        name = re.sub(r"/(\d+)/\1$", r"/\1", name)
        ns = b["cpu_time"] * {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
        times[name] = ns
        counters[name] = {k: v for k, v in b.items() if isinstance(v, (int, float))}
    return times, counters


def load_jvm(path):
    times = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2 and parts[0].startswith("jni/"):
                times[parts[0]] = float(parts[-1])
    return times


def fmt_time(ns):
    if ns is None:
        return "-"
    if ns >= 1e6:
        return "%.2f ms" % (ns / 1e6)
    if ns >= 1e3:
        return "%.1f us" % (ns / 1e3)
    return "%.0f ns" % ns


def ratio(a, b):
    if a is None or b is None or b == 0:
        return "-"
    return "%.2f" % (a / b)


def table(title, header, rows):
    print()
    print("### " + title)
    print()
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


def median_of(maps):
    merged = {}
    for key in {k for m in maps for k in m}:
        values = sorted(m[key] for m in maps if key in m)
        merged[key] = values[len(values) // 2]
    return merged


def main():
    runs = [load_native(path) for path in sys.argv[1].split(",")]
    native = median_of([times for times, _ in runs])
    counters = {}
    for name in sorted({n for _, c in runs for n in c}):
        having = [c[name] for _, c in runs if name in c]
        counters[name] = {key: sorted(h[key] for h in having if key in h)[
            len([h for h in having if key in h]) // 2] for key in having[0]}
    jvm = median_of([load_jvm(p) for p in sys.argv[2].split(",")]) if len(sys.argv) > 2 else {}
    t = native.get
    shapes = ["S", "M", "L"]

    rows = []
    for enc, floor in (("delimited", "floor_memchr"), ("prefixed", "floor_prefixed")):
        for kind, label in (("_tree", "tree from message"), ("", "message + tree")):
            for s in shapes:
                ours = t("read/ours_%s%s/%s" % (enc, kind, s))
                if ours is None:
                    continue
                simd = t("parse/simdjson/%s" % s)
                rapid = t("parse/rapidjson/%s" % s)
                fl = t("tokenize/%s/%s" % (floor, s))
                rows.append(["read %s (%s)" % (enc, label), s, fmt_time(ours), fmt_time(simd),
                             ratio(ours, simd), fmt_time(rapid), ratio(rapid, ours),
                             fmt_time(fl), ratio(ours, fl)])
    table("Read a record into a tree (the tree is destroyed inside the loop; "
          "'message + tree' also copies the text into a new message)",
          ["step", "shape", "ours", "simdjson DOM", "ours/simdjson", "RapidJSON",
           "RapidJSON/ours", "floor", "ours/floor"], rows)

    rows = []
    for s in ("M", "L"):
        for enc in ("delimited", "prefixed"):
            for kind, label in (("tree", "tree from message"), ("message", "message + tree")):
                c = counters.get("paired/%s_%s/%s" % (enc, kind, s))
                if c:
                    rows.append(["read %s (%s)" % (enc, label), s, fmt_time(c["ours_ns"]),
                                 fmt_time(c["simdjson_ns"]), "%.2f" % c["ratio"],
                                 fmt_time(c.get("rapidjson_ns")),
                                 "%.2f" % c["rapidjson_ratio"] if "rapidjson_ratio" in c
                                 else "-"])
    table("Read next to simdjson's and RapidJSON's DOM parses in the same loop (one after "
          "the other; the ratios of their CPU times)",
          ["step", "shape", "ours", "simdjson DOM", "ours/simdjson", "RapidJSON",
           "RapidJSON/ours"], rows)

    rows = []
    for enc in ("delimited", "prefixed"):
        for s in shapes:
            ours = t("write/ours_%s/%s" % (enc, s))
            simd = t("write/simdjson/%s" % s)
            rapid = t("write/rapidjson/%s" % s)
            rows.append(["write " + enc, s, fmt_time(ours), fmt_time(simd), ratio(ours, simd),
                         fmt_time(rapid), ratio(ours, rapid)])
    table("Write a tree to a record",
          ["step", "shape", "ours", "simdjson to_string", "ours/simdjson", "RapidJSON Writer",
           "ours/RapidJSON"], rows)

    rows = []
    for op, label in (("markVerbsAgainst", "markVerbsAgainst"), ("mergeDelta", "mergeDelta"),
                      ("applyDelta", "applyDelta"),
                      ("unordered_map_match", "peer: the matching alone in an unordered_map")):
        a, b, c = (t("tree/%s/%d" % (op, n)) for n in (1000, 10000, 100000))
        rows.append([label, fmt_time(a), fmt_time(b), fmt_time(c), ratio(b, a), ratio(c, b)])
    table("Tree operations on child arrays matched by keys (linear: growth <= 12 per 10x)",
          ["operation", "1,000", "10,000", "100,000", "10k/1k", "100k/10k"], rows)

    rows = []
    for what, ours_name in (("registry findSpec", "lookup/registry"),
                            ("isSubscribed", "subscribed/ours")):
        peer_name = "lookup/unordered_map" if "registry" in ours_name else \
            "subscribed/unordered_map"
        paired_name = "paired_lookup/registry" if "registry" in ours_name else \
            "paired_lookup/subscribed"
        for n in (10, 1000):
            ours, peer = t("%s/%d" % (ours_name, n)), t("%s/%d" % (peer_name, n))
            c = counters.get("%s/%d" % (paired_name, n), {})
            rows.append([what, str(n), fmt_time(ours), fmt_time(peer), ratio(ours, peer),
                         fmt_time(c.get("ours_ns")), fmt_time(c.get("map_ns")),
                         "%.2f" % c["ratio"] if "ratio" in c else "-"])
    table("Lookups next to std::unordered_map<std::string, ...> (string_view lookup): timed "
          "apart, and in the same loop (batches of 4096, one after the other)",
          ["lookup", "entries", "ours", "unordered_map", "ours/map", "ours (same loop)",
           "map (same loop)", "ours/map (same loop)"], rows)

    rows = []
    for enc in ("delimited", "prefixed"):
        c = counters.get("memory/ours_%s/L" % enc, {})
        if c:
            rows.append([enc, "%.0f" % c.get("text_bytes", 0), "%.0f" % c.get("tree_bytes", 0),
                         "%.2f" % c.get("tree_per_text_byte", 0)])
    table("Memory of a tree read from L (block sizes the allocator gives, counted at operator new)",
          ["encoding", "text bytes", "tree bytes", "tree/text"], rows)

    if jvm:
        rows = []
        for what, ours, peer in (("n_DoVerbFor", "jni/n_DoVerbFor/M", "jni/string_echo/M"),
                                 ("n_DoVerbForI18n", "jni/n_DoVerbForI18n/M",
                                  "jni/bytes_echo/M"),
                                 ("n_DoVerbFor", "jni/n_DoVerbFor/S", "jni/string_echo/S"),
                                 ("n_DoVerbForI18n", "jni/n_DoVerbForI18n/S",
                                  "jni/bytes_echo/S")):
            a, b = jvm.get(ours), jvm.get(peer)
            region = jvm.get(peer.replace("string_echo", "string_echo_region")) \
                if "string_echo" in peer else None
            rows.append([what + " " + ours[-1], fmt_time(a), fmt_time(b), ratio(a, b),
                         fmt_time(region), ratio(a, region)])
        for key in sorted(jvm):
            if key.startswith("jni/empty") or key.startswith("jni/lookup"):
                rows.append([key, fmt_time(jvm[key]), "-", "-", "-", "-"])
        table("JNI round trip (handler returns 1 unchanged) next to a raw echo of the same text "
              "(the String echo with GetStringUTFChars, and with GetStringUTFRegion as the "
              "library reads)",
              ["request", "ours", "raw echo", "ours/echo", "echo via region", "ours/region echo"],
              rows)

    # A request is at least its floor steps: the raw JNI echo of the same text,
    # the read and the write of the same record. What it costs beyond their
    # sum is the fixed cost of a request (object construction, status record,
    # lookups, upcalls). The text form takes the characters as the region echo
    # does and reads from them without a copy (the tree-from-message read);
    # the byte form copies the bytes once, into a buffer its thread keeps, and
    # reads them there (the message + tree read, which copies once into a new
    # message, stands for that).
    rows = []
    for form, echo, read, write in (
            ("n_DoVerbFor", "jni/string_echo_region/%s", "read/ours_delimited_tree/%s",
             "write/ours_delimited/%s"),
            ("n_DoVerbForI18n", "jni/bytes_echo/%s", "read/ours_prefixed/%s",
             "write/ours_prefixed/%s")):
        for s in shapes:
            req = jvm.get("jni/%s/%s" % (form, s)) if jvm else None
            steps = [jvm.get(echo % s) if jvm else None, t(read % s), t(write % s)]
            floor = sum(steps) if req is not None and None not in steps else None
            rows.append([form, s, fmt_time(req)] + [fmt_time(x) for x in steps] +
                        [fmt_time(floor), ratio(req, floor),
                         "%.0f" % (req - floor) if floor is not None else "-"])
    for enc in ("delimited", "prefixed"):
        for s in shapes:
            req = t("request/ours_%s/%s" % (enc, s))
            read_name = "read/ours_%s/%s" % (enc, s)
            steps = [t(read_name), t("write/ours_%s/%s" % (enc, s))]
            floor = sum(steps) if req is not None and None not in steps else None
            rows.append(["native request, " + enc, s, fmt_time(req), "-"] +
                        [fmt_time(x) for x in steps] +
                        [fmt_time(floor), ratio(req, floor),
                         "%.0f" % (req - floor) if floor is not None else "-"])
    table("A request against the sum of its floor steps (echo, read, write of the same record); "
          "fixed cost = request - floor sum, in ns. The native request runs message, tree, "
          "status, verb and write without the JVM",
          ["request", "shape", "request", "echo", "read", "write", "floor sum",
           "request/floor sum", "fixed cost (ns)"], rows)

    rows = []
    for s in shapes:
        row = [s]
        for step in ("read/ours_delimited", "read/ours_prefixed", "write/ours_delimited",
                     "write/ours_prefixed", "request/ours_delimited", "request/ours_prefixed"):
            c = counters.get("%s/%s" % (step, s), {})
            row.append("%.1f" % c["allocs"] if "allocs" in c else "-")
        rows.append(row)
    table("Calls of operator new per read, write and native request",
          ["shape", "read delimited", "read prefixed", "write delimited", "write prefixed",
           "request delimited", "request prefixed"], rows)


if __name__ == "__main__":
    main()
