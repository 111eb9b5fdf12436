"""ShardedCollection on a LocalCluster of four worker processes on 127.0.0.1: its answers equal those
of one collection holding every picture, adds reach the shard of their key and stay after a
restart, and a shard that cannot answer is started again or named, never left out."""

import os
import shutil
import signal

import numpy as np
import pytest
from distributed import Client, LocalCluster

import likeness
from conftest import LIKENESS_CLI, MAKE_TEST_PICTURES, run
from likeness.sharded import ShardedCollection, ShardsUnavailable

SHARDS = 4
TIMEOUT = 30


@pytest.fixture(scope="module")
def client():
    with LocalCluster(
        n_workers=SHARDS, threads_per_worker=1, host="127.0.0.1", dashboard_address=None, processes=True
    ) as cluster, Client(cluster) as connected:
        yield connected


@pytest.fixture(scope="module")
def pictures(tmp_path_factory):
    """24 distinct pictures, then three copies of the first under other names (equal distances)."""
    folder = tmp_path_factory.mktemp("pictures")
    assert run(MAKE_TEST_PICTURES, folder, 24).returncode == 0
    scenes = [folder / f"scene{i}.{'jpg' if i % 2 == 0 else 'png'}" for i in range(24)]
    copies = [folder / name for name in ("copy-a.jpg", "copy-b.jpg", "copy-c.jpg")]
    for copy in copies:
        shutil.copy(scenes[0], copy)
    return scenes + copies


@pytest.fixture
def split(tmp_path, make_home, pictures):
    """A home of the first 20 pictures and the copies, and the folder `likeness shard` made of it."""
    home = make_home("whole")
    with likeness.Collection(home) as whole:
        assert all(outcome.added for outcome in whole.add_many(pictures[:20] + pictures[24:]))
    made = run(LIKENESS_CLI, "shard", home, "--into", SHARDS, tmp_path / "shards")
    assert made.returncode == 0, made.stderr
    return home, tmp_path / "shards"


def queries(pictures):
    random = np.random.default_rng(7)
    vectors = [random.normal(0, 1.5, likeness.FEATURE_DIM).astype(np.float32) for _ in range(12)]
    return vectors + [str(picture) for picture in pictures[::3]]


def test_answers_equal_one_collection_of_every_picture(client, split, pictures):
    home, shards = split
    with likeness.Collection(home) as whole, ShardedCollection(client, shards, timeout=TIMEOUT) as sharded:
        assert len(sharded) == len(whole) == 23
        assert sharded.keys() == whole.keys()
        for query in queries(pictures):
            for n in (1, 5, None):
                assert sharded.search(query, n) == whole.search(query, n)
        ties = whole.search(str(pictures[0]), 4)
        assert len({distance for _, distance in ties}) == 1, "the copies tie, so their keys decide the order"
        key = "pictures/scene7.png"
        assert np.array_equal(sharded.vector(key), whole.vector(key))
        assert np.array_equal(sharded.extract(pictures[5]), whole.extract(pictures[5]))
        assert key in sharded and "pictures/never.jpg" not in sharded
        with pytest.raises(likeness.NotDecodable):
            sharded.search(b"no picture")
        with pytest.raises(TypeError, match="float32"):
            sharded.search(np.zeros(likeness.FEATURE_DIM))


def test_adds_reach_the_shard_of_their_key_and_stay_after_a_restart(client, split, pictures):
    home, shards = split
    new = pictures[20:24]
    with likeness.Collection(home) as whole, ShardedCollection(client, shards, timeout=TIMEOUT) as sharded:
        expected = whole.add_many(new[:3]) + [whole.add(new[3].read_bytes(), key="pictures/chosen.png")]
        added = sharded.add_many(new[:3]) + [sharded.add(new[3].read_bytes(), key="pictures/chosen.png")]
        assert added == expected and all(outcome.added for outcome in added)
        assert sharded.add(new[0]) == whole.add(new[0])
        assert sharded.remove(["pictures/scene1.png", "pictures/never.jpg"]) == whole.remove(["pictures/scene1.png"])
    for outcome in added:
        shard = likeness.shard_of(outcome.key, SHARDS)
        assert f"\n{outcome.key}|" in "\n" + (shards / f"shard-{shard}" / "feat.txt").read_text()
    placement = sorted(client.scheduler_info()["workers"], reverse=True)
    with likeness.Collection(home) as whole, ShardedCollection(
        client, shards, workers=placement, timeout=TIMEOUT
    ) as sharded:
        assert [sharded._address(shard) for shard in range(SHARDS)] == placement
        assert sharded.keys() == whole.keys()
        for query in queries(pictures):
            assert sharded.search(query, 6) == whole.search(query, 6)
    merged = run(LIKENESS_CLI, "merge", shards, home.parent / "merged")
    assert merged.returncode == 0, merged.stderr
    with likeness.Collection(home.parent / "merged") as joined, likeness.Collection(home) as whole:
        assert joined.keys() == whole.keys()


def test_a_missing_shard_is_named(client, split):
    _, shards = split
    shutil.rmtree(shards / "shard-2")
    with pytest.raises(ShardsUnavailable, match=r"shard 2 \(.*shard-2\): FileNotFoundError"):
        ShardedCollection(client, shards, timeout=TIMEOUT)


def worker_pid(client, address):
    return client.run(os.getpid, workers=[address])[address]


def test_a_killed_worker_is_replaced_or_named(client, split, pictures):
    home, shards = split
    with likeness.Collection(home) as whole, ShardedCollection(client, shards, timeout=TIMEOUT) as sharded:
        query = str(pictures[4])
        os.kill(worker_pid(client, sharded._address(0)), signal.SIGKILL)
        assert sharded.search(query, None) == whole.search(query, None)
        assert sharded.restarts == 1

        # A shard whose home is gone cannot be started again: the call names it rather than answer without it.
        os.rename(shards / "shard-1", shards / "elsewhere")
        os.kill(worker_pid(client, sharded._address(1)), signal.SIGKILL)
        with pytest.raises(ShardsUnavailable, match=r"shard 1 \(.*shard-1\): .*starting it again from its home failed"):
            sharded.search(query, 5)
