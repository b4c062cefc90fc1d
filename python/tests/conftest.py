import numpy as np
import pytest

import varda

DTYPES = ["uint8", "uint16", "uint32", "uint64", "int8", "int16", "int32", "int64", "float16",
          "float32", "float64"]


def random_array(rng, dtype, shape):
    """Random samples over the dtype's whole bit range: extreme values,
    NaN payloads and both zeros included for floats."""
    dt = np.dtype(dtype)
    bits = rng.integers(0, 256, size=int(np.prod(shape)) * dt.itemsize, dtype=np.uint8)
    return bits.view(dt).reshape(shape)


def smooth_array(rng, dtype, shape, noise=2.0):
    y, x = np.mgrid[0:shape[0], 0:shape[1]]
    field = 100 + 40 * np.sin(x / 13.0) * np.cos(y / 17.0) + rng.normal(0, noise, shape)
    return field.astype(dtype)


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


@pytest.fixture(scope="session", autouse=True)
def libraries():
    # Fail, never skip, when the libraries are not there.
    paths = varda.library_paths()
    missing = [name for name, where in paths.items() if where == "missing"]
    assert not missing, f"libraries not found: {missing}; searched {varda._lib.search_dirs()}"
    return paths
