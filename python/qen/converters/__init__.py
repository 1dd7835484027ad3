"""Converters that bring a PyTorch, ONNX or scikit-learn model into a model file.

One module per source framework, each imported only when its converter is
called (`qen.from_torch`, `qen.from_onnx`, `qen.from_sklearn`), so that
`import qen` never imports a framework.
"""
