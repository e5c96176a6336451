"""Checks that an extension module's .pyi stub agrees with the signatures
the module itself reports (its methods' text signatures), so help(),
inspect and type checkers all see the same parameters."""
import ast
import importlib
import inspect


def stub_signatures(pyi_path, module):
    """{"name" or "Class.name": [[(param, kind, default)], ...]} from a .pyi
    file, one list per declaration (several for @overload), defaults
    evaluated in the runtime module's namespace; self left out."""
    kinds = inspect.Parameter
    out = {}

    def params(fn):
        a = fn.args
        positional = [(p, kinds.POSITIONAL_ONLY) for p in a.posonlyargs] + \
                     [(p, kinds.POSITIONAL_OR_KEYWORD) for p in a.args]
        defaults = [kinds.empty] * (len(positional) - len(a.defaults)) + \
                   [eval(ast.unparse(d), vars(module)) for d in a.defaults]
        got = [(p.arg, kind, d) for (p, kind), d in zip(positional, defaults)]
        got += [(p.arg, kinds.KEYWORD_ONLY, kinds.empty if d is None else eval(ast.unparse(d), vars(module)))
                for p, d in zip(a.kwonlyargs, a.kw_defaults)]
        return [g for g in got if g[0] != "self"]

    def declared(fn):  # properties are not callables; overloads are
        names = {ast.unparse(d) for d in fn.decorator_list}
        return names <= {"overload", "typing.overload"}

    tree = ast.parse(pyi_path.read_text())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            out.setdefault(node.name, []).append(params(node))
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and declared(item):
                    out.setdefault(f"{node.name}.{item.name}", []).append(params(item))
    return out


def runtime_signature(obj):
    return [(p.name, p.kind, p.default) for p in inspect.signature(obj).parameters.values()
            if p.name != "self"]


def agrees(runtime, declarations):
    """Each declaration has the runtime's parameters and defaults; an
    overload may leave a default out (it then requires the argument)."""
    def same(declared):
        return len(declared) == len(runtime) and all(
            d[:2] == r[:2] and (d[2] == r[2] or (len(declarations) > 1 and d[2] is inspect.Parameter.empty))
            for d, r in zip(declared, runtime))
    return all(same(declared) for declared in declarations)


def check_stub_against_module(module_name, pyi_path):
    """Every method of the extension's own types carries a text signature,
    and every function and method the .pyi stub declares has exactly the
    parameters (names, kinds, defaults) the runtime reports."""
    module = importlib.import_module(module_name)
    name = module_name.rsplit(".", 1)[-1]
    stubs = stub_signatures(pyi_path, module)
    checked = set()
    for attr, value in vars(module).items():
        if isinstance(value, type) and value.__module__ == module.__name__:
            for meth, desc in vars(value).items():
                if not (inspect.ismethoddescriptor(desc) or inspect.isbuiltin(desc)) or \
                        type(desc).__name__ == "wrapper_descriptor":
                    continue
                # Every method of the extensions' own table carries one.
                assert desc.__text_signature__, f"{attr}.{meth} has no text signature"
                if f"{attr}.{meth}" in stubs:
                    assert agrees(runtime_signature(getattr(value, meth)), stubs[f"{attr}.{meth}"]), f"{attr}.{meth}"
                    checked.add(f"{attr}.{meth}")
                else:
                    assert meth.startswith("__"), f"{attr}.{meth} is missing from {name}.pyi"
            if f"{attr}.__init__" in stubs:
                assert agrees(runtime_signature(value), stubs[f"{attr}.__init__"]), attr
                checked.add(f"{attr}.__init__")
        elif callable(value) and attr in stubs:
            assert agrees(runtime_signature(value), stubs[attr]), attr
            checked.add(attr)
    dunder_slots = {k for k in stubs if k.rsplit(".", 1)[-1] in ("__call__", "__iter__", "__next__")}
    assert set(stubs) - dunder_slots == checked, f"not in {name}: {set(stubs) - dunder_slots - checked}"
