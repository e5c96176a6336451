"""Fenn and find_fenn_path, against fake libfenn libraries built here.

The library is loaded once per process, so every case runs in a fresh
interpreter (run_python). The fake reads its "WAV" file as a script: the
bytes up to the first newline are the text, the rest is the language (no
newline at all: a null language), and a file starting with FAIL makes the
transcription fail. It logs what it receives and counts contexts, so the
tests see exactly what crossed the C interface.
"""
import os
import pathlib
import shutil
import textwrap

import pytest

from conftest import PACKAGE, build_shared_library, run_python
from stub_signatures import check_stub_against_module

FAKE_FENN_SOURCE = r"""
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include "zor_asr.h"

typedef struct { char* text; char* language; } FakeContext;
static int g_live, g_inits, g_uninits, g_free_results;

int fake_live_contexts(void) { return g_live; }
int fake_inits(void) { return g_inits; }
int fake_uninits(void) { return g_uninits; }
int fake_free_results(void) { return g_free_results; }

static const char* Show(const char* s) { return s ? s : "(null)"; }

static void Log(const char* what, const char* a, const char* b, const char* c, const char* d,
                long n) {
  const char* path = getenv("FAKE_FENN_LOG");
  if (!path) return;
  FILE* f = fopen(path, "a");
  if (!f) return;
  fprintf(f, "%s %ld|%s|%s|%s|%s\n", what, n, Show(a), Show(b), Show(c), Show(d));
  fclose(f);
}

ZOR_ASRRetStatus zor_asr_init(ASRContext* ctx_out, const ZOR_ASRInitConfig* cfg) {
  if (!ctx_out || !cfg) return ZOR_ASR_Status_Failed;
  *ctx_out = NULL;
  Log("init", cfg->model_path, cfg->decoder_path, cfg->tokenizer_path, cfg->extra_json,
      (long)cfg->model_type);
  if (cfg->model_path && strstr(cfg->model_path, "fail-init")) return ZOR_ASR_Status_Failed;
  FakeContext* ctx = calloc(1, sizeof(FakeContext));
  if (!ctx) return ZOR_ASR_Status_Failed;
  ++g_live;
  ++g_inits;
  *ctx_out = ctx;
  return ZOR_ASR_Status_Success;
}

ZOR_ASRRetStatus zor_asr_transcribe(ASRContext handle, const ZOR_ASRInput* input,
                                    ZOR_ASRResult* result) {
  if (result) memset(result, 0, sizeof(*result));
  if (!handle || !input || !result) return ZOR_ASR_Status_Failed;
  Log("transcribe", input->file_path, input->language, input->task, NULL,
      (long)input->audio_type);
  FILE* f = input->file_path ? fopen(input->file_path, "rb") : NULL;
  if (!f) return ZOR_ASR_Status_Failed;
  char buf[4096];
  size_t n = fread(buf, 1, sizeof(buf) - 1, f);
  fclose(f);
  buf[n] = 0;
  if (strncmp(buf, "FAIL", 4) == 0) return ZOR_ASR_Status_Failed;
  FakeContext* ctx = handle;
  free(ctx->text);
  free(ctx->language);
  ctx->language = NULL;
  char* newline = memchr(buf, '\n', n);
  if (newline) {
    *newline = 0;
    ctx->language = strdup(newline + 1);
  }
  ctx->text = strdup(buf);
  result->text = ctx->text;
  result->language = ctx->language;
  return ZOR_ASR_Status_Success;
}

ZOR_ASRRetStatus zor_asr_free_result(ZOR_ASRResult* result) {
  if (!result) return ZOR_ASR_Status_Failed;
  memset(result, 0, sizeof(*result));
  ++g_free_results;
  return ZOR_ASR_Status_Success;
}

#ifndef FAKE_NO_UNINIT
ZOR_ASRRetStatus zor_asr_uninit(ASRContext handle) {
  FakeContext* ctx = handle;
  if (ctx) {
    free(ctx->text);
    free(ctx->language);
    free(ctx);
    --g_live;
  }
  ++g_uninits;
  return ZOR_ASR_Status_Success;
}
#endif
"""

# Prepended to every snippet: the fake's counters are read through ctypes,
# which opens the very library _fenn loaded (same path, same handle).
PRELUDE = textwrap.dedent("""\
    import ctypes, gc, os, pathlib, pickle, sys
    from zorllm_openai_server.zor_lumo._fenn import Fenn, find_fenn_path
    FAKE = os.environ.get("FAKE_LIB")
    def counters():
        lib = ctypes.CDLL(FAKE)
        return dict(live=lib.fake_live_contexts(), inits=lib.fake_inits(),
                    uninits=lib.fake_uninits(), free_results=lib.fake_free_results())
    def loaded(path):
        return str(path) in open("/proc/self/maps").read()
    def raises(exc, fn, *args, **kwargs):
        try:
            fn(*args, **kwargs)
        except exc as e:
            return str(e)
        raise AssertionError(f"{fn} did not raise {exc.__name__}")
    """)


@pytest.fixture(scope="module")
def fakes(tmp_path_factory):
    """The fake libfenn, and one that lacks zor_asr_uninit."""
    out = tmp_path_factory.mktemp("fake_fenn")
    good = build_shared_library(out, "fake_fenn", FAKE_FENN_SOURCE)
    broken = build_shared_library(out, "fake_fenn_no_uninit", FAKE_FENN_SOURCE,
                                  flags=("-DFAKE_NO_UNINIT",))
    return {"good": good, "no_uninit": broken, "dir": out}


def run(code, env=None, **kwargs):
    proc = run_python(PRELUDE + textwrap.dedent(code), env=env, **kwargs)
    if proc.returncode != 0:
        raise AssertionError(f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


@pytest.fixture
def script(tmp_path):
    """Writes a fake "WAV" script and returns its path."""
    def make(content: bytes, name="clip.wav"):
        path = tmp_path / name
        path.write_bytes(content)
        return path
    return make


def fake_env(fakes, tmp_path, **extra):
    env = {"FAKE_LIB": str(fakes["good"]), "FAKE_FENN_LOG": str(tmp_path / "fake.log"),
           "ZOR_FENN_PATH": str(fakes["good"])}
    env.update(extra)
    return env


def log_lines(tmp_path):
    log = tmp_path / "fake.log"
    return log.read_text(errors="surrogateescape").splitlines() if log.exists() else []


def private_package(pkg_dir, dest: pathlib.Path, libfenn=None) -> pathlib.Path:
    """A copy of the package with only _fenn in it, optionally with a libfenn.so
    beside the module, so find_fenn_path has a known neighbourhood."""
    target = dest / "python" / pathlib.Path(*PACKAGE.split("."))
    target.mkdir(parents=True)
    (target / "__init__.py").write_text("")
    for ext in pkg_dir.glob("_fenn*.so"):
        shutil.copy(ext, target / ext.name)
    if libfenn is not None:
        shutil.copy(libfenn, target / "libfenn.so")
    return dest / "python"


class TestLibraryPath:
    def test_environment_variable_wins_unchanged(self, pkg_dir, fakes, tmp_path):
        root = private_package(pkg_dir, tmp_path, libfenn=fakes["good"])
        proc = run("""
            assert find_fenn_path() == "relative/not-there.so", find_fenn_path()
            assert find_fenn_path.__annotations__ == {"return": str}
            assert raises(RuntimeError, Fenn) == "Cannot load libfenn.so (relative/not-there.so)"
            """, env={"PYTHONPATH": str(root), "ZOR_FENN_PATH": "relative/not-there.so"})
        assert '[FENN_FUNC] dlopen("relative/not-there.so") failed: ' in proc.stderr

    def test_empty_variable_falls_back_to_library_beside_module(self, pkg_dir, fakes, tmp_path):
        root = private_package(pkg_dir, tmp_path / "real", libfenn=fakes["good"])
        # The module reached through a symbolic link still finds the library
        # beside its real file.
        linked = tmp_path / "linked" / "python" / pathlib.Path(*PACKAGE.split("."))
        linked.mkdir(parents=True)
        (linked / "__init__.py").write_text("")
        real_pkg = root / pathlib.Path(*PACKAGE.split("."))
        for ext in real_pkg.glob("_fenn*.so"):
            (linked / ext.name).symlink_to(ext)
        expected = str((real_pkg / "libfenn.so").resolve())
        for python_path in (root, tmp_path / "linked" / "python"):
            run(f"""
                assert find_fenn_path() == {expected!r}, find_fenn_path()
                f = Fenn("")          # empty lib_path: the same search
                assert loaded({expected!r})
                """, env={"PYTHONPATH": str(python_path), "ZOR_FENN_PATH": ""})

    def test_bare_name_left_to_the_dynamic_loader(self, pkg_dir, fakes, tmp_path):
        root = private_package(pkg_dir, tmp_path)
        search = tmp_path / "search"
        search.mkdir()
        shutil.copy(fakes["good"], search / "libfenn.so")
        run(f"""
            assert find_fenn_path() == "libfenn.so"
            Fenn(None)
            assert loaded({str(search / 'libfenn.so')!r})
            """, env={"PYTHONPATH": str(root), "LD_LIBRARY_PATH": str(search)})
        proc = run_python(PRELUDE + "Fenn()", env={"PYTHONPATH": str(root),
                                                  "ZOR_FENN_PATH": "", "LD_LIBRARY_PATH": ""})
        assert "RuntimeError: Cannot load libfenn.so (libfenn.so)" in proc.stderr

    def test_failed_loads_leave_the_next_construction_free(self, fakes, tmp_path):
        broken, good = fakes["no_uninit"], fakes["good"]
        other = tmp_path / "libother.so"
        shutil.copy(good, other)
        proc = run(f"""
            assert raises(RuntimeError, Fenn, b"/no/such/libfenn.so") == \\
                "Cannot load libfenn.so (b'/no/such/libfenn.so')"
            msg = raises(RuntimeError, Fenn, pathlib.Path({str(broken)!r}))
            assert msg == "Cannot load libfenn.so ({broken})", msg
            assert not loaded({str(broken)!r}), "library lacking an entry point stayed open"
            Fenn(lib_path={str(good)!r})
            assert loaded({str(good)!r})
            # The first successful load wins; later paths are resolved but unused.
            Fenn({str(other)!r})
            Fenn("/no/such/library.so")
            assert not loaded({str(other)!r})
            """, env={"FAKE_LIB": str(good)})
        assert '[FENN_FUNC] dlopen("/no/such/libfenn.so") failed: ' in proc.stderr
        assert "[FENN_FUNC] dlsym failed: " in proc.stderr
        assert "zor_asr_uninit" in proc.stderr

    def test_bad_library_paths_raise_before_loading(self, fakes):
        run(f"""
            class Broken:
                def __fspath__(self):
                    raise OSError("no path today")
            assert "no path today" in raises(OSError, Fenn, Broken())
            raises(TypeError, Fenn, 42)
            raises(TypeError, Fenn, [{str(fakes['good'])!r}])
            raises(ValueError, Fenn, {str(fakes['good'])!r} + "\\0junk")
            raises(TypeError, Fenn, "a", "b")
            raises(TypeError, Fenn, path="a")
            # Nothing got loaded by any of these.
            assert not loaded({str(fakes['good'])!r})
            Fenn({str(fakes['good'])!r})
            """, env={"ZOR_FENN_PATH": ""})


class TestInit:
    def test_backend_paths_and_settings_reach_the_library(self, fakes, tmp_path):
        env = fake_env(fakes, tmp_path)
        run(f"""
            os.chdir({str(tmp_path)!r})
            f = Fenn()
            f.init("whisper", "enc.model", "tok", "dec.model", '{{"n_threads": 2}}')
            f.init("Whisper", b"sv.model", pathlib.Path("tokens.txt"))
            f.init(None, "m", "t", decoder_path="", extra_json=b'{{"use_itn": 1}}')
            f.init(backend="sensevoice", model_path="m", tokenizer_path="t", extra_json="")
            f.init(b"whisper", "m", "t", None, None)
            """, env=env)
        lines = log_lines(tmp_path)
        d = str(tmp_path)
        assert lines == [
            f'init 0|{d}/enc.model|{d}/dec.model|{d}/tok|{{"n_threads": 2}}',
            f"init 1|{d}/sv.model|(null)|{d}/tokens.txt|(null)",
            f'init 1|{d}/m|(null)|{d}/t|{{"use_itn": 1}}',
            f"init 1|{d}/m|(null)|{d}/t|(null)",
            f"init 1|{d}/m|(null)|{d}/t|(null)",
        ]

    def test_reinit_closes_the_held_context(self, fakes, tmp_path, script):
        wav = script(b"hello\nen")
        run(f"""
            f = Fenn()
            for _ in range(5):
                f.init("sensevoice", "m", "t")
            assert counters()["live"] == 1, counters()
            assert counters()["uninits"] == 4
            assert f.transcribe({str(wav)!r})["text"] == "hello"
            f.close()
            assert counters()["live"] == 0
            """, env=fake_env(fakes, tmp_path))

    def test_failures_raise_and_leave_no_context(self, fakes, tmp_path, script):
        wav = script(b"hello\nen")
        run(f"""
            f = Fenn()
            assert raises(RuntimeError, f.init, "sensevoice", "fail-init.model", "t") == \\
                "zor_asr_init failed (rc=1)"
            assert raises(RuntimeError, f.transcribe, {str(wav)!r}) == \\
                "zor_asr_transcribe failed (rc=1)"
            # A failed re-init leaves the object closed, never half-open.
            f.init("sensevoice", "m", "t")
            raises(RuntimeError, f.init, "sensevoice", "fail-init.model", "t")
            assert counters()["live"] == 0, counters()
            raises(RuntimeError, f.transcribe, {str(wav)!r})
            f.init("sensevoice", "m", "t")
            assert f.transcribe({str(wav)!r}) == {{"text": "hello", "language": "en"}}
            """, env=fake_env(fakes, tmp_path))

    def test_bad_arguments_raise_and_keep_the_context(self, fakes, tmp_path, script):
        wav = script(b"kept\n")
        run(f"""
            f = Fenn()
            f.init("sensevoice", "m", "t")
            assert raises(TypeError, f.init, "sensevoice", "m", "t", None, {{"use_itn": 1}}) == \\
                "Expected bytes, got dict"
            assert raises(TypeError, f.init, "whisper", "m", "t", "d", 7) == "Expected bytes, got int"
            assert raises(TypeError, f.init, "whisper", "m", "t", "d", bytearray(b"{{}}")) == \\
                "Expected bytes, got bytearray"
            class Falsy:
                def __bool__(self):
                    raise ZeroDivisionError("no truth")
            raises(ZeroDivisionError, f.init, "sensevoice", "m", "t", Falsy())
            raises(ZeroDivisionError, f.init, "sensevoice", "m", "t", None, Falsy())
            class Broken:
                def __fspath__(self):
                    raise OSError("no path today")
            raises(OSError, f.init, "sensevoice", Broken(), "t")
            raises(ValueError, f.init, "sensevoice", "m\\0x", "t")
            raises(ValueError, f.init, "sensevoice", "m", "t", None, '{{"a":\\0}}')
            raises(UnicodeEncodeError, f.init, "sensevoice", "m", "t", None, "\\udc80")
            raises(TypeError, f.init, "sensevoice", 3, "t")
            raises(TypeError, f.init, "sensevoice", "m")
            raises(TypeError, f.init, "sensevoice", "m", "t", None, None, "extra")
            raises(TypeError, f.init, "sensevoice", "m", "t", colour="red")
            class Cmp:
                def __eq__(self, other):
                    raise LookupError("cannot compare")
            raises(LookupError, f.init, Cmp(), "m", "t")
            assert counters()["live"] == 1 and counters()["inits"] == 1, counters()
            assert f.transcribe({str(wav)!r})["text"] == "kept"
            """, env=fake_env(fakes, tmp_path))


class TestTranscribe:
    def test_results_and_what_reaches_the_library(self, fakes, tmp_path, script):
        wav = script("héllo 你好\nzh".encode())
        no_lang = script(b"no language", "nolang.wav")
        empty = script(b"\n", "empty.wav")
        odd_name = script(b"odd\nen", "clip-\xff.wav".encode("latin-1").decode("utf-8", "surrogateescape"))
        run(f"""
            os.chdir({str(tmp_path)!r})
            f = Fenn()
            f.init("sensevoice", "m", "t")
            r = f.transcribe({str(wav)!r})
            assert r == {{"text": "héllo 你好", "language": "zh"}} and list(r) == ["text", "language"]
            assert f.transcribe("nolang.wav", language=None, task=None) == \\
                {{"text": "no language", "language": ""}}
            assert f.transcribe(pathlib.Path("empty.wav"), "", "") == {{"text": "", "language": ""}}
            assert f.transcribe(b"clip-\\xff.wav", b"en", b"translate")["text"] == "odd"
            assert f.transcribe(wav_path={str(wav)!r}, task="transcribe", language="de")["language"] == "zh"
            """, env=fake_env(fakes, tmp_path))
        d = str(tmp_path)
        lines = log_lines(tmp_path)[1:]
        assert lines == [
            f"transcribe 0|{wav}|auto|transcribe|(null)",
            f"transcribe 0|{d}/nolang.wav|(null)|(null)|(null)",
            f"transcribe 0|{d}/empty.wav|(null)|(null)|(null)",
            f"transcribe 0|{odd_name}|en|translate|(null)",
            f"transcribe 0|{wav}|de|transcribe|(null)",
        ]

    def test_failures_and_undecodable_results(self, fakes, tmp_path, script):
        bad_text = script(b"caf\xe9\nen", "bad_text.wav")
        bad_lang = script(b"fine\n\xff\xfe", "bad_lang.wav")
        failing = script(b"FAIL", "failing.wav")
        good = script(b"fine\nen", "good.wav")
        run(f"""
            f = Fenn()
            f.init("sensevoice", "m", "t")
            e = raises(UnicodeDecodeError, f.transcribe, {str(bad_text)!r})
            raises(UnicodeDecodeError, f.transcribe, {str(bad_lang)!r})
            before = counters()["free_results"]
            for path in ({str(failing)!r}, "/no/such/clip.wav"):
                assert raises(RuntimeError, f.transcribe, path) == "zor_asr_transcribe failed (rc=1)"
            assert counters()["free_results"] == before + 2, "failed result record not released"
            assert f.transcribe({str(good)!r}) == {{"text": "fine", "language": "en"}}
            """, env=fake_env(fakes, tmp_path))

    def test_bad_arguments_never_crash(self, fakes, tmp_path, script):
        wav = script(b"ok\nen")
        run(f"""
            f = Fenn()
            f.init("sensevoice", "m", "t")
            w = {str(wav)!r}
            assert raises(TypeError, f.transcribe, w, 5) == "Expected bytes, got int"
            assert raises(TypeError, f.transcribe, w, "en", ["x"]) == "Expected bytes, got list"
            import collections
            assert raises(TypeError, f.transcribe, w, collections.OrderedDict(a=1)) == \
                "Expected bytes, got collections.OrderedDict"
            class Mine:
                pass
            assert raises(TypeError, f.transcribe, w, Mine()) == "Expected bytes, got Mine"
            raises(TypeError, f.transcribe, None)
            raises(TypeError, f.transcribe, 12)
            raises(ValueError, f.transcribe, w + "\\0.wav")
            raises(ValueError, f.transcribe, w, "e\\0n")
            raises(ValueError, f.transcribe, w, "en", b"trans\\0late")
            raises(UnicodeEncodeError, f.transcribe, w, "\\ud800")
            raises(TypeError, f.transcribe)
            raises(TypeError, f.transcribe, w, "en", "transcribe", "more")
            raises(TypeError, f.transcribe, w, lang="en")
            class Broken:
                def __fspath__(self):
                    raise OSError("no path today")
            raises(OSError, f.transcribe, Broken())
            # Huge arguments are passed through, not truncated or refused.
            assert f.transcribe(w, "x" * 20_000_000, None)["text"] == "ok"
            raises(RuntimeError, f.transcribe, "/" + "d" * 1_000_000 + ".wav")
            assert f.transcribe(w)["text"] == "ok"
            """, env=fake_env(fakes, tmp_path))


class TestLifecycle:
    def test_close_delete_and_pending_exceptions(self, fakes, tmp_path, script):
        wav = script(b"hi\nen")
        run(f"""
            f = Fenn()
            assert raises(RuntimeError, f.transcribe, {str(wav)!r}) == "zor_asr_transcribe failed (rc=1)"
            f.close()
            del f
            assert counters()["uninits"] == 0, "an object never initialised called the library"
            f = Fenn()
            f.init("sensevoice", "m", "t")
            assert f.close() is None and f.close() is None
            assert counters() ["uninits"] == 1
            assert raises(RuntimeError, f.transcribe, {str(wav)!r}) == "zor_asr_transcribe failed (rc=1)"
            f.init("sensevoice", "m", "t")      # a closed object can start again
            assert f.transcribe({str(wav)!r})["text"] == "hi"
            del f
            assert counters()["live"] == 0

            # Destroying an object while an exception propagates keeps it.
            def fails():
                g = Fenn()
                g.init("sensevoice", "m", "t")
                raise KeyError("the original")
            try:
                fails()
            except KeyError as e:
                assert e.args == ("the original",)
            assert counters()["live"] == 0
            # The call's own reference is the last: the object dies, and
            # closes its context, with the call's TypeError already set.
            def initialised():
                g = Fenn()
                g.init("sensevoice", "m", "t")
                return g
            assert raises(TypeError, lambda: initialised().transcribe({str(wav)!r}, 5)) == \
                "Expected bytes, got int"
            assert counters()["live"] == 0

            # Running __init__ again neither loses nor closes the context.
            h = Fenn()
            h.init("sensevoice", "m", "t")
            h.__init__()
            assert h.transcribe({str(wav)!r})["text"] == "hi"
            assert counters()["live"] == 1

            # Subclasses may bring their own __init__.
            class Named(Fenn):
                def __init__(self, name):
                    super().__init__()
                    self.name = name
            n = Named("asr")
            n.init("sensevoice", "m", "t")
            n.self_ref = n             # a cycle, collected by the GC
            del n
            gc.collect()
            assert counters()["live"] == 1, counters()
            """, env=fake_env(fakes, tmp_path))

    def test_subclasses_and_other_module_instances_find_their_module(self, fakes, tmp_path, script):
        wav = script(b"hi\nen")
        run(f"""
            import importlib.util
            class Mixin:  # first in the MRO, before Fenn
                pass
            class Mid(Mixin, Fenn):
                pass
            class Deep(Mid):
                pass
            d = Deep()
            d.init("sensevoice", "m", "t")
            assert d.transcribe({str(wav)!r})["text"] == "hi"

            # A second instance of the module has its own Fenn and state.
            found = importlib.util.find_spec("{PACKAGE}._fenn")
            other = importlib.util.module_from_spec(found)
            found.loader.exec_module(other)
            assert other.Fenn is not Fenn
            class OtherSub(other.Fenn):
                pass
            o = OtherSub()
            assert not isinstance(o, Fenn)
            o.init("sensevoice", "m", "t")
            assert o.transcribe({str(wav)!r})["text"] == "hi"
            del d, o
            gc.collect()
            assert counters()["live"] == 0
            """, env=fake_env(fakes, tmp_path))

    def test_objects_cannot_be_pickled_or_copied(self, fakes, tmp_path):
        run("""
            import copy
            f = Fenn()
            f.init("sensevoice", "m", "t")
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                assert "cannot pickle 'Fenn' object" in raises(TypeError, pickle.dumps, f, protocol)
            raises(TypeError, copy.copy, f)
            raises(TypeError, copy.deepcopy, f)
            raises(TypeError, pickle.dumps, Fenn.__new__(Fenn))
            assert counters()["live"] == 1
            """, env=fake_env(fakes, tmp_path))

    def test_uninitialised_objects_from_new_are_safe(self, fakes, tmp_path, script):
        wav = script(b"hi\nen")
        run(f"""
            g = Fenn.__new__(Fenn)      # never constructed: nothing loaded
            assert raises(RuntimeError, g.transcribe, {str(wav)!r}) == "zor_asr_transcribe failed (rc=1)"
            assert raises(RuntimeError, g.init, "sensevoice", "m", "t") == "zor_asr_init failed (rc=1)"
            g.close()
            """, env={"ZOR_FENN_PATH": "/no/such/lib.so"})


class TestExportedShims:
    """The C functions _fenn exports, called directly through ctypes."""

    def test_shim_contracts(self, fakes, tmp_path, script):
        wav = script(b"hi")                     # no newline: the library reports no language
        run(f"""
            import ctypes as c
            from zorllm_openai_server.zor_lumo import _fenn
            so = c.CDLL(_fenn.__file__)
            so.load_fenn_func.argtypes = [c.c_char_p]
            so.fenn_init.argtypes = [c.c_void_p, c.c_int] + [c.c_char_p] * 4
            so.fenn_transcribe_file.argtypes = [c.c_void_p] + [c.c_char_p] * 3 + [c.c_void_p] * 2
            so.fenn_uninit.argtypes = [c.c_void_p]
            so.fenn_free_cstr.argtypes = [c.c_void_p]
            ctx, text, lang = c.c_void_p(), c.c_void_p(), c.c_void_p()
            out = (c.byref(text), c.byref(lang))

            # Before a load every shim fails without touching anything.
            assert so.fenn_init(c.byref(ctx), 1, b"m", None, b"t", None) == 1
            assert so.fenn_uninit(None) == 1
            assert so.fenn_transcribe_file(None, b"x", None, None, *out) == 1

            assert so.load_fenn_func(b"/no/such/lib.so") == -1
            assert so.load_fenn_func(FAKE.encode()) == 0
            assert so.load_fenn_func(b"/no/such/lib.so") == 0       # the first load wins
            assert so.fenn_init(None, 1, b"m", None, b"t", None) == 1
            assert counters()["inits"] == 0, "fenn_init called the library without a context"
            ctx.value = 1234
            assert so.fenn_init(c.byref(ctx), 1, b"fail-init", None, b"t", None) == 1
            assert ctx.value == 1234, "a failed init changed the caller's handle"
            ctx = c.c_void_p()
            assert so.fenn_init(c.byref(ctx), 1, b"m", None, b"t", None) == 0 and ctx.value

            text.value, lang.value = 5, 6
            assert so.fenn_transcribe_file(ctx, None, None, None, *out) == 1
            assert so.fenn_transcribe_file(ctx, b"x", None, None, None, out[1]) == 1
            assert (text.value, lang.value) == (5, 6), "outputs touched on a refused call"
            assert so.fenn_transcribe_file(ctx, b"/no/such.wav", None, None, *out) == 1
            assert (text.value, lang.value) == (None, None)
            assert so.fenn_transcribe_file(ctx, {str(wav).encode()!r}, None, None, *out) == 0
            assert c.string_at(text.value) == b"hi" and c.string_at(lang.value) == b""
            so.fenn_free_cstr(text); so.fenn_free_cstr(lang); so.fenn_free_cstr(None)
            assert so.fenn_uninit(ctx) == 0 and counters()["live"] == 0

            so.unload_fenn_func()
            assert so.fenn_uninit(None) == 1
            assert so.load_fenn_func(FAKE.encode()) == 0
            """, env=fake_env(fakes, tmp_path))
        assert "(null)|(null)" in log_lines(tmp_path)[-1], "null language and task not passed on"


class TestPackage:
    def test_module_surface_and_package_laziness(self):
        run_python(textwrap.dedent("""\
            import inspect, sys
            import zorllm_openai_server.zor_lumo as pkg
            assert "zorllm_openai_server.zor_lumo._fenn" not in sys.modules
            assert "zorllm_openai_server.zor_lumo._lumo" not in sys.modules
            from zorllm_openai_server.zor_lumo import _fenn
            assert pkg.Fenn is _fenn.Fenn and pkg.find_fenn_path is _fenn.find_fenn_path
            import os as real_os, pathlib
            assert _fenn.os is real_os and _fenn.Path is pathlib.Path
            assert _fenn.Fenn.__module__ == "zorllm_openai_server.zor_lumo._fenn"
            assert str(inspect.signature(_fenn.Fenn.init)) == \\
                "(self, /, backend, model_path, tokenizer_path, decoder_path=None, extra_json=None)"
            assert str(inspect.signature(_fenn.Fenn.transcribe)) == \\
                "(self, /, wav_path, language='auto', task='transcribe', *, timestamps=False)"
            """), check=True)

    def test_stub_matches_the_text_signatures(self, pkg_dir):
        check_stub_against_module(f"{PACKAGE}._fenn", pkg_dir / "_fenn.pyi")

    def test_types(self):
        from zorllm_openai_server.zor_lumo.types import (Result, RetStatus, RunMode, RunStatus,
                                                         SamplingMode)
        assert RetStatus(0) is RetStatus.SUCCESS and RetStatus(1) is not RetStatus.SUCCESS
        assert RunStatus(2) is RunStatus.ERROR and {RunStatus(0), RunStatus(1)} < set(RunStatus)
        assert RunMode.GENERATE.value == 0
        assert [m.value for m in (SamplingMode.ARG_MAX, SamplingMode.TOP_P, SamplingMode.TOP_K,
                                  SamplingMode.CHAIN_SAMPLER)] == [0, 1, 2, 3]
        assert len({SamplingMode.ARG_MAX: 0, SamplingMode.TOP_K: 2}) == 2
        r = Result(text=b"hi", token_id=7, content_type=0)
        assert (r.text, r.token_id, r.content_type) == (b"hi", 7, 0)
        with pytest.raises(TypeError):
            Result(b"hi", 7, 0)
