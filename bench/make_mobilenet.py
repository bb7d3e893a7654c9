#!/usr/bin/python3
"""Writes OUT_BASE.onnx, a network of MobileNetV2's shape (224 x 224, width 1.0,
batch norms folded into the convolutions, ReLU in place of ReLU6, opset 10)
with random weights, and its description OUT_BASE.json giving all 19 labels
as logits and the 1280 pooled values as features. Its speed is MobileNetV2's;
what it suggests means nothing.

    make_mobilenet.py OUT_BASE CODE,CODE,...
"""
import json
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

# expansion, channels, repeats, first stride
SETTINGS = [(1, 16, 1, 1), (6, 24, 2, 2), (6, 32, 3, 2), (6, 64, 4, 2),
            (6, 96, 3, 1), (6, 160, 3, 2), (6, 320, 1, 1)]


class Graph:
    def __init__(self):
        self.nodes, self.weights, self.count = [], [], 0
        self.random = np.random.default_rng(7)

    def name(self, stem):
        self.count += 1
        return "%s%d" % (stem, self.count)

    def conv(self, x, c_in, c_out, kernel, stride, groups=1, relu=True):
        w = self.name("w")
        b = self.name("b")
        fan_in = c_in // groups * kernel * kernel
        self.weights.append(numpy_helper.from_array(
            (self.random.standard_normal((c_out, c_in // groups, kernel, kernel))
             * np.sqrt(2.0 / fan_in)).astype(np.float32), w))
        self.weights.append(numpy_helper.from_array(np.zeros(c_out, np.float32), b))
        y = self.name("conv")
        pad = kernel // 2
        self.nodes.append(helper.make_node("Conv", [x, w, b], [y], kernel_shape=[kernel, kernel],
                                           strides=[stride, stride], pads=[pad] * 4, group=groups))
        if not relu:
            return y
        z = self.name("relu")
        self.nodes.append(helper.make_node("Relu", [y], [z]))
        return z

    def block(self, x, c_in, c_out, stride, expansion):
        hidden = c_in * expansion
        y = x if expansion == 1 else self.conv(x, c_in, hidden, 1, 1)
        y = self.conv(y, hidden, hidden, 3, stride, groups=hidden)
        y = self.conv(y, hidden, c_out, 1, 1, relu=False)
        if stride == 1 and c_in == c_out:
            z = self.name("add")
            self.nodes.append(helper.make_node("Add", [x, y], [z]))
            return z
        return y


def build(labels):
    g = Graph()
    x = g.conv("input", 3, 32, 3, 2)
    c_in = 32
    for expansion, c_out, repeats, stride in SETTINGS:
        for i in range(repeats):
            x = g.block(x, c_in, c_out, stride if i == 0 else 1, expansion)
            c_in = c_out
    x = g.conv(x, c_in, 1280, 1, 1)
    g.nodes.append(helper.make_node("GlobalAveragePool", [x], ["pooled"]))
    g.nodes.append(helper.make_node("Flatten", ["pooled"], ["features"], axis=1))
    g.weights.append(numpy_helper.from_array(
        (g.random.standard_normal((labels, 1280)) * 0.03).astype(np.float32), "W"))
    g.weights.append(numpy_helper.from_array(np.zeros(labels, np.float32), "B"))
    g.nodes.append(helper.make_node("Gemm", ["features", "W", "B"], ["logits"], transB=1))
    graph = helper.make_graph(
        g.nodes, "mobilenetv2",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, ["N", 3, 224, 224])],
        [helper.make_tensor_value_info("logits", TensorProto.FLOAT, ["N", labels]),
         helper.make_tensor_value_info("features", TensorProto.FLOAT, ["N", 1280])],
        g.weights)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 10)])
    model.ir_version = 6
    onnx.checker.check_model(model)
    return model


def main():
    base, codes = sys.argv[1], sys.argv[2].split(",")
    onnx.save(build(len(codes)), base + ".onnx")
    description = {
        "name": "bench-mobilenetv2", "labels": codes,
        "input": {"width": 224, "height": 224, "mean": [0.485, 0.456, 0.406],
                  "std": [0.229, 0.224, 0.225]},
        "output": "logits", "activation": "sigmoid", "features": "features",
    }
    with open(base + ".json", "w", encoding="utf-8") as out:
        json.dump(description, out)


if __name__ == "__main__":
    main()
