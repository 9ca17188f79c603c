#!/usr/bin/python3
"""Writes the tiny, deterministic ONNX networks the tests load.

Run with Debian's python3-onnx:  /usr/bin/python3 tests/data/models/make_test_models.py
The outputs are committed beside this script; rerunning it rewrites them
byte for byte.

The two stage-shaped networks are simple enough that a test can predict
their answers exactly:

* det_dark.onnx      {1,3,768,768} -> {1,3,768,768} softmax. With m the
                     per-pixel channel mean of the normalised input (-1 black,
                     1 white), the logits are (50 m + 1000 [m < -0.995], -100,
                     -50 m): class 2 (text) wins wherever the pixel is darker
                     than mid grey but not pure black (grey 1 and up), with
                     probability ~1. Pure black, like the padding the pipeline
                     adds, is background.
* rec_centre.onnx    {1,3,128,128} -> {1,10} softmax. With c the mean of the
                     central 32x32 window (rows and columns 48..79, all
                     channels) of the normalised input, the score of class i is
                     -50 (c - (-1 + 0.2 i))^2: the best class is the band
                     nearest to c, i.e. round(grey / 25.5) for a uniform grey
                     centre.
"""
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

HERE = os.path.dirname(os.path.abspath(__file__))
OPSET = 13


def const(name, array):
    return numpy_helper.from_array(np.asarray(array), name)


def save(name, nodes, inputs, outputs, initializers=()):
    graph = helper.make_graph(nodes, name, inputs, outputs, list(initializers))
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="keshocr-tests")
    model.ir_version = 7
    onnx.checker.check_model(model)
    with open(os.path.join(HERE, name + ".onnx"), "wb") as f:
        f.write(model.SerializeToString())


def f32(name, dims):
    return helper.make_tensor_value_info(name, TensorProto.FLOAT, dims)


def main():
    two = const("two", np.float32(2.0))
    one = const("one", np.float32(1.0))

    # Doubles its input: shapes and values are easy to check.
    save("double_768", [helper.make_node("Mul", ["x", "two"], ["y"])],
         [f32("x", [1, 3, 768, 768])], [f32("y", [1, 3, 768, 768])], [two])
    save("double_free", [helper.make_node("Mul", ["x", "two"], ["y"])],
         [f32("x", ["n", 3, "h", "w"])], [f32("y", ["n", 3, "h", "w"])], [two])
    save("double_3d", [helper.make_node("Mul", ["x", "two"], ["y"])],
         [f32("x", [3, 768, 768])], [f32("y", [3, 768, 768])], [two])
    save("two_outputs",
         [helper.make_node("Mul", ["x", "two"], ["doubled"]),
          helper.make_node("Add", ["x", "one"], ["plus_one"])],
         [f32("x", [1, 3, 8, 8])], [f32("doubled", [1, 3, 8, 8]), f32("plus_one", [1, 3, 8, 8])],
         [two, one])
    save("two_inputs", [helper.make_node("Add", ["a", "b"], ["y"])],
         [f32("a", [1, 3, 8, 8]), f32("b", [1, 3, 8, 8])], [f32("y", [1, 3, 8, 8])])
    save("int64_output", [helper.make_node("ArgMax", ["x"], ["y"], axis=1, keepdims=1)],
         [f32("x", [1, 3, 8, 8])],
         [helper.make_tensor_value_info("y", TensorProto.INT64, [1, 1, 8, 8])])

    # Detection-shaped: class 2 wherever the pixel is dark.
    save("det_dark",
         [helper.make_node("ReduceMean", ["x"], ["m"], axes=[1], keepdims=1),
          helper.make_node("Mul", ["m", "k"], ["scaled"]),
          helper.make_node("Neg", ["scaled"], ["dark"]),
          helper.make_node("Less", ["m", "black"], ["is_black"]),
          helper.make_node("Cast", ["is_black"], ["black_f"], to=TensorProto.FLOAT),
          helper.make_node("Mul", ["black_f", "big"], ["black_bonus"]),
          helper.make_node("Add", ["scaled", "black_bonus"], ["bright"]),
          helper.make_node("Mul", ["m", "zero"], ["m0"]),
          helper.make_node("Add", ["m0", "never"], ["other"]),
          helper.make_node("Concat", ["bright", "other", "dark"], ["logits"], axis=1),
          helper.make_node("Softmax", ["logits"], ["scores"], axis=1)],
         [f32("x", [1, 3, 768, 768])], [f32("scores", [1, 3, 768, 768])],
         [const("k", np.float32(50.0)), const("zero", np.float32(0.0)),
          const("black", np.float32(-0.995)), const("big", np.float32(1000.0)),
          const("never", np.float32(-100.0))])
    # Detection-shaped input whose output cannot be a score map.
    save("det_flat_output",
         [helper.make_node("ReduceMean", ["x"], ["y"], axes=[2, 3], keepdims=0)],
         [f32("x", [1, 3, 768, 768])], [f32("y", [1, 3])])
    # A score map with only two classes: no text class.
    save("det_two_classes",
         [helper.make_node("Slice", ["x", "s0", "s1", "ax"], ["y"])],
         [f32("x", [1, 3, 768, 768])], [f32("y", [1, 2, 768, 768])],
         [const("s0", np.array([0], np.int64)), const("s1", np.array([2], np.int64)),
          const("ax", np.array([1], np.int64))])

    # Recognition-shaped: class = grey band of the crop's centre.
    centres = (-1.0 + 0.2 * np.arange(10, dtype=np.float32)).reshape(1, 10).astype(np.float32)
    save("rec_centre",
         [helper.make_node("Slice", ["x", "starts", "ends", "axes"], ["window"]),
          helper.make_node("ReduceMean", ["window"], ["c"], axes=[1, 2, 3], keepdims=0),
          helper.make_node("Reshape", ["c", "col"], ["c2"]),
          helper.make_node("Sub", ["c2", "centres"], ["d"]),
          helper.make_node("Mul", ["d", "d"], ["d2"]),
          helper.make_node("Mul", ["d2", "minus_k"], ["logits"]),
          helper.make_node("Softmax", ["logits"], ["scores"], axis=1)],
         [f32("x", [1, 3, 128, 128])], [f32("scores", [1, 10])],
         [const("starts", np.array([48, 48], np.int64)), const("ends", np.array([80, 80], np.int64)),
          const("axes", np.array([2, 3], np.int64)), const("col", np.array([1, 1], np.int64)),
          const("centres", centres), const("minus_k", np.float32(-50.0))])
    # Recognition-shaped input whose output has a single axis.
    save("rec_flat_output",
         [helper.make_node("ReduceMean", ["x"], ["y"], axes=[0, 2, 3], keepdims=0)],
         [f32("x", [1, 3, 128, 128])], [f32("y", [3])])


if __name__ == "__main__":
    main()
