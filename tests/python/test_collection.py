"""The Python module against the C++ API it wraps, its refusals of bad input, and the README's
example."""

import json
import os
import pathlib
import re
import subprocess
import sys
import threading

import numpy as np
import pytest

import likeness
from conftest import run, scene

PROBE = os.environ["COLLECTION_PROBE"]
# Holds the writer lock of the folder given, as another likeness process writing it would.
HOLD_THE_FOLDER = """
import fcntl, os, sys, time
folder = os.open(sys.argv[1], os.O_RDONLY)
fcntl.flock(folder, fcntl.LOCK_EX)
print("locked", flush=True)
time.sleep(120)
"""
SOURCE_DIR = pathlib.Path(os.environ["LIKENESS_SOURCE_DIR"])


def floats(texts):
    return np.array([float.fromhex(text) for text in texts], dtype=np.float32)


def same_bits(first, second):
    return first.dtype == second.dtype == np.float32 and np.array_equal(first.view(np.uint32), second.view(np.uint32))


def matches(found):
    return [(key, float.fromhex(distance)) for key, distance in found["matches"]]


def test_every_call_answers_as_the_cpp_api(make_home, scenes):
    python_home, cpp_home = make_home("python"), make_home("cpp")
    s = [str(scene(scenes, i)) for i in range(6)]
    notes = str(scenes / "notes.txt")
    calls = [
        f"add-file {s[0]} pictures/",
        f"add-file {s[1]} pictures/",
        f"add-file {s[2]} pictures/",
        f"add-file {s[0]} pictures/",
        f"add-file {notes} pictures/",
        f"add-bytes {s[3]} pictures/chosen.png",
        f"add-bytes {s[4]} feat.txt",
        f"search-file {s[0]} 3",
        f"search-bytes {s[5]} 10",
        "search-vector pictures/scene1.png 2",
        f"extract-file {s[5]}",
        "vector pictures/chosen.png",
        "near-pairs 101.5",
        "same-picture-pairs",
        "remove pictures/scene1.png",
        "keys",
    ]
    probe = run(PROBE, cpp_home, *calls)
    assert probe.returncode == 0, probe.stderr
    cpp = [json.loads(line) for line in probe.stdout.splitlines()]

    def outcome(added):
        return {"key": added.key, "result": added.result, "reason": added.reason}

    with likeness.Collection(python_home) as collection:
        assert [outcome(collection.add(s[0]))] + [outcome(a) for a in collection.add_many(s[1:3])] == cpp[0:3]
        assert outcome(collection.add(s[0])) == cpp[3] and cpp[3]["result"] == "already_present"
        assert outcome(collection.add(notes)) == cpp[4] and cpp[4]["result"] == "not_decodable"
        bytes3, bytes4 = pathlib.Path(s[3]).read_bytes(), pathlib.Path(s[4]).read_bytes()
        assert outcome(collection.add(bytes3, key="pictures/chosen.png")) == cpp[5]
        assert outcome(collection.add(bytes4, key="feat.txt")) == cpp[6] and cpp[6]["result"] == "key_refused"
        assert collection.search(s[0], n=3) == matches(cpp[7])
        assert collection.search(pathlib.Path(s[5]).read_bytes(), n=10) == matches(cpp[8])
        assert len(matches(cpp[8])) == 4
        assert collection.search(collection.vector("pictures/scene1.png"), n=2) == matches(cpp[9])
        assert same_bits(collection.extract(s[5]), floats(cpp[10]))
        assert collection.vector("pictures/chosen.png").shape == (likeness.FEATURE_DIM,)
        assert same_bits(collection.vector("pictures/chosen.png"), floats(cpp[11]))
        pairs = collection.near_pairs(101.5)
        assert pairs and [(a, b, d) for a, b, d in pairs] == [(a, b, float.fromhex(d)) for a, b, d in cpp[12]]
        same = collection.near_pairs()
        assert same and [(a, b, d) for a, b, d in same] == [(a, b, float.fromhex(d)) for a, b, d in cpp[13]]
        assert collection.remove(["pictures/scene1.png", "pictures/never.jpg"]) == cpp[14] == 1
        assert collection.keys() == cpp[15] and len(collection) == len(cpp[15])
        assert "pictures/scene0.jpg" in collection and "pictures/scene1.png" not in collection
        nearest = collection.search(s[0], n=2)
        assert likeness.same_pictures(nearest) == [likeness.same_picture(d) for _, d in nearest]


def test_bad_input_raises_a_clear_error(make_home, scenes, tmp_path):
    with pytest.raises(FileNotFoundError):
        likeness.Collection(tmp_path / "nowhere")
    with pytest.raises(likeness.Error, match="has no model"):
        likeness.Collection(tmp_path)
    collection = likeness.Collection(make_home("home"))
    collection.add(scene(scenes, 0))
    vector = collection.vector("pictures/scene0.jpg")
    with pytest.raises(TypeError, match="float32; got float64"):
        collection.search(vector.astype(np.float64))
    with pytest.raises(ValueError, match=r"shape \(512,\); got \(2, 512\)"):
        collection.search(np.stack([vector, vector]))
    vector[7] = np.nan
    with pytest.raises(ValueError, match="NaN or infinity at 7"):
        collection.search(vector)
    for call in (collection.add, collection.search, collection.extract):
        with pytest.raises(FileNotFoundError, match="missing.jpg"):
            call(tmp_path / "missing.jpg")
    with pytest.raises(FileNotFoundError):
        collection.add_many([scene(scenes, 1), tmp_path / "missing.jpg"])
    assert "pictures/scene1.png" not in collection, "a batch with a missing file adds nothing"
    with pytest.raises(likeness.NotDecodable, match="not a picture of a format read here"):
        collection.search(scenes / "notes.txt")
    with pytest.raises(likeness.DownloadFailed, match="scheme refused"):
        collection.extract("ftp://127.0.0.1/a.jpg")
    with pytest.raises(TypeError):
        collection.add(12)
    with pytest.raises(ValueError, match="outside the home"):
        collection.add(scene(scenes, 1), key="../elsewhere/")
    with pytest.raises(ValueError, match="keeps its own name"):
        collection.add(scene(scenes, 1), key="pictures/renamed.png")
    with pytest.raises(KeyError):
        collection.vector("pictures/never.jpg")
    with pytest.raises(ValueError, match="n is a count"):
        collection.search(scene(scenes, 0), n=-1)
    collection.close()
    with pytest.raises(ValueError, match="closed"):
        len(collection)


def test_a_home_another_process_writes_is_refused_with_the_reason(make_home, scenes):
    home = make_home("home")
    holder = subprocess.Popen(
        [sys.executable, "-c", HOLD_THE_FOLDER, str(home)], stdout=subprocess.PIPE, text=True
    )
    try:
        assert holder.stdout.readline() == "locked\n"
        with likeness.Collection(home) as collection:
            refused = collection.add(scene(scenes, 0))
            assert refused.result == "not_stored" and "another likeness process is writing" in refused.reason
            with pytest.raises(likeness.Error, match="another likeness process is writing"):
                collection.remove(["pictures/scene0.jpg"])
    finally:
        holder.kill()
        holder.wait()


def test_long_calls_let_other_threads_run(make_home, scenes):
    with likeness.Collection(make_home("home")) as collection:
        ticks = []
        stop = threading.Event()

        def count():
            while not stop.is_set():
                ticks.append(1)

        counter = threading.Thread(target=count)
        counter.start()
        try:
            before = len(ticks)
            for _ in range(20):
                collection.extract(scene(scenes, 0))
            during = len(ticks) - before
        finally:
            stop.set()
            counter.join()
    assert during > 0


def test_the_readme_example_runs_as_printed(make_home, scenes):
    readme = (SOURCE_DIR / "README.md").read_text()
    example = (SOURCE_DIR / "examples" / "search.py").read_text()
    assert f"```python\n{example}```" in readme, "README.md must show examples/search.py as it is"
    home = make_home("home")
    command = re.search(r"\n(PYTHONPATH=\S+ /usr/bin/python3 examples/search\.py .*)\n", readme)
    assert command, "README.md shows how to run the example"
    shown = run(sys.executable, SOURCE_DIR / "examples" / "search.py", home, scene(scenes, 0), scenes / "notes.txt")
    assert shown.returncode == 0, shown.stderr
    lines = shown.stdout.splitlines()
    assert lines[0] == "pictures/scene0.jpg added "
    assert lines[1] == "pictures/notes.txt not_decodable not a picture of a format read here"
    assert lines[2] == " 100.000  pictures/scene0.jpg"
