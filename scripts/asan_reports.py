"""Judge sanitizer reports: memory errors and undefined behaviour anywhere
fail; a leak fails only when the extension allocated it outside start-up
(the interpreter's and NumPy's leftovers at exit are not ours)."""

from __future__ import annotations

import re
import sys
from pathlib import Path

OURS = re.compile(r"/codecs/_jxl/|_jxl\.cpython")
TOP_FRAMES = 12


def leak_blocks(text: str) -> list[str]:
    return re.split(r"\n(?=(?:Direct|Indirect) leak of )", text)[1:]


def is_ours(block: str) -> bool:
    frames = [line for line in block.splitlines() if re.match(r"\s+#\d+ ", line)]
    return (any(OURS.search(f) for f in frames[:TOP_FRAMES])
            and "PyInit__jxl" not in block)


def main(paths: list[str]) -> int:
    failures = 0
    for path in paths:
        text = Path(path).read_text(errors="replace")
        errors = []
        # Each error with the frames of its stack that tell most: UBSan's
        # handler (which names the kind of undefined behaviour) and our code.
        for m in re.finditer(r"ERROR: AddressSanitizer: (?!detected memory leaks).*"
                             r"(?:\n.+)*", text):
            lines = m.group(0).splitlines()
            errors.append(lines[0])
            errors += ["  " + f.strip() for f in lines[1:] if re.match(r"\s+#\d+ ", f)
                       and (OURS.search(f) or "__ubsan_handle_" in f)][:4]
        errors += re.findall(r"runtime error: .*", text)
        leaks = [b for b in leak_blocks(text) if is_ours(b)]
        if errors or leaks:
            failures += 1
            print(f"== {path}")
            for line in errors:
                print("  ", line)
            for block in leaks[:5]:
                print("\n".join("   " + l for l in block.splitlines()[:TOP_FRAMES + 1]))
    print(f"sanitizers: {failures} report(s) with findings in the extension"
          if failures else "sanitizers: no findings in the extension")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
