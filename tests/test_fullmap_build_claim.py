"""One build per output at a time: a build claims its output before it
deletes anything and keeps the claim until its files are closed and its
primary is cached; a second build of the same output, from another thread
or process and under any spelling of the path, fails at once with a clear
error and touches nothing. A claim left by a killed builder needs no
cleaning up."""
import fcntl
import os
import pathlib
import random
import socket
import stat
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import rs

ROUNDS = 8 * max(1, int(os.environ.get("RS_RELIABILITY_ROUNDS", "1") or "1"))
CONCEPTS = 1500


def claim_error(output):
    return f"fullmap output '{os.fspath(output)}' is being built by another build"


def claim_path(output):
    """The claim file of an output: named after its shard files (stem and
    extension, "qdb" when it has none), so outputs that share shards share it."""
    output = pathlib.Path(output)
    name = output.name
    dot = name.rfind(".")
    stem, ext = (name, "qdb") if dot <= 0 else (name[:dot], name[dot + 1:])
    return output.parent / f"{stem}.{ext}.lock"


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
    assert not claim_path(output).exists()


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
        # Every spelling of the output, and the outputs that share its shard
        # files: "db" (whose shards are db.s<i>.qdb too) and "db.s3.qdb" (its
        # shard 3).
        for spelling in [output, str(output), "out/db.qdb", "./out//db.qdb", "out/sub/../db.qdb",
                         tmp_path / "link" / "db.qdb", "link/db.qdb", "out/db", "link/db",
                         "out/sub/../db", "out/db.s3.qdb"]:
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
    assert not claim_path(output).exists()


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
        # Killed while holding it: its claim file is left, and the next build
        # (under another spelling of the same shard files) takes it over.
        assert claim_path(output).is_file()
        rs.build_fullmap_db(tmp_path / "out" / "db", [classes], [synonyms])
        rs.build_fullmap_db(output, [classes], [synonyms])
        assert answers(output) == ("A", expected("A"))
        assert not claim_path(output).exists()


def test_a_build_killed_at_any_moment_leaves_nothing_to_clean_up(tmp_path):
    classes, synonyms = write_inputs(tmp_path / "in", "A")
    output = tmp_path / "out" / "db"
    rng = random.Random()
    seed = rng.randrange(1 << 32)
    rng.seed(seed)
    for _ in range(ROUNDS):
        child = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(KILLED), str(output), str(classes),
             str(synonyms)], stdout=subprocess.PIPE, text=True)
        try:
            assert child.stdout.readline().strip() == "ready"
            time.sleep(rng.uniform(0, 0.4))
        finally:
            child.kill()
            child.wait()
        rs.build_fullmap_db(output, [classes], [synonyms], threads=2)
        assert answers(output) == ("A", expected("A")), seed
        left = sorted(p.name for p in output.parent.iterdir())
        assert left == sorted(["db"] + [f"db.s{i}.qdb" for i in range(16)]), (seed, left)


KILLED = """
    import sys, rs
    out, classes, synonyms = sys.argv[1:4]
    print("ready", flush=True)
    while True:
        rs.build_fullmap_db(out, [classes], [synonyms], threads=2)
"""


# What a build finds at its claim path and leaves as it was, failing with an
# error that names the path, before it deletes anything of the old output.
def put_input(path):
    path.write_text('{"id":"A:7","equivalent_identifiers":["EQ:C"]}\n')


def put_user_file(path):
    path.write_text("a caller's own lock file\n")


def put_directory(path):
    path.mkdir()
    (path / "inside").write_text("x")


def put_symlink(path):
    target = path.parent / "elsewhere"
    target.write_text("target\n")
    path.symlink_to(target)


def put_dangling_symlink(path):
    path.symlink_to(path.parent / "nowhere")


def put_fifo(path):
    os.mkfifo(path)


def put_socket(path):
    s = socket.socket(socket.AF_UNIX)
    s.bind(str(path))
    s.close()


def snapshot(path):
    st = os.lstat(path)
    content = None
    if stat.S_ISREG(st.st_mode):
        content = path.read_bytes()
    elif stat.S_ISLNK(st.st_mode):
        content = os.readlink(path)
    elif stat.S_ISDIR(st.st_mode):
        content = sorted(os.listdir(path))
    return st.st_ino, stat.S_IFMT(st.st_mode), content


BLOCKERS = {
    "input": (put_input, None),
    "user file": (put_user_file, None),
    "directory": (put_directory, "Is a directory (os error 21)"),
    "symlink": (put_symlink, None),
    "dangling symlink": (put_dangling_symlink, None),
    "fifo": (put_fifo, None),
    "socket": (put_socket, None),
}


@pytest.mark.parametrize("name", ["terms", "terms.qdb"])
@pytest.mark.parametrize("kind", list(BLOCKERS))
def test_whatever_is_at_the_claim_path_is_left_as_it_was(tmp_path, kind, name):
    classes, synonyms = write_inputs(tmp_path / "in", "A")
    old_classes, old_synonyms = write_inputs(tmp_path / "old", "B")
    output = tmp_path / "out" / name
    rs.build_fullmap_db(output, [old_classes], [old_synonyms])
    claim = claim_path(output)
    put, cause = BLOCKERS[kind]
    put(claim)
    before = snapshot(claim)
    class_files = [claim] if kind == "input" else [classes]
    # In a child with a time limit: a build that waits on what it opened
    # fails the test instead of freezing the suite.
    r = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(ATTEMPT), str(output), str(class_files[0]),
         str(synonyms)], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    kind_name, text = r.stdout.rstrip("\n").split("|", 1)
    assert kind_name == "RuntimeError", (kind, text)
    assert text.startswith(f"fullmap output lock '{claim}': "), text
    if cause is not None:
        assert text == f"fullmap output lock '{claim}': {cause}"
    assert "being built by another build" not in text
    assert snapshot(claim) == before
    assert answers(output) == ("B", expected("B"))


ATTEMPT = """
    import sys, threading, rs
    out, classes, synonyms = sys.argv[1:4]
    # The build runs on a thread while this one keeps counting: a build that
    # blocks with the interpreter lock held stops it too.
    outcome = []
    def build():
        try:
            rs.build_fullmap_db(out, [classes], [synonyms], threads=2)
            outcome.append("built|")
        except BaseException as e:
            outcome.append(type(e).__name__ + "|" + str(e).replace("\\n", " "))
    t = threading.Thread(target=build)
    t.start()
    while t.is_alive():
        t.join(0.001)
    print(outcome[0])
"""


LOCK_HOLDER = """
    import fcntl, sys
    f = open(sys.argv[1], "r+")
    if sys.argv[2] == "lockf":
        fcntl.lockf(f, fcntl.LOCK_EX)
    else:
        fcntl.flock(f, fcntl.LOCK_EX)
    print("locked", flush=True)
    sys.stdin.readline()
"""


@pytest.mark.parametrize("how", ["lockf", "flock"])
def test_a_callers_lock_file_at_the_claim_path(tmp_path, how):
    classes, synonyms = write_inputs(tmp_path / "in", "A")
    old_classes, old_synonyms = write_inputs(tmp_path / "old", "B")
    output = tmp_path / "out" / "out.qdb"
    rs.build_fullmap_db(output, [old_classes], [old_synonyms])
    claim = claim_path(output)
    claim.write_text("")
    before = snapshot(claim)
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent(LOCK_HOLDER), str(claim), how],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "locked"
        for _ in range(3):
            with pytest.raises(RuntimeError) as info:
                rs.build_fullmap_db(output, [classes], [synonyms])
            assert str(info.value).startswith(f"fullmap output lock '{claim}': "), info.value
            assert snapshot(claim) == before
            assert answers(output) == ("B", expected("B"))
        # The caller's lock is still theirs.
        with open(claim, "r+") as f:
            with pytest.raises(OSError):
                if how == "lockf":
                    fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                else:
                    fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
    finally:
        holder.stdin.close()
        holder.wait()


LOOKUP_CHILD = """
    import sys, rs
    out, classes, synonyms, other = sys.argv[1:5]
    try:
        rs.build_fullmap_db(out, [classes], [synonyms])
        print("built")
    except RuntimeError as e:
        print(str(e))
    print(len(rs.lookup_fullmap_terms(other, ["concept 0"])))
"""


@pytest.mark.parametrize("name", ["terms", "terms.qdb"])
def test_another_fullmap_at_the_claim_path(tmp_path, name):
    classes, synonyms = write_inputs(tmp_path / "in", "A")
    other_classes, other_synonyms = write_inputs(tmp_path / "other", "B")
    output = tmp_path / "out" / name
    other = claim_path(output)
    other.parent.mkdir()
    rs.build_fullmap_db(other, [other_classes], [other_synonyms])
    # In a fresh process, and in this one, which has that fullmap open.
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(LOOKUP_CHILD), str(output),
                        str(classes), str(synonyms), str(other)],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    text, found = r.stdout.splitlines()
    assert text.startswith(f"fullmap output lock '{other}': "), text
    assert found == "1"
    assert answers(other) == ("B", expected("B"))
    with pytest.raises(RuntimeError) as info:
        rs.build_fullmap_db(output, [classes], [synonyms])
    assert str(info.value).startswith(f"fullmap output lock '{other}': "), info.value
    assert answers(other) == ("B", expected("B"))


def test_builds_sharing_shard_files_hold_off_each_other(tmp_path):
    # A build of "db.qdb" in its shard phase: a build of "db" (the same shard
    # files) is refused, and the first build's output stays whole.
    classes, synonyms = write_inputs(tmp_path / "A", "A")
    other_classes, other_synonyms = write_inputs(tmp_path / "B", "B")
    out_dir = tmp_path / "out"
    for first, second in [("db.qdb", "db"), ("db", "db.qdb")]:
        holder = start_worker(out_dir / first, classes, synonyms, "hold")
        try:
            holder.stdin.write("build\n")
            holder.stdin.flush()
            assert holder.stdout.readline().strip() == "holding"
            with pytest.raises(RuntimeError) as info:
                rs.build_fullmap_db(out_dir / second, [other_classes], [other_synonyms])
            assert str(info.value) == claim_error(out_dir / second)
        finally:
            holder.kill()
            holder.wait()
        rs.build_fullmap_db(out_dir / first, [classes], [synonyms])
        assert answers(out_dir / first) == ("A", expected("A"))


def test_two_processes_building_outputs_that_share_shards(tmp_path):
    out_dir = tmp_path / "out"
    outputs = {"A": out_dir / "db", "B": out_dir / "db.qdb"}
    workers = {}
    try:
        for tag in "AB":
            workers[tag] = start_worker(outputs[tag], *write_inputs(tmp_path / tag, tag))
        for _ in range(ROUNDS):
            for w in workers.values():
                w.stdin.write("build\n")
                w.stdin.flush()
            outcomes = {tag: w.stdout.readline().strip() for tag, w in workers.items()}
            for tag, outcome in outcomes.items():
                assert outcome in ("ok", claim_error(outputs[tag])), (tag, outcome)
            winners = [tag for tag, outcome in outcomes.items() if outcome == "ok"]
            assert winners, outcomes
            # One after the other, both may succeed: the later one's shards
            # replaced the earlier one's. Exactly one output is whole.
            whole = []
            for tag in winners:
                try:
                    if answers(outputs[tag]) == (tag, expected(tag)):
                        whole.append(tag)
                except RuntimeError:
                    pass
            assert len(whole) == 1, (outcomes, whole)
    finally:
        for w in workers.values():
            w.kill()
            w.wait()


# Arguments (and settings) that fail the build, each before the old output
# is touched: (what is changed, the exception, its text or None).
REFUSED = {
    "threads above the pool": (dict(threads=4097), RuntimeError,
                               "failed to start the build's thread pool: "
                               "4097 threads asked for, at most 4096"),
    "threads 2**63": (dict(threads=2**63), RuntimeError, None),
    "threads 2**64": (dict(threads=2**64), OverflowError, None),
    "threads -1": (dict(threads=-1), OverflowError, None),
    "missing synonyms file": (dict(synonyms="missing"), RuntimeError,
                              "No such file or directory (os error 2)"),
    "class file a directory": (dict(classes="dir"), RuntimeError, "Is a directory (os error 21)"),
    "empty spill directory": (dict(spill=""), RuntimeError,
                              "refusing spill directory '': the empty path names no directory"),
    "spill directory holding the input": (dict(spill="in"), RuntimeError, None),
}


@pytest.mark.parametrize("case", list(REFUSED))
def test_refused_arguments_delete_nothing(tmp_path, monkeypatch, case):
    classes, synonyms = write_inputs(tmp_path / "in", "A")
    old_classes, old_synonyms = write_inputs(tmp_path / "old", "B")
    output = tmp_path / "out" / "db.qdb"
    rs.build_fullmap_db(output, [old_classes], [old_synonyms])
    before = names_and_inodes(output.parent)
    change, error, text = REFUSED[case]
    kwargs = dict(threads=change.get("threads", 2))
    if change.get("synonyms") == "missing":
        synonyms = tmp_path / "in" / "missing.ndjson"
    if change.get("classes") == "dir":
        classes = tmp_path / "in"
    if "spill" in change:
        monkeypatch.setenv("QUORVENDEL_FULLMAP_SPILL_DIR",
                           change["spill"] and str(tmp_path / change["spill"]))
    with pytest.raises(error) as info:
        rs.build_fullmap_db(output, [classes], [synonyms], **kwargs)
    if text is not None:
        assert str(info.value) == text
    assert names_and_inodes(output.parent) == before
    monkeypatch.delenv("QUORVENDEL_FULLMAP_SPILL_DIR", raising=False)
    assert answers(output) == ("B", expected("B"))
