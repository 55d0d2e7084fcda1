"""The threads of a build: all of them start before the old output is
deleted, so a thread that cannot be started fails the build with the old
output still answering and without ending the interpreter; no thread
outlives the call, and a process forked after a build can build again. Each case runs in a child process, so
that its limits and its thread counts are its own."""
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap

import pytest

# Shared by the children: inputs, a build, and a check that the built
# database answers. `tasks()` counts the process's threads.
PRELUDE = """
import os, resource, sys, time
import rs

def tasks(expected=None):
    # A joined thread may stay listed for a moment after its join returned:
    # the count is read again for a while before another one is taken.
    for _ in range(10000):
        n = len(os.listdir("/proc/self/task"))
        if expected is None or n == expected:
            break
        time.sleep(0.001)
    return n

def write_inputs(d):
    syn = []
    for f in range(3):
        path = os.path.join(d, f"syn{f}.ndjson")
        with open(path, "w") as out:
            for i in range(300):
                out.write(f'{{"curie":"X{f}:{i}","names":["name {f} {i}"]}}\\n')
        syn.append(path)
    classes = os.path.join(d, "classes.ndjson")
    with open(classes, "w") as out:
        out.write('{"id":"X0:1","equivalent_identifiers":["Y:1"]}\\n')
    return [classes], syn

def check(output):
    rows = rs.lookup_fullmap_terms(output, ["name 2 7", "y:1", "absent"])
    assert [(r["term"], r["CURIE"]) for r in rows] == [("name 2 7", "X2:7"),
                                                      ("y:1", "X0:1")], rows

def old_output(d):
    # A database built before, which a refused build must leave answering.
    classes, syn = write_inputs(d)
    out = os.path.join(d, "db.qdb")
    rs.build_fullmap_db(out, classes, syn, threads=2)
    check(out)
    return out, classes, syn

def attempt(output, classes, syn, threads):
    try:
        rs.build_fullmap_db(output, classes, syn, threads=threads)
    except RuntimeError as e:
        return "RuntimeError", str(e)
    except BaseException as e:
        return type(e).__name__, str(e)
    return "built", ""
"""


def run_child(code, *args, timeout=300):
    return subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code),
                           *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


POOL_REFUSED = "failed to start the build's thread pool: Resource temporarily unavailable"


def test_address_space_too_small_for_the_threads(tmp_path):
    # 2 MiB stacks in 1 GiB (and in 1200 MiB): fewer than the threads asked
    # for fit. With 300 workers the pool alone would fit, but not with the
    # consumers ingestion starts beside it. Every build fails before it
    # deletes anything: the old output still answers, and the process has
    # only its own thread; a build that fits then succeeds.
    code = """
        out, classes, syn = old_output(sys.argv[1])
        before = tasks()
        limit = resource.getrlimit(resource.RLIMIT_AS)
        for mib, threads in ((1024, 2000), (1024, 1500), (1200, 1000), (1024, 300), (1024, 2000)):
            resource.setrlimit(resource.RLIMIT_AS, (mib << 20, limit[1]))
            kind, text = attempt(out, classes, syn, threads)
            resource.setrlimit(resource.RLIMIT_AS, limit)
            check(out)
            print(threads, kind, text, tasks(before) - before, sep="|")
        rs.build_fullmap_db(out, classes, syn, threads=2)
        check(out)
        print("alive")
    """
    r = run_child(code, tmp_path)
    assert r.returncode == 0, r.stderr
    *attempts, last = r.stdout.splitlines()
    assert last == "alive"
    assert len(attempts) == 5
    for line in attempts:
        threads, kind, text, extra = line.split("|")
        assert (kind, extra) == ("RuntimeError", "0"), line
        assert text.startswith(POOL_REFUSED), line


@pytest.fixture
def shared_dir():
    """A directory another user can read and write (tmp_path's parents are
    private to their owner)."""
    d = tempfile.mkdtemp(prefix="rs-threads-")
    os.chmod(d, 0o777)
    yield d
    shutil.rmtree(d, ignore_errors=True)


# Under a process limit, which binds only unprivileged users: the child
# becomes a user of its own (a uid no other process has) after loading the
# module. With 2 workers a build needs the thread it runs on, 2 pool
# threads, and then 2 consumers and 3 producers, and later 16 shard writers,
# beside the calling thread: it starts 19 at once before it deletes
# anything, so every limit below that refuses it with the old output intact.
@pytest.mark.parametrize("threads,nproc,kind,text", [
    (32, 20, "RuntimeError", POOL_REFUSED),
    (2, 2, "RuntimeError", POOL_REFUSED),
    (2, 4, "RuntimeError", POOL_REFUSED),
    (2, 10, "RuntimeError", POOL_REFUSED),
    (2, 18, "RuntimeError", POOL_REFUSED),
    (2, 40, "built", ""),
])
def test_process_limit_as_an_unprivileged_user(shared_dir, threads, nproc, kind, text):
    if os.getuid() != 0:
        pytest.skip("needs root to run the child as a user of its own")
    code = """
        out, classes, syn = old_output(sys.argv[1])
        uid = 200000 + os.getpid() % 100000
        os.setgroups([])
        os.setgid(uid)
        os.setuid(uid)
        before = tasks()
        limit = resource.getrlimit(resource.RLIMIT_NPROC)
        resource.setrlimit(resource.RLIMIT_NPROC, (int(sys.argv[3]), limit[1]))
        kind, text = attempt(out, classes, syn, int(sys.argv[2]))
        resource.setrlimit(resource.RLIMIT_NPROC, limit)
        check(out)
        print(kind, text, tasks(before) - before, sep="|")
        rs.build_fullmap_db(out, classes, syn, threads=2)
        check(out)
        print("alive")
    """
    r = run_child(code, shared_dir, threads, nproc)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert len(lines) == 2 and lines[1] == "alive", r.stdout
    got_kind, got_text, extra = lines[0].split("|")
    assert (got_kind, extra) == (kind, "0"), r.stdout
    assert got_text.startswith(text), r.stdout


def test_no_thread_outlives_a_build(tmp_path):
    code = """
        classes, syn = write_inputs(sys.argv[1])
        out = os.path.join(sys.argv[1], "db.qdb")
        before = tasks()
        for threads in (1, 8, 64, 200, 8):
            rs.build_fullmap_db(out, classes, syn, threads=threads)
            print(threads, tasks(before) - before)
        bad = os.path.join(sys.argv[1], "bad.ndjson")
        with open(bad, "w") as f:
            f.write("not json\\n")
        print("failed", attempt(out, classes, [bad], 8)[0], tasks(before) - before)
    """
    r = run_child(code, tmp_path)
    lines = r.stdout.splitlines()
    assert lines[:6] == ["1 0", "8 0", "64 0", "200 0", "8 0", "failed RuntimeError 0"], (
        r.stdout, r.stderr)


def test_a_child_forked_after_a_build_builds_and_looks_up(tmp_path):
    # A hang is a failure: the forked child is killed after its time.
    code = """
        import multiprocessing
        classes, syn = write_inputs(sys.argv[1])
        out = os.path.join(sys.argv[1], "db.qdb")
        rs.build_fullmap_db(out, classes, syn, threads=8)
        check(out)

        def in_child():
            check(out)
            again = os.path.join(sys.argv[1], "again.qdb")
            rs.build_fullmap_db(again, classes, syn, threads=8)
            check(again)

        ctx = multiprocessing.get_context("fork")
        for _ in range(2):
            p = ctx.Process(target=in_child)
            p.start()
            p.join(60)
            if p.is_alive():
                p.kill()
                p.join()
                print("hung")
                sys.exit(3)
            print(p.exitcode)
        check(out)
    """
    r = run_child(code, tmp_path, timeout=240)
    assert (r.returncode, r.stdout.split()) == (0, ["0", "0"]), r.stderr
