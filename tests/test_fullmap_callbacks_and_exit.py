"""Where a build's progress callable runs, and an exit with a build or a lookup
in flight on a daemon thread. Each case runs in child processes: a failure
here is a crash or an abort of the interpreter."""
import os
import random
import subprocess
import sys
import textwrap

import pytest

ROUNDS = max(1, int(os.environ.get("RS_RELIABILITY_ROUNDS", "1")))


def run_child(code, *args, timeout=300):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


def write_small_inputs(d):
    syn = d / "syn.ndjson"
    syn.write_text("".join(f'{{"curie":"X:{i}","names":["n {i}"]}}\n' for i in range(2000)))
    classes = d / "classes.ndjson"
    classes.write_text('{"id":"X:1","equivalent_identifiers":["Y:1"]}\n')
    return classes, syn


# A recursion through C code (sorted calls its key) that needs more stack
# than a 2 MiB thread has and less than the interpreter's own threads have:
# 480 levels, a little below the interpreter's own limit on C recursion.
DEEP = """
import os, sys, threading
import rs
sys.setrecursionlimit(10000)

def deep(n):
    if n == 0:
        return 0
    return sorted([n], key=lambda x: deep(n - 1))[0]
"""


@pytest.mark.parametrize("kind", [0, 1, 2])
def test_a_deep_callback_in_every_report_kind(tmp_path, kind):
    classes, syn = write_small_inputs(tmp_path)
    code = DEEP + textwrap.dedent("""
    depth, kind = 480, int(sys.argv[3])
    deep(depth)
    t = threading.Thread(target=deep, args=(depth,))
    t.start()
    t.join()
    caller = threading.get_ident()
    seen, threads = [], set()

    def progress(k, done, total, message):
        threads.add(threading.get_ident())
        if k not in seen:
            seen.append(k)
            if k == kind:
                deep(depth)

    out = os.path.join(os.path.dirname(sys.argv[1]), "db.qdb")
    rs.build_fullmap_db(out, [sys.argv[1]], [sys.argv[2]], threads=2, progress=progress)
    print(sorted(seen), threads == {caller})
    print(len(rs.lookup_fullmap_terms(out, ["n 7", "y:1"])))
    """)
    r = run_child(code, classes, syn, kind)
    assert r.returncode == 0, (r.returncode, r.stderr[-2000:])
    assert r.stdout.split("\n")[:2] == ["[0, 1, 2] True", "2"], r.stdout


def test_reports_are_delivered_in_order_before_the_call_returns(tmp_path):
    # A slow callable: the build runs on meanwhile and its reports wait for
    # the caller, who gets all of them, each counter's never stepping back.
    classes, syn = write_small_inputs(tmp_path)
    code = """
    import os, sys, time
    import rs
    os.environ["QUORVENDEL_FULLMAP_CHUNK_BYTES"] = "2000"
    os.environ["QUORVENDEL_FULLMAP_INSERT_BATCH"] = "100"
    reports = []

    def progress(kind, done, total, message):
        time.sleep(0.002)
        reports.append((kind, done, total, message))

    out = os.path.join(os.path.dirname(sys.argv[1]), "db.qdb")
    rs.build_fullmap_db(out, [sys.argv[1]], [sys.argv[2]], threads=4, progress=progress)
    count = len(reports)
    time.sleep(0.2)
    assert len(reports) == count, "a report after the call returned"
    kinds = [k for k, *_ in reports]
    assert kinds == sorted(kinds), kinds
    for kind in (1, 2):
        done = [d for k, d, t, m in reports if k == kind]
        assert done == sorted(done), (kind, done)
    assert reports[-1][:3] == (2, reports[-1][1], reports[-1][1]), reports[-1]
    assert reports[-1][3] == f"wrote {reports[-1][1]} records"
    print(len([k for k in kinds if k == 1]), len([k for k in kinds if k == 2]))
    """
    r = run_child(code, classes, syn)
    assert r.returncode == 0, r.stderr[-2000:]
    ingest, write = map(int, r.stdout.split())
    assert ingest > 5 and write > 5, r.stdout


# ---- exit with a call in flight on a daemon thread ----

@pytest.fixture(scope="module")
def large_inputs(tmp_path_factory):
    import rs
    d = tmp_path_factory.mktemp("exit")
    syn = d / "syn.ndjson"
    with open(syn, "w") as f:
        for i in range(250_000):
            f.write(f'{{"curie":"X:{i}","names":["name {i}","alias {i}"]}}\n')
    classes = d / "classes.ndjson"
    with open(classes, "w") as f:
        for i in range(0, 250_000, 50):
            f.write(f'{{"id":"X:{i}","equivalent_identifiers":["Y:{i}"]}}\n')
    db = d / "lookup.qdb"
    rs.build_fullmap_db(db, [classes], [syn], threads=4)
    return d, classes, syn, db


BUILD_AT_EXIT = """
import os, sys, threading, time
import rs
out, classes, syn, delay = sys.argv[1:5]

def progress(kind, done, total, message):
    pass

def work():
    rs.build_fullmap_db(out, [classes], [syn], threads=4, progress=progress)

threading.Thread(target=work, daemon=True).start()
time.sleep(float(delay))
"""

LOOKUP_AT_EXIT = """
import sys, threading, time
import rs
db, size, delay = sys.argv[1:4]
terms = [f"name {i}" for i in range(int(size))]

def work():
    while True:
        rs.lookup_fullmap_terms(db, terms, threads=8)

threading.Thread(target=work, daemon=True).start()
time.sleep(float(delay))
"""


def exit_statuses(code, args_of_round, rounds):
    """The exit status of each round, with the stderr of the first abnormal one."""
    seed = random.randrange(1 << 32)
    rng = random.Random(seed)
    statuses, first_bad = [], None
    for n in range(rounds):
        r = run_child(code, *args_of_round(n), f"{rng.uniform(0.1, 0.35):.3f}", timeout=120)
        statuses.append(r.returncode)
        if (r.returncode != 0 or r.stderr) and first_bad is None:
            first_bad = (n, r.returncode, r.stderr[-1500:])
    return seed, statuses, first_bad


def test_exit_with_a_build_in_flight_on_a_daemon_thread(large_inputs, tmp_path):
    d, classes, syn, _ = large_inputs
    seed, statuses, first_bad = exit_statuses(
        BUILD_AT_EXIT, lambda n: (tmp_path / f"out{n}.qdb", classes, syn), 20 * ROUNDS)
    assert first_bad is None, (seed, statuses, first_bad)


def test_exit_with_a_lookup_in_flight_on_a_daemon_thread(large_inputs):
    d, classes, syn, db = large_inputs
    # Large batches as users make them, and smaller ones, which take the
    # interpreter lock back far more often while the interpreter exits.
    seed, statuses, first_bad = exit_statuses(
        LOOKUP_AT_EXIT, lambda n: (db, 200_000 if n % 2 else 5_000), 30 * ROUNDS)
    assert first_bad is None, (seed, statuses, first_bad)
