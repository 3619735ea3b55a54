"""End-to-end timing of rsr_gemm against numpy's integer and float32 paths.

Run from the repository root after installing the package:

    python bench/run.py            # full run, a few minutes
    python bench/run.py --quick    # fewer repetitions, block size 4 only

Every method of a shape is timed in the same run, alternating, and the median
of the repetitions is reported; each timed call follows a short pause so that
idle BLAS threads do not weigh on the next one. Results go to bench/results/ as JSON and as a
bar chart (PNG).
"""

import argparse
import json
import os
import pathlib
import platform
import statistics
import sys
import time

import numpy as np

from _vesk_backend import rsr_gemm

SHAPES = [
    (4096, 4096, 1),
    (4096, 4096, 16),
    (4096, 4096, 256),
    (2048, 2048, 2048),
    (65536, 512, 64),
]
BLOCK_SIZES = (4, 6, 8)
# A method slower than this on its first run is not repeated: numpy's integer
# product has no BLAS and takes up to a minute on the larger shapes.
SLOW_SECONDS = 3.0
# A pause before each timed call: OpenBLAS's worker threads keep spinning for
# a while after a product, and on a small machine they would slow down
# whatever is timed next.
PAUSE_SECONDS = 0.25
# float32 holds every integer below 2**24 exactly.
FLOAT32_EXACT_DEPTH = (1 << 24) // 384
RESULTS = pathlib.Path(__file__).parent / "results"


def block_size_skip_reason(n, k, m, block_size):
    """Why a block size is not worth timing for a shape, or None.

    A segment of b rows needs 4^b table rows, built once per segment, against
    n rows of A using them: beyond 4^b > 4n table building dominates.
    """
    patterns = 4**block_size
    if patterns > 4 * n:
        table_mib = 2 * patterns * m / 2**20
        return (f"b={block_size}: 4^{block_size} = {patterns} table rows per "
                f"segment for n = {n} rows of A ({table_mib:g} MiB table)")
    return None


def numpy_int(a, b, n, k, m):
    A = (np.frombuffer(a, np.uint8).reshape(n, k) & 3).astype(np.int32)
    B = np.frombuffer(b, np.int8).reshape(k, m).astype(np.int32)
    return (A @ B).ravel().tolist()


def numpy_float32(a, b, n, k, m):
    A = (np.frombuffer(a, np.uint8).reshape(n, k) & 3).astype(np.float32)
    B = np.frombuffer(b, np.int8).reshape(k, m).astype(np.float32)
    return (A @ B).astype(np.int32).ravel().tolist()


def blas_description():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return [{"note": "threadpoolctl not installed"}]
    keep = ("internal_api", "version", "architecture", "num_threads",
            "threading_layer", "filepath")
    return [{key: pool.get(key) for key in keep} for pool in threadpool_info()]


def environment():
    return {
        "python": platform.python_version(),
        "numpy": np.__version__,
        "machine": platform.machine(),
        "processor": platform.processor(),
        "cpu_count": os.cpu_count(),
        "VESK_KERNEL": os.environ.get("VESK_KERNEL", "unset (best available)"),
        "OPENBLAS_CORETYPE": os.environ.get("OPENBLAS_CORETYPE", "unset"),
        "OPENBLAS_L2_SIZE": os.environ.get("OPENBLAS_L2_SIZE", "unset"),
        "blas": blas_description(),
    }


def time_once(function, args):
    time.sleep(PAUSE_SECONDS)
    start = time.perf_counter()
    result = function(*args)
    elapsed = time.perf_counter() - start
    del result  # freeing the list is not part of the product
    return elapsed


def measure_shape(shape, block_sizes, repetitions):
    n, k, m = shape
    rng = np.random.default_rng(20261207)
    a = rng.integers(0, 256, n * k, dtype=np.uint8).tobytes()
    b = rng.integers(-128, 128, k * m, dtype=np.int8).tobytes()
    methods = {f"rsr_gemm b={bs}": (rsr_gemm, (a, b, n, k, m, bs))
               for bs in block_sizes}
    methods["numpy int32"] = (numpy_int, (a, b, n, k, m))
    if k <= FLOAT32_EXACT_DEPTH:
        methods["numpy float32 BLAS"] = (numpy_float32, (a, b, n, k, m))

    expected = numpy_float32(a, b, n, k, m)
    for bs in block_sizes:
        if rsr_gemm(a, b, n, k, m, bs) != expected:
            sys.exit(f"rsr_gemm b={bs} differs from numpy for {shape}")
    del expected

    times = {name: [] for name in methods}
    for rep in range(repetitions):
        for name, (function, args) in methods.items():
            if rep > 0 and times[name][0] > SLOW_SECONDS:
                continue
            times[name].append(time_once(function, args))
        print(f"  repetition {rep + 1}/{repetitions} done", flush=True)
    return {name: {"median_s": statistics.median(t), "runs": len(t)}
            for name, t in times.items()}


def speedups(results):
    fast = results["rsr_gemm b=4"]["median_s"]
    out = {}
    for other in ("numpy int32", "numpy float32 BLAS"):
        if other in results:
            out[other] = results[other]["median_s"] / fast
    return out


def print_table(records):
    header = (f"{'shape (n, k, m)':<20} {'method':<20} {'median ms':>10} "
              f"{'runs':>5} {'vs int32':>9} {'vs f32':>8}")
    print(header)
    print("-" * len(header))
    for record in records:
        shape = "({}, {}, {})".format(*record["shape"])
        for name, entry in record["results"].items():
            ms = entry["median_s"] * 1e3
            ratio_int = ratio_f32 = ""
            if name.startswith("rsr_gemm"):
                ratio_int = "{:.1f}x".format(
                    record["results"]["numpy int32"]["median_s"] /
                    entry["median_s"])
                f32 = record["results"].get("numpy float32 BLAS")
                if f32:
                    ratio_f32 = "{:.2f}x".format(f32["median_s"] /
                                                 entry["median_s"])
            print(f"{shape:<20} {name:<20} {ms:>10.1f} {entry['runs']:>5} "
                  f"{ratio_int:>9} {ratio_f32:>8}")
            shape = ""
        for note in record["skipped"]:
            print(f"{'':<20} skipped {note}")


def draw_chart(records, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    methods = ["rsr_gemm b=4", "rsr_gemm b=6", "rsr_gemm b=8",
               "numpy float32 BLAS", "numpy int32"]
    labels = ["({}, {}, {})".format(*r["shape"]) for r in records]
    width = 0.16
    fig, ax = plt.subplots(figsize=(11, 5))
    for i, method in enumerate(methods):
        xs, ys = [], []
        for j, record in enumerate(records):
            if method in record["results"]:
                xs.append(j + (i - 2) * width)
                ys.append(record["results"][method]["median_s"] * 1e3)
        if xs:
            ax.bar(xs, ys, width, label=method)
    ax.set_yscale("log")
    ax.set_xticks(range(len(labels)))
    ax.set_xticklabels(labels)
    ax.set_xlabel("shape (n, k, m)")
    ax.set_ylabel("median time end to end, ms (log scale)")
    ax.set_title("rsr_gemm against numpy, one call returning a list")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="2 repetitions and block size 4 only")
    parser.add_argument("--repetitions", type=int, default=None)
    parser.add_argument("--out", type=pathlib.Path, default=RESULTS)
    args = parser.parse_args()
    repetitions = args.repetitions or (2 if args.quick else 5)
    block_sizes = (4,) if args.quick else BLOCK_SIZES

    env = environment()
    print("environment:")
    for key, value in env.items():
        if key != "blas":
            print(f"  {key}: {value}")
    for pool in env["blas"]:
        print("  blas: " + ", ".join(f"{k}={v}" for k, v in pool.items()))
    if (env["OPENBLAS_CORETYPE"], env["OPENBLAS_L2_SIZE"]) != ("unset", "unset"):
        print("  note: OPENBLAS_* variables are set and may force an older "
              "kernel; unset them for representative figures")

    records = []
    for shape in SHAPES:
        used, skipped = [], []
        for bs in block_sizes:
            reason = block_size_skip_reason(*shape, bs)
            (skipped if reason else used).append(reason or bs)
        print(f"shape {shape}: block sizes {used}", flush=True)
        results = measure_shape(shape, used, repetitions)
        records.append({"shape": shape, "results": results,
                        "skipped": skipped, "speedups_b4": speedups(results)})

    print()
    print_table(records)
    args.out.mkdir(parents=True, exist_ok=True)
    json_path = args.out / "results.json"
    json_path.write_text(json.dumps(
        {"environment": env, "repetitions": repetitions, "records": records},
        indent=2) + "\n")
    chart_path = args.out / "speed.png"
    draw_chart(records, chart_path)
    print(f"\nwrote {json_path} and {chart_path}")


if __name__ == "__main__":
    main()
