"""build_fullmap_db against a plain-Python version of the same job.

Input: bench/gen_fullmap.py's data (1,000,000 concepts by default, made once
under build/bench-data, or --data-dir). Every run is a child process on a
warm page cache, so that its peak RSS is its own. Figures: MB/s of
uncompressed input (plain and gzip input, and at 1, 2, 4 and 8 threads),
peak RSS, and the speed-up over the Python baseline (json.loads, the term
rules, a dict, pickle), which runs on a subset of the input and is compared
per MB; --subset-mb 0 runs it on the whole input instead (a minute or more),
so that the ratio and the peak RSS compare at the same size.

    .venv/bin/python bench/fullmap_build.py [--concepts N] [--data-dir DIR] [--subset-mb N]
                                            [--repeat N]
"""
import argparse
import json
import os
import pickle
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gen_fullmap  # noqa: E402

# ---- the Python baseline: the same job, as far as plain Python goes ----

STOP = {"na", "nan", "none", "null", "result", "symbol", "unknown", "p_value", "exposure",
        "expression", "not applicable"}
REJECT = ("inchikey", "uncharacterized", "hypothetical")
NOT_LEVEL_TWO = re.compile(r"[^A-Za-z0-9_]")
LEVEL_ONE_ONLY = re.compile(r"[a-z0-9_]*")


def clean_slice(s):
    while True:
        t = s.strip()
        if len(t) >= 2 and t[0] in "\"'":
            q = t[0]
            if t[1] == q:
                t = t[1:]
            elif t[-1] == q:
                t = t[1:-1]
        if t == s:
            return t
        s = t


def token_ok(t):
    return bool(t) and "\t" not in t and "\n" not in t and "\r" not in t and \
        not any(r in t for r in REJECT) and not t.isdigit() and t not in STOP


def emit(raw, posting, terms):
    k1 = clean_slice(raw).lower()
    if not token_ok(k1):
        return
    terms.setdefault(k1, []).append(posting)
    if not LEVEL_ONE_ONLY.fullmatch(k1):
        k2 = NOT_LEVEL_TWO.sub("", k1)
        if k2 != k1 and token_ok(k2):
            terms.setdefault(k2, []).append(posting)


def python_build(out, classes, synonyms):
    equiv = {}
    for path in classes:
        with open(path, encoding="utf-8") as f:
            for line in f:
                if not line.strip():
                    continue
                row = json.loads(line)
                ids = [x if isinstance(x, str) else x.get("identifier") or x.get("id")
                       for x in row["equivalent_identifiers"]]
                key = row.get("id") or ids[0]
                equiv.setdefault(key, set()).update(i for i in ids if i)
    prefixes, categories, sources, curie_ids, rows, terms = {}, {}, {}, {}, {}, {}
    for path in synonyms:
        source = sources.setdefault(os.path.basename(path).split(".")[0], len(sources))
        with open(path, encoding="utf-8") as f:
            for line in f:
                if not line.strip():
                    continue
                row = json.loads(line)
                curie = row.get("curie") or row.get("id")
                if not curie or ":" not in curie:
                    continue
                prefix, local = curie.split(":", 1)
                if not prefix or not local:
                    continue
                p = prefixes.setdefault(prefix, len(prefixes))
                types = row.get("types") or ["NamedThing"]
                c = categories.setdefault(types[0].removeprefix("biolink:"), len(categories))
                taxa = row.get("taxa") or [""]
                try:
                    taxon = int(taxa[0].removeprefix("NCBITaxon:"))
                except ValueError:
                    taxon = 0
                cid = curie_ids.get(curie)
                if cid is None:
                    cid = curie_ids[curie] = len(curie_ids)
                    rows[cid] = (p, local, clean_slice(row.get("preferred_name") or curie), c,
                                 taxon)
                posting = (cid, source)
                for n in row.get("names", ()):
                    emit(n, posting, terms)
                emit(curie, posting, terms)
                for e in sorted(equiv.get(curie, ())):
                    emit(e, posting, terms)
    records = {t: sorted(set(p)) for t, p in terms.items()}
    with open(out, "wb") as f:
        pickle.dump((prefixes, categories, sources, rows, records), f,
                    protocol=pickle.HIGHEST_PROTOCOL)
    return len(records)


# ---- the runs ----

def child(which, out, threads, classes, synonyms):
    start = time.perf_counter()
    if which == "rs":
        import rs
        rs.build_fullmap_db(out, classes, synonyms, threads=int(threads))
        records = None
    else:
        records = python_build(out, classes, synonyms)
    seconds = time.perf_counter() - start
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({"seconds": seconds, "rss_mib": usage.ru_maxrss / 1024,
                      "cpu": usage.ru_utime + usage.ru_stime, "records": records}))


def run_child(which, out, threads, classes, synonyms):
    args = [sys.executable, os.path.abspath(__file__), "--child", which, out, str(threads),
            json.dumps(classes), json.dumps(synonyms)]
    r = subprocess.run(args, check=True, capture_output=True, text=True)
    return json.loads(r.stdout)


def warm(paths):
    for p in paths:
        with open(p, "rb") as f:
            while f.read(1 << 24):
                pass


def subset(paths, directory, megabytes):
    """The first lines of each file, megabytes in all, as new files."""
    out = []
    per_file = megabytes * 1_000_000 // len(paths)
    for p in paths:
        dst = os.path.join(directory, "subset-" + os.path.basename(p))
        with open(p, "rb") as fin, open(dst, "wb") as fout:
            fout.writelines(fin.readlines(per_file))
        out.append(dst)
    return out


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--concepts", type=int, default=1_000_000)
    parser.add_argument("--data-dir", default=gen_fullmap.DEFAULT_DIR)
    parser.add_argument("--subset-mb", type=int, default=40)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--child", nargs=5, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        which, out, threads, classes, synonyms = args.child
        child(which, out, threads, json.loads(classes), json.loads(synonyms))
        return

    t = time.perf_counter()
    classes, synonyms, gz = gen_fullmap.generate(args.concepts, args.data_dir)
    size = sum(os.path.getsize(p) for p in classes + synonyms)
    print(f"input: {args.concepts} concepts, {size / 1e6:.0f} MB uncompressed "
          f"({len(synonyms)} synonyms, {len(classes)} classes files; ready in "
          f"{time.perf_counter() - t:.0f} s)")
    warm(classes + synonyms + gz)
    with tempfile.TemporaryDirectory(dir=os.path.dirname(synonyms[0])) as tmp:
        out = os.path.join(tmp, "bench.qdb")

        def rs_run(threads, syn):
            runs = [run_child("rs", out, threads, classes, syn) for _ in range(args.repeat)]
            secs = statistics.median(r["seconds"] for r in runs)
            cpu = statistics.median(r["cpu"] for r in runs)
            return size / 1e6 / secs, secs, max(r["rss_mib"] for r in runs), cpu

        # CPU seconds (user + sys of the child) alongside: on a shared
        # machine they show the work done when the wall clock does not.
        print(f"{'':28}{'MB/s':>8}{'seconds':>9}{'peak RSS MiB':>14}{'CPU s':>8}")
        figures = {}
        for threads in (1, 2, 4, 8):
            figures[threads] = rs_run(threads, synonyms)
            mbps, secs, rss, cpu = figures[threads]
            print(f"{'rs, plain, threads=' + str(threads):28}{mbps:8.1f}{secs:9.2f}{rss:14.0f}"
                  f"{cpu:8.1f}")
        mbps, secs, rss, cpu = rs_run(8, gz)
        print(f"{'rs, gzip, threads=8':28}{mbps:8.1f}{secs:9.2f}{rss:14.0f}{cpu:8.1f}")
        scaling = ", ".join(f"{figures[n][0] / figures[1][0]:.2f}x at {n}" for n in (2, 4, 8))
        print(f"scaling over 1 thread: {scaling}")

        if args.subset_mb == 0:
            py = run_child("python", os.path.join(tmp, "python.pickle"), 1, classes, synonyms)
            py_mbps = size / 1e6 / py["seconds"]
            mbps, secs, rss, cpu = figures[8]
            print(f"\nwhole input, both the whole job:")
            print(f"{'python json+dict+pickle':28}{py_mbps:8.1f}{py['seconds']:9.2f}"
                  f"{py['rss_mib']:14.0f}{py['cpu']:8.1f}")
            print(f"{'rs, plain, threads=8':28}{mbps:8.1f}{secs:9.2f}{rss:14.0f}{cpu:8.1f}")
            print(f"speed-up over python: {mbps / py_mbps:.1f}x; peak RSS rs/python "
                  f"{rss / py['rss_mib']:.2f}; CPU seconds python/rs {py['cpu'] / cpu:.1f}")
            return
        cls_sub = subset(classes, tmp, args.subset_mb // 6)
        syn_sub = subset(synonyms, tmp, args.subset_mb - args.subset_mb // 6)
        sub_size = sum(os.path.getsize(p) for p in cls_sub + syn_sub)
        warm(cls_sub + syn_sub)
        py = run_child("python", os.path.join(tmp, "python.pickle"), 1, cls_sub, syn_sub)
        py_mbps = sub_size / 1e6 / py["seconds"]
        rs_sub = [run_child("rs", out, 8, cls_sub, syn_sub) for _ in range(args.repeat)]
        rs_sub_secs = statistics.median(r["seconds"] for r in rs_sub)
        rs_sub_rss = max(r["rss_mib"] for r in rs_sub)
        print(f"\nsubset of {sub_size / 1e6:.0f} MB, both the whole job:")
        rs_sub_cpu = statistics.median(r["cpu"] for r in rs_sub)
        print(f"{'python json+dict+pickle':28}{py_mbps:8.1f}{py['seconds']:9.2f}"
              f"{py['rss_mib']:14.0f}{py['cpu']:8.1f}")
        print(f"{'rs, plain, threads=8':28}{sub_size / 1e6 / rs_sub_secs:8.1f}"
              f"{rs_sub_secs:9.2f}{rs_sub_rss:14.0f}{rs_sub_cpu:8.1f}")
        print(f"speed-up over python: {py['seconds'] / rs_sub_secs:.1f}x on the subset, "
              f"{figures[8][0] / py_mbps:.1f}x MB/s at full size; peak RSS rs/python on "
              f"the subset {rs_sub_rss / py['rss_mib']:.2f}; CPU seconds python/rs on the "
              f"subset {py['cpu'] / rs_sub_cpu:.1f}")


if __name__ == "__main__":
    main()
