"""WAV files for tests: well-formed ones in every header variant, broken and
lying ones, and speech synthesised with espeak-ng."""
import pathlib
import shutil
import struct
import subprocess
import tempfile

import numpy as np


def wav_bytes(samples=(), rate=16000, channels=1, bits=16, audio_format=1,
              fmt_size=16, fmt_extension=b"", extra_chunks=(), data_size=None, data=None,
              riff=b"RIFF", wave=b"WAVE") -> bytes:
    """A RIFF/WAVE image. samples are interleaved int16 values; data replaces
    them with raw bytes; data_size overrides the declared data chunk size;
    extra_chunks is a sequence of (id, body) placed before the data chunk,
    each padded to even length as RIFF requires; fmt_size > 16 extends the
    format chunk with fmt_extension, then zeros."""
    body = data if data is not None else np.asarray(samples, dtype="<i2").tobytes()
    block_align = channels * bits // 8
    fmt = struct.pack("<HHIIHH", audio_format, channels, rate, rate * block_align,
                      block_align, bits)
    fmt += fmt_extension[:max(0, fmt_size - 16)].ljust(max(0, fmt_size - 16), b"\0")
    chunks = b"fmt " + struct.pack("<I", fmt_size) + fmt + b"\0" * (fmt_size % 2)
    for cid, cbody in extra_chunks:
        chunks += cid + struct.pack("<I", len(cbody)) + cbody + b"\0" * (len(cbody) % 2)
    size = len(body) if data_size is None else data_size
    chunks += b"data" + struct.pack("<I", size) + body
    return riff + struct.pack("<I", 4 + len(chunks)) + wave + chunks


def extensible_pcm16(channels=2) -> dict:
    """wav_bytes arguments for WAVE_FORMAT_EXTENSIBLE with an integer PCM
    sub-format in 16-bit containers (40-byte format chunk)."""
    guid = struct.pack("<H", 1) + bytes.fromhex("000000001000800000aa00389b71")
    mask = (1 << channels) - 1
    return dict(audio_format=0xFFFE, channels=channels, fmt_size=40,
                fmt_extension=struct.pack("<HHI", 22, 16, mask) + guid)


def write_wav(path, samples=(), **kwargs) -> pathlib.Path:
    path = pathlib.Path(path)
    path.write_bytes(wav_bytes(samples, **kwargs))
    return path


def tone(seconds=1.0, rate=16000, freq=440.0, amplitude=0.3) -> np.ndarray:
    t = np.arange(int(seconds * rate)) / rate
    return np.round(amplitude * 32767 * np.sin(2 * np.pi * freq * t)).astype(np.int16)


def have_espeak() -> bool:
    return shutil.which("espeak-ng") is not None


def speech(text: str, rate=16000) -> np.ndarray:
    """text spoken by espeak-ng, resampled to rate, as int16 mono."""
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "speech.wav"
        subprocess.run(["espeak-ng", "-w", str(out), text], check=True, capture_output=True)
        raw = out.read_bytes()
    # espeak-ng writes a canonical 44-byte header, mono PCM16.
    src_rate = struct.unpack_from("<I", raw, 24)[0]
    pcm = np.frombuffer(raw[44:], dtype="<i2").astype(np.float64)
    if src_rate != rate:
        n_out = int(len(pcm) * rate / src_rate)
        pcm = np.interp(np.arange(n_out) * src_rate / rate, np.arange(len(pcm)), pcm)
    return np.clip(np.round(pcm), -32768, 32767).astype(np.int16)


def write_speech_wav(path, text: str, rate=16000) -> pathlib.Path:
    return write_wav(path, speech(text, rate), rate=rate)
