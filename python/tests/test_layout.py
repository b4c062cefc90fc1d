"""The store's group layout as xarray and rioxarray read it, and stores of
the first layout (an array at the root) beside it."""

import json

import numpy as np
import pytest

import varda
import zarr
from conftest import smooth_array
from varda import store
from varda.raster import Meta

xr = pytest.importorskip("xarray")
rioxarray = pytest.importorskip("rioxarray")

TRANSFORM = (30.0, 0.0, 500000.0, 0.0, -30.0, 5200000.0)


@pytest.mark.parametrize("shape,suffix", [((70, 90), ".zarr"), ((3, 40, 50), ".zip")])
def test_xarray_opens_the_raster_with_its_crs_and_transform(rng, tmp_path, shape, suffix):
    data = smooth_array(rng, "int16", shape[-2:])
    data = np.stack([data + i for i in range(shape[0])]) if len(shape) == 3 else data
    path = tmp_path / f"s{suffix}"
    meta = Meta(crs="EPSG:32632", transform=TRANSFORM, nodata=-9999)
    varda.compress(data, path, tile=32, meta=meta)
    ds = xr.open_zarr(str(path), mask_and_scale=False)
    r = ds["raster"]
    assert r.dims == (("band",) if len(shape) == 3 else ()) + ("y", "x")
    np.testing.assert_array_equal(r.values, data)
    assert r.rio.crs.to_epsg() == 32632
    assert tuple(r.rio.transform())[:6] == TRANSFORM
    # Cell centres, as rioxarray writes them.
    assert r.x.values[0] == 500015.0 and r.y.values[-1] == 5200000.0 - 30 * shape[-2] + 15
    assert r.rio.nodata == -9999
    assert store.info(path)["layout"] == "group (variable raster)"


def test_a_raster_without_georeferencing_has_no_coordinates(rng, tmp_path):
    data = smooth_array(rng, "float32", (40, 30))
    varda.compress(data, tmp_path / "s.zarr", tile=16)
    ds = xr.open_zarr(str(tmp_path / "s.zarr"))
    assert set(ds.variables) == {"raster"}
    np.testing.assert_array_equal(ds["raster"].values, data)


def test_stores_of_the_root_array_layout_still_open(rng, tmp_path):
    data = smooth_array(rng, "uint16", (50, 60))
    path = tmp_path / "old.zarr"
    varda.compress(data, path, tile=32, meta=Meta(crs="EPSG:4326"), layout="array")
    assert (path / ".zarray").exists() and not (path / ".zgroup").exists()
    np.testing.assert_array_equal(np.asarray(varda.open(path)), data)
    assert store.info(path)["layout"] == "array"
    with pytest.raises(varda.VardaError, match="layout 'tree'"):
        varda.compress(data, tmp_path / "x.zarr", layout="tree")


def test_a_group_names_its_raster_or_holds_exactly_one(rng, tmp_path):
    data = smooth_array(rng, "uint8", (20, 20))
    path = tmp_path / "s.zarr"
    varda.compress(data, path, tile=16)
    attrs = json.loads((path / ".zattrs").read_text())
    del attrs["varda"]["variable"]
    (path / ".zattrs").write_text(json.dumps(attrs))
    zarr.consolidate_metadata(str(path))
    # As GDAL writes a group: found as the one varda-coded array.
    np.testing.assert_array_equal(np.asarray(varda.open(path)), data)
    varda.compress(data, tmp_path / "t.zarr", tile=16)
    (tmp_path / "t.zarr" / "raster").rename(path / "second")
    with pytest.raises(varda.StoreError, match="arrays raster, second coded with varda"):
        varda.open(path)
