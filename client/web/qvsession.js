// A user's session with the server over WebSocket: the lobby connection and,
// while the user sits in a room, the game connection to the same address.
// Requests wait for their own SC_CORE_RESULT or SC_CORE_ERROR; every packet
// of either connection is also handed to the listener, which keeps the
// balances, the rooms and the table on screen. The WebSocket class is passed
// in, so the module carries no browser dependency of its own.
import * as qv from './qvprotocol.js';

const kRequestTimeoutMs = 10000;
const kKeepAliveMs = 60000;  // the server closes a logged-in connection after 180 s of silence
const kServerFull = '服务器已达到最大人数';

export class RequestError extends Error {
  constructor(signal, text) {
    super(text);
    this.signal = signal;
  }
}

// One WebSocket carrying the packet stream. onPacket(packet, parsed) sees
// every packet; onClose(reason) is called once.
export class Connection {
  constructor(url, { WebSocketImpl = globalThis.WebSocket, onPacket = () => {}, onClose = () => {} } = {}) {
    this.url = url;
    this.WebSocketImpl = WebSocketImpl;
    this.onPacket = onPacket;
    this.onClose = onClose;
    this.parser = new qv.FrameParser();
    this.waiters = new Set();
    this.ws = null;
    this.closed = false;
    this.keepAlive = null;
  }

  // Connects and waits for the server's accept reply. With acceptFull a
  // "server full" reply still counts: such a connection serves a login into
  // the user's existing session, which is what a game connection is.
  open({ acceptFull = false } = {}) {
    const ws = new this.WebSocketImpl(this.url);
    ws.binaryType = 'arraybuffer';
    this.ws = ws;
    const accepted = this.wait(qv.Signal.CONNECT_REPLY, {
      acceptError: acceptFull ? (text) => text === kServerFull : null,
    });
    ws.onmessage = (e) => this.receive(e.data);
    ws.onclose = (e) => this.finish(`the server closed the connection (${e.code}${e.reason ? ' ' + e.reason : ''})`);
    ws.onerror = () => this.finish('the connection failed');
    return accepted.then(() => {
      this.keepAlive = setInterval(() => this.send(qv.makeKeepAlive()), kKeepAliveMs);
    });
  }

  receive(data) {
    if (!(data instanceof ArrayBuffer)) {
      this.fail('the server sent a text message');
      return;
    }
    for (const p of this.parser.push(new Uint8Array(data))) {
      const parsed = qv.parsePacket(p);
      for (const w of [...this.waiters]) w.see(parsed);
      this.onPacket(p, parsed);
    }
    if (this.parser.bad) this.fail('the server sent a bad frame length');
  }

  send(packet) {
    if (this.closed || !this.ws || this.ws.readyState !== 1) return false;
    this.ws.send(qv.frame(packet));
    return true;
  }

  // Resolves with the packet that answers `signal` (SC_CORE_RESULT, or
  // SC_CORE_NOTICE with noticeOk); rejects on its SC_CORE_ERROR, on time-out
  // or when the connection ends.
  wait(signal, { noticeOk = false, acceptError = null, timeoutMs = kRequestTimeoutMs } = {}) {
    return new Promise((resolve, reject) => {
      const w = {
        see: (m) => {
          if (m.type === 'result' && m.request === signal) done(resolve, m);
          else if (noticeOk && m.type === 'notice') done(resolve, m);
          else if (m.type === 'error' && m.request === signal) {
            if (acceptError && acceptError(m.text)) done(resolve, m);
            else done(reject, new RequestError(signal, m.text));
          }
        },
        end: (why) => done(reject, new RequestError(signal, why)),
      };
      const timer = setTimeout(() => w.end('no answer within the time-out'), timeoutMs);
      const done = (fn, v) => {
        clearTimeout(timer);
        this.waiters.delete(w);
        fn(v);
      };
      if (this.closed) w.end(this.closeReason);
      else this.waiters.add(w);
    });
  }

  // Waits for the next packet of a type (for messages that are no reply).
  next(type, timeoutMs = kRequestTimeoutMs) {
    return new Promise((resolve, reject) => {
      const w = {
        see: (m) => { if (m.type === type) done(resolve, m); },
        end: (why) => done(reject, new Error(why)),
      };
      const timer = setTimeout(() => w.end(`no ${type} within the time-out`), timeoutMs);
      const done = (fn, v) => { clearTimeout(timer); this.waiters.delete(w); fn(v); };
      if (this.closed) w.end(this.closeReason);
      else this.waiters.add(w);
    });
  }

  request(packet, signal, opts) {
    const answer = this.wait(signal, opts);
    if (!this.send(packet)) return Promise.reject(new RequestError(signal, 'not connected'));
    return answer;
  }

  close() {
    if (this.ws && !this.closed) this.ws.close(1000);
    this.finish('closed by the client');
  }

  fail(why) {
    if (this.ws && !this.closed) this.ws.close(1002);
    this.finish(why);
  }

  finish(why) {
    if (this.closed) return;
    this.closed = true;
    this.closeReason = why;
    clearInterval(this.keepAlive);
    for (const w of [...this.waiters]) w.end(why);
    this.onClose(why);
  }
}

// The user's lobby and game connections. listener(which, parsed) gets every
// packet ('lobby' or 'game') and listener('closed', {which, reason}) when a
// connection ends.
export class Session {
  constructor(url, { WebSocketImpl = globalThis.WebSocket, listener = () => {} } = {}) {
    this.url = url;
    this.WebSocketImpl = WebSocketImpl;
    this.listener = listener;
    this.lobby = null;
    this.game = null;
    this.name = '';
    this.loginString = '';
  }

  connection(which) {
    return new Connection(this.url, {
      WebSocketImpl: this.WebSocketImpl,
      onPacket: (_p, m) => this.listener(which, m),
      onClose: (reason) => {
        if (which === 'game') this.game = null;
        this.listener('closed', { which, reason });
      },
    });
  }

  // Connects the lobby and logs in; the user record arrives before the result.
  async login(name, loginString) {
    this.lobby = this.connection('lobby');
    await this.lobby.open();
    this.name = name;
    this.loginString = loginString;
    await this.lobby.request(qv.makeLogin(qv.Signal.CS_LOBBY_CLIENT_LOGIN, name, loginString),
                             qv.Signal.CS_LOBBY_CLIENT_LOGIN);
  }

  // The room states and the coin parameters arrive through the listener.
  roomList() {
    return this.lobby.request(qv.makeSignalOnly(qv.Signal.CS_GET_ROOM_LIST), qv.Signal.CS_GET_ROOM_LIST);
  }

  // Resolves with the server's notice text (the coins bought and the gold paid).
  async buyCoins() {
    const m = await this.lobby.request(qv.makeSignalOnly(qv.Signal.CS_BUY_GAME_COIN), qv.Signal.CS_BUY_GAME_COIN,
                                       { noticeOk: true });
    return m.text;
  }

  // Takes a seat, then brings the game connection up: login, version check,
  // ready. Resolves once the lobby reports the game client ready.
  async join(room, mode) {
    await this.lobby.request(qv.makeJoinRoom(room, mode), qv.Signal.CS_JOIN_ROOM);
    try {
      this.game = this.connection('game');
      await this.game.open({ acceptFull: true });
      await this.game.request(qv.makeLogin(qv.Signal.CS_GAME_CLIENT_LOGIN, this.name, this.loginString),
                              qv.Signal.CS_GAME_CLIENT_LOGIN);
      await this.game.request(qv.makeVersion(qv.kDiceGameVersion), qv.Signal.CS_CORE_VERSION);
      const ready = this.lobby.next('gameClientReady');
      this.game.send(qv.makeSignalOnly(qv.Signal.CS_GAME_CLIENT_READY));
      await ready;
    } catch (e) {
      this.leave();  // no half-joined seat left behind
      throw e;
    }
  }

  // The table's answer (DICE_SC_READY) comes through the listener.
  ready() { return this.gameSend(qv.makeDiceReady()); }
  chat(text) { return this.gameSend(qv.makeDiceChat(text)); }

  gameSend(packet) { return this.game ? this.game.send(packet) : false; }

  leave() {
    if (this.lobby) this.lobby.send(qv.makeSignalOnly(qv.Signal.CS_LEAVE_ROOM));
    if (this.game) this.game.close();
    this.game = null;
  }

  logout() {
    if (this.lobby) {
      this.lobby.send(qv.makeSignalOnly(qv.Signal.CS_LOBBY_CLIENT_LOGOUT));
      this.lobby.close();
    }
    if (this.game) this.game.close();
    this.lobby = this.game = null;
  }
}
