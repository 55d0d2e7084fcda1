"""The hydrate_* functions on small builds: rows by CURIE id, name lists by id,
and their failures."""
import pytest

import rs


@pytest.fixture(scope="module")
def db(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("hydrate")
    alpha = tmp / "alpha.ndjson"
    alpha.write_text(
        '{"curie":"MONDO:0005148","names":["T2D"],"types":["biolink:Disease"],'
        '"taxa":["NCBITaxon:9606"],"preferred_name":"type 2 diabetes"}\n'
        '{"curie":"CHEBI:15365","names":["aspirin"],"types":["biolink:SmallMolecule"],'
        '"taxa":["NCBITaxon:-5"]}\n')
    beta = tmp / "beta.ndjson.gz"
    import gzip
    with gzip.open(beta, "wt") as f:
        f.write('{"curie":"HP:0000118","names":["phenotype"]}\n')
    out = tmp / "h.qdb"
    rs.build_fullmap_db(out, [], [alpha, beta], threads=1)
    return out


def rows_by_curie(db):
    prefixes = rs.hydrate_prefixes(db)
    out = {}
    i = 0
    while True:
        try:
            (row,) = rs.hydrate_curies(db, [i])
        except RuntimeError as e:
            assert str(e) == f"missing fullmap CURIE id {i}"
            return out
        out[f"{prefixes[row['prefix_id']]}:{row['local_id']}"] = (i, row)
        i += 1


def test_rows_names_and_key_order(db):
    rows = rows_by_curie(db)
    assert sorted(rows) == ["CHEBI:15365", "HP:0000118", "MONDO:0005148"]
    categories = rs.hydrate_categories(db)
    _, mondo = rows["MONDO:0005148"]
    assert list(mondo) == ["prefix_id", "local_id", "preferred_name", "category_id", "taxon_id"]
    assert mondo["local_id"] == "0005148"
    assert mondo["preferred_name"] == "type 2 diabetes"
    assert categories[mondo["category_id"]] == "Disease"
    assert mondo["taxon_id"] == 9606
    _, chebi = rows["CHEBI:15365"]
    assert chebi["preferred_name"] == "CHEBI:15365"  # no preferred name: the CURIE
    assert chebi["taxon_id"] == -5
    _, hp = rows["HP:0000118"]
    assert hp["taxon_id"] == 0  # stored without a taxon
    assert categories[hp["category_id"]] == "NamedThing"
    assert rs.hydrate_sources(db) == ["alpha", "beta"]
    assert sorted(rs.hydrate_prefixes(db)) == ["CHEBI", "HP", "MONDO"]


def test_curie_id_lists(db):
    assert rs.hydrate_curies(db, []) == []
    twice = rs.hydrate_curies(db, [1, 1])
    assert len(twice) == 2 and twice[0] == twice[1] and twice[0] is not twice[1]
    with pytest.raises(RuntimeError, match="^missing fullmap CURIE id 7$"):
        rs.hydrate_curies(db, [0, 7])
    with pytest.raises(OverflowError):
        rs.hydrate_curies(db, [-1])
    with pytest.raises(OverflowError):
        rs.hydrate_curies(db, [2**32])
    assert rs.hydrate_curies(db=db, curie_ids=(2,)) == rs.hydrate_curies(db, [2])


def test_empty_tables_give_one_empty_name(tmp_path):
    syn = tmp_path / "only.ndjson"
    syn.write_text('{"curie":"nocolon","names":["x"]}\n\n')
    out = tmp_path / "e.qdb"
    rs.build_fullmap_db(out, [], [syn])
    assert rs.hydrate_prefixes(out) == [""]
    assert rs.hydrate_categories(out) == [""]
    assert rs.hydrate_sources(out) == ["only"]
    assert rs.hydrate_curies(out, []) == []


@pytest.mark.parametrize("fn", [rs.hydrate_prefixes, rs.hydrate_sources,
                                rs.hydrate_categories,
                                lambda p: rs.hydrate_curies(p, [])])
def test_missing_or_foreign_files(tmp_path, fn):
    # An empty list still opens the database.
    with pytest.raises(RuntimeError,
                       match=r"^I/O error: No such file or directory \(os error 2\)$"):
        fn(tmp_path / "absent.qdb")
    junk = tmp_path / "junk.qdb"
    junk.write_bytes(b"not a database" * 100)
    with pytest.raises(RuntimeError):
        fn(junk)


def test_source_version():
    assert rs.fullmap_source_version() == "2026jul22"
