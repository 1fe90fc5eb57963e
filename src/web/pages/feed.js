// The board's live feed, shared by the board and the overlay.
//
// Reads GET /events (each message the whole board, as /board.json) and tells the page two
// things: each new state, and what the page may claim about it ("connecting", "live", "stale",
// "ended" or "nosignal"). The page never shows a value as live unless the feed says "live".
//
// A dropped stream is reopened by the browser; a stream the browser gave up on (an HTTP error,
// a wrong type) is reopened here with a growing pause. Since the tool sends only on change, a
// quiet stream can also be a dead one (a cable pulled, a laptop asleep): after a long quiet the
// feed asks /board.json once, and reopens the stream when the tool is gone or ahead of it.
'use strict';

const KelpFeed = (() => {
  const NO_SIGNAL_GRACE_MS = 1500;  // a tool restarting within this is not worth a notice
  const QUIET_CHECK_MS = 20000;     // this long without a message: ask /board.json
  const CHECK_TIMEOUT_MS = 5000;
  const REOPEN_MIN_MS = 1000;
  const REOPEN_MAX_MS = 10000;

  function start(handlers) {
    let source = null;
    let state = null;
    let link = 'connecting';  // connecting | open | lost
    let lostTimer = 0;
    let reopenTimer = 0;
    let quietTimer = 0;
    let reopenDelay = REOPEN_MIN_MS;

    const signal = () => {
      if (link === 'lost') return 'nosignal';
      if (!state) return 'connecting';
      const s = state.signal;
      return s === 'stale' || s === 'ended' ? s : 'live';
    };
    let shown = '';
    const tell = () => {
      const now = signal();
      if (now !== shown) {
        shown = now;
        handlers.onSignal(now);
      }
    };

    const lose = () => {
      if (link !== 'lost' && !lostTimer) {
        lostTimer = setTimeout(() => {
          lostTimer = 0;
          link = 'lost';
          tell();
        }, NO_SIGNAL_GRACE_MS);
      }
    };

    const accept = (next) => {
      if (!next || typeof next !== 'object' || !Array.isArray(next.lanes)) return;
      state = next;
      link = 'open';
      clearTimeout(lostTimer);
      lostTimer = 0;
      reopenDelay = REOPEN_MIN_MS;
      handlers.onState(next);
      tell();
      armQuietCheck();
    };

    const open = () => {
      clearTimeout(reopenTimer);
      reopenTimer = 0;
      if (source) source.close();
      source = new EventSource('/events');
      source.onmessage = (ev) => {
        let next = null;
        try {
          next = JSON.parse(ev.data);
        } catch (e) {
          return;  // not a board: keep what we have
        }
        accept(next);
      };
      source.onerror = () => {
        lose();
        if (source.readyState === EventSource.CLOSED) reopenLater();
      };
    };

    const reopenLater = () => {
      if (reopenTimer) return;
      reopenTimer = setTimeout(open, reopenDelay);
      reopenDelay = Math.min(reopenDelay * 2, REOPEN_MAX_MS);
    };

    const armQuietCheck = () => {
      clearTimeout(quietTimer);
      quietTimer = setTimeout(quietCheck, QUIET_CHECK_MS);
    };

    // Only while the stream looks open: a stream in error is already being retried.
    const quietCheck = () => {
      if (!source || source.readyState !== EventSource.OPEN) {
        armQuietCheck();
        return;
      }
      const abort = new AbortController();
      const timer = setTimeout(() => abort.abort(), CHECK_TIMEOUT_MS);
      fetch('/board.json', {cache: 'no-store', signal: abort.signal})
          .then((r) => (r.ok ? r.json() : Promise.reject(new Error('HTTP ' + r.status))))
          .then((now) => {
            if (state && typeof now.changes === 'number' && now.changes !== state.changes) {
              accept(now);  // the stream fell behind the tool without a word: start it anew
              open();
            }
          })
          .catch(() => {
            lose();
            open();
          })
          .finally(() => {
            clearTimeout(timer);
            armQuietCheck();
          });
    };

    handlers.onSignal('connecting');
    shown = 'connecting';
    open();
    armQuietCheck();
  }

  // Lanes to show: the page's ?lanes=N (1-10), else the tool's lanes_shown, else 10.
  function lanesShown(state) {
    const asked = new URLSearchParams(location.search).get('lanes');
    if (asked !== null && /^\d{1,2}$/.test(asked)) {
      const n = Number(asked);
      if (n >= 1 && n <= 10) return n;
    }
    const n = state && state.lanes_shown;
    return Number.isInteger(n) && n >= 1 && n <= 10 ? n : 10;
  }

  // A page option ?name=N as a number within [min, max], else the fallback.
  function option(name, fallback, min, max) {
    const v = new URLSearchParams(location.search).get(name);
    if (v === null || !/^\d+(\.\d+)?$/.test(v)) return fallback;
    const n = Number(v);
    return n >= min && n <= max ? n : fallback;
  }

  // Sets an element's text only when it changes (no needless layout, nothing to flicker).
  function setText(el, text) {
    const t = text === null || text === undefined ? '' : String(text);
    if (el.textContent !== t) el.textContent = t;
  }

  function setData(el, key, value) {
    const v = String(value);
    if (el.dataset[key] !== v) el.dataset[key] = v;
  }

  // Builds an element with classes and data attributes; text is set as text.
  function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined) node.textContent = text;
    return node;
  }

  // "27.25" -> 27.25, "1:19.50" -> 79.5; null when it is not a time.
  function seconds(text) {
    if (typeof text !== 'string') return null;
    const m = /^\s*(?:(\d+):)?(\d*)\.(\d+)\s*$/.exec(text);
    if (!m) return null;
    return (m[1] ? Number(m[1]) * 60 : 0) + Number(m[2] || 0) + Number('0.' + m[3]);
  }

  // The lanes a race has finished so far, in place order (no place: after, by time, by lane).
  function finishers(state, count) {
    return state.lanes.filter((l) => l.lane <= count && !l.running && l.time)
        .sort((a, b) => {
          const pa = Number.isInteger(a.place) ? a.place : 99;
          const pb = Number.isInteger(b.place) ? b.place : 99;
          if (pa !== pb) return pa - pb;
          const ta = seconds(a.time), tb = seconds(b.time);
          if (ta !== null && tb !== null && ta !== tb) return ta - tb;
          return a.lane - b.lane;
        });
  }

  return {start, lanesShown, option, setText, setData, el, seconds, finishers};
})();
