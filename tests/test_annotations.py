"""Every public name of the package carries type annotations."""
import importlib
import inspect
import pkgutil

import vornix

MODULES = [info.name for info in pkgutil.walk_packages(vornix.__path__, "vornix.")
           if not info.name.endswith("__main__") and not info.name.endswith("._native")]


def unannotated(fn, owner):
    try:
        signature = inspect.signature(fn)
    except (TypeError, ValueError):
        return []
    missing = [f"{owner}({p.name})" for p in signature.parameters.values()
               if p.name not in ("self", "cls") and p.annotation is inspect.Parameter.empty]
    if signature.return_annotation is inspect.Signature.empty:
        missing.append(f"{owner} -> ?")
    return missing


def test_public_functions_and_methods_are_annotated():
    missing = []
    for name in MODULES:
        module = importlib.import_module(name)
        for public in getattr(module, "__all__", []):
            obj = getattr(module, public)
            if inspect.isfunction(obj) and obj.__module__ == module.__name__:
                missing += unannotated(obj, f"{name}.{public}")
            elif inspect.isclass(obj) and obj.__module__ == module.__name__:
                for attr, member in vars(obj).items():
                    if attr.startswith("_") and attr != "__init__":
                        continue
                    if isinstance(member, (staticmethod, classmethod)):
                        member = member.__func__
                    if isinstance(member, property):
                        member = member.fget
                    if inspect.isfunction(member):
                        missing += unannotated(member, f"{name}.{public}.{attr}")
    assert not missing, missing
