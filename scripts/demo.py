"""Runs the module's record utilities on the shipped sample data."""
import pathlib
import tempfile

import rs

SAMPLES = pathlib.Path(__file__).resolve().parent.parent / "samples"

print("rs functions:", ", ".join(rs.__all__))
print("fullmap_source_version() ->", rs.fullmap_source_version())
print('xxh64("hello") ->', rs.xxh64("hello"))
print('namespace_uuid("example.org", ["a", "b"]) ->', rs.namespace_uuid("example.org", ["a", "b"]))

with tempfile.TemporaryDirectory() as tmp:
    for name, is_edges in [("nodes.ndjson", False), ("edges.ndjson", True)]:
        src = SAMPLES / name
        dst = pathlib.Path(tmp) / name
        rs.dedup_ndjson(src, dst, is_edges)
        lines_in = [l for l in src.read_text().splitlines()]
        lines_out = dst.read_text().splitlines()
        kind = "edges" if is_edges else "nodes"
        print(f"\ndedup_ndjson(samples/{name}, is_edges={is_edges}): "
              f"{len(lines_in)} lines in, {len(lines_out)} distinct {kind} out")
        for line in lines_out:
            print("  ", line)

FULLMAP = SAMPLES / "fullmap"
with tempfile.TemporaryDirectory() as tmp:
    out = pathlib.Path(tmp) / "demo.qdb"
    classes = [FULLMAP / "classes.ndjson"]
    synonyms = [FULLMAP / "disease.ndjson", FULLMAP / "chemicals.ndjson.gz"]
    last = {}

    def progress(kind, done, total, message):
        last[kind] = (done, total, message)

    rs.build_fullmap_db(out, classes, synonyms, threads=1, progress=progress)
    files = sorted(p.name for p in pathlib.Path(tmp).iterdir())
    print(f"\nbuild_fullmap_db(demo.qdb, {len(classes)} classes file, "
          f"{len(synonyms)} synonyms files): {len(files)} files")
    for kind, (done, total, message) in sorted(last.items()):
        print(f"   last progress of kind {kind}: done={done} total={total} {message!r}")
    print("hydrate_sources ->", rs.hydrate_sources(out))
    print("hydrate_prefixes ->", rs.hydrate_prefixes(out))
    print("hydrate_categories ->", rs.hydrate_categories(out))
    # CURIE ids are dense from 0: hydrate them until the first missing one.
    ids = []
    while True:
        try:
            rs.hydrate_curies(out, [len(ids)])
        except RuntimeError as e:
            print(f"hydrate_curies(out, [{len(ids)}]) -> RuntimeError: {e}")
            break
        ids.append(len(ids))
    print(f"hydrate_curies(out, {ids}) ->")
    prefixes = rs.hydrate_prefixes(out)
    for i, row in zip(ids, rs.hydrate_curies(out, ids)):
        curie = f"{prefixes[row['prefix_id']]}:{row['local_id']}"
        print(f"   {i}: {curie} {row}")

    # Terms are stored normalised (lower case, trimmed): queries must be too.
    terms = ["diabetes mellitus", "t2d", "aspirin", "doid:9351", "Diabetes", "unknown"]
    print(f"\nlookup_fullmap_terms(demo.qdb, {terms}) ->")
    for r in rs.lookup_fullmap_terms(out, terms):
        print("  ", r)
    print(f"lookup_fullmap_terms(demo.qdb, {terms}, return_format='pairs') ->")
    for p in rs.lookup_fullmap_terms(out, terms, return_format="pairs"):
        print("  ", p)
