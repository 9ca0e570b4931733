"""The portable wheels made by scripts/wheels.sh, checked as files.

Each of the six wheels (CPython 3.11, 3.12 and 3.13 on x86_64 and aarch64)
is there once, tagged manylinux_2_17, and carries every extension module the
build under test installs, each compiled for the wheel's processor and
Python, needing nothing from the system but the C library's parts and the
loader (the C++ runtime is inside, its symbols hidden), no glibc symbol newer
than 2.17, and exporting only its PyInit_ function. The wheels' Python files
are those of the build under test. The wheels are read from the folder named
by $BRENVOLT_WHEELHOUSE (scripts/test_wheels.sh sets it); without it these
tests skip. Installing and running each wheel is scripts/test_wheels.sh's
work.
"""

from __future__ import annotations

import importlib.machinery
import importlib.metadata
import os
import re
import subprocess
import zipfile
from dataclasses import dataclass
from pathlib import Path

import pytest

WHEELHOUSE = os.environ.get("BRENVOLT_WHEELHOUSE")
if not WHEELHOUSE:
    pytest.skip("no wheelhouse: scripts/test_wheels.sh checks the wheels of scripts/wheels.sh",
                allow_module_level=True)

TARGETS = [(tag, arch) for arch in ("x86_64", "aarch64") for tag in ("cp311", "cp312", "cp313")]
MACHINE = {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}
LOADER = {"x86_64": "ld-linux-x86-64.so.2", "aarch64": "ld-linux-aarch64.so.1"}
# The C library and its parts: what every manylinux system has.
SYSTEM = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1"}
OLDEST_GLIBC = (2, 17)
DYNSYM = re.compile(
    r"^\s*\d+:\s+[0-9a-f]+\s+\d+\s+(?P<type>\w+)\s+(?P<bind>\w+)\s+(?P<vis>\w+)\s+(?P<ndx>\w+)\s+(?P<name>\S+)"
)


@dataclass(frozen=True)
class ElfFacts:
    machine: str
    needed: frozenset[str]
    exported: frozenset[str]  # defined global symbols of the dynamic table
    versions: frozenset[str]  # the version names of the symbols it takes from others


def readelf(path: Path, *options: str) -> str:
    done = subprocess.run(["readelf", "-W", *options, str(path)], capture_output=True, text=True,
                          timeout=60, check=True)
    return done.stdout


def elf_facts(path: Path) -> ElfFacts:
    (machine,) = re.findall(r"^\s*Machine:\s+(.+?)\s*$", readelf(path, "-h"), re.M)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[(.+)\]", readelf(path, "-d"))
    exported, versions = set(), set()
    for line in readelf(path, "--dyn-syms").splitlines():
        match = DYNSYM.match(line)
        if not match or match["type"] == "SECTION":
            continue
        name, _, version = match["name"].partition("@")
        if match["ndx"] == "UND":
            if version:
                versions.add(version.split(" ")[0])
        elif match["bind"] in ("GLOBAL", "WEAK") and match["vis"] == "DEFAULT":
            exported.add(name)
    return ElfFacts(machine, frozenset(needed), frozenset(exported), frozenset(versions))


def wheel_for(tag: str, arch: str) -> Path:
    found = sorted(Path(WHEELHOUSE).glob(f"brenvolt-*-{tag}-{tag}-*{arch}.whl"))
    assert len(found) == 1, f"expected one {tag} {arch} wheel in {WHEELHOUSE}, found {[p.name for p in found]}"
    return found[0]


def module_of(relative: str) -> str:
    """The dotted name of the extension module at a path relative to site-packages."""
    return relative.split(".cpython-")[0].replace("/", ".")


def installed_extension_modules() -> set[str]:
    """The extension modules that the build under test installed."""
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    files = importlib.metadata.files("brenvolt") or []
    return {module_of(str(file)) for file in files if str(file).endswith(suffixes)}


@pytest.fixture(scope="module", params=TARGETS, ids=[f"{tag}-{arch}" for tag, arch in TARGETS])
def wheel(request, tmp_path_factory) -> tuple[str, str, Path, Path]:
    """A wheel: its Python tag, its processor, the file and the folder it was unpacked into."""
    tag, arch = request.param
    path = wheel_for(tag, arch)
    unpacked = tmp_path_factory.mktemp(f"{tag}-{arch}")
    with zipfile.ZipFile(path) as archive:
        archive.extractall(unpacked)
    return tag, arch, path, unpacked


def extension_modules(unpacked: Path) -> list[Path]:
    return sorted(path for path in unpacked.rglob("*.so*") if ".dist-info" not in str(path))


def module_name(unpacked: Path, path: Path) -> str:
    return module_of(path.relative_to(unpacked).as_posix())


class TestTags:
    def test_tagged_manylinux_2_17(self, wheel):
        tag, arch, path, _ = wheel
        assert re.fullmatch(rf"brenvolt-[^-]+-{tag}-{tag}-(manylinux2014_{arch}\.)?manylinux_2_17_{arch}\.whl",
                            path.name), path.name

    def test_wheel_metadata_names_the_same_tags(self, wheel):
        tag, arch, _, unpacked = wheel
        (metadata,) = unpacked.glob("brenvolt-*.dist-info/WHEEL")
        tags = set(re.findall(r"^Tag: (.+)$", metadata.read_text(encoding="utf-8"), re.M))
        assert f"{tag}-{tag}-manylinux_2_17_{arch}" in tags, tags
        assert all(t.endswith(arch) for t in tags), tags


class TestExtensionModules:
    def test_every_module_the_build_installs(self, wheel):
        _, _, _, unpacked = wheel
        carried = {module_name(unpacked, path) for path in extension_modules(unpacked)}
        assert carried == installed_extension_modules()

    def test_named_for_the_python_and_processor(self, wheel):
        tag, arch, _, unpacked = wheel
        for path in extension_modules(unpacked):
            assert path.name.endswith(f".cpython-{tag[2:]}-{arch}-linux-gnu.so"), path.name

    def test_compiled_for_the_processor(self, wheel):
        _, arch, _, unpacked = wheel
        for path in extension_modules(unpacked):
            assert elf_facts(path).machine == MACHINE[arch], path.name

    def test_needs_only_the_c_library_and_the_loader(self, wheel):
        _, arch, _, unpacked = wheel
        for path in extension_modules(unpacked):
            needed = elf_facts(path).needed
            assert needed <= SYSTEM | {LOADER[arch]}, f"{path.name}: {sorted(needed)}"

    def test_exports_only_its_init_function(self, wheel):
        _, _, _, unpacked = wheel
        for path in extension_modules(unpacked):
            init = "PyInit_" + module_name(unpacked, path).rsplit(".", 1)[-1]
            assert elf_facts(path).exported == {init}, path.name

    def test_no_glibc_symbol_newer_than_2_17_and_no_cxx_runtime(self, wheel):
        _, _, _, unpacked = wheel
        for path in extension_modules(unpacked):
            versions = elf_facts(path).versions
            assert not {v for v in versions if not v.startswith("GLIBC_")}, f"{path.name}: {sorted(versions)}"
            newest = max(tuple(int(n) for n in v.removeprefix("GLIBC_").split(".")) for v in versions)
            assert newest <= OLDEST_GLIBC, f"{path.name}: {sorted(versions)}"


class TestPythonFiles:
    def test_the_files_of_the_build_under_test(self, wheel):
        _, _, _, unpacked = wheel
        suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
        installed = {
            str(file) for file in importlib.metadata.files("brenvolt") or []
            if ".dist-info/" not in str(file) and not str(file).endswith(suffixes)
            and "__pycache__" not in str(file) and not str(file).startswith("..")
        }
        carried = {
            path.relative_to(unpacked).as_posix() for path in unpacked.rglob("*")
            if path.is_file() and ".dist-info/" not in path.as_posix() and path not in extension_modules(unpacked)
        }
        assert carried == installed

    def test_carries_its_licence_and_simdjsons(self, wheel):
        _, _, _, unpacked = wheel
        texts = [path.read_text(encoding="utf-8") for path in unpacked.glob("brenvolt-*.dist-info/**/LICENSE")]
        assert any(text.startswith("MIT License") for text in texts)
        assert any("Apache License" in text for text in texts)
