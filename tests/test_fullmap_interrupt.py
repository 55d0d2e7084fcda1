"""Ctrl-C during a build: the build stops soon, also while it waits on an input
pipe that gives nothing, every thread it started is joined before the call
raises the handler's exception, the spill directory and the claim are left as
after a failed build, and the next build works. A KeyboardInterrupt out of the
progress callable stops it the same way. Each case runs in a child process
with a time limit, so that a build that cannot be stopped fails the test
instead of hanging it."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import rs

ROUNDS = max(1, int(os.environ.get("RS_RELIABILITY_ROUNDS", "1") or "1"))

PRELUDE = """
import os, sys, time
import rs

d = sys.argv[1]
out = os.path.join(d, "db.qdb")
spill = out + ".spill.d"

def tasks(expected):
    # A joined thread may stay listed for a moment after its join returned.
    for _ in range(10000):
        n = len(os.listdir("/proc/self/task"))
        if n == expected:
            break
        time.sleep(0.001)
    return n

def write_inputs(lines):
    syn = os.path.join(d, "syn.ndjson")
    with open(syn, "w") as f:
        for i in range(lines):
            f.write(f'{{"curie":"X:{i}","names":["name {i}","alias {i} of {i % 977}"],'
                    f'"types":["biolink:T{i % 7}"]}}\\n')
    classes = os.path.join(d, "classes.ndjson")
    with open(classes, "w") as f:
        for i in range(0, lines, 3):
            f.write(f'{{"id":"X:{i}","equivalent_identifiers":["Y:{i}","Z:{i}"]}}\\n')
    return [classes], [syn]

def interrupted(build):
    # What the build raised, the threads left, and what it left behind.
    before = len(os.listdir("/proc/self/task"))
    try:
        build()
        outcome = "returned"
    except BaseException as e:
        outcome = type(e).__name__
    left = tasks(before) - before
    return (f"{outcome} threads_left={left} spill_kept={os.path.isdir(spill)} "
            f"claim_left={os.path.exists(out + '.lock')}")

def build_again(classes, syn):
    rs.build_fullmap_db(out, classes, syn, threads=2)
    rows = rs.lookup_fullmap_terms(out, ["name 7", "y:3"])
    assert [(r["term"], r["CURIE"]) for r in rows] == [("name 7", "X:7"), ("y:3", "X:3")], rows
    print("built again", flush=True)
"""

STOPPED = "KeyboardInterrupt threads_left=0 spill_kept=True claim_left=False"


def start_child(tmp_path, code):
    return subprocess.Popen([sys.executable, "-c", PRELUDE + textwrap.dedent(code), str(tmp_path)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wait_for_path(path, child, limit=120):
    deadline = time.monotonic() + limit
    while not os.path.exists(path):
        assert child.poll() is None, child.communicate()
        assert time.monotonic() < deadline, f"{path} never appeared"
        time.sleep(0.005)


def finish(child, limit=120):
    try:
        out, err = child.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        child.kill()
        out, err = child.communicate()
        pytest.fail(f"the child did not end: {out} {err}")
    assert child.returncode == 0, err
    return out.splitlines()


# Ctrl-C once ingestion has begun (the merged equivalence file is there): with
# no progress callable, and with one that sleeps, so that the signal lands
# while it runs (its KeyboardInterrupt comes out of the callable).
@pytest.mark.parametrize("callable_", ["none", "sleeping"])
def test_ctrl_c_stops_a_running_build(tmp_path, callable_):
    code = f"""
        classes, syn = write_inputs(1_000_000)
        def progress(kind, done, total, message):
            if kind == 1:
                print("in the callable", flush=True)
                time.sleep(0.3)
        progress = progress if {callable_!r} == "sleeping" else None
        print("ready", flush=True)
        print(interrupted(lambda: rs.build_fullmap_db(out, classes, syn, threads=2,
                                                      progress=progress)), flush=True)
        build_again(classes, syn)
    """
    for _ in range(ROUNDS):
        child = start_child(tmp_path, code)
        assert child.stdout.readline() == "ready\n"
        if callable_ == "sleeping":
            assert child.stdout.readline() == "in the callable\n"
        else:
            wait_for_path(tmp_path / "db.qdb.spill.d" / "equiv_data.bin", child)
        child.send_signal(signal.SIGINT)
        lines = finish(child)
        assert [line for line in lines if line != "in the callable"] == [STOPPED, "built again"]


# The callable itself raises KeyboardInterrupt: the build stops, and the
# callable is not called again.
def test_a_keyboard_interrupt_out_of_the_callable_stops_the_build(tmp_path):
    code = """
        classes, syn = write_inputs(300_000)
        calls = []
        def progress(kind, done, total, message):
            calls.append(kind)
            if kind == 1:
                raise KeyboardInterrupt
        print(interrupted(lambda: rs.build_fullmap_db(out, classes, syn, threads=2,
                                                      progress=progress)), flush=True)
        print("calls after the interrupt", len(calls) - calls.index(1) - 1, flush=True)
        build_again(classes, syn)
    """
    lines = finish(start_child(tmp_path, code))
    assert lines == [STOPPED, "calls after the interrupt 0", "built again"]


# Ctrl-C while the build waits on a FIFO: one no writer has opened yet, and one
# whose writer sent a few lines and stalled with the pipe open.
@pytest.mark.parametrize("writer", ["none yet", "stalled"])
def test_ctrl_c_stops_a_build_waiting_on_a_pipe(tmp_path, writer):
    fifo = tmp_path / "syn.fifo.ndjson"
    os.mkfifo(fifo)
    code = f"""
        classes, syn = write_inputs(1000)
        print(interrupted(lambda: rs.build_fullmap_db(out, [], [{str(fifo)!r}], threads=2)),
              flush=True)
        build_again(classes, syn)
    """
    for _ in range(ROUNDS):
        child = start_child(tmp_path, code)
        held = None
        if writer == "stalled":
            held = open(fifo, "w")  # waits for the build to open the FIFO
            held.write('{"curie":"W:1","names":["written"]}\n' * 50)
            held.flush()
        wait_for_path(tmp_path / "db.qdb.spill.d" / "equiv_data.bin", child)
        time.sleep(0.2)  # into ingestion, waiting on the pipe
        child.send_signal(signal.SIGINT)
        try:
            lines = finish(child, limit=60)
        finally:
            if held is not None:
                try:
                    held.close()
                except BrokenPipeError:
                    pass
        assert lines == [STOPPED, "built again"]


# A FIFO whose writer comes late (after the build opened it) is read in full,
# plain and gzip-compressed, never taken for an empty input.
@pytest.mark.parametrize("name", ["late.ndjson", "late.ndjson.gz"])
def test_a_fifo_whose_writer_comes_late_builds_in_full(tmp_path, name):
    import gzip
    fifo = tmp_path / name
    os.mkfifo(fifo)
    text = "".join(f'{{"curie":"L:{i}","names":["late {i}"]}}\n' for i in range(5000))
    data = gzip.compress(text.encode()) if name.endswith(".gz") else text.encode()
    output = tmp_path / "db.qdb"
    reports = []

    def write_late():
        while not (tmp_path / "db.qdb.spill.d" / "equiv_data.bin").exists():
            time.sleep(0.005)
        time.sleep(0.3)
        with open(fifo, "wb") as w:
            for k in range(0, len(data), 4096):
                w.write(data[k:k + 4096])
                w.flush()
                if k == 8192:
                    time.sleep(0.1)

    writer = threading.Thread(target=write_late)
    writer.start()
    try:
        rs.build_fullmap_db(output, [], [fifo], threads=2,
                            progress=lambda *report: reports.append(report))
    finally:
        writer.join()
    found = rs.lookup_fullmap_terms(output, ["late 0", "late 4999", "l:2500"])
    assert [(r["term"], r["CURIE"]) for r in found] == [
        ("late 0", "L:0"), ("late 4999", "L:4999"), ("l:2500", "L:2500")]
    assert reports[-1][:3] == (2, reports[-1][1], reports[-1][1])


# A signal whose handler does not raise changes nothing: the build runs to
# its end, and the handler ran while it did.
def test_a_signal_whose_handler_does_not_raise_changes_nothing(tmp_path):
    code = """
        import signal
        classes, syn = write_inputs(300_000)
        seen = []
        signal.signal(signal.SIGUSR1, lambda *_: seen.append(1))
        print("ready", flush=True)
        print(interrupted(lambda: rs.build_fullmap_db(out, classes, syn, threads=2)), flush=True)
        print("handled", bool(seen), flush=True)
        build_again(classes, syn)
    """
    child = start_child(tmp_path, code)
    assert child.stdout.readline() == "ready\n"
    wait_for_path(tmp_path / "db.qdb.spill.d" / "equiv_data.bin", child)
    for _ in range(5):
        child.send_signal(signal.SIGUSR1)
        time.sleep(0.02)
    lines = finish(child)
    assert lines == ["returned threads_left=0 spill_kept=False claim_left=False",
                     "handled True", "built again"]
