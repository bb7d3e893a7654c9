#!/usr/bin/python3
"""Writes a tiny classifier NAME.onnx and its description NAME.json for the tests.

The model averages each colour channel over the picture and multiplies the
three averages by a weight matrix: so a red picture and a blue one give
different labels. Usage:

    make_model.py OUT_BASE '{"labels": [...], "weights": [[r, g, b], ...],
                             "bias": [...], "activation": "sigmoid"|"none",
                             "width": 8, "height": 8, "features": true,
                             "description": {...extra or replaced fields...}}'

"weights" has one row per label; with "activation": "none" the output is the
weighted sum clipped by the model's own Sigmoid so that it reads as a
probability; with "sigmoid" the output is the raw sum (logits). "clip": true
clips the sum with a Clip of opset 11 (min and max as inputs) instead.
"""
import json
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def build(recipe):
    labels = recipe["labels"]
    weights = np.array(recipe["weights"], dtype=np.float32).reshape(len(labels), 3)
    bias = np.array(recipe.get("bias", [0.0] * len(labels)), dtype=np.float32)
    width, height = recipe.get("width", 8), recipe.get("height", 8)
    outputs = recipe.get("outputs", len(labels))
    if outputs != len(labels):
        # a model whose output does not match its description
        weights = np.resize(weights, (outputs, 3)).astype(np.float32)
        bias = np.resize(bias, outputs).astype(np.float32)
    logits_only = recipe.get("activation", "none") == "sigmoid"
    nodes = [
        helper.make_node("GlobalAveragePool", ["input"], ["pooled"]),
        helper.make_node("Flatten", ["pooled"], ["features"], axis=1),
        helper.make_node("Gemm", ["features", "W", "B"], ["logits" if not logits_only else "probs"],
                         transB=1),
    ]
    initializers = [numpy_helper.from_array(weights, "W"), numpy_helper.from_array(bias, "B")]
    opset = 10
    if recipe.get("clip", False):
        # min and max as inputs, as opset 11 and later give them
        opset = 11
        initializers += [numpy_helper.from_array(np.array(0, dtype=np.float32), "low"),
                         numpy_helper.from_array(np.array(1, dtype=np.float32), "high")]
        nodes.append(helper.make_node("Clip", ["logits", "low", "high"], ["probs"]))
    elif not logits_only:
        nodes.append(helper.make_node("Sigmoid", ["logits"], ["probs"]))
    graph_outputs = [helper.make_tensor_value_info("probs", TensorProto.FLOAT, ["N", outputs])]
    if recipe.get("features", False):
        graph_outputs.append(helper.make_tensor_value_info("features", TensorProto.FLOAT, ["N", 3]))
    graph = helper.make_graph(
        nodes, "tiny",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, ["N", 3, height, width])],
        graph_outputs, initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)])
    model.ir_version = 6
    onnx.checker.check_model(model)
    return model


def main():
    base, recipe = sys.argv[1], json.loads(sys.argv[2])
    onnx.save(build(recipe), base + ".onnx")
    description = {
        "name": recipe.get("name", "tiny"),
        "labels": recipe["labels"],
        "input": {"width": recipe.get("width", 8), "height": recipe.get("height", 8)},
        "output": "probs",
        "activation": recipe.get("activation", "none"),
    }
    if recipe.get("features", False):
        description["features"] = "features"
    if "thresholds" in recipe:
        description["thresholds"] = recipe["thresholds"]
    description.update(recipe.get("description", {}))
    with open(base + ".json", "w", encoding="utf-8") as out:
        json.dump(description, out, ensure_ascii=False)


if __name__ == "__main__":
    main()
