"""The pieces of the report page: tables, figures as inline PNG images,
and the page around them (no scripts, no external resources)."""

from __future__ import annotations

import base64
import html
import io
from collections.abc import Iterable, Sequence
from typing import Any

__all__ = ["table", "figure", "page", "esc"]

STYLE = """
body { font-family: "DejaVu Sans", "Liberation Sans", Arial, sans-serif; margin: 2em auto; max-width: 1100px;
       color: #1d2733; background: #ffffff; padding: 0 1.5em; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; }
h2 { font-size: 1.25em; margin-top: 2em; border-bottom: 1px solid #d0d7de; padding-bottom: 0.2em; }
h3 { font-size: 1.05em; margin-top: 1.5em; }
p.note { color: #57606a; font-size: 0.9em; }
table { border-collapse: collapse; margin: 0.6em 0; font-size: 0.9em; }
th, td { border: 1px solid #d0d7de; padding: 0.25em 0.6em; text-align: left; vertical-align: top; }
th { background: #f3f5f7; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
figure { margin: 1em 0; }
figure img { max-width: 100%; height: auto; border: 1px solid #e4e8ec; }
figcaption { color: #57606a; font-size: 0.88em; margin-top: 0.3em; }
code { font-size: 0.92em; background: #f3f5f7; padding: 0 0.2em; }
"""


def esc(value: Any) -> str:
    return html.escape(str(value), quote=True)


def _cell(value: Any) -> str:
    if isinstance(value, bool) or value is None:
        return f"<td>{esc(value)}</td>"
    if isinstance(value, int):
        return f'<td class="num">{value:,}</td>'
    if isinstance(value, float):
        return f'<td class="num">{value:.4g}</td>'
    return f"<td>{esc(value)}</td>"


def table(header: Sequence[str], rows: Iterable[Sequence[Any]]) -> str:
    """An HTML table; ints and floats right-aligned."""
    head = "".join(f"<th>{esc(h)}</th>" for h in header)
    body = "".join("<tr>" + "".join(_cell(v) for v in row) + "</tr>" for row in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def figure(fig: Any, caption: str, alt: str, dpi: int = 96) -> str:
    """A matplotlib figure inlined as a base64 PNG image with its caption."""
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=dpi)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return (f'<figure><img src="data:image/png;base64,{data}" alt="{esc(alt)}">'
            f"<figcaption>{esc(caption)}</figcaption></figure>")


def page(title: str, sections: Iterable[str]) -> str:
    body = "\n".join(sections)
    return ("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            f"<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>{esc(title)}</title>\n"
            f"<style>{STYLE}</style>\n</head>\n<body>\n{body}\n</body>\n</html>\n")
