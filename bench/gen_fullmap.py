"""Generates the fullmap benchmark input once: synonyms and classes NDJSON for
--concepts concepts (default 1,000,000; about 300 MB uncompressed in several
files) and a gzip copy of the synonyms files. Deterministic for a seed; a
second run with the same arguments reuses the files.

    .venv/bin/python bench/gen_fullmap.py [--concepts N] [--dir DIR]

Prints the directory. Imported by bench/fullmap_build.py.
"""
import argparse
import gzip
import json
import os
import random
import shutil

DEFAULT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build",
                           "bench-data", "fullmap")

PREFIXES = [("MONDO", "biolink:Disease", 7), ("HP", "biolink:PhenotypicFeature", 7),
            ("CHEBI", "biolink:SmallMolecule", 0), ("NCBIGene", "biolink:Gene", 0),
            ("UniProtKB", "biolink:Protein", 0), ("GO", "biolink:BiologicalProcess", 7),
            ("UBERON", "biolink:AnatomicalEntity", 7), ("DRUGBANK", "biolink:Drug", 0)]
EQUIV_PREFIXES = ["UMLS", "MESH", "DOID", "NCIT", "SNOMEDCT", "OMIM", "ENSEMBL", "PUBCHEM.COMPOUND"]
TAXA = ["NCBITaxon:9606", "NCBITaxon:10090", "NCBITaxon:10116", "NCBITaxon:7955"]
SYLLABLES = ["amy", "lo", "ne", "phro", "card", "io", "my", "op", "athy", "gly", "co", "gen",
             "hepat", "itis", "oste", "por", "osis", "derm", "at", "lip", "id", "emia", "neur",
             "al", "gia", "pan", "cre", "as", "thy", "roid", "ase", "kin", "trans", "fer",
             "ox", "ido", "red", "uct", "syn", "thase", "chol", "ester", "ol", "pro", "tein"]
SUFFIXES = ["", "", " type 1", " type 2", " deficiency", " syndrome", " disease",
            " receptor", " protein", ", familial", " (disorder)", " activity", " 3"]


def word(rng):
    return "".join(rng.choice(SYLLABLES) for _ in range(rng.randint(2, 4)))


def name(rng):
    n = " ".join(word(rng) for _ in range(rng.randint(1, 3))) + rng.choice(SUFFIXES)
    r = rng.random()
    if r < 0.3:
        n = n.capitalize()
    elif r < 0.35:
        n = n.upper()
    return n


def concept_lines(rng, index):
    prefix, category, width = PREFIXES[index % len(PREFIXES)]
    local = f"{index:0{width}d}" if width else str(100000 + index)
    curie = f"{prefix}:{local}"
    names = [name(rng) for _ in range(rng.randint(2, 7))]
    row = {"curie": curie, "names": names, "types": [category, "biolink:NamedThing"]}
    if rng.random() < 0.6:
        row["taxa"] = [rng.choice(TAXA)]
    row["preferred_name"] = names[0]
    syn = json.dumps(row, separators=(",", ":")) + "\n"
    cls = None
    if rng.random() < 0.5:
        equivalents = [f"{rng.choice(EQUIV_PREFIXES)}:{rng.randrange(10**7)}"
                       for _ in range(rng.randint(1, 4))]
        cls = json.dumps({"id": curie, "equivalent_identifiers": equivalents},
                         separators=(",", ":")) + "\n"
    return syn, cls


def generate(concepts=1_000_000, directory=DEFAULT_DIR, seed=23, syn_files=4, class_files=2):
    """Returns (classes paths, synonyms paths, gzip synonyms paths)."""
    directory = os.path.abspath(directory)
    stamp = os.path.join(directory, f"done-{concepts}-{seed}")
    syn = [os.path.join(directory, f"synonyms{i}.ndjson") for i in range(syn_files)]
    cls = [os.path.join(directory, f"classes{i}.ndjson") for i in range(class_files)]
    gz = [p + ".gz" for p in syn]
    if os.path.exists(stamp):
        return cls, syn, gz
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    rng = random.Random(seed)
    syn_out = [open(p, "w", encoding="utf-8") for p in syn]
    cls_out = [open(p, "w", encoding="utf-8") for p in cls]
    try:
        for i in range(concepts):
            s, c = concept_lines(rng, i)
            syn_out[i * syn_files // concepts].write(s)
            if c:
                cls_out[i % class_files].write(c)
    finally:
        for f in syn_out + cls_out:
            f.close()
    for src, dst in zip(syn, gz):
        with open(src, "rb") as fin, gzip.open(dst, "wb", compresslevel=1) as fout:
            shutil.copyfileobj(fin, fout, 1 << 22)
    open(stamp, "w").close()
    return cls, syn, gz


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--concepts", type=int, default=1_000_000)
    parser.add_argument("--dir", default=DEFAULT_DIR)
    args = parser.parse_args()
    cls, syn, _ = generate(args.concepts, args.dir)
    size = sum(os.path.getsize(p) for p in cls + syn)
    print(f"{os.path.abspath(args.dir)}: {size / 1e6:.0f} MB uncompressed")


if __name__ == "__main__":
    main()
