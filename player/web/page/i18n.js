// The page's language: Chinese when the browser prefers it to English, English otherwise.
// t(english, values) gives a text in that language, with {name} replaced by values.name;
// a text without a translation stays in English.
const kChinese = {
  Plovarin: '普洛瓦林',
  "The computer's sound, played on this device": '电脑的声音，在这台设备上播放',
  'The sound that {host} receives, played on this device': '{host} 收到的声音，在这台设备上播放',
  Play: '播放',
  Stop: '停止',
  Volume: '音量',
  'Sound level': '声音电平',
  'Starting…': '正在启动…',
  'Press Play to listen': '按“播放”收听',
  'The browser has paused the sound: press Stop, then Play':
    '浏览器暂停了声音：请先按“停止”，再按“播放”',
  'Reconnecting: {detail}': '正在重新连接：{detail}',
  'Reconnecting…': '正在重新连接…',
  'Connecting…': '正在连接…',
  'Playing from {source}': '正在播放 {source} 的声音',
  'The player has stopped': '播放器已停止',
  'Waiting for a sender ({sender} is connected, its sound has not started)':
    '正在等待发送者（{sender} 已连接，声音尚未开始）',
  'Waiting for a sender': '正在等待发送者',
  'Delay: none yet': '延迟：暂无',
  'Delay: about {ms} ms': '延迟：约 {ms} 毫秒',
  ', 1 dropout': '，1 次中断',
  ', {count} dropouts': '，{count} 次中断',
  'The sound may stop when the screen locks ({message}).': '锁屏时声音可能会停止（{message}）。',
  'The sound could not start: {message}': '声音无法开始播放：{message}',
  'This browser cannot play the sound: {message}': '这个浏览器无法播放声音：{message}',
  'the connection could not be opened ({message})': '无法打开连接（{message}）',
  'the player has stopped': '播放器已停止',
  'the connection to the player was lost': '与播放器的连接已断开',
  'nothing heard from the player': '播放器没有回应',
  '{reason}; trying again in {seconds} s': '{reason}；{seconds} 秒后重试',
  'Connecting over WebRTC…': '正在通过 WebRTC 连接…',
  'Sound over WebRTC': '声音经由 WebRTC 传来',
  'Sound over the WebSocket': '声音经由 WebSocket 传来',
  'this browser has no WebRTC': '这个浏览器不支持 WebRTC',
  'the player has no WebRTC': '播放器不支持 WebRTC',
  'WebRTC did not connect within 3 s': 'WebRTC 未能在 3 秒内连上',
  'the player could not make the call': '播放器无法建立通话',
  'the WebRTC connection was lost': 'WebRTC 连接已断开',
  'the call could not be answered': '无法应答通话',
  'dropouts in the last minute: {count}': '最近一分钟中断 {count} 次',
};

function preferredLanguage() {
  const wanted = navigator.languages?.length ? navigator.languages : [navigator.language || ''];
  for (const tag of wanted) {
    const primary = String(tag).toLowerCase().split('-')[0];
    if (primary === 'zh' || primary === 'en') {
      return primary;
    }
  }
  return 'en';
}

export const language = preferredLanguage();
const table = language === 'zh' ? kChinese : {};

export function t(english, values = {}) {
  const text = Object.prototype.hasOwnProperty.call(table, english) ? table[english] : english;
  return text.replace(/\{(\w+)\}/g, (whole, name) => (name in values ? String(values[name]) : whole));
}

// Puts the page's own texts (its elements' text and labels, as written in English in the
// HTML) in the page's language.
export function translatePage(root = document) {
  document.documentElement.lang = language === 'zh' ? 'zh-CN' : 'en';
  document.title = t(document.title);
  const walker = document.createTreeWalker(root.body || root, NodeFilter.SHOW_TEXT);
  for (let node = walker.nextNode(); node; node = walker.nextNode()) {
    const text = node.nodeValue.trim();
    if (text && node.parentElement?.closest('script, style, noscript') === null) {
      node.nodeValue = node.nodeValue.replace(text, t(text));
    }
  }
  for (const element of root.querySelectorAll('[aria-label]')) {
    element.setAttribute('aria-label', t(element.getAttribute('aria-label')));
  }
}
