"""Model description files for the simulated NPU runtime, and a ctypes view
of its inspection interface (see sim/npurt/README.md for the format).

    from npurt_model import sensevoice_model, SimNpurt
    path = sensevoice_model(tmp_path / "sv.model", tokens=[24884, 25004, 25016, 25017, 100])
    sim = SimNpurt(sim_npurt_path)     # the same file ZOR_NPURT_PATH names
    sim.reset(); ...; sim.record("speech")
"""
import ctypes
import math
import pathlib
import re
import struct


def _network_constants() -> dict:
    """The SenseVoice network's constants, read from their one definition."""
    header = pathlib.Path(__file__).resolve().parent.parent / "asr/npu/sense_voice_network.h"
    values = {}
    for name, expr in re.findall(r"constexpr int (k\w+) = ([^;]+);", header.read_text()):
        values[name] = math.prod(int(values.get(w.strip(), w)) for w in expr.split("*"))
    return values


_NETWORK = _network_constants()
SPEECH_DIM = _NETWORK["kSenseVoiceFeatureDim"]
DEFAULT_FRAMES = _NETWORK["kSenseVoiceDefaultFrames"]
WHISPER_VOCAB = 51866
WINDOW = 48


def tensor(name=None, dims=(), type="FP32", zp=None, scale=None, n_elems=None, size=None,
           role=None, n_dims=None) -> str:
    """One tensor's key=value words; None leaves a key to its default."""
    words = []
    if name is not None:
        words.append(f"name={name}")
    words.append("dims=" + ",".join(str(int(d)) for d in dims))
    words.append(f"type={type}")
    for key, value in (("zp", zp), ("scale", scale), ("n_elems", n_elems), ("size", size),
                       ("role", role), ("n_dims", n_dims)):
        if value is not None:
            words.append(f"{key}={value}")
    return " ".join(words)


def _calls(calls) -> str:
    return str(calls)


def write_model(path, behaviour, inputs=(), output=None, vocab=None, layout=None, tokens=None,
                translate_tokens=None, language_token=None, never_end=False, n_outputs=None,
                fail=None, init_null_handle=False, output_fault=None, output_bytes=None,
                query_fault=None, output_extra_frames=None, token_frames=None,
                timestamp_tokens=None, extra_lines=()) -> pathlib.Path:
    """Writes a description. inputs: tensor() strings; fail: {function: calls or
    [calls]} with calls "all", N or "N+"; output_fault: kind or (kind, calls);
    query_fault: {kind: calls} with kind "IN_OUT_NUM", "INPUT_ATTR" or "OUTPUT_ATTR";
    token_frames: per token a frame or a (first, last) run; timestamp_tokens: a
    list of scripts, one per decoding."""
    lines = [f"behaviour {behaviour}"]
    lines += [f"input {t}" for t in inputs]
    if output is not None:
        lines.append(f"output {output}")
    if n_outputs is not None:
        lines.append(f"n_outputs {int(n_outputs)}")
    if vocab is not None:
        lines.append(f"vocab {int(vocab)}")
    if layout is not None:
        lines.append(f"layout {layout}")
    if tokens is not None:
        lines.append("tokens " + " ".join(str(int(t)) for t in tokens))
    if translate_tokens is not None:
        lines.append("translate_tokens " + " ".join(str(int(t)) for t in translate_tokens))
    if token_frames is not None:
        lines.append("token_frames " + " ".join(
            f"{f[0]}-{f[1]}" if isinstance(f, (tuple, list)) else str(int(f))
            for f in token_frames))
    for script in timestamp_tokens or ():
        lines.append("timestamp_tokens " + " ".join(str(int(t)) for t in script))
    if language_token is not None:
        lines.append(f"language_token {int(language_token)}")
    if never_end:
        lines.append("never_end 1")
    if init_null_handle:
        lines.append("init_null_handle 1")
    for function, which in (fail or {}).items():
        for calls in (which if isinstance(which, (list, tuple)) else [which]):
            lines.append(f"fail {function} {_calls(calls)}")
    if output_fault is not None:
        kind, calls = (output_fault, "all") if isinstance(output_fault, str) else output_fault
        lines.append(f"output_fault {kind} {_calls(calls)}")
    if output_bytes is not None:
        lines.append(f"output_bytes {int(output_bytes)}")
    for kind, calls in (query_fault or {}).items():
        lines.append(f"query_fault {kind} {_calls(calls)}")
    if output_extra_frames is not None:
        lines.append(f"output_extra_frames {int(output_extra_frames)}")
    lines += list(extra_lines)
    path = pathlib.Path(path)
    path.write_text("\n".join(lines) + "\n")
    return path


def sensevoice_inputs(frames=DEFAULT_FRAMES, speech_type="FP32", scale=None, zp=None,
                      id_names=("input_1", "input_2")) -> list:
    """The three inputs of a SenseVoice network: speech [1,frames,560], then
    the language and text-normalisation ids as int32 scalars."""
    return [
        tensor("speech", (1, frames, SPEECH_DIM), speech_type, zp=zp, scale=scale, role="speech"),
        tensor(id_names[0], (1,), "INT32", role="language"),
        tensor(id_names[1], (1,), "INT32", role="text_norm"),
    ]


def sensevoice_model(path, tokens=(), vocab=1024, frames=DEFAULT_FRAMES, layout="frame_major",
                     speech_type="FP32", scale=None, zp=None, **kwargs) -> pathlib.Path:
    """A SenseVoice network whose CTC path spells tokens (include the four
    leading tags). Small vocab keeps tests fast; it must exceed 1000."""
    return write_model(path, "sensevoice",
                       sensevoice_inputs(frames, speech_type, scale, zp),
                       vocab=vocab, layout=layout, tokens=tokens, **kwargs)


def whisper_encoder_model(path, feature_dims=(1, 1500, 16), **kwargs) -> pathlib.Path:
    return write_model(path, "whisper_encoder",
                       [tensor("mel", (1, 128, 3000), "FP32", role="features")],
                       output=tensor("audio_features", feature_dims, "FP32"), **kwargs)


def whisper_decoder_model(path, tokens=(), language_token=50259, tokens_first=True,
                          feature_dims=(1, 1500, 16), logits_type="FP32",
                          **kwargs) -> pathlib.Path:
    """A decoder answering language_token for detection and then tokens,
    ending with 50257. tokens_first puts the token window at input 0."""
    window = tensor("tokens", (1, WINDOW), "INT64")
    features = tensor("audio_features", feature_dims, "FP32")
    inputs = [window, features] if tokens_first else [features, window]
    return write_model(path, "whisper_decoder", inputs,
                       output=tensor("logits", (1, WINDOW, WHISPER_VOCAB), logits_type),
                       tokens=tokens, language_token=language_token, **kwargs)


class SimNpurt:
    """The simulated runtime's inspection interface. Load the same path that
    ZOR_NPURT_PATH names, so the instance is the one libfenn uses."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(str(path))
        self.lib.zornn_sim_reset.restype = None
        self.lib.zornn_sim_count.restype = ctypes.c_int64
        self.lib.zornn_sim_count.argtypes = [ctypes.c_char_p]
        self.lib.zornn_sim_record.restype = ctypes.c_int64
        self.lib.zornn_sim_record.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int64]

    def reset(self):
        self.lib.zornn_sim_reset()

    def count(self, name: str) -> int:
        return self.lib.zornn_sim_count(name.encode())

    def record(self, name: str):
        """The record's bytes, or None when there is none."""
        n = self.lib.zornn_sim_record(name.encode(), None, 0)
        if n < 0:
            return None
        buf = ctypes.create_string_buffer(max(n, 1))
        self.lib.zornn_sim_record(name.encode(), buf, n)
        return buf.raw[:n]

    def calls(self) -> list:
        return (self.record("calls") or b"").decode().split()

    def int32s(self, name: str) -> list:
        data = self.record(name) or b""
        return list(struct.unpack(f"<{len(data) // 4}i", data[:len(data) // 4 * 4]))

    def decoder_windows(self) -> list:
        data = self.record("decoder_windows") or b""
        return [list(struct.unpack_from(f"<{WINDOW}q", data, off))
                for off in range(0, len(data), WINDOW * 8)]
