import dask.array as da
import numpy as np
import pytest
import zarr
from distributed import Client, LocalCluster

import varda
from conftest import smooth_array


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as c:
        yield c


def test_mean_over_a_compressed_store_on_a_cluster(client, rng, tmp_path):
    raw = smooth_array(rng, "uint16", (600, 500), noise=20)
    varda.compress(raw, tmp_path / "s.zarr", tile=128)
    lazy = varda.open(tmp_path / "s.zarr")
    assert lazy.chunks == ((128,) * 4 + (88,), (128,) * 3 + (116,))
    # The workers decode the chunks: the graph is built from the store, not
    # from the array in this process.
    assert client.compute(lazy.mean()).result() == pytest.approx(raw.mean(), rel=1e-12)
    assert client.compute(lazy.max()).result() == raw.max()


def test_distributed_write_round_trips(client, rng, tmp_path):
    raw = smooth_array(rng, "float32", (300, 260), noise=0.5)
    raw[50:60, 70:200] = np.nan
    source = da.from_array(raw, chunks=(100, 100))
    codec = varda.compress(source, tmp_path / "s.zarr", tile=64, nodata="nan",
                           recipe="LINEAR:MAX_ERROR=0.01")
    assert codec.recipe == "LINEAR:MAX_ERROR=0.01"
    back = zarr.open_array(str(tmp_path / "s.zarr"), mode="r", path="raster")[...]
    holes = np.isnan(raw)
    assert np.array_equal(np.isnan(back), holes)
    assert np.abs(back[~holes] - raw[~holes]).max() <= 0.01
    lossless = da.from_array(raw, chunks=(128, 128))
    varda.compress(lossless, tmp_path / "l.zarr", tile=64)
    back = varda.open(tmp_path / "l.zarr").compute()
    assert np.array_equal(back.view(np.uint32), raw.view(np.uint32))
