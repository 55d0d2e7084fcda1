"""How fullmap failures reach Python: error texts and panics raised while the
interpreter lock is released."""
import threading

import pytest


def test_os_error_is_runtime_error_with_system_text(panic_probe):
    with pytest.raises(RuntimeError) as info:
        panic_probe.raise_os_error(2)
    assert type(info.value) is RuntimeError
    assert str(info.value) == "No such file or directory (os error 2)"


def test_panic_without_lock_reaches_python_as_panic_exception(panic_probe):
    with pytest.raises(BaseException) as info:
        panic_probe.panic_without_lock("broken invariant while unlocked")
    assert not isinstance(info.value, Exception)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "broken invariant while unlocked"


def test_panic_without_lock_leaves_other_threads_running(panic_probe):
    # Other Python threads keep running while the lock is released, and the
    # interpreter stays usable after each panic.
    stop = threading.Event()
    ticks = []

    def spin():
        while not stop.is_set():
            ticks.append(1)

    t = threading.Thread(target=spin)
    t.start()
    try:
        for i in range(50):
            with pytest.raises(BaseException, match=f"panic {i}"):
                panic_probe.panic_without_lock(f"panic {i}")
    finally:
        stop.set()
        t.join()
    assert ticks
