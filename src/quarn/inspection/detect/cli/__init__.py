"""Command line for the object detector: ``quarn-detect`` / ``python -m quarn.inspection.detect``.

It only reads images, video frames and camera frames, calls
``get_detector(...).detect(...)`` and reports or draws what comes back; every
detection decision stays in ``dfine_runner``.

One module per concern:

- ``args``: the options; ``command``: ``main``, the streams and the exit status
- ``inputs``: arguments and folders turned into sources; ``sources``: one class per kind of input
- ``media``: reading image and video files without harm
- ``model``: loading the detector and checking it fits; ``names``: class names
- ``run``: frames from a source through the detector to the sinks, counted; ``pipeline``: a video's
  reading, detection and reporting overlapped in threads
- ``sinks``: table, JSON lines, saved image, saved video, behind one protocol
- ``drawing``: boxes and labels; ``writing`` and ``destinations``: saved copies and where they go
- ``console``: what is printed, and how; ``check``: ``--check``
- ``examine``: one input through ``run`` with what it prints kept (``--ray`` workers, ``quarn-detect-model``
  eval and compare); ``on_ray``: ``--ray``, the workers' output printed in input order
"""

from quarn.inspection.detect.cli import media
from quarn.inspection.detect.cli.command import main
from quarn.inspection.detect.cli.drawing import class_color, draw_detections
from quarn.inspection.detect.cli.media import IMAGE_SUFFIXES, VIDEO_SUFFIXES

__all__ = ["IMAGE_SUFFIXES", "VIDEO_SUFFIXES", "class_color", "draw_detections", "main"]

# The one seam through which videos and cameras are opened: sources look it up here at each open, so a
# stand-in capture put in its place takes a camera's place where there is none.
_open_capture = media.open_capture
