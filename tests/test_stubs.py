"""The type stubs of vornix_core list every function with the parameters
the module declares."""
import ast
import inspect
import os

import vornix_core

STUB = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src", "vornix_core.pyi")


def test_stub_signatures_match_the_module():
    tree = ast.parse(open(STUB, encoding="utf-8").read())
    stubbed = {node.name: [a.arg for a in node.args.args] for node in tree.body if isinstance(node, ast.FunctionDef)}
    public = sorted(name for name in dir(vornix_core) if not name.startswith("_"))
    assert sorted(stubbed) == public
    for name in public:
        declared = list(inspect.signature(getattr(vornix_core, name)).parameters)
        assert stubbed[name] == declared, name
