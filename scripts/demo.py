"""The demo's Python half: speech to text with SenseVoice and Whisper, and one
streamed LLM generation, all on the simulated runtimes.

Run by scripts/demo inside a virtual environment where the package is
installed. The simulated NPU does not listen to the audio: each demo network
plays the token sequence written into its model description, and everything
around it (WAV reading, features, quantisation, decoding, the C interface,
the Python classes) is the real code.
"""
import json
import os
import pathlib
import struct
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from npurt_model import sensevoice_model, whisper_decoder_model, whisper_encoder_model  # noqa: E402
from wavgen import write_speech_wav  # noqa: E402
from lumo_script import Script  # noqa: E402

from zorllm_openai_server.zor_lumo import _fenn  # noqa: E402

PKG = pathlib.Path(_fenn.__file__).resolve().parent
WORK = ROOT / "build" / "demo"
SENTENCE = "Hello from the board."
WHISPER_ASSETS = "20250625"


def banner(text):
    print(f"\n--- {text} ---", flush=True)


def expect(what, got, wanted):
    """The simulated runtimes play back known results: anything else is a
    fault, and the demo fails (the fresh-clone CI stage relies on it)."""
    if got != wanted:
        sys.exit(f"demo: {what} gave {got!r}, expected {wanted!r}")


def run_fenn_cli(*args):
    """Runs the installed `fenn` program on one file; returns its JSON line."""
    cmd = [str(pathlib.Path(sys.executable).with_name("fenn")), *map(str, args)]
    print("$", " ".join(cmd[0:1] + [a if len(a) < 60 else "..." + a[-40:] for a in cmd[1:]]),
          flush=True)
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True).stdout
    print(out, end="", flush=True)
    return json.loads(out)


def sensevoice(wav):
    tokens = {"<blk>": 0, "<|en|>": 1, "<|NEUTRAL|>": 2, "<|Speech|>": 3, "<|woitn|>": 4,
              "\u2581hello": 10, "\u2581from": 11, "\u2581the": 12, "\u2581board": 13}
    token_file = WORK / "sensevoice_tokens.txt"
    token_file.write_text("".join(f"{t} {i}\n" for t, i in tokens.items()), encoding="utf-8")
    model = sensevoice_model(WORK / "sensevoice.model", tokens=[1, 2, 3, 4, 10, 11, 12, 13])

    expected = {"text": "hello from the board", "language": "en"}
    banner("SenseVoice with the fenn program")
    out = run_fenn_cli("--backend", "sensevoice", "--model", model, "--tokens", token_file, wav)
    expect("fenn --backend sensevoice", {k: out[k] for k in expected}, expected)

    banner("SenseVoice through Fenn")
    fenn = _fenn.Fenn()
    fenn.init("sensevoice", str(model), str(token_file))
    result = fenn.transcribe(str(wav))
    print(result)
    expect("Fenn with SenseVoice", result, expected)
    fenn.close()


def whisper_vocab_ids(tokenizer_info, texts):
    """Ids of the given BPE texts, read back from tokenizer_info.bin."""
    data = tokenizer_info.read_bytes()
    (count,), pos, ids = struct.unpack_from("<i", data), 4, {}
    for i in range(count):
        (length,) = struct.unpack_from("<I", data, pos)
        pos += 4
        if i == 50257:
            continue
        ids[data[pos:pos + length].decode("utf-8")] = i
        pos += length
    return [ids[t] for t in texts]


def whisper(wav):
    cache = pathlib.Path(os.environ.get("ZOR_DOWNLOAD_CACHE", ROOT / ".cache"))
    # The vocabulary comes from one pinned release of the package's assets.
    archives = sorted(cache.glob(f"openai_whisper-{WHISPER_ASSETS}*"))
    if not archives:
        subprocess.run([sys.executable, "-m", "pip", "download", "--quiet", "--no-deps",
                        f"openai-whisper=={WHISPER_ASSETS}", "-d", str(cache)], check=True)
        archives = sorted(cache.glob(f"openai_whisper-{WHISPER_ASSETS}*"))
    assets = WORK / "whisper"
    assets.mkdir(exist_ok=True)
    subprocess.run([sys.executable, str(ROOT / "tools" / "make_mel_filters.py"),
                    "-o", str(assets / "data.bin")], check=True)
    subprocess.run([sys.executable, str(ROOT / "tools" / "make_tokenizer_info.py"),
                    str(archives[-1]), "-o", str(assets / "tokenizer_info.bin")], check=True)
    words = whisper_vocab_ids(assets / "tokenizer_info.bin",
                              ["\u0120Hello", "\u0120from", "\u0120the", "\u0120board", "."])
    encoder = whisper_encoder_model(WORK / "whisper_encoder.model")
    decoder = whisper_decoder_model(WORK / "whisper_decoder.model", tokens=words,
                                    language_token=50259)

    expected = {"text": " Hello from the board.", "language": "en"}
    banner("Whisper with the fenn program (language detected)")
    out = run_fenn_cli("--backend", "whisper", "--model", encoder, "--decoder", decoder,
                       "--tokens", assets, "--extra", json.dumps({"n_threads": 2}), wav)
    expect("fenn --backend whisper", {k: out[k] for k in expected}, expected)

    banner("Whisper through Fenn")
    fenn = _fenn.Fenn()
    fenn.init("whisper", str(encoder), str(assets), str(decoder), '{"n_threads": 2}')
    result = fenn.transcribe(str(wav), language="en")
    print(result)
    expect("Fenn with Whisper", result, expected)
    fenn.close()


def llm():
    from zorllm_openai_server.zor_lumo._lumo import LUMO

    script = Script()
    run = script.run(thread="worker", delay_ms=60)
    run.reasoning("The user greets the board; ")
    pieces = ["Hello", "!", " I", " run", " on", " the", " board", "'s", " NPU", "."]
    for piece in pieces:
        run.text(piece)
    run.end()
    model = script.write(WORK / "llm_script.json")

    banner("LLM generation streamed through LUMO")
    lumo = LUMO()

    def on_token(result, userdata, status):
        print(result.text.decode("utf-8", "replace"), end="", flush=True)

    print("init:", repr(lumo.init(str(model), on_token=on_token)))
    result = lumo.run("Say hello.")
    print()
    print(result)
    expect("LUMO.run", result["text"], "".join(pieces))
    lumo.uninit()


def main():
    WORK.mkdir(parents=True, exist_ok=True)
    print("NOTE: the NPU and the LLM runtime are SIMULATED on this host. The demo")
    print("networks play scripted token sequences; the code around them is real.")
    wav = write_speech_wav(WORK / "hello.wav", SENTENCE)
    print(f"wrote {wav} ({SENTENCE!r} spoken by espeak-ng, 16 kHz PCM16)")
    sensevoice(wav)
    whisper(wav)
    llm()


if __name__ == "__main__":
    main()
