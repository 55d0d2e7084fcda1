"""build_fullmap_db end to end: the checks made before anything is touched,
the progress callable, the spill directory's life, the cache after a build,
and builds under tight process limits."""
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import rs


def shard(output, i):
    p = pathlib.Path(output)
    return p.with_name(f"{p.stem}.s{i}{p.suffix}")


def all_paths(output):
    return [pathlib.Path(output)] + [shard(output, i) for i in range(16)]


@pytest.fixture
def inputs(tmp_path):
    syn = []
    for f in range(3):
        path = tmp_path / f"syn{f}.ndjson"
        path.write_text("".join(
            f'{{"curie":"X{f}:{i}","names":["name {i}"],"types":["T{i % 3}"]}}\n'
            for i in range(200)))
        syn.append(path)
    classes = tmp_path / "classes.ndjson"
    classes.write_text('{"id":"X0:1","equivalent_identifiers":["Y:1","Z:1"]}\n')
    return classes, syn


def test_empty_synonyms_come_first(tmp_path):
    out = tmp_path / "missing" / "db.qdb"
    for progress in (None, print):
        with pytest.raises(ValueError, match="^at least one synonym file is required$"):
            rs.build_fullmap_db(out, [], [], progress=progress)
    assert not out.parent.exists()


class Recorder:
    """A tqdm-like caller: keeps n per kind and steps by done - n."""

    def __init__(self, spill):
        self.spill = spill
        self.n = {}
        self.total = {}
        self.seen = []

    def __call__(self, kind, done, total, message):
        step = done - self.n.get(kind, 0)
        assert step >= 0, (kind, done, self.n)
        self.n[kind] = done
        self.total[kind] = total
        self.seen.append((kind, done, total, message, self.spill.is_dir()))


def test_progress_and_the_spill_directory(tmp_path, inputs, monkeypatch):
    classes, syn = inputs
    monkeypatch.setenv("QUORVENDEL_FULLMAP_CHUNK_BYTES", "100")
    monkeypatch.setenv("QUORVENDEL_FULLMAP_INSERT_BATCH", "50")
    out = tmp_path / "a" / "b.qdb"
    spill = pathlib.Path(str(out) + ".spill.d")
    rec = Recorder(spill)
    rs.build_fullmap_db(out, [classes], syn, threads=3, progress=rec)
    assert rec.seen and all(s[4] for s in rec.seen), "the spill directory exists meanwhile"
    assert not spill.exists(), "and is gone after success"
    assert [k for k, *_ in rec.seen] == sorted(k for k, *_ in rec.seen)
    assert {s[0] for s in rec.seen} == {0, 1, 2}
    assert (0, 1, 1, "classes.ndjson", True) in rec.seen
    assert rec.n[1] == 600
    assert any(m.endswith("rows (3/3 files)") for _, _, _, m, _ in rec.seen)
    # Shard writing ends on done == total, the records written.
    kind, done, total, message, _ = rec.seen[-1]
    assert (kind, done == total, message) == (2, True, f"wrote {done} records")
    assert done > 600  # names, CURIEs and their second keys
    assert sum(1 for s in rec.seen if s[0] == 2 and "writing" in s[3]) >= done // 50


def test_a_failed_build_keeps_its_spill_and_a_rerun_succeeds(tmp_path, inputs):
    classes, syn = inputs
    bad = tmp_path / "bad.ndjson"
    bad.write_text('{"curie":"X:1","names":["a"]}\n{"curie": nope}\n')
    out = tmp_path / "db.qdb"
    spill = pathlib.Path(str(out) + ".spill.d")
    with pytest.raises(RuntimeError):
        rs.build_fullmap_db(out, [classes], syn + [bad], threads=2)
    assert spill.is_dir()
    rs.build_fullmap_db(out, [classes], syn, threads=2)
    assert not spill.exists()
    assert rs.hydrate_sources(out) == ["syn0", "syn1", "syn2"]


@pytest.mark.parametrize("progress", [
    lambda *a: 1 / 0,
    object(),
    42,
    lambda kind: None,  # wrong arity: its TypeError is dropped too
])
def test_progress_failures_do_not_change_the_outcome(tmp_path, inputs, progress):
    classes, syn = inputs
    rs.build_fullmap_db(tmp_path / "db.qdb", [classes], syn, threads=2, progress=progress)
    assert len(rs.hydrate_prefixes(tmp_path / "db.qdb")) == 3


def test_progress_arguments_are_four_positional(tmp_path, inputs):
    classes, syn = inputs
    calls = []

    def progress(*args, **kwargs):
        calls.append((args, kwargs))

    rs.build_fullmap_db(tmp_path / "db.qdb", [classes], syn[:1], threads=1, progress=progress)
    assert {a[0] for a, _ in calls} == {0, 1, 2}
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
    assert syn[1].read_bytes() and shard(out, 4).exists()
    link = tmp_path / "link.qdb"
    link.symlink_to(classes)
    with pytest.raises(RuntimeError, match="it is the input file"):
        rs.build_fullmap_db(link, [classes], syn)
    assert classes.read_bytes() and link.is_symlink()
    # Nothing was deleted, so a build elsewhere from the same inputs works.
    rs.build_fullmap_db(tmp_path / "ok.qdb", [classes], syn)
    assert rs.hydrate_sources(tmp_path / "ok.qdb") == ["syn0", "syn1", "syn2"]


def test_a_directory_at_shard_7_fails_before_anything_is_deleted(tmp_path, inputs):
    classes, syn = inputs
    out = tmp_path / "db.qdb"
    old = all_paths(out)
    for p in old:
        p.write_text("old")
    shard(out, 7).unlink()
    shard(out, 7).mkdir()
    with pytest.raises(RuntimeError, match=r"^Is a directory \(os error 21\)$"):
        rs.build_fullmap_db(out, [classes], syn)
    assert all(p.exists() for p in old)
    assert not pathlib.Path(str(out) + ".spill.d").exists()


def test_old_outputs_are_replaced_and_the_primary_is_cached(tmp_path, inputs):
    classes, syn = inputs
    out = tmp_path / "db.qdb"
    for p in all_paths(out):
        p.write_text("old")
    rs.build_fullmap_db(out, [classes], syn)
    assert all(p.stat().st_size > 4 for p in all_paths(out))
    prefixes = rs.hydrate_prefixes(out)
    assert sorted(prefixes) == ["X0", "X1", "X2"]
    # The build left the new primary in the cache: it still answers once
    # every file is gone.
    for p in all_paths(out):
        p.unlink()
    assert rs.hydrate_prefixes(out) == prefixes
    assert sorted(rs.hydrate_categories(out)) == ["T0", "T1", "T2"]
    # A rebuild at the same path replaces the cached handle.
    rs.build_fullmap_db(out, [], syn[:1])
    assert rs.hydrate_prefixes(out) == ["X0"]


def test_spill_dir_from_the_environment(tmp_path, inputs, monkeypatch):
    classes, syn = inputs
    spill = tmp_path / "elsewhere" / "spill"
    monkeypatch.setenv("QUORVENDEL_FULLMAP_SPILL_DIR", str(spill))
    seen = []
    rs.build_fullmap_db(tmp_path / "db.qdb", [classes], syn,
                        progress=lambda *a: seen.append(spill.is_dir()))
    assert seen and all(seen)
    assert not spill.exists()
    assert not pathlib.Path(str(tmp_path / "db.qdb") + ".spill.d").exists()
    # A regular file where the spill directory should be fails the build.
    monkeypatch.setenv("QUORVENDEL_FULLMAP_SPILL_DIR", str(syn[0]) + ".x")
    pathlib.Path(str(syn[0]) + ".x").write_text("file")
    with pytest.raises(RuntimeError, match=r"Not a directory \(os error 20\)"):
        rs.build_fullmap_db(tmp_path / "db.qdb", [classes], syn)


def test_an_empty_spill_dir_setting_names_no_directory(tmp_path, inputs, monkeypatch):
    classes, syn = inputs
    monkeypatch.setenv("QUORVENDEL_FULLMAP_SPILL_DIR", "")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(RuntimeError) as info:
        rs.build_fullmap_db("db.qdb", [classes], syn)
    assert str(info.value) == "refusing spill directory '': the empty path names no directory"


def test_bad_input_fails_with_its_error(tmp_path, inputs):
    classes, syn = inputs
    with pytest.raises(RuntimeError, match=r"No such file or directory \(os error 2\)"):
        rs.build_fullmap_db(tmp_path / "db.qdb", [classes], [tmp_path / "missing.ndjson"])


@pytest.mark.parametrize("count, ok", [(65536, True), (65537, False)])
def test_prefix_ids_fill_u16_and_no_more(tmp_path, count, ok):
    syn = tmp_path / "s.ndjson"
    syn.write_text("".join(f'{{"curie":"P{i}:1","names":["n"]}}\n' for i in range(count)))
    out = tmp_path / "db.qdb"
    if ok:
        rs.build_fullmap_db(out, [], [syn], threads=2)
        names = rs.hydrate_prefixes(out)
        assert len(names) == 65536
        assert sorted(names) == sorted(f"P{i}" for i in range(count))
    else:
        with pytest.raises(RuntimeError, match="^fullmap build worker panicked$"):
            rs.build_fullmap_db(out, [], [syn], threads=2)


def test_panic_on_the_pool_is_the_panic_exception(panic_probe):
    with pytest.raises(BaseException) as info:
        panic_probe.panic_on_pool("broken on a pool thread")
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "broken on a pool thread"


# ---- builds under process limits, each in a child process ----

def run_child(code, *args, timeout=300):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


def test_more_workers_than_cpus(tmp_path, inputs):
    classes, syn = inputs
    code = """
        import os, sys
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
        import rs
        rs.build_fullmap_db(sys.argv[1], [sys.argv[2]], sys.argv[3:], threads=3)
        print(len(rs.hydrate_sources(sys.argv[1])))
    """
    r = run_child(code, tmp_path / "db.qdb", classes, *syn, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["3"]


def test_low_open_file_limit_and_thousands_of_runs_per_shard(tmp_path):
    syn = tmp_path / "s.ndjson"
    rows = 6500
    syn.write_text("".join(
        f'{{"curie":"P{i % 7}:{i}","names":["term {i}","alias {i // 2}"]}}\n'
        for i in range(rows)))
    out = tmp_path / "db.qdb"
    code = """
        import os, resource, sys
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))
        os.environ["QUORVENDEL_FULLMAP_LOCAL_SPILL_ENTRIES"] = "1"
        os.environ["QUORVENDEL_FULLMAP_CURIE_SPILL_ENTRIES"] = "1"
        os.environ["QUORVENDEL_FULLMAP_CHUNK_BYTES"] = "1"
        import rs
        runs = []
        def progress(kind, done, total, message):
            if kind == 2 and not runs:
                spill = sys.argv[1] + ".spill.d"
                runs.append(sum(n.startswith("run_s") for n in os.listdir(spill)))
        rs.build_fullmap_db(sys.argv[1], [], [sys.argv[2]], threads=4, progress=progress)
        print(runs[0])
        print(len(rs.hydrate_curies(sys.argv[1], list(range(int(sys.argv[3]))))))
    """
    r = run_child(code, out, syn, rows)
    assert r.returncode == 0, r.stderr
    runs, curies = map(int, r.stdout.split())
    assert runs > 16 * 2000, "thousands of runs per shard"
    assert curies == rows


def test_file_size_limits_fail_or_leave_clean_files(tmp_path):
    # Shards larger than the primary, so that limits between their sizes
    # fail in the shard phase, after the primary was written and closed.
    syn = tmp_path / "big.ndjson"
    with open(syn, "w") as f:
        for i in range(12000):
            names = ",".join(f'"synonym {k} of concept {i}"' for k in range(12))
            f.write(f'{{"curie":"P{i % 50}:{i}","names":[{names}]}}\n')
    code = """
        import os, resource, signal, sys
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        limit = int(sys.argv[2])
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        import rs
        try:
            rs.build_fullmap_db(sys.argv[1], [], [sys.argv[3]], threads=2)
        except RuntimeError as e:
            print("failed:", e)
        else:
            print("built")
    """
    outcomes = set()
    for limit in (4096, 500_000, 1_060_000, 1_500_000, 2_000_000, 2_105_000, 2_200_000,
                  4_000_000, 1 << 30):
        out = tmp_path / f"db{limit}.qdb"
        r = run_child(code, out, limit, syn)
        assert r.returncode == 0, (limit, r.stderr)
        if r.stdout.startswith("built"):
            outcomes.add("built")
            # Every file opens read-only: none was left needing repair. A
            # shard has no schema, which is the failure expected after a
            # clean open.
            assert len(rs.hydrate_prefixes(out)) == 50
            for i in range(16):
                with pytest.raises(RuntimeError,
                                   match="^unsupported fullmap database schema$"):
                    rs.hydrate_prefixes(shard(out, i))
        else:
            assert r.stdout.startswith("failed: "), r.stdout
            outcomes.add("failed")
    assert outcomes == {"built", "failed"}
