"""as_rgb888 and the sampling-mode normaliser of _lumo."""
import numpy as np
import pytest


@pytest.fixture(scope="module")
def lumo_mod():
    from zorllm_openai_server.zor_lumo import _lumo
    return _lumo


def packed(arr):
    return arr.dtype == np.uint8 and arr.flags["C_CONTIGUOUS"] and arr.ndim == 3 and arr.shape[2] == 3


class TestAsRgb888:
    def test_layouts(self, lumo_mod):
        chw = np.arange(3 * 2 * 5, dtype=np.uint8).reshape(3, 2, 5)
        out = lumo_mod.as_rgb888(chw)
        assert packed(out) and out.shape == (2, 5, 3)
        assert np.array_equal(out, np.transpose(chw, (1, 2, 0)))
        cube = np.arange(27, dtype=np.uint8).reshape(3, 3, 3)
        assert np.array_equal(lumo_mod.as_rgb888(cube), cube)  # 3 on both ends: HWC
        rgba = np.arange(2 * 2 * 4, dtype=np.uint8).reshape(2, 2, 4)
        assert np.array_equal(lumo_mod.as_rgb888(image=rgba), rgba[:, :, :3])
        chw_rgba = np.zeros((4, 2, 5), np.uint8)  # 4 channels first: not CHW
        with pytest.raises(ValueError):
            lumo_mod.as_rgb888(chw_rgba)
        chw_square = np.zeros((3, 4, 4), np.uint8)  # CHW test comes before the alpha drop
        assert lumo_mod.as_rgb888(chw_square).shape == (4, 4, 3)
        view = np.arange(4 * 6 * 3, dtype=np.uint8).reshape(6, 4, 3).transpose(1, 0, 2)
        out = lumo_mod.as_rgb888(view)
        assert packed(out) and np.array_equal(out, view)
        nested = lumo_mod.as_rgb888([[[1, 2, 3]]])
        assert packed(nested) and nested.tolist() == [[[1, 2, 3]]]

    def test_uint8_passes_unchanged(self, lumo_mod):
        img = np.random.default_rng(1).integers(0, 256, (4, 4, 3), dtype=np.uint8)
        out = lumo_mod.as_rgb888(img)
        assert np.array_equal(out, img)

    def test_value_conversion(self, lumo_mod):
        unit = np.array([[[0.0, 0.5, 1.0]]], dtype=np.float32)
        assert lumo_mod.as_rgb888(unit).tolist() == [[[0, 127, 255]]]
        almost = np.array([[[1.0000005, 0.5, 0.0]]])  # within the slack: scaled
        assert lumo_mod.as_rgb888(almost).tolist() == [[[255, 127, 0]]]
        over = np.array([[[1.5, 0.5, 0.0]]])  # above 1: only clipped and truncated
        assert lumo_mod.as_rgb888(over).tolist() == [[[1, 0, 0]]]
        wide = np.array([[[-5.0, 254.9, 300.0]]])
        assert lumo_mod.as_rgb888(wide).tolist() == [[[0, 254, 255]]]
        ints = np.array([[[-1, 128, 1000]]], dtype=np.int32)  # not float: never scaled
        assert lumo_mod.as_rgb888(ints).tolist() == [[[0, 128, 255]]]
        ones = np.ones((1, 1, 3), dtype=np.int64)
        assert lumo_mod.as_rgb888(ones).tolist() == [[[1, 1, 1]]]
        zeros = np.zeros((2, 2, 3), dtype=np.float64)
        assert lumo_mod.as_rgb888(zeros).tolist() == np.zeros((2, 2, 3), int).tolist()
        empty = np.zeros((0, 4, 3), dtype=np.float32)  # no max() of an empty array
        out = lumo_mod.as_rgb888(empty)
        assert out.shape == (0, 4, 3) and out.dtype == np.uint8

    def test_shape_errors(self, lumo_mod):
        for shape in ((4, 4), (1, 4, 4, 3), (5,)):
            with pytest.raises(ValueError) as err:
                lumo_mod.as_rgb888(np.zeros(shape))
            assert str(err.value) == f"Image must be 3D (H,W,C) or (C,H,W), got shape {shape}"
        for shape in ((4, 4, 1), (4, 4, 2), (4, 4, 5)):
            with pytest.raises(ValueError) as err:
                lumo_mod.as_rgb888(np.zeros(shape))
            assert str(err.value) == f"Image must have 3 colour channels (RGB), got shape {shape}"
        with pytest.raises(TypeError):
            lumo_mod.as_rgb888()


class TestSamplingMode:
    def test_table(self, lumo_mod):
        from zorllm_openai_server.zor_lumo.types import SamplingMode
        table = lumo_mod._SAMPLING_MODE_MAP
        names = {"arg_max": 0, "argmax": 0, "max": 0, "top_p": 1, "topp": 1, "top_k": 2,
                 "topk": 2, "chain_sampler": 3, "chain": 3}
        for key, value in names.items():
            assert table[key] == value and type(table[key]) is int
        for member, value in ((SamplingMode.ARG_MAX, 0), (SamplingMode.TOP_P, 1),
                              (SamplingMode.TOP_K, 2), (SamplingMode.CHAIN_SAMPLER, 3)):
            assert table[member] == value and table[value] == value

    def test_accepted_spellings(self, lumo_mod):
        from zorllm_openai_server.zor_lumo.types import SamplingMode
        norm = lumo_mod._normalize_sampling_mode
        for mode in ("  ToP_K\t", "topk", 2, SamplingMode.TOP_K):
            assert norm(mode) == 2
        assert norm("max") == 0 and norm("CHAIN") == 3 and norm(1) == 1 and norm(True) == 1

    def test_rejected(self, lumo_mod):
        norm = lumo_mod._normalize_sampling_mode
        tail = (". Expected one of: 'arg_max', 'top_p', 'top_k', 'chain_sampler', "
                "or the corresponding SamplingMode/int value.")
        for mode, shown in ((" Greedy ", "'greedy'"), (7, "7"), (None, "None"), (1.5, "1.5")):
            with pytest.raises(ValueError) as err:
                norm(mode)
            assert str(err.value) == f"Invalid sampling_mode: {shown}{tail}"
        with pytest.raises(TypeError):  # unhashable: the lookup's own error
            norm(["top_k"])
