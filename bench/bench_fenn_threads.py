"""Two Fenn objects transcribing at once, against one object alone.

Each transcription is a Whisper run over S seconds of audio on the simulated
NPU, with one log-mel thread ("n_threads": 1), so the library's own work
fills one core. The baseline is one transcription on one object; the
candidate is two objects, each transcribing the same file on its own Python
thread, started together. Both are measured in this run. With the
interpreter lock released during transcription the candidate takes about the
baseline's time on two free cores (ratio near 1); calls that held the lock,
or one object used from both threads, take twice as long (ratio near 2,
printed for reference). How much of two cores the machine grants right now
is measured the same way with plain native work that releases the
interpreter lock (hashing a buffer): on a busy machine that ratio rises
above 1 too, and the Fenn ratio is to be read against it.

    PYTHONPATH=build/<dir>/python python3 bench/bench_fenn_threads.py [S]

ZOR_NPURT_PATH is set to the staged simulator when the environment does not
name one.
"""
import hashlib
import importlib.util
import json
import os
import pathlib
import sys
import tempfile
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))


def best_of(fn, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def on_threads(*calls):
    """Runs each call on its own thread, all started together; waits for all."""
    threads = [threading.Thread(target=call) for call in calls]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    found = importlib.util.find_spec("zorllm_openai_server.zor_lumo")
    pkg = pathlib.Path(list(found.submodule_search_locations)[0])
    os.environ.setdefault("ZOR_NPURT_PATH", str(pkg / "sim" / "libzor_npurt_sim.so"))

    from test_front_door_whisper import write_whisper_assets
    from wavgen import tone, write_wav
    from zorllm_openai_server.zor_lumo._fenn import Fenn

    with tempfile.TemporaryDirectory() as tmp:
        assets = pathlib.Path(tmp)
        encoder, decoder = write_whisper_assets(assets)
        wav = str(write_wav(assets / "long.wav", tone(seconds)))
        extra = json.dumps({"n_threads": 1})
        one, two = Fenn(), Fenn()
        for fenn in (one, two):
            fenn.init("whisper", str(encoder), str(assets), str(decoder), extra)

        def transcribe(fenn):
            return lambda: fenn.transcribe(wav, language="en")

        transcribe(one)()  # warm-up: filter cache, runtime loading
        t_one = best_of(transcribe(one))
        t_two_objects = best_of(lambda: on_threads(transcribe(one), transcribe(two)))
        t_same_object = best_of(lambda: on_threads(transcribe(one), transcribe(one)))
        one.close()
        two.close()

    block = bytes(64 << 20)
    hash_block = lambda: hashlib.sha256(block).digest()  # noqa: E731
    t_hash = best_of(hash_block)
    t_hash_two = best_of(lambda: on_threads(hash_block, hash_block))

    print(f"Whisper transcription of {seconds:g} s of audio, n_threads=1, "
          f"nproc={os.cpu_count()}")
    print(f"one object, one transcription:        {t_one * 1e3:8.1f} ms")
    print(f"two objects at once, one each:        {t_two_objects * 1e3:8.1f} ms")
    print(f"one object from two threads (serial): {t_same_object * 1e3:8.1f} ms")
    print(f"ratio two objects / one: {t_two_objects / t_one:.2f} (1.00 is full overlap, "
          "2.00 none)")
    print(f"ratio one object twice / one: {t_same_object / t_one:.2f}")
    print(f"reference, sha256 of 64 MiB on two threads / one: {t_hash_two / t_hash:.2f} "
          "(the machine's parallelism now)")


if __name__ == "__main__":
    main()
