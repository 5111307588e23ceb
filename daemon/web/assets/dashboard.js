// Vespero Monitor dashboard: the units of one vesperod, live over Server-Sent Events.
'use strict';

(() => {
  const API = '/api/v1';

  const RANGES = {
    hour: {span: 3600, step: 60, refresh: 60},
    day: {span: 86400, step: 300, refresh: 300},
    month: {span: 30 * 86400, step: 3600, refresh: 3600},
    year: {span: 365 * 86400, step: 86400, refresh: 3600},
  };

  const QUANTITIES = {
    'battery.voltage': {label: 'Battery voltage', unit: 'V'},
    'battery.charge': {label: 'Battery charge', unit: '%'},
    'ups.load': {label: 'Load', unit: '%'},
    'battery.runtime': {label: 'Runtime', unit: 's'},
    'ups.realpower': {label: 'Real power', unit: 'W'},
    'input.voltage': {label: 'Input voltage', unit: 'V'},
    'input.frequency': {label: 'Input frequency', unit: 'Hz'},
    'battery.temperature': {label: 'Battery temperature', unit: '°C'},
  };

  const COMMAND_LABELS = {
    'test.battery.start': 'Battery test',
    'test.battery.start.quick': 'Quick battery test',
    'test.battery.start.deep': 'Deep battery test',
    'test.battery.stop': 'Stop battery test',
    'battery.charge.start': 'Recharge battery',
  };

  // Words beside each colour, so the colour is never the only sign.
  const GAUGE_WORDS = {green: 'normal', yellow: 'warning', red: 'alarm'};

  const MAX_EVENTS = 500;
  // The stream carries a ping every 5 s: this long without anything means the service is gone.
  const SILENCE_MS = 8000;
  const POLL_MS = 500;
  const POLL_LIMIT_MS = 30000;

  const session = {user: null, csrf: null};
  const units = new Map();        // name -> view
  const seenEvents = new Set();   // event ids already listed
  let lastEventTime = 0;

  const $ = (sel, root = document) => root.querySelector(sel);

  function el(tag, props = {}, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(props)) {
      if (k === 'class') e.className = v;
      else if (k === 'text') e.textContent = v;
      else if (k.startsWith('aria-') || k === 'role') e.setAttribute(k, v);
      else e[k] = v;
    }
    for (const c of children) if (c !== null && c !== undefined) e.append(c);
    return e;
  }

  // Live regions speak on every write, so write only what changed.
  function setText(node, text) {
    if (node.textContent !== text) node.textContent = text;
  }

  const pad = (n) => String(n).padStart(2, '0');

  // Local time; the date joins in when it is not today's.
  function formatTime(ms) {
    const d = new Date(ms);
    const now = new Date();
    const time = `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`;
    if (d.getFullYear() === now.getFullYear() && d.getMonth() === now.getMonth() &&
        d.getDate() === now.getDate()) return time;
    return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${time}`;
  }

  function formatRuntime(seconds) {
    if (seconds == null || !Number.isFinite(seconds) || seconds < 0) return 'unknown';
    const minutes = Math.floor(seconds / 60);
    if (minutes < 1) return 'under 1 min';
    if (minutes < 60) return `${minutes} min`;
    return `${Math.floor(minutes / 60)} h ${pad(minutes % 60)} min`;
  }

  function formatNumber(v) {
    if (typeof v !== 'number') return String(v);
    return Number.isInteger(v) ? String(v) : String(Math.round(v * 100) / 100);
  }

  class HttpError extends Error {
    constructor(status, message) {
      super(message);
      this.status = status;
    }
  }

  // JSON in and out; an HTTP error carries the server's own words where it gave some.
  async function api(path, {method = 'GET', body, csrf} = {}) {
    const headers = {Accept: 'application/json'};
    // The server takes no POST without it (a cross-site form cannot send it).
    if (method === 'POST' && body === undefined) body = {};
    if (body !== undefined) headers['Content-Type'] = 'application/json';
    if (csrf) headers['X-CSRF-Token'] = csrf;
    let res;
    try {
      res = await fetch(API + path, {
        method, headers, credentials: 'same-origin',
        body: body === undefined ? undefined : JSON.stringify(body),
      });
    } catch (e) {
      throw new HttpError(0, 'the server cannot be reached');
    }
    let data = null;
    const text = await res.text();
    if (text) {
      try { data = JSON.parse(text); } catch (e) { data = null; }
    }
    if (!res.ok) {
      const said = data && typeof data.error === 'string' ? data.error : res.statusText;
      throw new HttpError(res.status, said || `HTTP ${res.status}`);
    }
    return data;
  }

  function describeError(err, what) {
    if (!(err instanceof HttpError)) return `${what}: ${err.message}`;
    const reasons = {
      0: 'the server cannot be reached',
      400: 'the request was not understood',
      401: 'not logged in (the session may have ended)',
      403: 'refused: no right to do this, or the session token is out of date',
      404: 'unknown unit or command',
      415: 'the request was not sent as JSON',
      503: 'the unit\'s data is stale, so it takes no commands now',
    };
    const why = reasons[err.status] || `server error ${err.status}`;
    const detail = err.message && err.message !== why && err.status !== 0 ? ` (${err.message})` : '';
    return `${what}: ${why}${detail}`;
  }

  // ---- units -----------------------------------------------------------------------------

  function createUnitView(name) {
    const node = $('#unit-template').content.firstElementChild.cloneNode(true);
    node.dataset.unit = name;
    const view = {
      name, node, data: null, chart: null, history: null, historyTimer: null,
      fields: {
        name: $('.unit-name', node), where: $('.unit-where', node),
        state: $('.state', node), stateText: $('.state-text', node), stateStatus: $('.state-status', node),
        banner: $('.banner', node), readings: $('.readings', node),
        charge: $('.charge', node), runtime: $('.runtime', node), gauges: $('.gauges', node),
        commands: $('.commands', node), buttons: $('.command-buttons', node),
        result: $('.command-result', node),
        varCount: $('.variable-count', node), varBody: $('.variables tbody', node),
        range: $('.history-range', node), quantity: $('.history-quantity', node),
        chart: $('.chart', node), chartNote: $('.chart-note', node),
      },
      commandsKey: null,
    };
    const uid = 'u' + units.size;
    view.fields.range.id = uid + '-range';
    view.fields.quantity.id = uid + '-quantity';
    view.fields.range.addEventListener('change', () => loadHistory(view));
    view.fields.quantity.addEventListener('change', () => drawChart(view));
    for (const [key, q] of Object.entries(QUANTITIES)) {
      view.fields.quantity.append(el('option', {value: key, text: q.label}));
    }
    new ResizeObserver(() => resizeChart(view)).observe(view.fields.chart);
    $('#units').append(node);
    units.set(name, view);
    return view;
  }

  function renderUnit(unit) {
    if (!unit || typeof unit.name !== 'string') return;
    const view = units.get(unit.name) || createUnitView(unit.name);
    const first = view.data === null;
    view.data = unit;
    const f = view.fields;
    const st = unit.state || {};

    f.name.textContent = unit.name;
    f.where.textContent = [unit.description, unit.port].filter(Boolean).join(' · ');

    const colour = ['green', 'amber', 'red', 'grey'].includes(st.colour) ? st.colour : 'grey';
    f.state.className = `state state-${colour}`;
    setText(f.stateText, st.text || (st.haveData === false ? 'Waiting for data' : 'Unknown'));
    setText(f.stateStatus, st.status ? st.status : '');
    f.state.setAttribute('aria-label', `${unit.name}: ${f.stateText.textContent}` +
        (st.status ? ` (${st.status})` : ''));

    let banner = '';
    if (st.linkLost) banner = st.since ? `Link lost since ${formatTime(st.since)}` : 'Link lost';
    else if (st.stale) banner = st.since ? `Data stale since ${formatTime(st.since)}` : 'Data stale';
    setText(f.banner, banner);
    f.banner.hidden = !banner;
    f.banner.className = st.linkLost ? 'banner banner-lost' : 'banner banner-stale';
    const old = Boolean(st.linkLost || st.stale || st.haveData === false);
    f.readings.classList.toggle('old', old);
    f.readings.setAttribute('aria-disabled', old ? 'true' : 'false');
    if (down) showDown(view);

    const battery = unit.battery || {};
    f.charge.textContent = typeof battery.charge === 'number' ? `${formatNumber(battery.charge)} %` : 'unknown';
    f.runtime.textContent = formatRuntime(battery.runtime);

    renderGauges(view, Array.isArray(unit.gauges) ? unit.gauges : []);
    renderVariables(view, unit.variables || {});
    renderCommands(view);
    if (first) loadHistory(view);
  }

  function renderGauges(view, gauges) {
    const list = view.fields.gauges;
    list.replaceChildren();
    for (const g of gauges) {
      const min = Number(g.min), max = Number(g.max), value = Number(g.value);
      const known = g.value !== null && g.value !== undefined && Number.isFinite(value);
      const span = max - min;
      const share = known && span > 0 ? Math.min(1, Math.max(0, (value - min) / span)) : 0;
      const colour = GAUGE_WORDS[g.colour] ? g.colour : 'grey';
      const word = GAUGE_WORDS[g.colour] || 'unknown';
      const unitText = g.unit ? ` ${g.unit}` : '';
      const valueText = known ? `${formatNumber(value)}${unitText}` : 'unknown';
      const bar = el('div', {
        class: 'gauge-track', role: 'meter',
        'aria-label': `${g.label || g.key}: ${valueText}, ${word}`,
        'aria-valuemin': String(min), 'aria-valuemax': String(max),
      }, el('div', {class: `gauge-fill gauge-${colour}`}));
      if (known) bar.setAttribute('aria-valuenow', String(value));
      bar.firstChild.style.width = `${(share * 100).toFixed(1)}%`;
      list.append(el('li', {class: 'gauge'},
        el('div', {class: 'gauge-head'},
          el('span', {class: 'gauge-label', text: g.label || g.key}),
          el('span', {class: 'gauge-value'}, el('strong', {text: valueText}),
            el('span', {class: `gauge-word word-${colour}`, text: word}))),
        g.note ? el('div', {class: 'gauge-note muted', text: g.note}) : null,
        bar,
        el('div', {class: 'gauge-scale muted'},
          el('span', {text: `${formatNumber(min)}${unitText}`}),
          el('span', {text: `${formatNumber(max)}${unitText}`}))));
    }
  }

  function renderVariables(view, vars) {
    const names = Object.keys(vars).sort();
    view.fields.varCount.textContent = String(names.length);
    view.fields.varBody.replaceChildren(...names.map((n) =>
      el('tr', {}, el('th', {scope: 'row', text: n}), el('td', {text: formatNumber(vars[n])}))));
  }

  function renderCommands(view) {
    const f = view.fields;
    const commands = view.data && Array.isArray(view.data.commands) ? view.data.commands : [];
    f.commands.hidden = !session.user || commands.length === 0;
    const key = commands.join('\n');
    if (key === view.commandsKey) return;
    view.commandsKey = key;
    f.buttons.replaceChildren(...commands.map((cmd) => {
      const b = el('button', {type: 'button', class: 'command', text: COMMAND_LABELS[cmd] || cmd,
        title: cmd});
      b.dataset.command = cmd;
      b.addEventListener('click', () => runCommand(view, cmd, b));
      return b;
    }));
  }

  // Commands that cut the power get asked twice; the others go at once.
  const DANGEROUS = /shutdown|load\.off|\.stop$|^ups\.off/;

  async function runCommand(view, command, button) {
    const f = view.fields;
    const label = COMMAND_LABELS[command] || command;
    if (DANGEROUS.test(command) && command !== 'test.battery.stop' &&
        !window.confirm(`${label} on ${view.name}: are you sure?`)) return;
    button.disabled = true;
    f.result.className = 'command-result';
    f.result.textContent = `${label}: sending…`;
    try {
      const reply = await api(`/ups/${encodeURIComponent(view.name)}/command`,
        {method: 'POST', body: {command}, csrf: session.csrf});
      const id = reply && reply.id;
      f.result.textContent = `${label}: accepted (id ${id}), ${reply.status || 'PENDING'}…`;
      const status = await pollCommand(id);
      f.result.textContent = status === 'PENDING'
        ? `${label} (id ${id}): no outcome after ${POLL_LIMIT_MS / 1000} s, still PENDING`
        : `${label} (id ${id}): ${status}`;
      f.result.classList.add(status === 'SUCCESS' ? 'ok' : 'bad');
    } catch (err) {
      f.result.textContent = describeError(err, label);
      f.result.classList.add('bad');
      if (err instanceof HttpError && err.status === 401) setSession(null, null);
      // A token out of date (a login in another tab): take the current one for the next try.
      if (err instanceof HttpError && err.status === 403) refreshSession();
    } finally {
      button.disabled = false;
    }
  }

  async function pollCommand(id) {
    const end = Date.now() + POLL_LIMIT_MS;
    while (Date.now() < end) {
      await new Promise((r) => setTimeout(r, POLL_MS));
      const state = await api(`/commands/${encodeURIComponent(id)}`);
      if (state && (state.status === 'SUCCESS' || state.status === 'FAILED')) return state.status;
    }
    return 'PENDING';
  }

  // ---- history -----------------------------------------------------------------------------

  async function loadHistory(view) {
    clearTimeout(view.historyTimer);
    const range = RANGES[view.fields.range.value] || RANGES.hour;
    // This server records only its own units: asking for another server's would show an empty
    // chart that looks as if rows were still to come.
    if (view.data && view.data.remote) {
      view.history = null;
      drawChart(view, `No history: ${view.name} is another NUT server's unit, and only this server's own units are recorded.`);
      return;
    }
    const to = Math.floor(Date.now() / 1000);
    const from = to - range.span;
    try {
      view.history = await api(`/ups/${encodeURIComponent(view.name)}/history` +
        `?from=${from}&to=${to}&step=${range.step}`);
      drawChart(view);
    } catch (err) {
      view.history = null;
      drawChart(view, describeError(err, 'History'));
    }
    view.historyTimer = setTimeout(() => loadHistory(view), range.refresh * 1000);
  }

  function chartWidth(view) {
    return Math.max(240, Math.floor(view.fields.chart.clientWidth || 300));
  }

  function chartHeight() {
    return window.matchMedia('(max-width: 700px)').matches ? 200 : 260;
  }

  function resizeChart(view) {
    if (!view.chart) return;
    const w = chartWidth(view), h = chartHeight();
    if (view.chart.width !== w || view.chart.height !== h) view.chart.setSize({width: w, height: h});
  }

  // Steps without rows may be left out of an answer; a null where one is missing keeps the
  // line from bridging a time the daemon was not recording.
  function withGaps(t, columns, step) {
    const out = [[], ...columns.map(() => [])];
    for (let i = 0; i < t.length; ++i) {
      if (i > 0 && t[i] - t[i - 1] > 1.5 * step) {
        out[0].push(t[i - 1] + step);
        for (let c = 0; c < columns.length; ++c) out[c + 1].push(null);
      }
      out[0].push(t[i]);
      for (let c = 0; c < columns.length; ++c) out[c + 1].push(columns[c][i] ?? null);
    }
    return out;
  }

  // 24-hour clock on the time axis; wider periods show the day, then the month.
  function axisTime(seconds, span) {
    if (seconds == null) return '';
    const d = new Date(seconds * 1000);
    if (span <= 2 * 86400) return `${pad(d.getHours())}:${pad(d.getMinutes())}`;
    if (span <= 62 * 86400) return `${pad(d.getDate())}.${pad(d.getMonth() + 1)}.`;
    return `${d.getFullYear()}-${pad(d.getMonth() + 1)}`;
  }

  function drawChart(view, error) {
    const f = view.fields;
    if (view.chart) {
      view.chart.destroy();
      view.chart = null;
    }
    f.chart.replaceChildren();
    delete f.chart.dataset.from;
    delete f.chart.dataset.to;
    const key = f.quantity.value;
    const q = QUANTITIES[key] || {label: key, unit: ''};
    const h = view.history;
    const s = h && h.series ? h.series[key] : null;
    const t = h && Array.isArray(h.t) ? h.t : [];
    const label = `${q.label} of ${view.name}, ${f.range.selectedOptions[0].textContent.toLowerCase()}: minimum, average and maximum`;
    f.chart.setAttribute('aria-label', label);
    if (error) {
      f.chartNote.textContent = error;
      return;
    }
    const has = s && t.length > 0 && ['min', 'avg', 'max'].every((k) => Array.isArray(s[k])) &&
      s.avg.some((v) => v !== null);
    if (!has) {
      f.chartNote.textContent = 'No readings recorded in this period yet (rows are written once a minute).';
      return;
    }
    f.chartNote.textContent = '';
    const unitSuffix = q.unit ? ` ${q.unit}` : '';
    const fmt = (u, v) => (v == null ? '–' : `${formatNumber(v)}${unitSuffix}`);
    const opts = {
      width: chartWidth(view),
      height: chartHeight(),
      // The whole period asked for, even where the store has no rows yet. uPlot's own range
      // around a single row spans years, so it is not consulted when the period is known.
      scales: {x: {time: true, range: (u, lo, hi) => (Number.isFinite(h.from) && Number.isFinite(h.to) && h.from < h.to ?
        [h.from, h.to] : [lo, lo === hi ? hi + (Number(h.step) || 60) : hi])}},
      series: [
        {label: 'Time', value: (u, v) => (v == null ? '–' : formatTime(v * 1000))},
        {label: 'Min', stroke: 'rgba(37, 99, 235, 0.45)', width: 1, value: fmt},
        {label: 'Average', stroke: '#1d4ed8', width: 2, value: fmt},
        {label: 'Max', stroke: 'rgba(37, 99, 235, 0.45)', width: 1, value: fmt},
      ],
      bands: [{series: [3, 1], fill: 'rgba(37, 99, 235, 0.15)'}],
      // The span drawn, for those who cannot see the axis.
      hooks: {setScale: [(u, scale) => {
        if (scale !== 'x' || u.scales.x.min == null) return;
        const {min, max} = u.scales.x;
        f.chart.setAttribute('aria-label', `${label}, ${formatTime(min * 1000)} to ${formatTime(max * 1000)}`);
        f.chart.dataset.from = String(min);
        f.chart.dataset.to = String(max);
      }]},
      axes: [{values: (u, splits) => splits.map((v) => axisTime(v, u.scales.x.max - u.scales.x.min))}, {label: q.label + (q.unit ? ` (${q.unit})` : ''), size: 60}],
    };
    try {
      view.chart = new uPlot(opts, withGaps(t, [s.min, s.avg, s.max], Number(h.step) || 60), f.chart);
    } catch (err) {
      f.chart.replaceChildren();
      f.chartNote.textContent = `History: the answer could not be drawn (${err.message})`;
    }
  }

  // ---- events ------------------------------------------------------------------------------

  function eventRow(ev) {
    const cell = (label, content, cls = '') => {
      const td = el('td', {class: cls}, content);
      td.dataset.label = label;
      return td;
    };
    return el('tr', {},
      cell('Time', typeof ev.time === 'number' ? formatTime(ev.time) : '', 'nowrap ev-time'),
      cell('Unit', ev.unit || '', 'ev-unit'),
      cell('Kind', el('span', {class: `kind kind-${String(ev.kind || '').replace(/[^a-z]/g, '')}`,
        text: ev.kind || ''}), 'ev-kind'),
      cell('Text', ev.text || '', 'ev-text'),
      cell('User', ev.user || '', 'ev-user'),
      cell('Peer', ev.peer || '', 'ev-peer'));
  }

  const newerThan = (a, b) => a.time !== b.time ? a.time > b.time : a.id > b.id;

  // Newest first, whichever way an event came (stream or a catch-up fetch), and listed once.
  function addEvents(list) {
    const body = $('#events tbody');
    for (const ev of list) {
      if (!ev || ev.id === undefined || seenEvents.has(ev.id)) continue;
      seenEvents.add(ev.id);
      const key = {time: typeof ev.time === 'number' ? ev.time : 0, id: ev.id};
      lastEventTime = Math.max(lastEventTime, key.time);
      const row = eventRow(ev);
      row.eventKey = key;
      let before = body.firstElementChild;
      while (before && !newerThan(key, before.eventKey)) before = before.nextElementSibling;
      body.insertBefore(row, before);
    }
    while (body.rows.length > MAX_EVENTS) body.deleteRow(-1);
    $('#events-empty').hidden = body.rows.length > 0;
  }

  async function loadEvents(sinceMs) {
    try {
      const data = await api(`/events?since=${Math.floor(sinceMs)}&limit=${MAX_EVENTS}`);
      const list = data && Array.isArray(data.events) ? data.events : [];
      addEvents(list);
    } catch (err) {
      showLoadError(describeError(err, 'Events'));
    }
  }

  // ---- live stream -------------------------------------------------------------------------

  // When the service last said anything (a unit, an event, a ping), and since when it has not.
  let lastHeard = Date.now();
  let down = null;

  function showDown(view) {
    const f = view.fields;
    view.node.classList.add('unreachable');
    f.state.className = 'state state-grey';
    const text = `vesperod not answering since ${formatTime(down)}`;
    setText(f.stateText, text);
    setText(f.stateStatus, '');
    f.state.setAttribute('aria-label', `${view.name}: ${text}`);
    setText(f.banner, text);
    f.banner.className = 'banner banner-down';
    f.banner.hidden = false;
  }

  function checkSilence() {
    if (down === null && Date.now() - lastHeard > SILENCE_MS) {
      down = lastHeard;
      setConnection(`vesperod not answering since ${formatTime(down)}`, false);
      for (const view of units.values()) showDown(view);
    }
  }

  // Something came: the service is there. After a silence, what it says now replaces what the
  // page last knew.
  function heard() {
    lastHeard = Date.now();
    if (down === null) return;
    down = null;
    setConnection('Live', true);
    for (const view of units.values()) {
      view.node.classList.remove('unreachable');
      if (view.data) renderUnit(view.data);
    }
    reloadUnits();
    loadEvents(lastEventTime ? lastEventTime : Date.now() - 86400000);
  }

  async function reloadUnits() {
    try {
      const data = await api('/ups');
      for (const unit of data.units || []) renderUnit(unit);
      for (const view of units.values()) loadHistory(view);
      showLoadError('');
    } catch (err) {
      showLoadError(describeError(err, 'Units'));
    }
  }

  setInterval(checkSilence, 500);

  function setConnection(text, ok) {
    const c = $('#connection');
    c.textContent = text;
    c.classList.toggle('ok', ok);
  }

  let stream = null;

  function openStream() {
    const es = new EventSource(API + '/stream');
    stream = es;
    es.addEventListener('open', () => {
      heard();
      setConnection('Live', true);
      // Events raised before the stream (re)opened are fetched once it is up; doubles drop out.
      loadEvents(lastEventTime ? lastEventTime : Date.now() - 86400000);
    });
    es.addEventListener('ping', heard);
    es.addEventListener('ups', (e) => {
      heard();
      try { renderUnit(JSON.parse(e.data)); } catch (err) { console.warn('bad unit update', err); }
    });
    es.addEventListener('event', (e) => {
      heard();
      try { addEvents([JSON.parse(e.data)]); } catch (err) { console.warn('bad event', err); }
    });
    es.addEventListener('error', () => {
      if (es !== stream) return;  // one replaced after a login or logout
      if (es.readyState === EventSource.CLOSED) {
        // The browser gives up on an HTTP error; try again ourselves, gently.
        setConnection('Disconnected; retrying in 5 s…', false);
        es.close();
        setTimeout(() => { if (es === stream) openStream(); }, 5000);
      } else if (down === null) {
        setConnection('Connection lost; reconnecting…', false);
      }
    });
  }

  // Events name users and addresses only to those logged in, the stream's as well as the list's:
  // after a login or a logout both are asked again.
  function restartStream() {
    if (stream) stream.close();
    $('#events tbody').replaceChildren();
    seenEvents.clear();
    lastEventTime = 0;
    openStream();
  }

  // ---- login -------------------------------------------------------------------------------

  function setSession(user, csrf) {
    const changed = (user || null) !== session.user;
    session.user = user || null;
    session.csrf = user ? csrf : null;
    $('#login').hidden = Boolean(session.user);
    $('#session').hidden = !session.user;
    $('#session-user').textContent = session.user || '';
    for (const view of units.values()) renderCommands(view);
    if (changed && stream) restartStream();
  }

  function loginMessage(text) {
    $('#login-message').textContent = text;
  }

  $('#login').addEventListener('submit', async (e) => {
    e.preventDefault();
    const user = $('#login-user').value;
    const password = $('#login-password').value;
    loginMessage('');
    try {
      const reply = await api('/login', {method: 'POST', body: {user, password}});
      $('#login-password').value = '';
      setSession(reply.user, reply.csrf);
    } catch (err) {
      if (err instanceof HttpError && err.status === 401) loginMessage(`Login failed: ${err.message || 'wrong user or password'}`);
      else if (err instanceof HttpError && err.status === 503) loginMessage(`Login not checked: ${err.message || 'busy; try again'}`);
      else loginMessage(describeError(err, 'Login'));
    }
  });

  $('#logout').addEventListener('click', async () => {
    loginMessage('');
    try {
      await api('/logout', {method: 'POST', csrf: session.csrf});
    } catch (err) {
      // The session is gone from this page either way; say why the server disagreed.
      if (!(err instanceof HttpError && err.status === 401)) loginMessage(describeError(err, 'Log out'));
    }
    setSession(null, null);
  });

  // ---- start -------------------------------------------------------------------------------

  function showLoadError(text) {
    const p = $('#load-error');
    p.textContent = text;
    p.hidden = !text;
  }

  async function refreshSession() {
    try {
      const s = await api('/session');
      setSession(s && s.user, s && s.csrf);
    } catch (err) {
      setSession(null, null);
    }
  }

  async function start() {
    await refreshSession();
    try {
      const data = await api('/ups');
      $('#server').textContent = data.version ? `${data.server || 'vesperod'} ${data.version}` : '';
      for (const unit of data.units || []) renderUnit(unit);
      if (!data.units || data.units.length === 0) showLoadError('This server monitors no unit.');
    } catch (err) {
      showLoadError(describeError(err, 'Units'));
    }
    await loadEvents(Date.now() - 86400000);
    openStream();
  }

  start();
})();
