"""What a GeoTIFF carries besides its samples, through compress and
decompress: every item is set on the source and checked on the result.

The samples are the Jacksboro fault elevation model from Debian's
matplotlib (sample_data/jacksboro_fault_dem.npz)."""

import pathlib
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from varda import raster, store

gdal = pytest.importorskip("osgeo.gdal")
DEM = pathlib.Path("/usr/share/matplotlib/mpl-data/sample_data/jacksboro_fault_dem.npz")
pytestmark = pytest.mark.skipif(not DEM.exists(), reason=f"{DEM} (python3-matplotlib) is missing")

RAT_COLUMNS = [("value", gdal.GFT_Integer, gdal.GFU_MinMax),
               ("name", gdal.GFT_String, gdal.GFU_Name),
               ("weight", gdal.GFT_Real, gdal.GFU_Generic)]
RAT_ROWS = [(0, "water", 0.5), (1, "forest", 1.25), (2, "rock", 2.0)]
PALETTE = [(0, 0, 255, 255), (0, 128, 0, 255), (128, 128, 128, 255)]


def _dem():
    with np.load(DEM) as f:
        z = f["elevation"][:48, :64]
    return z


def _source(path, packed, classes):
    drv = gdal.GetDriverByName("GTiff")
    ds = drv.Create(str(path), 64, 48, 2, gdal.GDT_UInt16)
    ds.SetGeoTransform((-84.41, 0.00083, 0, 36.73, 0, -0.00083))
    ds.SetProjection('GEOGCS["WGS 84",DATUM["WGS_1984",SPHEROID["WGS 84",6378137,298.257223563]],'
                     'PRIMEM["Greenwich",0],UNIT["degree",0.0174532925199433]]')
    ds.SetMetadata({"AREA_OR_POINT": "Point", "TIFFTAG_SOFTWARE": "survey", "MISSION": "jacksboro"})
    ds.SetMetadata({"SIMPLE": "T", "BITPIX": "16", "OBJECT": "'fault'"}, "FITS")
    ds.SetMetadata({"NC_GLOBAL#title": "elevation"}, "NETCDF")
    cls, elev = ds.GetRasterBand(1), ds.GetRasterBand(2)
    elev.WriteArray(packed)
    elev.SetScale(0.1)
    elev.SetOffset(5.0)
    elev.SetUnitType("m")
    elev.SetDescription("elevation")
    elev.SetNoDataValue(65535)
    elev.SetColorInterpretation(gdal.GCI_GrayIndex)
    elev.SetStatistics(5.0, 100.0, 50.0, 10.0)
    elev.SetMetadataItem("SENSOR", "lidar")
    cls.WriteArray(classes)
    cls.SetDescription("land cover")
    cls.SetNoDataValue(65535)
    ct = gdal.ColorTable()
    for i, entry in enumerate(PALETTE):
        ct.SetColorEntry(i, entry)
    cls.SetColorTable(ct)
    cls.SetColorInterpretation(gdal.GCI_PaletteIndex)
    cls.SetCategoryNames([name for _, name, _ in RAT_ROWS])
    rat = gdal.RasterAttributeTable()
    for name, kind, usage in RAT_COLUMNS:
        rat.CreateColumn(name, kind, usage)
    for r, row in enumerate(RAT_ROWS):
        for c, ((_, kind, _), value) in enumerate(zip(RAT_COLUMNS, row)):
            {gdal.GFT_Integer: rat.SetValueAsInt, gdal.GFT_String: rat.SetValueAsString,
             gdal.GFT_Real: rat.SetValueAsDouble}[kind](r, c, value)
    cls.SetDefaultRAT(rat)
    ds.FlushCache()
    ds = None


def test_every_item_of_metadata_survives_compress_and_decompress(tmp_path):
    z = _dem()
    packed = ((z - 5.0) / 0.1).astype(np.uint16)
    classes = (z % 3).astype(np.uint16)
    _source(tmp_path / "in.tif", packed, classes)
    data, meta = raster.read(tmp_path / "in.tif")
    store.compress(data, tmp_path / "s.zarr", tile=16, meta=meta)
    store.decompress(tmp_path / "s.zarr", tmp_path / "out.tif")
    assert not list(tmp_path.glob(".*.part*"))

    ds = gdal.Open(str(tmp_path / "out.tif"))
    # A GeoTIFF takes a colour table on its first band only.
    np.testing.assert_array_equal(ds.GetRasterBand(2).ReadAsArray(), packed)
    assert ds.GetMetadataItem("AREA_OR_POINT") == "Point"
    assert ds.GetMetadataItem("MISSION") == "jacksboro"
    assert ds.GetMetadata("FITS") == {"SIMPLE": "T", "BITPIX": "16", "OBJECT": "'fault'"}
    assert ds.GetMetadata("NETCDF") == {"NC_GLOBAL#title": "elevation"}
    # The compression is the output's own, not the source's.
    assert ds.GetMetadata("IMAGE_STRUCTURE").get("COMPRESSION") == "ZSTD"

    cls, elev = ds.GetRasterBand(1), ds.GetRasterBand(2)
    assert (elev.GetScale(), elev.GetOffset(), elev.GetUnitType()) == (0.1, 5.0, "m")
    assert elev.GetDescription() == "elevation" and elev.GetNoDataValue() == 65535
    # As the source has them (GDAL gives the palette's second band none).
    src = gdal.Open(str(tmp_path / "in.tif"))
    assert [ds.GetRasterBand(i).GetColorInterpretation() for i in (1, 2)] == \
        [src.GetRasterBand(i).GetColorInterpretation() for i in (1, 2)]
    assert elev.GetMetadataItem("STATISTICS_MEAN") == "50"
    assert elev.GetMetadataItem("STATISTICS_STDDEV") == "10"
    assert elev.GetMetadataItem("SENSOR") == "lidar"

    assert cls.GetDescription() == "land cover"
    assert cls.GetColorInterpretation() == gdal.GCI_PaletteIndex
    ct = cls.GetColorTable()
    assert [ct.GetColorEntry(i) for i in range(len(PALETTE))] == PALETTE
    # GDAL 3.6 writes a GeoTIFF's category names beside it but does not
    # read them back: they are looked for in its side file.
    side = ET.parse(f"{tmp_path / 'out.tif'}.aux.xml").getroot()
    assert [c.text for c in side.iterfind("PAMRasterBand[@band='1']/CategoryNames/Category")] \
        == [name for _, name, _ in RAT_ROWS]
    rat = cls.GetDefaultRAT()
    assert [(rat.GetNameOfCol(c), rat.GetTypeOfCol(c), rat.GetUsageOfCol(c))
            for c in range(rat.GetColumnCount())] == RAT_COLUMNS
    assert [(rat.GetValueAsInt(r, 0), rat.GetValueAsString(r, 1), rat.GetValueAsDouble(r, 2))
            for r in range(rat.GetRowCount())] == RAT_ROWS

    # The store keeps them where any Zarr reader finds them.
    kept = store.meta_of(store.open_array(tmp_path / "s.zarr"))
    assert kept.bands[1]["scale"] == 0.1 and kept.tags["FITS"]["BITPIX"] == "16"
    assert kept.bands[0]["categories"] == ["water", "forest", "rock"]
    assert kept.bands[0]["colortable"] == [list(e) for e in PALETTE]
