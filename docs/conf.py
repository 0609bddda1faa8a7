# Sphinx configuration of the orvix documentation (MyST Markdown, furo theme).
# Built with warnings as errors by scripts/test: sphinx-build -W -b html docs build/docs
import pathlib
import re

_root = pathlib.Path(__file__).resolve().parent.parent


def _version() -> str:
    """The package version from its one source (the package's __init__, or pyproject.toml)."""
    for path, pattern in ((_root / "orvix" / "__init__.py", r'^__version__\s*=\s*"([^"]+)"'),
                          (_root / "pyproject.toml", r'^version\s*=\s*"([^"]+)"')):
        if path.exists() and (found := re.search(pattern, path.read_text(encoding="utf-8"), re.MULTILINE)):
            return found.group(1)
    return "unknown"


project = "orvix"
author = "the orvix developers"
copyright = "the orvix developers"
release = _version()
version = release

extensions = ["myst_parser"]
source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

html_theme = "furo"
html_title = f"orvix {release}"
html_static_path = ["_static"]
