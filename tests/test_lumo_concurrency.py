"""LUMO under concurrency and repetition: deliveries from the runtime's own
thread, interrupt() from another Python thread mid-run, a real SIGINT
mid-run, raising user callbacks, early exits from stream(), objects made and
dropped in turn, and flat memory over many runs. "strict" runs use the
simulator's strict mode: deliveries from its own thread under its internal
lock, and a break that waits for that thread, as a board runtime may do.
Each scenario repeats 1,000 times; a deadlock shows up as the subprocess
timeout, a crash as its exit status."""
import textwrap

import pytest

from conftest import EMULATED, run_python
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


def make_script(thread):
    """A script whose runs deliver as thread says: "caller", "worker", or
    "strict" (the strict runtime, its own thread)."""
    script = Script()
    if thread == "strict":
        script.strict()
    return script, ("worker" if thread == "strict" else thread)


def run_scenario(sim_lumo_path, tmp_path, script, body, timeout=600):
    model = script.write(tmp_path / "model.json")
    code = (PRELUDE + f"MODEL = {model!r}\nREPS = {REPS}\nEMULATED = {EMULATED}\n"
            + textwrap.dedent(body))
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


# With the strict runtime, a break made holding the interpreter lock
# deadlocks: the runtime's thread waits for that lock inside the bridge.
@pytest.mark.parametrize("thread", ["caller", "worker", pytest.param("strict", marks=pytest.mark.slow)])
def test_interrupt_from_another_thread(sim_lumo_path, tmp_path, thread):
    script, thread = make_script(thread)
    script.run(thread=thread).text("a").wait_break(30000).text("never").break_end()
    run_scenario(sim_lumo_path, tmp_path, script, """
        started = threading.Event()
        def on_token(r, ud, st):
            if r.text == b"a":
                started.set()
            if st == RunStatus.FINISH:
                # While the other thread's break waits for this run to end.
                assert lumo.interrupt() == 0
        lumo = LUMO()
        assert lumo.init(MODEL, on_token=on_token) == 0
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


# Ctrl+C stops the generation whichever thread delivers: a run that only a
# break can end would otherwise hold each repetition for 30 s.
@pytest.mark.parametrize("thread", ["caller", "worker", pytest.param("strict", marks=pytest.mark.slow)])
def test_sigint_mid_run_raises_keyboard_interrupt(sim_lumo_path, tmp_path, thread):
    script, thread = make_script(thread)
    run = script.run(thread=thread).text("a")
    for _ in range(5):
        run.text("x", delay_ms=1)
    run.wait_break(30000).break_end(text="", token_id=9)
    run_scenario(sim_lumo_path, tmp_path, script, """
        started, sent = threading.Event(), threading.Event()
        tokens = []
        def on_token(r, ud, st):
            tokens.append(r.token_id)
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
            # The run ended before the exception: its last delivery was the
            # break's ending.
            assert tokens[-1] == 9, tokens[-3:]
        assert interrupted == REPS, interrupted
        # The interrupt is raised once, by run(): no traceback from a bridge.
        assert not reports, reports[:3]
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


@pytest.mark.slow
def test_stream_left_early_in_every_way(sim_lumo_path, tmp_path):
    script, _ = make_script("strict")
    script.run().text("a").text("b").wait_break(30000).text("never").break_end(text="", token_id=9)
    script.run(match="next").text("ok")
    run_scenario(sim_lumo_path, tmp_path, script, """
        tokens = []
        lumo = LUMO()
        assert lumo.init(MODEL, on_token=lambda r, ud, st: tokens.append(r.token_id)) == 0
        pid = os.getpid()
        for i in range(REPS):
            way = i % 4
            stream = lumo.stream("p")
            try:
                for piece in stream:
                    if piece.text == "a" and way == 3:
                        os.kill(pid, signal.SIGINT)  # Ctrl+C while the loop waits
                    if piece.text == "b":
                        if way == 0:
                            break
                        if way == 1:
                            raise LookupError
                        if way == 2:
                            stream.close()
            except LookupError:
                assert way == 1
            except KeyboardInterrupt:
                assert way == 3
            del stream  # collected: a run still going is stopped and waited for
            # Every way leaves the object free, the stream's run ended by the
            # break: its last delivery is the break's ending.
            assert tokens[-1] == 9, (i, tokens[-3:])
            assert lumo.run("next")["text"] == "ok"
        assert not reports, reports[:3]
        print("OK")
    """)


def test_objects_made_and_dropped_in_turn_are_freed(sim_lumo_path, tmp_path):
    script, _ = make_script("strict")
    script.run().text("a")
    run_scenario(sim_lumo_path, tmp_path, script, """
        import ctypes
        sim = os.environ["ZOR_LUMO_PATH"]
        lib = ctypes.CDLL(sim)
        live = lib.zor_lumo_sim_live_contexts
        def rss_kib():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) for l in f if l.startswith("VmRSS"))
        def mapped():
            with open("/proc/self/maps") as f:
                return sim in f.read()
        before = signal.getsignal(signal.SIGINT)
        for i in range(100):
            if i == 10:
                base = rss_kib()
            lumo = LUMO()
            assert lumo.init(MODEL, on_token=lambda r, ud, st: None) == 0
            assert live() == 1 and lumo.run("p")["text"] == "a"
            del lumo  # no gc.collect(): nothing may keep it alive
            assert live() == 0, i
            assert signal.getsignal(signal.SIGINT) is before  # the replaced handler is back
        grown = rss_kib() - base
        assert grown < 2048 or EMULATED, f"RSS grew by {grown} KiB"
        # The runtime went with the last object: once the test's own handle
        # is closed, nothing maps it.
        import _ctypes
        _ctypes.dlclose(lib._handle)
        assert not mapped()
        print("OK")
    """)
