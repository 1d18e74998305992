// temp-web's page: the overview of every sensor (polled each second, so a
// new cycle shows without a reload) and one sensor's chart. Every text from
// the loggers goes in as text (textContent), never as markup.
'use strict';

const POLL_MS = 1000;
const SPARK_MS = 5 * 60 * 1000;
const sparks = new Map();  // logger/serial -> {svg, fetched}
let lastOverview = '';
let chart = null;
let current = null;  // {logger, serial, from, to, tier}

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

function age(seconds) {
  if (seconds === null || seconds === undefined) return '';
  if (seconds < 0) return 'in ' + age(-seconds).replace(' ago', '');
  if (seconds < 120) return seconds + ' s ago';
  if (seconds < 7200) return Math.round(seconds / 60) + ' min ago';
  if (seconds < 172800) return Math.round(seconds / 3600) + ' h ago';
  return Math.round(seconds / 86400) + ' d ago';
}

function localTime(iso) {
  return iso ? new Date(iso).toLocaleString() : 'never';
}

function outcomeText(outcome) {
  return outcome === 'good' ? 'good' : outcome === 'none' ? 'no reading' : 'failed: ' + outcome;
}

function sensorHash(logger, serial) {
  return '#/sensor/' + encodeURIComponent(logger) + '/' + encodeURIComponent(serial);
}

async function getJson(url) {
  const r = await fetch(url, {cache: 'no-store'});
  const body = await r.json();
  if (!r.ok) throw new Error(body.error || r.status);
  return body;
}

// ---- overview ------------------------------------------------------------

function sparkFor(logger, serial) {
  const key = logger + '/' + serial;
  let s = sparks.get(key);
  if (!s) {
    const svg = document.createElementNS('http://www.w3.org/2000/svg', 'svg');
    svg.setAttribute('class', 'spark');
    svg.setAttribute('viewBox', '0 0 120 28');
    svg.setAttribute('preserveAspectRatio', 'none');
    s = {svg, fetched: 0};
    sparks.set(key, s);
  }
  if (Date.now() - s.fetched > SPARK_MS) {
    s.fetched = Date.now();
    const q = '?logger=' + encodeURIComponent(logger) + '&from=24h&points=120';
    getJson('/api/v1/sensors/' + encodeURIComponent(serial) + '/history' + q).then(series => {
      const pts = series.points.filter(p => p[2] !== null);
      while (s.svg.firstChild) s.svg.removeChild(s.svg.firstChild);
      if (pts.length < 2) return;
      const t0 = Date.parse(series.from), t1 = Date.parse(series.to);
      let lo = Math.min(...pts.map(p => p[2])), hi = Math.max(...pts.map(p => p[2]));
      if (hi - lo < 0.5) { lo -= 0.25; hi += 0.25; }
      const line = document.createElementNS('http://www.w3.org/2000/svg', 'polyline');
      line.setAttribute('points', pts.map(p =>
        ((p[0] - t0) / (t1 - t0) * 120).toFixed(1) + ',' + (26 - (p[2] - lo) / (hi - lo) * 24).toFixed(1)).join(' '));
      s.svg.appendChild(line);
    }).catch(() => { s.fetched = 0; });
  }
  return s.svg;
}

function renderOverview(data) {
  const main = document.getElementById('overview');
  const parts = [];
  if (data.loggers.length === 0)
    parts.push(el('p', '', 'No logger folder found yet. temp-web looks again every few seconds.'));
  for (const logger of data.loggers) {
    const section = el('section', 'logger');
    section.dataset.logger = logger.id;
    section.appendChild(el('h2', '', 'Logger ' + logger.id));
    const head = el('p', 'logger-head');
    const cycle = el('span', logger.stale ? 'stale cycle' : 'cycle',
      'Last cycle ' + localTime(logger.last_cycle) + ' (' + age(logger.last_cycle_age_s) + ')' +
      (logger.stale ? ', stale' : ''));
    head.appendChild(cycle);
    head.appendChild(document.createTextNode(' · failed readings today: ' + logger.failed_today +
      ' · history: ' + logger.history + ' · ' + logger.folder));
    section.appendChild(head);
    const list = el('div', 'sensors');
    for (const s of logger.sensors) {
      const row = el('a', 'sensor');
      row.href = sensorHash(logger.id, s.serial);
      row.dataset.serial = s.serial;
      row.dataset.logger = logger.id;
      if (s.outcome !== 'good') row.classList.add('failed');
      if (s.stale) row.classList.add('stale');
      row.appendChild(el('span', 'place', s.place === null ? '–' : String(s.place)));
      const name = el('span', 'label', s.label || s.serial);
      name.title = s.serial;
      row.appendChild(name);
      row.appendChild(el('span', 'temp', s.temperature === null ? '—' : s.temperature.toFixed(3) + ' °C'));
      row.appendChild(el('span', 'time', localTime(s.time) + ' · ' + age(s.age_s) + (s.stale ? ' · stale' : '')));
      row.appendChild(el('span', 'outcome', outcomeText(s.outcome)));
      row.appendChild(sparkFor(logger.id, s.serial));
      list.appendChild(row);
    }
    section.appendChild(list);
    const events = el('ul', 'events');
    for (const line of logger.events.slice(-5)) events.appendChild(el('li', '', line));
    section.appendChild(events);
    parts.push(section);
  }
  main.replaceChildren(...parts);
}

async function poll() {
  try {
    const r = await fetch('/api/v1/overview', {cache: 'no-store'});
    const text = await r.text();
    document.getElementById('status').textContent = 'updated ' + new Date().toLocaleTimeString();
    if (text !== lastOverview) {
      lastOverview = text;
      const data = JSON.parse(text);
      window.tempOverview = data;
      renderOverview(data);
      if (current) showSensorHead(data);
    }
  } catch (e) {
    document.getElementById('status').textContent = 'temp-web does not answer (' + e.message + ')';
  }
  setTimeout(poll, POLL_MS);
}

// ---- sensor page -----------------------------------------------------------

function showSensorHead(data) {
  for (const logger of data.loggers)
    for (const s of logger.sensors)
      if (logger.id === current.logger && s.serial === current.serial) {
        document.getElementById('sensor-title').textContent =
          (s.label || s.serial) + (s.place === null ? '' : ' (place ' + s.place + ')');
        document.getElementById('sensor-now').textContent = s.serial + ' on logger ' + logger.id + ': ' +
          (s.temperature === null ? outcomeText(s.outcome) : s.temperature.toFixed(3) + ' °C') +
          ' at ' + localTime(s.time);
      }
}

function chartRows(series) {
  const rows = [];
  let previous = null;
  for (const p of series.points) {
    if (previous !== null && p[0] - previous > series.gap_ms)
      rows.push([new Date(previous + 1), null]);  // a gap: no line across it
    rows.push([new Date(p[0]), p[2] === null ? null : [p[1], p[2], p[3]]]);
    previous = p[0];
  }
  return rows;
}

function cssColor(name) {
  return getComputedStyle(document.documentElement).getPropertyValue(name).trim();
}

function legend(data) {
  if (data.x === undefined || !data.series.length) return '';
  const y = data.series[0].yHTML;
  const when = new Date(data.x).toLocaleString();
  const row = current && current.rows ? current.rows.find(r => r[0].getTime() === data.x) : null;
  const v = row && row[1] ? row[1] : null;
  if (!v) return when + ': no reading';
  const text = v[0] === v[2] ? v[1].toFixed(4) + ' °C'
                             : v[1].toFixed(4) + ' °C (min ' + v[0].toFixed(4) + ', max ' + v[2].toFixed(4) + ')';
  return y === undefined ? when : when + ': ' + text;
}

async function loadRange(from, to) {
  const c = current;
  const width = Math.max(200, Math.min(2000, document.getElementById('chart').clientWidth * 2));
  const q = '?logger=' + encodeURIComponent(c.logger) + '&from=' + from + (to === null ? '' : '&to=' + to) +
    '&points=' + width;
  const info = document.getElementById('chart-info');
  let series;
  try {
    series = await getJson('/api/v1/sensors/' + encodeURIComponent(c.serial) + '/history' + q);
  } catch (e) {
    info.textContent = 'No chart: ' + e.message;
    return;
  }
  if (current !== c) return;
  c.from = Date.parse(series.from);
  c.to = Date.parse(series.to);
  c.tier = series.tier;
  c.rows = chartRows(series);
  const rows = c.rows.length ? c.rows : [[new Date(c.from), null], [new Date(c.to), null]];
  info.textContent = series.points.length + ' points from the ' + series.tier + ' tier' +
    (series.tier === 'raw' ? '' : ' (the band: min and max of each interval)') +
    '. Drag to zoom, double-click to zoom out.';
  const csv = document.getElementById('csv');
  csv.href = '/api/v1/sensors/' + encodeURIComponent(c.serial) + '/export?logger=' + encodeURIComponent(c.logger) +
    '&from=' + (c.from / 1000) + '&to=' + (c.to / 1000) + '&tier=' + series.tier;
  csv.setAttribute('download', c.serial + '-' + series.tier + '.csv');
  const options = {
    labels: ['time', '°C'], customBars: true, connectSeparatedPoints: false, drawPoints: series.points.length < 200,
    dateWindow: [c.from, c.to], colors: [cssColor('--accent')], fillAlpha: 0.25,
    axisLabelFontSize: 12, gridLineColor: cssColor('--line'), axisLineColor: cssColor('--muted'),
    legend: 'follow', legendFormatter: legend,
    axes: {y: {valueFormatter: v => v.toFixed(4) + ' °C', axisLabelWidth: 40}},
    zoomCallback: (minX, maxX) => { if (minX !== c.from || maxX !== c.to) loadRange(Math.round(minX) / 1000, Math.round(maxX) / 1000); },
    file: rows,
  };
  if (typeof Dygraph === 'undefined') { info.textContent = 'The chart library is missing (libjs-dygraphs).'; return; }
  if (!chart) chart = new Dygraph(document.getElementById('chart'), rows, options);
  else chart.updateOptions(options);
  window.tempChart = chart;
  window.tempSeries = series;
}

function showRange(range) {
  for (const b of document.querySelectorAll('#ranges button'))
    b.classList.toggle('on', b.dataset.range === range);
  // Back from the server's clock to the latest reading (the server's default end).
  loadRange(range === 'all' ? 'first' : range + 's', null);
}

function route() {
  const m = location.hash.match(/^#\/sensor\/([^/]+)\/([0-9A-Fa-f]{16})$/);
  const overview = document.getElementById('overview');
  const sensor = document.getElementById('sensor');
  if (!m) {
    current = null;
    overview.hidden = false;
    sensor.hidden = true;
    return;
  }
  current = {logger: decodeURIComponent(m[1]), serial: m[2].toUpperCase()};
  overview.hidden = true;
  sensor.hidden = false;
  if (chart) { chart.destroy(); chart = null; }
  document.getElementById('sensor-title').textContent = current.serial;
  if (window.tempOverview) showSensorHead(window.tempOverview);
  showRange('86400');
}

document.getElementById('ranges').addEventListener('click', e => {
  if (e.target.dataset && e.target.dataset.range) showRange(e.target.dataset.range);
});
window.addEventListener('hashchange', route);
route();
poll();
