"""Boxes and labels drawn onto saved copies, and the stand-in for a video frame that could not be read."""

from __future__ import annotations

import colorsys
import functools
import itertools
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from quarn.inspection.detect.dfine_runner import Detection

_Rect = tuple[int, int, int, int]  # left, top, right, bottom (exclusive)


def class_color(cls_id: int) -> tuple[int, int, int]:
    """BGR colour of a class: fixed per id, neighbouring ids far apart in hue."""
    r, g, b = colorsys.hsv_to_rgb((cls_id * 0.618033988749895) % 1.0, 0.85, 0.95)
    return round(b * 255), round(g * 255), round(r * 255)


@dataclass(frozen=True)
class _Pen:
    """Line width and Hershey text settings scaled to one image."""

    lw: int
    font: int
    scale: float
    thick: int

    @classmethod
    def for_image(cls, h: int, w: int) -> _Pen:
        import cv2

        lw = max(2 if min(h, w) >= 64 else 1, round((h + w) / 2 * 0.003))
        # Hershey text is 33 px from top to baseline bottom at scale 1; below 0.3 it is not legible
        scale, thick = min(max(0.4, lw / 3), h / 200), max(1, lw - 1)
        if scale < 0.3:
            scale, thick = 0.3, 1
        return cls(lw, cv2.FONT_HERSHEY_SIMPLEX, scale, thick)


def draw_detections(image: npt.NDArray[np.uint8], detections: Sequence[Detection],
                    held_from: int | None = None) -> npt.NDArray[np.uint8]:
    """Draw boxes and ``name conf`` labels onto ``image`` (BGR, modified in place).

    ``held_from``: the frame the detections were found in, when they are drawn
    on a later video frame; such boxes are dashed and their labels end in
    ``@<frame>``, so a viewer can tell them from boxes found in the frame shown.

    Labels are scaled to the image and kept whole inside it: a label too wide
    loses its score, then the end of its name ("..."); one that would cover
    another label moves a row up or down, and is left out (the box stays) when
    there is no free place or the image is too small for any legible label.
    """
    import cv2

    h, w = image.shape[:2]
    pen = _Pen.for_image(h, w)
    for d in detections:  # boxes first so no box crosses another's label
        x1, y1, x2, y2 = d.xyxy
        if held_from is None:
            cv2.rectangle(image, (x1, y1), (x2, y2), class_color(d.cls_id), pen.lw, cv2.LINE_8)
        else:
            _dashed_rectangle(image, (x1, y1), (x2, y2), class_color(d.cls_id), pen.lw)
    placed: list[_Rect] = []  # label rectangles drawn
    mark = "" if held_from is None else f" @{held_from}"
    for d in detections:
        _draw_label(image, d, mark, pen, placed)
    return image


def _draw_label(image: npt.NDArray[np.uint8], d: Detection, mark: str, pen: _Pen, placed: list[_Rect]) -> None:
    """``d``'s label above its box (or just inside it), where no label drawn before lies; nowhere if none fits."""
    import cv2

    h, w = image.shape[:2]
    fitted = _fit_label(d, mark, w, h, pen)
    if fitted is None:
        return
    label, tw, th, bw, bh = fitted
    x1, y1, _, _ = d.xyxy
    left = min(max(x1 - pen.lw // 2, 0), w - bw)
    above = y1 - pen.lw // 2 - bh  # above the box, or just inside it when that leaves the image
    top = _free_row(above if above >= 0 else max(y1, 0), left, bw, bh, h, placed)
    if top is None:
        return
    placed.append((left, top, left + bw, top + bh))
    color = class_color(d.cls_id)
    cv2.rectangle(image, (left, top), (left + bw - 1, top + bh - 1), color, cv2.FILLED)
    b, g, r = color
    ink = (0, 0, 0) if 0.299 * r + 0.587 * g + 0.114 * b > 150 else (255, 255, 255)
    cv2.putText(image, label, (left + pen.lw, top + pen.lw // 2 + th), pen.font, pen.scale, ink, pen.thick, cv2.LINE_AA)


@functools.lru_cache(maxsize=4096)
def _text_size(text: str, font: int, scale: float, thick: int) -> tuple[tuple[int, int], int]:
    """cv2.getTextSize, remembered: every frame of a video measures the same labels again."""
    import cv2

    return cv2.getTextSize(text, font, scale, thick)


def _fit_label(d: Detection, mark: str, w: int, h: int, pen: _Pen) -> tuple[str, int, int, int, int] | None:
    """The longest form of ``d``'s label that fits the image: (text, text w, text h, box w, box h) or None."""

    def size(text: str) -> tuple[int, int, int, int]:
        (tw, th), base = _text_size(text, pen.font, pen.scale, pen.thick)
        return tw, th, tw + 2 * pen.lw, th + base + pen.lw

    name = d.cls_name
    shortened = (name[:k] + "..." for k in range(len(name) - 1, 0, -1))
    for text in itertools.chain((f"{name} {d.conf:.2f}{mark}", f"{name}{mark}", name), shortened):
        tw, th, bw, bh = size(text)
        if bh > h / 2:  # no label is legible on so small an image; one would cover it
            return None
        if bw <= w:
            return text, tw, th, bw, bh
    return None


def _free_row(want: int, left: int, bw: int, bh: int, h: int, placed: Sequence[_Rect]) -> int | None:
    """The top of a label row nearest ``want`` (down first, then up) that is inside the image and free."""
    want = min(max(want, 0), h - bh)
    for down in (True, False):
        top = want
        for _ in range(len(placed) + 1):
            if top < 0 or top + bh > h:
                break
            hit = next((r for r in placed if r[0] < left + bw and left < r[2] and r[1] < top + bh and top < r[3]), None)
            if hit is None:
                return top
            top = hit[3] if down else hit[1] - bh
    return None


def _dashed_rectangle(image: npt.NDArray[np.uint8], p1: tuple[int, int], p2: tuple[int, int],
                      color: tuple[int, int, int], lw: int) -> None:
    import cv2

    (x1, y1), (x2, y2) = p1, p2
    dash = max(4, 4 * lw)
    for a, b in (((x1, y1), (x2, y1)), ((x2, y1), (x2, y2)), ((x2, y2), (x1, y2)), ((x1, y2), (x1, y1))):
        length = max(abs(b[0] - a[0]), abs(b[1] - a[1]))
        for start in range(0, length + 1, 2 * dash):
            stop = min(start + dash, length)
            f, g = start / length if length else 0.0, stop / length if length else 0.0
            cv2.line(image, (round(a[0] + (b[0] - a[0]) * f), round(a[1] + (b[1] - a[1]) * f)),
                     (round(a[0] + (b[0] - a[0]) * g), round(a[1] + (b[1] - a[1]) * g)), color, lw, cv2.LINE_8)


def unreadable_frame(shape: tuple[int, ...], index: int) -> npt.NDArray[np.uint8]:
    """A grey frame that says frame ``index`` could not be read: it keeps a saved video as long as the original."""
    import cv2
    import numpy as np

    stand_in = np.full(shape, 64, np.uint8)
    cv2.putText(stand_in, f"frame {index} could not be read", (4, min(shape[0] - 4, 20)),
                cv2.FONT_HERSHEY_SIMPLEX, 0.4, (255, 255, 255), 1, cv2.LINE_AA)
    return stand_in
