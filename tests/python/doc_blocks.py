"""The ```python blocks of README.md and docs/: each is a complete program, run and type-checked as written."""
import dataclasses
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[2]

_FENCE = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


@dataclasses.dataclass(frozen=True)
class Block:
    source: pathlib.Path
    line: int
    code: str

    @property
    def name(self) -> str:
        return f"{self.source.relative_to(ROOT)}:{self.line}"

    @property
    def file_name(self) -> str:
        """A module name for the block, unique across the documentation."""
        return re.sub(r"\W", "_", self.name) + ".py"


def documentation_files() -> list[pathlib.Path]:
    return [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]


def python_blocks() -> list[Block]:
    blocks = []
    for path in documentation_files():
        text = path.read_text(encoding="utf-8")
        for match in _FENCE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            blocks.append(Block(path, line, match.group(1)))
    return blocks
