import ast
import inspect
import pathlib

import atbfile

STUBS = ast.parse(pathlib.Path(atbfile.__file__).with_suffix(".pyi").read_text())


def stubbed():
    """Top-level names of the stubs, and for each class the names of its members."""
    names, members = set(), {}
    for node in STUBS.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names.add(node.name)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        if isinstance(node, ast.ClassDef):
            members[node.name] = {n.name if isinstance(n, ast.FunctionDef) else n.target.id
                                  for n in node.body
                                  if isinstance(n, (ast.FunctionDef, ast.AnnAssign))}
    return names, members


def test_the_stubs_name_what_the_package_has():
    names, members = stubbed()
    assert set(atbfile.__all__) <= names
    for cls, stubbed_members in members.items():
        runtime = getattr(atbfile, cls)
        public = {n for n in dir(runtime) if not n.startswith("_")}
        for base in runtime.__mro__:
            if base.__module__ == "builtins":
                public -= set(dir(base))
        inherited = set().union(*(members.get(b.__name__, set()) for b in runtime.__mro__[1:]))
        assert public <= stubbed_members | inherited, (cls, public - stubbed_members - inherited)
        for member in stubbed_members:
            assert hasattr(runtime, member), (cls, member)


def test_what_help_shows_is_documented():
    for name in atbfile.__all__:
        thing = getattr(atbfile, name)
        assert inspect.getdoc(thing), name
        if inspect.isclass(thing) and not issubclass(thing, BaseException):
            for member, value in vars(thing).items():
                if not member.startswith("_") and (callable(value) or isinstance(value, property)):
                    assert inspect.getdoc(getattr(thing, member)), (name, member)


def test_the_readmes_script_runs(sample_folder, tmp_path, monkeypatch, capsys):
    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    section = readme.split("## Python: the atbfile module", 1)[1]
    script = section.split("```\n", 2)[1]
    assert len(script.strip().splitlines()) == 5
    (tmp_path / "sample.atb").write_bytes((sample_folder / "sample.atb").read_bytes())
    monkeypatch.chdir(tmp_path)
    exec(compile(script, "README.md", "exec"), {})
    assert capsys.readouterr().out.startswith("Float(40.0) ['/8192/max_damage'")
    assert atbfile.read(tmp_path / "sample.atb")["reload_time"] == 3.25
