"""The code blocks of README.md and docs/: each ```python block is a complete program, run and
type-checked as written; each ```cpp block that defines main() is compiled and run; each ```sh
block that compiles with `python -m orvix --cflags` runs as written, beside the files its page shows."""
import dataclasses
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[2]
SUFFIXES = {"python": ".py", "cpp": ".cpp", "sh": ".sh"}
# A block whose first line is a comment holding only a file name is that file:
# `/* producer.c */`, `// ring_demo.cpp`, `# consumer.py`.
FILE_NAME = re.compile(r"\A(?:/\*|//|#)[ \t]*([\w.-]+\.\w+)[ \t]*(?:\*/)?[ \t]*\n")
ANY_BLOCK = re.compile(r"^```\w+[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


@dataclasses.dataclass(frozen=True)
class Block:
    source: pathlib.Path
    line: int
    code: str
    language: str

    @property
    def name(self) -> str:
        return f"{self.source.relative_to(ROOT)}:{self.line}"

    @property
    def file_name(self) -> str:
        """A file (for Python, a module) name for the block, unique across the documentation."""
        return re.sub(r"\W", "_", self.name) + SUFFIXES[self.language]


def documentation_files() -> list[pathlib.Path]:
    return [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]


def code_blocks(language: str) -> list[Block]:
    """The ```<language> blocks, in page order."""
    fence = re.compile(rf"^```{language}[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)
    blocks = []
    for path in documentation_files():
        text = path.read_text(encoding="utf-8")
        for match in fence.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            blocks.append(Block(path, line, match.group(1), language))
    return blocks


def python_blocks() -> list[Block]:
    return code_blocks("python")


def cpp_programs() -> list[Block]:
    """The ```cpp blocks that are whole programs (they define main)."""
    return [b for b in code_blocks("cpp") if re.search(r"^int main\(", b.code, re.MULTILINE)]


def named_files(page: pathlib.Path) -> dict[str, str]:
    """The page's code blocks that name their file, by file name."""
    return {m[1]: block for block in ANY_BLOCK.findall(page.read_text(encoding="utf-8"))
            if (m := FILE_NAME.match(block))}


def shell_recipes() -> list[Block]:
    """The ```sh blocks that compile with `python -m orvix --cflags` (or `--includes`): each runs as
    written in a folder holding its page's named files, `.venv/bin/python` the interpreter under test.
    (A CMake configure line, `-m orvix --cmakedir`, needs a project: tests/installed builds one.)"""
    return [b for b in code_blocks("sh") if re.search(r" -m orvix --(cflags|includes)\b", b.code)]
