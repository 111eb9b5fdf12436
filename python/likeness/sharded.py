"""A collection split by `likeness shard`, searched and grown on a Dask cluster as if it were one.

Each shard's home is opened by the library in a Dask actor on one worker. A search extracts the
query's vector once, sends the vector to every shard, and merges the shards' exact top-n by
(distance, key): the answer equals that of one collection holding every picture. An add goes to
the shard its key hashes to (likeness.shard_of, the rule `likeness shard` split the home by).

A shard that cannot answer (its worker died, it timed out) is started again from its home on a
live worker and asked again, once; when that fails too, the call raises ShardsUnavailable naming
the shards, and never returns an answer that leaves them out.
"""

import asyncio
import itertools
import json
import os
import pathlib
import time
import uuid

import likeness

__all__ = ["ShardActor", "ShardedCollection", "ShardsUnavailable"]

MANIFEST = "shards.json"


class ShardsUnavailable(likeness.Error):
    """Some shards could not answer; the message names them and says why."""


class _Raised:
    """An exception the shard's collection raised: the call's answer, not a failure of the shard."""

    def __init__(self, exception):
        self.exception = exception


def _answered(method):
    def answer(self, *arguments):
        try:
            return method(self, *arguments)
        except Exception as exception:  # noqa: BLE001 - every refusal travels back to the caller
            return _Raised(exception)

    answer.__name__ = method.__name__
    return answer


class ShardActor:
    """One shard's collection, opened from its home on the worker that holds the actor."""

    def __init__(self, home):
        self.collection = likeness.Collection(home)

    @_answered
    def search(self, vector, n):
        started, cpu = time.perf_counter(), time.thread_time()
        found = self.collection.search(vector, n)
        return found, {"seconds": time.perf_counter() - started, "cpu_seconds": time.thread_time() - cpu}

    @_answered
    def extract(self, picture):
        return self.collection.extract(picture)

    @_answered
    def add_each(self, items):
        return [self.collection.add(picture, key) for picture, key in items]

    @_answered
    def remove(self, keys):
        return self.collection.remove(keys)

    @_answered
    def keys(self):
        return self.collection.keys()

    @_answered
    def size(self):
        return len(self.collection)

    @_answered
    def vector(self, key):
        return self.collection.vector(key)

    @_answered
    def close(self):
        self.collection.close()


def _homes_of(shards):
    if isinstance(shards, (str, os.PathLike)):
        folder = pathlib.Path(shards)
        manifest = json.loads((folder / MANIFEST).read_text())
        return [str((folder / entry["home"]).absolute()) for entry in manifest["homes"]]
    return [os.fspath(home) for home in shards]


def _sendable(picture):
    """The picture as a worker can use it: a URL as it is, a local file as its bytes."""
    if isinstance(picture, (bytes, bytearray, memoryview)):
        return bytes(picture)
    path = os.fspath(picture)
    if isinstance(path, str) and "://" in path:
        return path
    with open(path, "rb") as file:
        return file.read()


def _reason(exception):
    return f"{type(exception).__name__}: {exception}" if str(exception) else type(exception).__name__


class ShardedCollection:
    """The shards of a collection, each in an actor on a worker of client's cluster.

    shards: a folder made by `likeness shard` (its shards.json lists the homes in shard order), or
    the shards' homes in shard order, as paths the workers can open. workers: for each shard, the
    worker to place it on (its address, its name or its machine's host); by default the shards are
    spread over the workers in turn. timeout: seconds a shard may take to answer one call before it
    counts as failed. A Client made with direct_to_workers=True sends the calls straight to the
    workers instead of through the scheduler, which takes several milliseconds off every call.
    """

    def __init__(self, client, shards, *, workers=None, timeout=60):
        self._client = client
        self._homes = _homes_of(shards)
        if not self._homes:
            raise ValueError("a sharded collection has at least one shard")
        if workers is not None and len(workers) != len(self._homes):
            raise ValueError(f"{len(workers)} workers named for {len(self._homes)} shards")
        self._placement = list(workers) if workers is not None else None
        self._timeout = timeout
        self._actors = [None] * len(self._homes)
        self._futures = [None] * len(self._homes)
        self._extractors = itertools.cycle(range(len(self._homes)))
        # How many times a shard was started again after it failed to answer.
        self.restarts = 0
        failures = self._start(range(len(self._homes)))
        if failures:
            self._release_all()
            raise ShardsUnavailable(self._failed(failures))

    # ---- the actors ----

    def _worker_for(self, shard, avoid):
        """The live worker for shard: one that its placement names (by address, name or host), or
        else the next in turn; never one of avoid while another lives."""
        workers = self._client.scheduler_info()["workers"]
        live = sorted(address for address in workers if address not in avoid) or sorted(workers)
        if not live:
            raise ShardsUnavailable("the cluster has no workers")
        if self._placement is not None:
            wanted = str(self._placement[shard])
            named = [a for a in live if wanted in (a, str(workers[a].get("name")), workers[a].get("host"))]
            if named:
                return named[shard % len(named)]
        return live[shard % len(live)]

    def _start(self, shards, avoid=()):
        """Starts an actor for each shard, all at once; answers {shard: why} for those that failed."""
        started = {}
        for shard in shards:
            self._release(shard)
            started[shard] = self._futures[shard] = self._client.submit(
                ShardActor,
                self._homes[shard],
                actor=True,
                workers=[self._worker_for(shard, avoid)],
                key=f"likeness-shard-{shard}-{uuid.uuid4().hex}",
            )
        failures = {}
        deadline = time.monotonic() + self._timeout
        for shard, future in started.items():
            try:
                self._actors[shard] = future.result(timeout=max(0.0, deadline - time.monotonic()))
            except Exception as exception:  # noqa: BLE001 - the shard could not open its home, and says why
                failures[shard] = _reason(exception)
        return failures

    def _release(self, shard):
        if self._futures[shard] is not None:
            self._futures[shard].release()
        self._futures[shard] = self._actors[shard] = None

    def _release_all(self):
        for shard in range(len(self._homes)):
            self._release(shard)

    def _failed(self, failures):
        return "no answer from " + "; ".join(
            f"shard {shard} ({self._homes[shard]}): {why}" for shard, why in sorted(failures.items())
        )

    # ---- calling the shards ----

    def _call_each(self, calls):
        """calls: {shard: (method, arguments)}. Answers {shard: value}; raises the first refusal a
        shard's collection raised, or ShardsUnavailable naming every shard that did not answer
        even after it was started again."""
        answers, failures = self._gather(calls)
        if failures:
            avoid = tuple(address for address in (self._address(shard) for shard in failures) if address)
            not_started = self._start(failures, avoid)
            self.restarts += len(failures) - len(not_started)
            retried, still = self._gather({shard: calls[shard] for shard in failures if shard not in not_started})
            answers.update(retried)
            failures = {
                shard: f"{why}; started again from its home: " + still[shard]
                if shard in still
                else f"{why}; starting it again from its home failed: {not_started[shard]}"
                for shard, why in failures.items()
                if shard in still or shard in not_started
            }
        if failures:
            raise ShardsUnavailable(self._failed(failures))
        for shard in sorted(answers):
            if isinstance(answers[shard], _Raised):
                raise answers[shard].exception
        return answers

    def _gather(self, calls):
        pending, answers, failures = {}, {}, {}
        for shard, (method, arguments) in calls.items():
            try:
                pending[shard] = getattr(self._actors[shard], method)(*arguments)
            except Exception as exception:  # noqa: BLE001 - a lost actor refuses the call itself
                failures[shard] = _reason(exception)

        async def every_answer():
            # One trip to the client's event loop for all the shards, each with its own deadline.
            waits = (asyncio.wait_for(future, self._timeout) for future in pending.values())
            return await asyncio.gather(*waits, return_exceptions=True)

        for shard, answer in zip(pending, self._client.sync(every_answer) if pending else []):
            if isinstance(answer, BaseException):
                failures[shard] = _reason(answer)
            else:
                answers[shard] = answer
        return answers, failures

    def _address(self, shard):
        return getattr(self._actors[shard], "_address", None)

    def _call_all(self, method, *arguments):
        answers = self._call_each({shard: (method, arguments) for shard in range(len(self._homes))})
        return [answers[shard] for shard in range(len(self._homes))]

    # ---- the collection ----

    @property
    def shards(self):
        """The shards' homes, in shard order."""
        return list(self._homes)

    def extract(self, picture):
        """The picture's feature vector, extracted by one shard (each in turn)."""
        shard = next(self._extractors)
        return self._call_each({shard: ("extract", (_sendable(picture),))})[shard]

    def search_with_times(self, query, n=10):
        """search's answer, and for each shard the time its part took: {"seconds": wall clock,
        "cpu_seconds": the shard's thread's processor time}."""
        vector = query if hasattr(query, "dtype") else self.extract(query)
        answers = self._call_all("search", vector, n)
        merged = sorted(
            (match for found, _ in answers for match in found), key=lambda match: (match[1], os.fsencode(match[0]))
        )
        return (merged if n is None else merged[:n]), [times for _, times in answers]

    def search(self, query, n=10):
        """The n stored pictures nearest to query (a picture or a float32 vector), nearest first,
        as (key, distance) pairs: what one collection holding every picture would answer."""
        return self.search_with_times(query, n)[0]

    def add(self, picture, key=None):
        """Adds the picture to the shard its key belongs to, key as Collection.add takes it;
        returns the library's outcome."""
        return self._add_each([(picture, key)])[0]

    def add_many(self, pictures, key=None):
        """Adds each picture to its shard; one outcome per picture, in order. key, when given, is
        the folder the pictures are stored in (ending in "/")."""
        if key is not None and not os.fsdecode(key).endswith("/"):
            raise ValueError('add_many stores every picture under its own name: give the key as a folder ending in "/"')
        return self._add_each([(picture, key) for picture in pictures])

    def _add_each(self, items):
        by_shard = {}
        for position, (picture, key) in enumerate(items):
            stored = likeness.key_for(picture, key)
            sendable = _sendable(picture)
            # A URL is fetched by its shard, which names it as key_for did here; bytes travel with their key.
            sent = (sendable, key) if isinstance(sendable, str) else (sendable, stored)
            by_shard.setdefault(likeness.shard_of(stored, len(self._homes)), []).append((position, sent))
        answers = self._call_each(
            {shard: ("add_each", ([sent for _, sent in listed],)) for shard, listed in by_shard.items()}
        )
        outcomes = [None] * len(items)
        for shard, listed in by_shard.items():
            for (position, _), outcome in zip(listed, answers[shard]):
                outcomes[position] = outcome
        return outcomes

    def remove(self, keys):
        """Takes the pictures of keys out of their shards; returns how many were taken out."""
        keys = [keys] if isinstance(keys, (str, bytes)) else list(keys)
        by_shard = {}
        for key in keys:
            by_shard.setdefault(likeness.shard_of(key, len(self._homes)), []).append(key)
        return sum(self._call_each({shard: ("remove", (listed,)) for shard, listed in by_shard.items()}).values())

    def vector(self, key):
        """The stored vector of key, from its shard; KeyError when no shard holds it."""
        shard = likeness.shard_of(key, len(self._homes))
        return self._call_each({shard: ("vector", (key,))})[shard]

    def __contains__(self, key):
        try:
            self.vector(key)
        except KeyError:
            return False
        return True

    def keys(self):
        """Every key of every shard, in byte-wise order as one collection lists them."""
        return sorted((key for keys in self._call_all("keys") for key in keys), key=os.fsencode)

    def __len__(self):
        return sum(self._call_all("size"))

    def close(self):
        """Closes every shard's collection and lets its actor go; a shard that cannot be reached
        loses its actor all the same."""
        try:
            self._gather({shard: ("close", ()) for shard in range(len(self._homes)) if self._actors[shard] is not None})
        finally:
            self._release_all()

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()
