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

print(
    "\nNot built yet: the fullmap database "
    "(build_fullmap_db, lookup_fullmap_terms, hydrate_*)."
)
