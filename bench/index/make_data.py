"""Writes the data both sides of the index benchmark read, and its brute-force neighbours.

Usage: make_data.py DATA_DIR [NAME...] (default: clustered fashion). Run with /usr/bin/python3 (NumPy). For each set NAME it writes
NAME_base.f32 and NAME_queries.f32 (row-major float32), NAME_gt.i32 (the GT_K nearest base rows
of every query by Euclidean distance, int32, nearest first) and NAME_shape.txt ("n dim queries
GT_K"), the last one last, so that a set whose shape file exists is complete and is not made again.

Sets: "clustered", 100,000 x 128 points around 1,000 N(0, 1) centres at sigma 0.25 and 10,000
queries drawn the same way (as the kernel benchmark draws its clustered set); "fashion", the
60,000 training images of Fashion-MNIST (Debian's dataset-fashion-mnist) as 784 pixel values
0-255, with its 10,000 test images as queries; "fashion128", both projected to 128 dimensions by
one fixed Gaussian matrix (seed 128, scaled by 1/sqrt(128)), the same data at a width where the
fixed costs of an item weigh more than its vector.
"""
import os
import sys

import numpy as np

# The Fashion-MNIST reader is the Python benchmark's.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from fashion_mnist import FASHION_DIR, read_idx_images  # noqa: E402

GT_K = 10


def clustered():
    rng = np.random.default_rng(2)
    centres = np.random.default_rng(4242).standard_normal((1000, 128), dtype=np.float32)

    def draw(n):
        x = centres[rng.integers(0, 1000, n)]
        return (x + np.float32(0.25) * rng.standard_normal((n, 128), dtype=np.float32)).astype(np.float32)

    return draw(100000), draw(10000)


def fashion():
    return (read_idx_images(os.path.join(FASHION_DIR, "train-images-idx3-ubyte.gz")),
            read_idx_images(os.path.join(FASHION_DIR, "t10k-images-idx3-ubyte.gz")))


def fashion128():
    base, queries = fashion()
    projection = (np.random.default_rng(128).standard_normal((784, 128)) / np.sqrt(128.0)).astype(np.float32)
    return base @ projection, queries @ projection


def neighbours(base, queries, k):
    # Float32 products pick a short list; float64 distances order it exactly.
    short = 4 * k
    norms = np.einsum("ij,ij->i", base, base)
    base64 = base.astype(np.float64)
    out = np.empty((len(queries), k), dtype=np.int32)
    for s in range(0, len(queries), 500):
        q = queries[s:s + 500]
        d = norms[None, :] - 2.0 * (q @ base.T)
        cand = np.argpartition(d, short, axis=1)[:, :short]
        q64 = q.astype(np.float64)
        exact = ((base64[cand] - q64[:, None, :]) ** 2).sum(axis=2)
        order = np.lexsort((cand, exact), axis=1)[:, :k]
        out[s:s + 500] = np.take_along_axis(cand, order, axis=1)
    return out


def main():
    data_dir = sys.argv[1]
    os.makedirs(data_dir, exist_ok=True)
    makers = {"clustered": clustered, "fashion": fashion, "fashion128": fashion128}
    names = sys.argv[2:] or ["clustered", "fashion"]
    for name in names:
        if name not in makers:
            sys.exit("make_data.py: no data set named %r (known: %s)" % (name, ", ".join(makers)))
        make = makers[name]
        shape = os.path.join(data_dir, name + "_shape.txt")
        if os.path.exists(shape):
            continue
        base, queries = (np.ascontiguousarray(a, dtype=np.float32) for a in make())
        gt = neighbours(base, queries, GT_K)
        base.tofile(os.path.join(data_dir, name + "_base.f32"))
        queries.tofile(os.path.join(data_dir, name + "_queries.f32"))
        gt.tofile(os.path.join(data_dir, name + "_gt.i32"))
        with open(shape, "w") as f:
            f.write("%d %d %d %d\n" % (base.shape[0], base.shape[1], queries.shape[0], GT_K))
        print("made %s: %d x %d, %d queries" % (name, base.shape[0], base.shape[1], queries.shape[0]))


if __name__ == "__main__":
    main()
