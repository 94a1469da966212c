// What every browser test of the console stands on: a `kx serve` of its own per worker, the
// API calls that put data in place, and the sign-in of a page.
//
//   import { test, expect, api, addJobOrder, signIn } from '../support/kx.mjs';
//   test('...', async ({ page, kx }) => {
//     const order = await addJobOrder(kx, kx.tokens.clerk, { lines: 3 });
//     await signIn(page, kx, kx.tokens.clerk);
//     await page.goto(`/#/orders/${order.id}`);
//   });
//
// Fixtures (one per worker, shared by its tests):
//   kxHome      a component folder: Config.ini (SQLite, or PostgreSQL when KX_ENGINE=pg) after `kx init`
//   kx          `kx serve` on it with a token file of three clients, `clerk`, `reader` and `supervisor`
//               (kx.tokens.NAME is the client's token); `baseURL` of the page is its address
//   kxLoopback  `kx serve` on the same folder without a token file (loopback only, no sign-in)
// A service is { name, url, origin, home, tokens, tokenFile, logPath, process, stop() }; a test can
// start one of its own with startService() (and must stop it).
//
// Helpers: api() calls a member and throws on a refusal; rawRequest() sends a path as written;
// uniqueCode() makes codes; addTypeProfile(), addJobOrder(), addDoorAppointment() and addWorkFile()
// seed data through the API, setOrderState() puts a job order in a state no controller sets;
// signIn() signs a page in; screenReady() waits for a screen's data; accessibilityViolations() runs
// axe-core on a page. For the screens: openScreen() opens an address and waits for its data, fact()
// reads a value an order or work file screen shows, formOrder(), fillOrderForm() and
// expectOrderForm() type and check the order form, tabTo() moves the focus with the keyboard
// alone, and windowDialogs() collects the alert/confirm/prompt boxes a page opens.
//
// Environment: KX_BINARY (the `kx` to run; default build/kx of the source tree), KX_ENGINE (`sqlite`,
// the default, or `pg`), and for `pg` KX_TEST_PG_SERVER ("host,port"), KX_TEST_PG_DATABASE and
// KX_TEST_PG_USER. Tests share the database with earlier runs (and, on PostgreSQL, with other test
// suites): they make their codes with uniqueCode() and never count on an empty table. KX_CONSOLE_DIR
// names another console folder for the worker's services to serve (`kx serve --console`), e.g. a
// copy changed on purpose to see which tests notice.
//
// When a test fails, what each service wrote on stderr during it is attached to the test, and the
// component folder is kept (its path is printed) instead of being removed with the worker.
import { execFile, spawn } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import AxeBuilder from '@axe-core/playwright';
import { test as base, expect } from '@playwright/test';

export { expect };

export const sourceDir = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..', '..');
export const kxBinary = path.resolve(process.env.KX_BINARY || path.join(sourceDir, 'build', 'kx'));
export const engine = process.env.KX_ENGINE || 'sqlite';
const consoleArgs = process.env.KX_CONSOLE_DIR ? ['--console', path.resolve(process.env.KX_CONSOLE_DIR)] : [];

const START_SECONDS = 30;  // for `kx serve` to say where it listens
const STOP_SECONDS = 10;   // after SIGTERM, before SIGKILL
const INIT_SECONDS = 120;  // for `kx init`, which creates the tables on a first run

// The clients of the token file and what each may call.
export const clients = {
  clerk: 'C_*.*',
  reader: [
    'C_JBOrder.getElementByXML', 'C_JBOrder.queryOwnedElementsByXML', 'C_JBOrder.QueryJBDiary',
    'C_JBOrder.GetDoorAppointments', 'C_JBTypeProfile.getElementByXML',
    'C_JBTypeProfile.queryOwnedElementsByXML', 'C_JBContainerRetrievingTempFile.getElementByXML',
    'C_JBContainerRetrievingTempFile.queryOwnedElementsByXML',
  ].join(','),
  // The supervisor may also change a table directly: a job order is completed (state 3) by no
  // controller, so tests put one in that state with setOrderState().
  supervisor: 'C_*.*,S_DBHelpForKX.RunSQL',
};

// ---- the component folder and the service

/** The Config.ini of a component folder for KX_ENGINE. */
export function configText() {
  const xml = `[XML]\nXMLSCHEMAPATH=${path.join(sourceDir, 'schemas')}/\n`;
  if (engine === 'sqlite') return `[DATABASE]\nPROVIDER=SQLite\n${xml}`;
  if (engine !== 'pg') throw new Error(`KX_ENGINE is ${engine}: expected sqlite or pg`);
  const missing = ['KX_TEST_PG_SERVER', 'KX_TEST_PG_DATABASE', 'KX_TEST_PG_USER'].filter((n) => !process.env[n]);
  if (missing.length) throw new Error(`KX_ENGINE=pg needs ${missing.join(', ')}`);
  return '[DATABASE]\nPROVIDER=PostgreSQL\n' +
    `SERVERNAME=${process.env.KX_TEST_PG_SERVER}\n` +
    `DATABASENAME=${process.env.KX_TEST_PG_DATABASE}\n` +
    `USERID=${process.env.KX_TEST_PG_USER}\nPASSWORD=\n` + xml;
}

function run(file, args, seconds) {
  return new Promise((resolve, reject) => {
    execFile(file, args, { timeout: seconds * 1000, killSignal: 'SIGKILL' }, (error, stdout, stderr) => {
      if (error) reject(new Error(`${[file, ...args].join(' ')} failed (${error.code ?? error.signal}): ${stderr}${stdout}`));
      else resolve(stdout);
    });
  });
}

/** A new component folder with its Config.ini, after `kx init`. */
export async function makeHome() {
  if (!fs.existsSync(kxBinary)) throw new Error(`no kx at ${kxBinary} (set KX_BINARY)`);
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'kx-console-'));
  try {
    fs.writeFileSync(path.join(home, 'Config.ini'), configText());
    await run(kxBinary, ['--home', home, 'init'], INIT_SECONDS);
  } catch (e) {
    // Every test of the worker tries again: a folder per try would be left behind.
    fs.rmSync(home, { recursive: true, force: true });
    throw e;
  }
  return home;
}

export function sha256Hex(text) {
  return crypto.createHash('sha256').update(text, 'utf8').digest('hex');
}

/** Writes a token file (mode 0600) for `clients` ({name: patterns}) with new random tokens;
 *  answers {name: token}. */
export function writeTokenFile(file, which = clients) {
  const tokens = {};
  let text = '# name  sha256(token)  may call\n';
  for (const [name, patterns] of Object.entries(which)) {
    tokens[name] = crypto.randomBytes(24).toString('base64url');
    text += `${name} ${sha256Hex(tokens[name])} ${patterns}\n`;
  }
  fs.writeFileSync(file, text, { mode: 0o600 });
  fs.chmodSync(file, 0o600);
  return tokens;
}

const started = new Set();  // the services this worker has started, stopped ones too
let failedInWorker = false;

/** Reads the child's stdout up to its first line break. */
function firstLine(child, seconds) {
  return new Promise((resolve) => {
    let text = '';
    const done = (line) => {
      clearTimeout(timer);
      child.stdout.off('data', onData);
      child.off('exit', onExit);
      resolve(line);
    };
    const onData = (chunk) => {
      text += chunk;
      const end = text.indexOf('\n');
      if (end >= 0) done(text.slice(0, end));
    };
    const onExit = () => done(text);
    const timer = setTimeout(() => done(text), seconds * 1000);
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', onData);
    child.once('exit', onExit);
  });
}

function tail(file, from = 0, limit = 20000) {
  try {
    const text = fs.readFileSync(file, 'utf8').slice(from);
    return text.length > limit ? '...' + text.slice(-limit) : text;
  } catch {
    return '';
  }
}

/**
 * Starts `kx --home HOME serve --listen 127.0.0.1:0` (with `--tokens FILE` when given, and any
 * further arguments) and answers the service once it said where it listens. Its stderr (and
 * anything after the first line of stdout) goes to HOME/serve-NAME.log.
 */
export async function startService(home, { name = 'kx', tokenFile = null, tokens = {}, args = [] } = {}) {
  const logPath = path.join(home, `serve-${name}.log`);
  const log = fs.openSync(logPath, 'a');
  const argv = ['--home', home, 'serve', '--listen', '127.0.0.1:0', ...(tokenFile ? ['--tokens', tokenFile] : []), ...args];
  const child = spawn(kxBinary, argv, { stdio: ['ignore', 'pipe', log] });
  fs.closeSync(log);
  const killNow = () => child.kill('SIGKILL');
  process.on('exit', killNow);  // a worker that dies leaves no service behind

  const line = await firstLine(child, START_SECONDS);
  const match = /^listening on (http:\/\/127\.0\.0\.1:\d+)$/.exec(line.trim());
  if (!match) {
    killNow();
    process.off('exit', killNow);
    throw new Error(`kx serve (${name}) did not start: first line ${JSON.stringify(line)}; stderr:\n${tail(logPath)}`);
  }
  child.stdout.on('data', (chunk) => fs.appendFileSync(logPath, chunk));

  const service = {
    name, url: match[1], origin: match[1], home, tokens, tokenFile, logPath, process: child,
    /** SIGTERM, then SIGKILL when it has not exited within STOP_SECONDS; answers {code, signal}. */
    async stop() {
      process.off('exit', killNow);
      if (child.exitCode !== null || child.signalCode !== null) {
        return { code: child.exitCode, signal: child.signalCode };
      }
      const exited = new Promise((resolve) => child.once('exit', (code, signal) => resolve({ code, signal })));
      child.kill('SIGTERM');
      const timer = setTimeout(() => child.kill('SIGKILL'), STOP_SECONDS * 1000);
      const status = await exited;
      clearTimeout(timer);
      return status;
    },
  };
  started.add(service);
  return service;
}

export const test = base.extend({
  kxHome: [async ({}, use) => {
    const home = await makeHome();
    await use(home);
    if (failedInWorker) console.log(`kept the component folder of the failed test(s): ${home}`);
    else fs.rmSync(home, { recursive: true, force: true });
  }, { scope: 'worker', timeout: (INIT_SECONDS + 30) * 1000 }],

  kx: [async ({ kxHome }, use) => {
    const tokenFile = path.join(kxHome, 'tokens');
    const tokens = writeTokenFile(tokenFile);
    const service = await startService(kxHome, { name: 'tokens', tokenFile, tokens, args: consoleArgs });
    await use(service);
    await service.stop();
  }, { scope: 'worker', timeout: (START_SECONDS + STOP_SECONDS + 10) * 1000 }],

  kxLoopback: [async ({ kxHome }, use) => {
    const service = await startService(kxHome, { name: 'loopback', args: consoleArgs });
    await use(service);
    await service.stop();
  }, { scope: 'worker', timeout: (START_SECONDS + STOP_SECONDS + 10) * 1000 }],

  // Pages open the service with the token file.
  baseURL: async ({ kx }, use) => {
    await use(kx.url);
  },

  // A failed test gets what the services wrote on stderr while it ran.
  kxLogs: [async ({}, use, testInfo) => {
    // Services started during the test have all of their log read.
    const from = new Map([...started].map((s) => [s, fs.existsSync(s.logPath) ? fs.statSync(s.logPath).size : 0]));
    await use();
    if (testInfo.status === testInfo.expectedStatus) return;
    failedInWorker = true;
    for (const s of started) {
      const text = tail(s.logPath, from.get(s) ?? 0);
      if (text) await testInfo.attach(`kx serve (${s.name}) stderr`, { body: text, contentType: 'text/plain' });
    }
  }, { auto: true }],
});

// ---- HTTP

/** The error a call answered with a status other than 2xx: `status` and the parsed `body`. */
export class ApiError extends Error {
  constructor(what, status, body) {
    super(`${what} answered ${status}: ${typeof body === 'string' ? body : JSON.stringify(body)}`);
    this.status = status;
    this.body = body;
  }
}

/**
 * POST /v1/CLS/MEMBER with {"args": args} (an array, positional, or an object, by name) and
 * `Authorization: Bearer TOKEN` when `token` is given. Answers the parsed JSON answer
 * ({result, out}); a status other than 2xx throws an ApiError, unless `allowError` is set: then the
 * parsed answer comes back whatever the status, with the status in its (non-enumerable) `status`.
 */
export async function api(service, token, cls, member, args = [], { allowError = false } = {}) {
  const headers = { 'Content-Type': 'application/json' };
  if (token) headers.Authorization = `Bearer ${token}`;
  const answer = await fetch(`${service.url}/v1/${encodeURIComponent(cls)}/${encodeURIComponent(member)}`, {
    method: 'POST', headers, body: JSON.stringify({ args }),
  });
  const text = await answer.text();
  let body;
  try {
    body = JSON.parse(text);
  } catch {
    throw new ApiError(`${cls}.${member} (not JSON)`, answer.status, text);
  }
  if (!answer.ok && !allowError) throw new ApiError(`${cls}.${member}`, answer.status, body);
  Object.defineProperty(body, 'status', { value: answer.status, enumerable: false });
  return body;
}

/**
 * A GET (or other method) sent as it is written: the path goes on the request line untouched, so
 * that `..` and `%2e%2e` reach the service. Answers {status, headers, body} (body a string).
 */
export function rawRequest(service, target, { method = 'GET', headers = {}, body = null } = {}) {
  const url = new URL(service.url);
  return new Promise((resolve, reject) => {
    const req = http.request({ host: url.hostname, port: url.port, method, path: target, headers, agent: false }, (res) => {
      const chunks = [];
      res.on('data', (chunk) => chunks.push(chunk));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: Buffer.concat(chunks).toString('utf8') }));
      res.on('error', reject);
    });
    req.setTimeout(30_000, () => req.destroy(new Error(`${method} ${target}: no answer within 30 s`)));
    req.on('error', reject);
    req.end(body ?? undefined);
  });
}

// ---- data

const ALPHABET = '0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ';
const handedOut = new Set();

/**
 * A code that no other run makes: `prefix` followed by random letters and digits, `width`
 * characters in all (at least 6 of them random: more than two billion codes per prefix).
 */
export function uniqueCode(prefix = 'T', width = 16) {
  if (width - prefix.length < 6) throw new Error(`uniqueCode: "${prefix}" leaves fewer than 6 of ${width} characters`);
  for (;;) {
    let code = prefix;
    while (code.length < width) code += ALPHABET[crypto.randomInt(ALPHABET.length)];
    if (!handedOut.has(code)) {
      handedOut.add(code);
      return code;
    }
  }
}

/** `n` random decimal digits (container numbers). */
export function digits(n) {
  let text = '';
  while (text.length < n) text += String(crypto.randomInt(10));
  return text;
}

export function xmlEscape(value) {
  return String(value).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&apos;' })[c]);
}

function element(name, attributes, children = null) {
  const text = Object.entries(attributes).map(([k, v]) => ` ${k}="${xmlEscape(v)}"`).join('');
  return children === null ? `<${name}${text}/>` : `<${name}${text}>${children}</${name}>`;
}

/** The value of attribute `name` on the first `tag` element of an answer document (unescaped). */
export function xmlAttribute(xml, tag, name) {
  const start = new RegExp(`<${tag}\\s[^>]*?\\b${name}="([^"]*)"`).exec(xml);
  if (!start) return undefined;
  return start[1].replace(/&(lt|gt|quot|apos|amp);/g, (_, e) => ({ lt: '<', gt: '>', quot: '"', apos: "'", amp: '&' })[e]);
}

/** How many `tag` elements an answer document holds. */
export function xmlCount(xml, tag) {
  return (xml.match(new RegExp(`<${tag}[\\s/>]`, 'g')) || []).length;
}

export function typeProfileXml({ code, name = `Console test ${code}`, category = 'TR' }) {
  return element('JBTypeProfile', { Code: code, JBTypeName: name, JBTypeCategory: category });
}

/** Adds a type profile; answers {code, name, category}. */
export async function addTypeProfile(service, token, { code = uniqueCode('TP', 20), name, category = 'TR' } = {}) {
  const profile = { code, name: name ?? `Console test ${code}`, category };
  await api(service, token, 'C_JBTypeProfile', 'add', { ElementXml: typeProfileXml(profile) });
  return profile;
}

/** `count` containers of `prefix` with new numbers (or the `given` ones), and the XML of a line
 *  for each. */
function containerLines(count, prefix, lineXmlOf, given = null) {
  const containers = given ?? Array.from({ length: count }, () => ({ prefix, no: digits(7) }));
  return { containers, xml: containers.map(lineXmlOf) };
}

/** The fields `line` (an object, or a function of the line's index answering one) gives line `i`. */
const lineFields = (line, i) => (typeof line === 'function' ? line(i) : line);

/** A container line of a job order; `attributes` replace or add fields. */
export function containerLineXml(attributes = {}) {
  return element('JBContainerDetail', {
    ContainerPrefix: 'KXTU', ContainerNo: '0000001', EmptyFullFlag: 'F', SOCFlag: 'N', BKNo: 'BK', BLNo: 'BL',
    ERNo: '', FromPlace: 'HKHKG', ToPlace: 'CNSZX', ServiceMode: 'CY', ContainerType: '40HC',
    CargoDescription: 'toys', Reefer: 'N', Hazard: 'N', ...attributes,
  });
}

/** A job order to add (JBNo empty: the service numbers it) with its lines' XML. */
export function jobOrderXml(attributes = {}, lines = []) {
  return element('JBOrder', {
    JBNo: '', JBCreateDate: '2026-12-01', LastUpdateUser: 'console', JBTypeCategory: 'TR', JBTypeCode: 'TRUCK',
    OfficeCode: 'HKG', VendorCode: 'KXV', VendorName: "O'Neil Trucking", VendorContractNo: 'C-2026',
    ITNumber: 'IT0001', ITType: 'IM', BoundDirect: 'I', TransportMode: 'TRK', Quantity: String(lines.length),
    FromPlace: 'HKHKG', FromDepot: 'KT9', EstimatedStartDate: '2026-12-02', ToPlace: 'CNSZX', ToDepot: 'YT1',
    EstimatedEndDate: '2026-12-03', CostRemark: 'door delivery', ...attributes,
  }, `<JBContainerDetails>${lines.join('')}</JBContainerDetails>`);
}

/**
 * Adds a job order with `lines` container lines, all of one new booking (so that a search by its
 * BKNo finds this order alone) and of one new vendor code. `order` and `line` replace or add
 * fields of the order and of every line (`line` may be a function of the line's index);
 * `containers` ([{prefix, no}]) gives the lines' containers instead of `lines` new ones. Answers
 * {id, jbNo, bkNo, vendorCode, itNumber, containers: [{prefix, no}], xml} (xml: the order as
 * getElementByXML answers it).
 */
export async function addJobOrder(service, token,
  { lines = 2, company = 'KX', office = 'HKG', order = {}, line = {}, containers: given = null } = {}) {
  const bkNo = lineFields(line, 0).BKNo ?? uniqueCode('BK', 17);
  const vendorCode = order.VendorCode ?? uniqueCode('V', 8);
  const itNumber = order.ITNumber ?? uniqueCode('IT', 10);
  const { containers, xml: lineXml } = containerLines(lines, 'KXTU', (c, i) => containerLineXml({
    ContainerPrefix: c.prefix, ContainerNo: c.no, BKNo: bkNo, BLNo: `BL${bkNo.slice(2)}`,
    ContainerType: i % 2 ? '20GP' : '40HC', CargoDescription: `cargo ${i + 1}`, ...lineFields(line, i),
  }), given);
  const request = jobOrderXml({ OfficeCode: office, ...order, VendorCode: vendorCode, ITNumber: itNumber }, lineXml);
  const added = await api(service, token, 'C_JBOrder', 'add',
    { ElementXml: request, astrCompanyCode: company, astrOfficeCode: office });
  const id = String(added.result);
  const xml = (await api(service, token, 'C_JBOrder', 'getElementByXML', { key: id })).result;
  return { id, jbNo: xmlAttribute(xml, 'JBOrder', 'JBNo'), bkNo, vendorCode, itNumber, containers, xml };
}

/**
 * Adds a door appointment to `order` (an addJobOrder() answer), of its booking; `values` replace
 * or add fields. Answers the fields it was added with.
 */
export async function addDoorAppointment(service, token, order, values = {}) {
  const fields = {
    BKNo: order.bkNo, BLNo: `BL${order.bkNo.slice(2)}`, ContainerRemarks: '', CustomerName: 'Wing On Furniture',
    AppointmentAddress: '12 Kwai Fung Crescent, Kwai Chung', CustomerContactor: 'Mr Chan',
    AppointmentPhone: '+852 2612 0000', AppointmentDate: '2026-12-16', AppointmentTime: '930', AppointmentRemarks: '',
    ...values,
  };
  await api(service, token, 'C_JBOrder', 'AddDoorAppointment', { JBNoId: order.id, ElementXml: element('JBDoorAppointment', fields) });
  return fields;
}

/** A line of a container retrieving work file; `attributes` replace or add fields. */
export function workFileLineXml(attributes = {}) {
  return element('JBContainerRetrievingTempDetail', {
    FromPlace: 'HKG', ToPlace: 'YTN', MovementMode: 'CY', ContainerPrefix: 'KXDU', ContainerNo: '0000001',
    ContainerType: '20GP', EmptyFullFlag: 'F', SOCFlag: 'N', BKNo: 'BK', BLNo: 'BL', ERNo: 'ER',
    CargoDescription: 'toys', Reefer: 'N', Hazard: 'N', PlaceAcceptance: 'HKG', POL: 'HKG', POD: 'LAX',
    PlaceDelivery: 'LAX', HandledFlag: '0', ...attributes,
  });
}

/** A container retrieving work file to add with its lines' XML. */
export function workFileXml(attributes = {}, lines = []) {
  return element('JBContainerRetrievingTempFile', {
    SourceCategory: 'BK', Office: 'HKG', VesselCode: 'KXV', VoyageNo: '001', VoyageLeg: 'E', BKNo: 'BK',
    BLNo: 'BL', ERNo: 'ER', LastUpdateUser: 'console', ...attributes,
  }, `<JBContainerRetrievingTempDetails>${lines.join('')}</JBContainerRetrievingTempDetails>`);
}

/**
 * Adds a container retrieving work file of a new booking with `lines` lines, the first `handled`
 * of them handled, and finds it again by that booking (add answers no key). `file` and `line`
 * replace or add fields (`line` may be a function of the line's index); `containers`
 * ([{prefix, no}]) gives the lines' containers instead of `lines` new ones. Answers
 * {id, bkNo, containers: [{prefix, no}], xml}.
 */
export async function addWorkFile(service, token,
  { lines = 3, handled = 0, file = {}, line = {}, containers: given = null } = {}) {
  const bkNo = file.BKNo ?? uniqueCode('BK', 17);
  const { containers, xml: lineXml } = containerLines(lines, 'KXDU', (c, i) => workFileLineXml({
    ContainerPrefix: c.prefix, ContainerNo: c.no, BKNo: bkNo, BLNo: `BL${bkNo.slice(2)}`, ERNo: `ER${bkNo.slice(2)}`,
    CargoDescription: `cargo ${i + 1}`, HandledFlag: i < handled ? '1' : '0', ...lineFields(line, i),
  }), given);
  const request = workFileXml({ BKNo: bkNo, BLNo: `BL${bkNo.slice(2)}`, ERNo: `ER${bkNo.slice(2)}`, ...file }, lineXml);
  await api(service, token, 'C_JBContainerRetrievingTempFile', 'add', { ElementXml: request });
  const found = await api(service, token, 'C_JBContainerRetrievingTempFile', 'queryOwnedElementsByXML', {
    CountPerPage: 0, PageNumber: 0,
    AccessKey: `<AccessKeys>${element('AccessKey', { Field: 'BKNo', SearchCondition: '=', Key: bkNo })}</AccessKeys>`,
  });
  const count = xmlCount(found.result, 'JBContainerRetrievingTempFile');
  if (count !== 1) throw new Error(`the work file of booking ${bkNo} was found ${count} times: ${found.result}`);
  const id = xmlAttribute(found.result, 'JBContainerRetrievingTempFile', 'Id');
  const xml = (await api(service, token, 'C_JBContainerRetrievingTempFile', 'getElementByXML', { key: id })).result;
  return { id, bkNo, containers, xml };
}

/**
 * Sets JBState of job order `id` in its table, as the process that completes an order does (no
 * controller sets state 3); `token` must be allowed S_DBHelpForKX.RunSQL (the supervisor's is).
 */
export async function setOrderState(service, token, id, state) {
  if (!/^\d+$/.test(String(id)) || !Number.isInteger(state)) throw new Error(`setOrderState: bad id ${id} or state ${state}`);
  await api(service, token, 'S_DBHelpForKX', 'RunSQL', { strSP: `update JB_ORDER set JB_STATE = ${state} where JB_NO_ID = ${id}` });
}

// ---- the browser

/**
 * Signs `page` in to `service` with `token`: the token is in sessionStorage `kx.token` before the
 * console's scripts run, on the first load of a page of the service in that tab (so that a test
 * that signs out and reloads sees the console signed out). Tests of the sign-in screen itself type
 * the token instead.
 */
export async function signIn(page, service, token) {
  await page.addInitScript(({ origin, value }) => {
    if (window.location.origin !== origin) return;
    const seeded = 'kx-test.signed-in';
    if (window.sessionStorage.getItem(seeded)) return;
    window.sessionStorage.setItem(seeded, '1');
    window.sessionStorage.setItem('kx.token', value);
  }, { origin: service.origin, value: token });
}

/** Waits until the console shows the current screen's data (or its error). */
export async function screenReady(page) {
  await expect(page.locator('main#main')).toHaveAttribute('aria-busy', 'false');
}

/** The WCAG 2 A/AA rules that `page` (or the part `include` selects) breaks, as short summaries. */
export async function accessibilityViolations(page, { include = null, disable = [] } = {}) {
  let builder = new AxeBuilder({ page }).withTags(['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa']);
  if (include) builder = builder.include(include);
  if (disable.length) builder = builder.disableRules(disable);
  const { violations } = await builder.analyze();
  return violations.map((v) => ({ id: v.id, impact: v.impact, help: v.help, targets: v.nodes.map((n) => n.target.join(' ')) }));
}

/** Opens the console at `hash` ('#/orders/12') and waits for the screen's data. */
export async function openScreen(page, hash) {
  await page.goto(`/${hash}`);
  await screenReady(page);
}

/** The value (dd) a screen's list of facts shows for `label` (its dt, matched whole). */
export function fact(page, label) {
  const escaped = label.replace(/[.*+?^$|()[\]{}\\]/g, (c) => `\\${c}`);
  return page.locator('dl.facts > div').filter({ has: page.locator('dt', { hasText: new RegExp(`^${escaped}$`) }) })
    .locator('dd');
}

/**
 * Presses Tab (Shift+Tab with `back`) until `target` has the focus, as a keyboard user does;
 * throws when it is not reached within `limit` presses.
 */
export async function tabTo(page, target, { back = false, limit = 80 } = {}) {
  for (let i = 0; i < limit; i++) {
    if (await target.evaluate((el) => el === document.activeElement).catch(() => false)) return i;
    await page.keyboard.press(back ? 'Shift+Tab' : 'Tab');
  }
  throw new Error(`tabTo: ${target} not reached with ${limit} presses of ${back ? 'Shift+Tab' : 'Tab'}`);
}

/** The messages of every alert/confirm/prompt box `page` opens from now on (each is dismissed). */
export function windowDialogs(page) {
  const seen = [];
  page.on('dialog', async (d) => {
    seen.push(`${d.type()}: ${d.message()}`);
    await d.dismiss().catch(() => {});
  });
  return seen;
}

/**
 * An order as a clerk types it on the order form, with realistic values: {order: {label: value}
 * for the fields of the group "Order"}, lines: [{label: value} per container line], company,
 * office}. The vendor code and the booking are new; every container number is new. `order` and
 * `line` replace or add fields (by label) of the order and of every line.
 */
export function formOrder({ lines = 2, order = {}, line = {} } = {}) {
  const booking = `HKGB${digits(9)}`;
  const prefixes = ['MSCU', 'TGHU', 'CAIU', 'SEGU'];
  return {
    company: 'KX',
    office: 'HKG',
    order: {
      'Type category': 'TR', 'Type code': 'TRUCK', Office: 'HKG', 'Vendor code': uniqueCode('V', 8),
      'Vendor name': 'Kowloon Haulage Ltd', 'Vendor contract no.': 'KH-2026-118', 'IT number': `IT${digits(8)}`,
      'IT type': 'IM', Bound: 'I', 'Transport mode': 'TRK', Quantity: String(lines), 'From place': 'HKHKG',
      'From depot': 'KT9', 'Estimated start': '2026-12-14', 'To place': 'CNSZX', 'To depot': 'YT1',
      'Estimated end': '2026-12-15', 'Cost remark': 'Door delivery to Yantian, tail-lift needed', ...order,
    },
    lines: Array.from({ length: lines }, (_, i) => ({
      Prefix: prefixes[i % prefixes.length], 'Container no.': digits(7), Type: i % 2 ? '20GP' : '40HC',
      'Empty/full': 'F', SOC: 'N', 'Booking no.': booking, 'B/L no.': `MEDU${booking.slice(4)}`, 'ER no.': '',
      From: 'HKHKG', To: 'CNSZX', 'Service mode': 'CY', Reefer: 'N', Hazard: 'N',
      Cargo: i % 2 ? 'Cotton garments, 412 cartons' : 'Furniture parts, 38 pallets', ...line,
    })),
  };
}

/** Fills the order form (a new order: with the company and office codes) with a formOrder(),
 *  clicking "Add line" for each of its lines. */
export async function fillOrderForm(page, values) {
  const order = page.getByRole('group', { name: 'Order', exact: true });
  for (const [label, value] of Object.entries(values.order)) await order.getByLabel(label, { exact: true }).fill(value);
  if (values.company !== undefined) await page.getByLabel('Your company code', { exact: true }).fill(values.company);
  if (values.office !== undefined) await page.getByLabel('Your office code', { exact: true }).fill(values.office);
  const first = await page.getByRole('group', { name: /^Line \d+$/ }).count();
  for (const [i, line] of values.lines.entries()) {
    await page.getByRole('button', { name: 'Add line', exact: true }).click();
    const box = page.getByRole('group', { name: `Line ${first + i + 1}`, exact: true });
    for (const [label, value] of Object.entries(line)) await box.getByLabel(label, { exact: true }).fill(value);
  }
}

/** Expects the order form to hold every value of a formOrder() (its lines from "Line 1" on). */
export async function expectOrderForm(page, values) {
  const order = page.getByRole('group', { name: 'Order', exact: true });
  for (const [label, value] of Object.entries(values.order)) {
    await expect(order.getByLabel(label, { exact: true }), label).toHaveValue(value);
  }
  await expect(page.getByRole('group', { name: /^Line \d+$/ })).toHaveCount(values.lines.length);
  for (const [i, line] of values.lines.entries()) {
    const box = page.getByRole('group', { name: `Line ${i + 1}`, exact: true });
    for (const [label, value] of Object.entries(line)) {
      await expect(box.getByLabel(label, { exact: true }), `line ${i + 1}: ${label}`).toHaveValue(value);
    }
  }
}
