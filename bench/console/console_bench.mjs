// How long the operator console takes, in a real browser, to show an order or a page of the job
// order search over a large table: from the click to the moment the screen shows its data.
//
//   node console_bench.mjs --url http://127.0.0.1:PORT --orders N [--rounds R] [--json FILE]
//                          [--engine NAME] [--label TEXT] [--log SERVE_LOG] [--console DIR]
//                          [--chromium PATH] [--playwright DIR]
//
// scripts/bench_console.sh loads the data (see load_rows.sql) and starts `kx serve`; this script
// drives Chromium (headless, 1280x800) through Playwright. Each round, after one round of warm-up,
// makes the same walk (so the kinds of operation interleave):
//   search for one vendor (tens of thousands of orders), the next page, open an order of that page,
//   back; search for one container number (one order), open it, back; search with no condition
//   (every order), the next page.
// Each operation is timed inside the page: a capturing click listener notes performance.now() at
// the click, a MutationObserver on <main> notes it when aria-busy goes from "true" to "false" (the
// screen has put its data in the document). Also noted: the first frame after that (paint), the
// time Playwright saw around click and wait (outside), and, from the service's access log, the
// slowest API call made meanwhile (server). Every answer is checked against the loaded data; a
// wrong one, or an error shown, ends the run with status 1. The targets: p95 of each operation at
// most 300 ms; the console's files at most 150,000 bytes in all, each compressed with gzip -9.
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

import { LARGE_VENDORS, MAX_ORDERS, containerNoOf, jbNoOf, vendorOf } from './data.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const sourceDir = path.resolve(here, '..', '..');
const TARGET_MS = 300;
const TARGET_GZIP_BYTES = 150000;
const PAGE_SIZE = 20;  // the search screen's default
const WAIT_MS = 60000;

const USAGE = `usage: node console_bench.mjs --url URL --orders N [--rounds R] [--json FILE] [--engine NAME]
       [--label TEXT] [--log SERVE_LOG] [--console DIR] [--chromium PATH] [--playwright DIR]
`;

function parseArgs(argv) {
  const o = {
    rounds: 20, engine: '', label: '', json: '', log: '',
    console: path.join(sourceDir, 'src', 'console'),
    chromium: '/usr/bin/chromium',
    playwright: path.join(sourceDir, 'tests', 'console', 'node_modules', 'playwright-core'),
  };
  const whole = (name, text, min, max) => {
    if (!/^\d+$/.test(text) || Number(text) < min || Number(text) > max) {
      throw new Error(`${name} takes a whole number from ${min} to ${max}, not '${text}'`);
    }
    return Number(text);
  };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === '--help' || a === '-h') {
      process.stdout.write(USAGE);
      process.exit(0);
    }
    if (!a.startsWith('--') || i + 1 >= argv.length) throw new Error(`unknown argument '${a}' or missing value\n${USAGE}`);
    const v = argv[++i];
    switch (a) {
      case '--url': o.url = v.replace(/\/+$/, ''); break;
      case '--orders': o.orders = whole(a, v, 1, MAX_ORDERS); break;
      case '--rounds': o.rounds = whole(a, v, 1, 999); break;
      case '--json': o.json = v; break;
      case '--engine': o.engine = v; break;
      case '--label': o.label = v; break;
      case '--log': o.log = v; break;
      case '--console': o.console = v; break;
      case '--chromium': o.chromium = v; break;
      case '--playwright': o.playwright = v; break;
      default: throw new Error(`unknown argument '${a}'\n${USAGE}`);
    }
  }
  if (!o.url || !o.orders) throw new Error(`--url and --orders are needed\n${USAGE}`);
  return o;
}

// ---- figures

function percentile(sorted, p) {
  if (!sorted.length) return NaN;
  return sorted[Math.min(sorted.length - 1, Math.max(0, Math.ceil((p / 100) * sorted.length) - 1))];
}

function summary(values) {
  const sorted = values.filter((v) => Number.isFinite(v)).sort((a, b) => a - b);
  return { n: sorted.length, p50: percentile(sorted, 50), p95: percentile(sorted, 95), max: sorted[sorted.length - 1] ?? NaN };
}

const ms = (v) => (Number.isFinite(v) ? v.toFixed(1) : '-');

// ---- the page side

// Installed before an action: notes when the click comes (or now, without a click) and when <main>
// next goes from busy to not busy, then the frame after it.
function arm(withClick) {
  const main = document.getElementById('main');
  const b = { start: withClick ? null : performance.now(), end: null, painted: null };
  window.__kxBench = b;
  if (withClick) addEventListener('click', () => { if (b.start === null) b.start = performance.now(); }, { capture: true, once: true });
  const observer = new MutationObserver((records) => {
    // A record whose old value is "true" is a change away from busy.
    if (b.end !== null || main.getAttribute('aria-busy') !== 'false' || !records.some((r) => r.oldValue === 'true')) return;
    b.end = performance.now();
    observer.disconnect();
    requestAnimationFrame(() => setTimeout(() => { b.painted = performance.now(); }, 0));
  });
  observer.observe(main, { attributes: true, attributeFilter: ['aria-busy'], attributeOldValue: true });
}

// ---- the walk

class Walk {
  constructor(page, orders) {
    this.page = page;
    this.orders = orders;
    this.samples = [];
    this.vendorCounts = new Map();
    for (let i = 1; i <= orders; i++) {
      const v = vendorOf(i);
      this.vendorCounts.set(v, (this.vendorCounts.get(v) || 0) + 1);
    }
  }

  // Runs `action` and waits until the screen it leads to has shown its data; answers the times.
  async settle(action, withClick) {
    const { page } = this;
    await page.evaluate(arm, withClick);
    const wallStart = Date.now();
    const t0 = performance.now();
    await action();
    await page.waitForFunction(() => window.__kxBench.painted !== null, null, { timeout: WAIT_MS });
    const t1 = performance.now();
    const b = await page.evaluate(() => window.__kxBench);
    const alert = page.locator('main [role="alert"]');
    if (await alert.count()) throw new Error(`the console shows an error: ${(await alert.first().innerText()).replace(/\s+/g, ' ')}`);
    return { data: b.end - b.start, paint: b.painted - b.start, outside: t1 - t0, wallStart, wallEnd: Date.now() };
  }

  async timed(operation, round, action, check) {
    const times = await this.settle(action, true);
    await check();
    if (round >= 0) this.samples.push({ operation, round, ...times });
    return times;
  }

  async condition(field, key) {
    const row = this.page.locator('form[role="search"] .condition').first();
    await row.locator('[name="field"]').selectOption(field);
    await row.locator('[name="op"]').selectOption('');
    await row.locator('[name="key"]').fill(key);
  }

  async expectResults(count, pageNo) {
    const pages = Math.ceil(count / PAGE_SIZE);
    const want = `${count} order${count === 1 ? '' : 's'}, page ${count ? pageNo : 0} of ${pages}`;
    const text = (await this.page.locator('main p.summary').innerText()).trim();
    if (text !== want) throw new Error(`the search shows '${text}', expected '${want}'`);
    const results = this.page.locator('#results');
    if (!(await results.isVisible())) throw new Error('the results table #results is not visible');
    const rows = await results.locator('tbody tr').count();
    const wantRows = Math.min(PAGE_SIZE, count - (pageNo - 1) * PAGE_SIZE);
    if (rows !== wantRows) throw new Error(`the results show ${rows} rows, expected ${wantRows}`);
  }

  // The JBNo and Id of row `n` of the results, checked against the loaded data.
  async row(n) {
    const cells = this.page.locator('#results tbody tr').nth(n).locator('td');
    const jbNo = (await cells.nth(0).innerText()).trim();
    const id = Number((await cells.nth(1).innerText()).trim());
    if (jbNoOf(id) !== jbNo) throw new Error(`row ${n} shows order ${id} as '${jbNo}', expected '${jbNoOf(id)}'`);
    return { jbNo, id };
  }

  async expectOrder(jbNo) {
    const h1 = this.page.locator('main h1');
    if (!(await h1.isVisible())) throw new Error('the order\'s heading is not visible');
    const text = (await h1.innerText()).trim();
    if (text !== `Job order ${jbNo}`) throw new Error(`the order screen shows '${text}', expected 'Job order ${jbNo}'`);
  }

  async back() {
    await this.settle(() => this.page.goBack(), false);
  }

  // One round; a negative round is the warm-up, whose times are not kept.
  async round(r) {
    const { page, orders } = this;
    const k = r < 0 ? 997 : r;
    const button = (name) => page.getByRole('button', { name, exact: true });
    if (!(await page.evaluate(() => location.hash === '#/orders'))) {
      await this.settle(() => page.evaluate(() => { location.hash = '#/orders'; }), false);
    }

    // One of the large vendors, its next page and one of its orders.
    const vendor = `V${String((k % LARGE_VENDORS) + 1).padStart(4, '0')}`;
    const count = this.vendorCounts.get(vendor) || 0;
    await this.condition('VendorCode', vendor);
    await this.timed('search: one vendor', r, () => button('Search').click(), () => this.expectResults(count, 1));
    if (count > PAGE_SIZE) {
      await this.timed('next page (one vendor)', r, () => button('Next page').click(), () => this.expectResults(count, 2));
    }
    const shown = Math.min(PAGE_SIZE, count > PAGE_SIZE ? count - PAGE_SIZE : count);
    if (shown > 0) {
      const pick = await this.row(k % shown);
      await this.timed('open order', r, () => page.locator('#results tbody tr').nth(k % shown).locator('a').click(),
        () => this.expectOrder(pick.jbNo));
      await this.back();
    }

    // One container number: one order, found through its container lines.
    const order = 1 + ((k + 1) * 7654321) % orders;
    const line = 2 * order - (k % 2);
    await this.condition('ContainerNo', containerNoOf(line));
    await this.timed('search: one container no.', r, () => button('Search').click(), () => this.expectResults(1, 1));
    const found = await this.row(0);
    if (found.id !== order) throw new Error(`container ${containerNoOf(line)} is on order ${order}, the search shows ${found.id}`);
    await this.timed('open order', r, () => page.locator('#results tbody tr a').first().click(), () => this.expectOrder(found.jbNo));
    await this.back();

    // No condition: every order, and the next page.
    await this.condition('ContainerNo', '');
    await this.timed('search: no condition', r, () => button('Search').click(), () => this.expectResults(orders, 1));
    if (orders > PAGE_SIZE) {
      await this.timed('next page (no condition)', r, () => button('Next page').click(), () => this.expectResults(orders, 2));
    }
  }
}

// ---- the service's access log: the slowest API call made during each operation

function attachServerTimes(samples, logPath) {
  if (!logPath || !fs.existsSync(logPath)) return false;
  const calls = [];
  for (const line of fs.readFileSync(logPath, 'utf8').split('\n')) {
    if (!line.startsWith('{')) continue;
    let entry;
    try { entry = JSON.parse(line); } catch { continue; }
    if (typeof entry.path === 'string' && entry.path.startsWith('/v1/') && Number.isFinite(entry.ms)) {
      calls.push({ at: Date.parse(entry.time), ms: entry.ms, path: entry.path });
    }
  }
  for (const s of samples) {
    const mine = calls.filter((c) => c.at >= s.wallStart - 1 && c.at <= s.wallEnd + 1);
    s.server = mine.length ? Math.max(...mine.map((c) => c.ms)) : NaN;
    s.calls = mine.map((c) => `${c.path} ${c.ms} ms`);
  }
  return true;
}

// ---- the console's size

function consoleSize(folder) {
  const files = [];
  const walk = (dir) => {
    for (const entry of fs.readdirSync(dir, { withFileTypes: true })) {
      const full = path.join(dir, entry.name);
      if (entry.isDirectory()) walk(full);
      else if (entry.isFile()) files.push(full);
    }
  };
  walk(folder);
  let bytes = 0;
  let gzipBytes = 0;
  for (const f of files) {
    bytes += fs.statSync(f).size;
    gzipBytes += execFileSync('gzip', ['-9', '-c', f]).length;
  }
  return { folder, files: files.length, bytes, gzipBytes, targetBytes: TARGET_GZIP_BYTES, met: gzipBytes <= TARGET_GZIP_BYTES };
}

// ---- main

async function main() {
  const o = parseArgs(process.argv.slice(2));
  const size = consoleSize(o.console);
  const { chromium } = await import(pathToFileURL(path.join(o.playwright, 'index.mjs')).href);
  const browser = await chromium.launch({
    executablePath: o.chromium,
    headless: true,
    // Chromium's sandbox cannot start as root.
    args: process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [],
  });
  let walk;
  let version;
  try {
    const context = await browser.newContext({ viewport: { width: 1280, height: 800 } });
    const page = await context.newPage();
    page.setDefaultTimeout(WAIT_MS);
    await page.goto(`${o.url}/#/orders`);
    await page.waitForSelector('main[aria-busy="false"]', { timeout: WAIT_MS });
    walk = new Walk(page, o.orders);
    await walk.round(-1);
    const progress = process.stderr.isTTY ? (text) => process.stderr.write(text) : () => {};
    for (let r = 0; r < o.rounds; r++) {
      await walk.round(r);
      progress(`\rround ${r + 1} of ${o.rounds}`);
    }
    progress('\n');
    version = browser.version();
  } finally {
    await browser.close();
  }
  const haveServer = attachServerTimes(walk.samples, o.log);

  // The operations in a fixed order, whichever came first.
  const order = ['search: one vendor', 'next page (one vendor)', 'search: one container no.', 'search: no condition',
    'next page (no condition)', 'open order'];
  const operations = {};
  for (const s of walk.samples) (operations[s.operation] ||= []).push(s);
  const named = Object.entries(operations).sort(([a], [b]) => order.indexOf(a) - order.indexOf(b));
  const results = named.map(([operation, samples]) => {
    const data = summary(samples.map((s) => s.data));
    return {
      operation, ...data,
      paintP50: summary(samples.map((s) => s.paint)).p50,
      outsideP50: summary(samples.map((s) => s.outside)).p50,
      serverP50: haveServer ? summary(samples.map((s) => s.server)).p50 : null,
      targetMs: TARGET_MS, met: data.p95 <= TARGET_MS,
      samples: samples.map(({ round, data: d, paint, outside, server, calls }) => ({ round, data: d, paint, outside, server, calls })),
    };
  });

  const out = process.stdout;
  out.write(`\nconsole benchmark${o.label ? ` (${o.label})` : ''}: ${o.engine || 'engine not named'}, ` +
    `${o.orders.toLocaleString('en')} orders, ${o.rounds} rounds after 1 of warm-up, Chromium ${version}, 1280x800\n`);
  out.write('ms from the click event to main[aria-busy="false"], measured in the page (performance.now()); ' +
    'paint: to the next frame; outside: Playwright\'s clock around click and wait; server: the slowest API call meanwhile (access log)\n\n');
  const head = ['operation', 'n', 'p50', 'p95', 'max', 'paint p50', 'outside p50', 'server p50', `target p95 <= ${TARGET_MS} ms`];
  const rows = results.map((r) => [r.operation, String(r.n), ms(r.p50), ms(r.p95), ms(r.max), ms(r.paintP50), ms(r.outsideP50),
    r.serverP50 === null ? '-' : ms(r.serverP50), r.met ? 'met' : 'MISSED']);
  const widths = head.map((h, i) => Math.max(h.length, ...rows.map((r) => r[i].length)));
  const line = (cells) => cells.map((c, i) => (i === 0 ? c.padEnd(widths[i]) : c.padStart(widths[i]))).join('  ');
  out.write(`${line(head)}\n${rows.map(line).join('\n')}\n\n`);
  out.write(`console files: ${size.files} files, ${size.bytes.toLocaleString('en')} bytes, ` +
    `${size.gzipBytes.toLocaleString('en')} bytes each compressed with gzip -9, summed ` +
    `(target at most ${TARGET_GZIP_BYTES.toLocaleString('en')}): ${size.met ? 'met' : 'MISSED'}\n`);

  if (o.json) {
    const report = {
      label: o.label, engine: o.engine, orders: o.orders, rounds: o.rounds, warmupRounds: 1,
      browser: `Chromium ${version}`, viewport: '1280x800', time: new Date().toISOString(),
      measure: 'ms from the click event to main[aria-busy="false"], in the page (performance.now())',
      operations: results, console: size,
    };
    fs.writeFileSync(o.json, `${JSON.stringify(report, null, 2)}\n`);
    out.write(`figures written to ${o.json}\n`);
  }
}

main().catch((e) => {
  process.stderr.write(`\nconsole_bench: ${e.message}\n`);
  process.exit(1);
});
