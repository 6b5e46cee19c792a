// The page's logic: one live stream of documents from mokctl view, drawn at
// the browser's frame rate; actions posted back with the token. window.mokView
// holds the page's model (the last drawn profile, frame and update rates) so
// that tests and curious users can read what is on screen.
'use strict';

const $ = (id) => document.getElementById(id);
const params = new URLSearchParams(location.search);
const view = (window.mokView = {
  doc: null, updates: 0, draws: 0, fps: 0, updateRate: 0,
  plot: new ProfilePlot($('plot')), lost: false, notice: '',
});
let token = params.get('token') || '';
let dirty = false, lastMessageAt = 0, backUntil = 0;
let videoSeq = 0, videoLoading = false, snapshotSeq = 0;

function fmt(v, digits = 2, unit = '') {
  return v === null || v === undefined ? '-' : `${(+v).toFixed(digits)}${unit}`;
}

function showError(text) {
  const e = $('error');
  e.textContent = text || '';
  e.classList.toggle('hidden', !text);
}

// Posts an action; the answer's error sentence is shown on the page.
async function act(path, fields) {
  try {
    const r = await fetch(path, {
      method: 'POST',
      headers: { 'X-Mok-Request': '1', 'X-Mok-Token': token || $('token').value,
                 'Content-Type': 'application/x-www-form-urlencoded' },
      body: new URLSearchParams(fields),
    });
    const answer = await r.json().catch(() => ({}));
    showError(r.ok ? '' : answer.error || `${r.status} ${r.statusText}`);
    return r.ok;
  } catch (err) {
    showError(`mokctl view does not answer (${err.message}).`);
    return false;
  }
}

function setParam(name, value) {
  if (name !== 'laser' && !/^\d{1,10}$/.test(value) || (name !== 'laser' && +value > 4294967295)) {
    showError(`The ${name} takes a whole number from 0 to 4294967295.`);
    return;
  }
  act('/api/set', { name, value });
}

for (const button of document.querySelectorAll('button[data-param]')) {
  const name = button.dataset.param;
  button.onclick = () => setParam(name, $(`p-${name}-input`).value.trim());
}
$('laser-on').onclick = () => setParam('laser', 'on');
$('laser-off').onclick = () => setParam('laser', 'off');
$('snapshot-take').onclick = () => act('/api/snapshot', {});
$('video-on').onclick = () => act('/api/video', { on: '1' });
$('video-off').onclick = () => act('/api/video', { on: '0' });
$('record-start').onclick = () => act('/api/record', { action: 'start' });
$('record-stop').onclick = () => act('/api/record', { action: 'stop' });
$('history-seconds').oninput = () => {
  const s = encodeURIComponent($('history-seconds').value);
  $('download-csv').href = `/api/profiles.csv?seconds=${s}`;
  $('download-ply').href = `/api/profiles.ply?seconds=${s}`;
};

// The banner: loss and silence at once, and a short note when all is well again.
function updateNotice(doc, now) {
  const c = doc ? doc.connection : null;
  let text = '', cls = '';
  if (!doc) {
    text = 'Waiting for the first live update from mokctl view…'; cls = 'quiet';
  } else if (now - lastMessageAt > 1500) {
    text = 'mokctl view does not answer: the page is not live.'; cls = 'lost';
  } else if (!c.connected) {
    text = `Connection to the camera lost (${c.state}) ${c.for_s.toFixed(0)} s ago; mokctl keeps trying.`; cls = 'lost';
  } else if (c.quiet_s > 1.5) {  // a camera reports its registers every second even with the laser off
    text = `The camera has sent nothing for ${c.quiet_s.toFixed(1)} s.`; cls = 'quiet';
  }
  if (cls && doc) {
    view.lost = true;
  } else if (view.lost) {
    view.lost = false;
    backUntil = now + 5000;
  }
  if (!cls && now < backUntil) { text = 'Connection to the camera is back.'; cls = 'back'; }
  const n = $('notice');
  n.textContent = text;
  n.className = `notice ${cls}${cls ? '' : ' hidden'}`;
  view.notice = cls;
}

function renderParams(doc) {
  for (const name of ['exposure', 'laser', 'strength', 'task']) {
    const v = doc.params[name];
    $(`p-${name}-value`).textContent = v === null ? 'not reported' : name === 'laser' ? (v ? 'on' : 'off') : v;
    const p = doc.pending[name], state = $(`p-${name}-state`);
    if (!p) {
      state.textContent = ''; state.className = 'small';
    } else {
      const shown = name === 'laser' ? (p.value ? 'on' : 'off') : p.value;
      state.textContent = p.for_s < 5 ? `${shown} sent, waiting for the camera`
                                      : `${shown} not confirmed after ${p.for_s.toFixed(0)} s`;
      state.className = `small ${p.for_s < 5 ? 'pending' : 'failed'}`;
    }
  }
}

function renderMedia(doc) {
  const s = doc.snapshot;
  $('snapshot-state').textContent = s.busy ? 'waiting for the image…' : s.error || (s.seq ? `${s.format}` : '');
  if (s.seq !== snapshotSeq) {
    snapshotSeq = s.seq;
    $('snapshot').src = `/api/snapshot?seq=${s.seq}`;
    $('snapshot').classList.remove('hidden');
    $('snapshot-download').classList.remove('hidden');
  }
  const v = doc.video;
  $('video-state').textContent = !v.available ? 'not in this build' : v.error ||
    (v.on ? `${v.frames} frames, ${v.width}×${v.height}` : 'off');
  $('video').classList.toggle('hidden', !v.on || !v.seq);
  if (v.on && v.seq !== videoSeq && !videoLoading) {
    // One frame at a time: a slow page sees fewer frames, never a backlog.
    videoSeq = v.seq; videoLoading = true;
    $('video').src = `/api/video.jpg?seq=${v.seq}`;
  }
  const r = doc.record;
  $('record-state').textContent = r.error || (r.path ? `${r.active ? 'recording' : 'recorded'} ${r.path}: ` +
    `${r.packets} packets, ${(r.bytes / 1e6).toFixed(1)} MB` : '');
  $('history-span').textContent = `(${doc.history.span_s.toFixed(1)} s kept)`;
}
$('video').onload = $('video').onerror = () => { videoLoading = false; };

function render(doc) {
  const c = doc.connection, st = doc.stats;
  $('camera').textContent = doc.camera;
  $('conn-badge').textContent = c.state;
  $('conn-badge').className = `badge ${c.connected ? 'ok' : 'bad'}`;
  $('mode').textContent = doc.read_only ? 'read-only' : doc.token_required ? 'token required' : '';
  $('token-row').classList.toggle('hidden', !doc.token_required || !!token);
  $('conn-state').textContent = `${c.state} for ${c.for_s.toFixed(0)} s`;
  $('rate').textContent = fmt(doc.rate_hz, 0);
  $('latency').textContent = fmt(doc.latency_ms, 2, ' ms');
  $('since-last').textContent = fmt(doc.since_last_s, 1, ' s');
  $('results').textContent = doc.results;
  $('drops').textContent = `${st.scan_results_rejected} rejected, ${st.frames_dropped} frames dropped, ` +
    `${st.send_refused_queue_full} sends refused`;
  $('reconnects').textContent = Math.max(0, st.connections_established - 1);
  $('device').textContent = `${doc.params.board_id ?? '-'} / ${doc.params.serial_number ?? '-'}`;
  const p = doc.profile, seam = p ? p.seam : null;
  $('point-count').textContent = p ? p.count : '-';
  $('seam-found').textContent = seam ? (seam.found ? 'yes' : 'no') : '-';
  $('seam-y').textContent = seam && seam.found ? fmt(seam.y, 2) : '-';
  $('seam-z').textContent = seam && seam.found ? fmt(seam.z, 2) : '-';
  $('seam-width').textContent = seam && seam.found ? fmt(seam.width, 2) : '-';
  $('seam-height').textContent = seam && seam.found ? fmt(seam.height, 2) : '-';
  $('seam-angle').textContent = seam && seam.found ? fmt(seam.angle, 1) : '-';
  renderParams(doc);
  renderMedia(doc);
  $('stats').replaceChildren(...Object.entries(st).map(([k, v]) => {
    const tr = document.createElement('tr');
    tr.innerHTML = `<th>${k.replaceAll('_', ' ')}</th><td>${v}</td>`;
    return tr;
  }));
}

// The plot follows every update; the figures around it change five times a
// second, which is as fast as anyone reads them and spares the page's layout.
let lastRender = 0, renderDue = false;
function frame() {
  const now = performance.now();
  updateNotice(view.doc, now);
  if (renderDue && now - lastRender >= 200) {
    renderDue = false;
    lastRender = now;
    render(view.doc);
  }
  if (dirty && view.doc) {
    dirty = false;
    const doc = view.doc, p = doc.profile;
    const stale = !p || doc.since_last_s > 0.5;
    const message = !p ? 'no profile yet' : stale ? `no profiles for ${doc.since_last_s.toFixed(1)} s` : '';
    view.plot.draw(p ? p.points : [], p ? p.seam : null, doc.trail, stale, message);
    view.lastPoints = view.plot.lastDrawn.points;
    view.draws++;
  }
  requestAnimationFrame(frame);
}

// Frame and update rates, once a second.
let countedDraws = 0, countedUpdates = 0;
setInterval(() => {
  view.fps = view.draws - countedDraws; countedDraws = view.draws;
  view.updateRate = view.updates - countedUpdates; countedUpdates = view.updates;
  $('page-fps').textContent = view.fps;
  $('page-ups').textContent = view.updateRate;
}, 1000);

const events = new EventSource('/events');
events.onmessage = (e) => {
  view.doc = JSON.parse(e.data);
  view.updates++;
  lastMessageAt = performance.now();
  dirty = true;
  renderDue = true;
};
requestAnimationFrame(frame);
