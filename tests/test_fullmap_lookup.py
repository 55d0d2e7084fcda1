"""lookup_fullmap_terms on built fullmaps: exact rows, pairs against the
hydrate_* functions, the edge cases of a lookup, builds with different thread
counts, the database cache, and lookups while the files are rebuilt."""
import multiprocessing
import os
import pathlib
import subprocess
import sys
import threading
import time

import pytest

import rs

DISEASE = [
    '{"curie":"MONDO:0005015","names":["diabetes mellitus","Diabetes"],'
    '"types":["biolink:Disease"],"preferred_name":"diabetes mellitus"}',
    '{"curie":"MONDO:0005148","names":["type 2 diabetes mellitus","T2D"],'
    '"types":["biolink:Disease"],"taxa":["NCBITaxon:9606"],'
    '"preferred_name":"type 2 diabetes mellitus"}',
]
# CURIE ids follow the order in which rows arrive, which between two files
# varies from build to build; a term's postings are ordered by CURIE id, so
# a term here has several CURIEs only from one file (and one CURIE from both).
GENES = [
    '{"curie":"NCBIGene:3630","names":["INS","insulin"],"types":["biolink:Gene"],'
    '"taxa":["NCBITaxon:9606"],"preferred_name":"INS"}',
    '{"curie":"CHEBI:5931","names":["insulin"],"types":["biolink:SmallMolecule"],'
    '"taxa":["NCBITaxon:-5"],"preferred_name":"insulin (human)"}',
    '{"curie":"MONDO:0005015","names":["diabetes"],"preferred_name":"not kept"}',
]
CLASSES = ['{"id":"MONDO:0005015","equivalent_identifiers":["DOID:9351","MESH:D003920"]}']

KEYS = ["term", "CURIE", "PREFERRED_NAME", "CATEGORY_NAME", "TAXON_ID", "SOURCE_NAME",
        "SOURCE_VERSION"]


def shard(output, i):
    p = pathlib.Path(output)
    return p.with_name(f"{p.stem}.s{i}{p.suffix}")


def write_inputs(dir, disease=DISEASE, genes=GENES, classes=CLASSES):
    """Synonym files disease.ndjson (left out for None) and genes.ndjson."""
    dir = pathlib.Path(dir)
    dir.mkdir(parents=True, exist_ok=True)
    synonyms = []
    for name, lines in (("disease", disease), ("genes", genes)):
        if lines is not None:
            (dir / f"{name}.ndjson").write_text("".join(l + "\n" for l in lines))
            synonyms.append(dir / f"{name}.ndjson")
    (dir / "classes.ndjson").write_text("".join(l + "\n" for l in classes))
    return [dir / "classes.ndjson"], synonyms


def build(out, dir, threads=None, **inputs):
    classes, synonyms = write_inputs(dir, **inputs)
    rs.build_fullmap_db(out, classes, synonyms, threads=threads)
    return out


@pytest.fixture
def small(tmp_path):
    return build(tmp_path.resolve() / "kg.qdb", tmp_path / "in")


def row(term, curie, name, category, taxon, source):
    return {"term": term, "CURIE": curie, "PREFERRED_NAME": name, "CATEGORY_NAME": category,
            "TAXON_ID": taxon, "SOURCE_NAME": source, "SOURCE_VERSION": "2026jul22"}


def rows_from_pairs(db, pairs):
    """Rows rebuilt from pairs through the hydrate_* functions alone."""
    prefixes = rs.hydrate_prefixes(db)
    categories = rs.hydrate_categories(db)
    sources = rs.hydrate_sources(db)
    out = []
    for p in pairs:
        ids = [cid for cid, _ in p["records"]]
        for (cid, sid), c in zip(p["records"], rs.hydrate_curies(db, ids)):
            out.append(row(p["term"], f"{prefixes[c['prefix_id']]}:{c['local_id']}",
                           c["preferred_name"], categories[c["category_id"]], c["taxon_id"],
                           sources[sid]))
    return out


def test_exact_rows_in_key_order(small):
    got = rs.lookup_fullmap_terms(small, ["diabetes", "insulin", "doid:9351", "absent", "t2d"])
    assert got == [
        row("diabetes", "MONDO:0005015", "diabetes mellitus", "Disease", 0, "disease"),
        row("diabetes", "MONDO:0005015", "diabetes mellitus", "Disease", 0, "genes"),
        row("insulin", "NCBIGene:3630", "INS", "Gene", 9606, "genes"),
        row("insulin", "CHEBI:5931", "insulin (human)", "SmallMolecule", -5, "genes"),
        row("doid:9351", "MONDO:0005015", "diabetes mellitus", "Disease", 0, "disease"),
        row("doid:9351", "MONDO:0005015", "diabetes mellitus", "Disease", 0, "genes"),
        row("t2d", "MONDO:0005148", "type 2 diabetes mellitus", "Disease", 9606, "disease"),
    ]
    assert all(list(r) == KEYS for r in got)


def test_pairs_hydrate_to_the_same_rows(small):
    terms = ["diabetes", "diabetes mellitus", "t2d", "ins", "insulin", "mondo:0005015",
             "mesh:d003920", "nope", "insulin"]
    pairs = rs.lookup_fullmap_terms(small, terms, return_format="pairs")
    assert [list(p) for p in pairs] == [["term", "records"]] * len(pairs)
    assert all(isinstance(r, tuple) and len(r) == 2 for p in pairs for r in p["records"])
    assert [p["term"] for p in pairs] == [t for t in terms if t != "nope"]
    assert rows_from_pairs(small, pairs) == rs.lookup_fullmap_terms(small, terms)


def stored_terms(db):
    """Every term the small fixture stores, as lookups of candidates find them."""
    candidates = ["diabetes mellitus", "diabetes", "type 2 diabetes mellitus", "t2d", "ins",
                  "insulin", "mondo:0005015", "mondo:0005148", "ncbigene:3630",
                  "chebi:5931", "doid:9351", "mesh:d003920"]
    found = {p["term"] for p in rs.lookup_fullmap_terms(db, candidates, return_format="pairs")}
    assert found == set(candidates)
    return candidates


EDGE_CASES = [
    # (name, terms, threads, expected found terms in order)
    ("case differs", ["Diabetes", "INSULIN"], None, []),
    ("trailing blank", ["diabetes ", " insulin"], None, []),
    ("repeats at their positions", ["insulin", "x", "insulin", "t2d", "insulin"], None,
     ["insulin", "insulin", "t2d", "insulin"]),
    ("one term, many workers", ["t2d"], 8, ["t2d"]),
    ("threads 0 is 1", ["t2d", "ins"], 0, ["t2d", "ins"]),
    ("1023 terms serial", ["t2d", "zz"] * 511 + ["ins"], None, ["t2d"] * 511 + ["ins"]),
    ("1024 terms parallel", ["t2d", "zz"] * 512, None, ["t2d"] * 512),
    ("empty text", [""], None, []),
]


@pytest.mark.parametrize("name,terms,threads,found", EDGE_CASES, ids=[c[0] for c in EDGE_CASES])
def test_edge_cases(small, name, terms, threads, found):
    for fmt in ("rows", "pairs"):
        got = rs.lookup_fullmap_terms(small, terms, threads=threads, return_format=fmt)
        if fmt == "pairs":
            assert [p["term"] for p in got] == found
        else:
            one = {t: len(rs.lookup_fullmap_terms(small, [t], threads=1)) for t in set(found)}
            assert [r["term"] for r in got] == [t for t in found for _ in range(one[t])]


def test_empty_list_still_opens(small, tmp_path):
    assert rs.lookup_fullmap_terms(small, []) == []
    assert rs.lookup_fullmap_terms(small, [], return_format="pairs") == []
    with pytest.raises(RuntimeError):
        rs.lookup_fullmap_terms(tmp_path / "missing.qdb", [])


def test_all_terms_in_one_shard(small):
    terms = stored_terms(small)
    shard_of = {t: int(rs.xxh64(t), 16) & 15 for t in terms}
    target = max(set(shard_of.values()), key=list(shard_of.values()).count)
    one = [t for t in terms if shard_of[t] == target]
    batch = (one * (2048 // len(one) + 1))[:2048]
    for threads in (None, 8):
        got = rs.lookup_fullmap_terms(small, batch, threads=threads, return_format="pairs")
        assert [p["term"] for p in got] == batch
    assert rs.lookup_fullmap_terms(small, batch, threads=8) == \
        rs.lookup_fullmap_terms(small, batch, threads=1)


def test_arguments(small, tmp_path):
    with pytest.raises(ValueError, match="^return_format must be 'rows' or 'pairs'$"):
        rs.lookup_fullmap_terms(tmp_path / "missing.qdb", ["x"], return_format="ROWS")
    with pytest.raises(TypeError):
        rs.lookup_fullmap_terms(small, "diabetes")
    with pytest.raises(TypeError):
        rs.lookup_fullmap_terms(small, ["diabetes", 5])
    with pytest.raises(OverflowError):
        rs.lookup_fullmap_terms(small, ["diabetes"], threads=-1)
    # Path-like and keyword forms.
    assert rs.lookup_fullmap_terms(db=pathlib.Path(small), terms=("t2d",), threads=None,
                                   return_format="pairs")[0]["term"] == "t2d"
    assert "interpreter lock is released" in rs.lookup_fullmap_terms.__doc__
    assert rs.lookup_fullmap_terms.__text_signature__ == \
        '(db, terms, threads=None, return_format="rows")'


def test_builds_with_1_and_8_threads_answer_alike(tmp_path):
    # Enough concepts that both builds spread over every shard.
    genes = [f'{{"curie":"G:{i}","names":["gene {i}","g{i}"],"types":["Gene"],'
             f'"taxa":["NCBITaxon:{i % 7}"],"preferred_name":"Gene {i}"}}' for i in range(600)]
    disease = [f'{{"curie":"D:{i}","names":["gene {i * 2}","d{i}"],"types":["Disease"]}}'
               for i in range(400)]
    a = build(tmp_path / "a" / "kg.qdb", tmp_path / "in", threads=1, disease=disease,
              genes=genes)
    b = build(tmp_path / "b" / "kg.qdb", tmp_path / "in", threads=8, disease=disease,
              genes=genes)
    terms = [f"gene {i}" for i in range(600)] + [f"g{i}" for i in range(600)] + \
            [f"d{i}" for i in range(400)] + [f"g:{i}" for i in range(600)] + \
            [f"absent {i}" for i in range(300)]

    # CURIE ids follow the arrival of rows from the two files, so the rows of
    # one term may come in another order; each term's rows are the same.
    def by_term(rows):
        out = {}
        for r in rows:
            out.setdefault(r["term"], []).append(tuple(r.values()))
        return {t: sorted(v) for t, v in out.items()}

    rows_a = rs.lookup_fullmap_terms(a, terms)
    assert [r["term"] for r in rows_a] == [r["term"] for r in rs.lookup_fullmap_terms(b, terms)]
    assert by_term(rows_a) == by_term(rs.lookup_fullmap_terms(b, terms))
    assert len(rows_a) > 2000

    def named(db):
        pairs = rs.lookup_fullmap_terms(db, terms, return_format="pairs")
        return by_term(rows_from_pairs(db, pairs))

    assert named(a) == named(b) == by_term(rows_a)


# ---- the cache ----

def test_deleted_files_answer_from_the_cache(small):
    before = rs.lookup_fullmap_terms(small, ["insulin", "t2d"])
    for f in [small] + [shard(small, i) for i in range(16)]:
        os.remove(f)
    assert rs.lookup_fullmap_terms(small, ["insulin", "t2d"]) == before


def test_only_primary_deleted_never_pins(small):
    rs.lookup_fullmap_terms(small, ["insulin"])
    os.remove(small)
    with pytest.raises(RuntimeError) as info:
        rs.lookup_fullmap_terms(small, ["insulin"])
    assert str(info.value) == (
        f"fullmap at {small} kept changing generation; could not pin one "
        "primary-plus-shards bundle after 5 attempts")


def _build_in_child(out, dir, disease, genes):
    build(out, dir, disease=disease, genes=genes)


def test_files_replaced_by_another_process(small, tmp_path):
    assert rs.lookup_fullmap_terms(small, ["glucose"]) == []
    genes = GENES + ['{"curie":"CHEBI:17234","names":["glucose"],"types":["SmallMolecule"]}']
    ctx = multiprocessing.get_context("spawn")
    p = ctx.Process(target=_build_in_child, args=(small, tmp_path / "in2", DISEASE, genes))
    p.start()
    p.join()
    assert p.exitcode == 0
    got = rs.lookup_fullmap_terms(small, ["glucose"])
    assert [(r["term"], r["CURIE"]) for r in got] == [("glucose", "CHEBI:17234")]


# ---- generations ----

def generation_inputs(tag):
    """Inputs whose CURIE ids and names differ between the tags. One synonym
    file, so that CURIE ids do not depend on which file a build reads first:
    rebuilds of one tag answer alike."""
    n = 60 if tag == "x" else 45
    genes = [f'{{"curie":"P{tag}:0","names":["only {tag}"],"types":["Other"]}}']
    genes += [f'{{"curie":"{tag.upper()}:{i}","names":["shared {i}"],"types":["{tag}cat"],'
              f'"preferred_name":"{tag} name {i}"}}' for i in range(n)]
    if tag == "y":
        genes.reverse()
    return {"disease": None, "genes": genes, "classes": []}


GEN_TERMS = [f"shared {i}" for i in range(0, 60, 7)] + ["only x", "only y", "none"]


def generation_answers(tmp_path):
    answers = {}
    for tag in ("x", "y"):
        out = build(tmp_path / f"ref_{tag}" / "kg.qdb", tmp_path / f"ref_in_{tag}",
                    **generation_inputs(tag))
        answers[tag] = (rs.lookup_fullmap_terms(out, GEN_TERMS),
                        rs.lookup_fullmap_terms(out, GEN_TERMS, return_format="pairs"))
    return answers


def _rebuild_loop(out, dir, rounds):
    for i in range(rounds):
        for attempt in range(50):
            try:
                build(out, dir, **generation_inputs("xy"[i % 2]))
                break
            except RuntimeError as e:
                # A lookup that opens a file in the instant between its
                # creation and its lock keeps the build out: build again.
                if str(e) != "Database already open. Cannot acquire lock." or attempt == 49:
                    raise


def _lookup_loop(db, seconds, queue):
    seen = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for fmt, threads in (("rows", 1), ("pairs", 4)):
            try:
                seen.append((fmt, rs.lookup_fullmap_terms(db, GEN_TERMS, threads=threads,
                                                          return_format=fmt)))
            except RuntimeError:
                seen.append((fmt, None))
    queue.put(seen)


def check_generations(results, answers):
    good = 0
    for fmt, got in results:
        if got is None:
            continue
        k = 0 if fmt == "rows" else 1
        assert got in (answers["x"][k], answers["y"][k]), got
        good += 1
    return good


STRESS_ROUNDS = int(os.environ.get("RS_STRESS_ROUNDS", "10"))


def test_lookups_while_another_process_rebuilds(tmp_path):
    answers = generation_answers(tmp_path)
    db = build(tmp_path / "live" / "kg.qdb", tmp_path / "live_in", **generation_inputs("x"))
    ctx = multiprocessing.get_context("spawn")
    rebuilder = ctx.Process(target=_rebuild_loop, args=(db, tmp_path / "rb_in", STRESS_ROUNDS))
    child_q = ctx.Queue()
    child = ctx.Process(target=_lookup_loop, args=(db, 3.0, child_q))
    rebuilder.start()
    child.start()
    results = []
    threads = [threading.Thread(target=lambda: _lookup_loop(db, 3.0, QueueList(results)))
               for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    child_results = child_q.get(timeout=60)
    child.join()
    rebuilder.join()
    assert rebuilder.exitcode == 0 and child.exitcode == 0
    assert check_generations(results, answers) + check_generations(child_results, answers) > 0


def test_lookups_while_another_thread_rebuilds(tmp_path):
    answers = generation_answers(tmp_path)
    db = build(tmp_path / "live" / "kg.qdb", tmp_path / "live_in", **generation_inputs("x"))
    results = []
    rebuilder = threading.Thread(target=_rebuild_loop, args=(db, tmp_path / "rb_in",
                                                              STRESS_ROUNDS))
    readers = [threading.Thread(target=lambda: _lookup_loop(db, 2.0, QueueList(results)))
               for _ in range(3)]
    rebuilder.start()
    for t in readers:
        t.start()
    rebuilder.join()
    for t in readers:
        t.join()
    assert check_generations(results, answers) > 0


class QueueList:
    """A queue-like sink that extends a list (threads of this process)."""

    def __init__(self, target):
        self.target = target

    def put(self, items):
        self.target.extend(items)
