// The page's controls: the Play/Stop button, volume, the state in words, the delay and the
// level meter, Media Session, and the silent looping media element that keeps the page
// playing with the screen locked where the browser allows it; which path the sound takes (a
// WebRTC call, or the WebSocket's PCM when no call connects).
import { Connection } from './connection.js';
import { t, translatePage } from './i18n.js';
import { Playback } from './playback.js';
import { Call } from './webrtc.js';

const button = document.getElementById('play');
const buttonLabel = button.querySelector('.label');
const stateText = document.getElementById('state');
const delayText = document.getElementById('delay');
const levelBar = document.getElementById('level');
const meter = levelBar.parentElement;
const volume = document.getElementById('volume');
const problemText = document.getElementById('problem');
const pathText = document.getElementById('path');
const keepAlive = document.getElementById('keepalive');
const leadText = document.querySelector('.lead');

const kVolumeKey = 'plovarin.volume';
const kFigurePeriodMs = 250;
// The meter is redrawn 20 times a second: enough for the eye, and cheap on a phone's battery.
const kMeterPeriodMs = 50;
// The meter spans 48 dB, as the player's own.
const kMeterRangeDb = 48;

const playback = new Playback();
let listening = false;
let status = 'connecting';
let statusDetail = '';
let playerState = null;
let figureTimer = 0;
let meterTimer = 0;
let lastSequence = -1;
// Places where the player dropped audio for this page because it did not keep up.
let gaps = 0;
// The sound's path on this connection: 'none' (not chosen yet), 'trying' (a call is being
// made), 'webrtc' or 'pcm'. After a call failed the PCM stays until the next press of Play.
let path = 'none';
let pathReason = '';
let fellBack = false;
let call = null;
let statsTimer = 0;

function showPath() {
  const words = {
    none: '',
    trying: t('Connecting over WebRTC…'),
    webrtc: t('Sound over WebRTC'),
    pcm: t('Sound over the WebSocket'),
  }[path];
  pathText.textContent = listening && pathReason ? `${words} (${pathReason})` : listening ? words : '';
}

function fallBack(reason) {
  call?.stop();
  connection.send({ type: 'pcm' });
  fellBack = true;
  path = 'pcm';
  pathReason = reason;
  showPath();
}

// The first state on a connection: the player says whether it makes calls.
function choosePath(state) {
  if (fellBack) {
    path = 'pcm';
  } else if (!Call.supported()) {
    path = 'pcm';
    pathReason = t('this browser has no WebRTC');
  } else if (!state.webrtc) {
    path = 'pcm';
    pathReason = t('the player has no WebRTC');
  } else {
    path = 'trying';
    call.start();
  }
  showPath();
}

const callReasons = {
  timeout: t('WebRTC did not connect within 3 s'),
  refused: t('the player could not make the call'),
  lost: t('the WebRTC connection was lost'),
  error: t('the call could not be answered'),
};

const connection = new Connection({
  onStatus(newStatus, detail = '') {
    status = newStatus;
    lastSequence = -1;
    statusDetail = detail;
    playerState = null;
    // A call lives as long as its connection; the next one makes a new call.
    call?.stop();
    path = 'none';
    showPath();
    showState();
  },
  onState(state) {
    status = 'connected';
    statusDetail = '';
    playerState = state;
    if (path === 'none' && listening) {
      choosePath(state);
    }
    showState();
  },
  onMessage(message) {
    call?.handle(message);
  },
  onAudio(sequence, samples) {
    if (path !== 'pcm') {
      return;
    }
    if (lastSequence >= 0 && sequence !== ((lastSequence + 1) >>> 0)) {
      gaps += 1;
    }
    lastSequence = sequence;
    playback.push(samples);
  },
});

function stateWords() {
  if (!listening) {
    return t('Press Play to listen');
  }
  if (playback.state === 'suspended' || playback.state === 'interrupted') {
    return t('The browser has paused the sound: press Stop, then Play');
  }
  if (status === 'reconnecting') {
    return statusDetail ? t('Reconnecting: {detail}', { detail: statusDetail }) : t('Reconnecting…');
  }
  if (status === 'connecting' || !playerState) {
    return t('Connecting…');
  }
  switch (playerState.state) {
    case 'playing':
      return t('Playing from {source}', { source: playerState.sourceName || playerState.source });
    case 'stopped':
      return t('The player has stopped');
    default:
      return playerState.sender
        ? t('Waiting for a sender ({sender} is connected, its sound has not started)',
            { sender: playerState.senderName || playerState.sender })
        : t('Waiting for a sender');
  }
}

function showState() {
  // The computer that plays, once the player has said its name.
  const lead = playerState?.host
    ? t('The sound that {host} receives, played on this device', { host: playerState.host })
    : t("The computer's sound, played on this device");
  if (leadText.textContent !== lead) {
    leadText.textContent = lead;
  }
  const words = stateWords();
  if (stateText.textContent !== words) {
    stateText.textContent = words;
    updateMediaSession();
  }
}

function showProblem(words) {
  problemText.textContent = words;
  problemText.hidden = !words;
}

function showFigures() {
  if (!listening || playerState?.state !== 'playing') {
    delayText.textContent = t('Delay: none yet');
    return;
  }
  if (path === 'webrtc') {
    // The call gets each packet as it arrives: the player's buffer is not on this path.
    const ms = call.delayMs + (call.playoutMs ?? 1000 * playback.outputLatencySeconds());
    delayText.textContent = t('Delay: about {ms} ms', { ms: Math.round(ms) }) + ', ' +
      t('dropouts in the last minute: {count}', { count: call.recentDropouts });
    return;
  }
  const pageMs = 1000 * (playback.bufferedSeconds() + playback.outputLatencySeconds());
  const totalMs = Math.round((playerState.playerDelayMs || 0) + pageMs);
  const breaks = playback.dropouts + gaps;
  delayText.textContent = t('Delay: about {ms} ms', { ms: totalMs }) +
    (breaks > 1 ? t(', {count} dropouts', { count: breaks }) : breaks === 1 ? t(', 1 dropout') : '');
}

function drawMeter() {
  const peak = !listening ? 0 : path === 'webrtc' ? call.level : playback.meterLevel();
  const db = peak > 0 ? 20 * Math.log10(peak) : -Infinity;
  const fraction = Math.max(0, Math.min(1, (db + kMeterRangeDb) / kMeterRangeDb));
  levelBar.style.transform = `scaleX(${fraction.toFixed(3)})`;
  meter.setAttribute('aria-valuenow', String(Math.round(100 * fraction)));
}

// A few seconds of silence as a WAV file, made here so nothing is fetched.
function silentWav(seconds) {
  const rate = 8000;
  const count = rate * seconds;
  const view = new DataView(new ArrayBuffer(44 + count));
  const text = (offset, value) => {
    for (let i = 0; i < value.length; i += 1) {
      view.setUint8(offset + i, value.charCodeAt(i));
    }
  };
  text(0, 'RIFF');
  view.setUint32(4, 36 + count, true);
  text(8, 'WAVE');
  text(12, 'fmt ');
  view.setUint32(16, 16, true);
  view.setUint16(20, 1, true); // PCM
  view.setUint16(22, 1, true); // mono
  view.setUint32(24, rate, true);
  view.setUint32(28, rate, true); // bytes per second
  view.setUint16(32, 1, true); // bytes per frame
  view.setUint16(34, 8, true); // bits per sample
  text(36, 'data');
  view.setUint32(40, count, true);
  for (let i = 0; i < count; i += 1) {
    view.setUint8(44 + i, 128); // silence in unsigned 8-bit
  }
  return new Blob([view.buffer], { type: 'audio/wav' });
}

function startKeepAlive() {
  if (!keepAlive.src) {
    keepAlive.src = URL.createObjectURL(silentWav(5));
  }
  keepAlive.play().catch((error) => {
    showProblem(t('The sound may stop when the screen locks ({message}).', { message: error.message }));
  });
}

function updateMediaSession() {
  if (!('mediaSession' in navigator)) {
    return;
  }
  navigator.mediaSession.playbackState = listening ? 'playing' : 'paused';
  if (listening && typeof MediaMetadata === 'function') {
    navigator.mediaSession.metadata = new MediaMetadata({
      title: t('Plovarin'),
      artist: stateWords(),
      album: location.host,
      artwork: [{ src: 'icon.svg', sizes: '64x64', type: 'image/svg+xml' }],
    });
  }
}

function setUpMediaSession() {
  if (!('mediaSession' in navigator)) {
    return;
  }
  const handlers = {
    play: () => {
      if (!listening) {
        startListening();
      }
    },
    pause: stopListening,
    stop: stopListening,
  };
  for (const [action, handler] of Object.entries(handlers)) {
    try {
      navigator.mediaSession.setActionHandler(action, handler);
    } catch {
      // An action this browser does not know.
    }
  }
}

function startListening() {
  showProblem('');
  // Safari: sound that plays through the silent switch, as a music player's does.
  if (navigator.audioSession) {
    try {
      navigator.audioSession.type = 'playback';
    } catch {
      // Older versions know the object but not this type.
    }
  }
  try {
    playback.setVolume(volume.value / 100);
    playback.start().then(showState, (error) => {
      showProblem(t('The sound could not start: {message}', { message: error.message }));
    });
  } catch (error) {
    showProblem(t('This browser cannot play the sound: {message}', { message: error.message }));
    return;
  }
  listening = true;
  fellBack = false;
  pathReason = '';
  path = 'none';
  call = new Call((message) => connection.send(message), {
    onConnected() {
      path = 'webrtc';
      showPath();
    },
    onFailed(reason) {
      fallBack(callReasons[reason]);
    },
  });
  call.setVolume(volume.value / 100);
  statsTimer = setInterval(() => call?.updateStats(), 1000);
  startKeepAlive();
  button.setAttribute('aria-pressed', 'true');
  buttonLabel.textContent = t('Stop');
  connection.open();
  figureTimer = setInterval(showFigures, kFigurePeriodMs);
  meterTimer = setInterval(drawMeter, kMeterPeriodMs);
  showState();
}

function stopListening() {
  listening = false;
  connection.close();
  call?.stop();
  call = null;
  clearInterval(statsTimer);
  path = 'none';
  showPath();
  playback.stop();
  keepAlive.pause();
  clearInterval(figureTimer);
  clearInterval(meterTimer);
  button.setAttribute('aria-pressed', 'false');
  buttonLabel.textContent = t('Play');
  playerState = null;
  showFigures();
  drawMeter();
  showState();
}

button.addEventListener('click', () => {
  if (listening) {
    stopListening();
  } else {
    startListening();
  }
});

volume.addEventListener('input', () => {
  playback.setVolume(volume.value / 100);
  call?.setVolume(volume.value / 100);
  try {
    localStorage.setItem(kVolumeKey, volume.value);
  } catch {
    // Private browsing may refuse storage; the volume is then not remembered.
  }
});

document.addEventListener('visibilitychange', () => {
  if (document.visibilityState === 'visible' && listening) {
    if (playback.state !== 'running') {
      playback.resume().then(showState, () => showState());
    }
    connection.retryNow();
  }
});

playback.onStateChange = showState;
try {
  const saved = localStorage.getItem(kVolumeKey);
  if (saved !== null) {
    volume.value = saved;
  }
} catch {
  // As above.
}
translatePage();
setUpMediaSession();
showState();
