"""The front door of libfenn through its C interface, with stand-in engines.

The engines' entry points are exported from libfenn and called through the
dynamic linker, so a library preloaded with LD_PRELOAD can stand in for them.
The stand-ins log every call with its arguments on stderr, and return what
the scenario asks for (FAKE_SV, FAKE_WLANG), which lets these tests see the
settings the front door derives and feed it engine results that the real
engines never produce. Each scenario runs in a fresh interpreter."""
import json
import pathlib
import textwrap

import pytest

from conftest import EMULATED, REPO_ROOT, build_shared_library, run_python
from wavgen import write_wav

TESTS_DIR = pathlib.Path(__file__).resolve().parent

FAKE_ENGINES = r"""
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include "api/asr_engines.h"

static char* dup(const char* s) { return s ? strdup(s) : nullptr; }
static const char* shown(const char* s) { return s ? s : "<null>"; }
static const char* mode() { const char* m = getenv("FAKE_SV"); return m ? m : "ok"; }
static int handle;

extern "C" {
sense_voice_engine* sense_voice_create(const sense_voice_config* c) {
  fprintf(stderr, "fake sense_voice_create model=%s tokenizer=%s use_itn=%d swap=%d "
          "max_frames=%d extra=%d pad_mode=[%s] textnorm=%s\n", shown(c->model_path),
          shown(c->tokenizer_path), c->use_itn, c->swap_int_inputs, c->max_frames,
          c->decode_extra_frames, shown(c->pad_mode), shown(c->textnorm));
  if (strcmp(c->model_path, "fail") == 0) return nullptr;
  return reinterpret_cast<sense_voice_engine*>(&handle);
}
int sense_voice_recognize(sense_voice_engine*, const int16_t* s, size_t n, const char* lang,
                          sense_voice_result* out) {
  fprintf(stderr, "fake sense_voice_recognize n=%zu first=%d language=%s\n", n,
          n ? s[0] : 0, shown(lang));
  const char* m = mode();
  out->emotion = dup("HAPPY");
  if (strcmp(m, "fail") == 0) return -1;
  out->text = strcmp(m, "nulltext") == 0 ? nullptr : dup("hello there");
  out->language = strcmp(m, "nulllang") == 0 ? nullptr : dup("en");
  return 0;
}
void sense_voice_free_result(sense_voice_result* r) {
  fprintf(stderr, "fake sense_voice_free_result\n");
  free(r->language); free(r->emotion); free(r->event); free(r->textnorm); free(r->text);
  memset(r, 0, sizeof *r);
}
void sense_voice_destroy(sense_voice_engine*) { fprintf(stderr, "fake sense_voice_destroy\n"); }
}
whisper_asr_engine* whisper_asr_create(const char* enc, const char* dec, const char* tok,
                                       const char* mel, int n_threads) {
  fprintf(stderr, "fake whisper_asr_create encoder=%s decoder=%s tokenizer=%s mel=%s "
          "threads=%d\n", enc, dec, tok, mel, n_threads);
  return reinterpret_cast<whisper_asr_engine*>(&handle);
}
void whisper_asr_destroy(whisper_asr_engine*) { fprintf(stderr, "fake whisper_asr_destroy\n"); }
int whisper_asr_recognize(whisper_asr_engine*, const int16_t*, size_t n, const char* lang,
                          const char* task, std::string& text, std::string& language) {
  fprintf(stderr, "fake whisper_asr_recognize n=%zu language=%s task=%s empty_outputs=%d\n",
          n, shown(lang), shown(task), int(text.empty() && language.empty()));
  const char* w = getenv("FAKE_WFAIL");
  if (w && strcmp(w, "fail") == 0) return -1;
  if (w && strcmp(w, "throw") == 0) throw std::runtime_error("engine exploded");
  if (w && strcmp(w, "huge") == 0) {  // a text the front door cannot copy under the limit
    text.assign(strtoul(getenv("FAKE_WHUGE"), nullptr, 10), 'x');
    language = "de";
    return 0;
  }
  text = "whisper text";
  const char* l = getenv("FAKE_WLANG");
  language = l ? l : "de";
  return 0;
}
"""

PRELUDE = """
import ctypes, json, sys
sys.path.insert(0, {tests!r})
from test_libfenn_abi import InitConfig, Input, Result, load_libfenn
lib = load_libfenn({lib!r})

def init(model_type, model=None, decoder=None, tokenizer=None, extra=None):
    enc = lambda s: None if s is None else s.encode()
    cfg = InitConfig(model_type=model_type, model_path=enc(model), decoder_path=enc(decoder),
                     tokenizer_path=enc(tokenizer), extra_json=enc(extra))
    ctx = ctypes.c_void_p()
    rc = lib.zor_asr_init(ctypes.byref(ctx), ctypes.byref(cfg))
    return rc, ctx

pcm = (ctypes.c_int16 * 1600)(*range(7, 1607))

def transcribe(ctx, language=None, task=None, rate=0, audio_type=1, path=None):
    enc = lambda s: None if s is None else s.encode()
    inp = Input(audio_type=audio_type, pcm=ctypes.cast(pcm, ctypes.POINTER(ctypes.c_int16)),
                num_samples=len(pcm), sample_rate=rate, language=enc(language), task=enc(task),
                file_path=enc(path))
    res = Result()
    ctypes.memset(ctypes.byref(res), 0x5A, ctypes.sizeof(res))
    rc = lib.zor_asr_transcribe(ctx, ctypes.byref(inp), ctypes.byref(res))
    dec = lambda p: None if p is None else p.decode()
    zeroed = bytes(res)[16:] == bytes(1008)
    return {{"rc": rc, "text": dec(res.text), "language": dec(res.language), "tail_zero": zeroed}}

def mark(*words):
    print("--", *words, file=sys.stderr, flush=True)
"""


@pytest.fixture(scope="module")
def fake_engines(tmp_path_factory):
    out = tmp_path_factory.mktemp("fake_engines")
    return build_shared_library(out, "fake_engines", FAKE_ENGINES, language="c++",
                                flags=(f"-I{REPO_ROOT / 'asr'}",))


@pytest.fixture
def scenario(fake_engines, libfenn_path):
    """Runs code after PRELUDE with the stand-in engines preloaded; returns
    (stdout lines as JSON values, stderr lines)."""
    def run(code, **env):
        full = PRELUDE.format(tests=str(TESTS_DIR), lib=str(libfenn_path)) + textwrap.dedent(code)
        proc = run_python(full, env={"LD_PRELOAD": str(fake_engines), **env}, timeout=120)
        assert proc.returncode == 0, proc.stderr
        return [json.loads(l) for l in proc.stdout.splitlines()], proc.stderr.splitlines()
    return run


def create_line(err, engine):
    lines = [l for l in err if l.startswith(f"fake {engine}_create")]
    assert len(lines) == 1, err
    return lines[0]


class TestSenseVoiceSettings:
    @pytest.mark.parametrize("extra, expected", [
        (None, "use_itn=0 swap=0 max_frames=0 extra=24 pad_mode=[edge] textnorm=<null>"),
        ('{"pad_mode": "z\\"q", "textnorm": "", "use_itn": 1, "swap_int_inputs": 2, '
         '"max_frames": 300, "decode_extra_frames": true}',
         'use_itn=1 swap=2 max_frames=300 extra=0 pad_mode=[z"q] textnorm=<null>'),
        ('{"textnorm": "woitn", "decode_extra_frames": "4", "max_frames": -7}',
         "use_itn=0 swap=0 max_frames=-7 extra=0 pad_mode=[edge] textnorm=woitn"),
        ('{"note": "pad_mode", "pad_mode" : "mean", "use_itn": 4294967297}',
         "use_itn=1 swap=0 max_frames=0 extra=24 pad_mode=[mean] textnorm=<null>"),
        ('not json at all "decode_extra_frames":7', "extra=7 pad_mode=[edge]"),
    ])
    def test_config_from_extra_json(self, scenario, extra, expected):
        _, err = scenario(f"""
            rc, ctx = init(1, "model.bin", None, "tokens.txt", {extra!r})
            assert rc == 0 and ctx.value
            lib.zor_asr_uninit(ctx)
        """)
        line = create_line(err, "sense_voice")
        assert "model=model.bin tokenizer=tokens.txt " in line
        assert expected in line
        assert err[-1] == "fake sense_voice_destroy"

    def test_engine_creation_failure(self, scenario):
        out, err = scenario("""
            rc, ctx = init(1, "fail", None, "tokens.txt")
            print(json.dumps([rc, ctx.value]))
        """)
        assert out == [[1, None]]
        assert err[-1] == "[zor_asr] sense_voice_create failed"
        assert "fake sense_voice_destroy" not in err


class TestWhisperSettings:
    @pytest.mark.parametrize("extra, threads", [
        (None, 8), ('{"n_threads": 0}', 8), ('{"n_threads": -3}', 8), ('{"n_threads": "4"}', 8),
        ('{"n_threads": 3}', 3), ('{"n_threads": 4294967297}', 1), ('{"n_threads": 1}', 1),
    ])
    def test_thread_count(self, scenario, tmp_path, extra, threads):
        (tmp_path / "tokenizer_info.bin").write_bytes(b"t")
        (tmp_path / "data.bin").write_bytes(b"m")
        _, err = scenario(f"""
            rc, ctx = init(0, "enc", "dec", {str(tmp_path)!r}, {extra!r})
            assert rc == 0
            lib.zor_asr_uninit(ctx)
        """)
        line = create_line(err, "whisper_asr")
        assert line.endswith(f" threads={threads}")
        assert (f"encoder=enc decoder=dec tokenizer={tmp_path}/tokenizer_info.bin "
                f"mel={tmp_path}/data.bin ") in line
        assert err[-1] == "fake whisper_asr_destroy"

    def test_derived_paths(self, scenario, tmp_path):
        (tmp_path / "tokenizer_info.bin").write_bytes(b"t")
        (tmp_path / "data.bin").write_bytes(b"m")
        filters = tmp_path / "other_filters.bin"
        filters.write_bytes(b"f")
        _, err = scenario(f"""
            for tok, extra in [({str(tmp_path) + '/'!r}, None),
                               ({str(tmp_path / 'tokenizer_info.bin')!r}, None),
                               ({str(tmp_path)!r}, {json.dumps({'filters_path': str(filters)})!r})]:
                rc, ctx = init(0, "enc", "dec", tok, extra)
                assert rc == 0
                lib.zor_asr_uninit(ctx)
        """)
        lines = [l for l in err if l.startswith("fake whisper_asr_create")]
        assert f"tokenizer={tmp_path}/tokenizer_info.bin mel={tmp_path}/data.bin " in lines[0]
        assert f"tokenizer={tmp_path}/tokenizer_info.bin mel={tmp_path}/data.bin " in lines[1]
        assert f"tokenizer={tmp_path}/tokenizer_info.bin mel={filters} " in lines[2]


class TestTranscription:
    def test_sense_voice_results(self, scenario):
        out, err = scenario("""
            rc, ctx = init(1, "m", None, "t")
            import os
            for mode in ["ok", "nulllang", "nulltext", "fail", "ok"]:
                os.environ["FAKE_SV"] = mode
                mark(mode)
                print(json.dumps(transcribe(ctx, language=None if mode == "ok" else "zh")))
            lib.zor_asr_uninit(ctx)
        """)
        ok = {"rc": 0, "text": "hello there", "language": "en", "tail_zero": True}
        assert out[0] == ok
        assert out[1] == {"rc": 0, "text": "hello there", "language": None, "tail_zero": True}
        assert out[2] == {"rc": 0, "text": "", "language": "en", "tail_zero": True}
        assert out[3] == {"rc": 1, "text": None, "language": None, "tail_zero": True}
        assert out[4] == ok
        # The engine's record is released after every recognition, failed or not.
        recognitions = [l for l in err if l.startswith("fake sense_voice_recognize")]
        releases = [l for l in err if l == "fake sense_voice_free_result"]
        assert len(recognitions) == 5 and len(releases) == 5
        assert recognitions[0].endswith("n=1600 first=7 language=auto")
        assert recognitions[1].endswith("language=zh")
        assert err[-1] == "fake sense_voice_destroy"

    def test_whisper_task_and_language_pass_through(self, scenario, tmp_path):
        (tmp_path / "tokenizer_info.bin").write_bytes(b"t")
        (tmp_path / "data.bin").write_bytes(b"m")
        out, err = scenario(f"""
            rc, ctx = init(0, "enc", "dec", {str(tmp_path)!r})
            for language, task in [(None, None), ("", ""), ("fr", "translate"),
                                   ("en", "transcribe"), ("en", "summarise")]:
                print(json.dumps(transcribe(ctx, language=language, task=task)))
            lib.zor_asr_uninit(ctx)
        """, FAKE_WLANG="")
        calls = [l.split(" ", 2)[2] for l in err if l.startswith("fake whisper_asr_recognize")]
        assert calls == [
            "n=1600 language=auto task=<null> empty_outputs=1",
            "n=1600 language=auto task= empty_outputs=1",
            "n=1600 language=fr task=translate empty_outputs=1",
            "n=1600 language=en task=transcribe empty_outputs=1",
        ]
        assert "[zor_asr] unsupported task 'summarise'" in err
        # An empty language from the engine is an empty string, not null.
        assert out[0] == {"rc": 0, "text": "whisper text", "language": "", "tail_zero": True}
        assert out[4]["rc"] == 1

    def test_wav_samples_reach_the_engine_as_read(self, scenario, tmp_path):
        # Files whose data holds no whole frame still reach the engine, with
        # a count of 0; only PCM input refuses a count of 0.
        files = {
            "one_byte": write_wav(tmp_path / "one_byte.wav", data=b"\x7f"),
            "stereo_one_sample": write_wav(tmp_path / "s1.wav", [5], channels=2),
            "no_channels": write_wav(tmp_path / "c0.wav", [1, 2, 3], channels=0),
            "stereo_8k": write_wav(tmp_path / "s8k.wav", [-3, 0, 7, 2, 9], channels=2,
                                   rate=8000),
        }
        paths = {name: str(path) for name, path in files.items()}
        out, err = scenario(f"""
            rc, ctx = init(1, "m", None, "t")
            for name, path in {paths!r}.items():
                mark(name)
                print(json.dumps(transcribe(ctx, audio_type=0, path=path, rate=16000)))
            mark("pcm_empty")
            inp = Input(audio_type=1, pcm=ctypes.cast(pcm, ctypes.POINTER(ctypes.c_int16)),
                        num_samples=0)
            res = Result()
            print(json.dumps(lib.zor_asr_transcribe(ctx, ctypes.byref(inp), ctypes.byref(res))))
            mark("end")
            lib.zor_asr_uninit(ctx)
        """)
        ok = {"rc": 0, "text": "hello there", "language": "en", "tail_zero": True}
        assert out == [ok, ok, ok, ok, 1]
        text = "\n".join(err)
        section = lambda a, b: text.split(f"-- {a}\n")[1].split(f"-- {b}\n")[0]
        for name, after in [("one_byte", "stereo_one_sample"),
                            ("stereo_one_sample", "no_channels"), ("no_channels", "stereo_8k")]:
            assert section(name, after).strip().splitlines() == [
                "fake sense_voice_recognize n=0 first=0 language=auto",
                "fake sense_voice_free_result"], name
        # Frames (-3, 0) and (7, 2) mix down to -1 and 4; the odd sample is
        # dropped; the file's own rate is reported, not the record's.
        assert section("stereo_8k", "pcm_empty").strip().splitlines() == [
            "[zor_asr] warning: sample rate is 8000, expected 16000",
            "fake sense_voice_recognize n=2 first=-1 language=auto",
            "fake sense_voice_free_result"]
        assert section("pcm_empty", "end").strip() == ""

    def test_whisper_failures_keep_the_context(self, scenario, tmp_path):
        # An engine that fails, or throws, or whose text the front door has
        # no memory to copy, gives status 1 and a zeroed record; the
        # context's earlier strings stay allocated and the context usable.
        (tmp_path / "tokenizer_info.bin").write_bytes(b"t")
        (tmp_path / "data.bin").write_bytes(b"m")
        huge = 64 << 20
        # User-mode emulation does not apply an address-space limit, so the
        # copy that must fail would succeed there.
        modes = ["fail", "throw"] + ([] if EMULATED else ["huge"])
        out, err = scenario(f"""
            import os, resource
            rc, ctx = init(0, "enc", "dec", {str(tmp_path)!r})
            inp = Input(audio_type=1, pcm=ctypes.cast(pcm, ctypes.POINTER(ctypes.c_int16)),
                        num_samples=len(pcm))
            first = Result()
            assert lib.zor_asr_transcribe(ctx, ctypes.byref(inp), ctypes.byref(first)) == 0
            unlimited = (resource.RLIM_INFINITY, resource.RLIM_INFINITY)
            for mode in {modes!r}:
                os.environ.update(FAKE_WFAIL=mode, FAKE_WHUGE="{huge}")
                if mode == "huge":  # room for the engine's text, not for a copy of it
                    vm = [int(l.split()[1]) * 1024 for l in open("/proc/self/status")
                          if l.startswith("VmSize:")][0]
                    resource.setrlimit(resource.RLIMIT_AS, (vm + {huge} * 3 // 2, unlimited[1]))
                mark(mode)
                print(json.dumps(transcribe(ctx)))
                resource.setrlimit(resource.RLIMIT_AS, unlimited)
                print(json.dumps([first.text.decode(), first.language.decode()]))
            del os.environ["FAKE_WFAIL"]
            mark("again")
            print(json.dumps(transcribe(ctx, language="en")))
            lib.zor_asr_uninit(ctx)
        """, FAKE_WLANG="de")
        failed = {"rc": 1, "text": None, "language": None, "tail_zero": True}
        kept = ["whisper text", "de"]
        assert out == [failed, kept] * len(modes) + [
                       {"rc": 0, "text": "whisper text", "language": "de", "tail_zero": True}]
        text = "\n".join(err)
        assert "[zor_asr] internal error: engine exploded" in text.split("-- throw")[1]
        assert "[zor_asr]" not in text.split("-- fail")[1].split("-- throw")[0]
        assert EMULATED or "[zor_asr] out of memory" in text.split("-- huge")[1]

    def test_audio_checks_before_the_engine(self, scenario, tmp_path):
        out, err = scenario(f"""
            rc, ctx = init(1, "m", None, "t")
            mark("rate0"); print(json.dumps(transcribe(ctx, rate=0)))
            mark("rate8000"); print(json.dumps(transcribe(ctx, rate=8000)))
            mark("rate44100"); print(json.dumps(transcribe(ctx, rate=44100)))
            mark("badtype"); print(json.dumps(transcribe(ctx, audio_type=2)))
            mark("nofile"); print(json.dumps(transcribe(ctx, audio_type=0,
                                                          path={str(tmp_path / 'none.wav')!r})))
            mark("end")
            lib.zor_asr_uninit(ctx)
        """)
        assert [o["rc"] for o in out] == [0, 0, 0, 1, 1]
        text = "\n".join(err)
        section = lambda a, b: text.split(f"-- {a}")[1].split(f"-- {b}")[0]
        assert "warning" not in section("rate0", "rate8000")
        assert "[zor_asr] warning: sample rate is 8000, expected 16000" in section("rate8000", "rate44100")
        assert "[zor_asr] warning: sample rate is 44100, expected 16000" in section("rate44100", "badtype")
        assert "fake sense_voice_recognize" not in section("badtype", "nofile")
        assert section("badtype", "nofile").strip() == ""
        assert ("[zor_asr] failed to read wav: failed to open wav file"
                in section("nofile", "end"))
        assert "fake sense_voice_recognize" not in section("nofile", "end")
