"""Type stubs of the _lumo extension: the board's LLM runtime as LUMO."""
from types import FrameType, TracebackType
from typing import Any, Callable, Iterator

import numpy as np

from .types import Piece, Result, RetStatus, RunMode, RunStatus, SamplingMode

_SAMPLING_MODE_MAP: dict[Any, int]

TokenCallback = Callable[[Result, Any, RunStatus], object]
ToolCallCallback = Callable[[str, str, Any], object]
SamplingModeLike = SamplingMode | str | int

def as_rgb888(image: Any) -> np.ndarray:
    """Any HWC or CHW image as a C-contiguous uint8 (H, W, 3) RGB array."""

def _normalize_sampling_mode(mode: SamplingModeLike, /) -> int: ...

class SigintHandler:
    """The SIGINT handler a LUMO installs; holds the object weakly."""
    def __call__(self, sig: int, frame: FrameType | None) -> None: ...
    @property
    def target(self) -> LUMO | None: ...
    @property
    def previous(self) -> Any: ...

class Stream(Iterator[Piece]):
    """The pieces of one generation (LUMO.stream)."""
    def __iter__(self) -> Stream: ...
    def __next__(self) -> Piece: ...
    def close(self) -> None: ...
    def __enter__(self) -> Stream: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> bool: ...
    @property
    def result(self) -> dict[str, Any] | None: ...

class LUMO:
    def __init__(self) -> None: ...
    def init(
        self,
        model_path: str | None,
        on_token: TokenCallback | None = None,
        on_tool_call: ToolCallCallback | None = None,
        sampling_mode: SamplingModeLike = SamplingMode.ARG_MAX,
        sampler_params: Any = None,
        mmproj_path: str | None = "",
        model_type_override: str | None = "",
        custom_jinja_template: str | None = "",
        mmproj_config: str | None = "",
    ) -> RetStatus: ...
    def uninit(self) -> RetStatus: ...
    def reset(self) -> RetStatus: ...
    def interrupt(self) -> RetStatus: ...
    def set_chat_template(
        self, system_prompt: str | None, prompt_prefix: str | None, prompt_postfix: str | None
    ) -> RetStatus: ...
    def set_chat_template_jinja(self, jinja_template: str | None) -> RetStatus: ...
    def set_toolcall_callback(self, enabled: object = True, stop_output: int = 0) -> RetStatus: ...
    def run(
        self,
        prompt_input: str | None = "",
        run_mode: RunMode | Any = RunMode.GENERATE,
        retain_history: int = 0,
        userdata: Any = None,
        images: list[Any] | None = None,
        img_start: str | None = "<|vision_start|>",
        img_end: str | None = "<|vision_end|>",
        img_content: str | None = "<|image_pad|>",
        tool_schemas: Any = None,
        sampler_params: Any = None,
        disable_chat_template: int = 1,
        extra_template_params: Any = None,
        enable_think: int = 0,
        sampling_mode: SamplingModeLike | None = None,
        top_k: int | None = None,
        top_p: float | None = None,
        temperature: float | None = None,
        repeat_penalty: float | None = None,
        messages_mode: object = False,
    ) -> dict[str, Any]:
        """Result dict: text, reasoning, tool_text, token_ids, status,
        token_count, tool_calls ([{"name": str, "arguments": str}])."""
    def stream(
        self,
        prompt_input: str | None = "",
        run_mode: RunMode | Any = RunMode.GENERATE,
        retain_history: int = 0,
        userdata: Any = None,
        images: list[Any] | None = None,
        img_start: str | None = "<|vision_start|>",
        img_end: str | None = "<|vision_end|>",
        img_content: str | None = "<|image_pad|>",
        tool_schemas: Any = None,
        sampler_params: Any = None,
        disable_chat_template: int = 1,
        extra_template_params: Any = None,
        enable_think: int = 0,
        sampling_mode: SamplingModeLike | None = None,
        top_k: int | None = None,
        top_p: float | None = None,
        temperature: float | None = None,
        repeat_penalty: float | None = None,
        messages_mode: object = False,
    ) -> Stream:
        """Iterator over the pieces as delivered; its result is run()'s dict."""
    def _install_sigint_handler(self) -> None: ...
    def _restore_sigint_handler(self) -> None: ...
    def signal_handler(self, sig: int, frame: FrameType | None) -> None: ...
    @property
    def context(self) -> int | None: ...
    @property
    def vision_metadata(self) -> dict[str, Any]: ...
    @property
    def mmproj_model(self) -> bool: ...
