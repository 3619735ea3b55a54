"""Native back end of vesk: 2-bit codes times int8 values via segment lookup tables."""

__all__ = ["rsr_gemm"]

def rsr_gemm(
    a_bytes: bytes, b_bytes: bytes, n: int, k: int, m: int, block_size: int
) -> list[int]:
    """Multiplies n x k 2-bit codes (low 2 bits of each byte of a_bytes) by the
    k x m signed bytes of b_bytes and returns the n x m product, row-major, as
    a flat list of ints. block_size 4, 6 or 8 bounds the table segment length
    and the memory the kernel takes (any other value means 4); the result is
    the same for each."""
