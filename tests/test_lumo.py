"""LUMO against the simulated LLM runtime: what reaches the runtime for each
argument combination, what the callback bridges collect, the result dict,
the object's lifecycle and its argument checking. Behaviour that is per
process (the library loaded once, ZOR_LUMO_PATH, signals) runs in fresh
interpreters."""
import gc
import importlib.util
import json
import pickle
import re
import signal
import sys
import threading
import types

import numpy as np
import pytest

from conftest import build_shared_library, run_python
from lumo_script import ERROR, FINISH, Script, SimLog, f32, fnv1a64, ptr, sim_env
from stub_signatures import check_stub_against_module

PKG = "zorllm_openai_server.zor_lumo"
NOT_INIT = "LUMO has not been initialized \u2013 call init() first"


@pytest.fixture
def lumo_mod():
    from zorllm_openai_server.zor_lumo import _lumo
    return _lumo


@pytest.fixture
def lumo_types():
    from zorllm_openai_server.zor_lumo import types as t
    return t


@pytest.fixture
def sim(tmp_path, sim_lumo_path, monkeypatch, lumo_mod):
    """Objects on the simulated runtime, each logging into one call log.
    make(script, **init_kwargs) constructs (and, with a script, initialises)
    a LUMO; everything made is released and its SIGINT handler restored."""
    monkeypatch.setenv("ZOR_LUMO_PATH", str(sim_lumo_path))
    log = SimLog(tmp_path / "sim.log")
    monkeypatch.setenv("ZOR_LUMO_SIM_LOG", log.path)
    made = []

    def make(script=None, **init_kwargs):
        lumo = lumo_mod.LUMO()
        made.append(lumo)
        if script is not None:
            model = script.write(tmp_path / f"model{len(made)}.json")
            assert lumo.init(model, **init_kwargs) == 0
        return lumo

    def model(script):
        return script.write(tmp_path / f"model_x{len(made)}.json")

    yield types.SimpleNamespace(make=make, model=model, log=log, tmp=tmp_path)
    for lumo in reversed(made):
        lumo.uninit()
        lumo._restore_sigint_handler()
    made.clear()
    gc.collect()


def one_run(sim, script=None, init_kwargs=None, **run_kwargs):
    """Initialises an object on script, runs once, returns (result, run record)."""
    script = script or _simple_script()
    lumo = sim.make(script, **(init_kwargs or {}))
    result = lumo.run(**run_kwargs)
    return result, sim.log.last("zor_llm_run")


def _simple_script():
    s = Script()
    s.run().text("ok")
    return s


# ---- Lifecycle ---------------------------------------------------------------

class TestLifecycle:
    def test_fresh_object_state_and_uninit(self, sim, lumo_types):
        lumo = sim.make()
        assert lumo.context is None
        assert lumo.vision_metadata == {}
        assert lumo.mmproj_model is False
        rc = lumo.uninit()
        assert rc == lumo_types.RetStatus.SUCCESS and isinstance(rc, lumo_types.RetStatus)
        assert sim.log.calls("zor_llm_uninit") == []

    def test_init_fills_config_and_registers_tool_bridge(self, sim):
        lumo = sim.make()
        model = sim.model(_simple_script())
        rc = lumo.init(model, sampling_mode="top_p", sampler_params={"top_k": 5, "name": "é"},
                       mmproj_path="", model_type_override="QWEN",
                       custom_jinja_template="{{ x }}", mmproj_config='{"a": 1}')
        assert rc == 0
        init = sim.log.last("zor_llm_init")
        cfg = init["config"]
        assert cfg["model_path"] == model
        assert cfg["sampling_mode"] == 1
        assert (cfg["top_k"], cfg["top_p"], cfg["temperature"], cfg["repeat_penalty"]) == (0, 0, 0, 0)
        ext = cfg["init_extend"]
        assert json.loads(ext["sampler_params_json"]) == {"top_k": 5, "name": "é"}
        assert "é" in ext["sampler_params_json"]  # ensure_ascii=False
        assert ext["vision_model_path"] is None
        assert ext["model_name_override"] == "QWEN"
        assert ext["custom_jinja_template"] == "{{ x }}"
        assert ext["mmproj_config"] == '{"a": 1}'
        assert ptr(ext["mmproj_input"]) is None and ext["reserved_nonzero"] is False
        assert lumo.context == ptr(init["context"])
        # Right after init, the tool bridge is registered with stop_output 1;
        # no vision query without a projector model.
        names = sim.log.names()
        assert names[names.index("zor_llm_init") + 1] == "zor_llm_set_toolcall_callback"
        tool = sim.log.last("zor_llm_set_toolcall_callback")
        assert ptr(tool["callback"]) is not None and tool["stop_output"] == 1
        assert sim.log.calls("zor_llm_get_vision_info") == []
        assert lumo.vision_metadata == {} and lumo.mmproj_model is False

    def test_init_defaults_and_empty_texts_are_null(self, sim):
        lumo = sim.make()
        assert lumo.init(sim.model(_simple_script()), None, None) == 0
        cfg = sim.log.last("zor_llm_init")["config"]
        assert cfg["sampling_mode"] == 0
        ext = cfg["init_extend"]
        for key in ("sampler_params_json", "vision_model_path", "model_name_override",
                    "custom_jinja_template", "mmproj_config"):
            assert ext[key] is None, key

    def test_failed_init_keeps_context_written_by_runtime(self, sim, lumo_types):
        lumo = sim.make()
        rc = lumo.init(sim.model(Script().fail_init(1, context=True)))
        assert rc == lumo_types.RetStatus(1)
        assert lumo.context is not None  # kept, whatever the status
        rc = lumo.init(sim.model(Script().fail_init(1, context=False)))
        assert rc == 1 and lumo.context is None
        with pytest.raises(RuntimeError, match=re.escape(NOT_INIT)):
            lumo.reset()

    def test_second_init_releases_the_first_context(self, sim, sim_lumo_path):
        import ctypes
        live = ctypes.CDLL(str(sim_lumo_path)).zor_lumo_sim_live_contexts
        lumo = sim.make(_simple_script())
        first = lumo.context
        before = live()
        assert lumo.init(sim.model(_simple_script())) == 0
        assert lumo.context != first
        assert live() == before  # the first context was released, not leaked
        uninits = sim.log.calls("zor_llm_uninit")
        assert len(uninits) == 1 and ptr(uninits[0]["ctx"]) == first and uninits[0]["known"]

    def test_uninit_releases_and_forgets_callbacks(self, sim, lumo_types):
        calls = []
        lumo = sim.make(_simple_script(), on_token=lambda *a: calls.append(a))
        assert lumo.uninit() == lumo_types.RetStatus.SUCCESS
        assert lumo.context is None
        assert len(sim.log.calls("zor_llm_uninit")) == 1
        assert lumo.uninit() == 0  # second time: nothing to do
        assert len(sim.log.calls("zor_llm_uninit")) == 1
        for method, args in (("reset", ()), ("interrupt", ()), ("run", ("x",)),
                             ("set_chat_template", ("a", "b", "c")),
                             ("set_chat_template_jinja", ("j",)),
                             ("set_toolcall_callback", ())):
            with pytest.raises(RuntimeError) as err:
                getattr(lumo, method)(*args)
            assert str(err.value) == NOT_INIT, method

    def test_reset_interrupt_and_templates(self, sim):
        script = Script().fail("zor_llm_reset")
        script.run().text("x")
        lumo = sim.make(script)
        assert lumo.reset() == 1  # runtime failure is a status, not an exception
        assert lumo.interrupt() == 0
        assert lumo.set_chat_template("", None, "post") == 0
        rec = sim.log.last("zor_llm_set_chat_template")
        assert (rec["system_prompt"], rec["prompt_prefix"], rec["prompt_postfix"]) == (None, None, "post")
        assert lumo.set_chat_template(system_prompt="sys", prompt_prefix="pre",
                                      prompt_postfix="") == 0
        rec = sim.log.last("zor_llm_set_chat_template")
        assert (rec["system_prompt"], rec["prompt_prefix"], rec["prompt_postfix"]) == ("sys", "pre", None)
        assert lumo.set_chat_template_jinja("{{ messages }}") == 0
        assert sim.log.last("zor_llm_set_chat_template_jinja")["jinja_template"] == "{{ messages }}"
        assert lumo.set_chat_template_jinja(None) == 0
        assert sim.log.last("zor_llm_set_chat_template_jinja")["jinja_template"] is None

    def test_set_toolcall_callback(self, sim):
        lumo = sim.make(_simple_script())
        bridge = sim.log.last("zor_llm_set_toolcall_callback")["callback"]
        assert lumo.set_toolcall_callback(False) == 0
        rec = sim.log.last("zor_llm_set_toolcall_callback")
        assert ptr(rec["callback"]) is None and rec["stop_output"] == 0
        assert lumo.set_toolcall_callback(stop_output=1) == 0
        rec = sim.log.last("zor_llm_set_toolcall_callback")
        assert rec["callback"] == bridge and rec["stop_output"] == 1
        with pytest.raises(OverflowError):
            lumo.set_toolcall_callback(True, 2 ** 31)

    def test_subclasses_and_other_module_instances_find_their_module(self, sim, lumo_mod, tmp_path):
        class Mixin:  # first in the MRO, before LUMO
            pass

        class Mid(Mixin, lumo_mod.LUMO):
            pass

        class Deep(Mid):
            pass

        # A second instance of the module has its own LUMO and state.
        found = importlib.util.find_spec(f"{PKG}._lumo")
        other = importlib.util.module_from_spec(found)
        found.loader.exec_module(other)
        assert other.LUMO is not lumo_mod.LUMO

        class OtherSub(other.LUMO):
            pass

        model = _simple_script().write(tmp_path / "sub.json")
        for cls in (Deep, OtherSub):
            lumo = cls()
            try:
                assert lumo.init(model) == 0
                assert lumo.run("p")["text"] == "ok"
            finally:
                lumo.uninit()
                lumo._restore_sigint_handler()

    def test_dropped_while_an_error_is_pending(self, sim, lumo_mod, tmp_path):
        model = _simple_script().write(tmp_path / "drop.json")

        def initialised():
            lumo = lumo_mod.LUMO()
            assert lumo.init(model) == 0
            return lumo

        # The call's own reference is the last: the object dies, releasing its
        # context and putting back the SIGINT handler, with the TypeError set.
        before = signal.getsignal(signal.SIGINT)
        with pytest.raises(TypeError, match="Argument 'prompt_input' has incorrect type"):
            initialised().run(b"not a str")
        assert len(sim.log.calls("zor_llm_uninit")) == 1
        assert signal.getsignal(signal.SIGINT) is before

    def test_not_picklable(self, sim):
        lumo = sim.make()
        for proto in range(pickle.HIGHEST_PROTOCOL + 1):
            with pytest.raises(TypeError):
                pickle.dumps(lumo, proto)

    def test_objects_share_one_loaded_library(self, sim_lumo_path, tmp_path):
        # In a fresh process: the library is opened by the first object only,
        # stays while any object lives, and is closed with the last one.
        model = _simple_script().write(tmp_path / "model.json")
        code = f"""
import ctypes, gc, os
from zorllm_openai_server.zor_lumo._lumo import LUMO
MODEL = {model!r}
live = ctypes.CDLL(os.environ["ZOR_LUMO_PATH"]).zor_lumo_sim_live_contexts
a = LUMO()
b = LUMO()
os.environ["ZOR_LUMO_PATH"] = "/nonexistent/liblumo.so"
c = LUMO()  # the library is loaded already: not opened again
for o in (c, b, a):
    o._restore_sigint_handler()
del o
assert a.init(MODEL) == 0 and live() == 1
del a; gc.collect()  # its context released, the library kept for b and c
assert live() == 0
assert b.init(MODEL) == 0 and b.run("p")["text"] == "ok"
d = LUMO(); d._restore_sigint_handler()  # objects still alive: still loaded
del b, c, d; gc.collect()
try:
    LUMO()  # the last object unloaded it; this one must open it again
except RuntimeError as e:
    assert str(e).startswith("Cannot load liblumo.so: /nonexistent/liblumo.so: "), e
else:
    raise AssertionError("the library was not unloaded with the last object")
print("OK")
"""
        proc = run_python(code, env=sim_env(sim_lumo_path))
        assert proc.returncode == 0, proc.stderr
        assert "OK" in proc.stdout


class TestVisionMetadata:
    DEFAULTS = {
        "projector_type": "", "patch_size": 14, "proj_scale_factor": 0,
        "image_mean": [0.5, 0.5, 0.5], "image_std": [0.5, 0.5, 0.5], "spatial_merge_size": 2,
        "image_size": 0, "n_wa_pattern": 0, "embed_dim": 0, "has_class_embed": 0, "nx": 0,
        "ny": 0, "has_metadata": 0, "image_fmt": 1, "model_width": 0, "model_height": 0,
    }

    def test_defaults_when_runtime_reports_nothing(self, sim):
        script = Script().vision(has_metadata=False)
        lumo = sim.make(script, mmproj_path="proj.bin")
        assert lumo.mmproj_model is True
        assert sim.log.last("zor_llm_init")["config"]["init_extend"]["vision_model_path"] == "proj.bin"
        meta = lumo.vision_metadata
        assert meta == self.DEFAULTS and list(meta) == list(self.DEFAULTS)
        assert lumo.vision_metadata is meta  # the dict itself, not a copy

    def test_failed_query_keeps_defaults(self, sim):
        lumo = sim.make(Script().vision(status=1, projector_type="x", patch_size=9),
                        mmproj_path="p")
        assert lumo.vision_metadata == self.DEFAULTS

    def test_reported_metadata_and_input_size(self, sim):
        script = Script().vision(projector_type="qwen2vl", image_mean=(0.25, 0.5, 0.75),
                                 image_std=(0.125, 0.25, 1.0), patch_size=0,
                                 spatial_merge_size=3,
                                 inputs=[{"index": 0, "name": "pixels", "type": 9, "height": 392,
                                          "width": 448, "channels": 3, "size": 1}])
        lumo = sim.make(script, mmproj_path="p")
        meta = lumo.vision_metadata
        assert meta["has_metadata"] == 1 and meta["projector_type"] == "qwen2vl"
        assert meta["image_mean"] == [0.25, 0.5, 0.75] and meta["image_std"] == [0.125, 0.25, 1.0]
        assert meta["patch_size"] == 14  # 0 keeps the default
        assert meta["spatial_merge_size"] == 3
        assert (meta["model_width"], meta["model_height"]) == (448, 392)

    def test_inputs_without_metadata_and_uninit_keeps_metadata(self, sim):
        script = Script().vision(has_metadata=False, projector_type="ignored", patch_size=16,
                                 inputs=[{"index": 0, "name": "x", "type": 0, "height": 10,
                                          "width": 20, "channels": 3, "size": 600}])
        lumo = sim.make(script, mmproj_path="p")
        meta = lumo.vision_metadata
        assert meta["projector_type"] == "" and meta["patch_size"] == 14
        assert (meta["model_width"], meta["model_height"]) == (20, 10)
        lumo.uninit()
        assert lumo.vision_metadata == meta and lumo.mmproj_model is True

    def test_metadata_follows_the_current_model(self, sim):
        lumo = sim.make(Script().vision(projector_type="qwen2vl", patch_size=16), mmproj_path="p")
        assert lumo.vision_metadata["projector_type"] == "qwen2vl"
        assert lumo.init(sim.model(_simple_script())) == 0  # a model without a projector
        assert lumo.vision_metadata == {} and lumo.mmproj_model is False

    def test_null_input_array_is_not_read(self, sim):
        lumo = sim.make(Script().vision(has_metadata=False, n_input=2, input_null=True),
                        mmproj_path="p")
        assert lumo.vision_metadata["model_width"] == 0


# ---- Argument checking -----------------------------------------------------------

class TestArguments:
    def test_init_types(self, sim):
        lumo = sim.make()
        class S(str):
            pass
        for kwargs, name, got in (({"model_path": 5}, "model_path", "int"),
                                  ({"model_path": S("m")}, "model_path", "S"),
                                  ({"model_path": "m", "mmproj_path": b"p"}, "mmproj_path", "bytes"),
                                  ({"model_path": "m", "model_type_override": 1}, "model_type_override", "int"),
                                  ({"model_path": "m", "custom_jinja_template": []}, "custom_jinja_template", "list"),
                                  ({"model_path": "m", "mmproj_config": {}}, "mmproj_config", "dict"),
                                  ({"model_path": np.str_("m")}, "model_path", "numpy.str_")):
            with pytest.raises(TypeError) as err:
                lumo.init(**kwargs)
            assert str(err.value) == (f"Argument '{name}' has incorrect type (expected str, got {got})")
        with pytest.raises(TypeError):
            lumo.init()
        with pytest.raises(TypeError):
            lumo.init(*(["m"] * 10))
        with pytest.raises(ValueError, match="Invalid sampling_mode: 'nope'"):
            lumo.init("m", sampling_mode="nope")
        with pytest.raises(TypeError):  # not JSON-serialisable
            lumo.init("m", sampler_params={"x": object()})
        assert sim.log.calls("zor_llm_init") == []

    def test_bad_arguments_leave_an_existing_context_alone(self, sim):
        lumo = sim.make(_simple_script())
        ctx = lumo.context
        with pytest.raises(ValueError):
            lumo.init("m", sampling_mode=7)
        assert lumo.context == ctx and sim.log.calls("zor_llm_uninit") == []

    def test_template_types_checked_before_context(self, sim):
        lumo = sim.make()
        with pytest.raises(TypeError, match="Argument 'prompt_prefix' has incorrect type"):
            lumo.set_chat_template("a", 1, "c")
        with pytest.raises(TypeError, match="Argument 'jinja_template'"):
            lumo.set_chat_template_jinja(b"x")
        with pytest.raises(TypeError):
            lumo.set_chat_template("a", "b")

    def test_run_types_and_ranges(self, sim, lumo_types):
        lumo = sim.make(_simple_script())
        bad = [({"prompt_input": b"x"}, TypeError, "Argument 'prompt_input' has incorrect type (expected str, got bytes)"),
               ({"images": (np.zeros((2, 2, 3)),)}, TypeError, "Argument 'images' has incorrect type (expected list, got tuple)"),
               ({"images": np.zeros((1, 2, 2, 3))}, TypeError, "(expected list, got numpy.ndarray)"),
               ({"img_start": 1}, TypeError, "Argument 'img_start'"),
               ({"img_end": 1}, TypeError, "Argument 'img_end'"),
               ({"img_content": 1}, TypeError, "Argument 'img_content'"),
               ({"retain_history": 2 ** 31}, OverflowError, None),
               ({"enable_think": -2 ** 31 - 1}, OverflowError, None),
               ({"disable_chat_template": 1.5}, TypeError, None),
               ({"run_mode": 0}, AttributeError, None),
               ({"run_mode": types.SimpleNamespace(value=-1)}, OverflowError, "can't convert negative value to ZOR_LLMRunMode"),
               ({"run_mode": types.SimpleNamespace(value=2 ** 32)}, OverflowError, "value too large to convert to ZOR_LLMRunMode"),
               ({"top_k": 2 ** 31}, OverflowError, "value too large to convert to int32_t"),
               ({"top_k": "x"}, ValueError, None),
               ({"top_p": "x"}, ValueError, None),
               ({"sampling_mode": "bogus"}, ValueError, "Invalid sampling_mode"),
               ({"sampling_mode": []}, TypeError, None),
               ({"tool_schemas": 5}, TypeError, None),
               ({"extra_template_params": {1j}}, TypeError, None),
               ({"sampler_params": object()}, TypeError, None),
               # Texts the runtime reads up to a NUL; floats float32 cannot hold.
               ({"prompt_input": "a\0b"}, ValueError, "embedded null character"),
               ({"top_p": 1e40}, OverflowError, "value too large to convert to float32"),
               ({"temperature": -1e39}, OverflowError, "value too large to convert to float32"),
               ({"repeat_penalty": float("nan")}, ValueError, "must be finite"),
               ({"top_p": float("inf")}, ValueError, "must be finite")]
        for kwargs, exc, message in bad:
            with pytest.raises(exc) as err:
                lumo.run(**{"prompt_input": "hi", **kwargs})
            if message:
                assert message in str(err.value), kwargs
        assert sim.log.calls("zor_llm_run") == []
        with pytest.raises(TypeError):
            lumo.run(*([None] * 20))

    def test_embedded_nul_in_any_text_is_refused(self, sim):
        lumo = sim.make(_simple_script())
        calls = [lambda: lumo.init("m\0odel"), lambda: lumo.init(sim.model(_simple_script()), mmproj_path="p\0"),
                 lambda: lumo.set_chat_template("s\0", "", ""), lambda: lumo.set_chat_template_jinja("{{\0}}")]
        for call in calls:
            with pytest.raises(ValueError, match="embedded null character"):
                call()
        names = sim.log.names()
        assert names.count("zor_llm_init") == 1 and "zor_llm_set_chat_template" not in names


# ---- What reaches the runtime --------------------------------------------------------

class TestRunInputs:
    def test_plain_prompt_defaults(self, sim, lumo_mod):
        lumo = sim.make(_simple_script())
        result = lumo.run("hello")
        rec = sim.log.last("zor_llm_run")
        inp, cfg = rec["input"], rec["run_config"]
        assert inp["input_type"] == 0 and inp["prompt_input"] == "hello"
        assert inp["role"] is None and inp["multimodal_input"] is None
        assert (cfg["run_mode"], cfg["retain_history"], cfg["enable_think"]) == (0, 0, 0)
        ext = cfg["run_extend"]
        assert ext == {"sampling_config_valid": 0, "sampling_mode": 0, "top_k": 0, "top_p": 0,
                       "temperature": 0, "repeat_penalty": 0, "sampler_params_json": None,
                       "disable_chat_template": 1, "extra_template_params": None,
                       "tools_schemas": None, "reserved_nonzero": False}
        assert ptr(rec["userdata"]) == id(lumo)
        assert result["text"] == "ok"

    def test_empty_and_none_prompt_are_null(self, sim):
        lumo = sim.make(_simple_script())
        lumo.run()
        assert sim.log.last("zor_llm_run")["input"]["prompt_input"] is None
        lumo.run(None, messages_mode=True)
        inp = sim.log.last("zor_llm_run")["input"]
        assert inp["prompt_input"] is None and inp["input_type"] == 3

    def test_messages_mode(self, sim):
        msgs = json.dumps([{"role": "user", "content": "hi <|image_pad|>"}])
        _, rec = one_run(sim, prompt_input=msgs, messages_mode=1)
        assert rec["input"]["input_type"] == 3 and rec["input"]["prompt_input"] == msgs
        assert rec["input"]["multimodal_input"] is None

    def test_config_values(self, sim, lumo_types):
        tools = [{"type": "function", "function": {"name": "größe"}}]
        _, rec = one_run(sim, prompt_input="p", run_mode=lumo_types.RunMode.EMBEDDING,
                         retain_history=1, enable_think=True, disable_chat_template=0,
                         tool_schemas=tools, extra_template_params={"k": "ü"},
                         sampler_params={})
        cfg = rec["run_config"]
        assert (cfg["run_mode"], cfg["retain_history"], cfg["enable_think"]) == (1, 1, 1)
        ext = cfg["run_extend"]
        assert ext["disable_chat_template"] == 0
        assert ext["tools_schemas"] == json.dumps(tools, ensure_ascii=False)
        assert ext["extra_template_params"] == '{"k": "ü"}'
        # An empty sampler_params dict still counts as a per-run setting.
        assert ext["sampler_params_json"] == "{}" and ext["sampling_config_valid"] == 1

    def test_empty_tool_schemas_are_null(self, sim):
        _, rec = one_run(sim, prompt_input="p", tool_schemas=[])
        assert rec["run_config"]["run_extend"]["tools_schemas"] is None

    def test_sampling_overrides(self, sim, lumo_types):
        lumo = sim.make(_simple_script())
        lumo.run("p", top_p=0.9)
        ext = sim.log.last("zor_llm_run")["run_config"]["run_extend"]
        assert ext["sampling_config_valid"] == 1 and ext["top_p"] == f32(0.9)
        assert (ext["sampling_mode"], ext["top_k"], ext["temperature"], ext["repeat_penalty"]) == (0, 0, 0, 0)
        lumo.run("p", sampling_mode=lumo_types.SamplingMode.CHAIN_SAMPLER, top_k=40.7,
                 temperature="0.5", repeat_penalty=1.1)
        ext = sim.log.last("zor_llm_run")["run_config"]["run_extend"]
        assert (ext["sampling_mode"], ext["top_k"]) == (3, 40)
        assert ext["temperature"] == 0.5 and ext["repeat_penalty"] == f32(1.1)
        lumo.run("p", sampling_mode=" TopK ")
        ext = sim.log.last("zor_llm_run")["run_config"]["run_extend"]
        assert ext["sampling_mode"] == 2 and ext["sampling_config_valid"] == 1
        lumo.run("p", top_k=-(2 ** 31))
        assert sim.log.last("zor_llm_run")["run_config"]["run_extend"]["top_k"] == -(2 ** 31)

    def test_positional_order(self, sim, lumo_types):
        lumo = sim.make(_simple_script())
        lumo.run("p", lumo_types.RunMode.GENERATE, 1, "ud", None, None, None, None, None,
                 None, 0, None, 1, "top_p", 7, 0.5, 0.25, 2.0, False)
        cfg = sim.log.last("zor_llm_run")["run_config"]
        ext = cfg["run_extend"]
        assert (cfg["retain_history"], cfg["enable_think"], ext["disable_chat_template"]) == (1, 1, 0)
        assert (ext["sampling_mode"], ext["top_k"], ext["top_p"], ext["temperature"],
                ext["repeat_penalty"]) == (1, 7, 0.5, 0.25, 2.0)


class TestRunImages:
    def _lumo(self, sim):
        return sim.make(_simple_script(), mmproj_path="proj")

    def test_images_need_a_projector(self, sim):
        lumo = sim.make(_simple_script())
        with pytest.raises(RuntimeError) as err:
            lumo.run("x", images=[np.zeros((2, 2, 3), np.uint8)])
        assert str(err.value) == ("Images provided but mmproj not initialized \u2014 pass mmproj_path to init()")
        lumo.run("x", images=[])  # empty list: text path
        assert sim.log.last("zor_llm_run")["input"]["input_type"] == 0

    def test_markers_wrap_placeholders(self, sim):
        lumo = self._lumo(sim)
        img = np.arange(2 * 3 * 3, dtype=np.uint8).reshape(2, 3, 3)
        lumo.run("see <|image_pad|> and <|image_pad|>!", images=[img, img.copy()])
        inp = sim.log.last("zor_llm_run")["input"]
        assert inp["input_type"] == 3
        mm = inp["multimodal_input"]
        pad = "<|vision_start|><|image_pad|><|vision_end|>"
        assert mm["prompt"] == f"see {pad} and {pad}!"
        assert (mm["img_start"], mm["img_end"], mm["img_content"]) == (
            "<|vision_start|>", "<|vision_end|>", "<|image_pad|>")
        assert mm["img_count"] == 2 and (mm["sample_rate_num"], mm["sample_rate_den"]) == (0, 0)
        for image in mm["images"]:
            assert (image["type"], image["width"], image["height"], image["timestamp"]) == (0, 3, 2, 0)
            assert image["size"] == 18 and image["fnv1a64"] == fnv1a64(img.tobytes())

    def test_prompt_unchanged_in_messages_mode_or_without_placeholder(self, sim):
        lumo = self._lumo(sim)
        img = np.zeros((1, 1, 3), np.uint8)
        lumo.run("a <|image_pad|> b", images=[img], messages_mode=True)
        assert sim.log.last("zor_llm_run")["input"]["multimodal_input"]["prompt"] == "a <|image_pad|> b"
        lumo.run("no placeholder", images=[img])
        assert sim.log.last("zor_llm_run")["input"]["multimodal_input"]["prompt"] == "no placeholder"
        lumo.run("", images=[img])
        assert sim.log.last("zor_llm_run")["input"]["multimodal_input"]["prompt"] is None

    def test_custom_and_empty_markers(self, sim):
        lumo = self._lumo(sim)
        img = np.zeros((1, 1, 3), np.uint8)
        lumo.run("x[IMG]y", images=[img], img_start="<s>", img_end="</s>", img_content="[IMG]")
        mm = sim.log.last("zor_llm_run")["input"]["multimodal_input"]
        assert mm["prompt"] == "x<s>[IMG]</s>y"
        lumo.run("x<|image_pad|>y", images=[img], img_start="", img_end=None)
        mm = sim.log.last("zor_llm_run")["input"]["multimodal_input"]
        assert mm["prompt"] == "x<|image_pad|>y"
        assert mm["img_start"] is None and mm["img_end"] is None
        lumo.run(None, images=[img])  # a None prompt counts as empty, with images too
        mm = sim.log.last("zor_llm_run")["input"]["multimodal_input"]
        assert mm["prompt"] is None and mm["img_count"] == 1

    def test_images_are_normalised(self, sim):
        lumo = self._lumo(sim)
        chw = np.arange(3 * 2 * 4, dtype=np.uint8).reshape(3, 2, 4)
        floats = np.full((2, 2, 4), 0.5, dtype=np.float32)
        lumo.run("p", images=[chw, floats])
        images = sim.log.last("zor_llm_run")["input"]["multimodal_input"]["images"]
        assert (images[0]["width"], images[0]["height"]) == (4, 2)
        assert images[0]["fnv1a64"] == fnv1a64(np.transpose(chw, (1, 2, 0)).tobytes())
        assert images[1]["fnv1a64"] == fnv1a64(bytes([127]) * 12)

    def test_bad_images_raise_and_nothing_runs(self, sim, lumo_mod, monkeypatch):
        lumo = self._lumo(sim)
        with pytest.raises(ValueError, match="Image must have 3 colour channels"):
            lumo.run("p", images=[np.zeros((2, 2, 3), np.uint8), np.zeros((2, 2, 2))])
        with pytest.raises(ValueError, match="Image must be 3D"):
            lumo.run("p", images=[np.zeros((2, 2))])
        with pytest.raises(IndexError, match=r"Out of bounds on buffer access \(axis 0\)"):
            lumo.run("p", images=[np.zeros((0, 2, 3), np.uint8)])
        nan = np.full((2, 2, 3), 0.5, np.float32)
        nan[1, 1, 2] = np.nan  # no uint8 value: refused, not converted
        with pytest.raises(ValueError, match="NaN"):
            lumo.run("p", images=[nan])
        # as_rgb888 is looked up at each image; a replacement returning the
        # wrong layout is refused instead of being read out of bounds.
        monkeypatch.setattr(lumo_mod, "as_rgb888", lambda image: np.zeros((2, 2), np.uint8))
        with pytest.raises(ValueError, match="wrong number of dimensions"):
            lumo.run("p", images=[1])
        monkeypatch.setattr(lumo_mod, "as_rgb888", lambda image: np.zeros((4, 4, 1), np.uint8))
        with pytest.raises(ValueError):
            lumo.run("p", images=[1])
        monkeypatch.setattr(lumo_mod, "as_rgb888", lambda image: np.zeros((4, 4, 3), np.float32))
        with pytest.raises(ValueError, match="dtype mismatch"):
            lumo.run("p", images=[1])
        assert sim.log.calls("zor_llm_run") == []


# ---- What comes back -----------------------------------------------------------------

class TestBridgesAndResult:
    def test_routing_and_result_dict(self, sim, lumo_types):
        script = Script()
        script.run().reasoning("think", token_id=11).text("Hel", token_id=12).text("lo", token_id=13)
        seen = []
        lumo = sim.make(script, on_token=lambda r, ud, st: seen.append((r, ud, st)))
        marker = object()
        result = lumo.run("p", userdata=marker)
        assert list(result) == ["text", "reasoning", "tool_text", "token_ids", "status",
                                "token_count", "tool_calls"]
        assert result["text"] == "Hello" and result["reasoning"] == "think"
        assert result["tool_text"] == "" and result["tool_calls"] == []
        assert result["token_ids"] == [11, 12, 13, 0] and result["token_count"] == 4
        assert result["status"] == lumo_types.RunStatus.FINISH
        assert isinstance(result["status"], lumo_types.RunStatus)
        pieces = [(r.text, r.token_id, r.content_type) for r, _, _ in seen]
        assert pieces == [(b"think", 11, 1), (b"Hel", 12, 0), (b"lo", 13, 0), (b"", 0, 0)]
        assert all(ud is marker for _, ud, _ in seen)
        assert [st for _, _, st in seen] == [0, 0, 0, 1]
        assert all(isinstance(r, lumo_types.Result) for r, _, _ in seen)

    def test_tool_calls_and_tool_text(self, sim):
        script = Script()
        script.run().tool_text("<tool>").tool_call("get", {"city": "Köln"}) \
              .tool_call(b"bad\xff", b"{\xfe}").text("done")
        got = []
        lumo = sim.make(script, on_tool_call=lambda n, a, ud: got.append((n, a, ud)))
        result = lumo.run("p", userdata=7)
        # Registered with stop_output 1: markup kept out of the stream.
        assert result["tool_text"] == "" and result["token_ids"] == [2, 0]
        assert result["tool_calls"] == [{"name": "get", "arguments": '{"city":"Köln"}'},
                                        {"name": "bad\ufffd", "arguments": "{\ufffd}"}]
        assert got == [("get", '{"city":"Köln"}', 7), ("bad\ufffd", "{\ufffd}", 7)]
        lumo.set_toolcall_callback(True, 0)
        result = lumo.run("p")
        assert result["tool_text"] == "<tool>" and result["token_ids"] == [1, 2, 0]
        lumo.set_toolcall_callback(False)
        result = lumo.run("p")
        assert result["tool_calls"] == [] and len(got) == 4

    def test_tool_calls_without_user_callback_and_null_texts(self, sim):
        script = Script()
        script.run().tool_call(None, None).text(None).null_result()
        result, _ = one_run(sim, script, prompt_input="p")
        assert result["tool_calls"] == [{"name": "", "arguments": ""}]
        assert result["text"] == "" and result["token_ids"] == [1, 0, 0]

    def test_invalid_utf8_and_split_characters(self, sim):
        script = Script()
        euro = "€".encode()
        script.run().text(euro[:1]).text(euro[1:]).text(b"\xff").end(ERROR)
        result, _ = one_run(sim, script, prompt_input="p")
        assert result["text"] == "€\ufffd"  # joined before decoding
        assert result["token_count"] == 4 and result["status"] == ERROR

    def test_unknown_run_state_keeps_the_piece(self, sim):
        script = Script()
        script.run().text("a").text("b", status=7).end(None)
        seen = []
        lumo = sim.make(script, on_token=lambda r, ud, st: seen.append(st))
        result = lumo.run("p")
        assert result["text"] == "ab" and result["status"] == 7 and seen == [0, 7]

    def test_no_delivery_means_error_status(self, sim, lumo_types):
        script = Script()
        script.run().end(None)
        result, _ = one_run(sim, script, prompt_input="p")
        assert result["status"] == lumo_types.RunStatus.ERROR
        assert result["text"] == "" and result["token_count"] == 0

    def test_accumulators_reset_per_run(self, sim):
        script = Script()
        script.run().text("a").tool_call("f", "{}")
        script.run().text("b")
        lumo = sim.make(script)
        assert lumo.run("1")["text"] == "a"
        second = lumo.run("2")
        assert second["text"] == "b" and second["tool_calls"] == [] and second["token_ids"] == [1, 0]

    def test_raising_callbacks_are_reported_and_generation_goes_on(self, sim, monkeypatch):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        script = Script()
        script.run().text("a").text("b").tool_call("f", "{}").text("c")
        count = []

        def on_token(r, ud, st):
            count.append(r.text)
            if r.text == b"a":
                raise ValueError("boom")

        def on_tool(n, a, ud):
            raise KeyError("tool boom")

        lumo = sim.make(script, on_token=on_token, on_tool_call=on_tool)
        result = lumo.run("p")
        assert result["text"] == "abc" and count == [b"a", b"b", b"c", b""]
        assert result["tool_calls"] == [{"name": "f", "arguments": "{}"}]
        assert [type(r.exc_value) for r in reports] == [ValueError, KeyError]
        assert reports[0].object.endswith("_lumo._callback_bridge")
        assert reports[1].object.endswith("_lumo._tool_callback_bridge")

    @pytest.mark.parametrize("thread", ["caller", "worker"])
    def test_deliveries_without_userdata_change_nothing(self, sim, lumo_mod, monkeypatch, thread):
        # A runtime that hands the bridges a null userdata (here: a run started
        # through the exported trampoline) gets nothing recorded or forwarded.
        import ctypes
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        script = Script()
        script.run(match="bare", thread=thread).text("zz").tool_call("f", "{}").null_result()
        script.run().text("ok", token_id=9)
        seen = []
        lumo = sim.make(script, on_token=lambda *a: seen.append(a),
                        on_tool_call=lambda *a: seen.append(a))
        before = lumo.run("first", userdata="u")
        lib = ctypes.CDLL(lumo_mod.__file__)
        lib.zor_llm_run.argtypes = [ctypes.c_void_p] * 4
        lib.zor_llm_run.restype = ctypes.c_int
        prompt = ctypes.create_string_buffer(b"bare")
        inp = ctypes.create_string_buffer(72)  # input_type 0: plain prompt
        ctypes.memmove(ctypes.addressof(inp) + 8,
                       ctypes.byref(ctypes.c_void_p(ctypes.addressof(prompt))), 8)
        config = ctypes.create_string_buffer(1036)
        seen.clear()
        lib.zor_llm_run(lumo.context, inp, config, None)
        played = [r for r in sim.log.records()
                  if r["call"] in ("deliver", "deliver_tool_call") and r["userdata"] is None]
        assert len(played) == 4 and all(r["delivered"] for r in played)  # the bridges were called
        assert seen == [] and reports == []
        after = lumo.run("again", userdata="v")
        assert after == before and len(seen) == 2

    def test_worker_thread_delivery(self, sim):
        script = Script()
        script.run(thread="worker").text("x").text("y")
        threads = []
        lumo = sim.make(script, on_token=lambda r, ud, st: threads.append(threading.get_ident()))
        result = lumo.run("p")
        assert result["text"] == "xy"
        assert threads and threading.get_ident() not in threads
        delivered = sim.log.calls("deliver")
        assert all(d["tid"] != threading.get_native_id() for d in delivered)

    def test_callbacks_reinitialised_by_init(self, sim):
        first, second = [], []
        lumo = sim.make(_simple_script(), on_token=lambda *a: first.append(a))
        lumo.init(sim.model(_simple_script()), on_token=lambda *a: second.append(a))
        lumo.run("p")
        assert first == [] and len(second) == 2


# ---- Streaming ----------------------------------------------------------------------------

class TestStream:
    @pytest.mark.parametrize("thread", ["caller", "worker"])
    def test_pieces_in_delivery_order_and_the_result(self, sim, lumo_types, thread):
        script = Script()
        euro = "€".encode()
        script.run(thread=thread).reasoning("r").text(b"x" + euro[:2]).text(euro[2:]).tool_text("<t>") \
            .tool_call("f", {"k": 1}).text(b"\xff").end(FINISH, text="", token_id=0)
        script.fail("zor_llm_set_toolcall_callback", 0)
        lumo = sim.make(script)
        lumo.set_toolcall_callback(True, stop_output=0)  # tool text delivered too
        stream = lumo.stream("p", userdata=5)
        assert iter(stream) is stream and stream.result is None
        pieces = [(p.kind, p.text, p.token_id, p.status, p.name, p.arguments) for p in stream]
        N, F = lumo_types.RunStatus.NORMAL, lumo_types.RunStatus.FINISH
        # A character split across pieces comes out whole, with the second.
        assert pieces == [("reasoning", "r", 1, N, None, None), ("text", "x", 2, N, None, None),
                          ("text", "€", 3, N, None, None), ("tool_text", "<t>", 4, N, None, None),
                          ("tool_call", "", 0, N, "f", '{"k":1}'), ("text", "\ufffd", 5, N, None, None),
                          ("text", "", 0, F, None, None)]
        assert isinstance(pieces[0][3], lumo_types.RunStatus)
        assert stream.result == lumo.run("p", userdata=5)  # run() gives the same dict
        assert next(stream, "end") == "end"

    def test_leaving_early_stops_the_generation(self, sim):
        script = Script().strict()
        script.run().text("a").text("b").wait_break(30000).text("never").break_end(text="", token_id=9)
        lumo = sim.make(script)
        for piece in lumo.stream("p"):
            if piece.text == "b":
                break  # the stream is collected here
        assert sim.log.last("run_end")["broken"] is True
        with lumo.stream("p") as stream:
            assert next(stream).text == "a"
        # Stopped wherever the break found it, then the break's ending.
        assert stream.result["text"] in ("a", "ab") and stream.result["token_ids"][-1] == 9
        stream.close()  # again: nothing left to do
        with pytest.raises(ZeroDivisionError):
            with lumo.stream("p") as stream:
                next(stream)
                1 / 0
        assert stream.result["token_ids"][-1] == 9
        assert lumo.reset() == 0 and len(sim.log.calls("zor_llm_break")) >= 3

    def test_one_reader_at_a_time_and_interrupt_from_anywhere(self, sim):
        script = Script().strict()
        script.run().text("a").wait_break(30000).text("never")
        lumo = sim.make(script)
        stream = lumo.stream("p")
        assert next(stream).text == "a"
        outcomes = []

        def read():
            try:
                outcomes.append(next(stream).text)
            except RuntimeError as e:
                outcomes.append(str(e))

        readers = [threading.Thread(target=read) for _ in range(2)]
        for r in readers:
            r.start()
        # Whichever comes second is refused at once; the first waits for the run.
        while all(r.is_alive() for r in readers):
            readers[0].join(0.01)
        assert outcomes == ["Stream.__next__() called while another thread reads this stream"]
        assert lumo.interrupt() == 0  # stops the run under the waiting reader
        for r in readers:
            r.join()
        assert outcomes[1] == "" and list(stream) == [] and stream.result["text"] == "a"

    def test_stream_dropped_or_read_from_its_own_callback(self, sim, monkeypatch):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        script = Script().strict()
        script.run().text("a").text("b").wait_break(30000).text("never")
        holder, got = {}, []

        def on_token(r, ud, st):
            if r.text == b"a":
                got.append(next(holder["stream"]).text)  # queued already
                next(holder["stream"])  # would wait for itself: refused
            elif r.text == b"b":
                holder.clear()  # the last reference: the stream goes here

        lumo = sim.make(script, on_token=on_token)
        holder["stream"] = lumo.stream("p")
        # The run is broken and finishes on its own thread, which then gives
        # the object back.
        while True:
            try:
                assert lumo.reset() == 0
                break
            except RuntimeError as e:
                assert "while stream() is in progress" in str(e)
                threading.Event().wait(0.01)
        assert sim.log.last("run_end")["broken"] is True and got == ["a"]
        assert [str(r.exc_value) for r in reports] == \
            ["Stream.__next__() called from a callback of its own generation"]

# ---- Guards against misuse from callbacks ---------------------------------------------

class TestReentrancy:
    def test_uninit_and_init_refused_during_run(self, sim, monkeypatch):
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        script = Script()
        script.run().text("a").text("b")
        holder = {}

        def on_token(r, ud, st):
            if r.text == b"a":
                holder["lumo"].uninit()

        lumo = sim.make(script, on_token=on_token)
        holder["lumo"] = lumo
        result = lumo.run("p")
        assert result["text"] == "ab" and lumo.context is not None
        assert len(reports) == 1 and isinstance(reports[0].exc_value, RuntimeError)
        assert sim.log.calls("zor_llm_uninit") == []
        lumo.uninit()  # fine once the run has returned
        assert lumo.context is None

    # Every call that reaches the runtime, as made during a run.
    CALLS = {
        "run": lambda o: o.run("q"), "stream": lambda o: o.stream("q"), "reset": lambda o: o.reset(),
        "init": lambda o: o.init(""), "uninit": lambda o: o.uninit(),
        "set_chat_template": lambda o: o.set_chat_template("s", "p", "q"),
        "set_chat_template_jinja": lambda o: o.set_chat_template_jinja("j"),
        "set_toolcall_callback": lambda o: o.set_toolcall_callback(False),
    }

    def test_one_call_at_a_time_from_a_callback(self, sim):
        # The strict runtime delivers from its own thread under its lock.
        script = Script().strict()
        script.run().text("A").text("B").text("C")
        refused = {}

        def on_token(r, ud, st):
            if r.text == b"B" and not refused:
                for name, call in self.CALLS.items():
                    with pytest.raises(RuntimeError) as e:
                        call(holder["lumo"])
                    refused[name] = str(e.value)
                assert holder["lumo"].interrupt() == 0  # allowed from anywhere

        holder = {}
        lumo = holder["lumo"] = sim.make(script, on_token=on_token)
        result = lumo.run("p")
        # The inner calls left the outer run intact: "AB" and the break's end.
        assert result["text"] == "AB" and result["token_ids"] == [1, 2, 0], result
        assert refused == {n: f"LUMO.{n}() called while run() is in progress on this object" for n in self.CALLS}
        assert [r["ctx"] for r in sim.log.calls("zor_llm_run")] == [sim.log.last("zor_llm_init")["context"]]
        assert lumo.run("p")["text"] == "ABC"  # and the object is free again

    def test_one_call_at_a_time_from_another_thread(self, sim):
        script = Script().strict()
        script.run().text("a").wait_break(30000).text("never")
        started = threading.Event()
        lumo = sim.make(script, on_token=lambda r, ud, st: started.set())
        errors = {}

        def other():
            started.wait(30)
            for name, call in self.CALLS.items():
                try:
                    call(lumo)
                except RuntimeError as e:
                    errors[name] = str(e)
            errors["interrupt"] = lumo.interrupt()

        t = threading.Thread(target=other)
        t.start()
        stream = lumo.stream("p")
        assert [p.text for p in stream] == ["a", ""]
        t.join()
        assert errors.pop("interrupt") == 0
        assert errors == {n: f"LUMO.{n}() called while stream() is in progress on this object"
                          for n in self.CALLS}
        assert stream.result["text"] == "a" and len(sim.log.calls("zor_llm_run")) == 1


# ---- SIGINT handler ---------------------------------------------------------------------

class TestSigint:
    def test_install_restore_and_reinstall(self, sim):
        before = signal.getsignal(signal.SIGINT)
        lumo = sim.make()
        # The installed handler holds the object weakly and its predecessor.
        installed = signal.getsignal(signal.SIGINT)
        assert installed.target is lumo and installed.previous is before
        lumo._install_sigint_handler()  # again: must not save itself
        lumo._restore_sigint_handler()
        assert signal.getsignal(signal.SIGINT) is before
        lumo._restore_sigint_handler()  # nothing saved: no-op
        assert signal.getsignal(signal.SIGINT) is before

    def test_dropped_objects_leave_a_working_chain(self, sim, lumo_mod):
        old = signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            first = lumo_mod.LUMO()
            second = lumo_mod.LUMO()  # installed on top of first's handler
            first_handler = signal.getsignal(signal.SIGINT).previous
            del first
            gc.collect()
            # first's handler stays under second's, and now forwards to the
            # handler it replaced.
            assert first_handler.target is None
            with pytest.raises(KeyboardInterrupt):
                signal.getsignal(signal.SIGINT)(signal.SIGINT, None)
            del second  # its handler was on top: the original one is back
            assert signal.getsignal(signal.SIGINT) is first_handler
        finally:
            signal.signal(signal.SIGINT, old)

    def test_worker_thread_installs_nothing(self, sim, lumo_mod):
        before = signal.getsignal(signal.SIGINT)
        out = {}

        def work():
            out["lumo"] = lumo_mod.LUMO()
        t = threading.Thread(target=work)
        t.start()
        t.join()
        assert signal.getsignal(signal.SIGINT) is before
        out["lumo"]._restore_sigint_handler()  # no-op
        assert signal.getsignal(signal.SIGINT) is before

    def test_handler_chains_to_previous(self, sim):
        calls = []
        old = signal.signal(signal.SIGINT, lambda s, f: calls.append(s))
        try:
            lumo = sim.make(_simple_script())
            lumo.signal_handler(signal.SIGINT, None)
            assert calls == [signal.SIGINT]
            assert sim.log.last("zor_llm_break")["status"] == 0
            lumo._install_sigint_handler()
            lumo.signal_handler(sig=signal.SIGINT, frame=None)
            assert calls == [signal.SIGINT] * 2  # chained once, not to itself
            lumo._restore_sigint_handler()
        finally:
            signal.signal(signal.SIGINT, old)

    def test_uninitialised_and_non_callable_previous(self, sim):
        old = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            lumo = sim.make()
            lumo.signal_handler(signal.SIGINT, None)  # SIG_IGN saved: skipped
            lumo._restore_sigint_handler()
            signal.signal(signal.SIGINT, signal.default_int_handler)
            lumo._install_sigint_handler()
            # Not initialised: nothing to interrupt, but Ctrl+C still raises.
            with pytest.raises(KeyboardInterrupt):
                lumo.signal_handler(signal.SIGINT, None)
            lumo._restore_sigint_handler()
        finally:
            signal.signal(signal.SIGINT, old)


# ---- The default host build ---------------------------------------------------------

def test_host_build_without_runtime_loads_nothing(tmp_path):
    code = """
import os, signal
os.environ.pop("ZOR_LUMO_PATH", None)
from zorllm_openai_server.zor_lumo._lumo import LUMO
from zorllm_openai_server.zor_lumo.types import RetStatus, RunStatus
msg = "LUMO has not been initialized \\u2013 call init() first"
a = LUMO()
assert a.init("model.bin") == RetStatus(1)
assert a.context is None
for name, args in (("reset", ()), ("interrupt", ()), ("run", ("x",)),
                   ("set_chat_template", (None, None, None)),
                   ("set_chat_template_jinja", (None,)), ("set_toolcall_callback", ())):
    try:
        getattr(a, name)(*args)
    except RuntimeError as e:
        assert str(e) == msg, (name, e)
    else:
        raise AssertionError(name)
assert a.uninit() == RetStatus.SUCCESS
print("OK")
"""
    import platform
    if platform.machine() not in ("x86_64", "AMD64"):
        pytest.skip("the empty-table build is the x86-64 one")
    proc = run_python(code, env={"ZOR_LUMO_PATH": ""})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "OK"


# ---- The exported C interface of the module ---------------------------------------------

TRAMPOLINES = ("zor_llm_init", "zor_llm_uninit", "zor_llm_run", "zor_llm_reset", "zor_llm_break",
               "zor_llm_set_chat_template", "zor_llm_set_chat_template_jinja",
               "zor_llm_set_toolcall_callback", "zor_llm_get_vision_info")


class TestExportedInterface:
    """load_lumo_func, unload_lumo_func and the nine trampolines, called
    through ctypes in fresh interpreters (the table is per process)."""

    PRELUDE = f"""
import ctypes, os, platform
from zorllm_openai_server.zor_lumo import _lumo
lib = ctypes.CDLL(_lumo.__file__)
P = ctypes.c_void_p
SIGNATURES = {{
    "zor_llm_init": [P, P, P], "zor_llm_uninit": [P], "zor_llm_run": [P, P, P, P],
    "zor_llm_reset": [P], "zor_llm_break": [P], "zor_llm_set_chat_template": [P, P, P, P],
    "zor_llm_set_chat_template_jinja": [P, P], "zor_llm_set_toolcall_callback": [P, P, ctypes.c_int32],
    "zor_llm_get_vision_info": [P, P],
}}
assert tuple(SIGNATURES) == {TRAMPOLINES!r}
for name, argtypes in SIGNATURES.items():
    getattr(lib, name).argtypes = argtypes
    getattr(lib, name).restype = ctypes.c_int
lib.load_lumo_func.argtypes = [ctypes.c_char_p]
lib.load_lumo_func.restype = ctypes.c_int
lib.unload_lumo_func.argtypes = []
lib.unload_lumo_func.restype = None

def all_fail():
    # Null arguments everywhere: an empty entry must not touch them.
    return all(getattr(lib, n)(*([None] * (len(a) - 1)), 0 if n.endswith("callback") else None) == 1
               for n, a in SIGNATURES.items())
"""

    def test_empty_table_fails_cleanly_then_forwards_after_load(self, sim_lumo_path, tmp_path):
        model = Script().write(tmp_path / "model.json")
        code = self.PRELUDE + f"""
assert all_fail(), "table filled before any load"
assert lib.load_lumo_func(b"/nonexistent/liblumo.so") == 0  # ZOR_LUMO_PATH wins
path = ctypes.create_string_buffer({model!r}.encode())
config = ctypes.create_string_buffer(1056)
ctypes.memmove(config, ctypes.byref(ctypes.c_void_p(ctypes.addressof(path))), 8)
ctx = ctypes.c_void_p()
assert lib.zor_llm_init(ctypes.byref(ctx), config, None) == 0 and ctx.value
assert lib.zor_llm_reset(ctx) == 0
assert lib.zor_llm_uninit(ctx) == 0
assert lib.zor_llm_reset(ctx) == 1  # released: the runtime refuses it
lib.unload_lumo_func()
assert all_fail(), "table not emptied by unload"
lib.unload_lumo_func()  # nothing loaded: harmless
os.environ["ZOR_LUMO_PATH"] = "/nonexistent/liblumo.so"
assert lib.load_lumo_func(b"/nonexistent/liblumo.so") != 0
assert all_fail()
if platform.machine() in ("x86_64", "AMD64"):
    # No runtime exists for this architecture: success with an empty table.
    del os.environ["ZOR_LUMO_PATH"]
    assert lib.load_lumo_func(b"/nonexistent/liblumo.so") == 0
    assert all_fail()
print("OK")
"""
        proc = run_python(code, env=sim_env(sim_lumo_path))
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert proc.stdout.strip() == "OK"

    def test_runtime_missing_an_entry_is_not_loaded(self, tmp_path):
        # Every entry point but the vision query: the table would be unusable.
        source = "\n".join(f"int {name}(void) {{ return 0; }}" for name in TRAMPOLINES[:-1])
        partial = build_shared_library(tmp_path, "partial_lumo", source)
        code = self.PRELUDE + """
assert lib.load_lumo_func(b"/nonexistent/liblumo.so") != 0
assert all_fail()
try:
    _lumo.LUMO()
except RuntimeError as e:
    # The message names the library tried and the entry point it lacks.
    assert str(e).endswith("partial_lumo.so: entry point zor_llm_get_vision_info not found"), e
else:
    raise AssertionError("constructed on an unusable runtime")
print("OK")
"""
        proc = run_python(code, env={"ZOR_LUMO_PATH": str(partial)})
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert proc.stdout.strip() == "OK"


def test_unloadable_runtime_raises(tmp_path):
    proc = run_python("""
from zorllm_openai_server.zor_lumo._lumo import LUMO
try:
    LUMO()
except RuntimeError as e:
    print(e)
""", env={"ZOR_LUMO_PATH": str(tmp_path / "missing.so")})
    # The path tried and the loader's reason.
    assert proc.stdout.strip().startswith(f"Cannot load liblumo.so: {tmp_path / 'missing.so'}: "), proc.stderr
    assert "No such file or directory" in proc.stdout


# ---- Signatures as help() and inspect show them, and the stubs -----------------------------

def test_every_method_has_a_text_signature_that_the_stub_matches(pkg_dir):
    check_stub_against_module(f"{PKG}._lumo", pkg_dir / "_lumo.pyi")
