import os
import subprocess

import pytest

ATBUTIL = os.environ.get("ATBUTIL", "atbutil")


def atbutil(*args, check=True, input=None):
    """Runs atbutil; its standard output as text."""
    r = subprocess.run([ATBUTIL, *map(str, args)], capture_output=True, input=input,
                       timeout=60)
    if check and r.returncode != 0:
        raise AssertionError(f"atbutil {args} exited {r.returncode}: {r.stderr.decode()}")
    return r


@pytest.fixture(scope="session")
def random_files(tmp_path_factory):
    """Paths of random attribute files made by the C++ tests' generator, one in four damaged."""
    folder = tmp_path_factory.mktemp("random")
    subprocess.run([os.environ["RANDOM_ATB_FILES"], str(folder), "300", "20240611"], check=True)
    return sorted(folder.glob("*.atb"), key=lambda p: int(p.stem))


@pytest.fixture(scope="session")
def sample_folder(tmp_path_factory):
    """The sample files that make run shows."""
    folder = tmp_path_factory.mktemp("sample")
    subprocess.run([os.environ["MAKE_SAMPLE"], str(folder)], check=True)
    return folder
