"""The module surface: registration, signatures, docs and the panic path."""
import inspect
import pathlib

import pytest

import rs

ORDER = [
    "build_fullmap_db",
    "fullmap_source_version",
    "hydrate_categories",
    "hydrate_curies",
    "hydrate_prefixes",
    "hydrate_sources",
    "lookup_fullmap_terms",
    "dedup_ndjson",
    "namespace_uuid",
    "xxh64",
]

SIGNATURES = {
    "build_fullmap_db": "(output, classes, synonyms, threads=None, progress=None)",
    "fullmap_source_version": "()",
    "hydrate_categories": "(db)",
    "hydrate_curies": "(db, curie_ids)",
    "hydrate_prefixes": "(db)",
    "hydrate_sources": "(db)",
    "lookup_fullmap_terms": '(db, terms, threads=None, return_format="rows")',
    "dedup_ndjson": "(input, output, is_edges, domain=None)",
    "namespace_uuid": "(domain, values)",
    "xxh64": "(data)",
}


def test_module_lists_ten_functions_in_order_and_nothing_else():
    assert rs.__all__ == ORDER
    assert rs.__doc__ == ""
    public = sorted(n for n in dir(rs) if not n.startswith("_"))
    assert public == sorted(ORDER)


@pytest.mark.parametrize("name", ORDER)
def test_function_objects(name):
    fn = getattr(rs, name)
    assert inspect.isbuiltin(fn)
    assert fn.__self__ is rs
    assert fn.__module__ == "rs"
    assert fn.__name__ == name
    assert fn.__text_signature__ == SIGNATURES[name]
    prose = {"xxh64", "lookup_fullmap_terms"}
    assert bool(fn.__doc__) == (name in prose), fn.__doc__


def test_prose_docs():
    assert rs.xxh64.__doc__.startswith("XXH64 hex digest (seed 0) of a string's UTF-8 bytes.")
    assert rs.lookup_fullmap_terms.__doc__.startswith("Look up fullmap records for `terms`.")
    assert "threads=1" in rs.lookup_fullmap_terms.__doc__


def test_source_version_and_its_arity():
    assert rs.fullmap_source_version() == "2026jul22"
    with pytest.raises(TypeError, match="takes no arguments"):
        rs.fullmap_source_version(1)


def test_panic_is_base_exception_with_message(panic_probe):
    with pytest.raises(BaseException) as info:
        try:
            panic_probe.panic_with_message("index out of bounds: the len is 3")
        except Exception:  # a panic must not be caught here
            pytest.fail("panic caught by `except Exception`")
    exc = info.value
    assert not isinstance(exc, Exception)
    assert type(exc).__bases__ == (BaseException,)
    assert exc.args == ("index out of bounds: the len is 3",)


def test_panic_type_is_shared_and_not_a_module_attribute(panic_probe):
    types = set()
    for call in (lambda: panic_probe.panic_with_message("x"), panic_probe.panic_without_message,
                 panic_probe.assert_fails):
        with pytest.raises(BaseException) as info:
            call()
        types.add(type(info.value))
        assert info.value.args and info.value.args[0]
    assert len(types) == 1
    panic_type = types.pop()
    assert all(getattr(rs, n) is not panic_type for n in dir(rs))


def test_assertion_message_names_condition(panic_probe):
    with pytest.raises(BaseException, match=r"assertion failed: sizeof\(int\) == 0"):
        panic_probe.assert_fails()


def test_panic_probe_uses_same_binder(panic_probe):
    with pytest.raises(TypeError, match=r"panic_with_message\(\) missing 1 required positional argument: 'message'"):
        panic_probe.panic_with_message()
