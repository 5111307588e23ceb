// The dashboard in a real browser against vesperod and vespero-sim (started by ./run).
'use strict';

const {describe, it, before, after} = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const {chromium} = require('playwright-core');

const BASE = process.env.WEB_BASE;
const CONTROL = process.env.SIM_CONTROL;
const FRAMES = process.env.SIM_LOG;
const SHOT = process.env.WEB_SCREENSHOT;
const UNIT = 'vespero0';

// Generous limits: they only bound a hang. How long things took is printed, not asserted.
const SHORT = 15000;
const LONG = 60000;

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function until(what, probe, timeout = SHORT) {
  const end = Date.now() + timeout;
  for (;;) {
    const v = await probe();
    if (v) return v;
    if (Date.now() > end) throw new Error(`gave up waiting for ${what}`);
    await sleep(100);
  }
}

function control(text) {
  // Write then rename: the simulator never reads half a file.
  fs.writeFileSync(CONTROL + '.new', text);
  fs.renameSync(CONTROL + '.new', CONTROL);
}

const frames = () => (fs.existsSync(FRAMES) ? fs.readFileSync(FRAMES, 'utf8').split('\n').filter(Boolean) : []);
// The battery test goes out as 0x80 'b' and a parameter word.
const isBatteryTest = (line) => /^80 62 /.test(line);

describe('dashboard against vesperod and the simulator', () => {
  let browser;
  let page;
  const problems = [];
  const card = () => page.locator(`section.unit[data-unit="${UNIT}"]`);
  const text = (sel) => card().locator(sel).textContent();

  before(async () => {
    assert.ok(BASE && CONTROL && FRAMES, 'run this through tests/web_e2e/run');
    browser = await chromium.launch({executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
      args: ['--no-sandbox']});
    page = await browser.newPage({viewport: {width: 1280, height: 900}});
    page.on('console', (m) => { if (m.type() === 'error') problems.push(`console: ${m.text()}`); });
    page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
    page.on('response', (r) => { if (r.status() >= 400 && !r.url().endsWith('/login')) problems.push(`${r.status()} ${r.url()}`); });
  });

  after(async () => {
    if (browser) await browser.close();
  });

  it('loads with no errors and shows the unit, its state in words, gauges and history', async () => {
    await page.goto(BASE + '/');
    await card().waitFor({timeout: SHORT});
    assert.equal(await text('.unit-name'), UNIT);
    await until('the on-line status', async () => /\bOL\b/.test(await text('.state-status')));
    assert.match(await text('.state-text'), /\S/);
    assert.match(await card().locator('.state').getAttribute('class'), /state-green/);
    assert.ok(await card().locator('.gauges [role="meter"]').count() > 0, 'no gauge shown');
    assert.match(await text('.charge'), /^(\d+(\.\d+)? %|unknown)$/);
    assert.ok(await card().locator('.variables tbody tr').count() > 5, 'the variables table is nearly empty');
    // A history answer (rows may not exist yet in a fresh store): a chart or the note, never an error.
    await until('the history answer', async () =>
      (await card().locator('.chart canvas').count()) > 0 || /\S/.test(await text('.chart-note')));
    assert.doesNotMatch(await text('.chart-note'), /^History:/);
    for (const range of ['day', 'month', 'year']) {
      const answer = page.waitForResponse((r) => r.url().includes('/history?') && r.url().includes(
        `step=${{day: 300, month: 3600, year: 86400}[range]}`));
      await card().locator('.history-range').selectOption(range);
      assert.equal((await answer).status(), 200);
    }
    await card().locator('.history-range').selectOption('hour');
    assert.equal(await page.locator('#connection').textContent(), 'Live');

    // A phone: one column, nothing wider than the screen.
    await page.setViewportSize({width: 390, height: 844});
    const readings = await card().locator('.readings').boundingBox();
    const history = await card().locator('.history').boundingBox();
    assert.ok(history.y >= readings.y + readings.height, 'the chart is not below the readings');
    assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth),
      'the page scrolls sideways on a phone');
    await page.setViewportSize({width: 1280, height: 900});
    assert.deepEqual(problems, []);
  });

  it('keeps one stream open for more than two minutes, past every server timeout', async () => {
    let opened = 0;
    const count = (r) => { if (r.url().endsWith('/api/v1/stream')) opened += 1; };
    page.on('request', count);
    let silent = false;
    const end = Date.now() + 125000;
    while (Date.now() < end) {
      silent ||= /not answering/.test(await page.locator('#connection').textContent());
      await sleep(1000);
    }
    page.off('request', count);
    assert.equal(opened, 0, 'the page opened its stream again');
    assert.equal(silent, false, 'the page thought the service silent');
    assert.equal(await page.locator('#connection').textContent(), 'Live');
  });

  it('draws the whole hour from a single row, and says a remote unit keeps no history', async () => {
    // The store's real answer cut to its last row: one row must not stretch the axis over years.
    await page.route('**/history?*', async (route) => {
      const reply = await route.fetch();
      const h = await reply.json();
      const last = h.t.length - 1;
      if (last > 0) {
        h.t = h.t.slice(last);
        for (const s of Object.values(h.series)) for (const k of Object.keys(s)) s[k] = s[k].slice(last);
      }
      await route.fulfill({response: reply, json: h});
    });
    try {
      const chart = card().locator('.chart');
      await until('a chart from one row', async () => {
        await card().locator('.history-range').selectOption('day');
        await card().locator('.history-range').selectOption('hour');
        await sleep(1000);
        return (await chart.getAttribute('data-from')) !== null;
      }, LONG);
      const from = Number(await chart.getAttribute('data-from'));
      const to = Number(await chart.getAttribute('data-to'));
      assert.ok(to - from >= 3600 - 120 && to - from <= 3600 + 120, `the chart spans ${to - from} s, not an hour`);
      assert.ok(Math.abs(to - Date.now() / 1000) < 300, 'the chart does not end now');
      assert.match(await chart.getAttribute('aria-label'), / to /);
    } finally {
      await page.unroute('**/history?*');
    }

    const remote = page.locator('section.unit[data-unit^="vespero0@"]');
    await remote.waitFor({timeout: LONG});
    await until('the remote unit\'s note', async () => /No history: .* another NUT server's unit/.test(
      await remote.locator('.chart-note').textContent()));
    assert.equal(await remote.locator('.chart canvas').count(), 0);
  });

  it('follows the unit onto battery and back, and shows a lost link with its time', async () => {
    const started = Date.now();
    control('state=18\nsilent=0\n');
    await until('OB in the status', async () => /\bOB\b/.test(await text('.state-status')));
    console.log(`on battery shown ${Date.now() - started} ms after the simulator changed`);
    assert.match(await card().locator('.state').getAttribute('class'), /state-(amber|red)/);

    control('state=2\nsilent=0\n');
    await until('OL again', async () => /\bOL\b/.test(await text('.state-status')));

    const silent = Date.now();
    control('state=2\nsilent=1\n');
    const banner = card().locator('.banner');
    await until('the link-lost banner', async () => /Link lost/.test(await banner.textContent()), LONG);
    console.log(`link lost shown ${Date.now() - silent} ms after the simulator fell silent`);
    assert.match(await banner.textContent(), /^Link lost since (\d{4}-\d\d-\d\d )?\d\d:\d\d:\d\d$/);
    assert.ok(await banner.isVisible());
    assert.match(await card().locator('.readings').getAttribute('class'), /\bold\b/);

    control('state=2\nsilent=0\n');
    await until('the link back', async () => !(await banner.isVisible()) &&
      /\bOL\b/.test(await text('.state-status')), LONG);
    assert.doesNotMatch(await card().locator('.readings').getAttribute('class'), /\bold\b/);
  });

  it('greys every card when the service falls silent, and recovers when it answers again', async () => {
    const pid = Number(process.env.DAEMON_PID);
    assert.ok(pid > 0, 'run this through tests/web_e2e/run');
    await until('OL', async () => /\bOL\b/.test(await text('.state-status')));
    // Stopped, not killed: the connection stays open and simply says nothing more, which only
    // the page's own watchdog can notice.
    const stopped = Date.now();
    process.kill(pid, 'SIGSTOP');
    try {
      await until('the not-answering banner', async () =>
        /^vesperod not answering since \d\d:\d\d:\d\d$/.test(await text('.banner')), LONG);
      console.log(`not answering shown ${Date.now() - stopped} ms after the service stopped`);
      for (const c of await page.locator('section.unit').all()) {
        assert.match(await c.locator('.state').getAttribute('class'), /state-grey/);
        assert.match(await c.locator('.state-text').textContent(), /^vesperod not answering since /);
      }
      assert.match(await page.locator('#connection').textContent(), /not answering/);
    } finally {
      process.kill(pid, 'SIGCONT');
    }
    await until('the card back', async () => !(await card().locator('.banner').isVisible()) &&
      /\bOL\b/.test(await text('.state-status')) &&
      /state-green/.test(await card().locator('.state').getAttribute('class')), LONG);
    assert.equal(await page.locator('#connection').textContent(), 'Live');
    assert.equal(await card().locator('.readings').isVisible(), true);
    assert.deepEqual(problems, []);
  });

  it('logs in, sends a battery test to the unit and lists the events', async () => {
    assert.equal(await card().locator('.commands').isVisible(), false, 'commands shown before a login');
    await page.getByLabel('User').fill('admin');
    await page.getByLabel('Password').fill('wrong');
    await page.getByRole('button', {name: 'Log in'}).click();
    await until('the refusal', async () => /Login failed/.test(await page.locator('#login-message').textContent()));

    await page.getByLabel('Password').fill('s3cret');
    await page.getByRole('button', {name: 'Log in'}).click();
    await page.locator('#session').waitFor({timeout: SHORT});
    assert.equal(await page.locator('#session-user').textContent(), 'admin');

    // A reload keeps the session: the page reads it back with its token.
    await page.reload();
    await page.locator('#session').waitFor({timeout: SHORT});
    const button = card().getByRole('button', {name: 'Battery test'});
    await button.waitFor({timeout: SHORT});
    assert.ok(await card().getByRole('button', {name: 'Recharge battery'}).isVisible());

    const before = frames().filter(isBatteryTest).length;
    await button.click();
    const result = card().locator('.command-result');
    await until('the command id', async () => /id [0-9a-f-]{8,}/i.test(await result.textContent()));
    await until('the outcome', async () => /: (SUCCESS|FAILED)$/.test(await result.textContent()));
    assert.match(await result.textContent(), /SUCCESS$/);
    await until('the battery-test frame on the wire', async () => frames().filter(isBatteryTest).length > before);

    const rows = page.locator('#events tbody tr');
    const rowTexts = async () => (await rows.allTextContents());
    await until('the command in the events', async () =>
      (await rowTexts()).some((r) => /instcmd/.test(r) && /test\.battery\.start/.test(r)));
    const list = await rowTexts();
    const command = list.findIndex((r) => /instcmd/.test(r) && /test\.battery\.start/.test(r));
    const login = list.findIndex((r) => /login/.test(r) && /admin/.test(r));
    const onBattery = list.findIndex((r) => /status/.test(r) && /OB/.test(r));
    assert.ok(login >= 0, 'the login is not listed');
    assert.ok(onBattery >= 0, 'the change to battery is not listed');
    assert.ok(command < login && login < onBattery, `not newest first: ${list.join(' | ')}`);

    if (SHOT) {
      await card().locator('.history-range').selectOption('hour');
      await sleep(500);
      await page.screenshot({path: SHOT, fullPage: true});
    }

    await page.getByRole('button', {name: 'Log out'}).click();
    await page.locator('#login').waitFor({timeout: SHORT});
    assert.equal(await card().locator('.commands').isVisible(), false);
    assert.deepEqual(problems.filter((p) => !/\b401\b.*\/login|Failed to load resource.*401/.test(p)), []);
  });
});
