import math

import numpy as np
import pytest

import varda
from varda import kernels as k
from conftest import DTYPES, random_array, smooth_array

PREDICTORS = ["planar", "planar_zigzag", "delta_n", "delta_w", "average", "med", "med_zigzag"]
SHAPES = [(1, 1), (1, 17), (17, 1), (33, 65)]


@pytest.mark.parametrize("dtype", DTYPES)
def test_predictors_round_trip_bit_for_bit(rng, dtype):
    for shape in SHAPES:
        a = random_array(rng, dtype, shape)
        u = f"u{a.dtype.itemsize}"
        for stage in PREDICTORS:
            residuals = getattr(k, f"{stage}_encode")(a)
            assert residuals.dtype == a.dtype and residuals.shape == a.shape
            back = getattr(k, f"{stage}_decode")(residuals)
            assert np.array_equal(back.view(u), a.view(u)), (stage, shape)
        weights, shift = k.wp_static_train(a)
        back = k.wp_static_decode(k.wp_static_encode(a, weights, shift), weights, shift)
        assert np.array_equal(back.view(u), a.view(u)), ("wp", shape)


def _wrap_oracles(x):
    """planar, north and west residuals in the element width, with numpy."""
    west = x.copy()
    west[:, 1:] = x[:, 1:] - x[:, :-1]
    north = x.copy()
    north[1:] = x[1:] - x[:-1]
    planar = x.copy()
    planar[0, 1:] = x[0, 1:] - x[0, :-1]
    planar[1:, 0] = x[1:, 0] - x[:-1, 0]
    planar[1:, 1:] = x[1:, 1:] - x[1:, :-1] - x[:-1, 1:] + x[:-1, :-1]
    return {"planar": planar, "delta_n": north, "delta_w": west}


@pytest.mark.parametrize("dtype", ["uint8", "uint16", "uint32", "uint64"])
def test_rows_run_along_the_last_axis(rng, dtype):
    x = random_array(rng, dtype, (19, 23))
    with np.errstate(over="ignore"):
        expected = _wrap_oracles(x)
    for stage, want in expected.items():
        assert np.array_equal(getattr(k, f"{stage}_encode")(x), want), stage
    flat = x.reshape(-1)
    assert np.array_equal(k.delta_w_encode(flat, width=23), expected["delta_w"].reshape(-1))


def test_refusals():
    with pytest.raises(ValueError, match="do not make rows of 4"):
        k.planar_encode(np.zeros(10, np.uint16), width=4)
    with pytest.raises(ValueError):
        k.delta_w_encode(np.zeros(0, np.uint8))
    with pytest.raises(TypeError, match="1, 2, 4 or 8"):
        k.planar_encode(np.zeros((4, 4), "S3"))
    with pytest.raises(ValueError, match="four weights"):
        k.wp_static_encode(np.zeros((4, 4), np.int16), [1, 2, 3], 0)
    with pytest.raises(varda.VardaError):
        k.pfor_decode(k.pfor_encode(np.arange(1000, dtype=np.uint32))[:-3], 1000, np.uint32)


@pytest.mark.parametrize("dtype", ["uint8", "int16", "uint32", "float64"])
def test_packers_round_trip(rng, dtype):
    a = smooth_array(rng, dtype, (40, 70)) if np.dtype(dtype).kind != "f" else \
        random_array(rng, dtype, (40, 70))
    u = f"u{a.dtype.itemsize}"
    values = a.reshape(-1).view(u)
    assert np.array_equal(k.pfor_decode(k.pfor_encode(values), values.size, u), values)
    stack = np.stack([a, a[::-1]])
    stream = k.planar_zigzag_pfor_encode(stack, planes=2)
    back = k.planar_zigzag_pfor_decode(stream, stack.shape, stack.dtype, planes=2)
    assert np.array_equal(back.view(u), stack.view(u))
    lanes = k.planar_zigzag_pivco_lanes(a)
    assert lanes.size == a.nbytes
    back = k.planar_zigzag_pivco_unlanes(lanes, a.shape, a.dtype)
    assert np.array_equal(back.view(u), a.view(u))
    even, odd = k.deinterleave_split(a)
    assert np.array_equal(k.deinterleave_join(even, odd).view(u), a.reshape(-1).view(u))


def test_coefficient_blocks():
    vectors = [np.array([1, -2, 3], np.int32), np.arange(-5, 5, dtype=np.int32)]
    back = k.coeffs_parse(k.coeffs_pack(vectors))
    assert [v.tolist() for v in back] == [v.tolist() for v in vectors]
    with pytest.raises(varda.VardaError):
        k.coeffs_pack([])
    with pytest.raises(varda.VardaError, match="not a coefficient block"):
        k.coeffs_parse(b"nope, not one")


@pytest.mark.parametrize("dtype,sentinel", [("int16", -32768), ("uint8", 0), ("float32", -9999.0),
                                            ("float64", float("nan"))])
def test_nodata_fill_and_restore(rng, dtype, sentinel):
    a = smooth_array(rng, dtype, (30, 41))
    holes = rng.random(a.shape) < 0.2
    a[holes] = sentinel
    if isinstance(sentinel, float) and math.isnan(sentinel):
        mask = k.mark_nan(a)
        assert k.find_nan(a) is not None and k.find_nan(np.zeros(3, dtype)) is None
    else:
        mask = k.mark_value(a, sentinel)
    assert np.array_equal(mask == 0, holes)
    filled = k.fill(a, mask)
    assert np.array_equal(filled[~holes], a[~holes])
    u = f"u{a.dtype.itemsize}"
    assert np.array_equal(k.restore(filled, mask, sentinel).view(u), a.view(u))
    if not (isinstance(sentinel, float) and math.isnan(sentinel)):
        guarded = k.mark_guarded(a, sentinel, 2.0)
        assert np.array_equal(guarded == 0, holes)
        assert np.array_equal(k.restore_guarded(filled, guarded, sentinel).view(u), a.view(u))


def test_joins_against_numpy(rng):
    quot = rng.integers(0, 1000, 500).astype(np.uint32)
    rem = rng.integers(0, 7, 500).astype(np.uint32)
    assert np.array_equal(k.intmult_join(quot, rem, 7), quot * 7 + rem)
    widths = rng.integers(0, 17, 300).astype(np.uint8)
    low = np.array([rng.integers(0, 1 << max(int(w) - 1, 0)) if w else 0 for w in widths],
                   np.uint32)
    want = np.where(widths == 0, 0, (1 << np.maximum(widths.astype(np.uint32), 1) - 1) + low)
    assert np.array_equal(k.binoffset_join(widths, low, np.uint32), want)
    a = rng.integers(0, 1 << 60, 77).astype(np.uint64)
    planes = a.view(np.uint8).reshape(-1, 8).T.copy()
    assert np.array_equal(k.unshuffle(planes, np.uint64), a)
    with pytest.raises(TypeError, match="float32 or float64"):
        k.floatmult_join(np.zeros(4, np.uint16), np.zeros(4, np.uint16), 0.5, np.float16)


def test_simd_paths_decode_alike(rng):
    a = random_array(rng, "uint16", (65, 67))
    residuals = k.planar_encode(a)
    before = varda.simd_path()
    try:
        results = {}
        for path in varda.simd_paths():
            assert varda.set_simd_path(path) == path == varda.simd_path()
            results[path] = k.planar_decode(residuals)
        assert all(np.array_equal(r, a) for r in results.values())
        with pytest.raises(ValueError, match="not one of"):
            varda.set_simd_path("mmx")
    finally:
        varda.set_simd_path(before)


def _wrapper_calls(rng):
    """Every wrapper that writes an array: (name, call taking out, the
    dtype and element count it writes)."""
    a = smooth_array(rng, "uint16", (12, 20))
    flat = a.reshape(-1)
    mask = k.mark_value(a, 100)
    weights, shift = k.wp_static_train(a)
    lanes = k.planar_zigzag_pivco_lanes(a)
    u32 = flat.astype(np.uint32)
    f_bits = np.zeros(flat.size, np.uint32)
    calls = [(f"{stage}_{way}", lambda out, s=stage, w=way: getattr(k, f"{s}_{w}")(a, out=out),
              a.dtype, a.size) for stage in PREDICTORS for way in ("encode", "decode")]
    calls += [
        ("wp_static_encode", lambda out: k.wp_static_encode(a, weights, shift, out=out), a.dtype, a.size),
        ("wp_static_decode", lambda out: k.wp_static_decode(a, weights, shift, out=out), a.dtype, a.size),
        ("planar_zigzag_decode_stream",
         lambda out: k.planar_zigzag_decode_stream(out, flat, 0, 4, 20, flat.size), a.dtype, flat.size),
        ("deinterleave_split even", lambda out: k.deinterleave_split(flat, (out, None))[0], a.dtype,
         flat.size // 2),
        ("deinterleave_split odd", lambda out: k.deinterleave_split(flat, (None, out))[1], a.dtype,
         flat.size // 2),
        ("deinterleave_join", lambda out: k.deinterleave_join(flat[::2], flat[1::2], out=out), a.dtype,
         flat.size),
        ("pfor_decode", lambda out: k.pfor_decode(k.pfor_encode(flat), flat.size, a.dtype, out=out),
         a.dtype, flat.size),
        ("planar_zigzag_pfor_decode", lambda out: k.planar_zigzag_pfor_decode(
            k.planar_zigzag_pfor_encode(a), a.shape, a.dtype, out=out), a.dtype, a.size),
        ("planar_zigzag_pivco_lanes", lambda out: k.planar_zigzag_pivco_lanes(a, out=out), np.uint8,
         a.nbytes),
        ("planar_zigzag_pivco_unlanes", lambda out: k.planar_zigzag_pivco_unlanes(
            lanes, a.shape, a.dtype, out=out), a.dtype, a.size),
        ("mark_nan", lambda out: k.mark_nan(a.astype(np.float32), out=out), np.uint8, a.size),
        ("mark_value", lambda out: k.mark_value(a, 100, out=out), np.uint8, a.size),
        ("mark_guarded", lambda out: k.mark_guarded(a, 100, 1.0, out=out), np.uint8, a.size),
        ("fill", lambda out: k.fill(a, mask, out=out), a.dtype, a.size),
        ("restore", lambda out: k.restore(a, mask, 100, out=out), a.dtype, a.size),
        ("restore_guarded", lambda out: k.restore_guarded(a, k.mark_guarded(a, 100, 1.0), 100, out=out),
         a.dtype, a.size),
        ("binoffset_join", lambda out: k.binoffset_join(np.zeros(flat.size, np.uint8), f_bits, np.uint32,
                                                        out=out), np.uint32, flat.size),
        ("binoffset_join_table", lambda out: k.binoffset_join_table(
            np.zeros(flat.size, np.uint8), u32, [0], [16], np.uint32, out=out), np.uint32, flat.size),
        ("binoffset_unpack_join", lambda out: k.binoffset_unpack_join(
            np.zeros(flat.size, np.uint8), b"", [5], [0], np.uint32, out=out), np.uint32, flat.size),
        ("intmult_join", lambda out: k.intmult_join(u32, np.zeros_like(u32), 3, out=out), np.uint32,
         flat.size),
        ("floatquant_join", lambda out: k.floatquant_join(f_bits, f_bits, 0, np.float32, out=out),
         np.float32, flat.size),
        ("floatmult_join", lambda out: k.floatmult_join(f_bits, f_bits, 0.5, np.float32, out=out),
         np.float32, flat.size),
        ("unshuffle", lambda out: k.unshuffle(lanes, a.dtype, out=out), a.dtype, a.size),
    ]
    return calls


def test_every_wrapper_checks_its_output(rng):
    # The kernels write as many elements as their arguments say, whatever
    # out holds: a short, read-only or strided out must be refused.
    for name, call, dtype, count in _wrapper_calls(rng):
        good = np.zeros(count, dtype)
        assert call(good) is good, name
        read_only = np.zeros(count, dtype)
        read_only.flags.writeable = False
        spaced = np.zeros(2 * count, dtype)
        guard = np.full(count + 64, 7, dtype)
        for bad, why in [(guard[:count // 2], "holds"), (read_only, "read-only"),
                         (spaced[::2], "not C-contiguous"), (np.zeros(count, ">u4"), "is >u4")]:
            with pytest.raises(ValueError, match=why):
                call(bad)
        assert (guard == 7).all(), name


def test_outputs_may_not_overlap_inputs_except_in_place(rng):
    a = smooth_array(rng, "int16", (16, 16))
    residuals = k.delta_w_encode(a)
    in_place = residuals.copy()
    assert k.delta_w_decode(in_place, out=in_place) is in_place
    assert np.array_equal(in_place, a)
    with pytest.raises(ValueError, match="overlaps an input"):
        k.planar_encode(a, out=a)
    stack = np.zeros(a.size + 8, a.dtype)
    with pytest.raises(ValueError, match="overlaps an input"):
        k.med_decode(stack[:a.size].reshape(a.shape), out=stack[8:])


@pytest.mark.parametrize("dtype", [">i2", ">u2", ">f4", ">f8"])
def test_other_byte_order_is_converted_at_the_edge(rng, dtype):
    a = smooth_array(rng, dtype, (9, 13))
    native = a.astype(np.dtype(dtype).newbyteorder("="))
    for stage in ("planar", "med_zigzag"):
        residuals = getattr(k, f"{stage}_encode")(a)
        assert residuals.dtype.isnative
        want = getattr(k, f"{stage}_encode")(native)
        assert np.array_equal(residuals.view(f"u{a.itemsize}"), want.view(f"u{a.itemsize}"))
    assert np.array_equal(k.mark_value(a, a[0, 0]), k.mark_value(native, native[0, 0]))
    assert k.sentinel_bits(7, dtype) == k.sentinel_bits(7, native.dtype)
    assert k.unshuffle(k.planar_zigzag_pivco_lanes(a), dtype).dtype == native.dtype
