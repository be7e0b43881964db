"""A self-contained HTML page of a run summary or a comparison: tables and
PNG figures embedded as data, so the page can be mailed or archived alone."""

import base64
import html

from .. import kfall
from . import research_text
from .summary import format_value

_STYLE = """
body { font-family: sans-serif; margin: 1.5em; color: #222; max-width: 1300px; }
table { border-collapse: collapse; margin: 0.5em 0 1.2em 0; font-size: 90%; }
th, td { border: 1px solid #ccc; padding: 2px 8px; text-align: left; }
td.n { text-align: right; }
.warn { color: #a00; font-weight: bold; }
.note { color: #555; }
img { margin: 4px; border: 1px solid #ddd; }
.gallery { display: flex; flex-wrap: wrap; gap: 8px; }
.gallery figure { margin: 0; width: 460px; font-size: 80%; }
.gallery figure img { margin: 0; width: 448px; }
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
    parts += ['<p class="note">note: %s</p>' % _e(n) for n in summary.log.notes + summary.context.notes]
    return "\n".join(parts)


def _manifest_html(summary):
    manifest = summary.context.manifest
    in_sample = research_text.in_sample_text(summary)
    warning = ""
    if in_sample and in_sample.startswith("WARNING"):
        warning = '<p class="warn">%s</p>\n' % _e(in_sample)
    if not manifest:
        return warning
    rows = research_text.provenance_rows(manifest)
    if in_sample and not warning:
        rows.append(("training", in_sample))
    if manifest.get("arguments"):
        rows.append(("arguments", " ".join(manifest["arguments"])))
    return warning + "<h2>Run</h2>\n" + _table(("", "value"), rows, numeric_from=9)


def _gallery_html(gallery):
    """The gallery's section: a figure per recording that went wrong, up to
    the cap, with a count of the rest."""
    from .gallery import KINDS, SINGULAR
    if gallery is None:
        return ""
    counts = ", ".join("%d %s" % (gallery.counts[k], SINGULAR[k] if gallery.counts[k] == 1 else title.lower())
                       for k, title, _ in KINDS if gallery.counts[k])
    out = ['<h2 id="gallery">What went wrong%s</h2>' % (": " + _e(counts) if counts else "")]
    if not gallery.total:
        out.append('<p class="note">no false alarm, no missed, late or early fall</p>')
        return "\n".join(out)
    out.append('<p class="note">each figure: the trace around the first detection (around the labelled impact for a '
               'miss); red dashed lines: the thresholds of the rule that fired, as the run\'s rule set has them '
               '(grey dotted for a miss: every rule\'s); red line: the first detection; orange and black: the '
               'labelled onset and impact</p>')
    for kind, title, meaning in KINDS:
        items = gallery.items.get(kind, [])
        if not gallery.counts[kind]:
            continue
        out.append('<h3>%s (%d; %s)</h3>' % (_e(title), gallery.counts[kind], _e(meaning)))
        out.append('<div class="gallery">')
        for item in items:
            rec = item.rec
            caption = "<b>%s</b> %s, %s" % (_e(rec.path), _e(rec.outcome), _e(item.label))
            if rec.detected:
                caption += "<br>mode %d at sample %d: %s" % (rec.first_mode, rec.first_frame, _e(item.rule))
            if rec.onset > 0:
                caption += "<br>onset %d, impact %d" % (rec.onset, rec.impact)
            if item.values:
                caption += "<br>%s: %s" % ("at the first detection" if rec.detected else "at the centre",
                                           _e(item.values))
            image = _img(item.png, "trace of %s" % rec.path) if item.png else \
                '<p class="warn">%s</p>' % _e(item.why_no_figure)
            out.append("<figure>%s<figcaption>%s</figcaption></figure>" % (image, caption))
        out.append("</div>")
        rest = gallery.counts[kind] - len(items)
        if rest:
            out.append('<p class="note">and %d more not shown (run_summary --gallery N shows up to N figures; '
                       'now %d)</p>' % (rest, gallery.cap))
    return "\n".join(out)


def summary_page(summary, panels, gallery=None):
    log = summary.log
    h = summary.headline()
    research = summary.research
    overall = research.overall
    intervals = [("sensitivity 95% CI (Wilson)", research_text.interval(overall.sensitivity_interval)),
                 ("specificity 95% CI (Wilson)", research_text.interval(overall.specificity_interval)),
                 ("sensitivity 95% CI (bootstrap over subjects)",
                  research_text.bootstrap_text(research.sensitivity_bootstrap, research.bootstrap_subjects)),
                 ("specificity 95% CI (bootstrap over subjects)",
                  research_text.bootstrap_text(research.specificity_bootstrap, research.bootstrap_subjects)),
                 ("ADL hours", "n/a" if overall.adl_without_length else "%.2f" % overall.adl_hours)]
    body = [_check_html(summary), _manifest_html(summary), "<h2>Headline figures</h2>",
            _table(("figure", "value"), [(k, format_value(k, v)) for k, v in h.items()] + intervals)]
    if log.not_found or log.unscored:
        body.append("<h2>Recordings not scored</h2>")
        body.append(_table(("path", "why"), [(r.path, "not found") for r in log.not_found] +
                           [(r.path, "replay without a result line") for r in log.unscored], numeric_from=9))
    if research.timing.labelled:
        body.append("<h2>Timing of labelled falls</h2>")
        body.append('<p class="note">latency: first detection - onset; lead: impact - first detection; '
                    'median and quartiles, 20 ms per sample</p>')
        body.append(_table(*research_text.timing_table(research)))
    if len(research.subjects) > 1:
        body.append("<h2>Per subject</h2>")
        body.append(_table(*research_text.subject_table(research)))
    if research.groups:
        body.append("<h2>Per age group</h2>")
        body.append(_table(*research_text.age_group_table(research)))
    body.append("<h2>Figures</h2>")
    if not research.timing.labelled:
        from .summary_figures import NO_TIMING_NOTE
        body.append('<p class="note">%s</p>' % _e(NO_TIMING_NOTE))
    body.append("\n".join(_img(png, name) for name, png in panels))
    body.append("<h2>Per activity type</h2>")
    rows = []
    for label, t, c in summary.per_activity():
        total = sum(c.values())
        rows.append((label, kfall.task_class(t), total,
                     *(c[o] for o in ("good", "soso", "early", "late", "fn", "tn", "fp"))))
    body.append(_table(("type", "class", "recordings", "good", "soso", "early", "late", "fn", "tn", "fp"), rows,
                       numeric_from=2))
    body.append(_gallery_html(gallery))
    trouble = [r for r in log.scored if r.outcome in ("fn", "fp", "early", "late")]
    if trouble:
        body.append("<h2>Troublemakers (fn, fp, early, late)</h2>")
        body.append(_table(("path", "task", "outcome", "first frame", "mode", "onset", "impact"),
                           [(r.path, r.task, r.outcome, r.first_frame if r.detected else "",
                             r.first_mode if r.detected else "", r.onset, r.impact) for r in trouble],
                           numeric_from=1))
    return _page("tumblebench run summary: %s" % (summary.name or "console log"), "\n".join(body))


def comparison_page(comparison, panels=()):
    labels = comparison.labels
    runs = comparison.runs
    body = ["<h2>Runs</h2>", _table(("", "run"), [(label, s.name or label) for label, s in zip(labels, runs)],
                                    numeric_from=9)]
    body += [_check_html(s) for s in runs]
    header = ("figure",) + tuple(labels) + tuple("change %s" % label for label in labels[1:])
    body += ["<h2>Headline figures</h2>",
             _table(header, [(name,) + tuple(format_value(name, v) for v in values) +
                             tuple(comparison.format_delta(name, values[0], v) for v in values[1:])
                             for name, values in comparison.headline_rows()])]
    body.append("\n".join(_img(png, name) for name, png in panels))
    body.append("<h2>McNemar's exact test</h2>")
    body.append('<p class="note">on the recordings both runs scored; right: a fall detected or a daily activity '
                'not; two-sided</p>')
    body.append(_table(("runs", "paired", "right only in the first", "right only in the second", "p"),
                       [("%s vs %s" % (labels[i], labels[j]), p.paired, p.right_in_base_only, p.right_in_new_only,
                         "%.4g" % p.p_value) for i, j, p in comparison.pairs]))
    for label, pairing in zip(labels[1:], comparison.against_base):
        body.append("<h2>Recordings whose outcome changed, %s against %s (%d)</h2>"
                    % (_e(label), _e(labels[0]), len(pairing.flips)))
        if pairing.flips:
            body.append(_table(("path", "task", "before", "after", "change"),
                               [(f.path, f.task, f.before, f.after, f.direction) for f in pairing.flips],
                               numeric_from=1))
        for title, keys in (("Only in %s" % labels[0], pairing.only_base), ("Only in %s" % label, pairing.only_new)):
            if keys:
                body.append("<h2>%s (%d)</h2>" % (_e(title), len(keys)))
                body.append(_table(("path", "occurrence"), [(p, o + 1) for p, o in keys]))
    return _page("tumblebench comparison", "\n".join(body))
