"""Scripts for the simulated LLM runtime, and its call log.

The simulator (sim/libzor_lumo_sim.so, loaded by _lumo through ZOR_LUMO_PATH)
plays the script named by the init config's model_path (or, when that names
no file, by ZOR_LUMO_SIM_SCRIPT) and appends one JSON line per call and per
delivery to the file named by ZOR_LUMO_SIM_LOG. sim/lumo/README.md documents
both formats; this module writes the one and reads the other:

    script = Script()
    script.run().reasoning("hmm").text("Hel").text(b"lo\xff").tool_call("f", {"x": 1})
    model = script.write(tmp_path / "model.json")      # pass as model_path
    log = SimLog(tmp_path / "sim.log")                 # set ZOR_LUMO_SIM_LOG=log.path
    ...
    run = log.last("zor_llm_run")
    assert run["input"]["prompt_input"] == "hi"

Texts in the log are str when they are valid UTF-8, bytes otherwise, None for
a null pointer; pointers are "0x..." strings (ptr() turns them into ints).
"""
from __future__ import annotations

import json
import os
import pathlib
import struct
from typing import Any, Iterable

# ZOR_LLMRunStatus
NORMAL, FINISH, ERROR = 0, 1, 2
# ZOR_LLMMessageType
TEXT, REASONING, TOOL = 0, 1, 2

_UNSET = object()


def _text_fields(key: str, value: Any) -> dict:
    """A text as the script wants it: str as is, bytes as hex, None as null."""
    if isinstance(value, (bytes, bytearray)):
        return {key + "_hex": bytes(value).hex()}
    if value is None or isinstance(value, str):
        return {key: value}
    raise TypeError(f"{key} must be str, bytes or None, not {type(value).__name__}")


class Run:
    """One scripted generation; every method returns the run for chaining."""

    def __init__(self, match: str | None = None, thread: str = "caller", delay_ms: int = 0,
                 returns: int = 0):
        self._spec: dict = {"thread": thread, "delay_ms": delay_ms, "return": returns}
        if match is not None:
            self._spec["match"] = match
        self._events: list = []
        self._next_id = 1

    def _token_id(self, token_id: int | None) -> int:
        if token_id is None:
            token_id = self._next_id
        self._next_id = token_id + 1
        return token_id

    def piece(self, text: str | bytes | None, token_id: int | None = None, type: int = TEXT,
              status: int = NORMAL, delay_ms: int | None = None) -> "Run":
        """A result delivery. Token ids count up from 1 unless given."""
        event = _text_fields("text", text)
        event.update(token_id=self._token_id(token_id), type=type, status=status)
        if delay_ms is not None:
            event["delay_ms"] = delay_ms
        self._events.append(event)
        return self

    def text(self, text, token_id=None, **kw) -> "Run":
        return self.piece(text, token_id, TEXT, **kw)

    def reasoning(self, text, token_id=None, **kw) -> "Run":
        return self.piece(text, token_id, REASONING, **kw)

    def tool_text(self, text, token_id=None, **kw) -> "Run":
        return self.piece(text, token_id, TOOL, **kw)

    def null_result(self, status: int = NORMAL, delay_ms: int | None = None) -> "Run":
        """A delivery whose result pointer is null."""
        event = {"null_result": True, "status": status}
        if delay_ms is not None:
            event["delay_ms"] = delay_ms
        self._events.append(event)
        return self

    def tool_call(self, name: str | bytes | None, arguments: Any = "{}",
                  delay_ms: int | None = None) -> "Run":
        """A tool-call delivery; dict or list arguments go as compact JSON."""
        call = _text_fields("name", name)
        if isinstance(arguments, (dict, list)):
            call["arguments"] = arguments
        else:
            call.update(_text_fields("arguments", arguments))
        event: dict = {"tool_call": call}
        if delay_ms is not None:
            event["delay_ms"] = delay_ms
        self._events.append(event)
        return self

    def wait_break(self, timeout_ms: int = 20000) -> "Run":
        """Blocks the generation until zor_llm_break arrives (or the timeout)."""
        self._events.append({"wait_break": timeout_ms})
        return self

    @staticmethod
    def _ending(status, text, token_id, type):
        if status is None:
            return None
        if text is _UNSET:
            return status
        ending = _text_fields("text", text)
        ending.update(status=status, token_id=token_id or 0, type=type)
        return ending

    def end(self, status: int | None = FINISH, text: Any = _UNSET, token_id: int | None = None,
            type: int = TEXT) -> "Run":
        """Final delivery of a run that plays out; None sends none. Without
        text the result pointer is null (the default: FINISH, null result)."""
        self._spec["end"] = self._ending(status, text, token_id, type)
        return self

    def break_end(self, status: int | None = FINISH, text: Any = _UNSET,
                  token_id: int | None = None, type: int = TEXT) -> "Run":
        """Final delivery of a run stopped by zor_llm_break (same form)."""
        self._spec["break_end"] = self._ending(status, text, token_id, type)
        return self

    def to_json(self) -> dict:
        return dict(self._spec, events=list(self._events))


class Script:
    """A whole script: init outcome, per-call statuses, vision info, runs."""

    def __init__(self):
        self._runs: list[Run] = []
        self._doc: dict = {}

    def run(self, match: str | None = None, thread: str = "caller", delay_ms: int = 0,
            returns: int = 0) -> Run:
        """Adds a run. Runs without match play in order (the last repeats);
        a run with match plays whenever the prompt text contains it."""
        run = Run(match, thread, delay_ms, returns)
        self._runs.append(run)
        return run

    def strict(self) -> "Script":
        """Behaves as the strictest board runtime: deliveries from its own
        thread under an internal lock; break, reset and uninit wait for it."""
        self._doc["strict"] = True
        return self

    def fail_init(self, status: int = 1, context: bool = False) -> "Script":
        """zor_llm_init reports status; with context=True it still writes one."""
        self._doc["init"] = {"status": status, "context": context}
        return self

    def fail(self, function: str, status: int = 1) -> "Script":
        """Makes a runtime function (e.g. "zor_llm_reset") report status."""
        self._doc.setdefault("returns", {})[function] = status
        return self

    def vision(self, *, status: int = 0, has_metadata: bool = True,
               projector_type: str | bytes = "", image_mean: Iterable[float] = (0, 0, 0),
               image_std: Iterable[float] = (0, 0, 0), patch_size: int = 0,
               spatial_merge_size: int = 0, inputs: Iterable[dict] = (),
               n_input: int | None = None, input_null: bool = False) -> "Script":
        """What zor_llm_get_vision_info reports. inputs: dicts with index,
        name, type, height, width, channels, size."""
        vision = {"status": status, "has_metadata": has_metadata,
                  "image_mean": list(image_mean), "image_std": list(image_std),
                  "patch_size": patch_size, "spatial_merge_size": spatial_merge_size,
                  "inputs": [dict(i) for i in inputs], "input_null": input_null}
        vision.update(_text_fields("projector_type", projector_type))
        if n_input is not None:
            vision["n_input"] = n_input
        self._doc["vision"] = vision
        return self

    def to_json(self) -> dict:
        return dict(self._doc, runs=[r.to_json() for r in self._runs])

    def write(self, path: os.PathLike | str) -> str:
        """Writes the script and returns its path as str (for model_path)."""
        path = pathlib.Path(path)
        path.write_text(json.dumps(self.to_json()))
        return str(path)


def _decode(value: Any) -> Any:
    if isinstance(value, dict):
        if len(value) == 1 and "hex" in value:
            return bytes.fromhex(value["hex"])
        return {k: _decode(v) for k, v in value.items()}
    if isinstance(value, list):
        return [_decode(v) for v in value]
    return value


class SimLog:
    """The simulator's call log (point ZOR_LUMO_SIM_LOG at self.path)."""

    def __init__(self, path: os.PathLike | str):
        self.path = str(path)

    def records(self) -> list[dict]:
        try:
            with open(self.path, encoding="utf-8") as f:
                return [_decode(json.loads(line)) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def calls(self, name: str) -> list[dict]:
        """Every record of one kind, e.g. "zor_llm_run" or "deliver"."""
        return [r for r in self.records() if r["call"] == name]

    def last(self, name: str) -> dict:
        found = self.calls(name)
        if not found:
            raise AssertionError(f"no {name} in the simulator log {self.path}")
        return found[-1]

    def names(self) -> list[str]:
        """The kinds of all records, in order."""
        return [r["call"] for r in self.records()]

    def clear(self) -> None:
        pathlib.Path(self.path).write_text("")


def ptr(value: str | None) -> int | None:
    """A logged pointer ("0x...") as an int; None for a null pointer."""
    return None if value is None else int(value, 16)


def f32(x: float) -> float:
    """x rounded to float32, as the runtime's float fields hold it."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def fnv1a64(data: bytes) -> str:
    """The hash the log gives for an image buffer ("fnv1a64")."""
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return f"{h:016x}"


def sim_env(sim_path: os.PathLike | str, log_path: os.PathLike | str | None = None,
            script_path: os.PathLike | str | None = None) -> dict:
    """Environment for a process that should load the simulator."""
    env = {"ZOR_LUMO_PATH": str(sim_path)}
    if log_path is not None:
        env["ZOR_LUMO_SIM_LOG"] = str(log_path)
    if script_path is not None:
        env["ZOR_LUMO_SIM_SCRIPT"] = str(script_path)
    return env
