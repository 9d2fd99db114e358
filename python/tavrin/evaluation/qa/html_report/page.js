// Draws the report from the JSON in #report-data. Every text of the report goes into the
// page through textContent or an attribute, never as markup.
"use strict";
(function () {
  const data = JSON.parse(document.getElementById("report-data").textContent);
  const two = data.reports.length === 2;
  const SVG = "http://www.w3.org/2000/svg";

  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (value !== null && value !== undefined && value !== false) node.setAttribute(key, value === true ? "" : value);
    }
    for (const child of children) {
      if (child === null || child === undefined) continue;
      node.append(typeof child === "string" ? document.createTextNode(child) : child);
    }
    return node;
  }
  function svg(tag, attrs, text) {
    const node = document.createElementNS(SVG, tag);
    for (const [key, value] of Object.entries(attrs || {})) node.setAttribute(key, value);
    if (text !== undefined) node.textContent = text;
    return node;
  }
  const swatch = (r) => el("span", { class: "swatch r" + r });
  const trim = (x, digits) => String(Number(x.toFixed(digits)));
  const pct = (x) => trim(x * 100, 1) + "%";
  function figure(kind, x) { return x === null ? "—" : kind === "yes_no" ? pct(x) : trim(x, 2); }
  function isWebLink(href) { return typeof href === "string" && /^https?:\/\/[^\s]+$/i.test(href); }

  // A long text (an answer of megabytes) is shown by its first LONG characters and a
  // button that shows the rest: laying out all of it would hold the page up for seconds.
  // Search still looks through the whole text.
  const LONG = 4000;
  function longText(tag, attrs, text) {
    if (text.length <= LONG + 200) return el(tag, attrs, text);
    let cut = LONG;
    const code = text.charCodeAt(cut - 1);
    if (code >= 0xd800 && code <= 0xdbff) cut -= 1;  // not between the halves of a pair
    const body = el("span", {}, text.slice(0, cut) + "…");
    const size = text.length.toLocaleString("en-US");
    const more = el("button", { type: "button", class: "more", "aria-expanded": "false" }, `Show all ${size} characters`);
    more.addEventListener("click", () => {
      const open = more.getAttribute("aria-expanded") !== "true";
      body.textContent = open ? text : text.slice(0, cut) + "…";
      more.textContent = open ? "Show less" : `Show all ${size} characters`;
      more.setAttribute("aria-expanded", open ? "true" : "false");
    });
    return el(tag, attrs, body, " ", more);
  }

  // ------------------------------------------------------------ header
  document.getElementById("title").textContent = data.title;
  const runs = document.getElementById("runs");
  data.reports.forEach((run, r) => {
    const line = el("div", { class: "run r" + r }, two ? swatch(r) : null, el("b", {}, run.label),
      ` — ${run.name}, ${run.date}; test set ${run.test_set_path}; ${run.cases} case(s), ${run.judgements} judgement(s)`
      + (run.shard ? `; shard ${run.shard}` : ""));
    runs.append(line);
    if (run.description) runs.append(el("div", { class: "run" }, run.description));
    if (run.error_msg) runs.append(el("div", { class: "stopped" }, `Run stopped early (${run.label}): ${run.error_msg}`));
  });

  // ------------------------------------------------------------ summary tables
  const summaryTables = document.getElementById("summary-tables");
  const summaryCells = [];  // {el, subject, evaluator} for the filters
  data.reports.forEach((run, r) => {
    const cells = data.summary.filter((c) => c.report === r);
    if (!cells.length) { summaryTables.append(el("p", { class: "note" }, `${run.label}: no judgements.`)); return; }
    const subjects = data.subjects.filter((s) => cells.some((c) => c.subject === s));
    const evaluators = data.evaluators.filter((e) => cells.some((c) => c.evaluator === e));
    const table = el("table", { class: "summary-table" });
    if (two) table.append(el("caption", {}, swatch(r), run.label));
    const head = el("tr", {}, el("th", {}, "Subject"));
    for (const e of evaluators) {
      const th = el("th", {}, e);
      summaryCells.push({ el: th, subject: null, evaluator: e });
      head.append(th);
    }
    table.append(el("thead", {}, head));
    const body = el("tbody");
    for (const s of subjects) {
      const row = el("tr", {}, el("th", {}, s));
      summaryCells.push({ el: row, subject: s, evaluator: null });
      for (const e of evaluators) {
        const cell = cells.find((c) => c.subject === s && c.evaluator === e);
        const td = el("td", {}, cell ? cell.text : "—");
        if (cell && cell.low !== null && cell.high !== null && !/\b(CI|interval)\b/.test(cell.text)) {
          td.append(el("span", { class: "ci", title: cell.method ? "method: " + cell.method : null },
            `95% CI ${figure(cell.kind, cell.low)} – ${figure(cell.kind, cell.high)}`));
        }
        summaryCells.push({ el: td, subject: null, evaluator: e });
        row.append(td);
      }
      body.append(row);
    }
    table.append(body);
    summaryTables.append(table);
  });

  // ------------------------------------------------------------ chart: bars with 95% whiskers
  function drawChart(subject, evaluator) {
    const holder = document.getElementById("chart");
    holder.replaceChildren();
    const bars = data.summary.filter((c) => (c.kind === "yes_no" || c.kind === "rating") && c.estimate !== null
      && (!subject || c.subject === subject) && (!evaluator || c.evaluator === evaluator));
    if (!bars.length) return;
    const W = 900, labelW = 250, barW = 430, rowH = 24, headH = 30, axisH = 20;
    // within an evaluator, each subject's bars together (one per report)
    const order = (b) => data.subjects.indexOf(b.subject) * 2 + b.report;
    const groups = data.evaluators.map((e) => ({ evaluator: e,
      bars: bars.filter((b) => b.evaluator === e).sort((x, y) => order(x) - order(y)) })).filter((g) => g.bars.length);
    let height = 8;
    for (const g of groups) height += headH + g.bars.length * rowH + axisH;
    const root = svg("svg", { viewBox: `0 0 ${W} ${height}`, role: "img", id: "chart-svg" });
    root.append(svg("title", {}, "Summary: estimate of each subject and evaluator with its 95% interval"));
    let y = 8;
    for (const g of groups) {
      const kind = g.bars[0].kind;
      const max = kind === "yes_no" ? 1 : Math.max(10, ...g.bars.map((b) => b.high === null ? b.estimate : b.high));
      const x = (v) => labelW + Math.max(0, Math.min(1, v / max)) * barW;
      root.append(svg("text", { x: 0, y: y + 18, class: "group" },
        `${g.evaluator} — ${kind === "yes_no" ? "share judged true" : "mean rating"}`));
      y += headH;
      const top = y;
      const ticks = kind === "yes_no" ? [0, 0.25, 0.5, 0.75, 1] : [0, max / 2, max];
      const axis = svg("g", { class: "axis" });
      for (const t of ticks) {
        axis.append(svg("line", { x1: x(t), x2: x(t), y1: top - 2, y2: top + g.bars.length * rowH, stroke: "#e3e7eb" }));
        axis.append(svg("text", { x: x(t), y: top + g.bars.length * rowH + 14, "text-anchor": "middle" }, figure(kind, t)));
      }
      root.append(axis);
      for (const b of g.bars) {
        const mid = y + rowH / 2;
        const label = two ? `${b.subject} (${data.labels[b.report]})` : b.subject;
        root.append(svg("text", { x: labelW - 8, y: mid + 4, "text-anchor": "end" }, label));
        const bar = svg("rect", { class: "bar", x: labelW, y: mid - 7, width: Math.max(1, x(b.estimate) - labelW),
          height: 14, fill: b.report === 1 ? "#e07b24" : "#3f6fb0" });
        bar.append(svg("title", {}, `${label}, ${g.evaluator}: ${b.text}`));
        root.append(bar);
        if (b.low !== null && b.high !== null) {
          const whisker = svg("g", { class: "whisker", stroke: "#1d232b", "stroke-width": 1.6 });
          whisker.append(svg("line", { x1: x(b.low), x2: x(b.high), y1: mid, y2: mid }));
          whisker.append(svg("line", { x1: x(b.low), x2: x(b.low), y1: mid - 5, y2: mid + 5 }));
          whisker.append(svg("line", { x1: x(b.high), x2: x(b.high), y1: mid - 5, y2: mid + 5 }));
          root.append(whisker);
        }
        const range = b.low !== null && b.high !== null ? ` [${figure(kind, b.low)}, ${figure(kind, b.high)}]` : "";
        root.append(svg("text", { x: labelW + barW + 12, y: mid + 4 }, figure(kind, b.estimate) + range + ` n=${b.n}`));
        y += rowH;
      }
      y += axisH;
    }
    holder.append(root);
  }

  // ------------------------------------------------------------ comparison of two reports
  if (data.comparison) {
    const c = data.comparison;
    const section = document.getElementById("comparison");
    const body = document.getElementById("comparison-body");
    section.hidden = false;
    const [a, b] = data.labels;
    let note = `${c.overlap} case(s) in both reports; paired tests, Holm-corrected across the table, at alpha ${c.alpha}.`;
    for (const [label, ids] of Object.entries(c.only_in)) {
      if (ids.length) note += ` Only in ${label}: ${ids.length} case(s) (${ids.slice(0, 10).join(", ")}${ids.length > 10 ? ", …" : ""}).`;
    }
    body.append(el("p", { class: "note" }, note));
    for (const skipped of c.skipped) body.append(el("p", { class: "note" }, "Not compared: " + skipped));
    const table = el("table", { id: "comparison-table" });
    table.append(el("thead", {}, el("tr", {}, ...["Subject", "Evaluator", "Pairs", a, b, `Difference (${b} − ${a}), 95% CI`,
      "Test", "p", "p (Holm)", "Flips", "Result"].map((h) => el("th", {}, h)))));
    const tbody = el("tbody");
    for (const row of c.rows) {
      const diff = row.difference === null ? "—" : (row.difference > 0 ? "+" : "") + figure(row.kind, row.difference)
        + (row.low !== null ? ` [${figure(row.kind, row.low)}, ${figure(row.kind, row.high)}]` : "");
      const p = (x) => x === null ? "—" : x < 0.0001 ? "<0.0001" : trim(x, 4);
      const result = row.significant ? el("span", { class: "sig " + row.direction }, `${b} ${row.direction}`)
        : el("span", { class: "note" }, "no significant difference");
      tbody.append(el("tr", {}, ...[row.subject, row.evaluator, String(row.n_pairs), figure(row.kind, row.a),
        figure(row.kind, row.b), diff, row.test, p(row.p_value), p(row.p_holm), String(row.flips)].map((t) => el("td", {}, t)),
        el("td", {}, result)));
    }
    table.append(tbody);
    body.append(table);
    document.getElementById("f-flipped-label").hidden = false;
  }

  // ------------------------------------------------------------ cases
  function answerText(text) {
    if (text === null) return el("p", { class: "text none" }, "No answer.");
    if (!text.trim()) return el("p", { class: "text none" }, "Empty answer.");
    return longText("p", { class: "text prediction" }, text);
  }
  function sourceList(sources) {
    if (!sources.length) return null;
    const list = el("ul", { class: "sources" });
    for (const s of sources) {
      const item = el("li");
      if (isWebLink(s.href)) item.append(el("a", { href: s.href, target: "_blank", rel: "noopener noreferrer", title: s.href }, s.text));
      else item.append(el("span", {}, s.text));
      if (s.detail && !isWebLink(s.href)) item.append(el("span", { class: "detail" }, s.detail));
      list.append(item);
    }
    return el("div", {}, el("h4", {}, "Sources"), list);
  }
  const arrow = { better: "↑", worse: "↓", changed: "≠" };
  const model = [];
  const casesHolder = document.getElementById("cases");
  for (const c of data.cases) {
    const article = el("article", { class: "case" + (c.flips.length ? " flipped" : ""), "data-case": c.id });
    const head = el("div", { class: "case-head" }, el("h3", {}, "Case " + c.id));
    for (const f of c.flips) {
      head.append(el("span", { class: "badge flip " + f.direction },
        `flipped ${arrow[f.direction] || ""} ${f.subject} · ${f.evaluator}: ${f.direction}`));
    }
    article.append(head);
    article.append(el("div", { class: "qa" },
      el("div", {}, el("h4", {}, "Question"), longText("p", { class: "text question" }, c.question)),
      el("div", {}, el("h4", {}, "Reference answer"),
        c.expected === null ? el("p", { class: "text none" }, "None.") : longText("p", { class: "text" }, c.expected))));
    const entry = { el: article, hay: [c.id, c.question, c.expected || ""].join("\n").toLowerCase(), subjects: [] };
    for (const subject of data.subjects) {
      const answers = c.answers.filter((a) => a.subject === subject);
      if (!answers.length) continue;
      const block = el("div", { class: "subject", "data-subject": subject }, el("h4", { class: "name" }, subject));
      const columns = el("div", { class: "columns" + (two ? " two" : "") });
      const sub = { el: block, subject, answers: [] };
      data.reports.forEach((run, r) => {
        const col = el("div", { class: "answer r" + r, "data-report": String(r) });
        if (two) col.append(el("div", { class: "label" }, swatch(r), run.label));
        const mine = answers.filter((a) => a.report === r);
        if (!mine.length) col.append(el("p", { class: "none" }, "Not in this report."));
        for (const a of mine) {
          col.append(answerText(a.prediction));
          const sources = sourceList(a.sources);
          if (sources) col.append(sources);
          const table = el("table", { class: "judgements" },
            el("thead", {}, el("tr", {}, el("th", {}, "Evaluator"), el("th", {}, "Value"), el("th", {}, "Reason"))));
          const tbody = el("tbody");
          const rows = [];
          for (const j of a.judgements) {
            const value = el("span", { class: "verdict " + j.verdict }, j.value);
            if (j.flip && r === 1) value.append(` ${arrow[j.flip] || ""}`);
            const tr = el("tr", { class: j.flip ? "flip" : null, "data-evaluator": j.evaluator, "data-verdict": j.verdict },
              el("td", {}, j.evaluator), el("td", {}, value), longText("td", {}, j.reason));
            tbody.append(tr);
            rows.push({ el: tr, evaluator: j.evaluator, verdict: j.verdict, flip: j.flip });
          }
          table.append(tbody);
          col.append(table);
          const hay = [a.prediction || "", ...a.sources.map((s) => s.text + " " + (s.detail || "")),
            ...a.judgements.map((j) => j.value + " " + j.reason)].join("\n").toLowerCase();
          sub.answers.push({ hay, rows });
        }
        columns.append(col);
      });
      block.append(columns);
      article.append(block);
      entry.subjects.push(sub);
    }
    model.push(entry);
    casesHolder.append(article);
  }
  if (!data.cases.length) casesHolder.append(el("p", { class: "note" }, "No judgements in this report."));

  // ------------------------------------------------------------ filters and search
  const fSubject = document.getElementById("f-subject");
  const fEvaluator = document.getElementById("f-evaluator");
  const fVerdict = document.getElementById("f-verdict");
  const fSearch = document.getElementById("f-search");
  const fFlipped = document.getElementById("f-flipped");
  const count = document.getElementById("f-count");
  for (const s of data.subjects) fSubject.append(el("option", { value: s }, s));
  for (const e of data.evaluators) fEvaluator.append(el("option", { value: e }, e));

  function apply() {
    const subject = fSubject.value, evaluator = fEvaluator.value, verdict = fVerdict.value;
    const query = fSearch.value.trim().toLowerCase(), flippedOnly = two && fFlipped.checked;
    let shown = 0;
    for (const c of model) {
      let any = false, verdictHit = !verdict, flipHit = !flippedOnly, textHit = !query || c.hay.includes(query);
      for (const s of c.subjects) {
        let visible = false;
        if (!subject || s.subject === subject) {
          for (const a of s.answers) {
            for (const row of a.rows) {
              const on = !evaluator || row.evaluator === evaluator;
              row.el.hidden = !on;
              if (!on) continue;
              visible = true;
              if (row.verdict === verdict) verdictHit = true;
              if (row.flip) flipHit = true;
            }
            if (!textHit && a.hay.includes(query)) textHit = true;
          }
        }
        s.el.hidden = !visible;
        any = any || visible;
      }
      const on = any && verdictHit && flipHit && textHit;
      c.el.hidden = !on;
      if (on) shown += 1;
    }
    for (const cell of summaryCells) {
      cell.el.hidden = (cell.subject !== null && subject && cell.subject !== subject)
        || (cell.evaluator !== null && evaluator && cell.evaluator !== evaluator);
    }
    drawChart(subject, evaluator);
    count.textContent = `${shown} of ${model.length} case(s) shown`;
  }
  for (const control of [fSubject, fEvaluator, fVerdict, fFlipped]) control.addEventListener("change", apply);
  fSearch.addEventListener("input", apply);
  apply();
})();
