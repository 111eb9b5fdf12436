"""What the Python tests share: the programs and the test model that ctest names in the
environment, fresh homes and the seeded synthetic pictures."""

import os
import pathlib
import shutil
import subprocess

import pytest

TEST_MODEL = pathlib.Path(os.environ["LIKENESS_TEST_MODEL_DIR"])
LIKENESS_CLI = os.environ["LIKENESS_CLI"]
MAKE_TEST_PICTURES = os.environ["MAKE_TEST_PICTURES"]


def run(*arguments, cwd=None):
    """Runs a program, returning its completed process (output as text)."""
    return subprocess.run([str(a) for a in arguments], cwd=cwd, capture_output=True, text=True, timeout=300)


@pytest.fixture
def make_home(tmp_path):
    """make_home(name): a new home in the test's folder with a copy of the test model."""

    def make(name):
        home = tmp_path / name
        (home / "pictures").mkdir(parents=True)
        shutil.copytree(TEST_MODEL, home / "model")
        return home

    return make


@pytest.fixture(scope="session")
def scenes(tmp_path_factory):
    """A folder of six distinct pictures, scene0.jpg .. scene5.png, and notes.txt, which is none."""
    folder = tmp_path_factory.mktemp("scenes")
    made = run(MAKE_TEST_PICTURES, folder, 6)
    assert made.returncode == 0, made.stderr
    (folder / "notes.txt").write_text("not a picture\n")
    return folder


def scene(scenes, index):
    return scenes / f"scene{index}.{'jpg' if index % 2 == 0 else 'png'}"
