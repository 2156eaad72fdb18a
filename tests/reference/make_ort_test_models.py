"""Writes the tiny ONNX models that the inference wrapper's tests load.

Usage: make_ort_test_models.py <dir>

mixed.onnx      inputs a: float[1,n], steps: int64[m], b: float[1,n] (in this order);
                outputs y = (2a + b) * sum(steps) as float[1,n], then z = a.
scalar.onnx     input x: float[k]; output s = sum(x) with no dimensions.
no_input.onnx   no inputs; output c = [1.5, -2.5].
no_output.onnx  input x: float[1]; one node, no graph outputs.
"""

import os
import sys

import onnx
from onnx import TensorProto, helper

OPSET = 13


def save(graph, path):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, path)


def mixed():
    a = helper.make_tensor_value_info("a", TensorProto.FLOAT, [1, "n"])
    steps = helper.make_tensor_value_info("steps", TensorProto.INT64, ["m"])
    b = helper.make_tensor_value_info("b", TensorProto.FLOAT, [1, "n"])
    y = helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, "n"])
    z = helper.make_tensor_value_info("z", TensorProto.FLOAT, [1, "n"])
    two = helper.make_tensor("two", TensorProto.FLOAT, [], [2.0])
    nodes = [
        helper.make_node("Mul", ["a", "two"], ["a2"]),
        helper.make_node("Add", ["a2", "b"], ["ab"]),
        helper.make_node("ReduceSum", ["steps"], ["total"], keepdims=0),
        helper.make_node("Cast", ["total"], ["factor"], to=TensorProto.FLOAT),
        helper.make_node("Mul", ["ab", "factor"], ["y"]),
        helper.make_node("Identity", ["a"], ["z"]),
    ]
    return helper.make_graph(nodes, "mixed", [a, steps, b], [y, z], initializer=[two])


def scalar():
    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, ["k"])
    s = helper.make_tensor_value_info("s", TensorProto.FLOAT, [])
    node = helper.make_node("ReduceSum", ["x"], ["s"], keepdims=0)
    return helper.make_graph([node], "scalar", [x], [s])


def no_input():
    c = helper.make_tensor_value_info("c", TensorProto.FLOAT, [2])
    value = helper.make_tensor("value", TensorProto.FLOAT, [2], [1.5, -2.5])
    node = helper.make_node("Constant", [], ["c"], value=value)
    return helper.make_graph([node], "no_input", [], [c])


def no_output():
    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, [1])
    node = helper.make_node("Identity", ["x"], ["unused"])
    return helper.make_graph([node], "no_output", [x], [])


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, graph in [("mixed", mixed()), ("scalar", scalar()), ("no_input", no_input()),
                        ("no_output", no_output())]:
        save(graph, os.path.join(out, name + ".onnx"))


if __name__ == "__main__":
    main()
