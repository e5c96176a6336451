"""Fenn end to end: the real libfenn beside the module, SenseVoice on the
simulated NPU runtime, WAV files from wavgen."""
import textwrap

import pytest

from conftest import run_python
from npurt_model import sensevoice_model
from wavgen import tone, write_wav

TOKENS = {0: "<blk>", 1000: "<|en|>", 1001: "<|NEUTRAL|>", 1002: "<|Speech|>",
          1003: "<|woitn|>", 5: "\u2581hello", 6: "\u2581world", 7: "\u2581caf\u00e9"}


@pytest.fixture
def sensevoice(tmp_path, libfenn_path, sim_npurt_path):
    if not libfenn_path.is_file() or not sim_npurt_path.is_file():
        pytest.fail(f"libfenn or the simulated NPU runtime is not staged: {libfenn_path}")
    model = sensevoice_model(tmp_path / "sv.model", tokens=[1000, 1001, 1002, 1003, 5, 6, 7],
                             vocab=1024, frames=64)
    tokens = tmp_path / "tokens.txt"
    tokens.write_text("".join(f"{text} {i}\n" for i, text in TOKENS.items()), encoding="utf-8")
    wav = write_wav(tmp_path / "tone.wav", tone(0.5))
    env = {"ZOR_NPURT_PATH": str(sim_npurt_path), "ZOR_FENN_PATH": ""}
    return dict(model=model, tokens=tokens, wav=wav, env=env, tmp=tmp_path)


def test_sensevoice_transcription(sensevoice, libfenn_path):
    s = sensevoice
    proc = run_python(textwrap.dedent(f"""\
        from zorllm_openai_server.zor_lumo._fenn import Fenn, find_fenn_path
        assert find_fenn_path() == {str(libfenn_path.resolve())!r}, find_fenn_path()
        f = Fenn()
        f.init("sensevoice", {str(s['model'])!r}, {str(s['tokens'])!r},
               extra_json='{{"pad_mode": "zero"}}')
        expected = {{"text": "hello world caf\u00e9", "language": "en"}}
        assert f.transcribe({str(s['wav'])!r}) == expected
        assert f.transcribe({str(s['wav'])!r}, language=None, task=None) == expected
        assert f.transcribe({str(s['wav'])!r}, "en", "transcribe") == expected
        for bad in (("en", "translate"), ("en", "dance")):
            try:
                f.transcribe({str(s['wav'])!r}, *bad)
            except RuntimeError as e:
                assert str(e) == "zor_asr_transcribe failed (rc=1)"
            else:
                raise AssertionError(bad)
        try:
            f.transcribe({str(s['tmp'] / 'missing.wav')!r})
        except RuntimeError as e:
            assert str(e) == "zor_asr_transcribe failed (rc=1)"
        else:
            raise AssertionError("a missing file was transcribed")
        f.init("sensevoice", {str(s['model'])!r}, {str(s['tokens'])!r})   # replaces the context
        assert f.transcribe({str(s['wav'])!r})["text"] == "hello world caf\u00e9"
        f.close()
        """), env=s["env"])
    assert proc.returncode == 0, proc.stderr
    assert "[zor_asr] unsupported task 'translate' (SenseVoice is transcribe-only)" in proc.stderr
    assert "[zor_asr] unsupported task 'dance'" in proc.stderr
    assert "[zor_asr] failed to read wav: " in proc.stderr


def test_init_failures_from_the_library(sensevoice):
    s = sensevoice
    proc = run_python(textwrap.dedent(f"""\
        from zorllm_openai_server.zor_lumo._fenn import Fenn
        f = Fenn()
        for args in (("sensevoice", {str(s['tmp'] / 'none.model')!r}, {str(s['tokens'])!r}),
                     ("whisper", {str(s['model'])!r}, {str(s['tmp'])!r}),
                     ("whisper", {str(s['model'])!r}, {str(s['tmp'])!r}, {str(s['model'])!r})):
            try:
                f.init(*args)
            except RuntimeError as e:
                assert str(e) == "zor_asr_init failed (rc=1)", e
            else:
                raise AssertionError(args)
        """), env=s["env"])
    assert proc.returncode == 0, proc.stderr
    assert ("[zor_asr] Whisper requires model_path (encoder), decoder_path, and tokenizer_path"
            in proc.stderr)
    assert "[zor_asr] cannot open tokenizer '" in proc.stderr
