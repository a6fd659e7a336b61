"""The package's version is the project's, from its one place (CMakeLists.txt)."""
import pathlib
import re

from setuptools import setup

CMAKE = pathlib.Path(__file__).resolve().parents[2] / "CMakeLists.txt"
setup(version=re.search(r"project\(ZvPldProxy VERSION ([0-9.]+)", CMAKE.read_text()).group(1))
