// The scoreboard page: draws the board's state from the feed into a fixed set of elements.
// Elements are built once and only their texts and data attributes change, so a clock tick
// touches one text node. Every text from the board (names, teams) is set as text.
'use strict';

(() => {
  const F = KelpFeed;
  const $ = (id) => document.getElementById(id);
  const RESULTS_SECONDS = F.option('results', 20, 0, 3600);  // ?results=0: never pop up

  const SIGNAL_TEXT = {
    connecting: ['Connecting', 'Waiting for the board from kelp-capture.'],
    nosignal: ['No signal',
      'kelp-capture cannot be reached. Retrying; the values shown are not live.'],
    stale: ['Signal stale', 'No data from the console. The values shown are the last it sent.'],
    ended: ['Recording ended', 'Final board of the recording'],
    live: ['', ''],
  };

  const head = {event: $('event'), heat: $('heat'), clock: $('clock'), lengths: $('lengths'),
    tod: $('time-of-day'), lengthsField: $('lengths-field'), note: $('board-note')};

  // One row per lane, 1-10, built once; rows past the lanes shown are hidden.
  const rows = [];
  const lanesBox = $('lanes');
  for (let n = 1; n <= 10; n++) {
    const row = F.el('div', 'lane');
    row.dataset.laneRow = '';
    row.dataset.lane = String(n);
    const seg = (cls, ghost) => {
      const cell = F.el('div', 'cell ' + cls);
      const box = F.el('span', 'seg');
      box.dataset.ghost = ghost;
      const v = F.el('span', 'v');
      box.appendChild(v);
      cell.appendChild(box);
      row.appendChild(cell);
      return v;
    };
    const text = (cls) => {
      const cell = F.el('div', 'cell ' + cls);
      row.appendChild(cell);
      return cell;
    };
    const r = {row, lane: seg('cell-lane', '88'), place: seg('cell-place', '8'),
      name: text('cell-name'), team: text('cell-team'), time: seg('cell-time', '88:88.88')};
    r.lane.dataset.field = 'lane';
    r.place.dataset.field = 'place';
    r.name.dataset.field = 'name';
    r.team.dataset.field = 'team';
    r.time.dataset.field = 'time';
    F.setText(r.lane, n);
    rows.push(r);
    lanesBox.appendChild(row);
  }

  let count = 0;
  const showLanes = (n) => {
    if (n === count) return;
    count = n;
    document.documentElement.style.setProperty('--lanes', String(n));
    rows.forEach((r, i) => { r.row.hidden = i >= n; });
  };

  const numberText = (v) => (Number.isInteger(v) ? String(v) : '');
  const clockText = (v) => (typeof v === 'string' ? v.trim() : '');

  function drawLane(r, lane, clock) {
    const shows = lane.running ? 'running' : lane.time ? 'result' : 'none';
    F.setData(r.row, 'lit', lane.lit !== false);
    F.setData(r.row, 'running', !!lane.running);
    F.setData(r.row, 'shows', shows);
    F.setData(r.row, 'place', numberText(lane.place));
    F.setText(r.place, numberText(lane.place));
    F.setText(r.name, lane.name || '');
    F.setText(r.team, lane.team || '');
    // A lane in the water shows the running time, in the water's colour: the lane's own cells
    // hold no time then, and the board's lane modules show the clock there.
    const time = lane.running ? clockText(clock) : clockText(lane.time);
    F.setText(r.time, time);
    F.setData(r.time, 'shows', shows);
    r.time.classList.toggle('short', lane.running && /\.\d$/.test(time));
    if (r.name.title !== (lane.name || '')) r.name.title = lane.name || '';  // the whole name
  }

  function draw(state) {
    showLanes(F.lanesShown(state));
    F.setText(head.event, numberText(state.event));
    F.setText(head.heat, numberText(state.heat));
    F.setText(head.clock, clockText(state.clock));
    F.setText(head.tod, clockText(state.time_of_day));
    F.setText(head.lengths, numberText(state.lengths));
    F.setData(head.lengthsField, 'empty', !Number.isInteger(state.lengths));
    const byLane = new Map(state.lanes.map((l) => [l.lane, l]));
    rows.forEach((r, i) => {
      const lane = byLane.get(i + 1) || {lane: i + 1, lit: false};
      drawLane(r, lane, state.clock);
    });
    // After a race the console moves its event/heat on while the lanes still hold the results:
    // say whose results they are.
    const resultsUp = !state.racing && state.lanes.some((l) => l.time && !l.running);
    const other = Number.isInteger(state.results_event) &&
        (state.results_event !== state.event || state.results_heat !== state.heat);
    F.setText(head.note, resultsUp && other
        ? 'Results of event ' + state.results_event +
            (Number.isInteger(state.results_heat) ? ' heat ' + state.results_heat : '')
        : '');
    results.update(state);
  }

  // The results panel: opens when the last race changes while the page watches (not for a
  // race that ended before it opened), closes after RESULTS_SECONDS or when a race starts.
  const results = (() => {
    const panel = $('results');
    const box = $('results-rows');
    const bar = $('results-bar');
    let known;  // the last race seen, as text; undefined until the first state
    let timer = 0;
    const close = () => {
      clearTimeout(timer);
      timer = 0;
      F.setData(panel, 'open', false);
    };
    const open = (race) => {
      F.setText($('results-title'), 'Event ' + race.event + ' · Heat ' + race.heat);
      F.setText($('results-note'), race.after_the_fact ? 'Seen only after the race' : '');
      box.replaceChildren();
      for (const r of race.results || []) {
        const row = F.el('div', 'result');
        row.dataset.resultRow = '';
        row.dataset.place = numberText(r.place);
        const cell = (cls, field, text) => {
          const c = F.el('span', cls, text);
          c.dataset.field = field;
          row.appendChild(c);
        };
        cell('r-place', 'place', numberText(r.place));
        cell('r-name', 'name', r.name || '');
        cell('r-team', 'team', r.team || '');
        cell('r-lane', 'lane', numberText(r.lane));
        cell('r-time', 'time', clockText(r.time));
        box.appendChild(row);
      }
      F.setData(panel, 'open', true);
      bar.style.animationDuration = RESULTS_SECONDS + 's';
      bar.style.animationName = 'none';
      void bar.offsetWidth;  // restart the countdown
      bar.style.animationName = '';
      clearTimeout(timer);
      timer = setTimeout(close, RESULTS_SECONDS * 1000);
    };
    panel.addEventListener('click', close);
    return {
      update(state) {
        const race = state.last_race;
        const key = race ? JSON.stringify(race) : '';
        if (known !== undefined && key !== known && race && RESULTS_SECONDS > 0 &&
            Array.isArray(race.results) && race.results.length) {
          open(race);
        }
        known = key;
        if (state.racing) close();
      },
      close,
    };
  })();

  function signal(kind) {
    document.body.dataset.signal = kind;
    const [headline, detail] = SIGNAL_TEXT[kind] || SIGNAL_TEXT.nosignal;
    F.setText($('signal-head'), headline);
    F.setText($('signal-detail'), detail);
    $('signal').hidden = kind === 'live';
    if (kind === 'nosignal') results.close();
  }

  showLanes(F.lanesShown(null));
  F.start({onState: draw, onSignal: signal});
})();
