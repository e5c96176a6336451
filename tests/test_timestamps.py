"""Timestamps end to end, on simulated networks whose token frames and
timestamp tokens are known, so every time is checked against the frame
arithmetic exactly: through Fenn.transcribe(timestamps=True) and through the
fenn program's response formats, read back with the subtitle parsers and the
verbose transcription type that clients use."""
import html
import importlib
import json
import os
import platform
import subprocess
import textwrap

import pytest

from conftest import run_python
from npurt_model import sensevoice_model, whisper_decoder_model
from test_front_door_whisper import BONJOUR, FEATURES, HELLO, WORLD, write_whisper_assets
from wavgen import tone, write_wav

# SenseVoice token ids; "morning." ends a sentence.
EN, NEUTRAL, SPEECH, WITHITN, HAPPY, BGM = 10, 11, 12, 13, 14, 15
GOOD, MORNING, SEE, YOU = 20, 21, 22, 23
TOKEN_FILE = ("<blank> 0\n<|en|> 10\n<|NEUTRAL|> 11\n<|Speech|> 12\n<|withitn|> 13\n"
              "<|HAPPY|> 14\n<|BGM|> 15\n\u2581good 20\n\u2581morning. 21\n\u2581see 22\n"
              "\u2581you 23\n")
# Tags on the four query frames, then words on known output frames; 10
# frames (600 ms) of silence between "morning." and "see".
SV_TOKENS = [EN, HAPPY, BGM, WITHITN, GOOD, MORNING, SEE, YOU]
SV_FRAMES = [0, 1, 2, 3, (5, 6), (8, 9), (20, 21), 23]


def frame_ms(frame):
    """Where output frame `frame` starts: 6 stacked 10-ms rows after the 4 query frames."""
    return (frame - 4) * 60


# Segments in milliseconds: "good morning." ends at its full stop, "see you"
# follows the pause.
SV_SEGMENTS_MS = [(frame_ms(5), frame_ms(10), "good morning."),
                  (frame_ms(20), frame_ms(24), "see you")]


def ts(ms):
    """The Whisper timestamp token of ms milliseconds (a multiple of 20)."""
    return 50365 + ms // 20


# Two chunks of 6.25 s of audio, at 0 and 3.2 s. The second repeats " world"
# from the overlap, which the merge drops; "bonjour" then starts where
# "world" ends rather than before.
WHISPER_CHUNK_SCRIPTS = [[ts(0), HELLO, ts(1000), WORLD, ts(3900)],
                         [ts(0), WORLD, ts(500), BONJOUR, ts(2000)]]
WHISPER_CHUNK_SEGMENTS_MS = [(0, 1000, "hello"), (1000, 3900, "world"),
                             (3900, 3200 + 2000, "bonjour")]
# One piece of 1.5 s: text after the last time runs to the end of the audio.
WHISPER_SHORT_SCRIPTS = [[ts(200), HELLO, ts(700), ts(700), WORLD]]
WHISPER_SHORT_SEGMENTS_MS = [(200, 700, "hello"), (700, 1500, "world")]


def as_seconds(segments_ms):
    return [{"start": a / 1000, "end": b / 1000, "text": t} for a, b, t in segments_ms]


def client_module(name):
    """A client package from PyPI. The x86 suites install them (scripts/test);
    the Python of the emulated aarch64 root has only Debian's packages."""
    if platform.machine() == "aarch64":
        return pytest.importorskip(name)
    return importlib.import_module(name)


@pytest.fixture
def sense_voice(tmp_path):
    model = sensevoice_model(tmp_path / "sv.model", tokens=SV_TOKENS, vocab=1024, frames=800,
                             token_frames=SV_FRAMES)
    tokens = tmp_path / "tokens.txt"
    tokens.write_text(TOKEN_FILE, encoding="utf-8")
    wav = write_wav(tmp_path / "sv.wav", tone(2.0))
    return model, tokens, wav


def whisper(tmp_path, scripts, seconds):
    encoder, _ = write_whisper_assets(tmp_path)
    decoder = whisper_decoder_model(tmp_path / "timed.model", tokens=[HELLO, WORLD],
                                    feature_dims=FEATURES, timestamp_tokens=scripts)
    wav = write_wav(tmp_path / f"w{seconds}.wav", tone(seconds))
    return encoder, decoder, wav


class TestFenn:
    def run(self, sim_npurt_path, init_args, wav, **kwargs):
        code = textwrap.dedent(f"""\
            import json
            from zorllm_openai_server.zor_lumo._fenn import Fenn
            f = Fenn()
            f.init(*{[str(a) for a in init_args]!r}, extra_json='{{"n_threads": 2}}')
            print(json.dumps(f.transcribe({str(wav)!r}, **{kwargs!r})))
            print(json.dumps(f.transcribe({str(wav)!r}, "en", "transcribe", timestamps=1)))
            print(json.dumps(f.transcribe({str(wav)!r})))
            f.close()
            """)
        proc = run_python(code, env={"ZOR_NPURT_PATH": str(sim_npurt_path), "ZOR_FENN_PATH": ""})
        assert proc.returncode == 0, proc.stderr
        return [json.loads(line) for line in proc.stdout.splitlines()]

    def test_sense_voice_segments_and_labels(self, sim_npurt_path, sense_voice):
        model, tokens, wav = sense_voice
        timed, given_all, plain = self.run(sim_npurt_path, ["sensevoice", model, tokens], wav,
                                            timestamps=True)
        assert timed == {"text": "good morning. see you", "language": "en",
                         "segments": as_seconds(SV_SEGMENTS_MS), "emotion": "HAPPY",
                         "event": "BGM"}
        assert given_all == timed
        # Without timestamps the dict is what it always was.
        assert plain == {"text": "good morning. see you", "language": "en"}
        assert list(plain) == ["text", "language"]

    @pytest.mark.parametrize("scripts, seconds, expected", [
        (WHISPER_SHORT_SCRIPTS, 1.5, WHISPER_SHORT_SEGMENTS_MS),
        (WHISPER_CHUNK_SCRIPTS, 6.25, WHISPER_CHUNK_SEGMENTS_MS),
    ], ids=["one piece", "two chunks"])
    def test_whisper_segments(self, sim_npurt_path, tmp_path, scripts, seconds, expected):
        encoder, decoder, wav = whisper(tmp_path, scripts, seconds)
        timed, _, plain = self.run(sim_npurt_path, ["whisper", encoder, tmp_path, decoder], wav,
                                   language="en", timestamps=True)
        assert timed["segments"] == as_seconds(expected)
        assert "emotion" not in timed and "event" not in timed
        assert timed["text"].split() == [t for _, _, t in expected]
        assert plain == {"text": " hello world", "language": "en"}


def run_fenn(fenn_bin, sim_npurt_path, *args):
    env = dict(os.environ, ZOR_NPURT_PATH=str(sim_npurt_path))
    proc = subprocess.run([str(fenn_bin), *map(str, args)], capture_output=True, env=env,
                          timeout=120)
    return proc


class TestFormats:
    @pytest.fixture
    def sv_fenn(self, fenn_bin, sim_npurt_path, sense_voice):
        model, tokens, wav = sense_voice

        def run(fmt, *files):
            proc = run_fenn(fenn_bin, sim_npurt_path, "--backend", "sensevoice", "--model", model,
                            "--tokens", tokens, "--format", fmt, *(files or [wav]))
            assert proc.returncode == 0, proc.stderr
            return proc.stdout.decode("utf-8")
        return run

    def test_srt_parses_with_the_exact_times(self, sv_fenn):
        srt = client_module("srt")
        subtitles = list(srt.parse(sv_fenn("srt"), ignore_errors=False))
        assert [s.index for s in subtitles] == [1, 2]
        assert [(s.start.total_seconds() * 1000, s.end.total_seconds() * 1000, s.content)
                for s in subtitles] == SV_SEGMENTS_MS

    def test_vtt_parses_with_the_exact_times(self, sv_fenn):
        webvtt = client_module("webvtt")
        captions = list(webvtt.from_string(sv_fenn("vtt")))
        assert [(c.start_in_seconds * 1000 + c.start_time.milliseconds,
                 c.end_in_seconds * 1000 + c.end_time.milliseconds, c.text)
                for c in captions] == SV_SEGMENTS_MS

    def test_verbose_json_is_an_openai_verbose_transcription(self, sv_fenn, sense_voice):
        audio = client_module("openai.types.audio")
        _, _, wav = sense_voice
        lines = sv_fenn("verbose_json", wav, wav).splitlines()
        assert len(lines) == 2  # one per file
        verbose = audio.TranscriptionVerbose.model_validate_json(lines[0])
        assert verbose.text == "good morning. see you"
        assert verbose.language == "en"
        assert verbose.duration == 2.0
        assert [(s.id, s.start, s.end, s.text) for s in verbose.segments] == [
            (i, a / 1000, b / 1000, t) for i, (a, b, t) in enumerate(SV_SEGMENTS_MS)]
        raw = json.loads(lines[0])
        assert (raw["task"], raw["emotion"], raw["event"]) == ("transcribe", "HAPPY", "BGM")

    def test_text_and_json(self, sv_fenn, sense_voice):
        _, _, wav = sense_voice
        assert sv_fenn("text", wav, wav) == "good morning. see you\n" * 2
        [line] = sv_fenn("json").splitlines()
        assert set(json.loads(line)) == {"file", "text", "language", "audio_seconds",
                                          "wall_seconds", "rtf"}

    def test_whisper_chunks_as_verbose_json_and_subtitles(self, fenn_bin, sim_npurt_path,
                                                          tmp_path):
        audio = client_module("openai.types.audio")
        srt = client_module("srt")
        encoder, decoder, wav = whisper(tmp_path, WHISPER_CHUNK_SCRIPTS, 6.25)
        common = ["--backend", "whisper", "--model", encoder, "--decoder", decoder,
                  "--tokens", tmp_path, "--extra", '{"n_threads": 2}', "--language", "en"]
        proc = run_fenn(fenn_bin, sim_npurt_path, *common, "--format", "verbose_json", wav)
        assert proc.returncode == 0, proc.stderr
        verbose = audio.TranscriptionVerbose.model_validate_json(proc.stdout)
        assert [(s.start, s.end, s.text) for s in verbose.segments] == [
            (a / 1000, b / 1000, t) for a, b, t in WHISPER_CHUNK_SEGMENTS_MS]
        assert verbose.duration == 6.25
        assert "emotion" not in json.loads(proc.stdout)
        proc = run_fenn(fenn_bin, sim_npurt_path, *common, "--format", "srt", wav)
        assert proc.returncode == 0, proc.stderr
        assert [s.content for s in srt.parse(proc.stdout.decode())] == ["hello", "world",
                                                                        "bonjour"]

    def test_an_arrow_in_the_text_stays_text(self, fenn_bin, sim_npurt_path, tmp_path):
        srt = client_module("srt")
        webvtt = client_module("webvtt")
        model = sensevoice_model(tmp_path / "arrow.model", tokens=[EN, 30], vocab=1024,
                                 frames=800, token_frames=[0, 6])
        tokens = tmp_path / "arrow.txt"
        tokens.write_text(TOKEN_FILE + "\u2581x-->y 30\n", encoding="utf-8")
        wav = write_wav(tmp_path / "arrow.wav", tone(1.0))
        out = {}
        for fmt in ("srt", "vtt"):
            proc = run_fenn(fenn_bin, sim_npurt_path, "--backend", "sensevoice", "--model", model,
                            "--tokens", tokens, "--format", fmt, wav)
            assert proc.returncode == 0, proc.stderr
            out[fmt] = proc.stdout.decode()
        [sub] = srt.parse(out["srt"])
        assert (sub.start.total_seconds(), sub.content) == (frame_ms(6) / 1000, "x-->y")
        # WebVTT forbids "-->" in a cue: the '>' is written as its escape.
        [caption] = webvtt.from_string(out["vtt"])
        assert html.unescape(caption.text) == "x-->y"

    @pytest.mark.parametrize("args, message", [
        (["--format", "xml"], "unknown format 'xml' (json, text, srt, vtt or verbose_json)"),
        (["--format", "srt", "b.wav"], "--format srt takes one WAV file"),
        (["--format=vtt", "b.wav"], "--format vtt takes one WAV file"),
    ])
    def test_usage_errors(self, fenn_bin, sim_npurt_path, args, message):
        proc = run_fenn(fenn_bin, sim_npurt_path, "--backend", "sensevoice", "--model", "m",
                        "--tokens", "t", "a.wav", *args)
        assert proc.returncode == 2
        assert proc.stderr.decode().startswith(f"fenn: {message}\n")
