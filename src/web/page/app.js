/* The browser remote: a phone that opens http://<pc>:<webport>/#<code> becomes a
 * controller of the presentation PC over ws://<host>/ws, speaking the same JSON
 * packets as the phone app. Its login asks for the reports to pages
 * ("show.report"): what came of its requests, the program's name, whether its
 * controller was kept over a reload, and a small copy of the shown picture.
 *
 * Stable element ids (tests and the README rely on them):
 *   body[data-state]   login | connecting | connected | reconnecting | refused
 *   #app-name          the program's name; #user-name this phone's name; #logout
 *   #status            connection pill, data-state as above (offline before the first try)
 *   #banner            "reconnecting…", or why the PC refused or ended the connection
 *                      (data-state reconnecting|refused)
 *   #login             name/code form: #name-input, #code-row > #code-input, #login-button,
 *                      #login-error
 *   #toast             a failed request's reason, for a few seconds
 *   tabs               #tab-button-screen|video|pointer|board|slides show
 *                      #tab-screen|video|pointer|board|slides
 *   screen             #mode-show, #mode-remote, #window-status; #upload (file input),
 *                      #upload-progress, #upload-status; #image-url, #image-show, #image-status
 *                      (notes: data-state ok|error once the PC has said what came of it)
 *   video              #video-url, #video-show, #video-play, #video-pause, #video-stop,
 *                      #video-seek (ms), #video-time, #video-volume (0..100),
 *                      #video-mute (aria-pressed), #video-status (data-state = reported status,
 *                      opening, or failed)
 *   pointer            #pad (x, y in thousandths of its inner box, which has the shown
 *                      picture's proportions; data-picture once a copy of it is behind), #pad-dot
 *   board              #board-open, #board-close, #board (canvas, data-open, data-ratio),
 *                      #shape-curve|line|rect|ellipse|text,
 *                      #color-red|yellow|green|blue|black|white, #width-2|4|8|16,
 *                      #board-undo, #board-redo, #board-clear, #text-form > #text-input, #text-ok
 *   slides             #slides (the area that takes swipes), #key-next, #key-previous,
 *                      #key-first|last|start|end|black|white, #slides-status (note)
 */
'use strict';
(() => {
  const $ = (id) => document.getElementById(id);

  // --- texts ---------------------------------------------------------------------------
  const TEXTS = {
    en: {
      offline: 'offline', connecting: 'connecting…', connected: 'connected',
      reconnecting: 'reconnecting…', refused: 'refused', logout: 'Log out',
      welcome: 'Connect to the presentation PC', yourName: 'Your name',
      code: "Pairing code (six digits on the PC's screen)", connect: 'Connect',
      needName: 'Please enter your name.', needCode: 'Please enter the six-digit pairing code.',
      lost: 'Connection lost — reconnecting…',
      unreachable: 'Cannot reach the PC — trying again…',
      wrongCode: "Wrong code — check the pairing code on the PC's screen.",
      locked: 'Too many wrong codes — try again in a minute.',
      replaced: 'This remote is now open in another tab.',
      newCode: 'The PC has a new code — scan its QR code again or type the code it shows now.',
      ended: 'The PC ended this connection.',
      loginFailed: 'The PC refused the login: {0}',
      window: 'Presentation window', show: 'Show', hide: 'Hide',
      winFull: 'Shown full screen on the PC.', winWindowed: 'Shown on the PC, in a window.',
      winNotFull: 'Shown, but not full screen.', winHidden: 'Hidden.',
      winNotShown: 'The window did not come up.',
      photo: 'Picture from this phone', choosePhoto: 'Take or choose a photo',
      pictureUrl: 'Picture by address', showPicture: 'Show picture',
      uploading: 'Uploading… {0}%', shown: 'Shown on the PC.', sent: 'Sent…',
      uploadForbidden: 'The code is no longer valid — scan the QR code again.',
      uploadTooLarge: 'The picture is too large (64 MB at most).',
      uploadNotImage: 'That file is not a picture.', uploadFailed: 'Upload failed ({0}).',
      notConnected: 'Not connected.', failed: 'Failed: {0}',
      'r_not found': 'not found', 'r_not a picture': 'not a picture',
      'r_too large': 'too large', 'r_cannot connect': 'cannot connect to the address',
      'r_too slow': 'the download was too slow', 'r_not a web address': 'not a web address',
      r_cancelled: 'cancelled', 'r_cannot open': 'cannot open',
      video: 'Video', playVideo: 'Play video', play: 'Play', pause: 'Pause', stop: 'Stop',
      mute: 'Mute', unmute: 'Unmute', st_playing: 'playing', st_paused: 'paused',
      st_stoped: 'stopped', st_opening: 'opening…', st_failed: 'The video cannot be opened.',
      pointer: 'Pointer',
      padHint: 'Touch and slide: the pointer goes to the same place on the shown picture.',
      boardOpen: 'Open board', boardIsOpen: 'Board open', boardClose: 'Close board', place: 'Place',
      textPlaceholder: 'Text for the board', undo: 'Undo', redo: 'Redo', clear: 'Clear',
      curve: 'free hand', line: 'line', rect: 'rectangle', ellipse: 'ellipse', text: 'text',
      red: 'red', yellow: 'yellow', green: 'green', blue: 'blue', black: 'black', white: 'white',
      tabScreen: 'Screen', tabVideo: 'Video', tabPointer: 'Pointer', tabBoard: 'Board',
      tabSlides: 'Slides', slidesHint: 'Swipe left: next slide. Swipe right: previous one.',
      keyNext: 'Next', keyPrevious: 'Previous', keyFirst: 'First', keyLast: 'Last',
      keyStart: 'Start show', keyEnd: 'End show', keyBlack: 'Black screen', keyWhite: 'White screen',
      keyDone: 'Pressed on the PC: {0}', tooFast: 'Too fast: that press was not sent.',
    },
    zh: {
      offline: '未连接', connecting: '正在连接…', connected: '已连接',
      reconnecting: '正在重连…', refused: '被拒绝', logout: '退出',
      welcome: '连接演示电脑', yourName: '你的名字',
      code: '配对码（电脑屏幕上的六位数字）', connect: '连接',
      needName: '请输入名字。', needCode: '请输入六位配对码。',
      lost: '连接已断开，正在重新连接…',
      unreachable: '无法连接电脑，正在重试…',
      wrongCode: '配对码错误，请核对电脑屏幕上的配对码。',
      locked: '错误次数过多，请一分钟后再试。',
      replaced: '遥控已在另一个标签页中打开。',
      newCode: '电脑的配对码已更换，请重新扫描二维码或输入新的配对码。',
      ended: '电脑断开了这个连接。',
      loginFailed: '电脑拒绝了登录：{0}',
      window: '演示窗口', show: '显示', hide: '隐藏',
      winFull: '已在电脑上全屏显示。', winWindowed: '已在电脑上以窗口显示。',
      winNotFull: '已显示，但未能全屏。', winHidden: '已隐藏。',
      winNotShown: '窗口没有显示出来。',
      photo: '手机里的图片', choosePhoto: '拍照或选择图片',
      pictureUrl: '网络图片地址', showPicture: '显示图片',
      uploading: '正在上传… {0}%', shown: '已在电脑上显示。', sent: '已发送…',
      uploadForbidden: '配对码已失效，请重新扫描二维码。',
      uploadTooLarge: '图片太大（最多 64 MB）。',
      uploadNotImage: '这个文件不是图片。', uploadFailed: '上传失败（{0}）。',
      notConnected: '未连接。', failed: '失败：{0}',
      'r_not found': '找不到', 'r_not a picture': '不是图片',
      'r_too large': '太大', 'r_cannot connect': '无法连接该地址',
      'r_too slow': '下载太慢', 'r_not a web address': '不是网络地址',
      r_cancelled: '已取消', 'r_cannot open': '无法打开',
      video: '视频', playVideo: '播放视频', play: '播放', pause: '暂停', stop: '停止',
      mute: '静音', unmute: '取消静音', st_playing: '播放中', st_paused: '已暂停',
      st_stoped: '已停止', st_opening: '正在打开…', st_failed: '无法打开这个视频。',
      pointer: '指针', padHint: '按住并滑动：电脑上的指针移到图片上相同的位置。',
      boardOpen: '打开白板', boardIsOpen: '白板已打开', boardClose: '关闭白板', place: '放置',
      textPlaceholder: '要写到白板上的文字', undo: '撤销', redo: '重做', clear: '清空',
      curve: '自由画', line: '直线', rect: '矩形', ellipse: '椭圆', text: '文字',
      red: '红', yellow: '黄', green: '绿', blue: '蓝', black: '黑', white: '白',
      tabScreen: '画面', tabVideo: '视频', tabPointer: '指针', tabBoard: '白板',
      tabSlides: '幻灯片', slidesHint: '向左滑：下一张。向右滑：上一张。',
      keyNext: '下一张', keyPrevious: '上一张', keyFirst: '第一张', keyLast: '最后一张',
      keyStart: '从头放映', keyEnd: '结束放映', keyBlack: '黑屏', keyWhite: '白屏',
      keyDone: '已在电脑上按下：{0}', tooFast: '按得太快，这一下没有发送。',
      'r_unknown key': '未知的按键', 'r_too many keys': '按键太多太快',
      'r_the show window is in front': '演示窗口在最前面（可在“画面”里隐藏它）',
      'r_no window has the keyboard focus': '电脑上没有窗口接收键盘输入',
      'r_keys cannot be sent on this display': '这台电脑的显示环境不能发送按键',
      'r_not possible in a Wayland session': 'Wayland 会话中无法做到',
    },
  };
  const lang = /^zh\b/i.test(navigator.language || '') ? 'zh' : 'en';
  const t = (key, ...args) =>
    args.reduce((s, a, i) => s.replace(`{${i}}`, a), TEXTS[lang][key] || TEXTS.en[key] || key);
  // The PC's reason for a failure, in words of the page's language when it has them.
  const reason = (r) => (TEXTS[lang]['r_' + r] || r || '?');

  document.documentElement.lang = lang === 'zh' ? 'zh-CN' : 'en';
  for (const el of document.querySelectorAll('[data-i18n]')) el.textContent = t(el.dataset.i18n);
  for (const el of document.querySelectorAll('[data-i18n-title]')) {
    el.title = t(el.dataset.i18nTitle);
    el.setAttribute('aria-label', el.title);
  }
  for (const el of document.querySelectorAll('[data-i18n-ph]')) el.placeholder = t(el.dataset.i18nPh);

  // --- who this phone is ----------------------------------------------------------------
  // Private modes may refuse storage; the page then works for this visit only.
  const memory = {};
  const storage = (kind) => {
    try { return window[kind]; } catch (e) { return null; }
  };
  const stored = (k, kind = 'localStorage') => {
    try { return storage(kind).getItem(k); } catch (e) { return memory[kind + k] ?? null; }
  };
  const store = (k, v, kind = 'localStorage') => {
    memory[kind + k] = v;
    try { storage(kind).setItem(k, v); } catch (e) { /* kept in memory */ }
  };
  // What this tab was doing survives a reload (the tab, the board), not the tab.
  const session = (k) => stored(k, 'sessionStorage');
  const keepInSession = (k, v) => store(k, v, 'sessionStorage');
  // The PC lists controllers by this id, so it stays the same on this phone.
  let myId = stored('jw.id');
  if (!/^web-[0-9a-f]{16}$/.test(myId || '')) {
    const bytes = crypto.getRandomValues(new Uint8Array(8));
    myId = 'web-' + Array.from(bytes, (b) => b.toString(16).padStart(2, '0')).join('');
    store('jw.id', myId);
  }
  let myName = (stored('jw.name') || '').trim();
  const hashCode = () => {
    const raw = location.hash.replace(/^#/, '');
    try { return decodeURIComponent(raw).trim(); } catch (e) { return raw.trim(); } // a stray '%'
  };
  let code = hashCode();

  // --- connection ---------------------------------------------------------------------
  const RETRY_FIRST_MS = 500, RETRY_MAX_MS = 5000;
  // A request the PC answers that stays unanswered this long means a dead link
  // the browser has not noticed (phones leaving Wi-Fi seldom get a close).
  const REPLY_TIMEOUT_MS = 8000;
  const LOGOUT_WAIT_MS = 3000;
  let ws = null;
  let state = 'offline';
  let retryMs = RETRY_FIRST_MS;
  let retryTimer = 0;
  let nextId = 1;
  let loginId = '';
  let openedAt = 0;
  let everIn = false; // logged in once: the controls stay up while reconnecting
  let leaving = 0;    // a log-out waits for the PC to close: the timer of the wait
  const waiting = new Map(); // request id -> {at, done(reply)}

  function setState(s, banner = '', bannerState = '') {
    state = s;
    document.body.dataset.state = s;
    const pill = $('status');
    pill.dataset.state = s;
    pill.textContent = t(s === 'login' ? 'offline' : s);
    const b = $('banner');
    b.textContent = banner;
    b.dataset.state = bannerState;
    b.hidden = !banner;
    if (s === 'connected') everIn = true;
    const inside = s === 'connected' || (s === 'reconnecting' && everIn);
    $('main').hidden = !inside;
    $('tabs').hidden = !inside;
    $('login').hidden = inside || s === 'connecting' || s === 'reconnecting';
    $('user-name').textContent = myName;
    $('user-name').hidden = !myName || !inside;
    $('logout').hidden = !inside;
    if (inside) layout();
  }

  // refused: the PC said no or ended the connection, and trying again by itself
  // would not help (the reason shows once, in the banner); askCode: the code may be
  // the reason, so it can be typed again.
  function showLogin(error = '', refused = false, askCode = false) {
    drop();
    clearTimeout(retryTimer);
    $('name-input').value = myName;
    $('code-input').value = code;
    $('code-row').hidden = !!code && !askCode;
    $('login-error').textContent = '';
    setState(refused ? 'refused' : 'login', error, 'refused');
  }

  function drop() {
    const old = ws;
    ws = null;
    if (!old) return;
    old.onopen = old.onmessage = old.onclose = old.onerror = null;
    try { old.close(1000); } catch (e) { /* already closed */ }
  }

  function connect() {
    drop();
    clearTimeout(retryTimer);
    waiting.clear();
    if (state !== 'reconnecting') setState('connecting');
    const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
    const sock = new WebSocket(`${scheme}://${location.host}/ws`);
    ws = sock;
    openedAt = Date.now();
    sock.onopen = () => {
      loginId = String(nextId++);
      sock.send(JSON.stringify({
        type: 'login', id: loginId, from: myId, name: myName, ip: '', pwd: code, reports: '1',
      }));
      waiting.set(loginId, { at: Date.now(), done: () => {} });
    };
    sock.onmessage = (e) => {
      let msg;
      try { msg = JSON.parse(e.data); } catch (err) { return; }
      if (msg && typeof msg === 'object') receive(msg);
    };
    sock.onclose = (e) => closed(e.code);
  }

  // Close codes after which reconnecting by itself would be wrong: a wrong code
  // would count towards the lock-out, a newer page of this phone would be pushed
  // out in turn, and a PC that disconnected us meant it.
  const FINAL = { 4001: 'wrongCode', 4003: 'locked', 4000: 'replaced', 1000: 'ended' };
  function closed(closeCode) {
    drop();
    if (leaving) return loggedOut();
    // The code that last let this phone in is refused: the PC started anew with a
    // new one. Any other refused code was mistyped.
    const why = closeCode === 4001 && code === stored('jw.okCode') ? 'newCode' : FINAL[closeCode];
    if (why) showLogin(t(why), true, closeCode >= 4001);
    else reconnectLater();
  }

  function reconnectLater() {
    drop();
    setState('reconnecting', t(everIn ? 'lost' : 'unreachable'), 'reconnecting');
    clearTimeout(retryTimer);
    retryTimer = setTimeout(connect, retryMs);
    retryMs = Math.min(retryMs * 2, RETRY_MAX_MS);
  }

  function loggedIn() {
    retryMs = RETRY_FIRST_MS;
    store('jw.okCode', code);
    setState('connected');
  }

  // The PC's close ends a log-out; one that does not come ends it anyway.
  function logOut() {
    if (!send('logout')) return loggedOut();
    leaving = setTimeout(loggedOut, LOGOUT_WAIT_MS);
  }
  function loggedOut() {
    clearTimeout(leaving);
    leaving = 0;
    board.forget();
    everIn = false;
    showLogin();
  }
  $('logout').addEventListener('click', logOut);

  function receive(msg) {
    if (msg.type === 'show.video.info') return video.report(msg);
    if (msg.type === 'show.report') return report(msg);
    if (msg.type === 'login' && msg.id === loginId) {
      waiting.delete(loginId);
      if (msg.ret === '0') loggedIn();
      else showLogin(t('loginFailed', msg.desc || msg.ret), true, true);
      return;
    }
    const w = waiting.get(msg.id);
    if (w) {
      waiting.delete(msg.id);
      w.done(msg);
    }
  }

  // What the PC tells pages: see the file's head.
  function report(msg) {
    if (msg.act === 'hello') {
      if (msg.name) {
        $('app-name').textContent = msg.name;
        document.title = msg.name;
      }
      // Kept over a reload: the board on the PC is as we left it. Otherwise the PC
      // has let go of everything this phone had there.
      if (msg.value === 'kept') board.resume();
      else board.forget();
    } else if (msg.act === 'picture') {
      shownPicture.set(msg);
    } else if (msg.act === 'image') {
      const note = imageNotes.get(msg.id);
      imageNotes.delete(msg.id);
      if (note) note.say(msg.ret === '0' ? t('shown') : t('failed', reason(msg.desc)),
        msg.ret === '0' ? 'ok' : 'error');
    } else if (msg.act === 'window') {
      windowReport(msg);
    } else if (msg.act === 'video') {
      video.failed();
    }
  }

  // Sends a packet with the next id; done(reply) runs when the PC answers one that
  // gets an answer. The id, or '' when there is no connection to send it on.
  function send(type, fields = {}, done = null) {
    if (state !== 'connected' || !ws || ws.readyState !== WebSocket.OPEN) return '';
    const id = String(nextId++);
    ws.send(JSON.stringify(Object.assign({ type, id, from: myId }, fields)));
    if (done) waiting.set(id, { at: Date.now(), done });
    return id;
  }

  // send() for buttons: says why nothing happened, and shows a refusal.
  function request(type, fields = {}, done = () => {}) {
    const id = send(type, fields, (reply) => {
      if (reply.ret !== '0') toast(t('failed', reply.desc ? reason(reply.desc) : reply.ret));
      done(reply);
    });
    if (!id) toast(t('notConnected'));
    return id;
  }

  setInterval(() => {
    const now = Date.now();
    const late = (at) => now - at > REPLY_TIMEOUT_MS;
    if (ws && !leaving && ((ws.readyState === WebSocket.CONNECTING && late(openedAt)) ||
               Array.from(waiting.values()).some((w) => late(w.at)))) {
      reconnectLater();
    }
  }, 1000);
  // A phone back from sleep or back on the network should not wait out the backoff.
  const retryNow = () => {
    if (state === 'reconnecting') {
      retryMs = RETRY_FIRST_MS;
      connect();
    }
  };
  window.addEventListener('online', retryNow);
  document.addEventListener('visibilitychange', () => { if (!document.hidden) retryNow(); });
  window.addEventListener('hashchange', () => {
    const c = hashCode();
    if (c && c !== code) {
      code = c;
      if (myName) connect(); else showLogin();
    }
  });

  let toastTimer = 0;
  function toast(text) {
    const el = $('toast');
    el.textContent = text;
    el.hidden = false;
    clearTimeout(toastTimer);
    toastTimer = setTimeout(() => { el.hidden = true; }, 4000);
  }

  $('login').addEventListener('submit', (e) => {
    e.preventDefault();
    const name = $('name-input').value.trim();
    const typed = $('code-input').value.trim();
    if (!name) { $('login-error').textContent = t('needName'); return; }
    if (!$('code-row').hidden || !code) {
      if (!typed) { $('code-row').hidden = false; $('login-error').textContent = t('needCode'); return; }
      code = typed;
      history.replaceState(null, '', '#' + code);
    }
    myName = name;
    store('jw.name', name);
    retryMs = RETRY_FIRST_MS;
    state = 'login';
    connect();
  });

  // --- tabs: the one in front comes back after a reload ---------------------------------
  function selectTab(name) {
    const b = $('tab-button-' + name);
    if (!b) return;
    for (const o of document.querySelectorAll('#tabs > button')) {
      o.setAttribute('aria-selected', String(o === b));
      $('tab-' + o.dataset.tab).hidden = o !== b;
    }
    keepInSession('jw.tab', name);
    layout();
  }
  for (const b of document.querySelectorAll('#tabs > button')) {
    b.addEventListener('click', () => selectTab(b.dataset.tab));
  }

  // --- screen: window, pictures --------------------------------------------------------
  // A note that says "Sent…" until the PC tells what came of the request.
  const noteOf = (el) => ({
    say(text, s = '') { el.textContent = text; el.dataset.state = s; },
  });
  const windowNote = noteOf($('window-status'));
  let windowAsked = false;
  function windowRequest(value) {
    const id = request('mode', { value });
    windowAsked = !!id;
    windowNote.say(id ? t('sent') : '');
  }
  function windowReport(msg) {
    if (!windowAsked) return;
    windowAsked = false;
    const text = { full: 'winFull', windowed: msg.ret === '0' ? 'winWindowed' : 'winNotFull',
      hidden: msg.ret === '0' ? 'winHidden' : 'winNotShown' }[msg.value];
    windowNote.say(t(text || 'winNotShown'), msg.ret === '0' ? 'ok' : 'error');
  }
  $('mode-show').addEventListener('click', () => windowRequest('show'));
  $('mode-remote').addEventListener('click', () => windowRequest('remote'));

  const imageNotes = new Map(); // request id -> the note waiting for its report
  // A picture is meant to be seen: the window comes up with it.
  function showImage(url, note) {
    send('mode', { value: 'show' }, () => {});
    const id = request('show.image', { url }, (reply) => {
      if (reply.ret !== '0') {
        imageNotes.delete(reply.id);
        note.say(t('failed', reply.desc || reply.ret), 'error');
      }
    });
    if (id) imageNotes.set(id, note);
    note.say(id ? t('sent') : t('notConnected'), id ? '' : 'error');
  }

  $('image-form').addEventListener('submit', (e) => {
    e.preventDefault();
    showImage($('image-url').value.trim(), noteOf($('image-status')));
  });

  const MAX_UPLOAD = 64 * 1024 * 1024;
  $('upload').addEventListener('change', () => {
    const file = $('upload').files[0];
    $('upload').value = ''; // the same photo chosen again must fire again
    if (file) upload(file);
  });

  function upload(file) {
    const note = noteOf($('upload-status'));
    const bar = $('upload-progress');
    if (state !== 'connected') return note.say(t('notConnected'), 'error');
    if (file.size > MAX_UPLOAD) return note.say(t('uploadTooLarge'), 'error');
    // Some galleries hand over files without a type; the name still tells.
    let type = file.type;
    if (!type) {
      const ext = (/\.([a-z0-9]+)$/i.exec(file.name) || [])[1] || '';
      type = ext ? 'image/' + ext.toLowerCase().replace('jpg', 'jpeg') : 'application/octet-stream';
    }
    const xhr = new XMLHttpRequest();
    xhr.open('POST', '/upload');
    xhr.setRequestHeader('X-JW-Code', code);
    xhr.setRequestHeader('Content-Type', type);
    xhr.upload.onprogress = (e) => {
      if (e.lengthComputable) {
        bar.value = Math.round((e.loaded / e.total) * 100);
        note.say(t('uploading', bar.value));
      }
    };
    xhr.onload = () => {
      bar.hidden = true;
      let url = '';
      try { url = JSON.parse(xhr.responseText).url || ''; } catch (e) { /* not JSON */ }
      if (xhr.status === 200 && url) return showImage(url, note);
      const why = { 403: 'uploadForbidden', 413: 'uploadTooLarge', 415: 'uploadNotImage' }[xhr.status];
      note.say(why ? t(why) : t('uploadFailed', xhr.status || '—'), 'error');
    };
    xhr.onerror = () => { bar.hidden = true; note.say(t('uploadFailed', t('offline')), 'error'); };
    bar.value = 0;
    bar.hidden = false;
    note.say(t('uploading', 0));
    xhr.send(file);
  }

  // --- video --------------------------------------------------------------------------
  const video = (() => {
    const seek = $('video-seek'), vol = $('video-volume'), mute = $('video-mute');
    const status = $('video-status');
    let duration = 0, position = 0, dragging = false, volumeTimer = 0, volumeHeld = false;
    // While a video opens the player passes through states it reports as
    // "stoped", and one that cannot be opened ends as "stoped" too: the page says
    // "opening" until it plays, and why it cannot until the next video or stop.
    let opening = false, failed = false;
    const clock = (ms) => {
      const s = Math.max(0, Math.floor(ms / 1000));
      const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60), r = String(s % 60).padStart(2, '0');
      return h ? `${h}:${String(m).padStart(2, '0')}:${r}` : `${m}:${r}`;
    };
    const paint = () => {
      if (!dragging) seek.value = String(position);
      $('video-time').textContent = `${clock(dragging ? +seek.value : position)} / ${clock(duration)}`;
    };
    const say = (st) => {
      status.dataset.state = st;
      status.textContent = TEXTS[lang]['st_' + st] || TEXTS.en['st_' + st] || st || '–';
    };
    const control = (act, fields = {}) => request('show.video.control', Object.assign({ act }, fields));
    const setMute = (on) => {
      mute.setAttribute('aria-pressed', String(on));
      mute.textContent = t(on ? 'unmute' : 'mute');
    };

    $('video-form').addEventListener('submit', (e) => {
      e.preventDefault();
      send('mode', { value: 'show' }, () => {});
      duration = position = 0;
      seek.max = '0';
      paint();
      failed = false;
      if (request('show.video', { url: $('video-url').value.trim() }, (reply) => {
        if (reply.ret !== '0') { opening = false; say('failed'); }
      })) {
        opening = true;
        say('opening');
      }
    });
    $('video-play').addEventListener('click', () => control('play'));
    $('video-pause').addEventListener('click', () => control('pause'));
    $('video-stop').addEventListener('click', () => { opening = failed = false; control('stop'); });
    seek.addEventListener('input', () => { dragging = true; paint(); });
    seek.addEventListener('change', () => {
      dragging = false;
      position = +seek.value;
      control('seek', { time: String(position) });
      paint();
    });
    // Volume follows the finger, at most five packets a second.
    vol.addEventListener('input', () => {
      volumeHeld = true;
      if (volumeTimer) return;
      volumeTimer = setTimeout(() => {
        volumeTimer = 0;
        control('volume', { value: vol.value });
      }, 200);
    });
    vol.addEventListener('change', () => {
      volumeHeld = false;
      clearTimeout(volumeTimer);
      volumeTimer = 0;
      control('volume', { value: vol.value });
    });
    mute.addEventListener('click', () => {
      const on = mute.getAttribute('aria-pressed') !== 'true';
      if (control('mute', { value: on ? 'true' : 'false' })) setMute(on);
    });
    setMute(false);

    return {
      report(msg) {
        const n = (v) => { const x = parseInt(v, 10); return Number.isFinite(x) && x >= 0 ? x : 0; };
        if (msg.act === 'duration') {
          duration = n(msg.value);
          seek.max = String(duration);
        } else if (msg.act === 'position') {
          position = n(msg.time);
          if (position > duration) { duration = position; seek.max = String(duration); }
        } else if (msg.act === 'volume') {
          if (!volumeHeld) vol.value = String(n(msg.value));
        } else if (msg.act === 'status') {
          const st = String(msg.value || '');
          if (st !== 'stoped' || !(opening || failed)) {
            if (st === 'playing' || st === 'paused') opening = failed = false;
            say(st);
          }
        }
        paint();
      },
      failed() {
        opening = false;
        failed = true;
        say('failed');
      },
    };
  })();

  // --- the shown picture: the pads' proportions and what is behind their strokes --------
  const shownPicture = (() => {
    let ratio = 16 / 9, url = '', image = null;
    return {
      get ratio() { return ratio; },
      get image() { return image && image.complete && image.naturalWidth ? image : null; },
      set(msg) {
        const w = parseInt(msg.width, 10), h = parseInt(msg.height, 10);
        if (!(w > 0 && h > 0)) return;
        ratio = w / h;
        if (msg.url !== url) {
          url = msg.url || '';
          image = null;
          const pad = $('pad');
          if (url) {
            const img = new Image();
            img.onload = () => { if (url === img.src) { image = img; board.paint(); } };
            img.src = url;
            pad.style.backgroundImage = `url("${url}")`;
            pad.dataset.picture = '';
          } else {
            pad.style.backgroundImage = '';
            delete pad.dataset.picture;
          }
        }
        layout();
      },
    };
  })();

  // The pads take the picture's proportions at the largest size that leaves room
  // around them (a drag there scrolls the page; on a pad it draws): in landscape
  // they fit the screen's height beside their tools.
  const landscape = window.matchMedia('(orientation: landscape) and (max-height: 560px)');
  function fitBox(el, maxW, maxH) {
    const frame = el.offsetWidth - el.clientWidth || 4;
    let w = Math.max(40, maxW - frame), h = w / shownPicture.ratio;
    if (h > maxH - frame) {
      h = Math.max(40, maxH - frame);
      w = h * shownPicture.ratio;
    }
    el.style.width = `${Math.floor(w) + frame}px`;
    el.style.height = `${Math.floor(h) + frame}px`;
    el.dataset.ratio = shownPicture.ratio.toFixed(4);
  }
  function contentWidth(el) {
    const cs = getComputedStyle(el);
    return el.clientWidth - parseFloat(cs.paddingLeft) - parseFloat(cs.paddingRight);
  }
  function layout() {
    const header = document.querySelector('.top').offsetHeight;
    const tabs = landscape.matches ? 0 : $('tabs').offsetHeight;
    const room = window.innerHeight - header - tabs;
    // The screen below the header and above the tab bar, for a tab that fills it.
    document.body.style.setProperty('--room',
      `${window.innerHeight - header - parseFloat(getComputedStyle(document.body).paddingBottom)}px`);
    const pad = $('pad'), canvas = $('board');
    if (pad.offsetParent) {
      const card = pad.parentElement;
      const cs = getComputedStyle(card);
      const chrome = parseFloat(cs.marginTop) + parseFloat(cs.marginBottom) +
        parseFloat(cs.paddingTop) + parseFloat(cs.paddingBottom) + 2 +
        card.querySelector('h2').offsetHeight + parseFloat(cs.rowGap || 0);
      fitBox(pad, landscape.matches ? contentWidth(card) * 0.72 : contentWidth(card),
        landscape.matches ? room - chrome : room - chrome - 96);
    }
    if (canvas.offsetParent) {
      const card = canvas.closest('.card');
      const cs = getComputedStyle(card);
      const chrome = parseFloat(cs.marginTop) + parseFloat(cs.marginBottom) +
        parseFloat(cs.paddingTop) + parseFloat(cs.paddingBottom) + 2;
      if (landscape.matches) {
        fitBox(canvas, contentWidth(card) - 284 - 10, room - chrome);
      } else {
        const actions = card.querySelector('.board-actions').offsetHeight + parseFloat(cs.rowGap || 0);
        fitBox(canvas, contentWidth(card), room - chrome - actions - 96);
      }
      board.fit();
    }
  }
  window.addEventListener('resize', layout);
  landscape.addEventListener('change', layout);

  // --- pointing: both pads give thousandths of their inner box ------------------------
  const clamp = (v) => Math.min(1000, Math.max(0, Math.round(v)));
  function thousandths(el, e) {
    const r = el.getBoundingClientRect();
    return {
      x: clamp(((e.clientX - r.left - el.clientLeft) / el.clientWidth) * 1000),
      y: clamp(((e.clientY - r.top - el.clientTop) / el.clientHeight) * 1000),
    };
  }
  // Keeps only the latest value and hands it on once per animation frame.
  function perFrame(deliver) {
    let latest = null, frame = 0;
    const flush = () => {
      cancelAnimationFrame(frame);
      frame = 0;
      if (latest) { const v = latest; latest = null; deliver(v); }
    };
    return {
      push(v) {
        latest = v;
        if (!frame) frame = requestAnimationFrame(flush);
      },
      flush,
    };
  }

  (() => {
    const pad = $('pad'), dot = $('pad-dot');
    let down = null;
    const move = perFrame((p) => send('mouse.move', { x: p.x, y: p.y }));
    const track = (e) => {
      const p = thousandths(pad, e);
      dot.style.left = `${p.x / 10}%`;
      dot.style.top = `${p.y / 10}%`;
      dot.hidden = false;
      move.push(p);
    };
    pad.addEventListener('pointerdown', (e) => {
      e.preventDefault();
      down = e.pointerId;
      pad.setPointerCapture(e.pointerId);
      track(e);
    });
    // A mouse moves the pointer without a button held, as on the PC itself.
    pad.addEventListener('pointermove', (e) => {
      if (e.pointerId === down || e.pointerType === 'mouse') track(e);
    });
    const up = (e) => {
      if (e.pointerId !== down) return;
      down = null;
      move.flush();
    };
    pad.addEventListener('pointerup', up);
    pad.addEventListener('pointercancel', up);
    pad.addEventListener('pointerleave', () => { if (down === null) { dot.hidden = true; move.flush(); } });
  })();

  // --- whiteboard ---------------------------------------------------------------------
  const board = (() => {
    const canvas = $('board');
    const ctx = canvas.getContext('2d');
    const MAX_KEPT = 2000; // items kept over a reload, at most
    let open = false;
    let openBefore = false; // open before this page was reloaded: the PC may have kept it
    let shape = 'curve';
    let rgb = [255, 0, 0];
    let width = 4;
    let items = [], undone = [], current = null, textAt = null, drawing = null;

    const sendDrawing = perFrame((p) => {
      send('whiteboard.drawing', { x: p.x, y: p.y });
      if (current) { current.pts.push(p); paint(); }
    });

    // What the board was doing survives a reload of this tab: the PC keeps its
    // board for a page that comes back at once.
    function save() {
      keepInSession('jw.board', JSON.stringify({
        open: open || openBefore, shape, rgb, width, items: items.slice(-MAX_KEPT),
      }));
    }
    function restore() {
      try {
        const s = JSON.parse(session('jw.board') || 'null');
        if (!s) return;
        openBefore = !!s.open;
        if (typeof s.shape === 'string') shape = s.shape;
        if (Array.isArray(s.rgb) && s.rgb.length === 3) rgb = s.rgb.map(Number);
        if (Number.isFinite(s.width)) width = s.width;
        if (Array.isArray(s.items)) items = s.items;
      } catch (e) { /* a board of another version: start afresh */ }
    }

    // The canvas keeps its own pixels at the screen's density; items are kept in
    // thousandths so they survive a resize.
    function fit() {
      const w = canvas.clientWidth, h = canvas.clientHeight;
      if (!w || !h) return;
      const d = window.devicePixelRatio || 1;
      if (canvas.width !== Math.round(w * d) || canvas.height !== Math.round(h * d)) {
        canvas.width = Math.round(w * d);
        canvas.height = Math.round(h * d);
      }
      paint();
    }
    // Every colour shows on any picture: a stroke is drawn over a rim of the
    // opposite brightness.
    const rimOf = (c) => ((c[0] * 299 + c[1] * 587 + c[2] * 114) / 1000 > 140
      ? 'rgba(0,0,0,.75)' : 'rgba(255,255,255,.8)');
    function paint() {
      const W = canvas.width, H = canvas.height;
      ctx.fillStyle = '#0b1117';
      ctx.fillRect(0, 0, W, H);
      const picture = shownPicture.image;
      if (picture) ctx.drawImage(picture, 0, 0, W, H);
      // Pen widths are pixels of a full-HD screen; the canvas shows that screen smaller.
      const scale = W / 1920;
      const rim = Math.max(1.5, (window.devicePixelRatio || 1) * 1.5);
      const X = (p) => (p.x / 1000) * W, Y = (p) => (p.y / 1000) * H;
      for (const it of items.concat(current ? [current] : [], textAt ? [textAt] : [])) {
        const a = it.pts[0], b = it.pts[it.pts.length - 1];
        const lineWidth = Math.max(1, it.width * scale * 2);
        ctx.lineCap = ctx.lineJoin = 'round';
        ctx.beginPath();
        if (it.shape === 'text') {
          ctx.font = `bold ${Math.max(10, Math.max(it.width, 16) * scale * 2.6)}px sans-serif`;
          ctx.textBaseline = 'top';
          ctx.lineWidth = rim * 2;
          ctx.strokeStyle = rimOf(it.rgb);
          ctx.strokeText(it.text, X(a), Y(a));
          ctx.fillStyle = `rgb(${it.rgb.join(',')})`;
          ctx.fillText(it.text, X(a), Y(a));
          continue;
        } else if (it.shape === 'curve') {
          ctx.moveTo(X(a), Y(a));
          for (const p of it.pts) ctx.lineTo(X(p), Y(p));
        } else if (it.shape === 'line') {
          ctx.moveTo(X(a), Y(a));
          ctx.lineTo(X(b), Y(b));
        } else if (it.shape === 'rect') {
          ctx.rect(X(a), Y(a), X(b) - X(a), Y(b) - Y(a));
        } else if (it.shape === 'ellipse') {
          ctx.ellipse((X(a) + X(b)) / 2, (Y(a) + Y(b)) / 2, Math.abs(X(b) - X(a)) / 2,
            Math.abs(Y(b) - Y(a)) / 2, 0, 0, 2 * Math.PI);
        }
        ctx.strokeStyle = rimOf(it.rgb);
        ctx.lineWidth = lineWidth + rim * 2;
        ctx.stroke();
        ctx.strokeStyle = `rgb(${it.rgb.join(',')})`;
        ctx.lineWidth = lineWidth;
        ctx.stroke();
      }
    }

    function setOpen(o) {
      open = o;
      canvas.dataset.open = String(o);
      $('board-open').setAttribute('aria-pressed', String(o));
      $('board-open').textContent = t(o ? 'boardIsOpen' : 'boardOpen');
    }
    function pick(groupSelector, button) {
      for (const b of document.querySelectorAll(groupSelector)) b.setAttribute('aria-pressed', String(b === button));
    }
    function showTools() {
      pick('[data-shape]', document.querySelector(`[data-shape="${shape}"]`));
      pick('[data-rgb]', document.querySelector(`[data-rgb="${rgb.join(',')}"]`));
      pick('[data-width]', document.querySelector(`[data-width="${width}"]`));
    }
    // The PC's board starts with its own pen: ours goes over at every opening.
    function sendSettings() {
      send('whiteboard.color', { r: rgb[0], g: rgb[1], b: rgb[2] });
      send('whiteboard.pen.width', { value: String(width) });
      if (shape !== 'text') send('whiteboard.shape', { act: shape });
    }
    function openBoard() {
      if (!send('whiteboard.start')) {
        toast(t('notConnected'));
        return false;
      }
      setOpen(true);
      sendSettings();
      save();
      return true;
    }
    $('board-open').addEventListener('click', openBoard);
    $('board-close').addEventListener('click', () => {
      endText();
      if (open) send('whiteboard.end');
      setOpen(false);
      items = [];
      undone = [];
      save();
      paint();
    });

    for (const b of document.querySelectorAll('[data-shape]')) {
      b.addEventListener('click', () => {
        endText();
        shape = b.dataset.shape;
        pick('[data-shape]', b);
        if (open && shape !== 'text') send('whiteboard.shape', { act: shape });
        save();
      });
    }
    for (const b of document.querySelectorAll('[data-rgb]')) {
      b.style.background = `rgb(${b.dataset.rgb})`;
      b.addEventListener('click', () => {
        rgb = b.dataset.rgb.split(',').map(Number);
        pick('[data-rgb]', b);
        if (open) send('whiteboard.color', { r: rgb[0], g: rgb[1], b: rgb[2] });
        save();
      });
    }
    for (const b of document.querySelectorAll('[data-width]')) {
      b.addEventListener('click', () => {
        width = Number(b.dataset.width);
        pick('[data-width]', b);
        if (open) send('whiteboard.pen.width', { value: String(width) });
        save();
      });
    }
    $('board-undo').addEventListener('click', () => {
      endText();
      if (open) send('whiteboard.undo');
      if (items.length) undone.push(items.pop());
      save();
      paint();
    });
    $('board-redo').addEventListener('click', () => {
      if (open) send('whiteboard.redraw');
      if (undone.length) items.push(undone.pop());
      save();
      paint();
    });
    $('board-clear').addEventListener('click', () => {
      endText();
      if (open) send('whiteboard.clear');
      items = [];
      undone = [];
      save();
      paint();
    });

    canvas.addEventListener('pointerdown', (e) => {
      e.preventDefault();
      if (drawing !== null || (!open && !openBoard())) return;
      const p = thousandths(canvas, e);
      if (shape === 'text') return startText(p);
      drawing = e.pointerId;
      canvas.setPointerCapture(e.pointerId);
      send('whiteboard.draw.start', { x: p.x, y: p.y });
      current = { shape, rgb, width, pts: [p] };
      paint();
    });
    canvas.addEventListener('pointermove', (e) => {
      if (e.pointerId === drawing) sendDrawing.push(thousandths(canvas, e));
    });
    const up = (e) => {
      if (e.pointerId !== drawing) return;
      sendDrawing.flush();
      drawing = null;
      send('whiteboard.draw.end');
      if (current) {
        items.push(current);
        undone = [];
      }
      current = null;
      save();
      paint();
    };
    canvas.addEventListener('pointerup', up);
    canvas.addEventListener('pointercancel', up);

    // Text: a tap marks the place, the words appear on the PC while they are typed.
    const setText = perFrame((s) => send('whiteboard.string.set', { text: s.text }));
    function startText(p) {
      endText();
      textAt = { shape: 'text', rgb, width, pts: [p], text: '' };
      send('whiteboard.string.start', { x: p.x, y: p.y });
      $('text-form').hidden = false;
      $('text-input').value = '';
      $('text-input').focus();
    }
    function endText() {
      if (!textAt) return;
      const it = textAt;
      textAt = null;
      it.text = $('text-input').value;
      setText.flush();
      send('whiteboard.string.set', { text: it.text });
      send('whiteboard.string.end');
      $('text-form').hidden = true;
      if (it.text) { items.push(it); undone = []; save(); }
      paint();
    }
    $('text-input').addEventListener('input', () => {
      if (!textAt) return;
      textAt.text = $('text-input').value;
      setText.push({ text: textAt.text });
      paint();
    });
    $('text-form').addEventListener('submit', (e) => { e.preventDefault(); endText(); });

    restore();
    setOpen(false);
    showTools();
    return {
      fit,
      paint,
      // The PC kept this phone's board (a reload, a short network loss): it is open
      // there with its ink; opening an open one keeps it, and our pen goes over.
      resume() {
        const o = open || openBefore;
        openBefore = false;
        if (o) { send('whiteboard.start'); sendSettings(); }
        setOpen(o);
        save();
        paint();
      },
      // The PC has no board of ours (any more).
      forget() {
        openBefore = false;
        textAt = null;
        $('text-form').hidden = true;
        setOpen(false);
        items = [];
        undone = [];
        save();
        paint();
      },
    };
  })();

  // --- slides: keys for the presentation program in front on the PC -------------------
  (() => {
    const area = $('slides');
    const note = noteOf($('slides-status'));
    const LABELS = { next: 'keyNext', previous: 'keyPrevious', first: 'keyFirst', last: 'keyLast',
      start: 'keyStart', end: 'keyEnd', black: 'keyBlack', white: 'keyWhite' };
    // The PC takes at most 20 keys from a controller in any second and refuses the
    // rest. Here a key counts from its sending until a second after its reply: the
    // PC counted it at some moment in between, so however the network bunches them
    // up, the PC never gets more from this page than it takes. Presses beyond that
    // are dropped, not queued: slides racing on after the finger has stopped are
    // worse than a press that did nothing.
    const MAX_KEYS = 20, WINDOW_MS = 1000;
    let recent = []; // {sent, answered}: answered stays 0 until the reply
    // The note says what came of the last press, and of any that was refused. No
    // toast here: it would lie over the keys for seconds.
    let latest = '';
    function press(key) {
      const now = Date.now();
      // One whose reply never came went with the connection it was sent on.
      recent = recent.filter((k) => (k.answered ? now - k.answered < WINDOW_MS
        : now - k.sent < REPLY_TIMEOUT_MS + WINDOW_MS));
      if (recent.length >= MAX_KEYS) {
        latest = '';
        return note.say(t('tooFast'), 'error');
      }
      const sent = { sent: now, answered: 0 };
      const id = send('key', { value: key }, (reply) => {
        sent.answered = Date.now();
        if (reply.ret !== '0') note.say(t('failed', reason(reply.desc || reply.ret)), 'error');
        else if (reply.id === latest) note.say(t('keyDone', t(LABELS[key])), 'ok');
      });
      latest = id;
      if (!id) return note.say(t('notConnected'), 'error');
      recent.push(sent);
      note.say(t('sent'));
    }
    for (const b of area.querySelectorAll('[data-key]')) {
      b.addEventListener('click', () => press(b.dataset.key));
    }

    // A swipe is a clear sideways move of one finger (or of the mouse with its
    // button held) anywhere on the tab: a tap is a press of what it touched, and a
    // vertical or slanting drag is no swipe (the browser scrolls with the former).
    const SWIPE_PX = 60;
    let start = null;
    let swiped = false; // down and up on one button also clicks it: that is no press
    area.addEventListener('pointerdown', (e) => {
      swiped = false;
      start = e.isPrimary && e.button === 0 ? { id: e.pointerId, x: e.clientX, y: e.clientY } : null;
    });
    // Lifted anywhere: a finger that slid off the tab still swiped.
    document.addEventListener('pointerup', (e) => {
      if (!start || e.pointerId !== start.id) return;
      const dx = e.clientX - start.x, dy = e.clientY - start.y;
      start = null;
      if (Math.abs(dx) < SWIPE_PX || Math.abs(dx) < 2 * Math.abs(dy)) return;
      swiped = true;
      press(dx < 0 ? 'next' : 'previous');
    });
    document.addEventListener('pointercancel', (e) => {
      if (start && e.pointerId === start.id) start = null;
    });
    // Keyboard clicks (detail 0) are presses whatever came before.
    area.addEventListener('click', (e) => {
      if (!swiped || !e.detail) return;
      swiped = false;
      e.stopPropagation();
    }, true);
  })();

  // --- start --------------------------------------------------------------------------
  selectTab(session('jw.tab') || 'screen');
  if (myName && code) connect();
  else showLogin();
})();
