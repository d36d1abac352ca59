"""The data of the Python benchmark: Fashion-MNIST, its exact neighbours, and recall@k.

Owns the files it caches in the benchmark's work folder: the 60,000 training images (the base) and
the 10,000 test images (the queries) as float32 pixel values 0-255 (train.npy, test.npy, read once
from Debian's dataset-fashion-mnist), and the exact TOP_K nearest base rows of every query (gt.npy,
with gt_stats.json). Raises ValueError for a dataset file that is not what it should be and
FileNotFoundError when the package is missing. Nothing is shared between threads.
"""
import gzip
import json
import os
import struct

import numpy as np

FASHION_DIR = "/usr/share/datasets/fashion-mnist"
TOP_K = 10


def read_idx_images(path):
    # IDX: big-endian magic 0x00000803 (unsigned bytes, 3 dimensions), count, rows, columns, pixels.
    with gzip.open(path, "rb") as f:
        magic, count, rows, cols = struct.unpack(">IIII", f.read(16))
        if magic != 0x803:
            raise ValueError("%s: not an IDX image file (magic %#x)" % (path, magic))
        pixels = np.frombuffer(f.read(), dtype=np.uint8)
    if pixels.size != count * rows * cols:
        raise ValueError("%s: %d pixels for %d images of %dx%d" % (path, pixels.size, count, rows, cols))
    return pixels.reshape(count, rows * cols).astype(np.float32)


def load(work_dir):
    """The base (60,000 x 784) and the queries (10,000 x 784), float32, C-contiguous."""
    paths = [os.path.join(work_dir, name) for name in ("train.npy", "test.npy")]
    if not all(os.path.exists(p) for p in paths):
        os.makedirs(work_dir, exist_ok=True)
        for source, target in zip(("train-images-idx3-ubyte.gz", "t10k-images-idx3-ubyte.gz"), paths):
            np.save(target + ".part.npy", read_idx_images(os.path.join(FASHION_DIR, source)))
            os.replace(target + ".part.npy", target)
    return np.load(paths[0]), np.load(paths[1])


def exact_neighbours(base, queries, k):
    """The k nearest base rows of each query by squared Euclidean distance, nearest first, ties by
    lower row; and the exact distances of the k-th and (k+1)-th.

    Pixels are integers up to 255, so every norm and product is an integer below 2^53: float64
    computes each distance exactly, and the order is the true one, ties included.
    """
    base64 = base.astype(np.float64)
    norms = np.einsum("ij,ij->i", base64, base64)
    ids = np.empty((len(queries), k), dtype=np.int64)
    kth = np.empty((len(queries), 2), dtype=np.float64)
    for s in range(0, len(queries), 500):
        q = queries[s:s + 500].astype(np.float64)
        d = norms[None, :] - 2.0 * (q @ base64.T) + np.einsum("ij,ij->i", q, q)[:, None]
        cand = np.argpartition(d, k + 1, axis=1)[:, :k + 2]
        dist = np.take_along_axis(d, cand, axis=1)
        order = np.lexsort((cand, dist), axis=1)
        ids[s:s + 500] = np.take_along_axis(cand, order, axis=1)[:, :k]
        kth[s:s + 500] = np.take_along_axis(dist, order, axis=1)[:, k - 1:k + 1]
    return ids, kth


def ground_truth(work_dir, base, queries):
    """Cached exact neighbours (queries x TOP_K, int64) and their statistics."""
    path, stats_path = os.path.join(work_dir, "gt.npy"), os.path.join(work_dir, "gt_stats.json")
    if not (os.path.exists(path) and os.path.exists(stats_path)):
        ids, kth = exact_neighbours(base, queries, TOP_K)
        # A query whose k-th and next distances tie has more than one true top-k: recall on it
        # depends on how each side breaks the tie. Counted so that the figures can be read.
        stats = {"queries": int(len(queries)), "k": TOP_K, "ties_at_k": int(np.sum(kth[:, 0] == kth[:, 1]))}
        np.save(path + ".part.npy", ids)
        os.replace(path + ".part.npy", path)
        with open(stats_path, "w") as f:
            json.dump(stats, f)
    with open(stats_path) as f:
        return np.load(path), json.load(f)


def recall(ids, truth):
    """recall@k: the share of the true k nearest found among the k returned, over all queries."""
    found = sum(len(set(row[row >= 0].tolist()) & set(want.tolist())) for row, want in zip(ids, truth))
    return found / float(truth.size)
