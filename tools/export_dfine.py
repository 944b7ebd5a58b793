"""Export a D-FINE detector to ONNX in the form quarn's detection back end loads.

Builds the model with Hugging Face ``transformers`` (from a checkpoint: a local
folder or a hub model id, downloaded when online; or freshly initialised, seeded
weights of a chosen size), turns it into deploy form, puts the post-processing
inside the graph and exports it with ``torch.onnx.export`` (the dynamo
exporter).  The graph takes

    images             float32 (float16 with --half)  1 x 3 x 640 x 640, RGB 0..1
    orig_target_sizes  int64                          1 x 2, [[width, height]]

and returns, each with a leading batch axis and the 300 best query x class pairs,

    labels  int64    0-based class index
    boxes   float32  x1 y1 x2 y2 in original-image pixels
    scores  float32  sigmoid of the class logit

With ``--raw`` it exports the bare network instead, as transformers-based
exporters publish it: ``pixel_values`` in, ``logits`` (B x Q x C) and
``pred_boxes`` (B x Q x 4, normalised cx cy w h) out, without RepVGG fusion or
post-processing; ``quarn-detect-model adapt`` turns such a file into the form
above.

Afterwards the file is run once in ONNX Runtime on a random input and compared
with the PyTorch model; the tool exits non-zero when they disagree.  The ONNX
metadata ``quarn:weights`` records where the weights came from: the checkpoint,
or ``untrained`` for fresh random weights, which detect nothing meaningful.

Needs torch and transformers (``pip install ".[export]"``); nothing in the
package itself imports them.  The names and sizes above come from
``quarn.inspection.detect.contract``, which that install provides.

    python tools/export_dfine.py --size m --output dfine_m.onnx
    python tools/export_dfine.py --size m --half --output dfine_m_half.onnx
    python tools/export_dfine.py --checkpoint ustc-community/dfine-medium-coco --output dfine_m_coco.onnx
    python tools/export_dfine.py --checkpoint ./dfine-medium-coco --output dfine_m_coco.onnx
    python tools/export_dfine.py --size m --raw --output dfine_m_raw.onnx
"""

from __future__ import annotations

import argparse
import copy
import os
import sys
import time
from pathlib import Path

import numpy as np
import torch
from torch import nn

from quarn.inspection.detect.contract import (
    COCO_CLASSES,
    INPUT_NAMES,
    INPUT_SIZE,
    OUTPUT_NAMES,
    RAW_BOXES,
    RAW_IMAGE,
    RAW_LOGITS,
    TOP_K,
    WEIGHTS_KEY,
)

# Layer sizes of the published D-FINE N/S/M models (HGNetV2 B0/B0/B2 backbones),
# as the transformers conversion of the original checkpoints sets them.
_SIZES: dict[str, dict] = {
    "n": {
        "backbone": {
            "stem_channels": [3, 16, 16],
            "stage_in_channels": [16, 64, 256, 512],
            "stage_mid_channels": [16, 32, 64, 128],
            "stage_out_channels": [64, 256, 512, 1024],
            "stage_num_blocks": [1, 1, 2, 1],
            "stage_numb_of_layers": [3, 3, 3, 3],
            "hidden_sizes": [128, 256, 512, 1024],
            "out_indices": [3, 4],
        },
        "model": {
            "num_feature_levels": 2,
            "feat_strides": [16, 32],
            "encoder_in_channels": [512, 1024],
            "encode_proj_layers": [1],
            "encoder_hidden_dim": 128,
            "encoder_ffn_dim": 512,
            "d_model": 128,
            "decoder_in_channels": [128, 128],
            "decoder_ffn_dim": 512,
            "decoder_layers": 3,
            "decoder_n_points": [6, 6],
            "depth_mult": 0.5,
            "hidden_expansion": 0.34,
        },
    },
    "s": {
        "backbone": {
            "stem_channels": [3, 16, 16],
            "stage_in_channels": [16, 64, 256, 512],
            "stage_mid_channels": [16, 32, 64, 128],
            "stage_out_channels": [64, 256, 512, 1024],
            "stage_num_blocks": [1, 1, 2, 1],
            "stage_numb_of_layers": [3, 3, 3, 3],
            "hidden_sizes": [128, 256, 512, 1024],
            "out_indices": [2, 3, 4],
        },
        "model": {
            "encoder_in_channels": [256, 512, 1024],
            "decoder_layers": 3,
            "decoder_n_points": [3, 6, 3],
            "depth_mult": 0.34,
            "hidden_expansion": 0.5,
        },
    },
    "m": {
        "backbone": {
            "stem_channels": [3, 24, 32],
            "stage_in_channels": [32, 96, 384, 768],
            "stage_mid_channels": [32, 64, 128, 256],
            "stage_out_channels": [96, 384, 768, 1536],
            "stage_num_blocks": [1, 1, 3, 1],
            "stage_numb_of_layers": [4, 4, 4, 4],
            "hidden_sizes": [192, 384, 768, 1536],
            "out_indices": [2, 3, 4],
        },
        "model": {
            "encoder_in_channels": [384, 768, 1536],
            "decoder_layers": 4,
            "decoder_n_points": [3, 6, 3],
            "depth_mult": 0.67,
            "hidden_expansion": 1.0,
        },
    },
}


def build_config(size: str):
    from transformers import DFineConfig, HGNetV2Config

    layout = _SIZES[size]
    backbone = HGNetV2Config(
        stage_downsample=[False, True, True, True],
        stage_light_block=[False, False, True, True],
        stage_kernel_size=[3, 3, 5, 5],
        use_learnable_affine_block=True,
        **layout["backbone"],
    )
    return DFineConfig(backbone_config=backbone, num_labels=COCO_CLASSES, **layout["model"])


def build_model(size: str, checkpoint: str | None, seed: int) -> nn.Module:
    from transformers import DFineForObjectDetection

    # Eager attention keeps the exported graph to plain MatMul/Softmax on every opset.
    if checkpoint is not None:
        # A folder is read as it is; anything else is a hub model id, fetched (or
        # taken from the local hub cache) by from_pretrained.
        model = DFineForObjectDetection.from_pretrained(
            checkpoint, local_files_only=Path(checkpoint).is_dir(), attn_implementation="eager"
        )
    else:
        torch.manual_seed(seed)
        config = build_config(size)
        config._attn_implementation = "eager"
        model = DFineForObjectDetection(config)
        calibrate_norms(model.eval(), seed)
    return model.float().eval()


def _calibration_images(seed: int, count: int = 2) -> torch.Tensor:
    """Smooth colour gradients with blobs and noise: image-like statistics without any data set."""
    gen = torch.Generator().manual_seed(seed)
    y, x = torch.meshgrid(torch.linspace(0, 1, INPUT_SIZE), torch.linspace(0, 1, INPUT_SIZE), indexing="ij")
    images = []
    for _ in range(count):
        coef = torch.rand(3, 3, generator=gen)
        img = coef[:, 0, None, None] * x + coef[:, 1, None, None] * y + coef[:, 2, None, None] * 0.5
        for _ in range(12):
            cx, cy, r = torch.rand(3, generator=gen)
            colour = torch.rand(3, 1, 1, generator=gen)
            blob = ((x - cx) ** 2 + (y - cy) ** 2 < (0.05 + 0.2 * r) ** 2).float()
            img = img * (1 - blob) + colour * blob
        img = img + 0.03 * torch.randn(3, INPUT_SIZE, INPUT_SIZE, generator=gen)
        images.append(img.clamp(0, 1))
    return torch.stack(images)


@torch.no_grad()
def calibrate_norms(model: nn.Module, seed: int) -> None:
    """Set every batch norm's running statistics from one pass over synthetic images.

    transformers initialises convolutions with a small normal (std 0.01) and batch
    norms as identities, so in eval mode activations shrink layer by layer to
    ~1e-12: every encoder position then scores the same, query selection is a
    tie and the detector is degenerate.  Normalising each layer by the statistics
    it actually sees (a data-dependent initialisation) keeps activations at unit
    scale, so scores, labels and boxes vary as they do in a trained model.
    """
    from transformers.models.d_fine.modeling_d_fine import DFineFrozenBatchNorm2d

    def set_stats(module, args):
        x = args[0]
        module.running_mean.copy_(x.mean(dim=(0, 2, 3)))
        module.running_var.copy_(x.var(dim=(0, 2, 3), unbiased=False))

    norms = [m for m in model.modules() if isinstance(m, (nn.BatchNorm2d, DFineFrozenBatchNorm2d))]
    # Pre-hooks run in forward order, so each norm sees inputs already normalised upstream.
    handles = [m.register_forward_pre_hook(set_stats) for m in norms]
    try:
        model(pixel_values=_calibration_images(seed))
    finally:
        for h in handles:
            h.remove()


def _fold_conv_norm(layer) -> tuple[torch.Tensor, torch.Tensor]:
    """Kernel and bias of a bias-free convolution followed by its batch norm."""
    conv, norm = layer.conv, layer.norm
    scale = norm.weight / torch.sqrt(norm.running_var + norm.eps)
    kernel = conv.weight * scale.reshape(-1, 1, 1, 1)
    bias = norm.bias - norm.running_mean * scale
    return kernel, bias


class _FusedRepVgg(nn.Module):
    def __init__(self, conv: nn.Conv2d, activation: nn.Module):
        super().__init__()
        self.conv = conv
        self.activation = activation

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.activation(self.conv(x))


@torch.no_grad()
def to_deploy(model: nn.Module) -> int:
    """Reparameterise every RepVGG block (3x3 + 1x1 branches) into one 3x3 convolution.

    This is what the original D-FINE ``deploy()`` does; transformers keeps the
    training form, and in eval mode it already evaluates the class head at the
    last decoder layer only.  Returns the number of blocks fused.
    """
    from transformers.models.d_fine.modeling_d_fine import DFineRepVggBlock

    fused = 0
    for parent in list(model.modules()):
        for name, child in list(parent.named_children()):
            if not isinstance(child, DFineRepVggBlock):
                continue
            k3, b3 = _fold_conv_norm(child.conv1)
            k1, b1 = _fold_conv_norm(child.conv2)
            src = child.conv1.conv
            conv = nn.Conv2d(src.in_channels, src.out_channels, 3, 1, padding=1, bias=True)
            conv.weight.copy_(k3 + nn.functional.pad(k1, [1, 1, 1, 1]))
            conv.bias.copy_(b3 + b1)
            setattr(parent, name, _FusedRepVgg(conv, child.activation))
            fused += 1
    return fused


class DeployDetector(nn.Module):
    """The detector plus its post-processing: top-k query x class pairs, corner boxes in pixels."""

    def __init__(self, model: nn.Module, num_classes: int, top_k: int = TOP_K, input_to_float: bool = False):
        super().__init__()
        self.model = model
        self.num_classes = num_classes
        self.top_k = top_k
        self.input_to_float = input_to_float

    def forward(self, images: torch.Tensor, orig_target_sizes: torch.Tensor):
        if self.input_to_float:
            images = images.float()
        out = self.model(pixel_values=images)
        logits, centre_boxes = out.logits.float(), out.pred_boxes.float()  # (B, Q, C), (B, Q, 4)
        scores = torch.sigmoid(logits).flatten(1)
        scores, index = torch.topk(scores, self.top_k, dim=-1)
        labels = index % self.num_classes
        query = index // self.num_classes
        centre_boxes = centre_boxes.gather(1, query.unsqueeze(-1).expand(-1, -1, 4))
        cx, cy, w, h = centre_boxes.unbind(-1)
        corners = torch.stack([cx - 0.5 * w, cy - 0.5 * h, cx + 0.5 * w, cy + 0.5 * h], dim=-1)
        # [[width, height]] -> [[[width, height, width, height]]]
        scale = orig_target_sizes.to(corners.dtype).repeat(1, 2).unsqueeze(1)
        return labels, corners * scale, scores


class RawDetector(nn.Module):
    """The bare network as published exports have it: pixel_values -> (logits, pred_boxes)."""

    def __init__(self, model: nn.Module, input_to_float: bool = False):
        super().__init__()
        self.model = model
        self.input_to_float = input_to_float

    def forward(self, pixel_values: torch.Tensor):
        if self.input_to_float:
            pixel_values = pixel_values.float()
        out = self.model(pixel_values=pixel_values)
        return out.logits, out.pred_boxes


CONTRACT_IO = (list(INPUT_NAMES), list(OUTPUT_NAMES))
RAW_IO = ([RAW_IMAGE], [RAW_LOGITS, RAW_BOXES])


def export(wrapper: nn.Module, half: bool, output: Path, opset: int, raw: bool = False) -> None:
    # transformers' shape assertions trace to aten._is_all_true, which has no ONNX
    # translation; with the input fixed at 640 x 640 the shapes hold by construction.
    os.environ["TRANSFORMERS_DISABLE_TORCH_CHECK"] = "1"
    dtype = torch.float16 if half else torch.float32
    images = torch.rand(1, 3, INPUT_SIZE, INPUT_SIZE).to(dtype)
    sizes = torch.tensor([[INPUT_SIZE, INPUT_SIZE]], dtype=torch.int64)
    inputs, outputs = RAW_IO if raw else CONTRACT_IO
    output.parent.mkdir(parents=True, exist_ok=True)
    with torch.no_grad():
        program = torch.onnx.export(
            wrapper,
            (images,) if raw else (images, sizes),
            input_names=inputs,
            output_names=outputs,
            opset_version=opset,
            dynamo=True,
            external_data=False,
            verbose=False,
        )
    program.save(str(output), external_data=False)


def stamp_weights(output: Path, weights: str) -> None:
    """Record where the weights came from in the file's metadata ("untrained" for random ones)."""
    import onnx

    model = onnx.load(str(output))
    kept = [p for p in model.metadata_props if p.key != WEIGHTS_KEY]
    del model.metadata_props[:]
    model.metadata_props.extend(kept)
    model.metadata_props.add(key=WEIGHTS_KEY, value=weights)
    onnx.save(model, str(output))


def post_process(logits: np.ndarray, centre_boxes: np.ndarray, sizes: np.ndarray, top_k: int = TOP_K):
    """DeployDetector's post-processing in numpy, for the outputs of a raw export."""
    num_classes = logits.shape[-1]
    scores = 1.0 / (1.0 + np.exp(-logits.astype(np.float64).reshape(len(logits), -1)))
    index = np.argsort(-scores, axis=-1, kind="stable")[:, : min(top_k, scores.shape[-1])]
    labels, query = index % num_classes, index // num_classes
    cx, cy, w, h = np.moveaxis(np.take_along_axis(centre_boxes.astype(np.float32), query[..., None], axis=1), -1, 0)
    corners = np.stack([cx - np.float32(0.5) * w, cy - np.float32(0.5) * h, cx + np.float32(0.5) * w, cy + np.float32(0.5) * h], -1)
    scale = np.tile(sizes.astype(np.float32), (1, 2))[:, None, :]
    return labels, corners * scale, np.take_along_axis(scores, index, axis=-1).astype(np.float32)


def check_raw(reference: nn.Module, output: Path, half: bool, seed: int) -> bool:
    """Post-process the raw graph's outputs in numpy and compare with the PyTorch deploy detector.

    The raw outputs themselves are not compared position for position: the
    decoder's queries come in the order of the encoder's scores, which swaps
    near-equal neighbours at float rounding, and only the post-processed
    records are what a user sees.
    """
    import onnx
    import onnxruntime as ort

    onnx.checker.check_model(str(output))
    session = ort.InferenceSession(str(output), providers=["CPUExecutionProvider"])
    print(f"inputs { {i.name: i.type for i in session.get_inputs()} }, outputs { {o.name: o.type for o in session.get_outputs()} }")
    gen = torch.Generator().manual_seed(seed + 1)
    images = torch.rand(1, 3, INPUT_SIZE, INPUT_SIZE, generator=gen)
    sizes = torch.tensor([[1920, 1080]], dtype=torch.int64)
    feed = images.half() if half else images
    with torch.no_grad():
        ref = [t.numpy() for t in reference(feed.float(), sizes)]
    logits, centre_boxes = session.run(RAW_IO[1], {RAW_IMAGE: feed.numpy()})
    ok, text = compare(ref, post_process(logits, centre_boxes, sizes.numpy()), 1e-4, 0.05, 1e-4)
    print(f"check, ONNX Runtime CPU post-processed in numpy against PyTorch, target 1920x1080: {'OK' if ok else 'FAILED'}")
    print(f"  {text}")
    return ok


def compare(ref, got, score_atol: float, box_atol: float, box_rtol: float) -> tuple[bool, str]:
    """Compare two (labels, boxes, scores) results of one image.

    Scores are sorted, so they compare position for position.  Among scores
    closer than ``score_atol`` the order is a coin toss, so each record is
    matched to an unused reference record of equal label and close box within
    its tie group; a record may lack a partner only at the cut-off of the top-k.
    """
    r_lab, r_box, r_sc = (np.asarray(a)[0] for a in ref)
    g_lab, g_box, g_sc = (np.asarray(a)[0] for a in got)
    lines = []
    ok = True
    if g_lab.dtype != np.int64 or g_box.dtype != np.float32 or g_sc.dtype != np.float32:
        ok = False
        lines.append(f"dtypes: labels {g_lab.dtype}, boxes {g_box.dtype}, scores {g_sc.dtype}")
    score_diff = float(np.max(np.abs(r_sc - g_sc)))
    if score_diff > score_atol:
        ok = False
    lines.append(f"scores: max |diff| {score_diff:.2e} (atol {score_atol:g})")

    used = np.zeros(len(r_lab), dtype=bool)
    in_place = 0
    box_diff = 0.0
    unmatched = []
    cutoff = float(r_sc.min())
    for i in range(len(g_lab)):
        cand = np.flatnonzero(
            ~used
            & (np.abs(r_sc - g_sc[i]) <= score_atol)
            & (r_lab == g_lab[i])
            & np.all(np.abs(r_box - g_box[i]) <= box_atol + box_rtol * np.abs(r_box), axis=1)
        )
        if cand.size == 0:
            unmatched.append(i)
            continue
        j = cand[np.argmin(np.abs(cand - i))]  # prefer the same position
        used[j] = True
        in_place += int(j == i)
        box_diff = max(box_diff, float(np.max(np.abs(r_box[j] - g_box[i]))))
    at_cutoff = [i for i in unmatched if g_sc[i] - cutoff <= score_atol]
    if len(at_cutoff) != len(unmatched):
        ok = False
    lines.append(
        f"records: {in_place}/{len(g_lab)} equal in place, "
        f"{len(g_lab) - len(unmatched) - in_place} reordered within score ties, "
        f"{len(unmatched) - len(at_cutoff)} mismatched, {len(at_cutoff)} swapped at the top-k cut-off"
    )
    lines.append(f"boxes: max |diff| {box_diff:.3g} px over matched records (atol {box_atol:g} + rtol {box_rtol:g})")
    return ok, "; ".join(lines)


def check(reference: nn.Module, output: Path, half: bool, seed: int) -> bool:
    import onnx
    import onnxruntime as ort

    onnx.checker.check_model(str(output))
    session = ort.InferenceSession(str(output), providers=["CPUExecutionProvider"])
    inputs = {i.name: i.type for i in session.get_inputs()}
    outputs = {o.name: o.type for o in session.get_outputs()}
    print(f"inputs {inputs}, outputs {outputs}")

    gen = torch.Generator().manual_seed(seed + 1)
    images = torch.rand(1, 3, INPUT_SIZE, INPUT_SIZE, generator=gen)
    sizes = torch.tensor([[1920, 1080]], dtype=torch.int64)
    feed_images = images.half() if half else images
    with torch.no_grad():
        # A half graph computes in float32 after its Cast, so the float32 model on the
        # same (float16-rounded) pixels is its exact reference.
        ref = [t.numpy() for t in reference(feed_images.float(), sizes)]
    t0 = time.perf_counter()
    got = session.run(list(OUTPUT_NAMES), dict(zip(INPUT_NAMES, (feed_images.numpy(), sizes.numpy()))))
    run_ms = (time.perf_counter() - t0) * 1e3
    score_atol, box_atol, box_rtol = 1e-4, 0.05, 1e-4
    ok, text = compare(ref, got, score_atol, box_atol, box_rtol)
    print(
        f"check, ONNX Runtime CPU ({run_ms:.0f} ms) against the PyTorch model before fusion,"
        f" random image, target 1920x1080: {'OK' if ok else 'FAILED'}"
    )
    print(f"  {text}")
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=sorted(_SIZES), default="m", help="model size for fresh weights (default m)")
    parser.add_argument(
        "--checkpoint",
        help="transformers checkpoint: a local folder, or a hub model id such as"
        " ustc-community/dfine-medium-coco (downloaded when online)",
    )
    parser.add_argument("--seed", type=int, default=0, help="seed for fresh weights and the check input")
    parser.add_argument("--half", action="store_true", help="float16 'images' input")
    parser.add_argument("--opset", type=int, default=18)
    parser.add_argument("--output", type=Path, required=True)
    parser.add_argument("--skip-check", action="store_true", help="do not compare ONNX Runtime with PyTorch")
    parser.add_argument(
        "--raw",
        action="store_true",
        help="export the bare network (pixel_values -> logits, pred_boxes), as published exports have it,"
        " for quarn-detect-model adapt",
    )
    args = parser.parse_args()

    t0 = time.perf_counter()
    try:
        model = build_model(args.size, args.checkpoint, args.seed)
    except OSError as exc:  # no such folder or hub id, or no network for a download
        print(f"error: cannot load checkpoint {args.checkpoint!r}: {exc}", file=sys.stderr)
        return 1
    num_classes = model.config.num_labels
    if num_classes != COCO_CLASSES:
        print(f"note: the model has {num_classes} classes; quarn names labels from the 80 COCO classes")
    params = sum(p.numel() for p in model.parameters())
    source = f"checkpoint {args.checkpoint}" if args.checkpoint else f"D-FINE-{args.size.upper()} seed {args.seed}"
    if args.raw:
        # Published exports are of the transformers model as it is: no fusion, no post-processing.
        reference = None if args.skip_check else DeployDetector(copy.deepcopy(model), num_classes).eval()
        print(f"model: {source}, {params / 1e6:.2f} M parameters, {num_classes} classes, raw outputs")
        wrapper = RawDetector(model, input_to_float=args.half).eval()
    else:
        reference = None if args.skip_check else DeployDetector(copy.deepcopy(model), num_classes).eval()
        fused = to_deploy(model)
        print(f"model: {source}, {params / 1e6:.2f} M parameters, {num_classes} classes, {fused} RepVGG blocks fused")
        # A half graph takes float16 images and computes in float32 after one Cast: ONNX
        # Runtime's CPU provider lacks float16 kernels for most of these operators and
        # runs an all-float16 graph only by wrapping them in inserted Casts (slower than
        # float32, with float16 rounding between every pair of nodes).
        wrapper = DeployDetector(model, num_classes, input_to_float=args.half).eval()
    export(wrapper, args.half, args.output, args.opset, raw=args.raw)
    # Only the weights' origin is recorded, never a local path.
    weights = "untrained" if args.checkpoint is None else args.checkpoint.rstrip("/\\")
    if Path(weights).is_dir():
        weights = Path(weights).resolve().name
    stamp_weights(args.output, weights)
    size_mb = args.output.stat().st_size / 1e6
    print(f"exported {args.output} ({size_mb:.1f} MB, opset {args.opset}) in {time.perf_counter() - t0:.0f} s")
    if args.checkpoint is None:
        print(
            f"warning: {args.output} holds random weights (metadata quarn:weights = untrained): it detects nothing"
            " meaningful and serves only to try the pipeline and measure speed. For real detections export a trained"
            " checkpoint (--checkpoint ustc-community/dfine-medium-coco) or adapt the published ONNX export"
            " (see README, Quick start)."
        )
    if reference is None:
        return 0
    ok = check_raw(reference, args.output, args.half, args.seed) if args.raw else check(reference, args.output, args.half, args.seed)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
