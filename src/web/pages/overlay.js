// The video overlay: a bar with event, heat and the running time, and above it a list: the
// start list before a race (names, as broadcast graphics show them), the lanes in place order
// as they finish, the results after. Rows are built once per lane and move by transform, so a
// clock tick changes one text node and nothing else redraws.
//
// Page options: ?lanes=N (1-10), ?lineup=0 (no start list before the race).
'use strict';

(() => {
  const F = KelpFeed;
  const $ = (id) => document.getElementById(id);
  const LINEUP = F.option('lineup', 1, 0, 1) === 1;

  const SIGNAL_TEXT = {
    connecting: ['', ''],
    nosignal: ['No signal', 'Scoreboard feed lost'],
    stale: ['Signal stale', 'No data from the timing console'],
    ended: ['Recording ended', ''],
    live: ['', ''],
  };
  const HEADS = {lineup: 'Start list', race: 'Finish', results: 'Results'};
  const TAGS = {lineup: 'Start list', results: 'Final', bar: ''};

  const root = $('overlay');
  const list = $('ov-list');
  const rowsBox = $('ov-rows');

  const rows = [];
  for (let n = 1; n <= 10; n++) {
    const row = F.el('div', 'ov-row');
    row.dataset.laneRow = '';
    row.dataset.lane = String(n);
    row.dataset.on = 'false';
    const cell = (cls, field) => {
      const c = F.el('span', cls);
      c.dataset.field = field;
      row.appendChild(c);
      return c;
    };
    const r = {row, n, place: cell('ov-badge', 'place'), name: cell('ov-name', 'name'),
      team: cell('ov-team', 'team'), lane: cell('ov-lane', 'lane'), time: cell('ov-time', 'time'),
      slot: -1};
    F.setText(r.lane, n);
    r.name.dataset.lane = String(n);
    rows.push(r);
    rowsBox.appendChild(row);
  }

  const numberText = (v) => (Number.isInteger(v) ? String(v) : '');
  // Broadcast style: the console's ".0" at the horn reads "0.0".
  const clockText = (v) => (typeof v === 'string' ? v.trim().replace(/^\./, '0.') : '');

  function modeOf(state, count, done) {
    if (state.racing) return 'race';
    if (done.length) return 'results';
    if (LINEUP && state.lanes.some((l) => l.lane <= count && l.name)) return 'lineup';
    if (Number.isInteger(state.event)) return 'bar';
    return 'none';
  }

  // Puts a row in its slot; a row that appears starts in place (no slide from its old slot).
  function place(r, slot) {
    if (slot === r.slot) return;
    const y = 'translateY(calc(var(--row) * ' + slot + '))';
    if (r.slot < 0) {
      r.row.style.transition = 'none';
      r.row.style.transform = y;
      void r.row.offsetWidth;
      r.row.style.transition = '';
    } else {
      r.row.style.transform = y;
    }
    r.slot = slot;
  }

  function draw(state) {
    const count = F.lanesShown(state);
    const done = F.finishers(state, count);
    const mode = modeOf(state, count, done);
    F.setData(root, 'mode', mode);

    const results = mode === 'results' && Number.isInteger(state.results_event);
    F.setText($('event'), numberText(results ? state.results_event : state.event));
    F.setText($('heat'), numberText(results ? state.results_heat : state.heat));
    F.setText($('ov-title'), typeof state.description === 'string' ? state.description : '');
    F.setText($('clock'), mode === 'race' ? clockText(state.clock) : '');
    F.setText($('ov-tag'), TAGS[mode] || '');
    F.setText($('ov-list-head'), HEADS[mode] || '');

    const shown = mode === 'lineup'
        ? state.lanes.filter((l) => l.lane <= count && l.name)
        : mode === 'race' || mode === 'results' ? done : [];
    const slots = new Map(shown.map((l, i) => [l.lane, [l, i]]));
    for (const r of rows) {
      const entry = slots.get(r.n);
      if (!entry) {
        F.setData(r.row, 'on', false);
        r.slot = -1;
        continue;
      }
      const [lane, slot] = entry;
      F.setData(r.row, 'shows', mode === 'lineup' ? 'lineup' : 'result');
      F.setData(r.row, 'lit', lane.lit !== false);
      F.setData(r.row, 'running', !!lane.running);
      F.setData(r.row, 'place', mode === 'lineup' ? '' : numberText(lane.place));
      F.setText(r.place, mode === 'lineup' ? '' : numberText(lane.place));
      F.setText(r.name, lane.name || '');  // no name: the page writes "Lane N" there itself
      F.setText(r.team, lane.team || '');
      F.setText(r.time, mode === 'lineup' ? '' : clockText(lane.time));
      place(r, slot);
      F.setData(r.row, 'on', true);
    }
    rowsBox.style.setProperty('--count', String(shown.length));
    F.setData(list, 'empty', shown.length === 0);
  }

  function signal(kind) {
    document.body.dataset.signal = kind;
    const [headline, detail] = SIGNAL_TEXT[kind] || SIGNAL_TEXT.nosignal;
    F.setText($('signal-head'), headline);
    F.setText($('signal-detail'), detail);
    $('signal').hidden = !headline;
  }

  F.start({onState: draw, onSignal: signal});
})();
