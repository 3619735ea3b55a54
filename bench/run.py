"""End-to-end timing of rsr_gemm against numpy and onnxruntime.

Run from the repository root after installing the package with its bench
extra:

    python bench/run.py            # full run, several minutes
    python bench/run.py --quick    # 2 repetitions instead of 5

Every contender goes from the same bytes to a flat list of Python ints:
rsr_gemm itself, numpy's integer and float32 (BLAS) products, and
onnxruntime's MatMulInteger (uint8 by int8 to int32) at its default number of
intra-op threads and at one. A's bytes hold codes 0..3, as a caller's codes
would, so every contender reads them as they are.

Every method of a shape is timed in the same run, alternating (each repetition
starting one method later than the one before), and the median of the
repetitions is reported; each timed call follows a short pause so that
idle worker threads do not weigh on the next one. Results go to bench/results/
as JSON and as a chart (PNG).
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

SWEEP_SIDE = 4096
SWEEP_WIDTHS = (1, 2, 4, 8, 16, 32, 64)
# The first two are also the sweep's m = 1 and m = 16.
MAIN_SHAPES = [
    (4096, 4096, 1),
    (4096, 4096, 16),
    (4096, 4096, 256),
    (2048, 2048, 2048),
    (65536, 512, 64),
]
SHAPES = MAIN_SHAPES + [(SWEEP_SIDE, SWEEP_SIDE, m) for m in SWEEP_WIDTHS
                        if (SWEEP_SIDE, SWEEP_SIDE, m) not in MAIN_SHAPES]
# Only a hint to the kernel, which may pick its own segment length, so every
# one is timed on every shape.
BLOCK_SIZES = (4, 6, 8)
# A method slower than this on its first run is not repeated: numpy's integer
# product has no BLAS and takes up to a minute on the larger shapes.
SLOW_SECONDS = 3.0
# A pause before each timed call: OpenBLAS's and onnxruntime's worker threads
# keep spinning for a while after a product, and on a small machine they would
# slow down whatever is timed next.
PAUSE_SECONDS = 0.25
# float32 holds every integer below 2**24 exactly.
FLOAT32_EXACT_DEPTH = (1 << 24) // 384
RESULTS = pathlib.Path(__file__).parent / "results"


ORT_DEFAULT = "ort MatMulInteger"
ORT_ONE_THREAD = "ort MatMulInteger 1t"
# Each table column: a contender's median over rsr_gemm's.
RATIO_COLUMNS = (
    ("vs int32", "numpy int32"),
    ("vs f32", "numpy float32 BLAS"),
    ("vs ort", ORT_DEFAULT),
    ("vs ort 1t", ORT_ONE_THREAD),
)


def numpy_int(a, b, n, k, m):
    A = np.frombuffer(a, np.uint8).reshape(n, k).astype(np.int32)
    B = np.frombuffer(b, np.int8).reshape(k, m).astype(np.int32)
    return (A @ B).ravel().tolist()


def numpy_float32(a, b, n, k, m):
    A = np.frombuffer(a, np.uint8).reshape(n, k).astype(np.float32)
    B = np.frombuffer(b, np.int8).reshape(k, m).astype(np.float32)
    return (A @ B).astype(np.int32).ravel().tolist()


def matmul_integer_model(n, k, m):
    """The bytes of an ONNX model of one MatMulInteger: uint8 n x k times
    int8 k x m, giving int32 n x m."""
    from onnx import TensorProto, helper

    graph = helper.make_graph(
        [helper.make_node("MatMulInteger", ["A", "B"], ["C"])],
        "matmul_integer",
        [helper.make_tensor_value_info("A", TensorProto.UINT8, [n, k]),
         helper.make_tensor_value_info("B", TensorProto.INT8, [k, m])],
        [helper.make_tensor_value_info("C", TensorProto.INT32, [n, m])])
    model = helper.make_model(graph,
                              opset_imports=[helper.make_opsetid("", 13)])
    # The newest onnx writes a format version older onnxruntimes refuse;
    # version 8 covers opset 13.
    model.ir_version = 8
    return model.SerializeToString()


def ort_session(model, threads):
    """A CPU session; 0 threads means onnxruntime's default (one per
    physical core)."""
    import onnxruntime

    options = onnxruntime.SessionOptions()
    options.intra_op_num_threads = threads
    return onnxruntime.InferenceSession(
        model, options, providers=["CPUExecutionProvider"])


def ort_matmul_integer(session, a, b, n, k, m):
    A = np.frombuffer(a, np.uint8).reshape(n, k)
    B = np.frombuffer(b, np.int8).reshape(k, m)
    (C,) = session.run(None, {"A": A, "B": B})
    return C.ravel().tolist()


def blas_description():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return [{"note": "threadpoolctl not installed"}]
    keep = ("internal_api", "version", "architecture", "num_threads",
            "threading_layer", "filepath")
    return [{key: pool.get(key) for key in keep} for pool in threadpool_info()]


def processor_name():
    """The processor's model name (Linux names it in /proc/cpuinfo)."""
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()


def data_caches():
    """Per-core first- and second-level data cache sizes where Linux says
    them (/sys/devices/system/cpu/cpu0/cache), as the kernel reads them."""
    sizes = {"L1d": "unknown", "L2": "unknown"}
    caches = pathlib.Path("/sys/devices/system/cpu/cpu0/cache")
    for index in sorted(caches.glob("index*")):
        try:
            level = (index / "level").read_text().strip()
            kind = (index / "type").read_text().strip()
            size = (index / "size").read_text().strip()
        except OSError:
            continue
        if level == "1" and kind == "Data":
            sizes["L1d"] = size
        elif level == "2" and kind in ("Data", "Unified"):
            sizes["L2"] = size
    return sizes


def environment():
    import onnxruntime

    return {
        "python": platform.python_version(),
        "numpy": np.__version__,
        "onnxruntime": onnxruntime.__version__,
        "machine": platform.machine(),
        "processor": processor_name(),
        "data caches per core": data_caches(),
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


def shape_methods(a, b, shape, block_sizes):
    """Each contender's name, function and arguments; the ONNX model is built
    and its sessions created here, outside the timed region."""
    n, k, m = shape
    methods = {f"rsr_gemm b={bs}": (rsr_gemm, (a, b, n, k, m, bs))
               for bs in block_sizes}
    methods["numpy int32"] = (numpy_int, (a, b, n, k, m))
    if k <= FLOAT32_EXACT_DEPTH:
        methods["numpy float32 BLAS"] = (numpy_float32, (a, b, n, k, m))
    model = matmul_integer_model(n, k, m)
    for name, threads in ((ORT_DEFAULT, 0), (ORT_ONE_THREAD, 1)):
        methods[name] = (ort_matmul_integer,
                         (ort_session(model, threads), a, b, n, k, m))
    return methods


def check_exact(methods, a, b, shape):
    """Every contender but numpy's integer product (the slowest, and the
    reference where float32 is not exact) against the reference."""
    n, k, m = shape
    reference = numpy_float32 if k <= FLOAT32_EXACT_DEPTH else numpy_int
    expected = reference(a, b, n, k, m)
    for name, (function, args) in methods.items():
        if name != "numpy int32" and function(*args) != expected:
            sys.exit(f"{name} differs from numpy for {shape}")


def measure_shape(shape, block_sizes, repetitions):
    n, k, m = shape
    rng = np.random.default_rng(20261207)
    a = rng.integers(0, 4, n * k, dtype=np.uint8).tobytes()
    b = rng.integers(-128, 128, k * m, dtype=np.int8).tobytes()
    methods = shape_methods(a, b, shape, block_sizes)
    check_exact(methods, a, b, shape)

    times = {name: [] for name in methods}
    names = list(methods)
    for rep in range(repetitions):
        # Each repetition starts one method later, so that no method always
        # follows the same one (and its data in the caches).
        shift = rep % len(names)
        for name in names[shift:] + names[:shift]:
            function, args = methods[name]
            if rep > 0 and times[name][0] > SLOW_SECONDS:
                continue
            times[name].append(time_once(function, args))
        print(f"  repetition {rep + 1}/{repetitions} done", flush=True)
    return {name: {"median_s": statistics.median(t), "runs": len(t)}
            for name, t in times.items()}


def speedups(results):
    """For each rsr_gemm block size, every other contender's median over its
    own: above 1, rsr_gemm is faster."""
    return {
        name: {other: results[other]["median_s"] / entry["median_s"]
               for _, other in RATIO_COLUMNS if other in results}
        for name, entry in results.items() if name.startswith("rsr_gemm")
    }


def ratio_cell(ratios, other):
    return format(ratios[other], ".3g") + "x" if other in ratios else ""


def print_table(records):
    header = (f"{'shape (n, k, m)':<20} {'method':<22} {'median ms':>10} "
              f"{'runs':>5}" +
              "".join(f" {title:>9}" for title, _ in RATIO_COLUMNS))
    print(header)
    print("-" * len(header))
    for record in records:
        shape = "({}, {}, {})".format(*record["shape"])
        for name, entry in record["results"].items():
            ratios = record["speedups"].get(name, {})
            cells = "".join(f" {ratio_cell(ratios, other):>9}"
                            for _, other in RATIO_COLUMNS)
            print(f"{shape:<20} {name:<22} {entry['median_s'] * 1e3:>10.1f} "
                  f"{entry['runs']:>5}{cells}")
            shape = ""


CHART_METHODS = ["rsr_gemm b=4", "rsr_gemm b=6", "rsr_gemm b=8",
                 "numpy float32 BLAS", "numpy int32", ORT_DEFAULT,
                 ORT_ONE_THREAD]


def in_sweep(shape):
    return shape[:2] == (SWEEP_SIDE, SWEEP_SIDE) and shape[2] in SWEEP_WIDTHS


def median_ms(record, method):
    return record["results"][method]["median_s"] * 1e3


def draw_shape_bars(ax, records):
    """Bars per method for each shape."""
    width = 0.8 / len(CHART_METHODS)
    for i, method in enumerate(CHART_METHODS):
        xs, ys = [], []
        for j, record in enumerate(records):
            if method in record["results"]:
                xs.append(j + (i - len(CHART_METHODS) / 2 + 0.5) * width)
                ys.append(median_ms(record, method))
        ax.bar(xs, ys, width, label=method)
    ax.set_yscale("log")
    ax.set_xticks(range(len(records)))
    ax.set_xticklabels(["({}, {}, {})".format(*r["shape"]) for r in records])
    ax.set_xlabel("shape (n, k, m)")
    ax.set_ylabel("median ms, end to end (log)")
    ax.legend(fontsize="small")


def draw_sweep(ax, records):
    """One line per method across m at n = k = 4096."""
    sweep = sorted((r for r in records if in_sweep(r["shape"])),
                   key=lambda r: r["shape"][2])
    for method in CHART_METHODS:
        points = [(r["shape"][2], median_ms(r, method)) for r in sweep
                  if method in r["results"]]
        if points:
            ax.plot(*zip(*points), marker="o", label=method)
    ax.set_xscale("log", base=2)
    ax.set_xticks(SWEEP_WIDTHS, [str(m) for m in SWEEP_WIDTHS])
    ax.set_yscale("log")
    ax.set_xlabel(f"m, at n = k = {SWEEP_SIDE}")
    ax.set_ylabel("median ms, end to end (log)")


def draw_chart(records, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (bars, sweep) = plt.subplots(1, 2, figsize=(15, 5.5),
                                      gridspec_kw={"width_ratios": [3, 2]})
    draw_shape_bars(bars, [r for r in records if r["shape"] in MAIN_SHAPES])
    draw_sweep(sweep, records)
    fig.suptitle("rsr_gemm against numpy and onnxruntime, one call "
                 "returning a list")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="2 repetitions instead of 5")
    parser.add_argument("--repetitions", type=int, default=None)
    parser.add_argument("--out", type=pathlib.Path, default=RESULTS)
    args = parser.parse_args()
    repetitions = args.repetitions or (2 if args.quick else 5)

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
        print(f"shape {shape}", flush=True)
        results = measure_shape(shape, BLOCK_SIZES, repetitions)
        records.append({"shape": shape, "results": results,
                        "speedups": speedups(results)})

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
