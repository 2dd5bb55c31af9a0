"""Compare the parameters of a hand-written type stub with those pybind11 reports at run time."""

import ast
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
_PARAM = re.compile(r"(?:\(|, )(\w+): ")


def runtime_parameters(func):
    """[(name, has_default)] from the first line of a pybind11 docstring, without self;
    keyword-only parameters follow a ("*", False) entry."""
    signature = func.__doc__.splitlines()[0]
    matches = list(_PARAM.finditer(signature))
    params = []
    for k, match in enumerate(matches):
        end = matches[k + 1].start() if k + 1 < len(matches) else len(signature)
        segment = signature[match.end() : end]
        params.append((match.group(1), " = " in segment))
        if segment.endswith(", *"):
            params.append(("*", False))
    return [p for p in params if p[0] != "self"]


def stub_path(module_name):
    """<module>/<module>.pyi, or <module>/python/<module>.pyi in a module kept in stage folders."""
    flat = ROOT / module_name / f"{module_name}.pyi"
    return flat if flat.exists() else ROOT / module_name / "python" / f"{module_name}.pyi"


def stub_parameters(module_name):
    """{qualified name: [(name, has_default)]} of every function and method in the module's stub."""
    tree = ast.parse(stub_path(module_name).read_text())
    found = {}

    def visit(nodes, prefix):
        for node in nodes:
            if isinstance(node, ast.ClassDef):
                visit(node.body, prefix + node.name + ".")
            elif isinstance(node, ast.FunctionDef):
                args = node.args.args
                first_default = len(args) - len(node.args.defaults)
                params = [(a.arg, i >= first_default) for i, a in enumerate(args) if a.arg != "self"]
                if node.args.kwonlyargs:
                    params.append(("*", False))
                    params += [(a.arg, d is not None) for a, d in zip(node.args.kwonlyargs, node.args.kw_defaults)]
                found[prefix + node.name] = params

    visit(tree.body, "")
    return found
