"""Fenn from several threads: the interpreter lock is released while libfenn
works, calls on one object take turns, close waits for a running
transcription, separate objects transcribe at the same time, and an LLM
generation streams while a transcription is in flight.

A transcription is held in flight by reading its WAV from a named pipe: the
call is inside libfenn from the moment the library opens the pipe (which the
test sees, because a non-blocking open for writing then succeeds) until the
test has written the whole file. Holding the interpreter lock in there would
stop the test's own thread, so that fault shows up as the child's timeout.
"""
import os
import textwrap

import pytest

from conftest import run_python
from lumo_script import Script, sim_env
from npurt_model import sensevoice_model
from test_fenn_e2e import TOKENS
from test_front_door_whisper import write_whisper_assets
from wavgen import tone, write_wav

EXPECTED = "hello world caf\u00e9"

PRELUDE = textwrap.dedent("""\
    import errno, os, sys, threading, time
    from zorllm_openai_server.zor_lumo._fenn import Fenn

    def reader_in(fifo):
        # A write end opened only once libfenn has the pipe open for reading.
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            if e.errno != errno.ENXIO:
                raise
            return None

    def wait_reader(fifo):
        while (fd := reader_in(fifo)) is None:
            time.sleep(0.002)
        return fd

    def feed(fd, wav):
        os.set_blocking(fd, True)
        with open(wav, "rb") as f, os.fdopen(fd, "wb") as pipe:
            pipe.write(f.read())

    class Call(threading.Thread):
        # Runs fn(*args) on its own thread, keeping the result or the error.
        def __init__(self, fn, *args, **kwargs):
            super().__init__(daemon=True)
            self.fn, self.args, self.kwargs = fn, args, kwargs
            self.result = self.error = None
            self.start()
        def run(self):
            try:
                self.result = self.fn(*self.args, **self.kwargs)
            except BaseException as e:
                self.error = e
        def value(self):
            self.join()
            if self.error is not None:
                raise self.error
            return self.result

    def while_in_flight(fenn, fn, *args):
        # Calls fn(*args) on another thread while a transcription on fenn is
        # inside libfenn, then gives that transcription its audio. Returns
        # its result, the call (maybe still running), and whether the call
        # was waiting, neither finished nor inside libfenn reading FIFO_B.
        running = Call(fenn.transcribe, FIFO_A)
        fd = wait_reader(FIFO_A)
        call = Call(fn, *args)
        time.sleep(0.2)  # a call that does not wait gets in meanwhile
        entered = reader_in(FIFO_B)
        if entered is not None:
            os.close(entered)
        waited = call.is_alive() and entered is None
        feed(fd, WAV)
        return running.value(), call, waited
    """)


@pytest.fixture
def setup(tmp_path, libfenn_path, sim_npurt_path):
    model = sensevoice_model(tmp_path / "sv.model", tokens=[1000, 1001, 1002, 1003, 5, 6, 7],
                             vocab=1024, frames=64)
    tokens = tmp_path / "tokens.txt"
    tokens.write_text("".join(f"{text} {i}\n" for i, text in TOKENS.items()), encoding="utf-8")
    wav = write_wav(tmp_path / "tone.wav", tone(0.5))
    fifos = []
    for name in ("a", "b"):
        fifo = tmp_path / f"{name}.wav"
        os.mkfifo(fifo)
        fifos.append(str(fifo))
    header = textwrap.dedent(f"""\
        MODEL, TOKENS, WAV = {str(model)!r}, {str(tokens)!r}, {str(wav)!r}
        FIFO_A, FIFO_B = {fifos!r}
        RESULT = {{"text": {EXPECTED!r}, "language": "en"}}
        def sensevoice():
            f = Fenn()
            f.init("sensevoice", MODEL, TOKENS)
            return f
        """)
    env = {"ZOR_NPURT_PATH": str(sim_npurt_path), "ZOR_FENN_PATH": str(libfenn_path)}
    return dict(header=header, env=env, tmp=tmp_path)


def run_threads(setup, body, env=None):
    code = PRELUDE + setup["header"] + textwrap.dedent(body)
    proc = run_python(code, env={**setup["env"], **(env or {})}, timeout=180)
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    assert proc.stdout.strip().endswith("OK"), proc.stdout + proc.stderr
    return proc


def test_two_objects_transcribe_at_once(setup):
    run_threads(setup, """
        # Made on two threads at once: the first NPU calls of the process,
        # which load the runtime, may come from both.
        makers = [Call(sensevoice), Call(sensevoice)]
        one, two = (maker.value() for maker in makers)
        calls = [Call(one.transcribe, FIFO_A), Call(two.transcribe, FIFO_B)]
        # Both calls are inside libfenn before either has any audio.
        fds = [wait_reader(FIFO_A), wait_reader(FIFO_B)]
        for fd in fds:
            feed(fd, WAV)
        for call in calls:
            assert call.value() == RESULT
        one.close(); two.close()
        print("OK")
    """)


def test_calls_on_one_object_take_turns(setup):
    run_threads(setup, """
        fenn = sensevoice()
        # The second call waits for the first instead of entering the context.
        first, second, waited = while_in_flight(fenn, fenn.transcribe, FIFO_B)
        assert waited and first == RESULT
        feed(wait_reader(FIFO_B), WAV)
        assert second.value() == RESULT
        # init waits as well, and the object keeps working afterwards.
        third, again, waited = while_in_flight(fenn, fenn.init, "sensevoice", MODEL, TOKENS)
        assert waited and third == RESULT
        assert again.value() is None
        assert fenn.transcribe(WAV) == RESULT
        print("OK")
    """)


def test_close_during_transcription_waits(setup):
    run_threads(setup, """
        fenn = sensevoice()
        result, closing, waited = while_in_flight(fenn, fenn.close)
        assert waited, "close returned while the context was in use"
        assert result == RESULT and closing.value() is None
        try:
            fenn.transcribe(WAV)
        except RuntimeError as e:
            assert str(e) == "zor_asr_transcribe failed (rc=1)"
        else:
            raise AssertionError("transcribed after close")
        # Dropping an object whose transcription another thread still runs
        # cannot free the context under it: the call holds a reference.
        fenn = sensevoice()
        running = Call(fenn.transcribe, FIFO_A)
        fd = wait_reader(FIFO_A)
        del fenn
        feed(fd, WAV)
        assert running.value() == RESULT
        print("OK")
    """)


def test_generation_streams_during_whisper_transcription(setup, sim_lumo_path):
    tmp = setup["tmp"]
    (tmp / "whisper").mkdir()
    encoder, decoder = write_whisper_assets(tmp / "whisper")
    # Long enough for several 30-second chunks.
    write_wav(tmp / "long.wav", tone(75.0))
    script = Script()
    run = script.run(thread="worker", delay_ms=20)
    pieces = [f" piece{i}" for i in range(20)]
    for piece in pieces:
        run.text(piece)
    run.end()
    model = script.write(tmp / "llm.json")
    run_threads(setup, f"""
        from zorllm_openai_server.zor_lumo._lumo import LUMO
        whisper = Fenn()
        whisper.init("whisper", {str(encoder)!r}, {str(tmp / 'whisper')!r}, {str(decoder)!r},
                     '{{"n_threads": 2}}')
        transcription = Call(whisper.transcribe, FIFO_A, language="en")
        fd = wait_reader(FIFO_A)
        streamed = []
        def on_token(result, userdata, status):
            streamed.append((result.text, transcription.is_alive()))
        lumo = LUMO()
        assert lumo.init({model!r}, on_token=on_token) == 0
        out = lumo.run("Talk while I listen.")
        assert out["text"] == {"".join(pieces)!r}, out
        assert [t for t, _ in streamed if t] == {[p.encode() for p in pieces]!r}, streamed
        assert all(alive for _, alive in streamed), streamed
        lumo.uninit()
        feed(fd, {str(tmp / 'long.wav')!r})
        text = transcription.value()["text"]
        assert "hello world" in text, text
        whisper.close()
        print("OK")
    """, env=sim_env(sim_lumo_path))
