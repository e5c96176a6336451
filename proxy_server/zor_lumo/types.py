"""The service's status, mode and result types that the extension modules
return and accept. Values are those of the native interfaces."""
import dataclasses
import enum

__all__ = ["RetStatus", "RunStatus", "RunMode", "SamplingMode", "Result", "Piece"]


class RetStatus(enum.IntEnum):
    """Status of a runtime call."""
    SUCCESS = 0
    FAILED = 1


class RunStatus(enum.IntEnum):
    """State of a generation, as reported with each piece of output."""
    NORMAL = 0
    FINISH = 1
    ERROR = 2


class RunMode(enum.IntEnum):
    """What a run asks of the model."""
    GENERATE = 0
    EMBEDDING = 1


class SamplingMode(enum.IntEnum):
    """How the next token is chosen."""
    ARG_MAX = 0
    TOP_P = 1
    TOP_K = 2
    CHAIN_SAMPLER = 3


@dataclasses.dataclass(frozen=True, kw_only=True)
class Result:
    """One piece of generated output."""
    text: bytes
    token_id: int
    content_type: int


@dataclasses.dataclass(frozen=True, kw_only=True)
class Piece:
    """One delivery of a streamed generation (LUMO.stream). kind is "text",
    "reasoning", "tool_text" (tool-call markup) or "tool_call" (a parsed
    call: name and arguments set, text empty). status is a RunStatus, or the
    runtime's own number for a state RunStatus does not know."""
    kind: str
    text: str
    token_id: int
    status: RunStatus | int
    name: str | None = None
    arguments: str | None = None
