// The WebSocket to the player: audio frames and state in, reconnection with backoff out.
// Knows nothing of the page's elements or of Web Audio.

import { t } from './i18n.js';

const kFirstRetryMs = 500;
// While the page is in view someone may be waiting for the sound: at least every 2 s. Hidden,
// it spares the phone's battery.
const kMaxVisibleRetryMs = 2000;
const kMaxHiddenRetryMs = 8000;
// The player sends its state every second; this long without a word means the connection is
// dead even if no one has said so (a phone that lost its network for a while).
const kSilenceMs = 4000;
const kHeaderBytes = 4;

export class Connection {
  // handlers: onStatus(words, detail), onState(state object from the player),
  // onMessage(a message about a call), onAudio(sequence number, Int16Array of 48 kHz samples).
  constructor(handlers) {
    this.handlers = handlers;
    this.socket = null;
    this.wanted = false;
    this.attempt = 0;
    this.retryTimer = 0;
    this.watchdog = 0;
  }

  open() {
    this.wanted = true;
    this.attempt = 0;
    this.connect();
  }

  close() {
    this.wanted = false;
    clearTimeout(this.retryTimer);
    this.drop();
  }

  // Tries again at once, for instance when the page comes back to the foreground.
  retryNow() {
    if (this.wanted && !this.socket) {
      clearTimeout(this.retryTimer);
      this.connect();
    }
  }

  connect() {
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    this.handlers.onStatus(this.attempt === 0 ? 'connecting' : 'reconnecting');
    let socket;
    try {
      socket = new WebSocket(`${scheme}//${location.host}/stream`);
    } catch (error) {
      this.retry(t('the connection could not be opened ({message})', { message: error.message }));
      return;
    }
    socket.binaryType = 'arraybuffer';
    this.socket = socket;
    // Also bounds the opening: a phone off the network may wait minutes for an answer.
    this.armWatchdog();
    socket.onopen = () => {
      this.attempt = 0;
    };
    socket.onmessage = (event) => {
      this.armWatchdog();
      if (typeof event.data === 'string') {
        let state;
        try {
          state = JSON.parse(event.data);
        } catch {
          return;
        }
        if (state.type) {
          this.handlers.onMessage(state);
        } else {
          this.handlers.onState(state);
        }
      } else if (event.data.byteLength > kHeaderBytes) {
        const sequence = new DataView(event.data).getUint32(0, true);
        // Every platform a browser runs on is little-endian, as the samples are.
        const samples = new Int16Array(event.data, kHeaderBytes,
                                       (event.data.byteLength - kHeaderBytes) >> 1);
        this.handlers.onAudio(sequence, samples);
      }
    };
    socket.onclose = (event) => {
      if (this.socket !== socket) {
        return;
      }
      this.drop();
      this.retry(event.code === 1001 ? t('the player has stopped')
                                     : t('the connection to the player was lost'));
    };
  }

  // A message to the player; dropped while there is no connection.
  send(message) {
    if (this.socket && this.socket.readyState === WebSocket.OPEN) {
      this.socket.send(JSON.stringify(message));
    }
  }

  drop() {
    clearTimeout(this.watchdog);
    const socket = this.socket;
    this.socket = null;
    if (socket) {
      socket.onopen = socket.onmessage = socket.onclose = null;
      socket.close();
    }
  }

  retry(reason) {
    if (!this.wanted) {
      return;
    }
    // Doubling waits, each shortened or lengthened a little, so that many pages that lost the
    // player together do not all come back in the same instant.
    const most = document.visibilityState === 'hidden' ? kMaxHiddenRetryMs : kMaxVisibleRetryMs;
    const base = Math.min(most / 1.25, kFirstRetryMs * 2 ** this.attempt);
    const delay = Math.round(base * (0.75 + Math.random() * 0.5));
    this.attempt += 1;
    this.handlers.onStatus('reconnecting',
                           t('{reason}; trying again in {seconds} s',
                             { reason, seconds: Math.ceil(delay / 1000) }));
    this.retryTimer = setTimeout(() => this.connect(), delay);
  }

  armWatchdog() {
    clearTimeout(this.watchdog);
    this.watchdog = setTimeout(() => {
      this.drop();
      this.retry(t('nothing heard from the player'));
    }, kSilenceMs);
  }
}
