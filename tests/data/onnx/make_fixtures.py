#!/usr/bin/env python3
"""Writes the ONNX fixtures the tests import, as PyTorch exports them, and beside each one the
outputs PyTorch computes for a few inputs in double precision (the model's weights converted to
double exactly), which the imported network must reproduce within 1e-12 relative.

    /usr/bin/python3 tests/data/onnx/make_fixtures.py   (Debian's python3-torch and python3-onnx)

The suite reads the files this writes; it does not need PyTorch.
"""
import os

import torch
from torch import nn

HERE = os.path.dirname(os.path.abspath(__file__))


class Normalised(nn.Module):
    """Inputs standardised by constants, then a Linear layer without activation in between."""

    def __init__(self):
        super().__init__()
        self.register_buffer("mean", torch.tensor([0.5, -1.0, 2.0, 0.25]))
        self.register_buffer("std", torch.tensor([2.0, 0.5, 3.0, 1.5]))
        self.norm = nn.BatchNorm1d(4)
        self.body = nn.Sequential(nn.Linear(4, 5), nn.Tanh(), nn.Linear(5, 3), nn.Linear(3, 2),
                                  nn.Sigmoid())

    def forward(self, x):
        return self.body(self.norm((x - self.mean) / self.std))


def plain():
    return nn.Sequential(nn.Linear(4, 6), nn.Tanh(), nn.Linear(6, 2), nn.Sigmoid())


def write(name, model, example, dynamic_batch):
    model.eval()
    path = os.path.join(HERE, name + ".onnx")
    axes = {"x": {0: "batch"}, "y": {0: "batch"}} if dynamic_batch else None
    torch.onnx.export(model, example, path, input_names=["x"], output_names=["y"],
                      dynamic_axes=axes, opset_version=14)
    reference = model.double()
    inputs = torch.rand(5, 4, dtype=torch.float64, generator=torch.Generator().manual_seed(7)) * 4 - 2
    with torch.no_grad():
        if example.dim() == 2:
            outputs = reference(inputs)
        else:  # a model of one plain vector takes the rows one by one
            outputs = torch.stack([reference(row) for row in inputs])
    with open(os.path.join(HERE, name + ".expected.txt"), "w") as f:
        f.write("# inputs | outputs PyTorch computes in double for " + name + ".onnx\n")
        for i, o in zip(inputs.tolist(), outputs.tolist()):
            f.write(" ".join(repr(v) for v in i) + " | " + " ".join(repr(v) for v in o) + "\n")


def main():
    torch.manual_seed(1)
    write("torch_float", plain(), torch.zeros(1, 4), True)  # Gemm
    torch.manual_seed(2)
    write("torch_double", plain().double(), torch.zeros(4, dtype=torch.float64), False)  # MatMul, Add
    torch.manual_seed(3)
    normalised = Normalised()
    normalised.norm.running_mean.copy_(torch.tensor([0.1, -0.2, 0.3, 0.0]))
    normalised.norm.running_var.copy_(torch.tensor([1.5, 0.5, 2.0, 1.0]))
    normalised.norm.weight.data.copy_(torch.tensor([1.0, 0.5, 2.0, -1.0]))
    normalised.norm.bias.data.copy_(torch.tensor([0.0, 0.1, -0.1, 0.2]))
    write("torch_normalised", normalised, torch.zeros(2, 4), True)


if __name__ == "__main__":
    main()
