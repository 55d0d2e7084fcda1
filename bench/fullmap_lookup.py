"""lookup_fullmap_terms against a Python dict holding the same postings.

Builds (once, kept under build/bench-data/) a fullmap of about --concepts
concepts from bench/gen_fullmap.py's inputs (or, when that generator is not
there, from a small generator of its own), then runs --queries queries, half
stored terms and half plausible absent ones, in both return formats with 1
and 8 threads, beside a dict baseline in this process: term -> list of
(CURIE id, source id) tuples for "pairs", and the same plus the name tables
for "rows". Outputs are compared equal. Figures are medians of --repeat runs
(the collector off while one runs, as timeit has it):
terms/s, rows/s and the ratios; then the cold open + first lookup of one term
in a fresh process (warm page cache).

    .venv/bin/python bench/fullmap_lookup.py [--concepts N] [--queries N] [--repeat N]
"""
import argparse
import gc
import gzip
import json
import os
import pathlib
import random
import statistics
import subprocess
import sys
import time

import rs

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "build" / "bench-data"
VERSION = "2026jul22"


# ---- inputs ----

WORDS = ("alpha beta gamma delta kinase receptor protein factor syndrome disease acid "
         "oxidase binding domain type chain family member subunit homolog").split()


def own_generator(dir, concepts):
    """Synonyms in three files and one classes file; names are lower case words
    and digits, so they are stored as they are written."""
    rnd = random.Random(7)
    dir.mkdir(parents=True, exist_ok=True)
    files = [dir / f"syn{i}.ndjson" for i in range(3)]
    outs = [open(f, "w") for f in files]
    with open(dir / "classes.ndjson", "w") as classes:
        for i in range(concepts):
            prefix = ("NCBIGene", "MONDO", "CHEBI", "HP")[i % 4]
            curie = f"{prefix}:{i}"
            names = [f"{rnd.choice(WORDS)} {rnd.choice(WORDS)} {i}" for _ in range(1 + i % 3)]
            row = {"curie": curie, "names": names, "types": [f"biolink:T{i % 13}"],
                   "taxa": [f"NCBITaxon:{9606 if i % 2 else 10090}"],
                   "preferred_name": names[0]}
            outs[i % 3].write(json.dumps(row) + "\n")
            if i % 5 == 0:
                classes.write(json.dumps({"id": curie, "equivalent_identifiers":
                                          [f"ALT:{i}", f"UMLS:C{i:07d}"]}) + "\n")
    for o in outs:
        o.close()
    return [dir / "classes.ndjson"], files


def inputs(concepts):
    """(classes, synonyms) of the build issue's generator, or of our own."""
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import gen_fullmap
    except ImportError:
        gen_fullmap = None
    if gen_fullmap is not None:
        classes, synonyms, _ = gen_fullmap.generate(concepts)
        return "gen", classes, synonyms
    dir = DATA / f"fullmap_lookup_inputs_{concepts}"
    stamp = dir / "done"
    if not stamp.exists():
        own_generator(dir, concepts)
        stamp.write_text("own\n")
    return "own", [dir / "classes.ndjson"], sorted(dir.glob("syn*.ndjson"))


def open_text(path):
    return gzip.open(path, "rt") if str(path).endswith(".gz") else open(path)


def candidate_names(synonyms, limit):
    """Lower-cased names of the synonym files: most are stored terms."""
    out = []
    for path in synonyms:
        with open_text(path) as f:
            for line in f:
                row = json.loads(line)
                for n in row.get("names") or []:
                    out.append(n.strip().lower())
                if len(out) >= limit:
                    return out
    return out


# ---- the dict baseline ----

def dict_pairs(postings, queries):
    out = []
    get = postings.get
    for t in queries:
        rec = get(t)
        if rec is not None:
            out.append({"term": t, "records": rec})
    return out


def dict_rows(postings, curies, sources, queries):
    out = []
    get = postings.get
    append = out.append
    for t in queries:
        rec = get(t)
        if rec is None:
            continue
        for cid, sid in rec:
            c = curies[cid]
            append({"term": t, "CURIE": c[0], "PREFERRED_NAME": c[1], "CATEGORY_NAME": c[2],
                    "TAXON_ID": c[3], "SOURCE_NAME": sources[sid], "SOURCE_VERSION": VERSION})
    return out


def median_time(fn, repeat):
    """Median wall time of fn(); as timeit does, the cyclic collector is off
    while it runs (and collects before), for both sides alike."""
    times = []
    result = None
    for _ in range(repeat):
        result = None
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            result = fn()
            times.append(time.perf_counter() - t0)
        finally:
            gc.enable()
    return statistics.median(times), result


COLD = """
import sys, time, rs
db, term = sys.argv[1], sys.argv[2]
t0 = time.perf_counter()
out = rs.lookup_fullmap_terms(db, [term])
print(time.perf_counter() - t0, len(out))
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--concepts", type=int, default=1_000_000)
    ap.add_argument("--queries", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    source, classes, synonyms = inputs(args.concepts)
    db = DATA / f"fullmap_lookup_{source}_{args.concepts}" / "kg.qdb"
    stamp = db.with_name("built")
    if not stamp.exists():
        t0 = time.perf_counter()
        rs.build_fullmap_db(db, classes, synonyms)
        stamp.write_text("ok\n")
        print(f"build: {time.perf_counter() - t0:.1f} s ({args.concepts} concepts)")

    rnd = random.Random(11)
    names = candidate_names(synonyms, args.queries)
    found = rs.lookup_fullmap_terms(db, sorted(set(names)), threads=8, return_format="pairs")
    postings = {p["term"]: p["records"] for p in found}
    stored = list(postings)
    half = args.queries // 2
    queries = [rnd.choice(stored) for _ in range(half)]
    queries += [f"{rnd.choice(stored)} zq{i}" for i in range(args.queries - half)]
    rnd.shuffle(queries)

    prefixes = rs.hydrate_prefixes(db)
    categories = rs.hydrate_categories(db)
    sources = rs.hydrate_sources(db)
    ids = sorted({cid for recs in postings.values() for cid, _ in recs})
    curies = {}
    for cid, c in zip(ids, rs.hydrate_curies(db, ids)):
        curies[cid] = (f"{prefixes[c['prefix_id']]}:{c['local_id']}", c["preferred_name"],
                       categories[c["category_id"]], c["taxon_id"])

    print(f"{len(queries)} queries ({half} stored), {len(postings)} distinct stored terms, "
          f"{len(curies)} CURIEs")
    base_pairs_t, base_pairs = median_time(lambda: dict_pairs(postings, queries), args.repeat)
    base_rows_t, base_rows = median_time(
        lambda: dict_rows(postings, curies, sources, queries), args.repeat)
    n_rows = len(base_rows)
    print(f"dict pairs:    {len(queries) / base_pairs_t / 1e6:6.2f} M terms/s")
    print(f"dict rows:     {len(queries) / base_rows_t / 1e6:6.2f} M terms/s, "
          f"{n_rows / base_rows_t / 1e6:6.2f} M rows/s ({n_rows} rows)")

    for fmt, base_t, base in (("pairs", base_pairs_t, base_pairs), ("rows", base_rows_t,
                                                                    base_rows)):
        for threads in (1, 8):
            t, got = median_time(
                lambda: rs.lookup_fullmap_terms(db, queries, threads=threads,
                                                return_format=fmt), args.repeat)
            assert got == base, f"{fmt} with {threads} threads differs from the dict"
            line = (f"rs {fmt:5} t={threads}: {len(queries) / t / 1e6:6.2f} M terms/s")
            if fmt == "rows":
                line += f", {n_rows / t / 1e6:6.2f} M rows/s"
            print(line + f"  ({base_t / t:5.2f}x the dict)")
            del got
    # Where the time goes: the same queries with nothing found build no objects.
    absent = [q + " zz" for q in queries]
    t, _ = median_time(lambda: rs.lookup_fullmap_terms(db, absent, threads=8,
                                                       return_format="pairs"), args.repeat)
    print(f"rs lookups alone (all absent) t=8: {len(absent) / t / 1e6:6.2f} M terms/s")

    colds = []
    for _ in range(5):
        out = subprocess.run([sys.executable, "-c", COLD, str(db), stored[0]], check=True,
                             capture_output=True, text=True).stdout.split()
        colds.append(float(out[0]))
    print(f"cold open + first lookup (fresh process): {statistics.median(colds) * 1e3:.2f} ms "
          f"median of 5")


if __name__ == "__main__":
    main()
