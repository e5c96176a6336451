"""The fenn command-line transcriber, run as a user runs it, with the
SenseVoice engine on the simulated NPU runtime."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

from npurt_model import sensevoice_model
from test_front_door_whisper import write_whisper_assets
from wavgen import extensible_pcm16, tone, write_wav

# Token ids the simulated network "says": en, NEUTRAL, Speech, withitn, then
# text pieces.
TOKEN_FILE = ("<blank> 0\n<|en|> 10\n<|NEUTRAL|> 11\n<|Speech|> 12\n<|withitn|> 13\n"
              "\u2581good 20\n\u2581morning 21\n").encode()
# A piece holding a quote, a backslash, a control character and a byte that
# is not UTF-8: the JSON line must still parse.
ODD_PIECE = b'\xe2\x96\x81say"\\\x01\xff'


@pytest.fixture
def assets(tmp_path):
    def make(tokens=(10, 11, 12, 13, 20, 21), token_file=TOKEN_FILE):
        model = sensevoice_model(tmp_path / "sv.model", tokens=tokens, vocab=25055, frames=100)
        tok = tmp_path / "tokens.txt"
        tok.write_bytes(token_file)
        return model, tok
    return make


def run_fenn(fenn_bin, sim_npurt_path, *args):
    env = dict(os.environ, ZOR_NPURT_PATH=str(sim_npurt_path))
    return subprocess.run([str(fenn_bin), *map(str, args)], capture_output=True, env=env,
                          timeout=120)


def json_lines(stdout: bytes):
    return [json.loads(line) for line in stdout.decode("utf-8").splitlines()]


class TestTranscription:
    def test_one_line_per_file(self, fenn_bin, sim_npurt_path, assets, tmp_path):
        model, tok = assets()
        one = write_wav(tmp_path / "one.wav", tone(1.0))
        # 8 kHz stereo, half a second: 4000 frames.
        stereo = write_wav(tmp_path / "two.wav", np.repeat(tone(0.5, rate=8000), 2),
                           rate=8000, channels=2)
        # WAVE_FORMAT_EXTENSIBLE after an odd LIST chunk: the duration comes
        # from the same header walk as the audio.
        extensible = write_wav(tmp_path / "ext.wav", np.repeat(tone(0.25), 2),
                               extra_chunks=[(b"LIST", b"INFOx")], **extensible_pcm16(2))
        proc = run_fenn(fenn_bin, sim_npurt_path, "--backend", "sensevoice", "--model", model,
                        "--tokens", tok, one, stereo, extensible)
        assert proc.returncode == 0, proc.stderr
        lines = json_lines(proc.stdout)
        assert [l["file"] for l in lines] == [str(one), str(stereo), str(extensible)]
        for line in lines:
            assert set(line) == {"file", "text", "language", "audio_seconds", "wall_seconds", "rtf"}
            assert line["text"] == "good morning"
            assert line["language"] == "en"
            assert line["wall_seconds"] >= 0
            # Both are printed rounded (wall time to the millisecond), so the
            # ratio of the printed values is exact only to that rounding.
            rounding = 0.0005 / line["audio_seconds"] + 0.0001
            assert line["rtf"] == pytest.approx(line["wall_seconds"] / line["audio_seconds"],
                                                abs=rounding)
        assert lines[0]["audio_seconds"] == 1.0
        assert lines[1]["audio_seconds"] == 0.5
        assert lines[2]["audio_seconds"] == 0.25
        assert b"[zor_asr] warning: sample rate is 8000, expected 16000" in proc.stderr

    def test_failing_files_among_good_ones(self, fenn_bin, sim_npurt_path, assets, tmp_path):
        model, tok = assets()
        good = write_wav(tmp_path / "good.wav", tone(1.0))
        missing = tmp_path / "missing.wav"
        liar = write_wav(tmp_path / "liar.wav", (), data_size=0xFFFFFFFF)
        proc = run_fenn(fenn_bin, sim_npurt_path, "--backend=sensevoice", f"--model={model}",
                        f"--tokens={tok}", missing, good, liar, good)
        assert proc.returncode == 1
        assert [l["file"] for l in json_lines(proc.stdout)] == [str(good), str(good)]
        err = proc.stderr.decode()
        assert "[zor_asr] failed to read wav: failed to open wav file\n" in err
        assert "[zor_asr] failed to read wav: failed to read wav pcm data\n" in err
        assert f"fenn: {missing}: transcription failed\n" in err
        assert f"fenn: {liar}: transcription failed\n" in err

    def test_translate_is_refused_by_sense_voice(self, fenn_bin, sim_npurt_path, assets, tmp_path):
        model, tok = assets()
        wav = write_wav(tmp_path / "a.wav", tone(0.5))
        proc = run_fenn(fenn_bin, sim_npurt_path, "--backend", "sensevoice", "--model", model,
                        "--tokens", tok, "--task", "translate", "--language", "en", wav)
        assert proc.returncode == 1
        assert proc.stdout == b""
        assert (b"[zor_asr] unsupported task 'translate' (SenseVoice is transcribe-only)"
                in proc.stderr)

    def test_model_that_does_not_load(self, fenn_bin, sim_npurt_path, tmp_path):
        wav = write_wav(tmp_path / "a.wav", tone(0.5))
        proc = run_fenn(fenn_bin, sim_npurt_path, "--backend", "sensevoice", "--model",
                        tmp_path / "none.model", "--tokens", tmp_path / "none.txt", wav)
        assert proc.returncode == 1
        assert proc.stdout == b""
        assert b"[zor_asr] sense_voice_create failed\n" in proc.stderr
        assert b"fenn: could not load the sensevoice model" in proc.stderr

    def test_output_is_valid_json_whatever_the_bytes(self, fenn_bin, sim_npurt_path, assets,
                                                     tmp_path):
        model, tok = assets(tokens=(10, 11, 12, 13, 30, 20),
                            token_file=TOKEN_FILE + ODD_PIECE + b" 30\n")
        odd_name = os.fsencode(tmp_path) + b'/a "b"\n\\c\xff\xfe.wav'
        with open(odd_name, "wb") as f:
            f.write(write_wav(tmp_path / "plain.wav", tone(0.25)).read_bytes())
        proc = subprocess.run([os.fsencode(fenn_bin), b"--backend", b"sensevoice", b"--model",
                               os.fsencode(model), b"--tokens", os.fsencode(tok), odd_name],
                              capture_output=True, timeout=120,
                              env=dict(os.environ, ZOR_NPURT_PATH=str(sim_npurt_path)))
        assert proc.returncode == 0, proc.stderr
        [line] = json_lines(proc.stdout)
        assert line["file"] == str(tmp_path) + '/a "b"\n\\c\ufffd\ufffd.wav'
        assert line["text"] == 'say"\\\x01\ufffd good'
        # Raw control characters never reach the output line itself.
        assert all(b >= 0x20 for b in proc.stdout.rstrip(b"\n"))


    def test_whisper_backend(self, fenn_bin, sim_npurt_path, tmp_path):
        encoder, decoder = write_whisper_assets(tmp_path)
        wav = write_wav(tmp_path / "a.wav", tone(1.5))
        common = ["--backend", "whisper", "--model", encoder, "--decoder", decoder,
                  "--tokens", tmp_path, "--extra", '{"n_threads": 2}']
        proc = run_fenn(fenn_bin, sim_npurt_path, *common, "--language", "en", wav)
        assert proc.returncode == 0, proc.stderr
        [line] = json_lines(proc.stdout)
        assert line["text"].strip() == "hello world"
        assert line["language"] == "en"
        assert line["audio_seconds"] == 1.5
        proc = run_fenn(fenn_bin, sim_npurt_path, *common, "--task", "translate", wav, wav)
        assert proc.returncode == 0, proc.stderr
        assert [l["text"].strip() for l in json_lines(proc.stdout)] == ["bonjour", "bonjour"]


class TestUsage:
    def test_help(self, fenn_bin, sim_npurt_path):
        for flag in ("--help", "-h"):
            proc = run_fenn(fenn_bin, sim_npurt_path, flag)
            assert proc.returncode == 0
            assert proc.stdout.startswith(b"usage: fenn --backend sensevoice|whisper")
            assert proc.stderr == b""

    @pytest.mark.parametrize("args, message", [
        ([], "--backend is required"),
        (["--model", "m", "--tokens", "t", "a.wav"], "--backend is required"),
        (["--backend", "kaldi", "--model", "m", "--tokens", "t", "a.wav"], "unknown backend 'kaldi'"),
        (["--backend", "sensevoice", "--tokens", "t", "a.wav"], "--model is required"),
        (["--backend", "sensevoice", "--model", "m", "a.wav"], "--tokens is required"),
        (["--backend", "whisper", "--model", "e", "--tokens", "t", "a.wav"],
         "--decoder is required for the whisper backend"),
        (["--backend", "sensevoice", "--model", "m", "--tokens", "t"], "no WAV file given"),
        (["--backend", "sensevoice", "--model", "m", "--tokens", "t", "--task", "sum", "a.wav"],
         "unknown task 'sum'"),
        (["--backend", "sensevoice", "--model", "m", "--tokens", "t", "--verbose", "a.wav"],
         "unknown option '--verbose'"),
        (["--backend", "sensevoice", "--model", "m", "a.wav", "--tokens"],
         "option '--tokens' needs a value"),
    ])
    def test_usage_errors(self, fenn_bin, sim_npurt_path, args, message):
        proc = run_fenn(fenn_bin, sim_npurt_path, *args)
        assert proc.returncode == 2
        assert proc.stdout == b""
        err = proc.stderr.decode()
        assert err.startswith(f"fenn: {message}")
        assert "fenn --help" in err

    def test_console_script_runs_the_packaged_program(self, pkg_dir):
        proc = subprocess.run([sys.executable, "-c",
                               "from zorllm_openai_server.zor_lumo._cli import main; main()",
                               "--help"], capture_output=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.startswith(b"usage: fenn")
        proc = subprocess.run([sys.executable, "-c",
                               "from zorllm_openai_server.zor_lumo._cli import main; main()",
                               "--backend"], capture_output=True, timeout=60)
        assert proc.returncode == 2
        assert b"fenn: option '--backend' needs a value" in proc.stderr
