"""libfenn's binary interface as a caller that has no header sees it: the
three packed 1024-byte records laid out field by field with ctypes, checked
against what the built library reads and writes, and the dynamic symbol
table that the library exports."""
import ctypes
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

from npurt_model import sensevoice_model
from wavgen import write_wav

RECORD = 1024
GUARD = 64


class InitConfig(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("model_type", ctypes.c_uint32), ("model_path", ctypes.c_char_p),
                ("decoder_path", ctypes.c_char_p), ("tokenizer_path", ctypes.c_char_p),
                ("extra_json", ctypes.c_char_p), ("reserved", ctypes.c_uint8 * 988)]


class Input(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("audio_type", ctypes.c_uint32), ("file_path", ctypes.c_char_p),
                ("pcm", ctypes.POINTER(ctypes.c_int16)), ("num_samples", ctypes.c_uint32),
                ("sample_rate", ctypes.c_uint32), ("language", ctypes.c_char_p),
                ("task", ctypes.c_char_p), ("timestamps", ctypes.c_uint32),
                ("reserved", ctypes.c_uint8 * 976)]


class Segment(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("start_ms", ctypes.c_uint32), ("end_ms", ctypes.c_uint32),
                ("text", ctypes.c_char_p)]


class Result(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("text", ctypes.c_char_p), ("language", ctypes.c_char_p),
                ("segments", ctypes.POINTER(Segment)), ("emotion", ctypes.c_char_p),
                ("event", ctypes.c_char_p), ("n_segments", ctypes.c_uint32),
                ("reserved", ctypes.c_uint8 * 980)]


# The offsets the interface fixes; the Structures above must agree with them.
FIXED_OFFSETS = {
    InitConfig: {"model_type": 0, "model_path": 4, "decoder_path": 12, "tokenizer_path": 20,
                 "extra_json": 28, "reserved": 36},
    Input: {"audio_type": 0, "file_path": 4, "pcm": 12, "num_samples": 20, "sample_rate": 24,
            "language": 28, "task": 36, "timestamps": 44, "reserved": 48},
    Result: {"text": 0, "language": 8, "segments": 16, "emotion": 24, "event": 32,
             "n_segments": 40, "reserved": 44},
}

WHISPER, SENSEVOICE = 0, 1
AUDIO_FILE, AUDIO_PCM16 = 0, 1

# SenseVoice token ids the simulated network "says": en, HAPPY, Speech,
# withitn, then two words.
SV_TOKENS = [10, 11, 12, 13, 20, 21]
SV_TOKEN_FILE = ("<blank> 0\n<|en|> 10\n<|HAPPY|> 11\n<|Speech|> 12\n<|withitn|> 13\n"
                 "\u2581hello 20\n\u2581world 21\n")


def load_libfenn(path):
    lib = ctypes.CDLL(str(path))
    lib.zor_asr_init.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_void_p]
    lib.zor_asr_transcribe.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    lib.zor_asr_free_result.argtypes = [ctypes.c_void_p]
    lib.zor_asr_uninit.argtypes = [ctypes.c_void_p]
    for name in ("zor_asr_init", "zor_asr_transcribe", "zor_asr_free_result", "zor_asr_uninit"):
        getattr(lib, name).restype = ctypes.c_int
    return lib


def raw_record(size=RECORD, fill=0xA5):
    """A record-sized buffer with a guard region on each side."""
    buf = (ctypes.c_uint8 * (GUARD + size + GUARD))()
    ctypes.memset(buf, fill, len(buf))
    return buf, ctypes.addressof(buf) + GUARD


def put_u32(addr, offset, value):
    ctypes.c_uint32.from_address(addr + offset).value = value


def put_ptr(addr, offset, pointer):
    ctypes.c_void_p.from_address(addr + offset).value = pointer


def get_ptr(addr, offset):
    return ctypes.c_void_p.from_address(addr + offset).value


@pytest.fixture(scope="module")
def lib(libfenn_path, sim_npurt_path):
    # The NPU runtime is loaded once per process, on the first network load.
    os.environ.setdefault("ZOR_NPURT_PATH", str(sim_npurt_path))
    return load_libfenn(libfenn_path)


@pytest.fixture
def sense_voice(lib, tmp_path, request):
    """A SenseVoice context on the simulated NPU runtime; an indirect
    parameter adds settings of the model description."""
    model = sensevoice_model(tmp_path / "sv.model", tokens=SV_TOKENS, vocab=25055, frames=100,
                             **getattr(request, "param", {}))
    tokens = tmp_path / "tokens.txt"
    tokens.write_text(SV_TOKEN_FILE, encoding="utf-8")
    cfg = InitConfig(model_type=SENSEVOICE, model_path=str(model).encode(),
                     tokenizer_path=str(tokens).encode())
    ctx = ctypes.c_void_p()
    assert lib.zor_asr_init(ctypes.byref(ctx), ctypes.byref(cfg)) == 0
    yield ctx
    assert lib.zor_asr_uninit(ctx) == 0


class TestRecordLayout:
    def test_sizes_and_offsets(self):
        assert ctypes.sizeof(Segment) == 16
        assert (Segment.end_ms.offset, Segment.text.offset) == (4, 8)
        for record, offsets in FIXED_OFFSETS.items():
            assert ctypes.sizeof(record) == RECORD, record.__name__
            for field, offset in offsets.items():
                assert getattr(record, field).offset == offset, (record.__name__, field)

    def test_free_result_zeroes_exactly_the_record(self, lib):
        buf, addr = raw_record()
        assert lib.zor_asr_free_result(ctypes.c_void_p(addr)) == 0
        data = bytes(buf)
        assert data[:GUARD] == b"\xa5" * GUARD
        assert data[GUARD:GUARD + RECORD] == bytes(RECORD)
        assert data[GUARD + RECORD:] == b"\xa5" * GUARD
        assert lib.zor_asr_free_result(None) == 1

    def test_failed_transcription_zeroes_exactly_the_record(self, lib):
        buf, addr = raw_record()
        inp = Input()
        assert lib.zor_asr_transcribe(None, ctypes.byref(inp), ctypes.c_void_p(addr)) == 1
        data = bytes(buf)
        assert data[GUARD:GUARD + RECORD] == bytes(RECORD)
        assert data[:GUARD] + data[GUARD + RECORD:] == b"\xa5" * (2 * GUARD)


class TestFieldsReachTheLibrary:
    """Each field written at its raw offset into a guarded buffer, so that a
    misplaced field in the library's view shows up as the wrong behaviour."""

    def init_raw(self, lib, fields, capfd):
        buf, addr = raw_record(fill=0)
        keep = []
        for offset, value in fields.items():
            if isinstance(value, bytes):
                s = ctypes.create_string_buffer(value)
                keep.append(s)
                put_ptr(addr, offset, ctypes.addressof(s))
            else:
                put_u32(addr, offset, value)
        ctx = ctypes.c_void_p(0x1)
        rc = lib.zor_asr_init(ctypes.byref(ctx), ctypes.c_void_p(addr))
        err = capfd.readouterr().err
        return rc, ctx.value, err

    def test_init_config_offsets(self, lib, capfd, tmp_path):
        rc, ctx, err = self.init_raw(lib, {0: 2}, capfd)
        assert (rc, ctx) == (1, None)
        assert err == "[zor_asr] unknown model_type=2\n"

        # model_path at 4 and tokenizer_path at 20 present, decoder at 12
        # absent: only Whisper's path message can result.
        rc, ctx, err = self.init_raw(lib, {0: WHISPER, 4: b"enc", 20: b"tok"}, capfd)
        assert rc == 1
        assert err == ("[zor_asr] Whisper requires model_path (encoder), decoder_path, "
                       "and tokenizer_path\n")

        # tokenizer_path at 20 shows up in the message; extra_json at 28 names
        # the filters file.
        (tmp_path / "tokenizer_info.bin").write_bytes(b"x")
        rc, ctx, err = self.init_raw(lib, {0: WHISPER, 4: b"enc", 12: b"dec",
                                           20: str(tmp_path).encode()}, capfd)
        assert err == f"[zor_asr] cannot open mel filters '{tmp_path}/data.bin'\n"
        rc, ctx, err = self.init_raw(lib, {0: WHISPER, 4: b"enc", 12: b"dec",
                                           20: str(tmp_path).encode(),
                                           28: b'{"filters_path": "/no/such/mel.bin"}'}, capfd)
        assert err == "[zor_asr] cannot open mel filters '/no/such/mel.bin'\n"

        # SenseVoice reads model_path at 4 and tokenizer_path at 20.
        rc, ctx, err = self.init_raw(lib, {0: SENSEVOICE, 12: b"m", 28: b"t"}, capfd)
        assert err == "[zor_asr] SenseVoice requires model_path and tokenizer_path\n"

    def transcribe_raw(self, lib, ctx, fields, capfd):
        buf, addr = raw_record(fill=0)
        keep = []
        for offset, value in fields.items():
            if isinstance(value, (bytes, np.ndarray)):
                s = ctypes.create_string_buffer(value if isinstance(value, bytes) else value.tobytes())
                keep.append(s)
                put_ptr(addr, offset, ctypes.addressof(s))
            else:
                put_u32(addr, offset, value)
        out, out_addr = raw_record()
        rc = lib.zor_asr_transcribe(ctx, ctypes.c_void_p(addr), ctypes.c_void_p(out_addr))
        err = capfd.readouterr().err
        data = bytes(out)
        assert data[:GUARD] + data[GUARD + RECORD:] == b"\xa5" * (2 * GUARD)
        text = ctypes.string_at(get_ptr(out_addr, 0)) if get_ptr(out_addr, 0) else None
        language = ctypes.string_at(get_ptr(out_addr, 8)) if get_ptr(out_addr, 8) else None
        assert data[GUARD + 16:GUARD + RECORD] == bytes(RECORD - 16)
        return rc, text, language, err

    def test_input_offsets_and_result_offsets(self, lib, sense_voice, capfd, tmp_path):
        pcm = (np.arange(16000) % 500).astype("<i2")
        rc, text, language, err = self.transcribe_raw(
            lib, sense_voice, {0: AUDIO_PCM16, 12: pcm, 20: len(pcm), 24: 8000, 28: b"en"}, capfd)
        assert rc == 0, err
        assert err == "[zor_asr] warning: sample rate is 8000, expected 16000\n"
        assert (text, language) == (b"hello world", b"en")

        # task at 36
        rc, text, language, err = self.transcribe_raw(
            lib, sense_voice, {0: AUDIO_PCM16, 12: pcm, 20: len(pcm), 36: b"translate"}, capfd)
        assert rc == 1
        assert "SenseVoice is transcribe-only" in err

        # file_path at 4, with the PCM fields set to nonsense that must be ignored
        wav = write_wav(tmp_path / "a.wav", pcm, rate=16000)
        rc, text, language, err = self.transcribe_raw(
            lib, sense_voice, {0: AUDIO_FILE, 4: str(wav).encode(), 20: 5, 24: 8000}, capfd)
        assert rc == 0, err
        assert err == ""
        assert text == b"hello world"
        # num_samples at 20 must be non-zero for PCM input
        rc, *_ = self.transcribe_raw(lib, sense_voice, {0: AUDIO_PCM16, 12: pcm}, capfd)
        assert rc == 1

    # en HAPPY Speech withitn on the query frames, "hello" on output frames
    # 6-7 and "world" on frame 20: a pause of 12 frames between.
    @pytest.mark.parametrize("sense_voice", [{"token_frames": [0, 1, 2, 3, (6, 7), 20]}],
                             indirect=True)
    def test_timestamps_at_44_and_the_timed_result_fields(self, lib, sense_voice):
        pcm = ctypes.create_string_buffer((np.arange(32000) % 500).astype("<i2").tobytes())
        buf, addr = raw_record(fill=0)
        put_u32(addr, 0, AUDIO_PCM16)
        put_ptr(addr, 12, ctypes.addressof(pcm))
        put_u32(addr, 20, 32000)
        put_u32(addr, 44, 1)
        out, out_addr = raw_record()
        assert lib.zor_asr_transcribe(sense_voice, ctypes.c_void_p(addr),
                                      ctypes.c_void_p(out_addr)) == 0
        assert ctypes.string_at(get_ptr(out_addr, 0)) == b"hello world"
        assert ctypes.string_at(get_ptr(out_addr, 24)) == b"HAPPY"
        assert ctypes.string_at(get_ptr(out_addr, 32)) == b"Speech"
        assert ctypes.c_uint32.from_address(out_addr + 40).value == 2
        seg = get_ptr(out_addr, 16)
        got = [(ctypes.c_uint32.from_address(seg + 16 * i).value,
                ctypes.c_uint32.from_address(seg + 16 * i + 4).value,
                ctypes.string_at(get_ptr(seg + 16 * i, 8))) for i in range(2)]
        assert got == [(2 * 60, 4 * 60, b"hello"), (16 * 60, 17 * 60, b"world")]
        data = bytes(out)
        assert data[GUARD + 44:GUARD + RECORD] == bytes(RECORD - 44)
        assert lib.zor_asr_free_result(ctypes.c_void_p(out_addr)) == 0
        assert bytes(out)[GUARD:GUARD + RECORD] == bytes(RECORD)

def exported_symbols(path):
    """Defined dynamic symbols of a shared library, demangled."""
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", "-C", str(path)], check=True,
                         capture_output=True, text=True).stdout
    names = set()
    for line in out.splitlines():
        parts = line.split(maxsplit=2)
        if len(parts) == 3:
            names.add(parts[2])
    return names


C_INTERFACE = {
    "zor_asr_init", "zor_asr_transcribe", "zor_asr_free_result", "zor_asr_uninit",
    "sense_voice_create", "sense_voice_recognize", "sense_voice_free_result",
    "sense_voice_destroy",
    "whisper_set_mel_filters_path", "whisper_pcm_to_mel_with_state",
    "zornn_init", "zornn_query", "zornn_inputs_set", "zornn_run", "zornn_outputs_get",
    "zornn_destroy", "zornn_set_softop_opt", "zornn_set_input_shapes",
}
# Exported with their typed C++ signatures: a caller resolves them by these
# exact argument lists.
CPP_INTERFACE = {
    "ReadWavPcm16": "(std::string const&, WavData*, std::string*)",
    "read_token_info": "(std::string)",
    "whisper_bpe_decode": "(std::string const&)",
    "do_post_process": "(long, whisper_vocab)",
    "whisper_asr_create": "(char const*, char const*, char const*, char const*, int)",
    "whisper_asr_recognize": "(whisper_asr_engine*, short const*, unsigned long, char const*, "
                             "char const*, std::string&, std::string&)",
    "whisper_asr_destroy": "(whisper_asr_engine*)",
}
STD_STRING = "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >"


class TestExportedSymbols:
    def test_exactly_the_interface(self, libfenn_path):
        names = exported_symbols(libfenn_path)
        c_names = {n for n in names if "(" not in n}
        cpp_names = {n for n in names if "(" in n}
        assert c_names == C_INTERFACE
        # C++ names: the function's own name (without any ABI tag) and its
        # argument list, each exported once.
        signatures = {}
        for name in cpp_names:
            base, args = name.replace(STD_STRING, "std::string").split("(", 1)
            signatures[re.sub(r"\[abi:[^\]]*\]$", "", base)] = "(" + args
        assert len(signatures) == len(cpp_names)
        assert signatures == CPP_INTERFACE

    def test_no_dependency_leaks(self, libfenn_path):
        for name in exported_symbols(libfenn_path):
            lowered = name.lower()
            assert "knf" not in lowered and "kiss" not in lowered, name
            assert not name.startswith("std::"), name
