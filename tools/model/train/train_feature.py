#!/usr/bin/python3
"""train_feature: learns the default feature's tuned blocks and projection for finding altered copies.

The pictures come from tools/model/write_views, as the network sees them: training photos (from
packages outside the quality benchmark) with random chains of alterations and benchmark-style
transforms, and the benchmark's dev split for choosing (never its test split, never its unseen block).

  cache    DUMP VIEWS             the frozen network (up to block 6) run once per picture
  fit      DUMP TRAIN OUT         the projection alone: a whitening of the untuned parts (no training)
  train    DUMP TRAIN OUT         contrastive fine-tuning of blocks 7-10 and the projection, resumable
  evaluate DUMP DEV STATE         R@1 and mAP per block and kind of photo on the dev split
  score    MODEL DEV              the same for a converted model, run by OpenCV as the library runs it
  export   DUMP STATE OUT         the learned parts file the converter applies (tools/model/LearnedParts.h)

Blocks 7-10 are a copy of the network's own (the classifier keeps its weights); only the copy and the
projection are trained. Contrastive loss: InfoNCE between two views of a photo (the original and an
altered copy, or two altered copies) against the other photos of the batch and a queue of earlier
descriptors, plus a small KoLeo term that spreads the descriptors apart."""

import argparse
import os
import sys
import time

import numpy as np
import torch

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from feature import (FEATURE_DIM, FROZEN_LAST, PARTS, TUNED_BLOCKS, Head, TunedBlocks,  # noqa: E402
                     fixed_part_sizes, frozen_parts, part_weights)
from learned_parts import write_learned_parts  # noqa: E402
from mirror import INPUT_MEAN_BGR, INPUT_SIDE, KerasMirror, network_input, read_dump  # noqa: E402

BLOCK_6_SHAPE = (64, 14, 14)


class Views:
    """A views folder of write_views, with what `cache` added."""

    def __init__(self, directory):
        self.directory = directory
        with open(os.path.join(directory, "views.tsv")) as file:
            header = file.readline().rstrip("\n").split("\t")
            rows = [line.rstrip("\n").split("\t") for line in file]
        self.columns = {name: [row[index] for row in rows] for index, name in enumerate(header)}
        self.count = len(rows)
        self.pixels = np.memmap(os.path.join(directory, "views.u8"), np.uint8, "r",
                                shape=(self.count, INPUT_SIDE, INPUT_SIDE, 3))

    def cached(self):
        block_6 = np.memmap(os.path.join(self.directory, "block_6.f16"), np.float16, "r",
                            shape=(self.count,) + BLOCK_6_SHAPE)
        fixed = np.memmap(os.path.join(self.directory, "fixed_parts.f32"), np.float32, "r",
                          shape=(self.count, sum(fixed_part_sizes())))
        return block_6, fixed


def frozen_mirror(dump):
    layers, weights = read_dump(dump)
    last = next(index for index, layer in enumerate(layers) if layer["name"] == FROZEN_LAST)
    return KerasMirror(layers[:last + 1], weights).eval(), layers, weights


def cache(args):
    """block_6.f16 and fixed_parts.f32 beside the views; resumes where an earlier run stopped."""
    views = Views(args.views)
    mirror, _, _ = frozen_mirror(args.dump)
    progress_path = os.path.join(args.views, "cached.count")
    done = int(open(progress_path).read()) if os.path.exists(progress_path) else 0
    modes = "r+" if done else "w+"
    block_6 = np.memmap(os.path.join(args.views, "block_6.f16"), np.float16, modes, shape=(views.count,) + BLOCK_6_SHAPE)
    fixed = np.memmap(os.path.join(args.views, "fixed_parts.f32"), np.float32, modes,
                      shape=(views.count, sum(fixed_part_sizes())))
    started = time.time()
    with torch.no_grad():
        for begin in range(done, views.count, args.batch):
            end = min(begin + args.batch, views.count)
            block, parts = frozen_parts(mirror, network_input(np.array(views.pixels[begin:end])))
            block_6[begin:end] = block.numpy().astype(np.float16)
            fixed[begin:end] = parts.numpy()
            if end % (args.batch * 32) == 0 or end == views.count:
                block_6.flush()
                fixed.flush()
                with open(progress_path, "w") as file:
                    file.write(str(end))
                print(f"cache: {end}/{views.count} pictures, {time.time() - started:.0f} s", flush=True)


def photo_groups(views):
    """photo name -> (index of its original, indices of its altered copies)."""
    groups = {}
    for index, (photo, alteration) in enumerate(zip(views.columns["photo"], views.columns["alteration"])):
        original, copies = groups.setdefault(photo, [None, []])
        if alteration in ("original", "identity"):
            groups[photo][0] = index
        else:
            copies.append(index)
    return {photo: (original, copies) for photo, (original, copies) in groups.items() if original is not None and copies}


def descriptors(tuned, head, block_6, fixed, indices, batch=256, unit=False):
    out = []
    with torch.no_grad():
        for begin in range(0, len(indices), batch):
            chosen = np.asarray(indices[begin:begin + batch])
            parts = torch.cat([tuned(torch.from_numpy(block_6[chosen].astype(np.float32))),
                               torch.from_numpy(np.asarray(fixed[chosen]))], 1)
            out.append(head(parts, unit=unit))
    return torch.cat(out)


def parts_of(tuned, block_6, fixed, indices, batch=256):
    out = []
    with torch.no_grad():
        for begin in range(0, len(indices), batch):
            chosen = np.asarray(indices[begin:begin + batch])
            out.append(torch.cat([tuned(torch.from_numpy(block_6[chosen].astype(np.float32))),
                                  torch.from_numpy(np.asarray(fixed[chosen]))], 1).double())
    return torch.cat(out)


def learn_whitening(originals, copies, copy_of, copy_weights, shrinkage, dimensions=FEATURE_DIM):
    """Unit variance of copy - original in every direction (each copy counting by its weight, with
    shrinkage towards the mean variance), then the directions in which the photos vary most."""
    differences = copies - originals[copy_of]
    covariance = (differences * copy_weights[:, None]).T @ differences / copy_weights.sum()
    covariance += torch.eye(covariance.shape[0], dtype=covariance.dtype) * (shrinkage * covariance.trace() / len(covariance))
    values, vectors = torch.linalg.eigh(covariance)
    first = vectors @ torch.diag(values.rsqrt()) @ vectors.T
    everything = torch.cat([originals, copies])
    mean = everything.mean(0)
    whitened = (everything - mean) @ first
    spread_values, spread_vectors = torch.linalg.eigh(whitened.T @ whitened / len(whitened))
    matrix = spread_vectors[:, torch.argsort(spread_values, descending=True)[:dimensions]].T @ first
    return matrix, -matrix @ mean


def fitted_head(tuned, views, shrinkage, kind_weight):
    """A head whose projection is the whitening of the training views' parts; the copies of the
    benchmark's kinds of alteration (not random chains) count kind_weight times, since the chains
    outnumber them two to one and would otherwise trade crops for chain invariance."""
    block_6, fixed = views.cached()
    groups = photo_groups(views)
    originals_at = [original for original, _ in groups.values()]
    copies_at = [copy for _, copies in groups.values() for copy in copies]
    copy_of = torch.tensor([row for row, (_, copies) in enumerate(groups.values()) for _ in copies])
    blocks = views.columns["block"]
    copy_weights = torch.tensor([1.0 if blocks[copy] == "chain" else kind_weight for copy in copies_at], dtype=torch.float64)
    weights = part_weights()
    originals = parts_of(tuned, block_6, fixed, originals_at) * weights.double()
    copies = parts_of(tuned, block_6, fixed, copies_at) * weights.double()
    matrix, bias = learn_whitening(originals, copies, copy_of, copy_weights, shrinkage)
    head = Head(len(weights), weights)
    with torch.no_grad():
        head.projection.weight.copy_(matrix.float())
        head.projection.bias.copy_(bias.float())
    return head


def fit(args):
    _, layers, weights = frozen_mirror(args.dump)
    tuned = TunedBlocks(layers, weights).eval()
    head = fitted_head(tuned, Views(args.train), args.shrinkage, args.kind_weight)
    torch.save({"tuned": tuned.state_dict(), "head": head.state_dict(), "step": 0}, args.out)
    print(f"fit: projection fitted on {args.train}, written to {args.out}")


def distinct_groups(groups, tuned, head, block_6, fixed, below):
    """One photo of each set of training photos that lie closer than `below` (directly or through
    others) by the untrained feature: game textures come in near-identical variants, which a
    contrastive loss would otherwise push apart as if they were different pictures."""
    originals = [original for original, _ in groups]
    found = descriptors(tuned, head, block_6, fixed, originals).double()
    close = torch.sqrt(10000 + torch.cdist(found, found) ** 2) < below
    parent = list(range(len(groups)))

    def root(index):
        while parent[index] != index:
            parent[index] = parent[parent[index]]
            index = parent[index]
        return index

    for first, second in torch.nonzero(torch.triu(close, 1)).tolist():
        parent[root(first)] = root(second)
    kept = sorted({root(index) for index in range(len(groups))})
    print(f"train: {len(kept)} distinct photos of {len(groups)}", flush=True)
    return [groups[index] for index in kept]


def info_nce(anchors, positives, queue, temperature):
    """Cross-entropy of each anchor picking its positive among the positives of the batch and the queue."""
    candidates = torch.cat([positives, queue]) if queue is not None else positives
    logits = anchors @ candidates.T / temperature
    return torch.nn.functional.cross_entropy(logits, torch.arange(len(anchors)))


def koleo(values):
    """Kozachenko-Leonenko entropy estimate (negated): large when descriptors crowd together."""
    distances = torch.cdist(values, values)
    distances = distances + torch.eye(len(values)) * 1e6
    return -torch.log(distances.min(dim=1).values + 1e-8).mean()


def train(args):
    torch.manual_seed(args.seed)
    rng = np.random.default_rng(args.seed)
    views = Views(args.train)
    block_6, fixed = views.cached()
    groups = list(photo_groups(views).values())
    _, layers, weights = frozen_mirror(args.dump)
    tuned = TunedBlocks(layers, weights)
    initial = {name: value.detach().clone() for name, value in tuned.state_dict().items()}
    state = torch.load(args.out) if os.path.exists(args.out) else None
    if state is None and args.init:
        state = {key: value for key, value in torch.load(args.init).items() if key in ("tuned", "head")}
        state["step"] = 0
    if state is None:
        head = fitted_head(tuned.eval(), views, args.shrinkage, args.kind_weight)
        state = {"step": 0}
    else:
        head = Head(len(part_weights()), part_weights())
        tuned.load_state_dict(state["tuned"])
        head.load_state_dict(state["head"])
        if "rng" in state:
            rng.bit_generator.state = state["rng"]
    # Chosen once, by the feature training starts from, and kept with the checkpoints.
    if "originals" not in state:
        chosen = distinct_groups(groups, tuned.eval(), head, block_6, fixed, args.distinct) if args.distinct else groups
        state["originals"] = [original for original, _ in chosen]
    groups = [group for group in groups if group[0] in set(state["originals"])]
    trainable = [value for name, value in tuned.named_parameters() if "moving_" not in name]
    optimiser = torch.optim.Adam([{"params": trainable, "lr": args.lr}, {"params": head.parameters(), "lr": args.head_lr}])
    if "optimiser" in state:
        optimiser.load_state_dict(state["optimiser"])
    queue = state.get("queue")
    queue_photos = state.get("queue_photos")
    steps = args.epochs * (len(groups) // args.batch)
    tuned.train()
    started = time.time()
    for step in range(state["step"], steps):
        for group in optimiser.param_groups:
            base = args.lr if group is optimiser.param_groups[0] else args.head_lr
            group["lr"] = base * 0.5 * (1 + np.cos(np.pi * step / steps))
        chosen = rng.choice(len(groups), size=args.batch, replace=False)
        first, second = [], []
        for photo in chosen:
            original, copies = groups[photo]
            picks = rng.choice(copies, size=2, replace=len(copies) < 2)
            first.append(original if rng.random() < args.original_share else picks[0])
            second.append(picks[1])
        both = np.array(first + second)
        parts = torch.cat([tuned(torch.from_numpy(block_6[both].astype(np.float32))),
                           torch.from_numpy(np.asarray(fixed[both]))], 1)
        described = head(parts, unit=True)
        anchors, positives = described[:args.batch], described[args.batch:]
        usable = None
        if queue is not None:
            usable = queue[torch.from_numpy(~np.isin(queue_photos, chosen))]
        loss = 0.5 * (info_nce(anchors, positives, usable, args.temperature)
                      + info_nce(positives, anchors, usable, args.temperature))
        spread = koleo(described)
        drift = sum(((value - initial[name]) ** 2).sum() for name, value in tuned.named_parameters()
                    if "moving_" not in name)
        total = loss + args.koleo * spread + args.drift * drift
        optimiser.zero_grad()
        total.backward()
        optimiser.step()
        fresh = positives.detach()
        queue = fresh if queue is None else torch.cat([fresh, queue])[:args.queue]
        queue_photos = chosen if queue_photos is None else np.concatenate([chosen, queue_photos])[:args.queue]
        if (step + 1) % args.report == 0 or step + 1 == steps:
            print(f"train: step {step + 1}/{steps} loss {loss.item():.3f} koleo {spread.item():.3f} "
                  f"drift {drift.item():.4f} {time.time() - started:.0f} s", flush=True)
        if (step + 1) % args.checkpoint == 0 or step + 1 == steps:
            torch.save({"tuned": tuned.state_dict(), "head": head.state_dict(), "step": step + 1,
                        "optimiser": optimiser.state_dict(), "queue": queue, "queue_photos": queue_photos,
                        "rng": rng.bit_generator.state, "originals": state["originals"]},
                       args.out + ".partial")
            os.replace(args.out + ".partial", args.out)


def holidays_ap(rank, depth=20):
    if rank is None or rank >= depth:
        return 0.0
    return 1.0 if rank == 0 else 0.5 / (rank + 1)


def report(views, stored, queries, index_at, query_at):
    """R@1 and mAP per kind and block of the dev queries, and per kind the largest distance at which a
    query's nearest picture is its original with 95 % precision, and the recall there."""
    roles = views.columns["role"]
    stored_names = [views.columns["photo"][i] for i in index_at]
    distances = torch.sqrt(10000 + torch.cdist(queries.double(), stored.double()) ** 2)
    order = torch.argsort(distances, dim=1)
    scores = {}
    nearest = {}
    for row, view in enumerate(query_at):
        photo, kind, block = views.columns["photo"][view], views.columns["kind"][view], views.columns["block"][view]
        first = stored_names[order[row, 0]]
        nearest.setdefault(kind, []).append(
            (distances[row, order[row, 0]].item(), first == photo and roles[view] == "source"))
        if roles[view] != "source":
            continue
        ranked = [stored_names[i] for i in order[row, :20]]
        rank = ranked.index(photo) if photo in ranked else None
        for key in (f"{kind}/{block}", f"{kind}/overall", f"all/{block}", "all/overall"):
            scores.setdefault(key, []).append((rank == 0, holidays_ap(rank)))
    for key in sorted(scores):
        values = np.array(scores[key], dtype=float)
        print(f"{key:28s} {len(values):5d}  R@1 {values[:, 0].mean():.3f}  mAP {values[:, 1].mean():.3f}")
    for kind, found in sorted(nearest.items()):
        positives = sum(1 for view in query_at if views.columns["kind"][view] == kind and roles[view] == "source")
        found.sort()
        best = None
        correct = 0
        for accepted, (distance, right) in enumerate(found, 1):
            correct += right
            if correct / accepted >= 0.95:
                best = (distance, correct / positives)
        print(f"{kind:28s} 95 % precision up to distance {best[0] if best else float('nan'):.3f}, "
              f"recall {best[1] if best else 0:.3f}")


def roles_of(views):
    roles = views.columns["role"]
    return ([i for i, role in enumerate(roles) if role == "index"],
            [i for i, role in enumerate(roles) if role in ("source", "absent")])


def evaluate(args):
    """Scores a training state on the cached dev views."""
    views = Views(args.dev)
    block_6, fixed = views.cached()
    _, layers, weights = frozen_mirror(args.dump)
    tuned = TunedBlocks(layers, weights).eval()
    head = Head(len(part_weights()), part_weights())
    state = torch.load(args.state)
    tuned.load_state_dict(state["tuned"])
    head.load_state_dict(state["head"])
    index_at, query_at = roles_of(views)
    report(views, descriptors(tuned, head, block_6, fixed, index_at), descriptors(tuned, head, block_6, fixed, query_at),
           index_at, query_at)


def score(args):
    """Scores a converted model (v0.net, v0.dat) on the dev views, run by OpenCV as the library runs it."""
    import cv2
    views = Views(args.dev)
    net = cv2.dnn.readNetFromCaffe(os.path.join(args.model, "v0.net"), os.path.join(args.model, "v0.dat"))
    index_at, query_at = roles_of(views)

    def features(indices):
        out = []
        for begin in range(0, len(indices), 32):
            pictures = [np.array(views.pixels[i]) for i in indices[begin:begin + 32]]
            net.setInput(cv2.dnn.blobFromImages(pictures, 1.0, (INPUT_SIDE, INPUT_SIDE), INPUT_MEAN_BGR, False, False))
            out.append(torch.from_numpy(net.forward("pool5").reshape(len(pictures), -1).copy()))
        return torch.cat(out)

    report(views, features(index_at), features(query_at), index_at, query_at)


def export(args):
    _, layers, weights = frozen_mirror(args.dump)
    tuned = TunedBlocks(layers, weights)
    head = Head(len(part_weights()), part_weights())
    state = torch.load(args.state)
    tuned.load_state_dict(state["tuned"])
    head.load_state_dict(state["head"])
    tuned_weights = {name.replace(":", "/"): value.detach().numpy() for name, value in tuned.mirror.params.items()}
    write_learned_parts(args.out, weights, tuned_weights, head.projection.weight.detach().double().numpy(),
                        head.projection.bias.detach().double().numpy(), PARTS, TUNED_BLOCKS)
    print(f"export: learned parts written to {args.out}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("cache")
    command.add_argument("dump")
    command.add_argument("views")
    command.add_argument("--batch", type=int, default=32)
    def fitting(name):
        """A command that fits the projection on the training views (train does unless given --init)."""
        command = commands.add_parser(name)
        command.add_argument("dump")
        command.add_argument("train")
        command.add_argument("out")
        command.add_argument("--shrinkage", type=float, default=0.1)
        command.add_argument("--kind-weight", type=float, default=1.0)
        return command

    fitting("fit")
    command = fitting("train")
    command.add_argument("--epochs", type=int, default=20)
    command.add_argument("--batch", type=int, default=64)
    command.add_argument("--lr", type=float, default=1e-4)
    command.add_argument("--head-lr", type=float, default=1e-4)
    command.add_argument("--temperature", type=float, default=0.05)
    command.add_argument("--queue", type=int, default=4096)
    command.add_argument("--koleo", type=float, default=0.1)
    command.add_argument("--drift", type=float, default=0.0)
    command.add_argument("--original-share", type=float, default=0.5)
    command.add_argument("--seed", type=int, default=1)
    command.add_argument("--distinct", type=float, default=102.5,
                         help="train on one photo of each set closer than this (0: all)")
    command.add_argument("--init", help="start from this state (a fit's) instead of fitting the projection")
    command.add_argument("--report", type=int, default=20)
    command.add_argument("--checkpoint", type=int, default=100)
    command = commands.add_parser("evaluate")
    command.add_argument("dump")
    command.add_argument("dev")
    command.add_argument("state")
    command = commands.add_parser("score")
    command.add_argument("model")
    command.add_argument("dev")
    command = commands.add_parser("export")
    command.add_argument("dump")
    command.add_argument("state")
    command.add_argument("out")
    args = parser.parse_args()
    torch.set_num_threads(int(os.environ.get("TRAIN_THREADS", "2")))
    {"cache": cache, "fit": fit, "train": train, "evaluate": evaluate, "score": score,
     "export": export}[args.command](args)


if __name__ == "__main__":
    main()
