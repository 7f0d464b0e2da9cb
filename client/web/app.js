// The page: log in, the lobby (balances, coins, rooms) and the dice table
// (ready, rounds, chat). All protocol work is in qvsession.js and
// qvprotocol.js; this file only turns their events into the page and the
// user's clicks into requests.
import { Session } from './qvsession.js';
import { JoinMode, DiceReadyStatus, DiceCancelReason, makeGetRoomUsers } from './qvprotocol.js';
import { makeLoginString, nowSeconds } from './loginstring.js';

const $ = (id) => document.getElementById(id);

const state = {
  session: null,
  rooms: new Map(),      // room index -> { places, players }
  room: -1,              // the room sat in, -1 for none
  mode: JoinMode.PLAYER,
  place: -1,             // own place, from the table's ready answer
  names: new Map(),      // place -> user name in the room sat in
  countdown: null,
  rolls: new Map(),      // place -> [die, die] of the current round
};

function setStatus(text, isError = false) {
  const s = $('status');
  s.textContent = text;
  s.classList.toggle('error', isError);
}

function show(panel) {
  $('loginPanel').hidden = panel !== 'login';
  $('lobbyPanel').hidden = panel === 'login';
  $('tablePanel').hidden = panel !== 'table';
}

function placeName(place) {
  const n = state.names.get(place);
  return n ? `${n} (place ${place})` : `place ${place}`;
}

function renderRooms() {
  const body = $('rooms').tBodies[0];
  body.replaceChildren();
  for (const [index, r] of [...state.rooms].sort((a, b) => a[0] - b[0])) {
    const tr = document.createElement('tr');
    tr.dataset.room = index;
    const cells = [`Room ${index + 1}`, `${r.players} / ${r.places}`];
    for (const text of cells) {
      const td = document.createElement('td');
      td.textContent = text;
      tr.append(td);
    }
    const td = document.createElement('td');
    for (const [label, mode] of [['Sit down', JoinMode.PLAYER], ['Watch', JoinMode.OBSERVER]]) {
      const b = document.createElement('button');
      b.type = 'button';
      b.textContent = label;
      b.className = mode === JoinMode.PLAYER ? 'join' : 'watch';
      b.disabled = state.room >= 0;
      b.onclick = () => join(index, mode);
      td.append(b);
    }
    tr.append(td);
    body.append(tr);
  }
}

function addChat(text, cls = '') {
  const li = document.createElement('li');
  li.textContent = text;
  if (cls) li.className = cls;
  $('chatLog').append(li);
  li.scrollIntoView({ block: 'nearest' });
}

function stopCountdown() {
  clearInterval(state.countdown);
  state.countdown = null;
}

function onRoundPacket(m) {
  switch (m.type) {
    case 'diceReady':
      state.place = m.place;
      $('seat').textContent = `You sit at place ${m.place}: ${DiceReadyStatus[m.status] ?? `status ${m.status}`}.`;
      break;
    case 'diceCountdown': {
      stopCountdown();
      const end = Date.now() + m.ms;
      const tick = () => {
        const left = Math.max(0, end - Date.now());
        $('roundState').textContent = `Round ${m.round} starts in ${(left / 1000).toFixed(1)} s with ` +
          `${m.places.map(placeName).join(', ')}.`;
        if (!left) stopCountdown();
      };
      tick();
      state.countdown = setInterval(tick, 100);
      $('rolls').replaceChildren();
      $('roundResult').textContent = '';
      refreshNames();
      break;
    }
    case 'diceRoundStart':
      stopCountdown();
      state.rolls.clear();
      $('rolls').replaceChildren();
      $('roundState').textContent = `Round ${m.round}: everyone stakes ${m.stake} coins.`;
      break;
    case 'diceRoll': {
      state.rolls.set(m.place, m.dice);
      const li = document.createElement('li');
      li.textContent = `${placeName(m.place)} rolls ${m.dice[0]} + ${m.dice[1]} = ${m.dice[0] + m.dice[1]}`;
      $('rolls').append(li);
      break;
    }
    case 'diceResult': {
      const r = $('roundResult');
      const winners = m.players.filter((p) => p.payout > 0);
      const mine = m.players.find((p) => p.place === state.place);
      r.textContent = `Round ${m.round} settled: pot ${m.pot}, rake ${m.rake}; ` +
        (winners.length ? winners.map((p) => `${placeName(p.place)} wins ${p.payout}`).join(', ')
                        : 'nobody wins') +
        (mine ? `. You rolled ${mine.total} and get ${mine.payout}.` : '.');
      Object.assign(r.dataset, { round: m.round, pot: m.pot, rake: m.rake });
      $('roundState').textContent = `Round ${m.round} is over. Say ready for the next one.`;
      break;
    }
    case 'diceCancelled':
      stopCountdown();
      $('roundState').textContent = `Round ${m.round} was cancelled: ${DiceCancelReason[m.reason] ?? `reason ${m.reason}`}.`;
      $('roundState').dataset.cancelled = m.round;
      break;
    case 'diceChat':
      addChat(`${placeName(m.place)}: ${m.text}`);
      break;
    default:
      break;
  }
}

function onPacket(which, m) {
  if (which === 'closed') {
    if (m.which === 'lobby') {
      setStatus(`Disconnected: ${m.reason}.`, true);
      state.session = null;
      state.room = -1;
      stopCountdown();
      show('login');
    } else if (state.room >= 0) {
      setStatus(`The table connection ended: ${m.reason}.`, true);
    }
    return;
  }
  switch (m.type) {
    case 'userInfo':
      $('userName').textContent = m.name;
      $('gold').textContent = m.gold;
      $('coins').textContent = m.coins;
      break;
    case 'roomState':
      state.rooms.set(m.room, { places: m.places, players: m.players });
      renderRooms();
      break;
    case 'coinParams':
      $('coinParams').textContent = `One coin costs ${m.goldPerCoin} gold and sells back for ` +
        `${m.goldBackPerCoin}; a seat needs ${m.roomMinCoin} coins.`;
      break;
    case 'roomUser':
      state.names.set(m.place, m.user.name);
      break;
    case 'notice':
      setStatus(m.text);
      break;
    case 'error':
      setStatus(`The server refused request ${m.request}: ${m.text}`, true);
      break;
    default:
      onRoundPacket(m);
  }
}

function refreshNames() {
  if (state.session && state.room >= 0) state.session.lobby.send(makeGetRoomUsers(state.room));
}

async function busy(what, fn) {
  setStatus(`${what}…`);
  try {
    await fn();
  } catch (e) {
    setStatus(`${what} failed: ${e.message}`, true);
    return false;
  }
  return true;
}

async function login(e) {
  e.preventDefault();
  const name = $('name').value.trim();
  const loginString = $('loginString').value.trim();
  if (!loginString) {
    setStatus('Paste a login string, or make one from the login key.', true);
    return;
  }
  const session = new Session($('server').value.trim(), { listener: onPacket });
  state.rooms.clear();
  const ok = await busy('Logging in', async () => {
    await session.login(name, loginString);
    state.session = session;
    await session.roomList();
  });
  if (ok) {
    show('lobby');
    setStatus(`Logged in as ${name}.`);
  } else {
    session.logout();
  }
}

async function buy() {
  await busy('Buying coins', async () => setStatus(await state.session.buyCoins()));
}

async function join(room, mode) {
  state.names.clear();
  state.place = -1;
  const ok = await busy(`Joining room ${room + 1}`, async () => {
    await state.session.join(room, mode);
    state.room = room;
    state.mode = mode;
  });
  if (!ok) return;
  $('tableTitle').textContent = `Room ${room + 1}` + (mode === JoinMode.OBSERVER ? ' (watching)' : '');
  $('readyButton').disabled = mode === JoinMode.OBSERVER;
  $('seat').textContent = '';
  $('roundState').textContent = 'Waiting for players.';
  $('rolls').replaceChildren();
  $('roundResult').textContent = '';
  $('chatLog').replaceChildren();
  show('table');
  renderRooms();
  refreshNames();
  setStatus(`You are in room ${room + 1}.`);
}

function leave() {
  state.room = -1;  // before the game connection ends, so its end is no surprise
  state.session.leave();
  stopCountdown();
  show('lobby');
  renderRooms();
  setStatus('You left the room.');
}

function init() {
  const q = new URLSearchParams(location.search);
  $('server').value = q.get('server') || `ws://${location.hostname || '127.0.0.1'}:8080/`;
  $('name').value = q.get('name') || '';
  $('loginForm').onsubmit = login;
  $('makeString').onclick = () => {
    const text = $('loginKey').value.trim();
    try {
      if (!/^-?\d+$/.test(text)) throw new RangeError('The login key is a whole number.');
      const key = Number(text);
      $('loginString').value = makeLoginString(key, nowSeconds());
      $('loginKey').value = '';
      setStatus('Login string made.');
    } catch (e) {
      setStatus(e.message, true);
    }
  };
  $('buyButton').onclick = buy;
  $('logoutButton').onclick = () => {
    state.session?.logout();
  };
  $('readyButton').onclick = () => state.session?.ready();
  $('leaveButton').onclick = leave;
  $('chatForm').onsubmit = (e) => {
    e.preventDefault();
    const text = $('chatInput').value;
    if (text && state.session?.chat(text)) $('chatInput').value = '';
  };
  show('login');
}

init();
