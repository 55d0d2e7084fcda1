"""Input rows of build_fullmap_db end to end: values under keys that the
synonym and class rows do not list are checked for JSON syntax alone, while
the listed fields keep their errors."""
import pytest

import rs

DEEP = 10**6
# Valid JSON values a row must pass by under a key it does not list.
UNLISTED = [
    pytest.param("1e400", id="huge"),
    pytest.param("-1e400", id="negative-huge"),
    pytest.param("1e-400", id="tiny"),
    pytest.param("-1E-400", id="negative-tiny"),
    pytest.param("1" + "0" * 400, id="401-digits"),
    pytest.param("-" + "9" * 401, id="negative-401-digits"),
    pytest.param("0e400", id="zero-huge-exponent"),
    pytest.param("[" * DEEP + "]" * DEEP, id="arrays-1e6-deep"),
    pytest.param('{"a":' * DEEP + "-1e400" + "}" * DEEP, id="objects-1e6-deep"),
    pytest.param('[1e400,{"b":[' + "[" * DEEP + "]" * DEEP + ',-1e400,"\\u00e9"]},' +
                 '{"c":' * DEEP + "null" + "}" * DEEP + "]", id="mixed"),
]


def build_and_look_up(tmp_path, synonym_lines, class_lines, terms):
    syn = tmp_path / "syn.ndjson"
    syn.write_text("".join(line + "\n" for line in synonym_lines))
    cls = tmp_path / "classes.ndjson"
    cls.write_text("".join(line + "\n" for line in class_lines))
    out = tmp_path / "db.qdb"
    rs.build_fullmap_db(out, [cls], [syn], threads=2)
    rows = rs.lookup_fullmap_terms(out, terms)
    return sorted((r["term"], r["CURIE"], r["PREFERRED_NAME"], r["CATEGORY_NAME"])
                  for r in rows)


@pytest.mark.parametrize("value", UNLISTED)
def test_unlisted_values_are_ignored(tmp_path, value):
    synonyms = [
        '{"x":%s,"curie":"MONDO:1","names":["sugar sickness"],"types":["biolink:Disease"]}'
        % value,
        '{"curie":"MONDO:2","names":["second"],"score":%s,"name":"Two"}' % value,
    ]
    classes = [
        '{"id":"MONDO:1","extra":%s,"equivalent_identifiers":'
        '["DOID:9",{"identifier":"MESH:D1","score":%s}]}' % (value, value),
    ]
    found = build_and_look_up(tmp_path, synonyms, classes,
                              ["sugar sickness", "doid:9", "mesh:d1", "second", "mondo:2"])
    assert found == [
        ("doid:9", "MONDO:1", "MONDO:1", "Disease"),
        ("mesh:d1", "MONDO:1", "MONDO:1", "Disease"),
        ("mondo:2", "MONDO:2", "Two", "NamedThing"),
        ("second", "MONDO:2", "Two", "NamedThing"),
        ("sugar sickness", "MONDO:1", "MONDO:1", "Disease"),
    ]


FINE_SYNONYM = '{"curie":"A:1","names":["n"]}'
FINE_CLASS = '{"id":"A:1","equivalent_identifiers":["B:1"]}'


@pytest.mark.parametrize("synonym, klass, message", [
    # The listed fields convert their numbers and bound their nesting as before.
    ('{"curie":1e400}', FINE_CLASS, "number out of range at line 1 column 14"),
    ('{"curie":"A:1","names":["n",-1e400]}', FINE_CLASS,
     "number out of range at line 1 column 34"),
    (FINE_SYNONYM, '{"id":"A:1","equivalent_identifiers":[{"id":1%s}]}' % ("0" * 400),
     "number out of range at line 1 column 445"),
    (FINE_SYNONYM, '{"id":"A:1","equivalent_identifiers":%s}' % ("[" * DEEP + "]" * DEEP),
     "recursion limit exceeded at line 1 column 164"),
    # Malformed JSON under a key not listed is still a syntax error.
    ('{"curie":"A:1","x":[1e400,]}', FINE_CLASS, "trailing comma at line 1 column 27"),
    (FINE_SYNONYM, '{"id":"A:1","x":%s}' % ("[" * DEEP + "}"),
     "expected value at line 1 column %d" % (16 + DEEP + 1)),
    (FINE_SYNONYM, '{"id":"A:1","equivalent_identifiers":[{"x":{"a" 1}}]}',
     "expected `:` at line 1 column 49"),
], ids=["curie-huge", "names-huge", "identifier-401-digits", "identifiers-1e6-deep",
        "unlisted-trailing-comma", "unlisted-deep-unclosed", "unlisted-missing-colon"])
def test_failing_lines(tmp_path, synonym, klass, message):
    with pytest.raises(RuntimeError) as info:
        build_and_look_up(tmp_path, [synonym], [klass], [])
    assert str(info.value) == message
