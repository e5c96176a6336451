"""Cost of one token delivery through LUMO's result bridge, and through
LUMO.stream.

A scripted run on the simulated runtime delivers N pieces; each goes through
the bridge (interpreter lock, accumulation, Result, the user's callback). The
baseline is N direct Python calls of the same callback with a prebuilt
Result. Both are measured in this run; the ratio is per delivery. The same
N pieces read through stream() (queue, wake-up of the reading thread,
incremental decoding, one Piece each) are compared with run()'s callback path.

    PYTHONPATH=build/<dir>/python python3 bench/bench_lumo_bridge.py [N]

Needs the simulated runtime: ZOR_LUMO_PATH is set to the staged one when the
environment does not name one.
"""
import os
import pathlib
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from bench_timing import best_of  # noqa: E402


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    import importlib.util
    found = importlib.util.find_spec("zorllm_openai_server.zor_lumo")
    pkg = pathlib.Path(list(found.submodule_search_locations)[0])
    os.environ.setdefault("ZOR_LUMO_PATH", str(pkg / "sim" / "libzor_lumo_sim.so"))
    os.environ.pop("ZOR_LUMO_SIM_LOG", None)  # logging would dominate

    from lumo_script import Script
    from zorllm_openai_server.zor_lumo._lumo import LUMO
    from zorllm_openai_server.zor_lumo.types import Result, RunStatus

    count = [0]

    def on_token(result, userdata, status):
        count[0] += 1

    with tempfile.TemporaryDirectory() as tmp:
        script = Script()
        run = script.run()
        for i in range(n):
            run.text("tok", token_id=i + 1)
        model = script.write(pathlib.Path(tmp) / "model.json")
        lumo = LUMO()
        assert lumo.init(model, on_token=on_token) == 0

        def bridged():
            out = lumo.run("p")
            assert out["token_count"] == n + 1

        piece = Result(text=b"tok", token_id=1, content_type=0)
        status = RunStatus(0)

        def direct():
            for _ in range(n):
                on_token(piece, None, status)

        # An empty run measures what a run costs besides its deliveries.
        empty = Script()
        empty.run()
        empty_model = empty.write(pathlib.Path(tmp) / "empty.json")
        lumo_empty = LUMO()
        assert lumo_empty.init(empty_model) == 0

        # The same deliveries with no user callback: lock, accumulation and
        # the simulated runtime's own per-piece work, without Result and call.
        lumo_bare = LUMO()
        assert lumo_bare.init(model) == 0
        t_bare = best_of(lambda: lumo_bare.run("p"))

        def streamed():
            got = sum(1 for _ in lumo_bare.stream("p"))
            assert got == n + 1

        t_stream = best_of(streamed)
        t_bridge = best_of(bridged)
        t_overhead = best_of(lambda: lumo_empty.run("p"))
        t_direct = best_of(direct)
        for obj in (lumo, lumo_empty, lumo_bare):
            obj.uninit()
            obj._restore_sigint_handler()

    per_bridge = max(t_bridge - t_overhead, 0.0) / n
    per_direct = t_direct / n
    print(f"N={n} deliveries, nproc={os.cpu_count()}")
    print(f"bridge: {per_bridge * 1e9:.0f} ns/delivery (run total {t_bridge * 1e3:.1f} ms, "
          f"empty run {t_overhead * 1e3:.2f} ms)")
    per_bare = max(t_bare - t_overhead, 0.0) / n
    print(f"bridge without user callback: {per_bare * 1e9:.0f} ns/delivery "
          "(includes the simulated runtime's per-piece work)")
    print(f"direct call: {per_direct * 1e9:.0f} ns/call")
    print(f"ratio bridge/direct: {per_bridge / per_direct:.2f}")
    print(f"ratio (Result + user callback inside the bridge)/direct: "
          f"{max(per_bridge - per_bare, 0.0) / per_direct:.2f}")
    per_stream = max(t_stream - t_overhead, 0.0) / n
    print(f"stream: {per_stream * 1e9:.0f} ns/piece (run total {t_stream * 1e3:.1f} ms)")
    print(f"ratio stream/run callback path: {per_stream / per_bridge:.2f}")


if __name__ == "__main__":
    main()
