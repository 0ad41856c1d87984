"""Sum-of-squares combination and the piecewise-linear table lookup."""
import bisect
import math

import pytest
import torch

from fixtures import DTYPE

ops = torch.ops.sorbane_cpp
DTYPES = sorted({DTYPE, torch.float64}, key=str)
EPS = 2.0**-23  # keeps a zero-width interval finite


def interp_ref(x, y, q):
    """Per-point lookup: the interval whose right end is the first abscissa >= q, end intervals extended."""
    j = min(max(bisect.bisect_left(x, q) - 1, 0), len(x) - 2)
    return y[j] + (y[j + 1] - y[j]) / ((x[j + 1] - x[j]) + EPS) * (q - x[j])


def tol(dtype):
    return dict(rtol=1e-12, atol=1e-12) if dtype == torch.float64 else dict(rtol=2e-6, atol=2e-6)


@pytest.mark.float64
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "x, y, queries, expected",
    [
        # ends, beyond both ends (end slopes kept), interior, an interior abscissa
        ([3.0, 5.0, 9.0, 11.0], [0.2, 0.8, 0.8, 0.5], [3.0, 11.0, 1.0, 13.0, 4.0, 7.0, 5.0],
         [0.2, 0.5, -0.4, 0.2, 0.5, 0.8, 0.8]),
        # repeated abscissa inside the table: never the selected interval for interior queries
        ([0.0, 1.0, 1.0, 2.0], [0.0, 1.0, 3.0, 4.0], [0.5, 1.0, 1.5], [0.5, 1.0, 3.5]),
        # repeated abscissa at the top end: the last interval has zero width, slope (y1 - y0) 2^23
        ([0.0, 1.0, 1.0], [0.0, 1.0, 2.0], [1.0 + 2.0**-20, 1.0], [9.0, 1.0]),
        # and at the bottom end: a query at x[0] reads y[0] through the zero-width interval
        ([1.0, 1.0, 2.0], [5.0, 6.0, 7.0], [1.0, 1.5], [5.0, 6.5]),
    ],
)
def test_interp1d_values(dtype, x, y, queries, expected):
    xt, yt = torch.tensor(x, dtype=dtype), torch.tensor(y, dtype=dtype)
    out = ops.interp1d(xt, yt, torch.tensor(queries, dtype=dtype))
    ref = [interp_ref(x, y, q) for q in queries]
    torch.testing.assert_close(out, torch.tensor(ref, dtype=dtype), **tol(dtype))
    # hand values agree up to the 2^-23 term of the slope (larger at the zero-width interval)
    torch.testing.assert_close(out.double(), torch.tensor(expected, dtype=torch.float64), rtol=1e-5, atol=1e-5)
    assert out.isfinite().all()


@pytest.mark.float64
def test_interp1d_keeps_query_shape():
    x = torch.tensor([3.0, 5.0, 9.0, 11.0], dtype=DTYPE)
    y = torch.tensor([0.2, 0.8, 0.8, 0.5], dtype=DTYPE)
    q = torch.tensor([[4.0, 6.0, 12.0], [2.0, 9.5, 10.0]], dtype=DTYPE)
    out = ops.interp1d(x, y, q)
    assert out.shape == (2, 3) and out.dtype == DTYPE
    torch.testing.assert_close(out, ops.interp1d(x, y, q.reshape(-1)).reshape(2, 3), rtol=0, atol=0)


@pytest.mark.float64
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize(
    "deficits, dim, expected",
    [
        ([0.3, 0.4], 0, 0.5),
        ([[0.3, 0.4]], -1, [0.5]),
        ([[0.3], [-0.4]], 0, [0.5]),
        ([[-0.25]], -2, [0.25]),  # a single slice: its absolute value
        ([[[0.6, 0.0], [0.8, 0.0]]], -2, [[1.0, 0.0]]),
    ],
)
def test_sosfs_combination(dtype, deficits, dim, expected):
    out = ops.sosfs_combination(torch.tensor(deficits, dtype=dtype), dim)
    torch.testing.assert_close(out, torch.tensor(expected, dtype=dtype), **tol(dtype))


@pytest.mark.float64
def test_sosfs_combination_matches_root_sum_of_squares_and_rejects_bad_dim():
    d = torch.rand(2, 3, 4, 5, dtype=torch.float64, generator=torch.Generator().manual_seed(1))
    for dim in range(-4, 4):
        ref = d.numpy() ** 2
        torch.testing.assert_close(ops.sosfs_combination(d, dim),
                                   torch.from_numpy(ref.sum(axis=dim) ** 0.5), rtol=1e-14, atol=0)
    with pytest.raises(IndexError):
        ops.sosfs_combination(d, 4)


def _interp_args():
    x = torch.tensor([3.0, 5.0, 9.0, 11.0], dtype=torch.float64, requires_grad=True)
    y = torch.tensor([0.2, 0.8, 0.7, 0.5], dtype=torch.float64, requires_grad=True)
    q = torch.tensor([[1.0, 4.0, 6.5], [9.5, 12.0, 10.2]], dtype=torch.float64, requires_grad=True)
    return x, y, q


def _sosfs_args():
    return (torch.tensor([[0.3, -0.1, 0.2], [0.4, 0.5, 0.05]], dtype=torch.float64, requires_grad=True), -1)


@pytest.mark.float64
@pytest.mark.parametrize("op, make", [(ops.interp1d, _interp_args), (ops.sosfs_combination, _sosfs_args)])
def test_gradcheck_and_opcheck(op, make):
    # queries off the abscissae, deficits away from zero: no kinks
    assert torch.autograd.gradcheck(op, make())
    torch.library.opcheck(op.default, make())


@pytest.mark.skipif(not torch.cuda.is_available(), reason="no CUDA device")
def test_cuda_matches_cpu():
    args = [t.detach() for t in _interp_args()]
    torch.testing.assert_close(ops.interp1d(*[t.cuda() for t in args]).cpu(), ops.interp1d(*args))
