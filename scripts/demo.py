"""Runs the module's main job on the shipped sample data."""
import rs

print("rs functions:", ", ".join(rs.__all__))
print("fullmap_source_version() ->", rs.fullmap_source_version())

for name, call in [
    ("xxh64", lambda: rs.xxh64("hello")),
    ("namespace_uuid", lambda: rs.namespace_uuid("example.org", ["a", "b"])),
]:
    try:
        print(f"{name} ->", call())
    except RuntimeError as e:
        print(f"{name}: {e}")

print(
    "Not built yet: dedup_ndjson, and the fullmap database "
    "(build_fullmap_db, lookup_fullmap_terms, hydrate_*)."
)
