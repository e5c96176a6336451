"""Native layer of zorllm_openai_server: speech recognition (Fenn, through
libfenn) and LLM generation (LUMO, through the board's LLM runtime).

The extension modules are imported on first use, not with the package: each
opens a native library of its own, and a service that needs only one of them
must not fail because the other's runtime is absent.
"""
import importlib

__all__ = ["Fenn", "find_fenn_path", "LUMO"]

_LAZY = {
    "Fenn": "._fenn",
    "find_fenn_path": "._fenn",
    "LUMO": "._lumo",
}


def __getattr__(name):
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(module, __name__), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(_LAZY))
