"""The type stubs describe the module as it is: every public class, function and method of
vireo and vireo.sim is in its .pyi file, every name a stub declares exists, and every
function and method carries a docstring."""
import ast
import inspect
import pathlib

import pytest

import vireo
import vireo.sim

PACKAGE = pathlib.Path(vireo.__file__).parent


def stub_names(stub):
    """Top-level names of a stub and, per class, the names it defines."""
    tree = ast.parse((PACKAGE / stub).read_text())
    names, members = set(), {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names.add(node.name)
            declared = set()
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    declared.add(item.name)
                elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    declared.add(item.target.id)
                elif isinstance(item, ast.Assign):
                    declared.update(target.id for target in item.targets if isinstance(target, ast.Name))
            members[node.name] = declared
        elif isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(target.id for target in node.targets if isinstance(target, ast.Name))
    return names, members


def public(module):
    return {name for name in dir(module) if not name.startswith("_") and not inspect.ismodule(getattr(module, name))}


def own_members(cls):
    """Public members the class itself defines (its stub declares those of its bases there)."""
    names = {name for name in vars(cls) if not name.startswith("_")}
    return names


# The clustering and calibration bindings keep their own stubs.
OTHER_PARTS = {"clustering", "calibration"}


@pytest.mark.parametrize("module, stub", [(vireo, "__init__.pyi"), (vireo.sim, "sim.pyi")])
def test_stub_and_module_agree(module, stub):
    names, members = stub_names(stub)
    runtime = public(module)
    if module is vireo:
        def part(name):
            return getattr(getattr(vireo, name), "__module__", "").split(".")[-1]

        runtime = {n for n in runtime if n not in OTHER_PARTS and part(n) not in OTHER_PARTS}
    helpers = {"EventArray", "ParamValue"}
    assert runtime - names == set(), "missing from the stub"
    assert names - helpers - runtime - {"__version__"} == set(), "in the stub but not in the module"
    for class_name, declared in members.items():
        cls = getattr(module, class_name)
        if hasattr(cls, "__members__"):  # enums: the stub lists the values
            assert set(cls.__members__) <= declared
            continue
        actual = own_members(cls)
        assert actual - declared == set(), f"{class_name}: missing from the stub"
        assert declared - {"__init__", "__enter__", "__exit__", "__iter__", "__next__", "__len__"} - actual == set(), \
            f"{class_name}: in the stub but not in the class"


def described(function):
    """True when the docstring says more than the signature pybind11 writes on its first line."""
    lines = (function.__doc__ or "").strip().split("\n", 1)
    return len(lines) == 2 and lines[1].strip() != ""


@pytest.mark.parametrize("module", [vireo, vireo.sim])
def test_every_function_and_method_has_a_docstring(module):
    undocumented = []
    for name in public(module):
        item = getattr(module, name)
        if inspect.isclass(item):
            if not (item.__doc__ or "").strip():
                undocumented.append(name)
            for member_name, member in inspect.getmembers(item):
                if member_name.startswith("_") or not callable(member) or hasattr(item, "__members__"):
                    continue
                if not described(member):
                    undocumented.append(f"{name}.{member_name}")
        elif callable(item) and not described(item):
            undocumented.append(name)
    assert undocumented == []
