"""dedup_ndjson against a straightforward Python implementation (json + a set).

Generates an edge file of about --mb megabytes (default 300) in a temporary
directory: biolink-style edges, about 20% exact duplicates and a few more that
only become duplicates once their null-like fields are dropped. Each
implementation runs in a child process on a warm page cache; the figures are
throughput, their ratio, and the peak memory the call added per distinct
record.

    .venv/bin/python bench/dedup.py [--mb N] [--keep DIR]
"""
import argparse
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time
import uuid

DOMAIN = "QUORVENDEL"
NULL_LIKE = {"null", "none", "nan", "na"}


# ---- the Python baseline ----

def strip_nulls(value):
    if not isinstance(value, dict):
        return value
    out = {}
    for k, v in value.items():
        if v is None:
            continue
        if isinstance(v, str):
            t = v.strip()
            if not t or t.lower() in NULL_LIKE:
                continue
        elif isinstance(v, list):
            if not v:
                continue
            v = [strip_nulls(x) if isinstance(x, dict) else x for x in v]
        elif isinstance(v, dict):
            if not v:
                continue
            v = strip_nulls(v)
        out[k] = v
    return out


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def python_dedup(src, dst, is_edges):
    namespace = uuid.uuid3(uuid.UUID(int=0), DOMAIN)
    seen = set()
    with open(src, encoding="utf-8") as fin, open(dst, "w", encoding="utf-8") as fout:
        for line in fin:
            if not line.strip():
                continue
            record = strip_nulls(json.loads(line))
            if record == {}:
                continue
            if is_edges:
                parts = []
                for key in sorted(record):
                    v = record[key]
                    if v is None or v is False or v == "":
                        continue
                    text = "true" if v is True else v if isinstance(v, str) else compact(v)
                    parts.append(f"{len(key.encode())}:{key}{len(text.encode())}:{text}")
                record["id"] = str(uuid.uuid3(namespace, "".join(parts)))
            out = compact(record)
            if out not in seen:
                seen.add(out)
                fout.write(out)
                fout.write("\n")


# ---- the data ----

PREDICATES = ["biolink:related_to", "biolink:treats", "biolink:has_phenotype",
              "biolink:interacts_with", "biolink:gene_associated_with_condition",
              "biolink:subclass_of", "biolink:affects", "biolink:causes"]
PREFIXES = ["MONDO", "HP", "CHEBI", "NCBIGene", "UniProtKB", "GO", "UBERON", "DRUGBANK"]
SOURCES = ["infores:hpo-annotations", "infores:ctd", "infores:semmeddb", "infores:string",
           "infores:chembl", "infores:goa"]
LEVELS = ["knowledge_assertion", "prediction", "statistical_association", "not_provided"]
AGENTS = ["manual_agent", "automated_agent", "text_mining_agent", "data_analysis_pipeline"]


def edge_line(rng):
    s = f"{rng.choice(PREFIXES)}:{rng.randrange(10**7):07d}"
    o = f"{rng.choice(PREFIXES)}:{rng.randrange(10**7):07d}"
    pubs = ",".join(f'"PMID:{rng.randrange(10**8)}"' for _ in range(rng.randrange(4)))
    fields = [
        f'"subject":"{s}"',
        f'"predicate":"{rng.choice(PREDICATES)}"',
        f'"object":"{o}"',
        f'"primary_knowledge_source":"{rng.choice(SOURCES)}"',
        f'"knowledge_level":"{rng.choice(LEVELS)}"',
        f'"agent_type":"{rng.choice(AGENTS)}"',
        f'"publications":[{pubs}]',
        f'"score":{rng.randrange(1000) / 1000}',
        f'"negated":{rng.choice(["false", "true"])}',
        f'"description":"{rng.choice(["", "  ", "NA", "curated association from source", "None"])}"',
        f'"qualifiers":{rng.choice(["null", "[]", "{}", "[{\"qualifier_type_id\":\"biolink:object_aspect_qualifier\",\"qualifier_value\":\"activity\"}]"])}',
        f'"original_subject":"{rng.choice([s, "nan", "null"])}"',
    ]
    if rng.random() < 0.3:
        fields.append(f'"id":"urn:uuid:{rng.getrandbits(128):032x}"')
    return "{" + ",".join(fields) + "}\n"


def generate(path, megabytes, seed=7):
    rng = random.Random(seed)
    target = megabytes * 1_000_000
    recent = []
    written = 0
    lines = 0
    with open(path, "w", encoding="utf-8") as f:
        while written < target:
            r = rng.random()
            if recent and r < 0.20:
                line = rng.choice(recent)  # an exact duplicate
            else:
                line = edge_line(rng)
                if len(recent) < 50000:
                    recent.append(line)
                else:
                    recent[rng.randrange(len(recent))] = line
            f.write(line)
            written += len(line)
            lines += 1
    return lines


# ---- the runs ----

def child(which, src, dst):
    if which == "rs":
        import rs
        run = lambda: rs.dedup_ndjson(src, dst, True)  # noqa: E731
    else:
        run = lambda: python_dedup(src, dst, True)  # noqa: E731
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    run()
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with open(dst, "rb") as f:
        distinct = sum(1 for _ in f)
    print(json.dumps({"seconds": seconds, "added_kib": after - before, "distinct": distinct}))


def run_child(which, src, dst):
    out = subprocess.run([sys.executable, __file__, "--child", which, src, dst],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=300)
    parser.add_argument("--keep", help="directory to generate into (kept)")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return

    with tempfile.TemporaryDirectory() as tmp:
        where = args.keep or tmp
        src = os.path.join(where, "edges.ndjson")
        t = time.perf_counter()
        lines = generate(src, args.mb)
        size = os.path.getsize(src)
        print(f"input: {size / 1e6:.0f} MB, {lines} lines (generated in {time.perf_counter() - t:.1f} s)")
        with open(src, "rb") as f:  # warm the page cache
            while f.read(1 << 24):
                pass
        results = {}
        for which in ("rs", "python"):
            dst = os.path.join(where, f"out-{which}.ndjson")
            results[which] = run_child(which, src, dst)
        same = open(os.path.join(where, "out-rs.ndjson"), "rb").read() == \
            open(os.path.join(where, "out-python.ndjson"), "rb").read()
        print(f"{'':16}{'MB/s':>10}{'seconds':>10}{'distinct':>12}{'peak B/distinct':>18}")
        for which, label in (("rs", "rs.dedup_ndjson"), ("python", "python json+set")):
            r = results[which]
            mbps = size / 1e6 / r["seconds"]
            per = r["added_kib"] * 1024 / max(r["distinct"], 1)
            print(f"{label:16}{mbps:10.1f}{r['seconds']:10.2f}{r['distinct']:12}{per:18.0f}")
        ratio = results["python"]["seconds"] / results["rs"]["seconds"]
        print(f"speed-up: {ratio:.1f}x; duplicates dropped: {lines - results['rs']['distinct']} "
              f"({100 * (lines - results['rs']['distinct']) / lines:.1f}%); outputs identical: {same}")


if __name__ == "__main__":
    main()
