"""SenseVoice through the Fenn class, from WAV files to text: real speech
from espeak-ng, multi-byte tokens, settings from extra_json, and what reached
the simulated network."""
import json
import struct
import textwrap

import numpy as np
import pytest

from conftest import run_python
from npurt_model import sensevoice_model
from wavgen import extensible_pcm16, have_espeak, speech, tone, write_wav

# Token ids; words w0.. sit at WORD + i.
EN, ZH, HAPPY, BGM, WITHITN, UNK, NIHAO, WORLD, WORD = 1, 2, 3, 4, 5, 6, 7, 8, 100
TOKENS = {0: "<blk>", EN: "<|en|>", ZH: "<|zh|>", HAPPY: "<|HAPPY|>", BGM: "<|BGM|>",
          WITHITN: "<|withitn|>", UNK: "<unk>", NIHAO: "\u2581\u4f60\u597d",
          WORLD: "\u2581world"}
TOKENS.update({WORD + i: f"\u2581w{i}" for i in range(300)})


def stacked_rows(n_samples: int) -> int:
    """Rows of stacked features the audio fills: 7 filter-bank frames every 6."""
    fbank_frames = (n_samples + 80) // 160
    return 0 if fbank_frames < 7 else (fbank_frames - 7) // 6 + 1


@pytest.fixture
def env(tmp_path, libfenn_path, sim_npurt_path):
    if not libfenn_path.is_file() or not sim_npurt_path.is_file():
        pytest.fail(f"libfenn or the simulated NPU runtime is not staged: {libfenn_path}")
    tokens = tmp_path / "tokens.txt"
    tokens.write_text("".join(f"{t} {i}\n" for i, t in TOKENS.items()), encoding="utf-8")
    return dict(tmp=tmp_path, tokens=tokens, sim=sim_npurt_path,
                env={"ZOR_NPURT_PATH": str(sim_npurt_path), "ZOR_FENN_PATH": ""})


def transcribe(env, model, wav, language="auto", extra_json=None):
    """Runs one transcription in a fresh interpreter; returns the result dict,
    what the network received, the decoded word count and stderr."""
    code = textwrap.dedent(f"""\
        import json, struct
        from npurt_model import SimNpurt
        from zorllm_openai_server.zor_lumo._fenn import Fenn
        sim = SimNpurt({str(env['sim'])!r})
        f = Fenn()
        f.init("sensevoice", {str(model)!r}, {str(env['tokens'])!r}, extra_json={extra_json!r})
        sim.reset()
        result = f.transcribe({str(wav)!r}, {language!r})
        speech = sim.record("speech")
        open({str(env['tmp'] / 'speech.bin')!r}, "wb").write(speech)
        print(json.dumps(dict(result=result, language=sim.int32s("language"),
                              text_norm=sim.int32s("text_norm"))))
        f.close()
        """)
    proc = run_python(code, env={**env["env"], "PYTHONPATH": _pythonpath()})
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout.strip().splitlines()[-1])
    out["speech"] = np.frombuffer((env["tmp"] / "speech.bin").read_bytes(), dtype="<f4")
    out["stderr"] = proc.stderr
    return out


def _pythonpath():
    import os
    import pathlib
    here = str(pathlib.Path(__file__).resolve().parent)
    return os.pathsep.join(p for p in (here, os.environ.get("PYTHONPATH", "")) if p)


def test_spoken_wav_decodes_the_speech_frames_and_reads_the_tags(env):
    if not have_espeak():
        pytest.skip("espeak-ng is not installed")
    pcm = speech("the quick brown fox jumps over the lazy dog")
    wav = write_wav(env["tmp"] / "speech.wav", pcm)
    # One scripted word per output frame: the word count is the frames decoded.
    script = [ZH, HAPPY, BGM, WITHITN, NIHAO, UNK] + [WORD + i for i in range(290)]
    model = sensevoice_model(env["tmp"] / "sv.model", tokens=script, vocab=1024, frames=800)
    out = transcribe(env, model, wav, language="en",
                     extra_json='{"pad_mode": "zero", "use_itn": 1}')
    rows = stacked_rows(len(pcm))
    assert 0 < rows < 800 - 28
    words = out["result"]["text"].split()
    assert words[0] == "\u4f60\u597d"
    assert len(words) == rows + 4 + 24 - 5  # four tags and <unk> leave no word
    assert out["result"]["language"] == "zh"
    assert out["language"] == [4] and out["text_norm"] == [14]
    # The speech input holds the audio's rows, then zero padding.
    feats = out["speech"].reshape(800, 560)
    assert np.all(np.any(feats[:rows] != 0, axis=1))
    assert not np.any(feats[rows:])


def test_wav_at_another_rate_is_recognised_as_it_is(env):
    pcm = tone(1.0, rate=8000)
    wav = write_wav(env["tmp"] / "tone8k.wav", pcm, rate=8000)
    script = [WORD + i for i in range(100)]
    model = sensevoice_model(env["tmp"] / "sv.model", tokens=script, vocab=1024, frames=800)
    out = transcribe(env, model, wav, language="yue",
                     extra_json=json.dumps({"textnorm": "woitn", "use_itn": 1,
                                            "swap_int_inputs": 1, "decode_extra_frames": 3}))
    assert "[zor_asr] warning: sample rate is 8000, expected 16000" in out["stderr"]
    # 8000 samples taken as 16 kHz audio: half a second of features.
    assert len(out["result"]["text"].split()) == stacked_rows(8000) + 4 + 3
    assert out["result"]["language"] == "yue"  # no tag: the caller's language
    assert out["language"] == [15] and out["text_norm"] == [7]  # swapped


def test_too_short_wav_still_transcribes(env):
    wav = write_wav(env["tmp"] / "blip.wav", tone(0.05))
    model = sensevoice_model(env["tmp"] / "sv.model", tokens=[EN, WORLD], vocab=1024,
                             frames=800)
    out = transcribe(env, model, wav)
    assert "[SenseVoice] audio too short: fbank_frames=5" in out["stderr"]
    assert out["result"] == {"text": "world", "language": "en"}
    assert not np.any(out["speech"])


def test_wav_layouts_of_common_writers_give_the_same_features(env):
    """Format chunks of 16, 18 and 40 bytes (stereo WAVE_FORMAT_EXTENSIBLE),
    and LIST chunks of odd size before the data, all read as the same audio."""
    pcm = tone(0.7)
    info = b"INFOISFT" + struct.pack("<I", 5) + b"lavf\0"  # 17 bytes
    layouts = {
        "canonical": dict(),
        "fmt18": dict(fmt_size=18),
        "extensible_stereo": dict(samples=np.repeat(pcm, 2), **extensible_pcm16(2)),
        "odd_list": dict(fmt_size=18, extra_chunks=[(b"LIST", info), (b"id3 ", b"abc")]),
    }
    model = sensevoice_model(env["tmp"] / "sv.model", tokens=[EN, WORLD], vocab=1024,
                             frames=800)
    speech_of = {}
    for name, layout in layouts.items():
        layout.setdefault("samples", pcm)
        wav = write_wav(env["tmp"] / f"{name}.wav", **layout)
        out = transcribe(env, model, wav)
        assert out["result"] == {"text": "world", "language": "en"}, (name, out["stderr"])
        speech_of[name] = out["speech"]
    for name, features in speech_of.items():
        assert np.array_equal(features, speech_of["canonical"]), name
    assert np.any(speech_of["canonical"])
