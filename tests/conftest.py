import importlib.util
import os
import pathlib

import pytest


@pytest.fixture(scope="session")
def panic_probe():
    """The test-only extension that raises panics through the module's trampoline."""
    build_dir = os.environ.get("RS_TEST_EXT_DIR")
    if not build_dir:
        pytest.skip("RS_TEST_EXT_DIR is not set (run through `make test`)")
    found = sorted(pathlib.Path(build_dir).glob("rs_panic_probe.cpython-*.so"))
    assert found, f"no rs_panic_probe extension under {build_dir}"
    spec = importlib.util.spec_from_file_location("rs_panic_probe", found[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
