"""Signals during dedup_ndjson. A handler that raises (Ctrl-C) stops the call
with its exception wherever the call is, waiting on a pipe or working through
a large file, and leaves in the output the records accepted so far; a handler
that does not raise changes nothing.

Every case runs in a child process with a time limit: a call that ignores the
signal fails the test instead of hanging it."""
import fcntl
import os
import signal
import subprocess
import sys
import termios
import time

import pytest

import rs

CHILD = r"""
import signal, sys
import rs

handled = []
signal.signal(signal.SIGUSR1, lambda *_: handled.append(1))


def raise_lookup(*_):
    raise LookupError("from the handler")


signal.signal(signal.SIGUSR2, raise_lookup)
print("calling", flush=True)
try:
    rs.dedup_ndjson(sys.argv[1], sys.argv[2], False)
    outcome = "returned"
except BaseException as e:
    outcome = type(e).__name__
print(outcome, len(handled), flush=True)
"""

# Long enough for any machine; only a call that never returns reaches it.
TIME_LIMIT = 60

# Duplicates, a record that cleans to a duplicate, a blank line and a field
# that cleans away: the output differs from the input.
LINES = [b'{"s":"a","o":"b"}\n', b'{"s":"a","o":"b","x":null}\n', b'{"s":"c","o":"d"}\n',
         b'  \n', b'{"s":"a","o":"b"}\n', b'{"s":"e","n":"NA"}\n']
# A line cut short, then its end.
CUT, REST = b'{"s":"cut",', b'"o":"f"}\n{"s":"g"}\n{"s":"c","o":"d"}\n'


def wait_for(what, condition):
    deadline = time.monotonic() + TIME_LIMIT
    while not condition():
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting until {what}")
        time.sleep(0.002)


def pipe_bytes(fd):
    """Bytes waiting in the pipe that `fd` (either end) belongs to."""
    return int.from_bytes(fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"), sys.byteorder)


class Child:
    """A process calling dedup_ndjson(src, dst) once."""

    def __init__(self, src, dst):
        self.proc = subprocess.Popen([sys.executable, "-c", CHILD, str(src), str(dst)],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert self.proc.stdout.readline() == b"calling\n", self.proc.communicate()

    def wait_asleep(self):
        """Until the call waits: the child sleeps (in a few samples in a row,
        not just for a moment on its way), on its one thread."""
        samples = 0

        def asleep():
            nonlocal samples
            with open(f"/proc/{self.proc.pid}/stat", "rb") as f:
                sleeping = f.read().rsplit(b")", 1)[1].split()[0] == b"S"
            samples = samples + 1 if sleeping else 0
            return samples >= 5
        wait_for("the call waits", asleep)
        assert os.listdir(f"/proc/{self.proc.pid}/task") == [str(self.proc.pid)]

    def signal(self, sig):
        os.kill(self.proc.pid, sig)

    def finish(self):
        """The call's outcome (the exception's type name, or "returned") and
        how many times the counting handler ran."""
        try:
            out, err = self.proc.communicate(timeout=TIME_LIMIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()
            pytest.fail("dedup_ndjson did not return after the signal")
        assert self.proc.returncode == 0, err.decode()[-3000:]
        outcome, handled = out.decode().split()
        return outcome, int(handled)


def signals(*sigs):
    return pytest.mark.parametrize("sig", sigs, ids=lambda s: s.name)


def expect(sig, outcome, handled):
    """The outcome of a call that saw `sig` and was let finish."""
    if sig == signal.SIGUSR1:
        assert (outcome, handled > 0) == ("returned", True)
    else:
        assert outcome == {signal.SIGINT: "KeyboardInterrupt",
                           signal.SIGUSR2: "LookupError"}[sig]


def dedup_bytes(tmp_path, data):
    """What a whole run over `data` writes."""
    src, dst = tmp_path / "whole.in", tmp_path / "whole.out"
    src.write_bytes(data)
    rs.dedup_ndjson(src, dst, False)
    return dst.read_bytes()


def open_fifo_writer(path):
    """Opens the FIFO for writing once the child has it open for reading."""
    fd = None

    def opened():
        nonlocal fd
        try:
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC)
            return True
        except OSError as e:  # ENXIO: no reader yet
            assert e.errno == 6, e
            return False
    wait_for("the child opens the FIFO", opened)
    os.set_blocking(fd, True)
    return fd


def read_until_exit(fd, child):
    """Everything a FIFO's writer sends until the child ends."""
    os.set_blocking(fd, False)
    got = bytearray()
    while True:
        exited = child.proc.poll() is not None
        try:
            while chunk := os.read(fd, 1 << 16):
                got += chunk
        except BlockingIOError:
            pass
        if exited:
            return bytes(got)
        time.sleep(0.002)


# ---- waiting on a FIFO ----

@signals(signal.SIGINT, signal.SIGUSR1)
@pytest.mark.parametrize("fifo_is", ["input", "output"])
def test_fifo_whose_other_end_has_not_come(tmp_path, fifo_is, sig):
    # A FIFO input without a writer yet, or a FIFO output without a reader.
    src, dst = tmp_path / "in.ndjson", tmp_path / "out.ndjson"
    data = b"".join(LINES)
    if fifo_is == "input":
        os.mkfifo(src)
    else:
        src.write_bytes(data)
        os.mkfifo(dst)
    child = Child(src, dst)
    child.wait_asleep()
    child.signal(sig)
    if sig == signal.SIGINT:
        assert child.finish()[0] == "KeyboardInterrupt"
        if fifo_is == "input":
            assert dst.read_bytes() == b""
        return
    # The other end comes after the signal, and everything goes through.
    if fifo_is == "input":
        w = open_fifo_writer(src)
        os.write(w, data)
        os.close(w)
        expect(sig, *child.finish())
        got = dst.read_bytes()
    else:
        r = os.open(dst, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        got = read_until_exit(r, child)
        os.close(r)
        expect(sig, *child.finish())
    assert got == dedup_bytes(tmp_path, data)


@signals(signal.SIGINT, signal.SIGUSR2, signal.SIGUSR1)
def test_input_fifo_whose_writer_stalls(tmp_path, sig):
    # As `<(zcat edges.gz)` while zcat is slow: some lines and a cut one, with
    # the pipe kept open.
    fifo, dst = tmp_path / "in.fifo", tmp_path / "out.ndjson"
    os.mkfifo(fifo)
    child = Child(fifo, dst)
    w = open_fifo_writer(fifo)
    try:
        os.write(w, b"".join(LINES) + CUT)
        wait_for("the child has read what was sent", lambda: pipe_bytes(w) == 0)
        child.wait_asleep()
        child.signal(sig)
        if sig == signal.SIGUSR1:
            os.write(w, REST)
            os.close(w)
            w = None
        # Otherwise the writer stalls on until the call has ended.
        expect(sig, *child.finish())
    finally:
        if w is not None:
            os.close(w)
    if sig == signal.SIGUSR1:
        assert dst.read_bytes() == dedup_bytes(tmp_path, b"".join(LINES) + CUT + REST)
    else:
        # Exactly the records of the complete lines sent, the last of them too.
        assert dst.read_bytes() == dedup_bytes(tmp_path, b"".join(LINES))


def distinct_lines(n, pad=60):
    return b"".join(b'{"n":%d,"pad":"%s"}\n' % (i, b"p" * pad) for i in range(n))


@signals(signal.SIGINT, signal.SIGUSR1)
def test_output_fifo_whose_reader_stalls(tmp_path, sig):
    # More output than the write buffer and the pipe hold together.
    src, fifo = tmp_path / "in.ndjson", tmp_path / "out.fifo"
    data = distinct_lines(40000)
    src.write_bytes(data)
    whole = dedup_bytes(tmp_path, data)
    os.mkfifo(fifo)
    r = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        child = Child(src, fifo)
        wait_for("the output reaches the pipe", lambda: pipe_bytes(r) > 0)
        child.wait_asleep()
        child.signal(sig)
        if sig == signal.SIGUSR1:
            # The reader takes up again after the signal and gets everything.
            assert read_until_exit(r, child) == whole
            expect(sig, *child.finish())
            return
        # The reader stalls on until the call has ended; it then finds what
        # the pipe took before the stop.
        expect(sig, *child.finish())
        got = read_until_exit(r, child)
    finally:
        os.close(r)
    assert 0 < len(got) < len(whole) and whole.startswith(got)


# ---- a large file, interrupted part-way ----

@pytest.fixture(scope="module")
def large_input(tmp_path_factory):
    """About 60 MB of lines, one in five a duplicate, and the whole output."""
    d = tmp_path_factory.mktemp("large")
    lines = [b'{"subject":"X:%d","predicate":"biolink:related_to","object":"Y:%d",'
             b'"score":%d,"note":null,"pad":"%s"}\n' % (i, i % 977, i % 1000, b"q" * (i % 40))
             for i in range(500000)]
    for i in range(0, len(lines), 5):
        lines[i] = lines[i // 2]
    src = d / "large.ndjson"
    src.write_bytes(b"".join(lines))
    return src, dedup_bytes(d, src.read_bytes())


@signals(signal.SIGINT, signal.SIGUSR1)
def test_large_file_interrupted_part_way(tmp_path, large_input, sig):
    src, whole = large_input
    assert len(whole) > 20 << 20
    dst = tmp_path / "out.ndjson"
    child = Child(src, dst)
    # Part-way: the first megabyte of output has been written.
    wait_for("output is written", lambda: dst.exists() and dst.stat().st_size > 0)
    child.signal(sig)
    if sig == signal.SIGUSR1:
        wait_for("more output is written", lambda: dst.stat().st_size > 4 << 20)
        child.signal(sig)
    expect(sig, *child.finish())
    got = dst.read_bytes()
    if sig == signal.SIGUSR1:
        assert got == whole
    else:
        # First occurrences in input order: a prefix of the input gives a
        # prefix of the whole output, of complete lines.
        assert 0 < len(got) < len(whole), (len(got), len(whole))
        assert whole.startswith(got) and got.endswith(b"\n")
