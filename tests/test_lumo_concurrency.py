"""LUMO under concurrency and repetition: deliveries from the runtime's own
thread, interrupt() from another Python thread mid-run, a real SIGINT
mid-run, raising user callbacks, and flat memory over many runs. Each
scenario repeats 1,000 times; a deadlock shows up as the subprocess timeout,
a crash as its exit status."""
import textwrap

import pytest

from conftest import run_python
from lumo_script import Script, sim_env

REPS = 1000

PRELUDE = """
import gc, os, signal, sys, threading
import numpy as np
from zorllm_openai_server.zor_lumo._lumo import LUMO
from zorllm_openai_server.zor_lumo.types import RunStatus
reports = []
sys.unraisablehook = reports.append
# A child of a background job starts with SIGINT ignored; these scenarios
# need Ctrl+C to raise KeyboardInterrupt, as in an interactive interpreter.
signal.signal(signal.SIGINT, signal.default_int_handler)
"""


def run_scenario(sim_lumo_path, tmp_path, script, body, timeout=600):
    model = script.write(tmp_path / "model.json")
    code = PRELUDE + f"MODEL = {model!r}\nREPS = {REPS}\n" + textwrap.dedent(body)
    proc = run_python(code, env=sim_env(sim_lumo_path), timeout=timeout)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    assert proc.stdout.strip().endswith("OK"), proc.stdout + proc.stderr
    return proc


def test_worker_thread_deliveries(sim_lumo_path, tmp_path):
    script = Script()
    script.run(thread="worker").reasoning("r").text("a").tool_call("f", {"k": 1}).text("b")
    run_scenario(sim_lumo_path, tmp_path, script, """
        seen = []
        lumo = LUMO()
        assert lumo.init(MODEL, on_token=lambda r, ud, st: seen.append(threading.get_ident()),
                         on_tool_call=lambda n, a, ud: seen.append(n)) == 0
        main = threading.get_ident()
        for i in range(REPS):
            seen.clear()
            out = lumo.run("p", userdata=i)
            assert out["text"] == "ab" and out["reasoning"] == "r", out
            assert out["tool_calls"] == [{"name": "f", "arguments": '{"k":1}'}]
            assert out["status"] == RunStatus.FINISH and out["token_count"] == 4
            assert main not in seen and "f" in seen
        assert not reports
        print("OK")
    """)


@pytest.mark.parametrize("thread", ["caller", "worker"])
def test_interrupt_from_another_thread(sim_lumo_path, tmp_path, thread):
    script = Script()
    script.run(thread=thread).text("a").wait_break(30000).text("never").break_end()
    run_scenario(sim_lumo_path, tmp_path, script, """
        started = threading.Event()
        lumo = LUMO()
        assert lumo.init(MODEL, on_token=lambda r, ud, st: r.text == b"a" and started.set()) == 0
        def stopper():
            started.wait(30)
            assert lumo.interrupt() == 0
        for i in range(REPS):
            started.clear()
            t = threading.Thread(target=stopper)
            t.start()
            out = lumo.run("p")
            t.join()
            assert out["text"] == "a" and out["status"] == RunStatus.FINISH, out
        assert not reports
        print("OK")
    """)


@pytest.mark.parametrize("thread", ["caller", "worker"])
def test_sigint_mid_run_raises_keyboard_interrupt(sim_lumo_path, tmp_path, thread):
    script = Script()
    run = script.run(thread=thread).text("a")
    for _ in range(5):
        run.text("x", delay_ms=1)
    # With deliveries on the runtime's thread the Python handler can only run
    # once run() is back; the run plays out and then raises.
    run.wait_break(2 if thread == "worker" else 30000).break_end()
    run_scenario(sim_lumo_path, tmp_path, script, """
        started, sent = threading.Event(), threading.Event()
        def on_token(r, ud, st):
            # Hold the generation until the signal is out, so it lands
            # mid-run whatever the scheduling.
            if r.text == b"a":
                started.set()
                sent.wait(30)
        lumo = LUMO()
        assert lumo.init(MODEL, on_token=on_token) == 0
        pid = os.getpid()
        def killer():
            started.wait(30)
            os.kill(pid, signal.SIGINT)
            sent.set()
        interrupted = 0
        for i in range(REPS):
            started.clear()
            sent.clear()
            t = threading.Thread(target=killer)
            t.start()
            try:
                lumo.run("p")
            except KeyboardInterrupt:
                interrupted += 1
            t.join()
        assert interrupted == REPS, interrupted
        # The previous handler raised inside a user callback when the signal
        # arrived there: reported, never propagated into the runtime.
        assert all(isinstance(r.exc_value, KeyboardInterrupt) for r in reports)
        lumo._restore_sigint_handler()
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
        print("OK")
    """)


def test_raising_callbacks_never_stop_generation(sim_lumo_path, tmp_path):
    script = Script()
    script.run(thread="worker").text("a").tool_call("f", "{}").text("b")
    run_scenario(sim_lumo_path, tmp_path, script, """
        def bad_token(r, ud, st):
            raise ValueError("token")
        def bad_tool(n, a, ud):
            raise RuntimeError("tool")
        lumo = LUMO()
        assert lumo.init(MODEL, on_token=bad_token, on_tool_call=bad_tool) == 0
        for i in range(REPS):
            out = lumo.run("p")
            assert out["text"] == "ab" and len(out["tool_calls"]) == 1
        assert len(reports) == REPS * 4
        kinds = {type(r.exc_value) for r in reports}
        assert kinds == {ValueError, RuntimeError}
        assert {r.object.rsplit(".", 1)[-1] for r in reports} == {"_callback_bridge", "_tool_callback_bridge"}
        print("OK")
    """)


@pytest.mark.slow
def test_many_runs_with_images_and_tools_keep_memory_flat(sim_lumo_path, tmp_path):
    script = Script()
    script.run(thread="worker").text("a").tool_call("f", {"x": [1, 2]}).text("b")
    run_scenario(sim_lumo_path, tmp_path, script, """
        def rss_kib():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("VmRSS"))
        got = []
        lumo = LUMO()
        assert lumo.init(MODEL, on_token=lambda r, ud, st: None,
                         on_tool_call=lambda n, a, ud: None, mmproj_path="p") == 0
        img = np.zeros((64, 64, 3), np.uint8)
        fimg = np.ones((3, 32, 32), np.float32)
        userdata = object()
        tools = [{"type": "function", "function": {"name": "f"}}]
        def one():
            out = lumo.run("look <|image_pad|><|image_pad|>", userdata=userdata,
                           images=[img, fimg], tool_schemas=tools, sampler_params={"t": 1},
                           top_k=3)
            assert out["text"] == "ab" and len(out["tool_calls"]) == 1
        for i in range(1000):
            one()
        gc.collect()
        base_rss, base_objs = rss_kib(), len(gc.get_objects())
        refs = (sys.getrefcount(img), sys.getrefcount(fimg), sys.getrefcount(userdata),
                sys.getrefcount(tools))
        for i in range(10000):
            one()
        gc.collect()
        grown = rss_kib() - base_rss
        assert grown < 4096, f"RSS grew by {grown} KiB"
        assert len(gc.get_objects()) - base_objs < 50
        assert refs == (sys.getrefcount(img), sys.getrefcount(fimg), sys.getrefcount(userdata),
                        sys.getrefcount(tools))
        print("OK")
    """)
