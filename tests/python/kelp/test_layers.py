"""The library's shape: its layers import only downward, no module imports itself back through
others, and only the registry names a model."""
import ast
import pathlib

from conftest import REPO

PACKAGE = REPO / "kelp"
# Bottom to top; a module may import its own layer and those below it.
LAYERS = ("errors", "files", "core", "models", "io", "fit", "report", "run", "cli", "api")
RANK = {"errors": 0, "files": 0, "core": 1, "models": 2, "io": 3, "fit": 4, "report": 5, "run": 6, "cli": 7,
        "api": 8, "__main__": 8, "__init__": 8}


def modules():
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(REPO).with_suffix("").parts
        name = ".".join(parts[:-1] if parts[-1] == "__init__" else parts)
        yield name, ast.parse(path.read_text(), str(path))


def imported(name, tree):
    """The kelp modules that a module imports, lazily or not."""
    package = name if (PACKAGE / pathlib.Path(*name.split(".")[1:]) / "__init__.py").exists() else \
        name.rpartition(".")[0]
    out = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            out.update(a.name for a in node.names if a.name.startswith("kelp."))
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                base = ".".join(package.split(".")[:len(package.split(".")) - node.level + 1] + ([base] if base else []))
            if base == "kelp" or base.startswith("kelp."):
                for a in node.names:
                    # "from kelp.fit import refine" imports the module kelp.fit.refine
                    sub = f"{base}.{a.name}"
                    out.add(sub if (PACKAGE / pathlib.Path(*sub.split(".")[1:])).with_suffix(".py").exists()
                            or (PACKAGE / pathlib.Path(*sub.split(".")[1:])).is_dir() else base)
    out.discard("kelp")
    out.discard(name)  # a package's compiled submodule (kelp.core._core) has no source here
    return out


def rank(module):
    parts = module.split(".")
    return RANK[parts[1]] if len(parts) > 1 else RANK["__init__"]


def test_every_import_runs_downward_and_none_closes_a_cycle():
    graph = {name: imported(name, tree) for name, tree in modules()}
    upward = [(m, d) for m, deps in graph.items() for d in deps if rank(d) > rank(m)]
    assert not upward, f"imports that run upward: {upward}"

    done, path = set(), []

    def visit(m):
        if m in path:
            raise AssertionError("import cycle: " + " -> ".join(path[path.index(m):] + [m]))
        if m in done:
            return
        path.append(m)
        for d in sorted(graph.get(m, ())):
            visit(d)
        path.pop()
        done.add(m)

    for m in sorted(graph):
        visit(m)


def test_only_the_registry_and_the_models_own_modules_name_a_model():
    from kelp.models import registry
    names = set(registry.names())
    own = {"kelp.models.registry"} | {f"kelp.models.{m.evaluate.__module__.rpartition('.')[2]}" for m in registry.MODELS}
    found = []
    for name, tree in modules():
        if name in own:
            continue
        for node in ast.walk(tree):
            if isinstance(node, ast.Constant) and isinstance(node.value, str) and node.value in names:
                found.append((name, node.lineno, node.value))
    assert not found, f"model names outside the registry: {found}"
