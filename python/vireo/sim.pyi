# Signatures of vireo.sim: simulated cameras and what a calibration scene shows.
import enum
from typing import Any, Optional

class SceneType(enum.Enum):
    Random = 0
    MovingEdge = 1
    BlinkingGrid = 2
    Replay = 3
    CircleGrid = 4

class Point2d:
    x: float
    y: float
    def __init__(self, x: float = 0.0, y: float = 0.0) -> None: ...

class Point3d:
    x: float
    y: float
    z: float
    def __init__(self, x: float = 0.0, y: float = 0.0, z: float = 0.0) -> None: ...

class RigidPose:
    rotation: tuple[float, float, float]
    translation: tuple[float, float, float]
    def __init__(self, rotation: tuple[float, float, float] = ...,
                 translation: tuple[float, float, float] = ...) -> None: ...

class PinholeLens:
    fx: float
    fy: float
    cx: float
    cy: float
    k1: float
    k2: float
    p1: float
    p2: float
    k3: float

class CircleGridTarget:
    grid_cols: int
    grid_rows: int
    asymmetric: bool
    spacing: float
    circle_diameter: float

class BlinkingMarkerTarget:
    as_target: bool
    spot_sigma_px: float
    flicker_size_px: int
    flicker_rate_hz: float
    moving_edge: bool
    edge_width_px: int
    other_light_hz: float

class SimulatedCameraConfig:
    vendor_id: int
    product_id: int
    serial: str
    scene: SceneType
    event_rate: float
    replay_path: str
    real_time: bool
    trigger_period_us: int
    seed: int
    edge_speed: float
    blink_frequency_hz: float
    grid_cols: int
    grid_rows: int
    markers: BlinkingMarkerTarget
    target: CircleGridTarget
    lens: PinholeLens
    target_poses: list[RigidPose]
    pose_count: int
    rig_pose: RigidPose
    pose_period_us: int
    burst_us: int
    jitter_period_us: int
    noise_rate: float
    width: int
    height: int
    skip_pauses: bool
    frame_width: int
    frame_height: int
    frame_rate_hz: float
    exposure_us: int
    def __init__(self, **settings: Any) -> None: ...

class CircleGridPoseSpan:
    pose_index: int
    begin_us: int
    burst_end_us: int
    end_us: int

def plug_camera(config: Optional[SimulatedCameraConfig] = None, **settings: Any) -> str: ...
def unplug_camera(serial: str) -> bool: ...
def plugged_cameras() -> list[str]: ...
def readout_running(serial: str) -> Optional[bool]: ...
def dropped_buffers(serial: str) -> Optional[int]: ...
def register_value(serial: str, address: int) -> Optional[int]: ...
def circle_grid_world_centers(target: CircleGridTarget) -> list[Point3d]: ...
def project_point(lens: PinholeLens, camera_point: Point3d) -> Optional[Point2d]: ...
def circle_grid_poses(config: SimulatedCameraConfig) -> list[RigidPose]: ...
def draw_circle_grid_poses(rig: list[SimulatedCameraConfig], count: int) -> list[RigidPose]: ...
def circle_grid_projected_centers(config: SimulatedCameraConfig, showing: int) -> list[Point2d]: ...
def circle_grid_pose_span(config: SimulatedCameraConfig, showing: int) -> CircleGridPoseSpan: ...
