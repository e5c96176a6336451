"""The data tools for the Whisper engine (tools/make_mel_filters.py,
tools/make_tokenizer_info.py), checked against the reference data that the
openai-whisper package ships, and the files they write read back through
libfenn's own vocabulary reader and BPE decoder."""
import ctypes
import os
import pathlib
import random
import struct
import subprocess
import sys

import numpy as np
import pytest

from conftest import REPO_ROOT, build_shared_library

TOOLS = REPO_ROOT / "tools"
sys.path.insert(0, str(TOOLS))
import make_mel_filters  # noqa: E402
import make_tokenizer_info  # noqa: E402

WHISPER_RELEASE = "20250625"


@pytest.fixture(scope="session")
def whisper_sdist(tmp_path_factory) -> pathlib.Path:
    """The openai-whisper source distribution, fetched with pip (data files
    only are read from it)."""
    cache = os.environ.get("ZOR_DOWNLOAD_CACHE")
    folder = pathlib.Path(cache) / "openai-whisper" if cache else tmp_path_factory.mktemp("openai-whisper")
    folder.mkdir(parents=True, exist_ok=True)
    # One release, so that a new one cannot change the reference data.
    pattern = f"openai[_-]whisper-{WHISPER_RELEASE}.*"
    found = sorted(folder.glob(pattern))
    if not found:
        proc = subprocess.run([sys.executable, "-m", "pip", "download", "--quiet", "--no-deps",
                               f"openai-whisper=={WHISPER_RELEASE}", "-d", str(folder)],
                              capture_output=True, text=True, timeout=600)
        found = sorted(folder.glob(pattern))
        if proc.returncode != 0 or not found:
            last = proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else "no output"
            pytest.skip(f"PyPI unreachable: pip download openai-whisper failed: {last}")
    return found[-1]


def run_tool(name, *args):
    return subprocess.run([sys.executable, str(TOOLS / name), *map(str, args)],
                          capture_output=True, text=True, timeout=300)


# A small library that hands libfenn's C++ entry points to ctypes.
HELPER_SOURCE = r'''
#include <cstring>
#include <stdexcept>
#include <string>
#include "whisper/whisper_vocab.h"

extern "C" size_t helper_bpe_decode(const char* in, size_t n, char* out, size_t cap) {
  const std::string r = whisper_bpe_decode(std::string(in, n));
  if (r.size() <= cap) std::memcpy(out, r.data(), r.size());
  return r.size();
}

// Number of ids the vocabulary knows; the decoded text of each id in ids
// goes to out, separated by NUL bytes; an unknown id gives "?". Built
// against the reader's exported signature (path only).
extern "C" int helper_read_vocab(const char* path, const long long* ids, int n_ids,
                                 char* out, size_t cap) {
  const whisper_vocab v = read_token_info(std::string(path));
  std::string all;
  for (int i = 0; i < n_ids; ++i) {
    try {
      all += do_post_process(ids[i], v);
    } catch (const std::out_of_range&) {
      all += "?";
    }
    all.push_back('\0');
  }
  if (all.size() <= cap) std::memcpy(out, all.data(), all.size());
  return static_cast<int>(v.text_by_id.size());
}
'''


@pytest.fixture(scope="session")
def vocab_helper(tmp_path_factory, libfenn_path):
    out = tmp_path_factory.mktemp("vocab_helper")
    lib = build_shared_library(
        out, "vocab_helper", HELPER_SOURCE, language="c++",
        flags=("-std=c++17", f"-I{REPO_ROOT / 'asr'}", str(libfenn_path),
               f"-Wl,-rpath,{libfenn_path.parent}"))
    helper = ctypes.CDLL(str(lib))
    helper.helper_bpe_decode.restype = ctypes.c_size_t
    helper.helper_bpe_decode.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p,
                                         ctypes.c_size_t]
    helper.helper_read_vocab.restype = ctypes.c_int
    helper.helper_read_vocab.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_longlong),
                                         ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t]
    return helper


def bpe_decode(helper, text: bytes) -> bytes:
    cap = len(text) + 16
    buf = ctypes.create_string_buffer(cap)
    n = helper.helper_bpe_decode(text, len(text), buf, cap)
    assert n <= cap
    return buf.raw[:n]


def read_vocab_file(path: pathlib.Path):
    data = path.read_bytes()
    (count,) = struct.unpack_from("<i", data)
    pos, texts = 4, []
    for _ in range(count):
        (length,) = struct.unpack_from("<I", data, pos)
        texts.append(data[pos + 4:pos + 4 + length])
        pos += 4 + length
    assert pos == len(data)
    return texts


class TestMelFilters:
    def test_computed_filters_match_the_shipped_ones(self, whisper_sdist):
        shipped = make_mel_filters.shipped_mel_filters(whisper_sdist)
        computed = make_mel_filters.compute_mel_filters()
        assert shipped.shape == computed.shape == (128, 201)
        assert np.abs(shipped - computed).max() <= 1e-6

    def test_cli_writes_the_raw_little_endian_bank(self, whisper_sdist, tmp_path):
        from_asset = tmp_path / "asset" / "data.bin"
        computed = tmp_path / "computed.bin"
        for args, out in (((f"--asset={whisper_sdist}",), from_asset), ((), computed)):
            proc = run_tool("make_mel_filters.py", *args, "-o", out)
            assert proc.returncode == 0, proc.stderr
            assert out.stat().st_size == 128 * 201 * 4
        shipped = make_mel_filters.shipped_mel_filters(whisper_sdist)
        written = np.frombuffer(from_asset.read_bytes(), dtype="<f4").reshape(128, 201)
        assert np.array_equal(written, shipped)  # row-major by mel bin, unchanged
        assert np.abs(np.frombuffer(computed.read_bytes(), dtype="<f4") - shipped.ravel()).max() <= 1e-6

    def test_cli_help_and_bad_asset(self, tmp_path):
        proc = run_tool("make_mel_filters.py", "--help")
        assert proc.returncode == 0 and "data.bin" in proc.stdout
        bogus = tmp_path / "bogus.tar.gz"
        # The archive must not lie inside the folder being archived: tar then
        # sees the folder change while it reads it and exits 1.
        content = tmp_path / "content"
        content.mkdir()
        subprocess.run(["tar", "czf", str(bogus), "-C", str(content), "."], check=True)
        proc = run_tool("make_mel_filters.py", "--asset", bogus, "-o", tmp_path / "x.bin")
        assert proc.returncode != 0 and "mel_filters.npz" in proc.stderr
        assert not (tmp_path / "x.bin").exists()


@pytest.fixture(scope="module")
def vocab(whisper_sdist, tmp_path_factory):
    """tokenizer_info.bin written by the tool, and the vocabulary it came from."""
    out = tmp_path_factory.mktemp("vocab") / "tokenizer_info.bin"
    proc = run_tool("make_tokenizer_info.py", whisper_sdist, "-o", out)
    assert proc.returncode == 0, proc.stderr
    raw = make_tokenizer_info.parse_tiktoken(make_tokenizer_info.read_tiktoken_text(whisper_sdist))
    return out, raw


class TestTokenizerInfo:
    def test_file_layout(self, vocab):
        path, raw = vocab
        texts = read_vocab_file(path)
        assert len(raw) == 50257
        assert len(texts) == 50258  # the end-of-text entry is appended, empty
        assert texts[50257] == b""
        assert texts[220] == "Ġ".encode()  # a lone space
        for token, text in zip(raw, texts):
            assert text == make_tokenizer_info.bpe_text(token)

    def test_library_reads_the_file(self, vocab, vocab_helper):
        path, raw = vocab
        ids = [0, 220, 1000, 50256, 50257, 50259, 50364, 51865, 51866]
        arr = (ctypes.c_longlong * len(ids))(*ids)
        cap = 4096
        buf = ctypes.create_string_buffer(cap)
        known = vocab_helper.helper_read_vocab(str(path).encode(), arr, len(ids), buf, cap)
        assert known == 51866  # ids 0..50256 from the file, 50257..51865 generated
        got = buf.raw.split(b"\0")[:len(ids)]
        assert got[:4] == [raw[0], raw[220], raw[1000], raw[50256]]
        assert got[4:] == [b"<|endoftext|>", b"<|en|>", b"<|notimestamps|>", b"[_TT_1500]", b"?"]

    def test_every_token_and_random_sequences_round_trip(self, vocab, vocab_helper):
        path, raw = vocab
        texts = read_vocab_file(path)
        for token_id, (token, text) in enumerate(zip(raw, texts)):
            assert bpe_decode(vocab_helper, text) == token, token_id
        rng = random.Random(1234)
        for _ in range(5000):
            ids = [rng.randrange(len(raw)) for _ in range(rng.randint(1, 24))]
            joined = b"".join(texts[i] for i in ids)
            assert bpe_decode(vocab_helper, joined) == b"".join(raw[i] for i in ids), ids

    def test_scripts_and_emoji_round_trip(self, vocab_helper):
        for sample in ["Hello, world", "Grüße aus Köln", "日本語のテキスト", "Привет", "مرحبا",
                       "👩‍👩‍👧 🎉", "\x00\x7f\n\t ", "नमस्ते"]:
            data = sample.encode()
            assert bpe_decode(vocab_helper, make_tokenizer_info.bpe_text(data)) == data

    def test_gaps_in_ranks_are_refused(self, tmp_path):
        src = tmp_path / "gappy.tiktoken"
        src.write_text("YQ== 0\nYg== 2\n")
        proc = run_tool("make_tokenizer_info.py", src, "-o", tmp_path / "out.bin")
        assert proc.returncode != 0 and "gaps" in proc.stderr
        # A repeated rank would silently drop a token even when the ranks
        # still run 0..n-1.
        twice = tmp_path / "twice.tiktoken"
        twice.write_text("YQ== 0\nYg== 1\nYw== 1\nZA== 2\n")
        proc = run_tool("make_tokenizer_info.py", twice, "-o", tmp_path / "twice.bin")
        assert proc.returncode != 0 and "line 3: rank 1 appears twice" in proc.stderr
        assert not (tmp_path / "twice.bin").exists()
        small = tmp_path / "small.tiktoken"
        small.write_text("YQ== 0\nIGI= 1\n")
        proc = run_tool("make_tokenizer_info.py", small, "-o", tmp_path / "small.bin")
        assert proc.returncode == 0, proc.stderr
        assert read_vocab_file(tmp_path / "small.bin") == [b"a", "Ġb".encode()]
        assert run_tool("make_tokenizer_info.py", "--help").returncode == 0
