"""One build per output at a time: a build claims its output before it
deletes anything and keeps the claim until its files are closed and its
primary is cached; a second build of the same output, from another thread
or process and under any spelling of the path, fails at once with a clear
error and touches nothing. A claim left by a killed builder needs no
cleaning up."""
import os
import pathlib
import subprocess
import sys
import textwrap
import threading

import pytest

import rs

ROUNDS = 8 * max(1, int(os.environ.get("RS_RELIABILITY_ROUNDS", "1") or "1"))
CONCEPTS = 1500


def claim_error(output):
    return f"fullmap output '{os.fspath(output)}' is being built by another build"


def write_inputs(dir, tag):
    """Inputs whose build says whose it is: source syn<tag>, CURIEs <tag>:i."""
    dir.mkdir(parents=True, exist_ok=True)
    syn = dir / f"syn{tag}.ndjson"
    syn.write_text("".join(
        f'{{"curie":"{tag}:{i}","names":["concept {i}","alias {i % 97}"],'
        f'"types":["biolink:T{i % 5}"]}}\n' for i in range(CONCEPTS)))
    classes = dir / f"classes{tag}.ndjson"
    classes.write_text(f'{{"id":"{tag}:7","equivalent_identifiers":["EQ:{tag}"]}}\n')
    return classes, syn


TERMS = ["concept 0", "concept 7", f"concept {CONCEPTS - 1}", "eq:a", "eq:b", "alias 3"]


def expected(tag):
    want = {("concept 0", f"{tag}:0"), ("concept 7", f"{tag}:7"),
            (f"concept {CONCEPTS - 1}", f"{tag}:{CONCEPTS - 1}"), (f"eq:{tag.lower()}", f"{tag}:7")}
    want |= {("alias 3", f"{tag}:{i}") for i in range(CONCEPTS) if i % 97 == 3}
    return want


def answers(output):
    """Whose build the output is, and its answers for TERMS."""
    sources = rs.hydrate_sources(output)
    assert len(sources) == 1, sources
    found = {(r["term"], r["CURIE"]) for r in rs.lookup_fullmap_terms(output, TERMS)}
    return sources[0][len("syn"):], found


def check_round(output, outcomes):
    """`outcomes`: builder tag -> "ok" or the error's text, all of one round.
    Every failure is the claim error, and the output is whole and belongs to
    a builder that succeeded."""
    for tag, outcome in outcomes.items():
        assert outcome in ("ok", claim_error(output)), (tag, outcome)
    winners = [tag for tag, outcome in outcomes.items() if outcome == "ok"]
    assert winners, outcomes
    owner, found = answers(output)
    assert owner in winners, (owner, outcomes)
    assert found == expected(owner)
    assert not pathlib.Path(str(output) + ".lock").exists()


WORKER = """
    import sys, threading, rs
    out, classes, synonyms = sys.argv[1:4]
    hold = len(sys.argv) > 4
    def progress(kind, done, total, message):
        if kind == 2:
            print("holding", flush=True)
            threading.Event().wait()
    for command in sys.stdin:
        try:
            rs.build_fullmap_db(out, [classes], [synonyms], threads=2,
                                progress=progress if hold else None)
            print("ok", flush=True)
        except BaseException as e:
            print(str(e).replace("\\n", " "), flush=True)
"""


def start_worker(output, classes, synonyms, *extra):
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(WORKER), str(output), str(classes), str(synonyms),
         *extra],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def test_two_processes_building_one_output(tmp_path):
    output = tmp_path / "out" / "db.qdb"
    workers = {}
    try:
        for tag in "AB":
            workers[tag] = start_worker(output, *write_inputs(tmp_path / tag, tag))
        for _ in range(ROUNDS):
            for w in workers.values():
                w.stdin.write("build\n")
                w.stdin.flush()
            check_round(output, {tag: w.stdout.readline().strip() for tag, w in workers.items()})
    finally:
        for w in workers.values():
            w.kill()
            w.wait()


def test_two_threads_building_one_output(tmp_path):
    output = tmp_path / "out" / "db.qdb"
    inputs = {tag: write_inputs(tmp_path / tag, tag) for tag in "AB"}
    start = threading.Barrier(2)
    outcomes = {}

    def build(tag):
        start.wait()
        classes, synonyms = inputs[tag]
        try:
            rs.build_fullmap_db(output, [classes], [synonyms], threads=2)
            outcomes[tag] = "ok"
        except BaseException as e:  # noqa: B036 - the panic exception too
            outcomes[tag] = str(e)

    for _ in range(ROUNDS):
        threads = [threading.Thread(target=build, args=(tag,)) for tag in "AB"]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        check_round(output, outcomes)


def names_and_inodes(dir):
    return {p.name: p.stat().st_ino for p in dir.iterdir()}


def test_a_held_claim_refuses_every_spelling_before_touching_anything(tmp_path, monkeypatch):
    classes, synonyms = write_inputs(tmp_path / "in", "A")
    other_classes, other_synonyms = write_inputs(tmp_path / "in", "B")
    out_dir = tmp_path / "out"
    output = out_dir / "db.qdb"
    rs.build_fullmap_db(output, [other_classes], [other_synonyms])
    (out_dir / "sub").mkdir()
    (tmp_path / "link").symlink_to(out_dir)
    monkeypatch.chdir(tmp_path)

    # A build that stops in its shard phase: its primary and its shard files
    # exist, and it holds the claim.
    reached, release = threading.Event(), threading.Event()
    outcome = []

    def progress(kind, done, total, message):
        if kind == 2:
            reached.set()
            release.wait()

    def build():
        try:
            rs.build_fullmap_db(output, [classes], [synonyms], threads=2, progress=progress)
            outcome.append("ok")
        except BaseException as e:  # noqa: B036
            outcome.append(str(e))

    holder = threading.Thread(target=build)
    holder.start()
    try:
        assert reached.wait(120)
        before = names_and_inodes(out_dir)
        spill_before = names_and_inodes(pathlib.Path(str(output) + ".spill.d"))
        for spelling in [output, str(output), "out/db.qdb", "./out//db.qdb", "out/sub/../db.qdb",
                         tmp_path / "link" / "db.qdb", "link/db.qdb"]:
            with pytest.raises(RuntimeError) as info:
                rs.build_fullmap_db(spelling, [other_classes], [other_synonyms])
            assert str(info.value) == claim_error(spelling)
            assert names_and_inodes(out_dir) == before
            assert names_and_inodes(pathlib.Path(str(output) + ".spill.d")) == spill_before
        # Another output in the same directory is no conflict.
        beside = out_dir / "beside.qdb"
        rs.build_fullmap_db(beside, [other_classes], [other_synonyms])
        assert answers(beside) == ("B", expected("B"))
    finally:
        release.set()
        holder.join()
    assert outcome == ["ok"]
    assert answers(output) == ("A", expected("A"))
    assert not pathlib.Path(str(output) + ".lock").exists()


def test_a_killed_builder_leaves_no_claim_to_clean_up(tmp_path):
    classes, synonyms = write_inputs(tmp_path / "in", "A")
    output = tmp_path / "out" / "db.qdb"
    for _ in range(2):
        holder = start_worker(output, classes, synonyms, "hold")
        try:
            holder.stdin.write("build\n")
            holder.stdin.flush()
            assert holder.stdout.readline().strip() == "holding"
            # Held by a live process: refused.
            with pytest.raises(RuntimeError) as info:
                rs.build_fullmap_db(output, [classes], [synonyms])
            assert str(info.value) == claim_error(output)
        finally:
            holder.kill()
            holder.wait()
        # Killed while holding it: the next build goes ahead.
        rs.build_fullmap_db(output, [classes], [synonyms])
        assert answers(output) == ("A", expected("A"))
        assert not pathlib.Path(str(output) + ".lock").exists()
