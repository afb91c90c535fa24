// A WebRTC call from the player, signalled over the page's WebSocket: the player offers one
// audio track (its sender's Opus packets), the page answers, both trickle their candidates.
// Plays the track through a media element of its own and reads the browser's statistics for
// the delay, the dropouts and the level. Knows nothing of the page's elements.

// A call that has not connected by then is given up: UDP is blocked, or something else is wrong.
export const kConnectSeconds = 3;
// A call has a few candidates; more than this before the offer is taken are not kept.
const kMaxEarly = 16;
// Dropouts are counted over this last while.
const kDropoutWindowSeconds = 60;

export class Call {
  // send(message object) goes to the player; handlers: onConnected(), onFailed(reason), the
  // reason one of 'timeout', 'refused', 'lost', 'error'.
  constructor(send, handlers) {
    this.send = send;
    this.handlers = handlers;
    this.peer = null;
    this.early = []; // the player's candidates that came before its offer was taken
    this.timer = 0;
    this.connected = false;
    // The element is made here, inside the press, where every browser lets it play.
    this.audio = new Audio();
    this.audio.autoplay = true;
    this.volume = 1;
    this.reset();
  }

  static supported() {
    return typeof RTCPeerConnection === 'function';
  }

  reset() {
    this.delayMs = 0;
    this.playoutMs = null; // the output's own delay, where the browser tells it
    this.level = 0;
    this.concealments = []; // [seconds, concealmentEvents so far]
    this.lastStats = null;
    this.lastPlayout = null;
  }

  // Asks the player for a call; the offer comes through handle().
  start() {
    this.stop();
    this.reset();
    this.send({ type: 'webrtc' });
    this.timer = setTimeout(() => this.fail('timeout'),
                            kConnectSeconds * 1000);
  }

  stop() {
    clearTimeout(this.timer);
    this.connected = false;
    if (this.peer) {
      this.peer.onicecandidate = this.peer.ontrack = this.peer.onconnectionstatechange = null;
      this.peer.close();
      this.peer = null;
    }
    this.audio.srcObject = null;
    this.early = [];
  }

  fail(reason) {
    this.stop();
    this.handlers.onFailed(reason);
  }

  setVolume(volume) {
    this.volume = volume;
    this.audio.volume = volume;
  }

  // A message of the player about the call.
  async handle(message) {
    if (message.type === 'webrtc-failed') {
      this.fail('refused');
    } else if (message.type === 'offer' && !this.peer && this.timer) {
      try {
        await this.answer(message.sdp);
      } catch (error) {
        console.warn('the call could not be answered', error);
        this.fail('error');
      }
    } else if (message.type === 'candidate' && this.peer?.remoteDescription) {
      this.addCandidate(message);
    } else if (message.type === 'candidate' && this.timer && this.early.length < kMaxEarly) {
      this.early.push(message);
    }
  }

  addCandidate(message) {
    this.peer.addIceCandidate({ candidate: message.candidate,
                                sdpMLineIndex: message.sdpMLineIndex }).catch(() => {});
  }

  async answer(sdp) {
    const peer = new RTCPeerConnection({ iceServers: [] });
    this.peer = peer;
    peer.onicecandidate = (event) => {
      if (event.candidate && this.peer === peer) {
        this.send({ type: 'candidate', candidate: event.candidate.candidate,
                    sdpMLineIndex: event.candidate.sdpMLineIndex });
      }
    };
    peer.ontrack = (event) => {
      this.audio.srcObject = event.streams[0] || new MediaStream([event.track]);
      this.audio.volume = this.volume;
      this.audio.play().catch(() => {});
    };
    peer.onconnectionstatechange = () => {
      if (peer.connectionState === 'connected' && !this.connected) {
        this.connected = true;
        clearTimeout(this.timer);
        this.timer = 0;
        this.handlers.onConnected();
      } else if (peer.connectionState === 'failed' || peer.connectionState === 'closed') {
        this.fail('lost');
      }
    };
    // After each wait the call may have been stopped (Stop, a timeout, a lost connection):
    // then this peer is closed, its failures are no one's, and nothing more is done with it.
    const current = () => this.peer === peer;
    try {
      await peer.setRemoteDescription({ type: 'offer', sdp });
      if (!current()) {
        return;
      }
      this.early.splice(0).forEach((message) => this.addCandidate(message));
      const answer = await peer.createAnswer();
      if (!current()) {
        return;
      }
      await peer.setLocalDescription(answer);
      if (current()) {
        this.send({ type: 'answer', sdp: peer.localDescription.sdp });
      }
    } catch (error) {
      if (current()) {
        throw error;
      }
    }
  }

  // Reads the browser's figures of the incoming audio: the jitter buffer's and the output's delay
  // over the last reading, dropouts (concealment events) in the last minute, the level.
  async updateStats() {
    if (!this.peer || !this.connected) {
      return;
    }
    let inbound = null;
    const reports = await this.peer.getStats();
    reports.forEach((report) => {
      if (report.type === 'inbound-rtp' && report.kind === 'audio') {
        inbound = report;
      }
    });
    if (!inbound) {
      return;
    }
    // What the sound output holds (Chromium tells it; the page's Web Audio output is another
    // stream, with a latency of its own).
    const playout = inbound.playoutId ? reports.get(inbound.playoutId) : null;
    const lastPlayout = this.lastPlayout;
    if (playout && lastPlayout && playout.totalSamplesCount > lastPlayout.totalSamplesCount) {
      this.playoutMs = 1000 * (playout.totalPlayoutDelay - lastPlayout.totalPlayoutDelay) /
        (playout.totalSamplesCount - lastPlayout.totalSamplesCount);
    }
    this.lastPlayout = playout;
    const last = this.lastStats;
    const emitted = inbound.jitterBufferEmittedCount - (last ? last.jitterBufferEmittedCount : 0);
    if (emitted > 0) {
      const delay = inbound.jitterBufferDelay - (last ? last.jitterBufferDelay : 0);
      this.delayMs = 1000 * delay / emitted;
    }
    this.level = inbound.audioLevel || 0;
    const now = performance.now() / 1000;
    this.concealments.push([now, inbound.concealmentEvents || 0]);
    while (this.concealments[0][0] < now - kDropoutWindowSeconds) {
      this.concealments.shift();
    }
    this.lastStats = inbound;
  }

  // Concealment events (each a break the browser filled in) in the last minute.
  get recentDropouts() {
    const count = this.concealments.length;
    return count > 1 ? this.concealments[count - 1][1] - this.concealments[0][1] : 0;
  }
}
