"""A self-contained HTML page of a run summary or a comparison: tables and
PNG figures embedded as data, so the page can be mailed or archived alone."""

import base64
import html

from . import tasks
from .summary import format_value

_STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; max-width: 1300px; }
table { border-collapse: collapse; margin: 0.5em 0 1.2em 0; font-size: 90%; }
th, td { border: 1px solid #ccc; padding: 2px 8px; text-align: left; }
td.n { text-align: right; }
.warn { color: #a00; font-weight: bold; }
.note { color: #555; }
img { margin: 4px; border: 1px solid #ddd; }
"""


def _e(text):
    return html.escape(str(text))


def _table(header, rows, numeric_from=1):
    out = ["<table><tr>%s</tr>" % "".join("<th>%s</th>" % _e(h) for h in header)]
    for row in rows:
        cells = []
        for i, value in enumerate(row):
            cls = ' class="n"' if i >= numeric_from else ""
            cells.append("<td%s>%s</td>" % (cls, _e(value)))
        out.append("<tr>%s</tr>" % "".join(cells))
    out.append("</table>")
    return "\n".join(out)


def _img(png, alt):
    return '<img alt="%s" src="data:image/png;base64,%s">' % (_e(alt), base64.b64encode(png).decode("ascii"))


def _page(title, body):
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%s</title><style>%s</style></head>\n"
            "<body>\n<h1>%s</h1>\n%s\n</body></html>\n" % (_e(title), _STYLE, _e(title), body))


def _check_html(summary):
    cls = "note" if summary.check.agrees and summary.check.status == "match" else "warn"
    parts = ['<p class="%s">%s</p>' % (cls, _e(summary.check.describe()))]
    parts += ['<p class="note">note: %s</p>' % _e(n) for n in summary.log.notes]
    return "\n".join(parts)


def summary_page(summary, panels):
    log = summary.log
    h = summary.headline()
    body = [_check_html(summary), "<h2>Headline figures</h2>",
            _table(("figure", "value"), [(k, format_value(k, v)) for k, v in h.items()])]
    if log.not_found or log.unscored:
        body.append("<h2>Recordings not scored</h2>")
        body.append(_table(("path", "why"), [(r.path, "not found") for r in log.not_found] +
                           [(r.path, "replay without a result line") for r in log.unscored], numeric_from=9))
    body.append("<h2>Figures</h2>")
    body.append("\n".join(_img(png, name) for name, png in panels))
    body.append("<h2>Per activity type</h2>")
    rows = []
    for t, c in summary.per_task().items():
        total = sum(c.values())
        rows.append((tasks.type_label(t), tasks.task_class(t), total,
                     *(c[o] for o in ("good", "soso", "early", "late", "fn", "tn", "fp"))))
    body.append(_table(("type", "class", "recordings", "good", "soso", "early", "late", "fn", "tn", "fp"), rows,
                       numeric_from=2))
    trouble = [r for r in log.scored if r.outcome in ("fn", "fp", "early", "late")]
    if trouble:
        body.append("<h2>Troublemakers (fn, fp, early, late)</h2>")
        body.append(_table(("path", "task", "outcome", "first frame", "mode", "onset", "impact"),
                           [(r.path, r.task, r.outcome, r.first_frame if r.detected else "",
                             r.first_mode if r.detected else "", r.onset, r.impact) for r in trouble],
                           numeric_from=1))
    return _page("tumblebench run summary: %s" % (log.source or "console log"), "\n".join(body))


def comparison_page(comparison, panels=()):
    a, b = comparison.base, comparison.new
    body = [_check_html(a), _check_html(b)]
    body += ["<h2>Headline figures</h2>",
             _table(("figure", a.log.source or "base", b.log.source or "new", "change"),
                    [(name, format_value(name, va), format_value(name, vb), comparison.format_delta(name, va, vb))
                     for name, va, vb in comparison.headline_rows()])]
    body.append("\n".join(_img(png, name) for name, png in panels))
    body.append("<h2>Recordings whose outcome changed (%d)</h2>" % len(comparison.flips))
    if comparison.flips:
        body.append(_table(("path", "task", "before", "after", "change"),
                           [(f.path, f.task, f.before, f.after, f.direction) for f in comparison.flips],
                           numeric_from=1))
    for title, keys in (("Only in %s" % (a.log.source or "base"), comparison.only_base),
                        ("Only in %s" % (b.log.source or "new"), comparison.only_new)):
        if keys:
            body.append("<h2>%s (%d)</h2>" % (_e(title), len(keys)))
            body.append(_table(("path", "occurrence"), [(p, o + 1) for p, o in keys]))
    return _page("tumblebench comparison", "\n".join(body))
