// The report as one page for a browser: the figures as tables written here, the
// plots drawn by the page's script from a JSON block, so that the page needs
// nothing but itself.
#include <nlohmann/json.hpp>

#include "line_report.h"

namespace line_ledger {

namespace {

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string cell(const char* key, const std::string& value) {
  return std::string("<td data-key=\"") + key + "\">" + escaped(value) + "</td>";
}

std::string figures_row(const std::string& name, const Figures& f) {
  const bool timed = !f.durations_ms.empty();
  return "<tr data-station=\"" + escaped(name) + "\"><th>" + escaped(name) + "</th>" +
         cell("devices", std::to_string(f.devices)) + cell("passed", std::to_string(f.passed)) +
         cell("failed", std::to_string(f.failed)) + cell("interrupted", std::to_string(f.interrupted)) +
         cell("running", std::to_string(f.running)) + cell("serials-used", std::to_string(f.serials_used)) +
         cell("serials-void", std::to_string(f.serials_void)) + cell("serials-open", std::to_string(f.serials_open)) +
         cell("median", timed ? seconds_text(f.median_ms) : "-") + cell("p95", timed ? seconds_text(f.p95_ms) : "-") +
         "</tr>\n";
}

// One row per reason (the line's most frequent first), one column per station.
std::string reasons_table(const char* id, const char* what, const Report& report,
                          const std::map<std::string, int> Figures::*counts) {
  if ((report.line.*counts).empty()) return "<p id=\"" + std::string(id) + "\">None.</p>\n";
  std::string t = "<table id=\"" + std::string(id) + "\"><thead><tr><th>" + what + "</th><th>Whole line</th>";
  for (const StationFigures& s : report.stations) t += "<th>" + escaped(s.name) + "</th>";
  t += "</tr></thead><tbody>\n";
  for (const auto& [reason, count] : by_count(report.line.*counts)) {
    t += "<tr data-reason=\"" + escaped(reason) + "\"><th>" + escaped(reason) + "</th><td>" + std::to_string(count) +
         "</td>";
    for (const StationFigures& s : report.stations) {
      auto it = (s.figures.*counts).find(reason);
      t += "<td>" + std::to_string(it == (s.figures.*counts).end() ? 0 : it->second) + "</td>";
    }
    t += "</tr>\n";
  }
  return t + "</tbody></table>\n";
}

// The data of the plots; every '<' is written as \u003c so that no text from
// the ledger can end the script block.
std::string plot_data(const Report& report) {
  nlohmann::json data;
  data["hours"] = nlohmann::json::array();
  for (const HourCount& h : report.hours)
    data["hours"].push_back({{"start", utc_time_text(h.hour_ms)}, {"passed", h.passed}, {"failed", h.failed},
                             {"interrupted", h.interrupted}});
  data["durations_ms"] = report.line.durations_ms;
  data["median_ms"] = report.line.median_ms;
  data["p95_ms"] = report.line.p95_ms;
  data["failures"] = nlohmann::json::array();
  for (const auto& [reason, count] : by_count(report.line.failures)) data["failures"].push_back({reason, count});
  std::string text = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), out;
  for (char c : text) out += c == '<' ? std::string("\\u003c") : std::string(1, c);
  return out;
}

constexpr const char kStyle[] = R"(
body { font: 15px/1.4 system-ui, sans-serif; margin: 1.5em auto; max-width: 64em; padding: 0 1em; color: #222; }
h1 { font-size: 1.5em; margin-bottom: 0.2em; }
h2 { font-size: 1.15em; margin-top: 1.6em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; }
th, td { padding: 0.25em 0.6em; border-bottom: 1px solid #e4e4e4; }
td { text-align: right; font-variant-numeric: tabular-nums; }
thead th { font-weight: 600; background: #f3f3f3; }
tbody th { text-align: left; font-weight: normal; white-space: nowrap; }
tr[data-station="Whole line"] th, tr[data-station="Whole line"] td { font-weight: 600; }
.range { color: #555; }
#plot-error { color: #b00; font-weight: 600; }
svg { display: block; margin: 0.5em 0; }
svg text { font: 12px system-ui, sans-serif; fill: #333; }
.axis { stroke: #888; }
.passed { fill: #2e7d32; } .failed { fill: #c62828; } .interrupted { fill: #9e9e9e; } .time { fill: #1565c0; }
.mark { stroke: #000; stroke-dasharray: 4 3; }
.legend .passed { background: #2e7d32; } .legend .failed { background: #c62828; }
.legend .interrupted { background: #9e9e9e; }
.legend span { display: inline-block; width: 0.8em; height: 0.8em; margin: 0 0.3em 0 1em; vertical-align: -0.05em; }
)";

// Draws the three plots into the SVG elements from the JSON block. A failure is
// shown on the page; "data-plots" on the body says that all were drawn.
constexpr const char kScript[] = R"(
(function () {
  'use strict';
  var NS = 'http://www.w3.org/2000/svg';
  function fail(message) {
    var p = document.getElementById('plot-error');
    p.textContent = 'The plots could not be drawn: ' + message;
    p.hidden = false;
  }
  window.addEventListener('error', function (e) { fail(e.message); });
  function el(tag, attrs, parent, text) {
    var e = document.createElementNS(NS, tag);
    for (var k in attrs) e.setAttribute(k, attrs[k]);
    if (text !== undefined) e.textContent = text;
    if (parent) parent.appendChild(e);
    return e;
  }
  function titled(g, text) { el('title', {}, g, text); return g; }
  // The round number (1, 2 or 5 times a power of ten) at or above x > 0.
  function round(x) {
    var p = Math.pow(10, Math.floor(Math.log10(x))), m = x / p;
    return p * (m <= 1 ? 1 : m <= 2 ? 2 : m <= 5 ? 5 : 10);
  }
  // Grid lines of whole devices, about four of them up to max.
  function step(max) { return Math.max(1, round(Math.max(max, 1) / 4)); }
  function seconds(ms) { return (ms / 1000).toFixed(1) + ' s'; }
  // A frame with a y axis from 0 to top; returns the inner box.
  function frame(svg, top, unit) {
    var W = +svg.getAttribute('width'), H = +svg.getAttribute('height');
    var box = { x: 48, y: 10, w: W - 60, h: H - 46 };
    var s = step(top), max = Math.max(s, Math.ceil(top / s) * s);
    for (var v = 0; v <= max + 1e-9; v += s) {
      var y = box.y + box.h - v / max * box.h;
      el('line', { 'class': 'axis', x1: box.x - 4, x2: box.x + box.w, y1: y, y2: y, 'stroke-opacity': v ? 0.25 : 1 }, svg);
      el('text', { x: box.x - 8, y: y + 4, 'text-anchor': 'end' }, svg, String(+v.toFixed(3)));
    }
    el('text', { x: 4, y: box.y + 4, 'text-anchor': 'start', transform: 'rotate(90 4 ' + (box.y + 4) + ')' }, svg, unit);
    box.max = max;
    return box;
  }
  function empty(svg, text) {
    el('text', { x: 20, y: 30 }, svg, text);
  }

  function hours(svg, data) {
    if (!data.length) return empty(svg, 'No device in this time.');
    var top = 0;
    data.forEach(function (h) { top = Math.max(top, h.passed + h.failed + h.interrupted); });
    var box = frame(svg, top, 'devices'), bw = box.w / data.length, every = Math.ceil(data.length / 12);
    data.forEach(function (h, i) {
      var g = titled(el('g', { 'class': 'hour', 'data-start': h.start, 'data-passed': h.passed,
                               'data-failed': h.failed, 'data-interrupted': h.interrupted }, svg),
                     h.start.slice(0, 13).replace('T', ' ') + ':00: ' + h.passed + ' passed, ' + h.failed +
                     ' failed, ' + h.interrupted + ' interrupted');
      var y = box.y + box.h;
      ['passed', 'failed', 'interrupted'].forEach(function (k) {
        var hgt = h[k] / box.max * box.h;
        y -= hgt;
        if (h[k]) el('rect', { 'class': k, x: box.x + i * bw + bw * 0.1, y: y, width: bw * 0.8, height: hgt }, g);
      });
      if (i % every === 0) {
        var label = h.start.slice(11, 13) + ':00';
        if (i === 0 || h.start.slice(11, 13) === '00') label = h.start.slice(5, 10) + ' ' + label;
        el('text', { x: box.x + i * bw + bw / 2, y: box.y + box.h + 16, 'text-anchor': 'middle' }, svg, label);
      }
    });
    el('text', { x: box.x + box.w / 2, y: box.y + box.h + 32, 'text-anchor': 'middle' }, svg, 'hour begun (UTC)');
  }

  function times(svg, data) {
    var d = data.durations_ms;
    if (!d.length) return empty(svg, 'No device ended in this time.');
    var hi = d[d.length - 1], width = hi > 0 ? round(hi / 20) : 1;
    var n = Math.floor(hi / width) + 1, counts = [];
    for (var i = 0; i < n; ++i) counts.push(0);
    d.forEach(function (ms) { ++counts[Math.floor(ms / width)]; });
    var top = Math.max.apply(null, counts), box = frame(svg, top, 'devices'), bw = box.w / n;
    counts.forEach(function (c, i) {
      var g = titled(el('g', { 'class': 'bin', 'data-count': c }, svg),
                     seconds(i * width) + ' to ' + seconds((i + 1) * width) + ': ' + c + ' devices');
      var hgt = c / box.max * box.h;
      if (c) el('rect', { 'class': 'time', x: box.x + i * bw + 1, y: box.y + box.h - hgt, width: Math.max(bw - 2, 1),
                          height: hgt }, g);
    });
    var every = Math.ceil(n / 10);
    for (var j = 0; j < n; j += every)
      el('text', { x: box.x + j * bw, y: box.y + box.h + 16, 'text-anchor': 'middle' }, svg, seconds(j * width));
    [['median', data.median_ms], ['95th percentile', data.p95_ms]].forEach(function (m, k) {
      var x = box.x + m[1] / width * bw;
      el('line', { 'class': 'mark', x1: x, x2: x, y1: box.y, y2: box.y + box.h }, svg);
      var right = x > box.x + box.w * 0.7;
      el('text', { x: right ? x - 4 : x + 4, y: box.y + 12 + 14 * k, 'text-anchor': right ? 'end' : 'start' }, svg,
         m[0] + ' ' + seconds(m[1]));
    });
    el('text', { x: box.x + box.w / 2, y: box.y + box.h + 32, 'text-anchor': 'middle' }, svg,
       'time per device, start to end of its run');
  }

  function failures(svg, data) {
    if (!data.length) return empty(svg, 'No failure in this time.');
    var row = 24, left = 200, W = +svg.getAttribute('width');
    svg.setAttribute('height', data.length * row + 10);
    var top = 0;
    data.forEach(function (f) { top = Math.max(top, f[1]); });
    data.forEach(function (f, i) {
      var g = titled(el('g', { 'class': 'reason', 'data-reason': f[0], 'data-count': f[1] }, svg), f[0] + ': ' + f[1]);
      var w = f[1] / top * (W - left - 60), y = 5 + i * row;
      el('text', { x: left - 8, y: y + 15, 'text-anchor': 'end' }, g, f[0]);
      el('rect', { 'class': 'failed', x: left, y: y + 2, width: w, height: row - 6 }, g);
      el('text', { x: left + w + 6, y: y + 15 }, g, String(f[1]));
    });
  }

  try {
    var data = JSON.parse(document.getElementById('report-data').textContent);
    hours(document.getElementById('plot-hours'), data.hours);
    times(document.getElementById('plot-times'), data);
    failures(document.getElementById('plot-failures'), data.failures);
    document.body.setAttribute('data-plots', 'drawn');
  } catch (e) {
    fail(e.message);
  }
})();
)";

}  // namespace

std::string report_html(const Report& report) {
  const TimeRange& r = report.range;
  const std::string from = r.from_given ? utc_time_text(r.from_ms) : "the first record";
  const std::string to = r.to_given ? utc_time_text(r.to_ms) : "the last record";
  std::string page = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>Line report from " +
                     from + " to " + to + "</title>\n<style>" + kStyle + "</style></head>\n<body>\n";
  page += "<h1>Line report</h1>\n<p class=\"range\">From <span id=\"from\">" + from + "</span> to <span id=\"to\">" +
          to + "</span> (UTC): the runs begun and the serial numbers taken in that time. Times per device run from"
               " its start to its end, of the devices that passed or failed; median and 95th percentile by nearest"
               " rank.</p>\n<p id=\"plot-error\" hidden></p>\n";

  page += "<h2>Devices and serial numbers</h2>\n<table id=\"figures\"><thead><tr><th>Station</th><th>Devices</th>"
          "<th>Passed</th><th>Failed</th><th>Interrupted</th><th>Running</th><th>Serials used</th><th>Void</th>"
          "<th>Open</th><th>Median time</th><th>95th percentile</th></tr></thead><tbody>\n";
  page += figures_row("Whole line", report.line);
  for (const StationFigures& s : report.stations) page += figures_row(s.name, s.figures);
  page += "</tbody></table>\n";

  page += "<h2>Devices per hour</h2>\n<p class=\"legend\"><span class=\"passed\"></span>passed"
          "<span class=\"failed\"></span>failed<span class=\"interrupted\"></span>interrupted</p>\n"
          "<svg id=\"plot-hours\" width=\"760\" height=\"260\" role=\"img\" aria-label=\"devices per hour\"></svg>\n";
  page += "<h2>Time per device</h2>\n"
          "<svg id=\"plot-times\" width=\"760\" height=\"260\" role=\"img\" aria-label=\"time per device\"></svg>\n";
  page += "<h2>Failures by reason</h2>\n"
          "<svg id=\"plot-failures\" width=\"760\" height=\"40\" role=\"img\" aria-label=\"failures by reason\"></svg>\n";
  page += reasons_table("failures", "Reason", report, &Figures::failures);
  page += "<h2>Void serial numbers by reason</h2>\n";
  page += reasons_table("void-reasons", "Reason", report, &Figures::void_reasons);

  page += "<noscript><p>The plots need the page's script; the tables above hold every figure.</p></noscript>\n";
  page += "<script type=\"application/json\" id=\"report-data\">" + plot_data(report) + "</script>\n";
  page += std::string("<script>") + kScript + "</script>\n</body></html>\n";
  return page;
}

}  // namespace line_ledger
