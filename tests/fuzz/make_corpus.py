#!/usr/bin/env python3
"""Writes the kernel fuzzer's seed corpus: one input per boundary shape.

    make_corpus.py [DIR]            write the seeds (default: corpus/ here)
    make_corpus.py --check FUZZER   check that FUZZER decodes every seed to
                                    its intended case, within the work bound

The encoding follows the input layout described at the top of
kernel_fuzzer.cpp. Plain Python 3, no dependencies.
"""
import os
import struct
import subprocess
import sys
import tempfile
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))

LOANS = ["none", "module", "large", "any"]
A_VALUES = ["random", "all-3"]
B_VALUES = ["random", "all-128", "all127", "-128-or-127"]
BIAS_VALUES = ["random", "near-max", "near-min", "small"]
COMMON_BLOCK_SIZES = [4, 6, 8]
LARGE_LOAN_BYTES = (1 << 20) + 4096
SMALL_WIDTHS = 8  # small shapes: dimensions up to 2^7


@dataclass
class Seed:
    name: str
    n: int
    k: int
    m: int
    block_size: int = 4
    loan: str = "none"
    any_loan_bytes: int = 0
    loan_shift: int = 0
    bias: bool = False
    a: str = "random"
    b: str = "random"
    bias_values: str = "random"
    large: bool = False
    data: bytes = b""

    def is_large(self):
        small_limit = 1 << (SMALL_WIDTHS - 1)
        return self.large or max(self.n, self.k, self.m) > small_limit

    def loan_bytes(self):
        return {"none": 0, "module": 4 * max(self.n, 0) * max(self.m, 0),
                "large": LARGE_LOAN_BYTES,
                "any": self.any_loan_bytes}[self.loan]

    def description(self):
        """The line the fuzzer prints for it under VESK_FUZZ_DESCRIBE."""
        return (f"n={self.n} k={self.k} m={self.m}"
                f" block_size={self.block_size}"
                f" bias={'yes' if self.bias else 'no'}"
                f" workspace={self.loan}:{self.loan_bytes()}+{self.loan_shift}"
                f" A={self.a} B={self.b} bias_values={self.bias_values}")

    def encode(self):
        block_choice = (COMMON_BLOCK_SIZES.index(self.block_size)
                        if self.block_size in COMMON_BLOCK_SIZES else 3)
        flags = (int(self.is_large()) | int(self.bias) << 1
                 | LOANS.index(self.loan) << 2 | block_choice << 4)
        values = (A_VALUES.index(self.a) | B_VALUES.index(self.b) << 1
                  | BIAS_VALUES.index(self.bias_values) << 3)
        dims = [encode_dimension(d, self.is_large())
                for d in (self.n, self.k, self.m)]
        seed = sum(map(ord, self.name))  # stable per seed
        return struct.pack("<BB3IiIBI", flags, values, *dims,
                           0 if block_choice < 3 else self.block_size,
                           self.any_loan_bytes, self.loan_shift,
                           seed) + self.data


def encode_dimension(dim, large):
    """A width in the top byte and bits in the low 24: 1 plus the bits below
    the width, or for a width of 255, minus the bits."""
    if dim <= 0:
        return 255 << 24 | -dim
    width = (dim - 1).bit_length()
    assert width < (24 if large else SMALL_WIDTHS), f"{dim} not encodable"
    return width << 24 | (dim - 1)


def seeds():
    s = []
    # Short last segments for each segment length, tile widths around the
    # 16, 32 and 64-value edges, the matrix-vector product.
    s += [Seed("short-segment-b4", 5, 7, 9, 4, loan="module"),
          Seed("short-segment-b6", 6, 13, 20, 6, bias=True, large=True),
          Seed("short-segment-b8", 4, 11, 1, 8, loan="large"),
          Seed("matrix-vector", 9, 13, 1, 4, loan="large"),
          Seed("matrix-vector-module-loan", 4100, 203, 1, 4, loan="module")]
    for m in (15, 16, 17, 31, 32, 33, 63, 64, 65):
        s.append(Seed(f"tile-b4-m{m}", 6, 41, m, 4, loan="module",
                      bias=m % 2 == 1, large=m > 32))
    for m in (31, 32, 33):
        s.append(Seed(f"tile-b6-m{m}", 5, 25, m, 6, loan="large", large=True))
    for m in (15, 16, 17):
        s.append(Seed(f"tile-b8-m{m}", 3, 17, m, 8, loan="module", large=True))
    # Many columns, going by groups and (with a large loan) by tiles.
    s += [Seed("wide-b4", 3, 97, 1400, 4, loan="module", bias=True),
          Seed("wide-b4-large-loan", 70, 97, 1400, 4, loan="large"),
          Seed("wide-b6", 3, 29, 130, 6, loan="large", bias=True)]
    # Long k (many groups), tall n, tens of megabytes of A.
    s += [Seed("long-k-matrix-vector", 1030, 16400, 1, 4, loan="large"),
          Seed("long-k", 2, 30001, 8, 4, loan="module"),
          Seed("tall-b4", 4100, 4101, 1, 4),
          Seed("tall-b6", 300000, 13, 1, 6, loan="module"),
          Seed("tall-b8", 262200, 64, 1, 8, loan="large"),
          Seed("tall-gather", 2500, 1027, 1, 4, loan="large", bias=True)]
    # Every block size, the ones meaning 4 included.
    for block_size in (0, 5, 7, -1, 1000, 2**31 - 1, -2**31):
        s.append(Seed(f"block-size-{block_size}", 7, 23, 18, block_size,
                      loan="module"))
    # Each workspace mode, and loans of odd sizes at odd addresses.
    s += [Seed("loan-any-small", 1100, 37, 1, 4, loan="any",
               any_loan_bytes=4163, loan_shift=13),
          Seed("loan-any-one-table", 40, 30, 70, 4, loan="any",
               any_loan_bytes=2 * 256 * 64 + 65, loan_shift=1, large=True),
          Seed("loan-none-wide", 20, 50, 300, 4, bias=True)]
    # Extreme data: code 3 against -128 and 127, group sums at their bound;
    # biases near the ends of the range, where the sums wrap.
    for block_size in (4, 6, 8):
        for b in ("all-128", "all127"):
            m = 9 if block_size < 8 else 1
            s.append(Seed(f"extreme-b{block_size}-{b}", 5, 19, m, block_size,
                          loan="module", a="all-3", b=b, large=True))
    s += [Seed("extreme-wide", 3, 171, 1349, 4, loan="large", a="all-3",
               b="all-128"),
          Seed("extreme-mixed", 40, 300, 70, 4, a="all-3", b="-128-or-127"),
          Seed("wrap-near-max", 6, 60, 20, 4, bias=True, a="all-3",
               b="all127", bias_values="near-max"),
          Seed("wrap-near-min", 6, 60, 20, 6, loan="module", bias=True,
               a="all-3", b="all-128", bias_values="near-min", large=True)]
    # Empty products: k <= 0 only initialises C; n or m <= 0 touch nothing.
    s += [Seed("k-zero", 3, 0, 4, 4, bias=True, bias_values="small"),
          Seed("k-negative", 3, -7, 5, 6),
          Seed("n-zero", 0, 5, 3, 4),
          Seed("m-negative", 4, 5, -9, 8, loan="module"),
          Seed("one-by-one", 1, 1, 1, 4, data=bytes([3, 0x80]))]
    return s


def write(directory):
    os.makedirs(directory, exist_ok=True)
    for seed in seeds():
        with open(os.path.join(directory, seed.name), "wb") as f:
            f.write(seed.encode())


def check(fuzzer):
    """Every seed decodes to its description and fits the work bound."""
    wrong = 0
    env = dict(os.environ, VESK_FUZZ_DESCRIBE="1")
    with tempfile.TemporaryDirectory() as directory:
        write(directory)
        for seed in seeds():
            run = subprocess.run([fuzzer, os.path.join(directory, seed.name)],
                                 env=env, capture_output=True, text=True)
            # libFuzzer may run an input twice (looking for leaks).
            got = set(run.stdout.splitlines())
            if run.returncode != 0 or got != {seed.description()}:
                wrong += 1
                print(f"{seed.name}: decoded as {sorted(got)!r},\n"
                      f"  intended {seed.description()!r}")
    print(f"{len(seeds()) - wrong} passed, {wrong} failed")
    return wrong == 0


def main(args):
    if len(args) == 2 and args[0] == "--check":
        return 0 if check(args[1]) else 1
    if len(args) <= 1 and not (args and args[0].startswith("-")):
        write(args[0] if args else os.path.join(HERE, "corpus"))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
