"""build_fullmap_db up to the final write: the checks made before anything is
touched, the progress callable, and the spill directory's life."""
import os
import pathlib

import pytest

import rs

WRITER_MISSING = ("build_fullmap_db() is not available yet: "
                  "the fullmap database writer is not built")


def shard(output, i):
    p = pathlib.Path(output)
    return p.with_name(f"{p.stem}.s{i}{p.suffix}")


@pytest.fixture
def inputs(tmp_path):
    syn = []
    for f in range(3):
        path = tmp_path / f"syn{f}.ndjson"
        path.write_text("".join(
            f'{{"curie":"X:{f}{i}","names":["name {i}"],"types":["T"]}}\n'
            for i in range(200)))
        syn.append(path)
    classes = tmp_path / "classes.ndjson"
    classes.write_text('{"id":"X:01","equivalent_identifiers":["Y:1","Z:1"]}\n')
    return classes, syn


def writer_missing(call):
    with pytest.raises(RuntimeError) as info:
        call()
    assert str(info.value) == WRITER_MISSING


def test_empty_synonyms_come_first(tmp_path):
    out = tmp_path / "missing" / "db.qdb"
    for progress in (None, print):
        with pytest.raises(ValueError, match="^at least one synonym file is required$"):
            rs.build_fullmap_db(out, [], [], progress=progress)
    assert not out.parent.exists()


def test_progress_sees_the_spill_directory_and_never_steps_back(tmp_path, inputs,
                                                                  monkeypatch):
    classes, syn = inputs
    monkeypatch.setenv("QUORVENDEL_FULLMAP_CHUNK_BYTES", "100")
    out = tmp_path / "a" / "b.qdb"
    spill = pathlib.Path(str(out) + ".spill.d")
    seen = []
    n = {}

    def progress(kind, done, total, message):
        # A tqdm-like caller: keeps n per kind and steps by done - n.
        step = done - n.get(kind, 0)
        assert step >= 0, (kind, done, n)
        n[kind] = done
        seen.append((kind, done, total, message, spill.is_dir()))

    writer_missing(lambda: rs.build_fullmap_db(out, [classes], syn, threads=3,
                                                progress=progress))
    assert seen and all(s[4] for s in seen)
    kinds = {s[0] for s in seen}
    assert kinds == {0, 1}
    assert (0, 1, 1, "classes.ndjson", True) in seen
    assert n[1] == 600
    assert any(m.endswith("rows (3/3 files)") for _, _, _, m, _ in seen)
    # A failed build keeps its spill directory; a rerun starts over in it.
    assert spill.is_dir()
    writer_missing(lambda: rs.build_fullmap_db(out, [classes], syn, threads=2))
    assert spill.is_dir()


@pytest.mark.parametrize("progress", [
    lambda *a: 1 / 0,
    object(),
    42,
    lambda kind: None,  # wrong arity: its TypeError is dropped too
])
def test_progress_failures_do_not_change_the_outcome(tmp_path, inputs, progress):
    classes, syn = inputs
    writer_missing(lambda: rs.build_fullmap_db(tmp_path / "db.qdb", [classes], syn,
                                                threads=2, progress=progress))


def test_progress_arguments_are_four_positional(tmp_path, inputs):
    classes, syn = inputs
    calls = []

    def progress(*args, **kwargs):
        calls.append((args, kwargs))

    writer_missing(lambda: rs.build_fullmap_db(tmp_path / "db.qdb", [classes], syn[:1],
                                                threads=1, progress=progress))
    assert calls
    for args, kwargs in calls:
        assert kwargs == {}
        assert [type(a) for a in args] == [int, int, int, str]


def test_an_output_that_is_an_input_is_refused_and_kept(tmp_path, inputs):
    classes, syn = inputs
    before = syn[0].read_bytes()
    with pytest.raises(RuntimeError, match="it is the input file"):
        rs.build_fullmap_db(syn[0], [classes], syn)
    assert syn[0].read_bytes() == before
    # The same through a shard path, and through a symbolic link.
    out = tmp_path / "db.ndjson"
    os.link(syn[1], shard(out, 4))
    with pytest.raises(RuntimeError, match="it is the input file"):
        rs.build_fullmap_db(out, [classes], syn)
    assert syn[1].exists() and shard(out, 4).exists()
    link = tmp_path / "link.qdb"
    link.symlink_to(classes)
    with pytest.raises(RuntimeError, match="it is the input file"):
        rs.build_fullmap_db(link, [classes], syn)
    assert classes.exists() and link.is_symlink()


def test_a_directory_at_shard_7_fails_before_anything_is_deleted(tmp_path, inputs):
    classes, syn = inputs
    out = tmp_path / "db.qdb"
    old = [out] + [shard(out, i) for i in range(16)]
    for p in old:
        p.write_text("old")
    shard(out, 7).unlink()
    shard(out, 7).mkdir()
    with pytest.raises(RuntimeError, match=r"^Is a directory \(os error 21\)$"):
        rs.build_fullmap_db(out, [classes], syn)
    assert all(p.exists() for p in old)
    assert not pathlib.Path(str(out) + ".spill.d").exists()


def test_old_outputs_are_deleted_before_the_build(tmp_path, inputs):
    classes, syn = inputs
    out = tmp_path / "db.qdb"
    old = [out] + [shard(out, i) for i in range(16)]
    for p in old:
        p.write_text("old")
    writer_missing(lambda: rs.build_fullmap_db(out, [classes], syn))
    assert not any(p.exists() for p in old)


def test_spill_dir_from_the_environment(tmp_path, inputs, monkeypatch):
    classes, syn = inputs
    spill = tmp_path / "elsewhere" / "spill"
    monkeypatch.setenv("QUORVENDEL_FULLMAP_SPILL_DIR", str(spill))
    writer_missing(lambda: rs.build_fullmap_db(tmp_path / "db.qdb", [classes], syn))
    assert spill.is_dir() and any(spill.glob("run_s*.bin"))
    assert not pathlib.Path(str(tmp_path / "db.qdb") + ".spill.d").exists()
    # A regular file where the spill directory should be fails the build.
    monkeypatch.setenv("QUORVENDEL_FULLMAP_SPILL_DIR", str(syn[0]) + ".x")
    pathlib.Path(str(syn[0]) + ".x").write_text("file")
    with pytest.raises(RuntimeError, match=r"Not a directory \(os error 20\)"):
        rs.build_fullmap_db(tmp_path / "db.qdb", [classes], syn)


def test_bad_input_fails_with_its_error(tmp_path, inputs):
    classes, syn = inputs
    with pytest.raises(RuntimeError, match=r"No such file or directory \(os error 2\)"):
        rs.build_fullmap_db(tmp_path / "db.qdb", [classes], [tmp_path / "missing.ndjson"])


def test_too_many_prefixes_is_a_worker_panic(tmp_path):
    syn = tmp_path / "s.ndjson"
    syn.write_text("".join(f'{{"curie":"P{i}:1","names":["n"]}}\n' for i in range(65537)))
    with pytest.raises(RuntimeError, match="^fullmap build worker panicked$"):
        rs.build_fullmap_db(tmp_path / "db.qdb", [], [syn], threads=2)


def test_panic_on_the_pool_is_the_panic_exception(panic_probe):
    with pytest.raises(BaseException) as info:
        panic_probe.panic_on_pool("broken on a pool thread")
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "broken on a pool thread"
