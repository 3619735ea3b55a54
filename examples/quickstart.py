"""Multiplies a ternary-weight layer by a block of int8 activations.

A 4096 x 4096 layer of 2-bit weight codes (code c stands for the weight
c, so a ternary layer uses codes 0..2 after shifting) times 4096 x 8 int8
activations, checked against numpy's plain integer product.
"""

import time

import numpy as np

from _vesk_backend import rsr_gemm

n, k, m = 4096, 4096, 8
rng = np.random.default_rng(0)
codes = rng.integers(0, 3, size=(n, k), dtype=np.uint8)
activations = rng.integers(-128, 128, size=(k, m), dtype=np.int8)

start = time.perf_counter()
result = rsr_gemm(codes.tobytes(), activations.tobytes(), n, k, m, 4)
elapsed = time.perf_counter() - start

expected = codes.astype(np.int32) @ activations.astype(np.int32)
assert result == expected.ravel().tolist(), "result differs from numpy"

print(f"rsr_gemm {n}x{k} codes by {k}x{m} int8: {elapsed * 1e3:.1f} ms")
print("matches numpy's integer product")
print("first values:", result[:8])
