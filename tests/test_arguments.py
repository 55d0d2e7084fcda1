"""Argument binding and conversion, across all ten signatures."""
import pathlib

import numpy as np
import pytest

import rs

WHILE = "while processing '{}'"


class Boom:
    """A sequence whose iteration fails."""

    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise KeyError("boom")


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


# (call, exception type, message, notes)
ARITY = [
    (lambda: rs.xxh64(), TypeError, "xxh64() missing 1 required positional argument: 'data'", None),
    (lambda: rs.namespace_uuid(), TypeError,
     "namespace_uuid() missing 2 required positional arguments: 'domain' and 'values'", None),
    (lambda: rs.build_fullmap_db(), TypeError,
     "build_fullmap_db() missing 3 required positional arguments: 'output', 'classes', and 'synonyms'", None),
    (lambda: rs.build_fullmap_db(classes=[]), TypeError,
     "build_fullmap_db() missing 2 required positional arguments: 'output' and 'synonyms'", None),
    (lambda: rs.hydrate_curies(curie_ids=[]), TypeError,
     "hydrate_curies() missing 1 required positional argument: 'db'", None),
    (lambda: rs.lookup_fullmap_terms(threads=1), TypeError,
     "lookup_fullmap_terms() missing 2 required positional arguments: 'db' and 'terms'", None),
    (lambda: rs.dedup_ndjson("a"), TypeError,
     "dedup_ndjson() missing 2 required positional arguments: 'output' and 'is_edges'", None),
    (lambda: rs.hydrate_sources(), TypeError, "hydrate_sources() missing 1 required positional argument: 'db'", None),
    (lambda: rs.xxh64("a", "b"), TypeError, "xxh64() takes 1 positional arguments but 2 were given", None),
    (lambda: rs.namespace_uuid("a", [], 3), TypeError,
     "namespace_uuid() takes 2 positional arguments but 3 were given", None),
    (lambda: rs.dedup_ndjson("a", "b", True, None, 5), TypeError,
     "dedup_ndjson() takes from 3 to 4 positional arguments but 5 were given", None),
    (lambda: rs.lookup_fullmap_terms(1, 2, 3, 4, 5), TypeError,
     "lookup_fullmap_terms() takes from 2 to 4 positional arguments but 5 were given", None),
    (lambda: rs.hydrate_prefixes("a", "b"), TypeError,
     "hydrate_prefixes() takes 1 positional arguments but 2 were given", None),
    (lambda: rs.xxh64(text="a"), TypeError, "xxh64() got an unexpected keyword argument 'text'", None),
    (lambda: rs.xxh64("a", data="a"), TypeError, "xxh64() got multiple values for argument 'data'", None),
    (lambda: rs.build_fullmap_db("o", [], [], progress=None, progress2=1), TypeError,
     "build_fullmap_db() got an unexpected keyword argument 'progress2'", None),
    (lambda: rs.hydrate_categories(db="x", other=1), TypeError,
     "hydrate_categories() got an unexpected keyword argument 'other'", None),
]

CONVERSION = [
    # text
    (lambda: rs.xxh64(1), TypeError, "'int' object is not an instance of 'str'", "data"),
    (lambda: rs.xxh64(None), TypeError, "'None' is not an instance of 'str'", "data"),
    (lambda: rs.xxh64(b"a"), TypeError, "'bytes' object is not an instance of 'str'", "data"),
    (lambda: rs.xxh64("\ud800"), UnicodeEncodeError, None, "data"),
    (lambda: rs.lookup_fullmap_terms("db", [], return_format=None), TypeError,
     "'None' is not an instance of 'str'", "return_format"),
    # list of text
    (lambda: rs.namespace_uuid("d", "ab"), TypeError, "Can't extract `str` to `Vec`", "values"),
    (lambda: rs.namespace_uuid("d", {"a"}), TypeError, "'set' object is not an instance of 'Sequence'", "values"),
    (lambda: rs.namespace_uuid("d", {"a": 1}), TypeError, "'dict' object is not an instance of 'Sequence'", "values"),
    (lambda: rs.namespace_uuid("d", (x for x in "a")), TypeError,
     "'generator' object is not an instance of 'Sequence'", "values"),
    (lambda: rs.namespace_uuid("d", 5), TypeError, "'int' object is not an instance of 'Sequence'", "values"),
    (lambda: rs.namespace_uuid("d", ["a", 1]), TypeError, "'int' object is not an instance of 'str'", "values"),
    (lambda: rs.namespace_uuid("d", Boom()), KeyError, "'boom'", "values"),
    (lambda: rs.lookup_fullmap_terms("db", "term"), TypeError, "Can't extract `str` to `Vec`", "terms"),
    # bool
    (lambda: rs.dedup_ndjson("a", "b", 1), TypeError, "'int' object is not an instance of 'bool'", "is_edges"),
    (lambda: rs.dedup_ndjson("a", "b", None), TypeError, "'NoneType' object is not an instance of 'bool'", "is_edges"),
    # path
    (lambda: rs.dedup_ndjson(b"a", "b", True), TypeError, "'bytes' object is not an instance of 'str'", "input"),
    (lambda: rs.dedup_ndjson("a", 3, True), TypeError,
     "expected str, bytes or os.PathLike object, not int", "output"),
    (lambda: rs.dedup_ndjson("a\0b", "b", True), ValueError, "embedded null byte", "input"),
    (lambda: rs.hydrate_sources(None), TypeError, "expected str, bytes or os.PathLike object, not NoneType", "db"),
    # list of paths
    (lambda: rs.build_fullmap_db("o", "c", []), TypeError, "Can't extract `str` to `Vec`", "classes"),
    (lambda: rs.build_fullmap_db("o", [], [b"s"]), TypeError, "'bytes' object is not an instance of 'str'", "synonyms"),
    # optional text
    (lambda: rs.dedup_ndjson("a", "b", True, 3), TypeError, "'int' object is not an instance of 'str'", "domain"),
    # unsigned 64-bit
    (lambda: rs.lookup_fullmap_terms("db", [], -1), OverflowError, "can't convert negative int to unsigned", "threads"),
    (lambda: rs.lookup_fullmap_terms("db", [], 2**64), OverflowError, None, "threads"),
    (lambda: rs.lookup_fullmap_terms("db", [], "4"), TypeError, None, "threads"),
    (lambda: rs.build_fullmap_db("o", [], ["s"], 1.5), TypeError, None, "threads"),
    # unsigned 32-bit
    (lambda: rs.hydrate_curies("db", [-1]), OverflowError, "out of range integral type conversion attempted", "curie_ids"),
    (lambda: rs.hydrate_curies("db", [4294967296]), OverflowError,
     "out of range integral type conversion attempted", "curie_ids"),
    (lambda: rs.hydrate_curies("db", [2**70]), OverflowError, None, "curie_ids"),
    (lambda: rs.hydrate_curies("db", ["1"]), TypeError, None, "curie_ids"),
    (lambda: rs.hydrate_curies("db", 7), TypeError, "'int' object is not an instance of 'Sequence'", "curie_ids"),
]


@pytest.mark.parametrize("call,exc_type,message,note", ARITY + CONVERSION)
def test_argument_errors(call, exc_type, message, note):
    with pytest.raises(BaseException) as info:
        call()
    exc = info.value
    assert type(exc) is exc_type, repr(exc)
    if message is not None:
        text = str(exc) if exc_type is not KeyError else repr(exc.args[0])
        assert text == message
    notes = getattr(exc, "__notes__", None)
    if note is None:
        assert notes is None
    else:
        assert notes == [WHILE.format(note)]


def test_first_failing_conversion_wins():
    # Both are wrong: the earlier parameter is reported.
    with pytest.raises(TypeError) as info:
        rs.namespace_uuid(1, "x")
    assert info.value.__notes__ == [WHILE.format("domain")]


def test_arity_errors_come_before_conversion():
    with pytest.raises(TypeError, match="unexpected keyword"):
        rs.xxh64(1, bogus=2)


def raises_only_unbuilt(call):
    # Accepted arguments reach the body, which then finds no database file.
    with pytest.raises(RuntimeError,
                       match=r"is not available yet|^I/O error: No such file or directory"):
        call()


@pytest.fixture
def ndjson_pair(tmp_path):
    src = tmp_path / "in.ndjson"
    src.write_text('{"s":"x","o":"y"}\n')
    return src, tmp_path / "out.ndjson"


@pytest.mark.parametrize(
    "call",
    [
        # accepted conversions reach the body
        lambda: rs.hydrate_curies("db", [0, 4294967295, Index(7), True]),
        lambda: rs.hydrate_curies("db", range(3)),
        lambda: rs.lookup_fullmap_terms("db", [], None, "pairs"),
        lambda: rs.lookup_fullmap_terms("db", [], Index(3)),
        lambda: rs.lookup_fullmap_terms(db="db", terms=["x"], threads=0, return_format="rows"),
    ],
)
def test_accepted_arguments(call):
    raises_only_unbuilt(call)


def test_accepted_build_arguments(tmp_path):
    syn = tmp_path / "s.ndjson"
    syn.write_text('{"curie":"X:1","names":["a"]}\n')
    out = tmp_path / "o.qdb"
    assert rs.build_fullmap_db(out, (), [syn], None, print) is None
    assert rs.build_fullmap_db(str(out), [], [str(syn)], threads=0, progress=object()) is None
    # A thread count no pool can have is the pool's failure, not a crash.
    with pytest.raises(RuntimeError, match="^failed to start the build's thread pool"):
        rs.build_fullmap_db(out, [], [syn], threads=2**64 - 1)


def test_accepted_record_utility_arguments(ndjson_pair):
    src, dst = ndjson_pair
    assert rs.namespace_uuid("d", ("a", "b")) == rs.namespace_uuid("d", ["a", "b"])
    assert rs.namespace_uuid(domain="d", values=["a"]) == rs.namespace_uuid("d", ["a"])
    assert isinstance(rs.namespace_uuid("d", []), str)
    assert rs.xxh64(str.__new__(type("S", (str,), {}), "sub")) == rs.xxh64("sub")
    outputs = []
    for call in [
        lambda: rs.dedup_ndjson(src, pathlib.PurePosixPath(dst), np.True_),
        lambda: rs.dedup_ndjson(str(src), str(dst), np.bool_(True), None),
        lambda: rs.dedup_ndjson(src, dst, True),
        lambda: rs.dedup_ndjson(input=src, output=dst, is_edges=True, domain="QUORVENDEL"),
    ]:
        assert call() is None
        outputs.append(dst.read_bytes())
    # numpy's booleans, path objects and an explicit None domain act like the plain forms
    assert len(set(outputs)) == 1 and b'"id":' in outputs[0]
    assert rs.dedup_ndjson(src, dst, np.bool_(False), domain="x") is None
    assert dst.read_bytes() == b'{"s":"x","o":"y"}\n'


@pytest.mark.parametrize("fmt", ["ROWS", "", "row", "pairs "])
def test_return_format_is_checked_before_anything_is_opened(fmt, tmp_path):
    missing = tmp_path / "does-not-exist.db"
    with pytest.raises(ValueError) as info:
        rs.lookup_fullmap_terms(missing, ["a"], return_format=fmt)
    assert str(info.value) == "return_format must be 'rows' or 'pairs'"
    assert getattr(info.value, "__notes__", None) is None
    assert not missing.exists()


def test_empty_synonyms_is_a_value_error_and_empty_classes_is_fine(tmp_path):
    with pytest.raises(ValueError, match="^at least one synonym file is required$"):
        rs.build_fullmap_db(tmp_path / "new" / "o", ["c"], [])
    assert not (tmp_path / "new").exists()
    syn = tmp_path / "s.ndjson"
    syn.write_text("\n")
    assert rs.build_fullmap_db(tmp_path / "o", [], [syn]) is None
    assert rs.hydrate_prefixes(tmp_path / "o") == [""]
