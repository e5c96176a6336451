"""The front door with the real Whisper engine on the simulated NPU runtime:
a directory of assets given as tokenizer_path, language detection and the
translate task reaching the engine, and the strings it hands back."""
import ctypes
import os
import struct
import threading

import numpy as np
import pytest

from npurt_model import SimNpurt, whisper_decoder_model, whisper_encoder_model
from test_libfenn_abi import InitConfig, Input, Result, load_libfenn
from wavgen import tone

WHISPER, AUDIO_PCM16 = 0, 1
HELLO, WORLD, BONJOUR = 40, 41, 42
FEATURES = (1, 4, 8)


def write_whisper_assets(directory):
    """tokenizer_info.bin (u32 count, then u32 length + bytes per token, with
    U+0120 standing for a space) and data.bin (128 x 201 float32 filters) in
    directory, plus encoder and decoder descriptions for the simulator.
    The decoder says " hello world", or " bonjour" when translating, and
    detects French."""
    texts = [f"w{i}".encode() for i in range(300)]
    texts[HELLO] = "\u0120hello".encode()
    texts[WORLD] = "\u0120world".encode()
    texts[BONJOUR] = "\u0120bonjour".encode()
    tok = struct.pack("<I", len(texts)) + b"".join(struct.pack("<I", len(t)) + t for t in texts)
    (directory / "tokenizer_info.bin").write_bytes(tok)
    filters = np.zeros((128, 201), dtype="<f4")
    for j in range(128):
        filters[j, j:j + 8] = 0.125
    (directory / "data.bin").write_bytes(filters.tobytes())
    encoder = whisper_encoder_model(directory / "encoder.model", feature_dims=FEATURES)
    decoder = whisper_decoder_model(directory / "decoder.model", tokens=[HELLO, WORLD],
                                    language_token=50259 + 6, feature_dims=FEATURES,
                                    translate_tokens=[BONJOUR])
    return encoder, decoder


@pytest.fixture(scope="module")
def lib(libfenn_path, sim_npurt_path):
    os.environ.setdefault("ZOR_NPURT_PATH", str(sim_npurt_path))
    return load_libfenn(libfenn_path)


@pytest.fixture
def whisper(lib, tmp_path):
    encoder, decoder = write_whisper_assets(tmp_path)
    cfg = InitConfig(model_type=WHISPER, model_path=str(encoder).encode(),
                     decoder_path=str(decoder).encode(), tokenizer_path=str(tmp_path).encode(),
                     extra_json=b'{"n_threads": 2}')
    ctx = ctypes.c_void_p()
    assert lib.zor_asr_init(ctypes.byref(ctx), ctypes.byref(cfg)) == 0
    yield ctx
    assert lib.zor_asr_uninit(ctx) == 0


def transcribe(lib, ctx, pcm, language=None, task=None):
    buf = (ctypes.c_int16 * len(pcm))(*pcm.tolist())
    inp = Input(audio_type=AUDIO_PCM16, pcm=ctypes.cast(buf, ctypes.POINTER(ctypes.c_int16)),
                num_samples=len(pcm), language=language, task=task)
    res = Result()
    rc = lib.zor_asr_transcribe(ctx, ctypes.byref(inp), ctypes.byref(res))
    return rc, res.text, res.language


def test_transcribe_translate_and_detect(lib, whisper):
    pcm = tone(2.0)
    rc, text, language = transcribe(lib, whisper, pcm, language=b"en")
    assert rc == 0
    assert text.strip() == b"hello world"
    assert language == b"en"

    # "auto" (null) asks the engine to detect: the decoder's language wins.
    rc, text, language = transcribe(lib, whisper, pcm)
    assert rc == 0
    assert language == b"fr"

    rc, text, language = transcribe(lib, whisper, pcm, language=b"fr", task=b"translate")
    assert rc == 0
    assert text.strip() == b"bonjour"

    # A refused task leaves the context usable.
    rc, text, language = transcribe(lib, whisper, pcm, task=b"summarise")
    assert (rc, text, language) == (1, None, None)
    rc, text, language = transcribe(lib, whisper, pcm, language=b"en", task=b"")
    assert rc == 0 and text.strip() == b"hello world"


def test_each_context_reads_its_own_filter_bank(lib, sim_npurt_path, tmp_path):
    """Two contexts made from different filter files: the one made first
    still computes with its own bank after the second has set the
    process-wide path, also while both are in use on separate threads."""
    contexts, encoders = [], {}
    for name in ("zero", "ramp"):
        directory = tmp_path / name
        directory.mkdir()
        encoder, decoder = write_whisper_assets(directory)
        if name == "zero":  # every mel value the same after the clamp
            (directory / "data.bin").write_bytes(bytes(128 * 201 * 4))
        cfg = InitConfig(model_type=WHISPER, model_path=str(encoder).encode(),
                         decoder_path=str(decoder).encode(),
                         tokenizer_path=str(directory).encode())
        ctx = ctypes.c_void_p()
        assert lib.zor_asr_init(ctypes.byref(ctx), ctypes.byref(cfg)) == 0
        contexts.append(ctx)
    sim = SimNpurt(sim_npurt_path)
    pcm = tone(2.0)
    try:
        for ctx, flat in ((contexts[0], True), (contexts[1], False), (contexts[0], True)):
            assert transcribe(lib, ctx, pcm, language=b"en")[0] == 0
            mel = np.frombuffer(sim.record("encoder_input"), dtype=np.float32)
            assert (np.ptp(mel) == 0) == flat
        results = [None, None]

        def run(i):
            results[i] = [transcribe(lib, contexts[i], pcm, language=b"en")[1].strip()
                          for _ in range(5)]
        threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert results == [[b"hello world"] * 5] * 2, results
    finally:
        for ctx in contexts:
            assert lib.zor_asr_uninit(ctx) == 0


def test_engine_failure_is_reported(lib, tmp_path, capfd):
    encoder, decoder = write_whisper_assets(tmp_path)
    cfg = InitConfig(model_type=WHISPER, model_path=str(encoder).encode(),
                     decoder_path=str(tmp_path / "missing.model").encode(),
                     tokenizer_path=str(tmp_path / "tokenizer_info.bin").encode())
    ctx = ctypes.c_void_p(0x1)
    assert lib.zor_asr_init(ctypes.byref(ctx), ctypes.byref(cfg)) == 1
    assert ctx.value is None
    assert capfd.readouterr().err.endswith("[zor_asr] whisper_asr_create failed\n")
