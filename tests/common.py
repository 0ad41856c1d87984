"""Shared by the test modules: the module under test and its working dtype."""
import torch  # before the extension, so tensors can cross the boundary

import sorbane_cpp as sc

DOUBLE = sc.using_double()
DTYPE = torch.float64 if DOUBLE else torch.float32


def f32(x):
    """The single-precision value of a literal constant, as the kernels apply it."""
    return float(torch.tensor(x, dtype=torch.float32))


def narrow(x):
    """A scalar parameter as the Gauss and vortex kernels see it."""
    return float(torch.tensor(x, dtype=DTYPE))
