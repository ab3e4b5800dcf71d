// kivhost's web console: the loaded plugins' endpoints from /openapi.json,
// a form per endpoint, the answer and its curl line, the live event stream
// and the simulated peers. It talks to its own host only, so the host's
// Host and Origin rules let every one of its requests through.
'use strict';

const METHODS = ['get', 'put', 'post', 'delete', 'options', 'head', 'patch'];
const MAX_EVENTS = 500;

const $ = (selector) => document.querySelector(selector);

function make(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('data-') || key.startsWith('aria-') || key === 'for') node.setAttribute(key, value);
    else node[key] = value;
  }
  node.append(...children);
  return node;
}

const shellQuote = (text) => `'${text.replace(/'/g, "'\\''")}'`;

function pretty(text) {
  try {
    return JSON.stringify(JSON.parse(text), null, 2);
  } catch {
    return text;
  }
}

// ---- The endpoints ------------------------------------------------------

const ui = { doc: null, operation: null };

function resolve(schema) {
  const ref = schema && schema.$ref;
  if (!ref || !ref.startsWith('#/components/schemas/')) return schema || {};
  return ui.doc.components.schemas[ref.slice('#/components/schemas/'.length)] || {};
}

function operationsOf(doc) {
  const out = [];
  for (const [path, item] of Object.entries(doc.paths || {})) {
    for (const method of METHODS) if (item[method]) out.push({ method: method.toUpperCase(), path, op: item[method] });
    for (const [method, op] of Object.entries(item['x-kiv-other-methods'] || {})) out.push({ method, path, op });
  }
  return out;
}

// Under its plugin's heading a path needs no "/<plugin>" in front.
function shortPath(path, plugin) {
  return path.startsWith(`/${plugin}/`) ? path.slice(plugin.length + 1) : path;
}

async function loadEndpoints() {
  const answer = await fetch('/openapi.json');
  ui.doc = await answer.json();
  const plugins = (ui.doc['x-kiv-plugins'] || []).map((p) => p.name);
  $('#plugins-summary').textContent = plugins.length ? plugins.join(', ') : 'no plugins loaded';
  const operations = operationsOf(ui.doc);
  const box = $('#endpoints');
  box.replaceChildren();
  for (const plugin of plugins) {
    const list = make('ul');
    for (const entry of operations.filter((o) => o.op['x-kiv-plugin'] === plugin)) {
      const button = make(
        'button',
        { type: 'button', class: 'endpoint', 'data-operation': entry.op.operationId, title: [`${entry.method} ${entry.path}`, entry.op.summary].filter(Boolean).join(' — ') },
        make('span', { class: `method ${entry.method}`, text: entry.method }),
        make('span', { class: 'path mono', text: shortPath(entry.path, plugin) }),
      );
      button.addEventListener('click', () => choose(entry, button));
      list.append(make('li', {}, button));
    }
    box.append(make('section', { class: 'plugin', 'data-plugin': plugin }, make('h3', { text: plugin }), list));
  }
}

function filterEndpoints() {
  const wanted = $('#endpoint-filter').value.trim().toLowerCase();
  for (const button of document.querySelectorAll('.endpoint')) {
    button.parentElement.hidden = wanted !== '' && !button.title.toLowerCase().includes(wanted);
  }
}

// ---- The request form ---------------------------------------------------

function parameterSchema(p) {
  if (p.schema) return { schema: resolve(p.schema), json: false };
  const media = Object.values(p.content || {})[0];
  return { schema: resolve(media && media.schema), json: true };
}

function typeHint(schema, json) {
  if (json) return schema.type === 'array' ? 'JSON array' : 'JSON';
  if (schema.enum) return schema.enum.join(' | ');
  if (schema.type === 'integer') return `integer ${schema.minimum ?? ''}…${schema.maximum ?? ''}`;
  return schema['x-kiv-type'] || schema.format || schema.type || 'any value';
}

// A body to start from: the schema's members with empty values.
function sample(schema, depth = 0) {
  schema = resolve(schema);
  if (depth > 4) return null;
  if (schema.enum) return schema.enum[0];
  switch (schema.type) {
    case 'object': {
      const out = {};
      for (const [name, member] of Object.entries(schema.properties || {})) out[name] = sample(member, depth + 1);
      return out;
    }
    case 'array': return [];
    case 'string': return '';
    case 'integer': case 'number': return 0;
    case 'boolean': return false;
    default: return null;
  }
}

function choose(entry, button) {
  ui.operation = entry;
  for (const b of document.querySelectorAll('.endpoint[aria-current]')) b.removeAttribute('aria-current');
  button.setAttribute('aria-current', 'true');
  const { op } = entry;
  $('#request-title').textContent = `${entry.method} ${entry.path}`;
  $('#request-summary').textContent = [op.operationId, op.summary, op.description].filter(Boolean).join(' — ');
  const params = $('#params');
  params.replaceChildren();
  for (const p of op.parameters || []) {
    const { schema, json } = parameterSchema(p);
    const id = `param-${p.in}-${p.name}`;
    let input;
    if (schema.type === 'boolean') {
      input = make('select', { id }, make('option', { value: '', text: '(not sent)' }),
        make('option', { value: 'true', text: 'true' }), make('option', { value: 'false', text: 'false' }));
    } else {
      input = make('input', { id, type: 'text', autocomplete: 'off', placeholder: typeHint(schema, json) });
      if (schema.enum) {
        // Suggestions only: a developer may well want to send a wrong name.
        const list = make('datalist', { id: `${id}-names` }, ...schema.enum.map((name) => make('option', { value: name })));
        params.append(list);
        input.setAttribute('list', list.id);
      }
    }
    input.dataset.param = p.name;
    input.dataset.in = p.in;
    if (p['x-kiv-wildcard'] === 'rest') input.dataset.rest = 'true';
    const where = p['x-kiv-wildcard'] ? `${p.in}, ${p['x-kiv-wildcard']}` : p.in;
    params.append(
      make('label', { for: id, class: p.required ? 'required' : '', text: p.name }),
      make('div', { class: 'row' }, input, make('span', { class: 'where', text: where })),
    );
  }
  const body = op.requestBody;
  $('#body-field').hidden = !body;
  if (body) {
    const types = Object.keys(body.content);
    $('#content-type').replaceChildren(...types.map((t) => make('option', { value: t, text: t })));
    const first = body.content[types[0]];
    $('#body').value = JSON.stringify(sample(first && first.schema), null, 2);
  }
  $('#request-form').hidden = false;
  updateCurl();
  const firstField = params.querySelector('input, select') || (body ? $('#body') : $('#send'));
  firstField.focus();
}

// MessagePack from JSON text, for bodies sent as application/x-msgpack.
function msgpack(value) {
  const out = [];
  const bytes = (n, count) => {
    const big = BigInt.asUintN(8 * count, BigInt(n));
    for (let i = count - 1; i >= 0; i--) out.push(Number((big >> BigInt(8 * i)) & 0xffn));
  };
  // A length: in the first byte below `fixLimit`, else after the tag of 1, 2 or 4 bytes.
  const length = (n, fix, fixLimit, [tag8, tag16, tag32]) => {
    if (n < fixLimit) out.push(fix | n);
    else if (tag8 !== null && n < 0x100) out.push(tag8, n);
    else if (n < 0x10000) { out.push(tag16); bytes(n, 2); }
    else { out.push(tag32); bytes(n, 4); }
  };
  const integer = (v) => {
    if (v >= 0 && v < 128) return out.push(v);
    if (v < 0 && v >= -32) return out.push(v & 0xff);
    const sizes = v >= 0 ? [[0x100, 0xcc, 1], [0x10000, 0xcd, 2], [0x100000000, 0xce, 4]]
      : [[0x80, 0xd0, 1], [0x8000, 0xd1, 2], [0x80000000, 0xd2, 4]];
    for (const [limit, tag, count] of sizes) {
      if ((v >= 0 && v < limit) || (v < 0 && v >= -limit)) { out.push(tag); return bytes(v, count); }
    }
    out.push(v >= 0 ? 0xcf : 0xd3);
    bytes(v, 8);
  };
  const write = (v) => {
    if (v === null) out.push(0xc0);
    else if (v === false || v === true) out.push(v ? 0xc3 : 0xc2);
    else if (typeof v === 'number' && Number.isSafeInteger(v)) integer(v);
    else if (typeof v === 'number') {
      const view = new DataView(new ArrayBuffer(8));
      view.setFloat64(0, v);
      out.push(0xcb, ...new Uint8Array(view.buffer));
    } else if (typeof v === 'string') {
      const utf8 = new TextEncoder().encode(v);
      length(utf8.length, 0xa0, 32, [0xd9, 0xda, 0xdb]);
      out.push(...utf8);
    } else if (Array.isArray(v)) {
      length(v.length, 0x90, 16, [null, 0xdc, 0xdd]);
      v.forEach(write);
    } else {
      const entries = Object.entries(v);
      length(entries.length, 0x80, 16, [null, 0xde, 0xdf]);
      for (const [key, member] of entries) { write(key); write(member); }
    }
  };
  write(value);
  return new Uint8Array(out);
}

// The request the form describes: { method, url, headers, body, curlBody }.
function buildRequest() {
  const { method, path, op } = ui.operation;
  const values = {}, query = [], headers = {};
  for (const input of document.querySelectorAll('#params [data-param]')) {
    const value = input.value;
    if (input.dataset.in === 'path') values[input.dataset.param] = input.dataset.rest ? value.split('/').map(encodeURIComponent).join('/') : encodeURIComponent(value);
    else if (value === '') continue;
    else if (input.dataset.in === 'header') headers[input.dataset.param] = value;
    else query.push(`${encodeURIComponent(input.dataset.param)}=${encodeURIComponent(value)}`);
  }
  let url = path.replace(/\{([^}]*)\}/g, (_, name) => values[name] ?? '');
  if (query.length) url += `?${query.join('&')}`;
  const request = { method, url, headers, body: undefined, curlBody: [] };
  if (op.requestBody) {
    const type = $('#content-type').value;
    const text = $('#body').value;
    headers['Content-Type'] = type;
    if (type.includes('msgpack')) {
      let value;
      try {
        value = JSON.parse(text);
      } catch (e) {
        throw new Error(`A MessagePack body is made from JSON text, and this is not JSON: ${e.message}`);
      }
      request.body = msgpack(value);
      const escaped = Array.from(request.body, (b) => `\\x${b.toString(16).padStart(2, '0')}`).join('');
      request.curlPrefix = `printf '${escaped}' | `;
      request.curlBody = ['--data-binary', '@-'];
    } else {
      request.body = text;
      request.curlBody = ['--data-binary', shellQuote(text)];
    }
  }
  return request;
}

function curlLine(request) {
  const parts = ['curl', '-i', '-X', request.method, shellQuote(location.origin + request.url)];
  for (const [name, value] of Object.entries(request.headers)) parts.push('-H', shellQuote(`${name}: ${value}`));
  return (request.curlPrefix || '') + [...parts, ...request.curlBody].join(' ');
}

function updateCurl() {
  if (!ui.operation) return;
  try {
    $('#curl').textContent = curlLine(buildRequest());
  } catch (e) {
    $('#curl').textContent = e.message;
  }
}

async function send(event) {
  event.preventDefault();
  let request;
  try {
    request = buildRequest();
  } catch (e) {
    return showAnswer({ status: 0, statusText: e.message, headers: [], body: '', ms: 0 });
  }
  $('#curl').textContent = curlLine(request);
  $('#send').disabled = true;
  const start = performance.now();
  try {
    const answer = await fetch(request.url, { method: request.method, headers: request.headers, body: request.body });
    const body = await answer.text();
    showAnswer({ status: answer.status, statusText: answer.statusText, headers: [...answer.headers], body, ms: performance.now() - start });
  } catch (e) {
    showAnswer({ status: 0, statusText: `No answer: ${e.message}`, headers: [], body: '', ms: performance.now() - start });
  } finally {
    $('#send').disabled = false;
  }
}

function showAnswer({ status, statusText, headers, body, ms }) {
  $('#answer').hidden = false;
  const shown = $('#answer-status');
  shown.textContent = status ? `${status} ${statusText}` : statusText;
  shown.className = `status ${status >= 200 && status < 300 ? 'ok' : 'bad'}`;
  $('#answer-time').textContent = `${ms.toFixed(1)} ms`;
  $('#answer-body').textContent = body === '' ? '(no body)' : pretty(body);
  $('#answer-headers').textContent = headers.map(([name, value]) => `${name}: ${value}`).join('\n');
}

async function copyCurl() {
  const text = $('#curl').textContent;
  try {
    await navigator.clipboard.writeText(text);
    $('#copy-curl').textContent = 'Copied';
  } catch {
    getSelection().selectAllChildren($('#curl'));
    $('#copy-curl').textContent = 'Selected';
  }
  setTimeout(() => { $('#copy-curl').textContent = 'Copy curl'; }, 1500);
}

// ---- The event stream ---------------------------------------------------

const stream = { source: null, lastSeq: 0, seen: new Set(), paused: false, held: [], lost: false, retry: 1000, timer: 0 };

function setStreamState(text, kind) {
  const badge = $('#stream-state');
  badge.textContent = text;
  badge.className = kind;
}

function showState() {
  if (stream.lost) return;
  setStreamState(stream.paused ? `paused, ${stream.held.length} held` : 'live', stream.paused ? 'paused' : 'live');
}

function matchesFilter(node) {
  const wanted = $('#event-filter').value.trim();
  return wanted === '' || (node.dataset.uri || '').includes(wanted);
}

function notice(text) {
  $('#event-list').prepend(make('li', { class: 'notice', text: `${new Date().toLocaleTimeString()} ${text}` }));
}

function render(event) {
  const uri = event.uri ?? event.name;
  const data = 'data' in event ? event.data : event.payload;
  const node = make(
    'li',
    { class: 'event', 'data-seq': String(event.seq), 'data-uri': uri },
    make('div', { class: 'head' },
      make('span', { class: `type ${event.eventType || ''}`, text: event.eventType || 'Event' }),
      make('span', { class: 'uri mono', text: uri })),
    make('code', { class: 'data', text: data === undefined ? '' : JSON.stringify(data) }),
    make('div', { class: 'meta', text: `#${event.seq} · ${new Date().toLocaleTimeString()} · from ${event.source} · ${event.name}` }),
  );
  node.hidden = !matchesFilter(node);
  const list = $('#event-list');
  list.prepend(node);
  while (list.children.length > MAX_EVENTS) list.lastElementChild.remove();
}

function receive(event) {
  if (stream.seen.has(event.seq)) return;
  stream.seen.add(event.seq);
  stream.lastSeq = Math.max(stream.lastSeq, event.seq);
  if (stream.paused) {
    stream.held.push(event);
    showState();
  } else {
    render(event);
  }
}

// What happened while the stream was down comes from the host's records.
async function catchUp(since) {
  try {
    const answer = await fetch(`/kivhost/events?since=${since}`);
    const missed = (await answer.json()).filter((e) => !stream.seen.has(e.seq));
    notice(`reconnected; ${missed.length} missed event(s) fetched`);
    missed.forEach(receive);
  } catch (e) {
    notice(`reconnected; the missed events could not be fetched: ${e.message}`);
  }
}

function connect() {
  clearTimeout(stream.timer);
  const source = new EventSource('/events');
  stream.source = source;
  source.onopen = () => {
    const wasLost = stream.lost;
    stream.lost = false;
    stream.retry = 1000;
    // Sequence numbers start over when the host does: only this connection's count.
    stream.seen = new Set();
    showState();
    if (wasLost) catchUp(stream.lastSeq);
  };
  source.onmessage = (message) => {
    try {
      receive(JSON.parse(message.data));
    } catch {
      notice('an event that is not JSON was skipped');
    }
  };
  source.onerror = () => {
    if (!stream.lost) notice('the event stream was lost');
    stream.lost = true;
    if (source.readyState === EventSource.CLOSED) {
      // Refused (all streams taken, say): the browser gives up, this page does not.
      const seconds = Math.round(stream.retry / 1000);
      setStreamState(`lost, retrying in ${seconds} s`, 'lost');
      stream.timer = setTimeout(connect, stream.retry);
      stream.retry = Math.min(stream.retry * 2, 15000);
    } else {
      setStreamState('lost, reconnecting…', 'lost');
    }
  };
}

function togglePause() {
  stream.paused = !stream.paused;
  const button = $('#event-pause');
  button.setAttribute('aria-pressed', String(stream.paused));
  button.textContent = stream.paused ? 'Resume' : 'Pause';
  if (!stream.paused) {
    const held = stream.held;
    stream.held = [];
    held.forEach(render);
  }
  showState();
}

function applyFilter() {
  for (const node of document.querySelectorAll('#event-list .event')) node.hidden = !matchesFilter(node);
}

// ---- The simulated peers ------------------------------------------------

const peers = { names: new Map() };

async function peerCall(method, url, body) {
  const init = { method };
  if (body !== undefined) {
    init.headers = { 'Content-Type': 'application/json' };
    init.body = JSON.stringify(body);
  }
  const answer = await fetch(url, init);
  const text = await answer.text();
  let error = '';
  try {
    error = JSON.parse(text).error || '';
  } catch { /* not JSON: no error text */ }
  return { ok: answer.ok, status: answer.status, line: `${method} ${url} → ${answer.status}${error ? `: ${error}` : ''}` };
}

function fill(select, ids) {
  const keep = select.value;
  select.replaceChildren(...ids.map((id) => make('option', { value: String(id), text: `${peers.names.get(id) ?? '?'} (${id})` })));
  if (ids.map(String).includes(keep)) select.value = keep;
}

async function loadPeers() {
  const answer = await fetch('/kivhost/peers');
  if (!answer.ok) {
    $('#peers-panel').replaceChildren(make('h2', { text: 'Simulated peers' }),
      make('p', { class: 'muted', text: 'The peers are not simulated (kivhost runs with --no-peers).' }));
    return;
  }
  const state = await answer.json();
  peers.names = new Map(state.summoners.map((s) => [s.summonerId, s.displayName]));
  const everyone = state.summoners.map((s) => s.summonerId);
  fill($('#peer-login-as'), everyone);
  fill($('#peer-from'), state.friends);
  fill($('#peer-block-who'), everyone);
  const me = state.session && state.session.summonerId;
  const blocked = state.blockedPlayers.map((id) => peers.names.get(id) ?? id).join(', ') || 'nobody';
  $('#peers-session').textContent = `${me ? `Logged in as ${peers.names.get(me)} (${me})` : 'Nobody is logged in'}; blocked: ${blocked}`;
}

async function peerAction(steps) {
  const lines = [];
  try {
    for (const step of steps) {
      const result = await step();
      lines.push(result.line);
      if (!result.ok) break;
    }
  } catch (e) {
    lines.push(`failed: ${e.message}`);
  }
  $('#peer-result').textContent = lines.join('\n');
  await loadPeers().catch(() => {});
}

function setUpPeers() {
  $('#peer-login-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const id = Number($('#peer-login-as').value);
    peerAction([() => peerCall('PUT', '/kiv-login/v1/session', { summonerId: id })]);
  });
  $('#peer-send-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const id = Number($('#peer-from').value);
    const text = $('#peer-message').value;
    // The conversation first (an existing one is simply answered), then the message in it.
    peerAction([
      () => peerCall('POST', '/kiv-chat/v1/conversations', { id, type: 'chat' }),
      () => peerCall('POST', `/kiv-chat/v1/conversations/${id}/messages`, { body: text, fromId: id, type: 'chat' }),
    ]);
  });
  $('#peer-block-form').addEventListener('submit', (e) => {
    e.preventDefault();
    peerAction([() => peerCall('POST', '/kiv-chat/v1/blocked-players', { summonerId: Number($('#peer-block-who').value) })]);
  });
  $('#peer-unblock').addEventListener('click', () => {
    peerAction([() => peerCall('DELETE', `/kiv-chat/v1/blocked-players/${Number($('#peer-block-who').value)}`)]);
  });
}

// ---- Start --------------------------------------------------------------

function start() {
  $('#endpoint-filter').addEventListener('input', filterEndpoints);
  $('#request-form').addEventListener('submit', send);
  $('#request-form').addEventListener('input', updateCurl);
  $('#content-type').addEventListener('change', updateCurl);
  $('#body').addEventListener('keydown', (e) => {
    if (e.key === 'Enter' && (e.ctrlKey || e.metaKey)) $('#request-form').requestSubmit();
  });
  $('#copy-curl').addEventListener('click', copyCurl);
  $('#event-pause').addEventListener('click', togglePause);
  $('#event-clear').addEventListener('click', () => $('#event-list').replaceChildren());
  $('#event-filter').addEventListener('input', applyFilter);
  document.addEventListener('keydown', (e) => {
    const typing = e.target.closest('input, textarea, select');
    if (e.key === '/' && !typing) {
      e.preventDefault();
      $('#endpoint-filter').focus();
    }
  });
  setUpPeers();
  connect();
  loadEndpoints().catch((e) => { $('#plugins-summary').textContent = `cannot read /openapi.json: ${e.message}`; });
  loadPeers().catch((e) => { $('#peer-result').textContent = `cannot read the peers: ${e.message}`; });
}

start();
