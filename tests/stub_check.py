"""Compare the parameters of a hand-written type stub with those pybind11 reports at run time."""

import ast
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
_PARAM = re.compile(r"(?:\(|, )(\w+): ")


def runtime_parameters(func):
    """[(name, has_default)] from the first line of a pybind11 docstring, without self."""
    signature = func.__doc__.splitlines()[0]
    matches = list(_PARAM.finditer(signature))
    params = []
    for k, match in enumerate(matches):
        end = matches[k + 1].start() if k + 1 < len(matches) else len(signature)
        params.append((match.group(1), " = " in signature[match.end() : end]))
    return [p for p in params if p[0] != "self"]


def stub_parameters(module_name):
    """{qualified name: [(name, has_default)]} of every function and method in <module>/<module>.pyi."""
    tree = ast.parse((ROOT / module_name / f"{module_name}.pyi").read_text())
    found = {}

    def visit(nodes, prefix):
        for node in nodes:
            if isinstance(node, ast.ClassDef):
                visit(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.FunctionDef):
                args = node.args.args
                first_default = len(args) - len(node.args.defaults)
                found[prefix + node.name] = [(a.arg, i >= first_default) for i, a in enumerate(args) if a.arg != "self"]

    visit(tree.body, "")
    return found
