"""One collection of N synthetic vectors against K shards of N/K on local Dask workers (one process
each): latency per query, queries per second, and what the engine adds to a query (the sharded
latency less the slowest shard's own search). Every sharded answer is checked against the single
collection's. Adds its figures to a JSON file under "sharded".

    PYTHONPATH=build/python /usr/bin/python3 bench/sharded/bench_sharded.py --build build \\
        [--vectors 1000000] [--shards 4] [--queries 200] [--concurrency 8] [--json FILE]

The homes are written once into BUILD/bench/sharded-N-K and kept for the next run.
"""

import argparse
import concurrent.futures
import json
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np
from distributed import Client, LocalCluster

import likeness
from likeness.sharded import ShardedCollection


def resident_mb():
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return 0.0


def milliseconds(seconds):
    return {
        "median": round(statistics.median(seconds) * 1000, 3),
        "p90": round(sorted(seconds)[int(len(seconds) * 0.9)] * 1000, 3),
    }


def timed_queries(search, queries):
    """The wall-clock and processor seconds of each query, one after another on this thread."""
    seconds, cpu_seconds = [], []
    for query in queries:
        started, cpu = time.perf_counter(), time.thread_time()
        search(query)
        seconds.append(time.perf_counter() - started)
        cpu_seconds.append(time.thread_time() - cpu)
    return seconds, cpu_seconds


def queries_per_second(search, queries, concurrency):
    with concurrent.futures.ThreadPoolExecutor(concurrency) as pool:
        started = time.perf_counter()
        list(pool.map(search, queries))
        return round(len(queries) / (time.perf_counter() - started), 1)


def prepare(build, work, vectors, shards):
    home, split = work / "home", work / "shards"
    figures = {}
    if not (work / "complete").exists():
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        started = time.perf_counter()
        subprocess.run([build / "bench" / "make_vector_home", home, str(vectors), build / "testmodel"], check=True)
        figures["write_home_s"] = round(time.perf_counter() - started, 1)
        started = time.perf_counter()
        subprocess.run([build / "likeness", "shard", home, "--into", str(shards), split], check=True)
        figures["shard_command_s"] = round(time.perf_counter() - started, 1)
        (work / "complete").touch()
    return home, split, figures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", type=pathlib.Path, default=pathlib.Path("build"))
    parser.add_argument("--vectors", type=int, default=1_000_000)
    parser.add_argument("--shards", type=int, default=4)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--concurrency", type=int, default=8)
    parser.add_argument("--n", type=int, default=10, help="results per query")
    parser.add_argument("--json", type=pathlib.Path)
    options = parser.parse_args()
    build = options.build.absolute()
    work = build / "bench" / f"sharded-{options.vectors}-{options.shards}"
    home, split, figures = prepare(build, work, options.vectors, options.shards)
    figures.update(vectors=options.vectors, shards=options.shards, queries=options.queries, n=options.n)

    random = np.random.default_rng(5)
    queries = []
    for _ in range(options.queries):
        vector = random.normal(0, 1, likeness.FEATURE_DIM)
        queries.append((vector * 30 / np.linalg.norm(vector)).astype(np.float32))

    before = resident_mb()
    started = time.perf_counter()
    with likeness.Collection(home) as whole:
        single = {"open_s": round(time.perf_counter() - started, 1), "rss_mb": round(resident_mb() - before)}
        expected = [whole.search(query, options.n) for query in queries]
        seconds, cpu_seconds = timed_queries(lambda query: whole.search(query, options.n), queries)
        single["latency_ms"] = milliseconds(seconds)
        single["search_cpu_ms"] = milliseconds(cpu_seconds)
        single["qps"] = queries_per_second(lambda query: whole.search(query, options.n), queries, options.concurrency)
    figures["single"] = single

    with LocalCluster(
        n_workers=options.shards,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=None,
        memory_limit=0,
    ) as cluster, Client(cluster, direct_to_workers=True) as client:
        started = time.perf_counter()
        with ShardedCollection(client, split, timeout=600) as sharded:
            spread = {"open_s": round(time.perf_counter() - started, 1)}
            for query in queries[:5]:
                sharded.search(query, options.n)
            totals, slowest, shard_cpu, identical = [], [], [], True
            for query, wanted in zip(queries, expected):
                started = time.perf_counter()
                found, shard_times = sharded.search_with_times(query, options.n)
                totals.append(time.perf_counter() - started)
                slowest.append(max(times["seconds"] for times in shard_times))
                shard_cpu.extend(times["cpu_seconds"] for times in shard_times)
                identical = identical and found == wanted
            spread["latency_ms"] = milliseconds(totals)
            spread["slowest_shard_search_ms"] = milliseconds(slowest)
            spread["shard_search_cpu_ms"] = milliseconds(shard_cpu)
            spread["engine_overhead_ms"] = milliseconds([total - shard for total, shard in zip(totals, slowest)])
            spread["qps"] = queries_per_second(lambda query: sharded.search(query, options.n), queries, options.concurrency)
            spread["worker_rss_mb"] = sorted(round(mb) for mb in client.run(resident_mb).values())
        figures["sharded"] = spread
    figures["identical"] = identical

    print(json.dumps(figures, indent=2))
    if options.json:
        everything = json.loads(options.json.read_text()) if options.json.exists() else {}
        everything["sharded"] = figures
        options.json.parent.mkdir(parents=True, exist_ok=True)
        options.json.write_text(json.dumps(everything, indent=2) + "\n")
    return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main())
