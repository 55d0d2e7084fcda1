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


def feed_fifo(fifo, data):
    """Writes `data` into a FIFO that a build reads, unless no reader has it
    open (the build ended before it got there)."""
    try:
        fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
    except OSError:
        return
    os.set_blocking(fd, True)
    with os.fdopen(fd, "wb") as w:
        w.write(data)


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

    # A build that waits for its synonyms on a FIFO nobody writes to yet: it
    # holds the claim and its spill directory, and its old output is gone.
    fifo = tmp_path / "fifo" / "synA.ndjson"
    fifo.parent.mkdir()
    os.mkfifo(fifo)
    reached = threading.Event()
    outcome = []

    def progress(kind, done, total, message):
        if kind == 0:
            reached.set()

    def build():
        try:
            rs.build_fullmap_db(output, [classes], [fifo], threads=2, progress=progress)
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
        # The writer comes late: the build reads all it writes.
        feed_fifo(fifo, synonyms.read_bytes())
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


# Builds that fail before they touch the old output: a case sets up what is
# wrong on a Refusal and gives the exception and its text (None: any text).
class Refusal:
    def __init__(self, tmp_path, monkeypatch):
        self.tmp = tmp_path
        self.monkeypatch = monkeypatch
        self.classes, self.synonyms = write_inputs(tmp_path / "in", "A")
        self.out = tmp_path / "out"
        self.old = self.out / "db.qdb"  # the old output that must keep answering
        self.output = None              # what the build is given (default: self.old)
        self.threads = 2
        self.holders = []               # builds of other outputs still running

    def spill(self, path):
        self.monkeypatch.setenv("QUORVENDEL_FULLMAP_SPILL_DIR", str(path))
        return str(path)

    def hold_spill_dir(self, path):
        """Another output's build that holds the spill directory `path`: it
        waits for its synonyms on a FIFO nobody writes to yet."""
        fifo = self.tmp / "holder" / "synH.ndjson"
        fifo.parent.mkdir()
        os.mkfifo(fifo)
        self.spill(path)
        reached = threading.Event()
        outcome = []

        def build():
            try:
                rs.build_fullmap_db(self.tmp / "holder" / "h.qdb", [self.classes], [fifo],
                                    progress=lambda kind, *_: kind == 0 and reached.set())
                outcome.append("ok")
            except BaseException as e:  # noqa: B036
                outcome.append(e)

        thread = threading.Thread(target=build)
        thread.start()
        self.holders.append((thread, fifo, outcome))
        assert reached.wait(60)

    def release(self):
        for thread, fifo, outcome in self.holders:
            feed_fifo(fifo, self.synonyms.read_bytes())
            thread.join()
            assert outcome == ["ok"]


# What the spill directory is, and the reason of its refusal (None: the
# system's error for a path that is not a directory).
SPILL_REFUSALS = {
    "not empty": "it is not empty and holds no spill marker of a fullmap build",
    "link to a directory": "it is a symbolic link",
    "regular file": None,
    "/dev/null": None,
    "/proc/self": "it is a symbolic link",
    "default is a link": "it is a symbolic link",
    "held by another build": "another build is using it",
}


def refuse_spill(kind):
    def setup(r):
        if kind == "not empty":
            (r.tmp / "mine").mkdir()
            (r.tmp / "mine" / "notes.txt").write_text("keep\n")
            path = r.spill(r.tmp / "mine")
        elif kind == "link to a directory":
            (r.tmp / "real").mkdir()
            os.symlink(r.tmp / "real", r.tmp / "alias")
            path = r.spill(r.tmp / "alias")
        elif kind == "regular file":
            (r.tmp / "file").write_text("keep\n")
            path = r.spill(r.tmp / "file")
        elif kind in ("/dev/null", "/proc/self"):
            path = r.spill(kind)
        elif kind == "default is a link":
            (r.tmp / "real").mkdir()
            path = str(r.old) + ".spill.d"
            os.symlink(r.tmp / "real", path)
        else:
            path = str(r.tmp / "shared.spill.d")
            r.hold_spill_dir(path)
        reason = SPILL_REFUSALS[kind]
        if reason is None:
            return "Not a directory (os error 20)"
        return f"refusing spill directory {path}: {reason}"
    return setup


def no_file_name(output):
    def setup(r):
        r.output = output
        r.monkeypatch.chdir(r.out)
        return f"fullmap output '{output}' names no file: its last path component is empty"
    return setup


def set_attr(name, value, text=None):
    def setup(r):
        setattr(r, name, value(r) if callable(value) else value)
        return text
    return setup


# case: (setup, exception, its text: None for any, "" for the one setup gives;
# the old output's name)
REFUSED = {
    "threads above the pool": (set_attr("threads", 4097), RuntimeError,
                               "failed to start the build's thread pool: "
                               "4097 threads asked for, at most 4096", "db.qdb"),
    "threads 2**63": (set_attr("threads", 2**63), RuntimeError, None, "db.qdb"),
    "threads 2**64": (set_attr("threads", 2**64), OverflowError, None, "db.qdb"),
    "threads -1": (set_attr("threads", -1), OverflowError, None, "db.qdb"),
    "missing synonyms file": (set_attr("synonyms", lambda r: r.tmp / "in" / "missing.ndjson",
                                       "No such file or directory (os error 2)"),
                              RuntimeError, "", "db.qdb"),
    "class file a directory": (set_attr("classes", lambda r: r.tmp / "in",
                                        "Is a directory (os error 21)"),
                               RuntimeError, "", "db.qdb"),
    "empty spill directory": (lambda r: r.spill("") and None, RuntimeError,
                              "refusing spill directory '': the empty path names no directory",
                              "db.qdb"),
    "spill directory holding the input": (lambda r: r.spill(r.tmp / "in") and None,
                                          RuntimeError, None, "db.qdb"),
    # A path with no file name names the directory of another output, whose
    # shards it would delete: "db.qdb/" and "" (fullmap.qdb's), "sub/" (sub.qdb's).
    "output ending in a slash": (no_file_name("db.qdb/"), RuntimeError, "", "db.qdb"),
    "output a directory name and a slash": (no_file_name("sub/"), RuntimeError, "", "sub.qdb"),
    "empty output": (no_file_name(""), RuntimeError, "", "fullmap.qdb"),
    **{f"spill directory: {kind}": (refuse_spill(kind), RuntimeError, "", "db.qdb")
       for kind in SPILL_REFUSALS},
}


def snapshot_tree(path):
    """What is at `path` (not followed), and below it when it is a directory."""
    try:
        top = snapshot(pathlib.Path(path))
    except FileNotFoundError:
        return None
    if top[1] != stat.S_IFDIR:
        return top
    return top, {p.name: snapshot(p) for p in pathlib.Path(path).iterdir()}


@pytest.mark.parametrize("case", list(REFUSED))
def test_refused_arguments_delete_nothing(tmp_path, monkeypatch, case):
    setup, error, text, old_name = REFUSED[case]
    r = Refusal(tmp_path, monkeypatch)
    r.old = r.out / old_name
    old_classes, old_synonyms = write_inputs(tmp_path / "old", "B")
    rs.build_fullmap_db(r.old, [old_classes], [old_synonyms])
    try:
        given_text = setup(r)
        if text == "":
            text = given_text
        spill = os.environ.get("QUORVENDEL_FULLMAP_SPILL_DIR", str(r.old) + ".spill.d")
        before = names_and_inodes(r.out), snapshot_tree(spill)
        with pytest.raises(error) as info:
            rs.build_fullmap_db(r.old if r.output is None else r.output, [r.classes],
                                [r.synonyms], threads=r.threads)
        if text is not None:
            assert str(info.value) == text
        assert (names_and_inodes(r.out), snapshot_tree(spill)) == before
        assert answers(r.old) == ("B", expected("B"))
    finally:
        r.release()
