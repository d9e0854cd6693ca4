#!/usr/bin/env python3
"""Normalizes a folder of UTF-8 text files into another folder with kavex, on Dask.

    normalize_corpus.py INPUT OUTPUT [--form NFC] [--workers 4 | --scheduler ADDRESS]
                        [--pattern '*.txt'] [--rules DIR | --profile NAME]

The files under INPUT matching the pattern are split into partitions of about the same
size, a few per worker, and each partition is one task: a worker reads its files,
normalizes them with one `normalize_all` call (the GIL released over the whole batch) and
writes each under OUTPUT at the same relative path. Without --scheduler the script starts
a LocalCluster of --workers processes on this machine; with --scheduler it uses a running
Dask cluster (for example `tcp://10.0.0.5:8786` started with `dask scheduler` and
`dask worker tcp://10.0.0.5:8786` on each machine). The workers then need kavex installed
and INPUT and OUTPUT at the same paths (a shared file system).

Bytes that are not UTF-8 are kept as they are (read and written with surrogateescape), and
line ends are not translated, so only normalization changes a file. Prints the throughput
in MB (10^6 bytes) of input per second.
"""

import argparse
import fnmatch
import heapq
import os
import sys
import time

import kavex


def list_files(root, pattern):
    """(size, path relative to root) of the files matching pattern, largest first."""
    found = []
    for folder, _, names in os.walk(root):
        for name in fnmatch.filter(names, pattern):
            path = os.path.join(folder, name)
            found.append((os.path.getsize(path), os.path.relpath(path, root)))
    return sorted(found, reverse=True)


def partition(files, count):
    """The files (size, path), largest first, in at most `count` lists of paths of about
    the same total size: each file goes to the lightest list so far."""
    lists = [(0, i, []) for i in range(min(count, len(files)))]
    for size, path in files:
        total, i, paths = heapq.heappop(lists)
        paths.append(path)
        heapq.heappush(lists, (total + size, i, paths))
    return [paths for _, _, paths in sorted(lists, key=lambda entry: entry[1])]


def normalize_partition(relatives, source, target, normalizer, form):
    """Normalizes source/relative into target/relative for each file of a partition, all
    texts in one batch; returns the bytes read."""
    texts = []
    for relative in relatives:
        with open(os.path.join(source, relative), encoding="utf-8", errors="surrogateescape",
                  newline="") as f:
            texts.append(f.read())
    for relative, result in zip(relatives, normalizer.normalize_all(texts, form)):
        destination = os.path.join(target, relative)
        os.makedirs(os.path.dirname(destination), exist_ok=True)
        with open(destination, "w", encoding="utf-8", errors="surrogateescape",
                  newline="") as f:
            f.write(result)
    return sum(os.path.getsize(os.path.join(source, relative)) for relative in relatives)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("input", help="folder of text files")
    parser.add_argument("output", help="folder for the normalized files (created)")
    parser.add_argument("--form", default="NFC", help="NFD, NFC, NFKD or NFKC (default NFC)")
    parser.add_argument("--pattern", default="*.txt", help="file names to take (default *.txt)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler")
    where.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                       help="processes of the LocalCluster (default: one per CPU)")
    rules = parser.add_mutually_exclusive_group()
    rules.add_argument("--rules", help="rules folder (default: the shipped rules)")
    rules.add_argument("--profile", help="a shipped rule profile")
    args = parser.parse_args(argv)

    try:
        from dask.distributed import Client, LocalCluster, wait
    except ImportError as error:
        print(f"{os.path.basename(sys.argv[0])}: this interpreter ({sys.executable}) has no "
              f"Dask ({error}). On Debian, install python3-dask python3-distributed and run "
              "the script with /usr/bin/python3, kavex installed for it; with a package "
              "index, install kavex with its extra: python3 -m pip install './python[dask]'",
              file=sys.stderr)
        return 2

    # Checked here, before any worker starts: the form, the rules, the files.
    normalizer = kavex.Normalizer(rules=args.rules, profile=args.profile)
    normalizer.normalize("", args.form)
    source = os.path.abspath(args.input)
    target = os.path.abspath(args.output)
    files = list_files(source, args.pattern)
    if not files:
        print(f"no file matching {args.pattern} in {source}", file=sys.stderr)
        return 1

    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        start = time.perf_counter()
        # A few partitions per worker thread, so that one slow partition does not hold up
        # the end.
        partitions = partition(files, 4 * sum(client.nthreads().values()))
        # Each worker unpickles the normalizer once and keeps it for all its tasks; it
        # loads the form's rules on its first task.
        shared = client.scatter(normalizer, broadcast=True)
        tasks = client.map(normalize_partition, partitions, source=source, target=target,
                           normalizer=shared, form=args.form, pure=False)
        wait(tasks)
        total = sum(client.gather(tasks))
        seconds = time.perf_counter() - start
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(f"{len(files)} files in {len(partitions)} partitions, {total / 1e6:.1f} MB in "
          f"{seconds:.2f} s: {total / 1e6 / seconds:.1f} MB/s ({args.form})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
