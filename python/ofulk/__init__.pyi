from os import PathLike
from typing import Dict, Iterator, Optional, Tuple, Union

from typing_extensions import TypedDict, Unpack

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, PathLike[str], PathLike[bytes]]
_Frame = npt.NDArray[np.uint8]
_Flow = npt.NDArray[np.float32]

# The refined mode's keyword-only settings of FlowEngine, calc_flow and
# video_flows: the fields of the C record CvULKRefineParams; None keeps the
# library's default.
_RefineSettings = TypedDict(
    "_RefineSettings",
    {
        "pyramid_scale": Optional[float],
        "coarsest_side": Optional[int],
        "finest_scale": Optional[float],
        "alpha": Optional[float],
        "delta": Optional[float],
        "gamma": Optional[float],
        "outer_iterations": Optional[int],
        "inner_iterations": Optional[int],
        "omega": Optional[float],
        "fuse_scale": Optional[float],
    },
    total=False,
)

__version__: str

class error(RuntimeError):
    """Failure reported by the flow library (a cv::Exception in C++)."""

    code: int
    err: str
    func: str

class FlowInfo:
    """What one engine call found."""

    @property
    def idx_map(self) -> npt.NDArray[np.uint16]: ...
    @property
    def segments(self) -> np.ndarray: ...
    @property
    def points(self) -> np.ndarray: ...
    @property
    def segment_points(self) -> Tuple[npt.NDArray[np.int32], ...]: ...

class FlowEngine:
    """The flow engine with its storage and buffers, kept across calls."""

    def __init__(
        self,
        refined: bool = False,
        **settings: Unpack[_RefineSettings],
    ) -> None: ...
    @property
    def refined(self) -> bool: ...
    @refined.setter
    def refined(self, value: bool) -> None: ...
    @property
    def refine_params(self) -> Dict[str, Union[int, float]]: ...
    def calc(
        self, prev: _Frame, next: _Frame, flow: Optional[_Flow] = None
    ) -> _Flow: ...
    def calc_with_info(
        self, prev: _Frame, next: _Frame
    ) -> Tuple[_Flow, FlowInfo]: ...
    def collect_garbage(self) -> None: ...

def calc_flow(
    prev: _Frame,
    next: _Frame,
    refined: bool = False,
    **settings: Unpack[_RefineSettings],
) -> _Flow: ...
def flow_to_colour(flow: _Flow, k: float = 0.08) -> _Frame: ...
def flow_to_wheel(flow: _Flow, max_speed: Optional[float] = None) -> _Frame: ...
def draw_stuff_info(image: _Frame, info: FlowInfo) -> None: ...
def read_flo(path: _Path) -> _Flow: ...
def write_flo(path: _Path, flow: _Flow) -> None: ...
def video_flows(
    path: _Path,
    step: int = 1,
    refined: bool = False,
    **settings: Unpack[_RefineSettings],
) -> Iterator[Tuple[int, _Flow]]: ...
