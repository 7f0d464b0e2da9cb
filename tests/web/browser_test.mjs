// The browser client against a real host: a private copy of the staged tree
// with a WebSocket port, two users seeded with qvadmin, the page served by
// serve.py, and two Chromium pages that log in, buy coins, sit down at the
// same table, play a round and chat. The balances on the pages must add up
// (what the two players hold after the round is what they staked less the
// rake the page shows), the books after the host's stop must agree, and the
// host must stop cleanly.
//
//   node browser_test.mjs --stage DIR [--web-dir DIR] [--out DIR] [--chromium PATH]
// --web-dir defaults to the copied tree's share/web; --out receives the
// screenshot (default: the current directory).
import { spawn, execFileSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { parseArgs } from 'node:util';
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';

const { values: opt } = parseArgs({
  options: {
    stage: { type: 'string' },
    'web-dir': { type: 'string' },
    out: { type: 'string', default: '.' },
    chromium: { type: 'string', default: '/usr/bin/chromium' },
  },
});
if (!opt.stage) {
  console.error('usage: node browser_test.mjs --stage DIR [--web-dir DIR] [--out DIR] [--chromium PATH]');
  process.exit(2);
}

const kGold = 100000;
const kGoldToCoin = 100;
const kCoinToGold = 90;
const kSeatCoins = 100;
const kStake = 10;
const kWaitMs = 15000;
const users = ['webalice', 'webbob'];

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

// A child whose output is kept; waitFor resolves once a text has appeared.
function start(program, args, options) {
  const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
  child.output = '';
  const listeners = new Set();
  const take = (d) => {
    child.output += d.toString();
    for (const l of [...listeners]) l();
  };
  child.stdout.on('data', take);
  child.stderr.on('data', take);
  child.exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve(signal ?? code)));
  child.waitFor = (text, ms = kWaitMs) => new Promise((resolve, reject) => {
    const check = () => {
      const m = typeof text === 'string' ? (child.output.includes(text) ? [text] : null) : child.output.match(text);
      if (!m) return;
      listeners.delete(check);
      clearTimeout(timer);
      resolve(m);
    };
    const timer = setTimeout(() => {
      listeners.delete(check);
      reject(new Error(`${path.basename(program)}: no ${text} within ${ms} ms\n--- output ---\n${child.output}`));
    }, ms);
    listeners.add(check);
    check();
  });
  return child;
}

async function poll(what, fn, ms = kWaitMs) {
  const end = Date.now() + ms;
  let last;
  while (Date.now() < end) {
    last = await fn();
    if (last) return last;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`${what}: not within ${ms} ms`);
}

const root = fs.mkdtempSync(path.join(os.tmpdir(), 'qvweb-'));
const children = [];
let browser = null;

async function main() {
  // The staged tree without what an earlier run may have left in it.
  fs.cpSync(opt.stage, root, { recursive: true, verbatimSymlinks: true });
  for (const f of ['Server/QuorvelS.ini', 'Binaries/ServerBaseConfig.ini']) fs.rmSync(path.join(root, f), { force: true });
  for (const d of ['Server/TLOG', 'Server/Logs', 'Binaries/dbc', 'Binaries/GS/ExampleGame/DB']) {
    fs.rmSync(path.join(root, d), { recursive: true, force: true });
    fs.mkdirSync(path.join(root, d), { recursive: true });
  }
  const webDir = opt['web-dir'] ?? path.join(root, 'share', 'web');
  assert.ok(fs.existsSync(path.join(webDir, 'index.html')), `no page in ${webDir}`);

  const tcpPort = await freePort();
  const wsPort = await freePort();
  fs.writeFileSync(path.join(root, 'Server', 'QuorvelS.ini'),
                   `[ServerCore]\r\nServerPort=10\r\nWebSocketPort=${wsPort}\r\n`);
  fs.writeFileSync(path.join(root, 'Binaries', 'ServerBaseConfig.ini'),
                   `[ServerCore]\r\nServerIPBase=127.0.0.1\r\nServerPortBase=${tcpPort - 10}\r\n`);

  const admin = (...args) => execFileSync(path.join(root, 'bin', 'qvadmin'),
    ['--dbc', path.join(root, 'Binaries', 'dbc'), '--game-db', path.join(root, 'Binaries', 'GS', 'ExampleGame', 'DB'),
     ...args], { encoding: 'utf8', timeout: 30000 });
  for (const u of users) admin('user', 'add', u, '--gold', String(kGold));
  const logins = users.map((u) => admin('loginstring', u).trim());

  const host = start(path.join(root, 'bin', 'quorvel-host'), ['--config', 'QuorvelS.ini', '--tick-ms', '5', '--no-console'], {
    cwd: path.join(root, 'Server'),
    env: { ...process.env, QV_EXAMPLE_SEED: '20260808', QV_EXAMPLE_COUNTDOWN_MS: '300', QV_EXAMPLE_RESULT_MS: '100' },
  });
  children.push(host);
  await host.waitFor('服务启动 完成');
  await host.waitFor(`WebSocket 监听 127.0.0.1:${wsPort} 成功`, 1000);

  const web = start('python3', [path.join(webDir, 'serve.py'), '--port', '0', '--dir', webDir, '--quiet']);
  children.push(web);
  const [, pageUrl] = await web.waitFor(/serving .* at (http:\/\/\S+)/);

  browser = await chromium.launch({ executablePath: opt.chromium, args: ['--no-sandbox'] });
  const pages = [];
  for (const [i, name] of users.entries()) {
    const page = await (await browser.newContext()).newPage();
    page.on('pageerror', (e) => { throw new Error(`${name}'s page: ${e.message}`); });
    await page.goto(`${pageUrl}?server=ws://127.0.0.1:${wsPort}/&name=${name}`);
    await page.fill('#loginString', logins[i]);
    await page.click('#loginButton');
    await page.waitForSelector('#lobbyPanel:not([hidden])', { timeout: kWaitMs });
    await page.waitForSelector('#rooms tr[data-room="0"]', { timeout: kWaitMs });
    assert.equal(await page.textContent('#gold'), String(kGold), `${name}'s gold after the login`);
    await page.click('#buyButton');
    await page.waitForFunction((n) => document.getElementById('coins').textContent === String(n), kSeatCoins,
                               { timeout: kWaitMs });
    assert.equal(await page.textContent('#gold'), String(kGold - kSeatCoins * kGoldToCoin));
    pages.push(page);
  }

  for (const page of pages) {
    await page.click('#rooms tr[data-room="0"] button.join');
    await page.waitForSelector('#tablePanel:not([hidden])', { timeout: kWaitMs });
  }
  // Both lobbies see the two players in room 1.
  for (const page of pages)
    await page.waitForFunction(() => document.querySelector('#rooms tr[data-room="0"] td:nth-child(2)')
      ?.textContent.startsWith('2 /'), null, { timeout: kWaitMs });

  for (const page of pages) {
    await page.click('#readyButton');
    await page.waitForFunction(() => /place \d+: in the next round/.test(document.getElementById('seat').textContent),
                               null, { timeout: kWaitMs });
  }
  const results = [];
  for (const page of pages) {
    await page.waitForSelector('#roundResult[data-rake]', { timeout: kWaitMs });
    results.push(await page.$eval('#roundResult', (e) => ({ ...e.dataset, rolls: document.querySelectorAll('#rolls li').length })));
  }
  assert.deepEqual(results[0], results[1], 'both players saw the same round');
  const pot = Number(results[0].pot);
  const rake = Number(results[0].rake);
  assert.equal(pot, 2 * kStake);
  assert.equal(results[0].rolls, 2);
  assert.ok(rake >= 0 && rake < pot, `rake ${rake}`);

  // The lobby's balances follow the settlements: the two hold what they had
  // less what the banker kept.
  const coins = await poll('balances after the round', async () => {
    const c = await Promise.all(pages.map(async (p) => Number(await p.textContent('#coins'))));
    return c[0] + c[1] === 2 * kSeatCoins - rake && c.every((x) => x !== kSeatCoins) ? c : null;
  });

  const line = 'hello from the browser, 你好';
  await pages[0].fill('#chatInput', line);
  await pages[0].click('#chatButton');
  for (const page of pages)
    await page.waitForFunction((t) => [...document.querySelectorAll('#chatLog li')].some((li) => li.textContent.endsWith(`: ${t}`)),
                               line, { timeout: kWaitMs });
  const chatLine = await pages[1].textContent('#chatLog li');
  assert.ok(chatLine.startsWith(`${users[0]} (place `), `the sender is named: ${chatLine}`);

  fs.mkdirSync(opt.out, { recursive: true });
  const shot = path.join(opt.out, 'browser-table.png');
  await pages[1].screenshot({ path: shot, fullPage: true });
  assert.ok(fs.statSync(shot).size > 0, 'the screenshot is empty');

  await browser.close();
  browser = null;
  host.kill('SIGTERM');
  const status = await Promise.race([host.exited, new Promise((r) => setTimeout(() => r('time-out'), 15000))]);
  assert.equal(status, 0, `the host's exit status\n--- host output ---\n${host.output}`);

  // The stop sold every coin back: the books hold the gold of the coins left.
  const gold = users.map((u) => Number(/gold=(-?\d+)/.exec(admin('user', 'show', u))[1]));
  assert.equal(gold[0] + gold[1], 2 * (kGold - kSeatCoins * kGoldToCoin) + (coins[0] + coins[1]) * kCoinToGold,
               `gold after the stop: ${gold}`);
  console.log(`ok: round pot ${pot} rake ${rake}, coins ${coins}, gold ${gold}, screenshot ${shot}`);
}

let failed = false;
try {
  await main();
} catch (e) {
  failed = true;
  console.error(e.stack ?? e);
} finally {
  if (browser) await browser.close().catch(() => {});
  for (const c of children) if (c.exitCode === null && c.signalCode === null) c.kill('SIGKILL');
  fs.rmSync(root, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
