"""Fenn must not leak: many successful and failing calls keep resident
memory, the number of live Python objects and the reference counts of the
arguments flat. Each run is a fresh interpreter, so its library state and
its memory are its own."""
import textwrap

import pytest

from conftest import build_shared_library, run_python
from npurt_model import sensevoice_model
from test_fenn import FAKE_FENN_SOURCE
from wavgen import tone, write_wav

# Measures a callable's cost in memory and objects over many calls, after a
# warm-up that lets allocator pools and caches settle.
MEASURE = textwrap.dedent("""\
    import gc, os, sys
    from zorllm_openai_server.zor_lumo._fenn import Fenn

    def rss_kib():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

    def flat(name, call, args, n=10_000, rss_tolerance_kib=4096, warmup=500):
        for _ in range(warmup):
            call()
        gc.collect()
        refs = [sys.getrefcount(a) for a in args]
        objects = len(gc.get_objects())
        rss = rss_kib()
        for _ in range(n):
            call()
        gc.collect()
        grown_rss = rss_kib() - rss
        grown_objects = len(gc.get_objects()) - objects
        print(f"{name}: {n} calls, rss {grown_rss:+d} KiB, objects {grown_objects:+d}")
        assert [sys.getrefcount(a) for a in args] == refs, name
        assert abs(grown_objects) < 50, (name, grown_objects)
        assert grown_rss < rss_tolerance_kib, (name, grown_rss)

    def expect(exc, fn, *args):
        def call():
            try:
                fn(*args)
            except exc:
                return
            raise AssertionError(f"{fn} did not raise {exc.__name__}")
        return call
    """)


@pytest.mark.slow
def test_fake_library_calls_leak_nothing(tmp_path):
    lib = build_shared_library(tmp_path, "fake_fenn", FAKE_FENN_SOURCE)
    # Long texts, so a lost copy per call (4 KB x 10,000) stands far above
    # the tolerance.
    good = tmp_path / "good.wav"
    good.write_bytes(b"a" * 4000 + b"\nen")
    undecodable = tmp_path / "bad.wav"
    undecodable.write_bytes(b"\xff" * 4000 + b"\nen")
    failing = tmp_path / "fail.wav"
    failing.write_bytes(b"FAIL")
    proc = run_python(MEASURE + textwrap.dedent(f"""\
        f = Fenn({str(lib)!r})
        f.init("sensevoice", "m", "t")
        good, bad, failing = {str(good)!r}, {str(undecodable)!r}, {str(failing)!r}
        language, task, extra = "en", "transcribe", '{{"use_itn": 1}}'
        flat("transcribe", lambda: f.transcribe(good, language, task), [good, language, task])
        flat("failing transcribe", expect(RuntimeError, f.transcribe, failing), [failing])
        flat("undecodable result", expect(UnicodeDecodeError, f.transcribe, bad), [bad])
        flat("bad argument", expect(TypeError, f.transcribe, good, 3.5), [good])
        flat("re-init", lambda: f.init("whisper", "m", "t", "d", extra), [extra])
        flat("new objects", lambda: Fenn().init("sensevoice", "m", "t"), [])
        g = Fenn()
        flat("uninitialised", expect(RuntimeError, g.transcribe, good), [good])
        """), env={"ZOR_FENN_PATH": ""}, timeout=600)
    print(proc.stdout)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.mark.slow
def test_simulated_npu_calls_leak_nothing(tmp_path, libfenn_path, sim_npurt_path):
    model = sensevoice_model(tmp_path / "sv.model", tokens=[1000, 5, 6], vocab=1024, frames=16)
    tokens = tmp_path / "tokens.txt"
    tokens.write_text("<blk> 0\n<|en|> 1000\n\u2581hi 5\n\u2581there 6\n", encoding="utf-8")
    wav = write_wav(tmp_path / "tone.wav", tone(0.2))
    proc = run_python(MEASURE + textwrap.dedent(f"""\
        f = Fenn({str(libfenn_path)!r})
        f.init("sensevoice", {str(model)!r}, {str(tokens)!r})
        wav, missing = {str(wav)!r}, {str(tmp_path / 'missing.wav')!r}
        assert f.transcribe(wav) == {{"text": "hi there", "language": "en"}}
        flat("transcribe", lambda: f.transcribe(wav), [wav], rss_tolerance_kib=8192)
        flat("failing transcribe", expect(RuntimeError, f.transcribe, missing), [missing],
             rss_tolerance_kib=8192)
        """), env={"ZOR_NPURT_PATH": str(sim_npurt_path)}, timeout=900)
    print(proc.stdout)
    assert proc.returncode == 0, proc.stdout + proc.stderr[-4000:]
