"""A COCO annotation file read for ``eval``: its images, categories and boxes, each entry checked.

A file that cannot be read as a whole (missing, not JSON, no ``images`` or
``categories`` list) is refused in one line.  A broken entry is one problem
line naming the file and the entry, and the run goes on without it; an image
whose annotations are not all sound is left out of the scoring, since its
objects would be counted wrong.  Image names must stay inside the images
folder: absolute names and ``..`` are refused.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from pathlib import Path, PurePosixPath
from typing import Any

from quarn.inspection.detect import _files
from quarn.inspection.detect.model_tool.errors import Refused


@dataclass
class Image:
    id: int
    file_name: str
    width: int | None = None
    height: int | None = None


@dataclass
class Annotations:
    path: Path
    listed: int = 0  # entries of its 'images' list
    images: list[Image] = field(default_factory=list)  # the usable ones, in file order
    categories: dict[int, str] = field(default_factory=dict)  # id -> name, in file order
    boxes: list[dict[str, Any]] = field(default_factory=list)  # pycocotools' ground-truth records of the usable images
    problems: list[str] = field(default_factory=list)  # one line each, naming the file and the entry


def read_annotations(path: Path) -> Annotations:
    """The file at ``path``, its sound entries kept and every broken one told in ``problems``."""
    data = _load(path)
    found = Annotations(path, len(data["images"]))
    _categories(found, data["categories"])
    images = _images(found, data["images"])
    raw = data.get("annotations", [])
    if not isinstance(raw, list):
        found.problems.append(f"{path}: 'annotations' is not a list; no object is annotated")
        raw = []
    broken = _boxes(found, raw, images)
    # An image with a broken annotation would count its objects wrong: it is left out whole.
    for image_id in sorted(broken):
        found.problems.append(f"{path}: image {image_id} ({images[image_id].file_name}) is not scored: "
                              "its annotations are not all sound")
    found.images = [image for image in images.values() if image.id not in broken]
    found.boxes = [box for box in found.boxes if box["image_id"] not in broken]
    return found


def _load(path: Path) -> dict[str, Any]:
    """The file's JSON object, refused in one line unless it holds 'images' and 'categories' lists."""
    try:
        data = json.loads(_files.read_regular(path))  # regular files only: a named pipe never blocks
    except FileNotFoundError:
        raise Refused(f"{path}: no such file") from None
    except OSError as exc:
        raise Refused(f"cannot read {path}: {exc.strerror or exc}") from None
    except (ValueError, RecursionError) as exc:  # JSON's errors, undecodable bytes, nesting too deep
        raise Refused(f"{path} is not a COCO annotation file: {exc}") from None
    if not isinstance(data, dict) or not isinstance(data.get("images"), list) or not isinstance(data.get("categories"), list):
        raise Refused(f"{path} is not a COCO annotation file: it needs an object with 'images' and 'categories' lists")
    return data


def _boxes(found: Annotations, raw: list[Any], images: dict[int, Image]) -> set[int]:
    """The sound annotations added to ``found.boxes``; the ids of the usable images a broken one names."""
    broken: set[int] = set()
    for k, ann in enumerate(raw):
        image_id = ann.get("image_id") if isinstance(ann, dict) else None
        problem = _annotation_problem(ann, images, found.categories)
        if problem:
            found.problems.append(f"{found.path}: annotations[{k}]: {problem}")
            if _is_int(image_id) and image_id in images:
                broken.add(image_id)
            continue
        x, y, w, h = (float(v) for v in ann["bbox"])
        found.boxes.append({"id": len(found.boxes) + 1, "image_id": image_id, "category_id": ann["category_id"],
                            "bbox": [x, y, w, h], "area": float(ann.get("area", w * h)),
                            "iscrowd": int(ann.get("iscrowd", 0))})
    return broken


def _categories(found: Annotations, raw: list[Any]) -> None:
    for k, cat in enumerate(raw):
        if not isinstance(cat, dict) or not _is_int(cat.get("id")) or not isinstance(cat.get("name"), str):
            found.problems.append(f"{found.path}: categories[{k}]: needs an integer 'id' and a text 'name'")
        elif cat["id"] in found.categories:
            found.problems.append(f"{found.path}: categories[{k}]: id {cat['id']} is used twice")
        else:
            found.categories[cat["id"]] = cat["name"]


def _images(found: Annotations, raw: list[Any]) -> dict[int, Image]:
    images: dict[int, Image] = {}
    for k, entry in enumerate(raw):
        where = f"{found.path}: images[{k}]"
        if not isinstance(entry, dict) or not _is_int(entry.get("id")) or not isinstance(entry.get("file_name"), str):
            found.problems.append(f"{where}: needs an integer 'id' and a text 'file_name'")
            continue
        name, size = entry["file_name"], [entry.get("width"), entry.get("height")]
        problem = _name_problem(name)
        if problem:
            found.problems.append(f"{where}: file_name {name!r} {problem}")
        elif entry["id"] in images:
            found.problems.append(f"{where}: id {entry['id']} is used twice")
        elif not all(v is None or (_is_int(v) and v > 0) for v in size):
            found.problems.append(f"{where}: width and height must be whole numbers above 0")
        else:
            images[entry["id"]] = Image(entry["id"], name, *size)
    return images


def _name_problem(name: str) -> str:
    parts = PurePosixPath(name).parts
    if not name or "\0" in name:
        return "is empty or holds a NUL character"
    if PurePosixPath(name).is_absolute() or Path(name).is_absolute() or ".." in parts or ".." in Path(name).parts:
        return "leaves the images folder (an absolute name, or '..')"
    return ""


def _annotation_problem(ann: Any, images: dict[int, Image], categories: dict[int, str]) -> str:
    if not isinstance(ann, dict):
        return "is not an object"
    return _reference_problem(ann, images, categories) or _shape_problem(ann)


def _reference_problem(ann: dict[str, Any], images: dict[int, Image], categories: dict[int, str]) -> str:
    """What is wrong with the image and category an annotation names, checked in that order."""
    if not _is_int(ann.get("image_id")) or ann["image_id"] not in images:
        return f"image_id {ann.get('image_id')!r} names no usable image"
    if not _is_int(ann.get("category_id")) or ann["category_id"] not in categories:
        return f"category_id {ann.get('category_id')!r} names no category"
    return ""


def _shape_problem(ann: dict[str, Any]) -> str:
    """What is wrong with an annotation's box, area and crowd flag, checked in that order."""
    box = ann.get("bbox")
    if not (isinstance(box, list) and len(box) == 4 and all(_is_number(v) for v in box) and box[2] >= 0 and box[3] >= 0):
        return f"bbox {box!r} is not [x, y, width, height] with width and height at least 0"
    if "area" in ann and not (_is_number(ann["area"]) and ann["area"] >= 0):
        return f"area {ann['area']!r} is not a number at least 0"
    if ann.get("iscrowd", 0) not in (0, 1) or isinstance(ann.get("iscrowd"), bool):
        return f"iscrowd {ann.get('iscrowd')!r} is not 0 or 1"
    return ""


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value: Any) -> bool:
    return (isinstance(value, int | float) and not isinstance(value, bool)) and math.isfinite(value)


def read_category_map(path: Path, categories: dict[int, str]) -> dict[int, int]:
    """``--category-map FILE``: a JSON object from model class id to category id, e.g. {"0": 1, "1": 3}."""
    try:
        raw = json.loads(_files.read_regular(path))
    except OSError as exc:
        raise Refused(f"cannot read {path}: {exc.strerror or exc}") from None
    except Exception as exc:
        raise Refused(f"{path} is not a category map: {exc}") from None
    if not isinstance(raw, dict):
        raise Refused(f'{path} is not a category map: it must be a JSON object from model class id to category id, '
                      'e.g. {"0": 1, "1": 3}')
    mapping = {}
    for key, value in raw.items():
        if not (key.isascii() and key.isdigit()) or not _is_int(value):
            raise Refused(f"{path}: {key!r}: {value!r} is not a model class id (0, 1, ...) and a category id")
        if value not in categories:
            raise Refused(f"{path}: {key!r}: category {value} is not in the annotation file")
        mapping[int(key)] = value
    return mapping
