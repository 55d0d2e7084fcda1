"""End to end: xxh64, namespace_uuid and dedup_ndjson through the module."""
import json
import os
import random
import uuid

import pytest
import xxhash

import rs

NIL = uuid.UUID(int=0)
# Unicode White_Space (what the module trims); str.isspace would add U+001C..U+001F.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + \
    "\u2028\u2029\u202f\u205f\u3000"


def random_text(rng, max_len=12):
    alphabet = "ab:0123456789 \t\"\\/é€😀\x00\x1f\x7f" + WHITE_SPACE
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(max_len)))


# ---- xxh64 ----

def test_xxh64_matches_the_reference_digest():
    rng = random.Random()
    seed = rng.randrange(2**32)
    rng.seed(seed)
    for text in ["", "a", "hello", "é", "x" * 1000] + [random_text(rng, 64) for _ in range(500)]:
        assert rs.xxh64(text) == xxhash.xxh64(text.encode()).hexdigest(), (seed, text)
    assert rs.xxh64("é") == xxhash.xxh64(b"\xc3\xa9").hexdigest()


def test_xxh64_keeps_leading_zeros():
    # Find inputs whose digest has zero high bits, with the reference as oracle.
    found = [s for s in map(str, range(20000)) if xxhash.xxh64(s.encode()).intdigest() < 2**56]
    assert found
    for s in found[:20]:
        digest = rs.xxh64(s)
        assert len(digest) == 16 and digest.startswith("00")
        assert digest == format(xxhash.xxh64(s.encode()).intdigest(), "016x")


# ---- namespace_uuid ----

def reference_uuid(domain, parts):
    payload = "".join(f"{len(p.encode())}:{p}" for p in parts)
    return str(uuid.uuid3(uuid.uuid3(NIL, domain), payload))


def test_namespace_uuid_vectors():
    assert rs.namespace_uuid("d", ["a", "bc"]) == "58c0fb49-459b-32dd-94be-77f5bf4ed48c"
    assert rs.namespace_uuid("abc", []) == "1ccff59d-37d2-39df-8ffd-10d2e92669dd"
    assert rs.namespace_uuid("d", ["ab", "c"]) != rs.namespace_uuid("d", ["a", "bc"])
    assert rs.namespace_uuid("d", [""]) != rs.namespace_uuid("d", [])
    assert rs.namespace_uuid("e", ["a"]) != rs.namespace_uuid("d", ["a"])


def test_namespace_uuid_matches_uuid3_composition():
    rng = random.Random()
    seed = rng.randrange(2**32)
    rng.seed(seed)
    for _ in range(500):
        domain = random_text(rng)
        parts = [random_text(rng) for _ in range(rng.randrange(5))]
        got = rs.namespace_uuid(domain, parts)
        assert got == reference_uuid(domain, parts), (seed, domain, parts)
        assert got[14] == "3" and got[19] in "89ab"


# ---- dedup_ndjson: exact outputs ----

def dedup(tmp_path, data, is_edges=False, domain=None):
    src = tmp_path / "in.ndjson"
    dst = tmp_path / "out.ndjson"
    src.write_bytes(data.encode() if isinstance(data, str) else data)
    assert rs.dedup_ndjson(src, dst, is_edges, domain) is None
    return dst.read_bytes()


def edge_id(parts, domain="QUORVENDEL"):
    return reference_uuid(domain, parts)


ID_SO = edge_id(["o", "y", "s", "x"])
ID_AB = edge_id(["a", "1", "b", "2"])

NDJSON_CASES = [
    # (name, input, is_edges, expected output)
    ("duplicates after cleaning",
     '{"b": 1, "a": null}\n{"b":1}\n {  "b" :  1 }  \n', False, '{"b":1}\n'),
    ("key order matters", '{"a":1,"b":2}\n{"b":2,"a":1}\n', False, '{"a":1,"b":2}\n{"b":2,"a":1}\n'),
    ("same id, different bytes", '{"a":1,"b":2}\n{"b":2,"a":1}\n', True,
     f'{{"a":1,"b":2,"id":"{ID_AB}"}}\n{{"b":2,"a":1,"id":"{ID_AB}"}}\n'),
    ("null-like strings",
     '{"a":"null","b":" None ","c":"NaN","d":"na\\u3000","e":"","f":" \\t ","g":"\\u00a0NULL",'
     '"h":" x ","i":"Null!","j":"n/a","k":"nil","l":false,"m":0,"n":"\\u001fnull"}\n', False,
     '{"h":" x ","i":"Null!","j":"n/a","k":"nil","l":false,"m":0,"n":"\\u001fnull"}\n'),
    ("empty containers", '{"p":[],"q":{},"r":{"x":null},"s":[[]],"t":[{}]}\n', False,
     '{"r":{},"s":[[]],"t":[{}]}\n'),
    ("nested arrays and objects", '{"p":[null,{"x":null,"y":1},[{"z":null}],"","NA"],"q":{"a":{"b":" "}}}\n',
     False, '{"p":[null,{"y":1},[{"z":null}],"","NA"],"q":{"a":{}}}\n'),
    ("duplicate keys", '{"a":1,"b":2,"a":3}\n{"a":null,"b":2,"a":4}\n{"a":1,"a":null}\n', False,
     '{"a":3,"b":2}\n{"a":4,"b":2}\n'),
    ("numbers",
     '[1e2,1.0,0.1,1e16,1e15,1e-6,0.00001,18446744073709551615,18446744073709551616,-5,-0,'
     '-9223372036854775808,-9223372036854775809,1.7976931348623157e308,5e-324,1e-400,0e999]\n', False,
     '[100.0,1.0,0.1,1e+16,1000000000000000.0,1e-6,0.00001,18446744073709551615,'
     '1.8446744073709552e+19,-5,-0.0,-9223372036854775808,-9.223372036854776e+18,'
     '1.7976931348623157e+308,5e-324,0.0,0.0]\n'),
    ("escapes", '{"a":"\\t\\"\\u001f\\/\\u00e9\\u007f\\ud83d\\ude00\\b\\f\\n\\r\\\\\\u0000"}\n', False,
     '{"a":"\\t\\"\\u001f/é\x7f😀\\b\\f\\n\\r\\\\\\u0000"}\n'),
    ("raw non-ASCII kept", '{"é":"€ 😀"}\n', False, '{"é":"€ 😀"}\n'),
    ("CRLF and missing final newline", '{"a":1}\r\n{"a":2}\r\n{"a":3}', False,
     '{"a":1}\n{"a":2}\n{"a":3}\n'),
    ("only one CR is removed", '"x"\r\r\n', False, '"x"\n'),
    ("blank and empty lines", '\n   \n\t\n\u3000\u2028\n{"a":null}\n{}\n{"a":1}\n\n', False, '{"a":1}\n'),
    ("blank and emptied lines in edge mode", '\n  \n{"a":null}\n{}\n', True, ''),
    ("non-objects in node mode", '[1,null]\n"x"\n3\nnull\ntrue\n[1,null]\n', False,
     '[1,null]\n"x"\n3\nnull\ntrue\n'),
    ("edge gets a last id", '{"s":"x","o":"y"}\n', True, f'{{"s":"x","o":"y","id":"{ID_SO}"}}\n'),
    ("old id kept in place and hashed",
     '{"id":"old","s":"x","o":"y"}\n{"id":"older","s":"x","o":"y"}\n', True,
     f'{{"id":"{edge_id(["id", "old", "o", "y", "s", "x"])}","s":"x","o":"y"}}\n'
     f'{{"id":"{edge_id(["id", "older", "o", "y", "s", "x"])}","s":"x","o":"y"}}\n'),
    ("null old id", '{"s":"x","id":null,"o":"y"}\n', True, f'{{"s":"x","o":"y","id":"{ID_SO}"}}\n'),
    ("edge texts", '{"t":true,"f":false,"n":1.0,"i":-2,"a":["x",null],"o":{"z":1,"y":2},"e":""}\n', True,
     '{"t":true,"f":false,"n":1.0,"i":-2,"a":["x",null],"o":{"z":1,"y":2},"id":"'
     + edge_id(["a", '["x",null]', "i", "-2", "n", "1.0", "o", '{"z":1,"y":2}', "t", "true"]) + '"}\n'),
    ("edge duplicates", '{"s":"x","o":"y"}\n{"o":"y","s":"x"}\n{"s":"x","o":"y","n":"none"}\n', True,
     f'{{"s":"x","o":"y","id":"{ID_SO}"}}\n{{"o":"y","s":"x","id":"{ID_SO}"}}\n'),
]


@pytest.mark.parametrize("name,data,is_edges,expected", NDJSON_CASES, ids=[c[0] for c in NDJSON_CASES])
def test_dedup_output_bytes(tmp_path, name, data, is_edges, expected):
    assert dedup(tmp_path, data, is_edges) == expected.encode()


def test_edge_domain(tmp_path):
    line = '{"s":"x","o":"y"}\n'
    default = dedup(tmp_path, line, True)
    assert dedup(tmp_path, line, True, "QUORVENDEL") == default
    other = dedup(tmp_path, line, True, "other")
    assert other == f'{{"s":"x","o":"y","id":"{edge_id(["o", "y", "s", "x"], "other")}"}}\n'.encode()
    # The domain does not touch nodes.
    assert dedup(tmp_path, line, False, "other") == dedup(tmp_path, line, False) == line.encode()


def test_empty_input_gives_empty_output(tmp_path):
    assert dedup(tmp_path, "", True) == b""


# ---- dedup_ndjson: errors ----

OK_LINE = '{"ok":1}\n'
ERROR_CASES = [
    # (line, is_edges, message)
    ("x", False, "expected value at line 1 column 1"),
    ('{"a":1} x', False, "trailing characters at line 1 column 9"),
    ('{"a":1}\x00', False, "trailing characters at line 1 column 8"),
    ('{"a":', False, "EOF while parsing a value at line 1 column 5"),
    ("{", False, "EOF while parsing an object at line 1 column 1"),
    ("[1", False, "EOF while parsing a list at line 1 column 2"),
    ('"abc', False, "EOF while parsing a string at line 1 column 4"),
    ("{1:2}", False, "key must be a string at line 1 column 2"),
    ("[" * 128 + "]" * 128, False, "recursion limit exceeded at line 1 column 128"),
    ('{"a":' * 127 + "1" + "}" * 127 + "x", False, "trailing characters at line 1 column 764"),
    ("\ufeff{}", False, "expected value at line 1 column 1"),
    ('{"a":1e400}', False, "number out of range at line 1 column 10"),
    ('{"a":-1E+400}', False, "number out of range at line 1 column 12"),
    # dedup_ndjson keeps every value, so it converts every number and bounds
    # every nesting, also under keys that the fullmap's rows would ignore.
    pytest.param('{"a":1' + "0" * 400 + "}", False, "number out of range at line 1 column 406",
                 id="401-digit-integer"),
    pytest.param('{"a":' + "[" * 10**6 + "]" * 10**6 + "}", False,
                 "recursion limit exceeded at line 1 column 132", id="arrays-1e6-deep"),
    pytest.param('{"a":' * 10**6 + "1" + "}" * 10**6, False,
                 "recursion limit exceeded at line 1 column 636", id="objects-1e6-deep"),
    ('{"a":"\\ud800"}', False, "unexpected end of hex escape at line 1 column 13"),
    ('{"a":"\\udc00"}', False, "lone leading surrogate in hex escape at line 1 column 12"),
    ('{"a":"\\ud800\\u0041"}', False, "lone leading surrogate in hex escape at line 1 column 18"),
    ("[1,]", False, "trailing comma at line 1 column 4"),
    ('{"a":1,}', False, "trailing comma at line 1 column 8"),
    ('{"a" 1}', False, "expected `:` at line 1 column 6"),
    ("[1 2]", False, "expected `,` or `]` at line 1 column 4"),
    ('{"a":1 "b":2}', False, "expected `,` or `}` at line 1 column 8"),
    ('"\\x"', False, "invalid escape at line 1 column 3"),
    ('"\\u12g4"', False, "invalid escape at line 1 column 7"),
    ('"a\tb"', False, "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ("nul", False, "EOF while parsing a value at line 1 column 3"),
    ("nux", False, "expected ident at line 1 column 3"),
    ("01", False, "invalid number at line 1 column 2"),
    ("-", False, "invalid number at line 1 column 1"),
    ("1.", False, "EOF while parsing a value at line 1 column 2"),
    ("1.e3", False, "invalid number at line 1 column 3"),
    ("NaN", False, "expected value at line 1 column 1"),
    ("[1]", True, "expected JSON object"),
    ('"x"', True, "expected JSON object"),
    ("3", True, "expected JSON object"),
    ("null", True, "expected JSON object"),
]


@pytest.mark.parametrize("line,is_edges,message", ERROR_CASES)
def test_dedup_errors(tmp_path, line, is_edges, message):
    src = tmp_path / "in.ndjson"
    dst = tmp_path / "out.ndjson"
    src.write_bytes((OK_LINE + line + "\n" + '{"after":1}\n').encode())
    with pytest.raises(RuntimeError) as info:
        rs.dedup_ndjson(src, dst, is_edges)
    assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) is None
    # The records accepted before the failing line are in the output.
    kept = dst.read_bytes()
    assert kept.startswith(b'{"ok":1') and kept.count(b"\n") == 1


def test_invalid_utf8_is_a_read_error(tmp_path):
    src = tmp_path / "in.ndjson"
    dst = tmp_path / "out.ndjson"
    for bad in [b'{"a":"\xff"}', b'"\xed\xa0\x80"', b'"\xc0\xaf"', b'"\xf4\x90\x80\x80"', b'"\xe2\x82"']:
        src.write_bytes(OK_LINE.encode() + bad + b"\n")
        with pytest.raises(RuntimeError, match="^stream did not contain valid UTF-8$"):
            rs.dedup_ndjson(src, dst, False)
        assert dst.read_bytes() == OK_LINE.encode()


def test_missing_input_leaves_output_untouched(tmp_path):
    dst = tmp_path / "out.ndjson"
    with pytest.raises(RuntimeError) as info:
        rs.dedup_ndjson(tmp_path / "missing.ndjson", dst, False)
    assert str(info.value) == "No such file or directory (os error 2)"
    assert not dst.exists()
    dst.write_text("keep")
    with pytest.raises(RuntimeError):
        rs.dedup_ndjson(tmp_path / "missing.ndjson", dst, False)
    assert dst.read_text() == "keep"


def test_output_errors(tmp_path):
    src = tmp_path / "in.ndjson"
    src.write_text(OK_LINE)
    with pytest.raises(RuntimeError, match=r"^No such file or directory \(os error 2\)$"):
        rs.dedup_ndjson(src, tmp_path / "no" / "out.ndjson", False)
    with pytest.raises(RuntimeError, match=r"^Is a directory \(os error 21\)$"):
        rs.dedup_ndjson(src, tmp_path, False)
    # A directory as input opens but cannot be read.
    dst = tmp_path / "out.ndjson"
    with pytest.raises(RuntimeError, match=r"^Is a directory \(os error 21\)$"):
        rs.dedup_ndjson(tmp_path, dst, False)
    assert src.read_text() == OK_LINE


def test_existing_output_is_truncated(tmp_path):
    dst = tmp_path / "out.ndjson"
    dst.write_text("x" * 10000)
    src = tmp_path / "in.ndjson"
    src.write_text(OK_LINE)
    rs.dedup_ndjson(src, dst, False)
    assert dst.read_text() == OK_LINE


def test_failing_flush_is_an_error(tmp_path):
    src = tmp_path / "in.ndjson"
    src.write_text(OK_LINE * 3 + '{"b":2}\n')
    with pytest.raises(RuntimeError) as info:
        rs.dedup_ndjson(src, "/dev/full", False)
    assert str(info.value) == "No space left on device (os error 28)"
    # Also when the output fills up mid-way through a large file.
    src.write_text("".join(f'{{"n":{i},"pad":"{"p" * 100}"}}\n' for i in range(30000)))
    with pytest.raises(RuntimeError, match=r"^No space left on device \(os error 28\)$"):
        rs.dedup_ndjson(src, "/dev/full", True)


# ---- dedup_ndjson: input and output naming the same file ----

@pytest.mark.parametrize("how", ["same path", "other spelling", "symlink", "hard link"])
def test_same_file_is_refused_and_input_survives(tmp_path, how):
    src = tmp_path / "in.ndjson"
    content = OK_LINE + OK_LINE + '{"b":null}\n'
    src.write_text(content)
    if how == "same path":
        dst = src
    elif how == "other spelling":
        os.mkdir(tmp_path / "sub")
        dst = tmp_path / "sub" / ".." / "in.ndjson"
    elif how == "symlink":
        dst = tmp_path / "link.ndjson"
        dst.symlink_to(src)
    else:
        dst = tmp_path / "hard.ndjson"
        os.link(src, dst)
    before = os.stat(src)
    with pytest.raises(RuntimeError) as info:
        rs.dedup_ndjson(src, dst, False)
    assert str(info.value) == "input and output are the same file; refusing to overwrite the input"
    assert src.read_text() == content
    assert os.stat(src).st_mtime_ns == before.st_mtime_ns
    # Also when the input is named through the link.
    with pytest.raises(RuntimeError, match="same file"):
        rs.dedup_ndjson(dst, src, True)
    assert src.read_text() == content


def test_nul_in_a_path_is_refused_before_anything_is_opened(tmp_path):
    src = tmp_path / "in.ndjson"
    src.write_text(OK_LINE)
    for args, param in [((str(src) + "\0x", tmp_path / "o"), "input"),
                        ((src, str(tmp_path / "o") + "\0x"), "output")]:
        with pytest.raises(ValueError) as info:
            rs.dedup_ndjson(*args, False)
        assert str(info.value) == "embedded null byte"
        assert info.value.__notes__ == [f"while processing '{param}'"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.ndjson"]
    assert src.read_text() == OK_LINE


# ---- dedup_ndjson against a model ----

def model_number(x):
    if isinstance(x, int):
        return str(x)
    if x == 0:
        return "-0.0" if str(x).startswith("-") else "0.0"
    sign = "-" if x < 0 else ""
    digits_repr = repr(abs(x))
    # Shortest digits from repr, decimal exponent of the first digit.
    if "e" in digits_repr:
        m, e = digits_repr.split("e")
        exp10 = int(e)
        digits = m.replace(".", "")
    else:
        whole, _, frac = digits_repr.partition(".")
        all_digits = (whole + frac).lstrip("0")
        exp10 = len(whole) - 1 if whole != "0" else -(len(frac) - len(frac.lstrip("0")) + 1)
        digits = all_digits
    digits = digits.rstrip("0") or "0"
    if -5 <= exp10 <= 15:
        if exp10 >= 0:
            whole = digits[: exp10 + 1].ljust(exp10 + 1, "0")
            frac = digits[exp10 + 1:] or "0"
            return f"{sign}{whole}.{frac}"
        return f"{sign}0.{'0' * (-exp10 - 1)}{digits}"
    rest = f".{digits[1:]}" if len(digits) > 1 else ""
    return f"{sign}{digits[0]}{rest}e{'-' if exp10 < 0 else '+'}{abs(exp10)}"


def model_compact(v):
    if isinstance(v, bool) or v is None or isinstance(v, str):
        return json.dumps(v, ensure_ascii=False)
    if isinstance(v, (int, float)):
        return model_number(v)
    if isinstance(v, list):
        return "[" + ",".join(model_compact(x) for x in v) + "]"
    return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + model_compact(x) for k, x in v.items()) + "}"


def model_strip(v):
    if not isinstance(v, dict):
        return v
    out = {}
    for k, x in v.items():
        if x is None:
            continue
        if isinstance(x, str):
            t = x.strip(WHITE_SPACE)
            if not t or t.encode().lower() in (b"null", b"none", b"nan", b"na"):
                continue
        elif isinstance(x, list):
            if not x:
                continue
            x = [model_strip(e) if isinstance(e, dict) else e for e in x]
        elif isinstance(x, dict):
            if not x:
                continue
            x = model_strip(x)
        out[k] = x
    return out


def model_edge_id(record, domain):
    parts = []
    for k, x in sorted(record.items(), key=lambda kv: kv[0].encode()):
        if x is None or x is False or x == "":
            continue
        text = "true" if x is True else x if isinstance(x, str) else model_compact(x)
        parts += [k, text]
    return reference_uuid(domain, parts)


def model_dedup(lines, is_edges, domain="QUORVENDEL"):
    seen, out = set(), []
    for line in lines:
        if not line.strip(WHITE_SPACE):
            continue
        rec = model_strip(json.loads(line))
        if rec == {}:
            continue
        if is_edges:
            rec["id"] = model_edge_id(rec, domain)
        text = model_compact(rec)
        if text not in seen:
            seen.add(text)
            out.append(text + "\n")
    return "".join(out)


def random_value(rng, depth=0):
    kind = rng.randrange(10 if depth < 3 else 7)
    if kind == 0:
        return None
    if kind == 1:
        return rng.choice([True, False])
    if kind == 2:
        return rng.choice([0, 1, -1, 2**63, -(2**63), 2**64 - 1, rng.randrange(-10**6, 10**6)])
    if kind == 3:
        return rng.choice([0.5, 1.0, -0.0, 0.0, 1e16, 1e15, 1e-5, 1.5e-7, 123.456, 1e300,
                           rng.uniform(-1e6, 1e6), rng.random() * 10 ** rng.randrange(-30, 30)])
    if kind in (4, 5, 6):
        return rng.choice(["", " ", "null", " NA ", "None", "nan", "x", " x ", "n/a", "é",
                           "\u3000null", "\x1fnull", "a\"b\\c\n", "😀", random_text(rng)])
    if kind in (7, 8):
        return [random_value(rng, depth + 1) for _ in range(rng.randrange(4))]
    return {rng.choice("abcdé"): random_value(rng, depth + 1) for _ in range(rng.randrange(4))}


def random_line(rng, pool):
    if pool and rng.random() < 0.3:
        return rng.choice(pool)  # an exact duplicate
    rec = {rng.choice(["s", "o", "p", "id", "ü", "S", "score"]): random_value(rng) for _ in range(rng.randrange(1, 6))}
    sep = rng.choice([(",", ":"), (", ", ": "), (" , ", " : ")])
    line = json.dumps(rec, ensure_ascii=rng.random() < 0.5, separators=sep)
    pool.append(line)
    return line


@pytest.mark.parametrize("is_edges", [False, True])
def test_dedup_matches_a_model_on_random_records(tmp_path, is_edges):
    rng = random.Random()
    seed = rng.randrange(2**32)
    rng.seed(seed)
    pool = []
    lines = [random_line(rng, pool) for _ in range(3000)]
    domain = rng.choice([None, "QUORVENDEL", "other"])
    got = dedup(tmp_path, "\n".join(lines) + "\n", is_edges, domain)
    assert got.decode() == model_dedup(lines, is_edges, domain or "QUORVENDEL"), seed
