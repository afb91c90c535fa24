// Plays the player's 48 kHz audio with Web Audio: each frame an AudioBuffer scheduled right
// after the one before, a small bounded buffer ahead of the sound card, and the difference
// between the player's clock and this device's sound clock followed by small playbackRate
// changes, never by jumps. Knows nothing of the page's elements.

export const kSampleRate = 48000;
// What the page keeps scheduled ahead of the sound card. It starts low, at its floor, and
// grows by a step each time the buffer runs dry (a WiFi hiccup, a busy phone), up to a limit;
// after each calm while it comes down a little, to the floor again.
const kMinTargetSeconds = 0.04;
const kStartTargetSeconds = kMinTargetSeconds;
const kMaxTargetSeconds = 0.2;
const kTargetStepSeconds = 0.02;
const kCalmSeconds = 20;
// Beyond the target by this much (a burst after a stall) incoming audio is dropped rather than
// heard late: the stall has broken the sound already.
const kMaxExcessSeconds = 0.15;
// Until the device's clock first moves (a Bluetooth or USB device may take a second to start)
// nothing has been heard, so beyond this little the waiting audio is dropped unnoticed.
const kStartExcessSeconds = 0.03;
// A frame due sooner than this is too late to be scheduled on time: the buffer has run dry.
const kRestartMarginSeconds = 0.005;
// The rate changes by this much per second of difference from the target: a level 20 ms off
// plays 0.4 % faster, a twelfth of a semitone, which is not heard on music, and a drift of
// 100 ppm leaves the level half a millisecond off. Only after a burst does it reach its limit,
// a third of a semitone, to catch up within seconds.
const kCorrectionPerSecond = 0.2;
const kMaxCorrection = 0.02;
// The level is averaged over about half a second of frames: frames arrive in small bursts.
const kSmoothing = 0.02;
// The meter shows the loudest frame of the last tenth of a second played.
const kMeterSeconds = 0.1;

export class Playback {
  constructor() {
    this.context = null;
    this.gain = null;
    this.volume = 1;
    this.onStateChange = () => {};
    this.underruns = 0;
    this.dropped = 0;
    this.target = kStartTargetSeconds;
    this.reset();
  }

  // Creates the sound output and starts it. Must run inside the handler of the user's press:
  // Safari starts sound there and nowhere else. Returns the promise of resume().
  start() {
    const Context = window.AudioContext || window.webkitAudioContext;
    if (!Context) {
      throw new Error('this browser has no Web Audio');
    }
    let context;
    try {
      context = new Context({ sampleRate: kSampleRate, latencyHint: 'interactive' });
    } catch {
      // A context at the device's own rate resamples the 48 kHz buffers itself.
      context = new Context();
    }
    this.context = context;
    this.gain = context.createGain();
    this.gain.gain.value = this.volume;
    this.gain.connect(context.destination);
    context.onstatechange = () => this.onStateChange(context.state);
    this.reset();
    return context.resume();
  }

  stop() {
    if (this.context) {
      this.context.onstatechange = null;
      this.context.close();
      this.context = null;
    }
    this.reset();
  }

  // Tries to start the sound again after the browser suspended it.
  resume() {
    return this.context ? this.context.resume() : Promise.resolve();
  }

  get state() {
    return this.context ? this.context.state : 'closed';
  }

  // Starts over at the target: for a new stream, or after the page stopped listening.
  reset() {
    this.nextTime = 0;
    this.firstFrameTime = -1;
    this.calmSince = 0;
    this.level = this.target;
    this.rate = 1;
    this.peaks = [];
  }

  setVolume(volume) {
    this.volume = volume;
    if (this.gain) {
      // Glides over 20 ms, so that moving the slider does not click.
      this.gain.gain.setTargetAtTime(volume, this.context.currentTime, 0.02);
    }
  }

  // Schedules one frame of 16-bit samples at 48 kHz.
  push(samples) {
    const context = this.context;
    if (!context || context.state !== 'running' || samples.length === 0) {
      return;
    }
    const now = context.currentTime;
    if (this.firstFrameTime < 0) {
      this.firstFrameTime = now;
    }
    const started = now > this.firstFrameTime;
    let ahead = this.nextTime - now;
    if (ahead < kRestartMarginSeconds) {
      if (this.nextTime > 0) {
        this.underruns += 1;
        this.target = Math.min(kMaxTargetSeconds, this.target + kTargetStepSeconds);
      }
      this.calmSince = now;
      this.nextTime = now + this.target;
      this.level = this.target;
      ahead = this.target;
    } else if (ahead > this.target + (started ? kMaxExcessSeconds : kStartExcessSeconds)) {
      this.dropped += started ? 1 : 0;
      return;
    } else if (now - this.calmSince > kCalmSeconds) {
      this.target = Math.max(kMinTargetSeconds, this.target - kTargetStepSeconds / 2);
      this.calmSince = now;
    }
    this.level += (ahead - this.level) * kSmoothing;
    const correction = (this.level - this.target) * kCorrectionPerSecond;
    this.rate = 1 + Math.max(-kMaxCorrection, Math.min(kMaxCorrection, correction));

    const buffer = context.createBuffer(1, samples.length, kSampleRate);
    const channel = buffer.getChannelData(0);
    let peak = 0;
    for (let i = 0; i < samples.length; i += 1) {
      const value = samples[i] / 32768;
      channel[i] = value;
      peak = Math.max(peak, Math.abs(value));
    }
    const source = context.createBufferSource();
    source.buffer = buffer;
    source.playbackRate.value = this.rate;
    source.connect(this.gain);
    source.start(this.nextTime);
    this.peaks.push([this.nextTime, peak]);
    if (this.peaks.length > 64) {
      this.peaks.shift();
    }
    this.nextTime += samples.length / kSampleRate / this.rate;
  }

  // Breaks in the sound: each time the buffer ran dry, and each frame that came too late.
  get dropouts() {
    return this.underruns + this.dropped;
  }

  // Seconds of audio scheduled and not yet played.
  bufferedSeconds() {
    return this.context ? Math.max(0, this.nextTime - this.context.currentTime) : 0;
  }

  // What the browser and the device add after scheduling, where the browser tells.
  outputLatencySeconds() {
    const context = this.context;
    return context ? (context.baseLatency || 0) + (context.outputLatency || 0) : 0;
  }

  // The peak (0..1) of what is being heard now.
  meterLevel() {
    if (!this.context) {
      return 0;
    }
    const now = this.context.currentTime;
    let peak = 0;
    for (const [start, value] of this.peaks) {
      if (start <= now && start > now - kMeterSeconds) {
        peak = Math.max(peak, value);
      }
    }
    return peak;
  }
}
