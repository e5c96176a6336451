"""The simulated LLM runtime, driven directly through ctypes: script
playback, worker-thread delivery, breaks from another thread and from a
callback, failure injection, vision info and the call log."""
import ctypes
import json
import threading
from ctypes import (CFUNCTYPE, POINTER, Structure, Union, c_char, c_char_p, c_float, c_int32,
                    c_uint8, c_uint32, c_uint64, c_void_p)

import pytest

from conftest import REPO_ROOT, build_shared_library
from lumo_script import (ERROR, FINISH, NORMAL, REASONING, TEXT, TOOL, Script, SimLog, f32,
                         fnv1a64, ptr)


# Records as the interface header lays them out; test_layout checks each
# size and offset against the header itself.
class InitExtend(Structure):
    _pack_ = 4
    _layout_ = "ms"
    _fields_ = [("vision_model_path", c_char_p), ("sampler_params_json", c_char_p),
                ("model_name_override", c_char_p), ("custom_jinja_template", c_char_p),
                ("mmproj_input", c_void_p), ("mmproj_config", c_char_p),
                ("reserved", c_uint8 * 976)]


class InitConfig(Structure):
    _fields_ = [("model_path", c_char_p), ("sampling_mode", c_uint32), ("top_k", c_int32),
                ("top_p", c_float), ("temperature", c_float), ("repeat_penalty", c_float),
                ("init_extend", InitExtend)]


class RunExtend(Structure):
    _pack_ = 4
    _layout_ = "ms"
    _fields_ = [("sampling_config_valid", c_uint32), ("sampling_mode", c_uint32),
                ("top_k", c_int32), ("top_p", c_float), ("temperature", c_float),
                ("repeat_penalty", c_float), ("sampler_params_json", c_char_p),
                ("disable_chat_template", c_int32), ("extra_template_params", c_char_p),
                ("tools_schemas", c_char_p), ("reserved", c_uint8 * 972)]


class RunConfig(Structure):
    _fields_ = [("run_mode", c_uint32), ("retain_history", c_int32), ("enable_think", c_int32),
                ("run_extend", RunExtend)]


class ImageInput(Structure):
    _fields_ = [("type", c_uint32), ("data", c_void_p), ("width", c_uint32),
                ("height", c_uint32), ("timestamp", c_uint64)]


class MultimodalInput(Structure):
    _fields_ = [("prompt", c_char_p), ("img_inputs", POINTER(ImageInput)),
                ("img_count", c_uint32), ("img_start", c_char_p), ("img_end", c_char_p),
                ("img_content", c_char_p), ("sample_rate_num", c_uint32),
                ("sample_rate_den", c_uint32)]


class TokenInput(Structure):
    _fields_ = [("input_ids", POINTER(c_int32)), ("n_tokens", c_int32)]


class InputUnion(Union):
    _fields_ = [("prompt_input", c_char_p), ("multimodal_input", MultimodalInput),
                ("token_input", TokenInput)]


class LLMInput(Structure):
    _anonymous_ = ("u",)
    _fields_ = [("input_type", c_uint32), ("u", InputUnion), ("role", c_char_p)]


class GenerationResult(Structure):
    _fields_ = [("text", c_char_p), ("token_id", c_int32), ("content_type", c_uint32)]


class LLMResult(Union):
    _fields_ = [("generation", GenerationResult)]


class VisionTensorInfo(Structure):
    _fields_ = [("index", c_int32), ("name", c_char * 128), ("type", c_int32),
                ("height", c_int32), ("width", c_int32), ("channels", c_int32), ("size", c_int32)]


class VisionMetadata(Structure):
    _fields_ = [("projector_type", c_char * 64), ("image_mean", c_float * 3),
                ("image_std", c_float * 3), ("patch_size", c_int32),
                ("spatial_merge_size", c_int32)]


class VisionInfo(Structure):
    _fields_ = [("n_input", c_int32), ("input", POINTER(VisionTensorInfo)),
                ("metadata", VisionMetadata), ("has_metadata", c_int32)]


RESULT_CB = CFUNCTYPE(None, POINTER(LLMResult), c_void_p, c_uint32)
TOOL_CB = CFUNCTYPE(None, c_char_p, c_char_p, c_void_p)


@pytest.fixture(scope="session")
def sim(sim_lumo_path):
    lib = ctypes.CDLL(str(sim_lumo_path))
    lib.zor_llm_init.argtypes = [POINTER(c_void_p), POINTER(InitConfig), RESULT_CB]
    lib.zor_llm_uninit.argtypes = [c_void_p]
    lib.zor_llm_run.argtypes = [c_void_p, POINTER(LLMInput), POINTER(RunConfig), c_void_p]
    lib.zor_llm_reset.argtypes = [c_void_p]
    lib.zor_llm_break.argtypes = [c_void_p]
    lib.zor_llm_set_chat_template.argtypes = [c_void_p, c_char_p, c_char_p, c_char_p]
    lib.zor_llm_set_chat_template_jinja.argtypes = [c_void_p, c_char_p]
    lib.zor_llm_set_toolcall_callback.argtypes = [c_void_p, TOOL_CB, c_int32]
    lib.zor_llm_get_vision_info.argtypes = [c_void_p, POINTER(VisionInfo)]
    for name in ("zor_llm_init", "zor_llm_uninit", "zor_llm_run", "zor_llm_reset",
                 "zor_llm_break", "zor_llm_set_chat_template", "zor_llm_set_chat_template_jinja",
                 "zor_llm_set_toolcall_callback", "zor_llm_get_vision_info",
                 "zor_lumo_sim_live_contexts"):
        getattr(lib, name).restype = c_int32
    return lib


@pytest.fixture
def log(tmp_path, monkeypatch):
    monkeypatch.delenv("ZOR_LUMO_SIM_SCRIPT", raising=False)
    monkeypatch.delenv("ZOR_LUMO_SIM_DUMP_DIR", raising=False)
    path = tmp_path / "sim.log"
    monkeypatch.setenv("ZOR_LUMO_SIM_LOG", str(path))
    return SimLog(path)


class Session:
    """One context with recording callbacks, released at the end of a test."""

    def __init__(self, sim, model_path, config=None):
        self.sim = sim
        self.results = []      # (text bytes or None, token id, content type, status, thread)
        self.tool_calls = []   # (name, args, userdata)
        self.on_result = None  # extra hook, called after recording
        self.on_tool = None
        self._result_cb = RESULT_CB(self._result)
        self._tool_cb = TOOL_CB(self._tool)
        self.config = config or InitConfig()
        self._path = model_path.encode() if isinstance(model_path, str) else model_path
        self.config.model_path = self._path
        self.ctx = c_void_p()
        self.init_status = sim.zor_llm_init(ctypes.byref(self.ctx), ctypes.byref(self.config),
                                            self._result_cb)

    def _result(self, result, userdata, status):
        if result:
            g = result.contents.generation
            self.results.append((g.text, g.token_id, g.content_type, status, userdata,
                                 threading.get_native_id()))
        else:
            self.results.append((None, None, None, status, userdata, threading.get_native_id()))
        if self.on_result:
            self.on_result(len(self.results))

    def _tool(self, name, args, userdata):
        self.tool_calls.append((name, args, userdata))
        if self.on_tool:
            self.on_tool()

    def register_tools(self, stop_output=1, enabled=True):
        cb = self._tool_cb if enabled else TOOL_CB()
        return self.sim.zor_llm_set_toolcall_callback(self.ctx, cb, stop_output)

    def run(self, prompt=b"hi", input_type=0, userdata=None, run_config=None):
        inp = LLMInput(input_type=input_type)
        inp.prompt_input = prompt
        self._keep = inp
        return self.sim.zor_llm_run(self.ctx, ctypes.byref(inp),
                                    ctypes.byref(run_config or RunConfig()), userdata)

    def texts(self):
        return [r[0] for r in self.results]

    def close(self):
        if self.ctx:
            self.sim.zor_llm_uninit(self.ctx)
            self.ctx = c_void_p()


@pytest.fixture
def session(sim, tmp_path, log):
    made = []

    def make(script, config=None):
        s = Session(sim, script.write(tmp_path / f"model{len(made)}.json"), config)
        made.append(s)
        return s

    yield make
    for s in made:
        s.close()


LAYOUT_PROBE = r"""
#include <stddef.h>
#include "lumo.h"
#define F(rec, field) offsetof(rec, field)
size_t probe_sizes[] = {sizeof(ZOR_LLMInitConfig), sizeof(ZOR_LLMRunConfig),
    sizeof(ZOR_LLMInput), sizeof(ZOR_LLMMultimodalInput), sizeof(ZOR_LLMImageInput),
    sizeof(ZOR_LLMTokenInput), sizeof(ZOR_LLMResult), sizeof(ZOR_LLMVisionInfo),
    sizeof(ZOR_LLMVisionTensorInfo)};
size_t probe_offsets[] = {
    F(ZOR_LLMInitConfig, top_p), F(ZOR_LLMInitConfig, init_extend),
    F(ZOR_LLMInitConfig, init_extend.mmproj_input), F(ZOR_LLMInitConfig, init_extend.mmproj_config),
    F(ZOR_LLMRunConfig, run_extend.sampler_params_json),
    F(ZOR_LLMRunConfig, run_extend.disable_chat_template),
    F(ZOR_LLMRunConfig, run_extend.extra_template_params),
    F(ZOR_LLMRunConfig, run_extend.tools_schemas), F(ZOR_LLMInput, role),
    F(ZOR_LLMMultimodalInput, img_start), F(ZOR_LLMMultimodalInput, sample_rate_den),
    F(ZOR_LLMImageInput, timestamp), F(ZOR_LLMVisionInfo, has_metadata),
    F(ZOR_LLMVisionInfo, metadata.patch_size), F(ZOR_LLMVisionTensorInfo, type)};
"""


def test_layout_matches_the_interface_header(tmp_path):
    lib = ctypes.CDLL(str(build_shared_library(
        tmp_path, "probe", LAYOUT_PROBE, flags=(f"-I{REPO_ROOT / 'proxy_server' / 'zor_lumo'}",))))
    sizes = (ctypes.c_size_t * 9).in_dll(lib, "probe_sizes")
    offsets = (ctypes.c_size_t * 15).in_dll(lib, "probe_offsets")
    assert list(sizes) == [ctypes.sizeof(t) for t in (
        InitConfig, RunConfig, LLMInput, MultimodalInput, ImageInput, TokenInput, LLMResult,
        VisionInfo, VisionTensorInfo)]
    ext = InitConfig.init_extend.offset
    run_ext = RunConfig.run_extend.offset
    assert list(offsets) == [
        InitConfig.top_p.offset, ext, ext + InitExtend.mmproj_input.offset,
        ext + InitExtend.mmproj_config.offset, run_ext + RunExtend.sampler_params_json.offset,
        run_ext + RunExtend.disable_chat_template.offset,
        run_ext + RunExtend.extra_template_params.offset, run_ext + RunExtend.tools_schemas.offset,
        LLMInput.role.offset, MultimodalInput.img_start.offset,
        MultimodalInput.sample_rate_den.offset, ImageInput.timestamp.offset,
        VisionInfo.has_metadata.offset,
        VisionInfo.metadata.offset + VisionMetadata.patch_size.offset,
        VisionTensorInfo.type.offset]


class TestPlayback:
    def test_pieces_arrive_in_order_with_exact_bytes_and_ids(self, session):
        script = Script()
        (script.run().reasoning("think", 7).text("Hel", 8).text(b"lo\xff\xfe", 9)
         .text(b"A\x00B", 10).text(None, 11).tool_text("<tool>", 12).piece("x", 13, type=9)
         .end(ERROR))
        s = session(script)
        assert s.init_status == 0 and s.ctx
        s.register_tools(stop_output=0)
        assert s.run(userdata=0x1234) == 0
        assert s.results[:-1] == [
            (b"think", 7, REASONING, NORMAL, 0x1234, s.results[0][5]),
            (b"Hel", 8, TEXT, NORMAL, 0x1234, s.results[0][5]),
            (b"lo\xff\xfe", 9, TEXT, NORMAL, 0x1234, s.results[0][5]),
            (b"A", 10, TEXT, NORMAL, 0x1234, s.results[0][5]),  # the NUL ends the C text
            (None, 11, TEXT, NORMAL, 0x1234, s.results[0][5]),
            (b"<tool>", 12, TOOL, NORMAL, 0x1234, s.results[0][5]),
            (b"x", 13, 9, NORMAL, 0x1234, s.results[0][5])]
        # The ending: ERROR with a null result.
        assert s.results[-1][:4] == (None, None, None, ERROR)

    def test_endings(self, session):
        script = Script()
        script.run(match="finish").text("a")
        script.run(match="piece").text("a").end(FINISH, text="!", token_id=5)
        script.run(match="silent").text("a").end(None)
        s = session(script)
        s.run(b"finish")
        assert s.results[-1][:4] == (None, None, None, FINISH)
        s.results.clear()
        s.run(b"piece")
        assert s.results[-1][:4] == (b"!", 5, TEXT, FINISH)
        s.results.clear()
        s.run(b"silent")
        assert [r[3] for r in s.results] == [NORMAL]

    def test_runs_play_in_order_then_repeat_the_last_and_match_by_prompt(self, session):
        script = Script()
        script.run().text("first")
        script.run().text("second")
        script.run(match="weather").text("sunny")
        s = session(script)
        for prompt in (b"a", b"what is the weather?", b"b", b"c"):
            s.run(prompt)
        assert [t for t in s.texts() if t] == [b"first", b"sunny", b"second", b"second"]

    def test_messages_and_multimodal_prompts_are_matched_too(self, session):
        script = Script()
        script.run(match="cat").text("meow")
        s = session(script)
        s.run(b'[{"role":"user","content":"cat"}]', input_type=3)
        inp = LLMInput(input_type=3)
        inp.multimodal_input.prompt = b"a cat picture"
        s.sim.zor_llm_run(s.ctx, ctypes.byref(inp), ctypes.byref(RunConfig()), None)
        assert s.texts().count(b"meow") == 2

    def test_a_script_without_runs_finishes_at_once(self, session):
        s = session(Script())
        assert s.run() == 0
        assert [r[:4] for r in s.results] == [(None, None, None, FINISH)]

    def test_scripted_return_status(self, session):
        script = Script()
        script.run(returns=1).text("a")
        s = session(script)
        assert s.run() == 1
        assert s.texts()[0] == b"a"


class TestToolCalls:
    def test_tool_calls_reach_the_registered_callback(self, session, log):
        script = Script()
        (script.run().tool_call("get_weather", {"city": "Oslo", "n": [1, 2]})
         .tool_call(b"bad\xff", b"{\"a\":\xfe}").tool_call(None, None))
        s = session(script)
        s.register_tools()
        s.run(userdata=42)
        assert s.tool_calls[0][0] == b"get_weather"
        assert json.loads(s.tool_calls[0][1]) == {"city": "Oslo", "n": [1, 2]}
        assert s.tool_calls[1] == (b"bad\xff", b"{\"a\":\xfe}", 42)
        assert s.tool_calls[2] == (None, None, 42)
        assert [r["delivered"] for r in log.calls("deliver_tool_call")] == [True] * 3

    def test_unregistered_callback_gets_nothing(self, session, log):
        script = Script()
        script.run().tool_call("f", "{}")
        s = session(script)
        s.register_tools()
        assert s.register_tools(enabled=False, stop_output=0) == 0
        s.run()
        assert s.tool_calls == []
        assert log.last("deliver_tool_call")["delivered"] is False
        assert log.last("zor_llm_set_toolcall_callback")["callback"] is None

    def test_stop_output_keeps_tool_markup_out_of_the_stream(self, session, log):
        script = Script()
        script.run().text("a").tool_text("<call>").text("b")
        s = session(script)
        s.register_tools(stop_output=1)
        s.run()
        assert s.texts()[:-1] == [b"a", b"b"]
        assert [r["suppressed"] for r in log.calls("deliver")][:3] == [False, True, False]
        s.results.clear()
        s.register_tools(stop_output=0)
        s.run()
        assert s.texts()[:-1] == [b"a", b"<call>", b"b"]


class TestThreads:
    def test_caller_thread_delivery(self, session, log):
        script = Script()
        script.run().text("a").tool_call("f")
        s = session(script)
        s.register_tools()
        s.run()
        me = threading.get_native_id()
        assert {r[5] for r in s.results} == {me}
        assert {r["tid"] for r in log.calls("deliver") + log.calls("deliver_tool_call")} == {me}

    def test_worker_thread_delivery_completes_before_run_returns(self, session, log):
        script = Script()
        script.run(thread="worker").text("a").text("b", delay_ms=20).tool_call("f").text("c")
        s = session(script)
        s.register_tools()
        s.run()
        assert s.texts() == [b"a", b"b", b"c", None]
        threads = {r[5] for r in s.results}
        assert len(threads) == 1 and threading.get_native_id() not in threads
        assert log.names()[-1] == "zor_llm_run_return"
        assert log.last("run_start")["worker"] is True

    def test_two_contexts_run_concurrently(self, session):
        script = Script()
        script.run(thread="worker").text("x", delay_ms=5).text("y", delay_ms=5)
        a, b = session(script), session(script)
        threads = [threading.Thread(target=s.run) for s in (a, b)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert a.texts() == b.texts() == [b"x", b"y", None]


class TestBreak:
    @pytest.mark.parametrize("thread", ["caller", "worker"])
    def test_break_from_another_thread_stops_the_run(self, session, sim, log, thread):
        script = Script()
        script.run(thread=thread).text("a").wait_break().text("never").break_end(ERROR, text="")
        s = session(script)
        first = threading.Event()
        s.on_result = lambda n: first.set()
        runner = threading.Thread(target=s.run)
        runner.start()
        assert first.wait(30)
        assert sim.zor_llm_break(s.ctx) == 0
        runner.join(30)
        assert not runner.is_alive()
        assert s.texts() == [b"a", b""]
        assert s.results[-1][3] == ERROR
        brk = log.last("zor_llm_break")
        assert brk["during_run"] is True and brk["in_callback"] is False
        # The break lands before or during the wait; either way nothing after it plays.
        assert all(r["break_arrived"] for r in log.calls("wait_break"))
        assert log.last("run_end")["broken"] is True

    @pytest.mark.parametrize("thread", ["caller", "worker"])
    def test_break_from_inside_the_callback(self, session, sim, log, thread):
        script = Script()
        script.run(thread=thread).text("a").text("b").text("c")
        s = session(script)
        s.on_result = lambda n: n == 2 and sim.zor_llm_break(s.ctx)
        s.run()
        # The piece being delivered completes; the rest is dropped and the
        # default break ending (FINISH, null result) follows.
        assert s.texts() == [b"a", b"b", None]
        assert s.results[-1][3] == FINISH
        brk = log.last("zor_llm_break")
        assert brk["during_run"] is True and brk["in_callback"] is True
        end = log.last("run_end")
        assert (end["events_played"], end["events_total"]) == (2, 3)

    def test_break_between_runs_does_not_reach_the_next_run(self, session, sim, log):
        script = Script()
        script.run().text("a").text("b")
        s = session(script)
        assert sim.zor_llm_break(s.ctx) == 0
        assert log.last("zor_llm_break")["during_run"] is False
        s.run()
        assert s.texts() == [b"a", b"b", None]

    def test_break_wakes_a_delay(self, session, sim):
        script = Script()
        script.run(thread="worker").text("a").text("late", delay_ms=600000)
        s = session(script)
        first = threading.Event()
        s.on_result = lambda n: first.set()
        runner = threading.Thread(target=s.run)
        runner.start()
        assert first.wait(30)
        sim.zor_llm_break(s.ctx)
        runner.join(30)
        assert not runner.is_alive() and s.texts() == [b"a", None]

    def test_a_failing_break_has_no_effect(self, session, sim, log):
        script = Script().fail("zor_llm_break")
        script.run().text("a").text("b")
        s = session(script)
        s.on_result = lambda n: n == 1 and sim.zor_llm_break(s.ctx)
        s.run()
        assert s.texts() == [b"a", b"b", None]
        assert log.last("zor_llm_break")["status"] == 1


class TestInitAndFailures:
    def test_failing_init_with_and_without_a_context(self, session, sim):
        without = session(Script().fail_init())
        assert without.init_status == 1 and not without.ctx
        kept = session(Script().fail_init(context=True))
        assert kept.init_status == 1 and kept.ctx
        before = sim.zor_lumo_sim_live_contexts()
        kept.close()
        assert sim.zor_lumo_sim_live_contexts() == before - 1

    def test_missing_or_invalid_script_fails_cleanly(self, sim, log, tmp_path, capfd,
                                                     monkeypatch):
        cb = RESULT_CB(lambda *a: None)
        for model in (b"/nonexistent/model.bin", None):
            ctx = c_void_p(0xdead)
            cfg = InitConfig(model_path=model)
            assert sim.zor_llm_init(ctypes.byref(ctx), ctypes.byref(cfg), cb) == 1
            assert not ctx
        bad = tmp_path / "bad.json"
        bad.write_text('{"runs": [{"events": [{"text": "a", "token_id": "x"}]}]}')
        cfg = InitConfig(model_path=str(bad).encode())
        ctx = c_void_p()
        assert sim.zor_llm_init(ctypes.byref(ctx), ctypes.byref(cfg), cb) == 1
        err = capfd.readouterr().err
        assert "[lumo_sim] " in err and "runs[0].events[0].token_id" in err
        assert "token_id" in log.last("zor_llm_init")["error"]
        # A model path naming no file falls back to ZOR_LUMO_SIM_SCRIPT.
        monkeypatch.setenv("ZOR_LUMO_SIM_SCRIPT", Script().write(tmp_path / "env.json"))
        cfg = InitConfig(model_path=None)
        assert sim.zor_llm_init(ctypes.byref(ctx), ctypes.byref(cfg), cb) == 0 and ctx
        assert log.last("zor_llm_init")["script"] == str(tmp_path / "env.json")
        sim.zor_llm_uninit(ctx)

    def test_script_errors_are_reported_not_crashed_on(self, sim, log, tmp_path):
        cb = RESULT_CB(lambda *a: None)
        for text in ("", "{", "[1, 2]", '{"runs": 3}', '{"runs": [{"thread": "gpu"}]}',
                     '{"returns": {"zor_llm_nope": 1}}', '{"vision": {"n_input": 2}}',
                     '{"runs": [{"events": [{"text_hex": "abc"}]}]}', "[" * 100000,
                     '{"runs": [{"events": [{"token_id": 1e40, "text": ""}]}]}'):
            path = tmp_path / "s.json"
            path.write_text(text)
            ctx = c_void_p()
            cfg = InitConfig(model_path=str(path).encode())
            assert sim.zor_llm_init(ctypes.byref(ctx), ctypes.byref(cfg), cb) == 1, text
            assert not ctx

    def test_scripted_statuses_of_the_other_calls(self, session, sim):
        functions = ["zor_llm_reset", "zor_llm_set_chat_template",
                     "zor_llm_set_chat_template_jinja", "zor_llm_set_toolcall_callback",
                     "zor_llm_get_vision_info", "zor_llm_run", "zor_llm_uninit"]
        script = Script()
        for f in functions:
            script.fail(f)
        s = session(script)
        info = VisionInfo(n_input=77)
        assert sim.zor_llm_reset(s.ctx) == 1
        assert sim.zor_llm_set_chat_template(s.ctx, b"a", None, None) == 1
        assert sim.zor_llm_set_chat_template_jinja(s.ctx, b"{{x}}") == 1
        assert s.register_tools() == 1
        assert sim.zor_llm_get_vision_info(s.ctx, ctypes.byref(info)) == 1
        assert info.n_input == 77  # untouched on failure
        assert s.run() == 1
        assert sim.zor_llm_uninit(s.ctx) == 1
        s.ctx = c_void_p()

    def test_unknown_or_released_handles_are_refused(self, session, sim, log):
        s = session(Script())
        handle = s.ctx.value
        before = sim.zor_lumo_sim_live_contexts()
        assert sim.zor_llm_uninit(handle) == 0
        assert sim.zor_lumo_sim_live_contexts() == before - 1
        s.ctx = c_void_p()
        inp, cfg, info = LLMInput(), RunConfig(), VisionInfo()
        for h in (handle, None, 0x1234):
            assert sim.zor_llm_run(h, ctypes.byref(inp), ctypes.byref(cfg), None) == 1
            assert sim.zor_llm_reset(h) == 1
            assert sim.zor_llm_break(h) == 1
            assert sim.zor_llm_uninit(h) == 1
            assert sim.zor_llm_get_vision_info(h, ctypes.byref(info)) == 1
            assert sim.zor_llm_set_toolcall_callback(h, TOOL_CB(), 0) == 1
        assert log.last("zor_llm_reset")["known"] is False

    def test_null_arguments_are_refused(self, session, sim):
        s = session(Script())
        cb = RESULT_CB(lambda *a: None)
        assert sim.zor_llm_init(None, ctypes.byref(InitConfig()), cb) == 1
        ctx = c_void_p()
        assert sim.zor_llm_init(ctypes.byref(ctx), None, cb) == 1
        assert sim.zor_llm_run(s.ctx, None, ctypes.byref(RunConfig()), None) == 1
        assert sim.zor_llm_run(s.ctx, ctypes.byref(LLMInput()), None, None) == 1
        assert sim.zor_llm_get_vision_info(s.ctx, None) == 1


class TestVisionInfo:
    def test_scripted_values_are_reported(self, session, sim):
        script = Script().vision(
            projector_type="qwen2vl", image_mean=(0.1, 0.2, 0.3), image_std=(0.4, 0.5, 0.6),
            patch_size=16, spatial_merge_size=3,
            inputs=[{"index": 0, "name": "pixels", "type": 9, "height": 392, "width": 448,
                     "channels": 3, "size": 1234}])
        s = session(script)
        info = VisionInfo()
        assert sim.zor_llm_get_vision_info(s.ctx, ctypes.byref(info)) == 0
        assert info.has_metadata == 1 and info.n_input == 1
        m = info.metadata
        assert m.projector_type == b"qwen2vl"
        assert list(m.image_mean) == [f32(0.1), f32(0.2), f32(0.3)]
        assert list(m.image_std) == [f32(0.4), f32(0.5), f32(0.6)]
        assert (m.patch_size, m.spatial_merge_size) == (16, 3)
        t = info.input[0]
        assert (t.index, t.name, t.type, t.height, t.width, t.channels, t.size) == (
            0, b"pixels", 9, 392, 448, 3, 1234)

    def test_defaults_and_odd_reports(self, session, sim):
        s = session(Script())
        info = VisionInfo(n_input=5, has_metadata=7)
        assert sim.zor_llm_get_vision_info(s.ctx, ctypes.byref(info)) == 0
        assert (info.n_input, bool(info.input), info.has_metadata) == (0, False, 0)
        long_name = b"p" * 100 + b"\xff"
        s2 = session(Script().vision(projector_type=long_name, n_input=3, input_null=True,
                                     has_metadata=False))
        assert sim.zor_llm_get_vision_info(s2.ctx, ctypes.byref(info)) == 0
        assert (info.n_input, bool(info.input), info.has_metadata) == (3, False, 0)
        # Truncated to fit its 64 bytes, NUL included.
        assert info.metadata.projector_type == b"p" * 63
        s3 = session(Script().vision(status=1))
        info = VisionInfo(n_input=9)
        assert sim.zor_llm_get_vision_info(s3.ctx, ctypes.byref(info)) == 1
        assert info.n_input == 9


class TestRecording:
    def test_init_config_every_field(self, session, log):
        marker = ctypes.c_int(5)
        cfg = InitConfig(sampling_mode=2, top_k=40, top_p=0.9, temperature=0.7,
                         repeat_penalty=1.1)
        x = cfg.init_extend
        x.vision_model_path = "mmproj.bin".encode()
        x.sampler_params_json = '{"top_k": 40, "name": "é"}'.encode()
        x.model_name_override = b"QWEN"
        x.custom_jinja_template = b"{{ messages }}"
        x.mmproj_input = ctypes.addressof(marker)
        x.mmproj_config = b"\xff{}"
        s = session(Script(), cfg)
        rec = log.last("zor_llm_init")
        c = rec["config"]
        assert c["model_path"].endswith("model0.json")
        assert (c["sampling_mode"], c["top_k"]) == (2, 40)
        assert (c["top_p"], c["temperature"], c["repeat_penalty"]) == (f32(0.9), f32(0.7), f32(1.1))
        e = c["init_extend"]
        assert e == {"vision_model_path": "mmproj.bin", "sampler_params_json": '{"top_k": 40, "name": "é"}',
                     "model_name_override": "QWEN", "custom_jinja_template": "{{ messages }}",
                     "mmproj_input": hex(ctypes.addressof(marker)), "mmproj_config": b"\xff{}",
                     "reserved_nonzero": False}
        assert ptr(rec["callback"]) == ctypes.cast(s._result_cb, c_void_p).value
        assert ptr(rec["context"]) == s.ctx.value and rec["status"] == 0
        cfg2 = InitConfig(model_path=cfg.model_path)
        cfg2.init_extend.reserved[975] = 1
        session(Script(), cfg2)
        assert log.last("zor_llm_init")["config"]["init_extend"]["reserved_nonzero"] is True
        assert log.last("zor_llm_init")["config"]["init_extend"]["vision_model_path"] is None

    def test_run_config_every_field(self, session, log):
        s = session(Script())
        rc = RunConfig(run_mode=1, retain_history=1, enable_think=1)
        x = rc.run_extend
        x.sampling_config_valid = 1
        x.sampling_mode = 3
        x.top_k = -5
        x.top_p = 0.9
        x.temperature = float("inf")
        x.repeat_penalty = 1.25
        x.sampler_params_json = b"{}"
        x.disable_chat_template = 1
        x.extra_template_params = '{"k": "ü"}'.encode()
        x.tools_schemas = b'[{"type": "function"}]'
        s.run(b"p", run_config=rc, userdata=0x5000)
        rec = log.last("zor_llm_run")
        assert rec["run_config"] == {
            "run_mode": 1, "retain_history": 1, "enable_think": 1,
            "run_extend": {"sampling_config_valid": 1, "sampling_mode": 3, "top_k": -5,
                           "top_p": f32(0.9), "temperature": float("inf"), "repeat_penalty": 1.25,
                           "sampler_params_json": "{}", "disable_chat_template": 1,
                           "extra_template_params": '{"k": "ü"}',
                           "tools_schemas": '[{"type": "function"}]', "reserved_nonzero": False}}
        assert rec["userdata"] == "0x5000" and ptr(rec["ctx"]) == s.ctx.value
        assert all(d["userdata"] == "0x5000" for d in log.calls("deliver"))

    def test_text_inputs(self, session, log):
        s = session(Script())
        s.run(None)
        s.run(b'[{"role": "user"}]', input_type=3)
        s.run(b"\xff\xfe", input_type=0)
        first, second, third = [r["input"] for r in log.calls("zor_llm_run")]
        assert first == {"input_type": 0, "role": None, "prompt_input": None,
                         "multimodal_input": None}
        assert second["prompt_input"] == '[{"role": "user"}]' and second["input_type"] == 3
        assert second["multimodal_input"] is None
        assert third["prompt_input"] == b"\xff\xfe"

    def test_multimodal_input_and_images(self, session, log, tmp_path, monkeypatch):
        monkeypatch.setenv("ZOR_LUMO_SIM_DUMP_DIR", str(tmp_path))
        s = session(Script())
        pixels = [bytes(range(i, i + 2 * 3 * 3)) for i in (0, 100)]
        bufs = [ctypes.create_string_buffer(p, len(p)) for p in pixels]
        images = (ImageInput * 2)(*(ImageInput(type=0, data=ctypes.addressof(b), width=3,
                                               height=2, timestamp=9) for b in bufs))
        inp = LLMInput(input_type=3, role=b"user")
        m = inp.multimodal_input
        m.prompt = b"see <|image_pad|>"
        m.img_inputs = images
        m.img_count = 2
        m.img_start, m.img_end, m.img_content = b"<s>", None, b"<|image_pad|>"
        m.sample_rate_num, m.sample_rate_den = 3, 4
        s.sim.zor_llm_run(s.ctx, ctypes.byref(inp), ctypes.byref(RunConfig()), None)
        rec = log.last("zor_llm_run")["input"]
        assert rec["role"] == "user" and rec["prompt_input"] == "see <|image_pad|>"
        mm = rec["multimodal_input"]
        assert (mm["prompt"], mm["img_count"], mm["img_start"], mm["img_end"],
                mm["img_content"], mm["sample_rate_num"], mm["sample_rate_den"]) == (
            "see <|image_pad|>", 2, "<s>", None, "<|image_pad|>", 3, 4)
        for image, data in zip(mm["images"], pixels):
            assert (image["type"], image["width"], image["height"], image["timestamp"],
                    image["size"]) == (0, 3, 2, 9, 18)
            assert image["fnv1a64"] == fnv1a64(data)
            assert image["head_hex"] == data[:12].hex()
            with open(image["dump"], "rb") as f:
                assert f.read() == data

    def test_token_input(self, session, log):
        s = session(Script())
        ids = (c_int32 * 3)(5, -1, 7)
        inp = LLMInput(input_type=2)
        inp.token_input.input_ids = ids
        inp.token_input.n_tokens = 3
        s.sim.zor_llm_run(s.ctx, ctypes.byref(inp), ctypes.byref(RunConfig()), None)
        assert log.last("zor_llm_run")["input"]["token_input"]["ids"] == [5, -1, 7]

    def test_templates_reset_and_call_order(self, session, sim, log):
        s = session(Script())
        sim.zor_llm_set_chat_template(s.ctx, b"sys", None, "→".encode())
        sim.zor_llm_set_chat_template_jinja(s.ctx, None)
        sim.zor_llm_set_chat_template_jinja(s.ctx, b"{{ x }}")
        sim.zor_llm_reset(s.ctx)
        s.register_tools(stop_output=1)
        s.run()
        s.close()
        t = log.last("zor_llm_set_chat_template")
        assert (t["system_prompt"], t["prompt_prefix"], t["prompt_postfix"]) == ("sys", None, "→")
        assert [r["jinja_template"] for r in log.calls("zor_llm_set_chat_template_jinja")] == [
            None, "{{ x }}"]
        tools = log.last("zor_llm_set_toolcall_callback")
        assert tools["stop_output"] == 1 and ptr(tools["callback"]) == ctypes.cast(
            s._tool_cb, c_void_p).value
        assert log.names() == [
            "zor_llm_init", "zor_llm_set_chat_template", "zor_llm_set_chat_template_jinja",
            "zor_llm_set_chat_template_jinja", "zor_llm_reset", "zor_llm_set_toolcall_callback",
            "zor_llm_run", "run_start", "run_end", "deliver", "zor_llm_run_return",
            "zor_llm_uninit"]
        seqs = [r["seq"] for r in log.records()]
        assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)
