"""Built-in rasters, made in code from fixed seeds: an elevation model with a
nodata sea, a photon-counting frame with known shot noise, and a float
field with NaN holes."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .raster import Meta

SIZE = 1024
DEM_NODATA = -32768
# The photon frame's noise: variance A + B x at mean signal x (in counts).
NOISE_A, NOISE_B = 400.0, 2.0


@dataclass
class DemoRaster:
    name: str
    title: str
    data: np.ndarray
    meta: Meta
    recipes: list = field(default_factory=list)

    @property
    def nodata(self):
        return self.meta.nodata


def _fractal(rng, n: int, beta: float) -> np.ndarray:
    """Gaussian noise whose spectrum falls as 1 / f^beta: terrain-like."""
    fy = np.fft.fftfreq(n)[:, None]
    fx = np.fft.rfftfreq(n)[None, :]
    f = np.hypot(fx, fy)
    f[0, 0] = 1.0
    spectrum = (rng.normal(size=f.shape) + 1j * rng.normal(size=f.shape)) / f ** beta
    spectrum[0, 0] = 0
    field_ = np.fft.irfft2(spectrum, s=(n, n))
    return (field_ - field_.mean()) / field_.std()


def elevation(n: int = SIZE, seed: int = 1) -> DemoRaster:
    rng = np.random.default_rng(seed)
    height = 900 * _fractal(rng, n, 1.6) + 400
    dem = np.round(height).astype(np.int16)
    dem[height < 0] = DEM_NODATA
    # 30 m cells of a UTM zone, as an elevation model would come.
    meta = Meta(crs=_utm32(), transform=(30.0, 0.0, 500000.0, 0.0, -30.0, 5200000.0),
                nodata=DEM_NODATA, band_names=["elevation"])
    return DemoRaster("dem", "elevation model, int16, nodata sea", dem, meta,
                      ["LINEAR:MAX_ERROR=2"])


def photons(n: int = SIZE, seed: int = 2) -> DemoRaster:
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:n, 0:n] / n
    signal = 60 + 400 * np.exp(-((x - 0.4) ** 2 + (y - 0.55) ** 2) / 0.05)
    for _ in range(300):
        cx, cy, peak, width = rng.random(), rng.random(), rng.uniform(50, 8000), rng.uniform(1, 3)
        r2 = ((x - cx) * n) ** 2 + ((y - cy) * n) ** 2
        near = r2 < (6 * width) ** 2
        signal[near] += peak * np.exp(-r2[near] / (2 * width ** 2))
    # Counts are B per photon plus read noise of variance A: the variance
    # at mean x is A + B x.
    counts = NOISE_B * rng.poisson(signal / NOISE_B * 1.0) + rng.normal(0, np.sqrt(NOISE_A), (n, n))
    frame = np.clip(np.round(counts), 0, 65535).astype(np.uint16)
    meta = Meta(nodata=None, band_names=["counts"])
    return DemoRaster("photons", f"photon counts, uint16, noise A={NOISE_A:g} B={NOISE_B:g}", frame,
                      meta, ["SQRT:MAX_ERROR=1N", "LOG:MAX_ERROR=1%"])


def field_with_holes(n: int = SIZE, seed: int = 3) -> DemoRaster:
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:n, 0:n] / n
    temperature = 15 + 10 * np.sin(3 * x + 1) * np.cos(2 * y) + 2 * _fractal(rng, n, 2.2)
    temperature += rng.normal(0, 0.01, (n, n))
    data = temperature.astype(np.float32)
    for _ in range(40):
        cx, cy, r = rng.random(), rng.random(), rng.uniform(0.01, 0.06)
        data[(x - cx) ** 2 + (y - cy) ** 2 < r * r] = np.nan
    meta = Meta(crs="EPSG:4326", transform=(360 / n, 0.0, -180.0, 0.0, -180 / n, 90.0),
                nodata=float("nan"), band_names=["temperature"])
    return DemoRaster("field", "float32 field, NaN holes", data, meta,
                      ["LINEAR:MAX_ERROR=0.01", "LOG:MAX_ERROR=0.1%"])


def _utm32() -> str:
    try:
        from rasterio.crs import CRS

        return CRS.from_epsg(32632).to_wkt()
    except Exception:
        return "EPSG:32632"


def rasters(n: int = SIZE) -> list[DemoRaster]:
    return [elevation(n), photons(n), field_with_holes(n)]
