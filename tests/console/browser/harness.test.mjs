// What the other browser tests stand on: the services of the worker, the API calls that seed data, the
// sign-in of a page and the accessibility check. None of these needs a screen of the console.
import fs from 'node:fs';
import path from 'node:path';

import {
  ApiError, accessibilityViolations, addJobOrder, addTypeProfile, addWorkFile, api, clients, expect,
  rawRequest, sha256Hex, signIn, test, uniqueCode, xmlAttribute, xmlCount,
} from '../support/kx.mjs';

test('the worker runs kx serve with a token file, and one without on the same folder', async ({ kx, kxLoopback }) => {
  expect(kx.url).toMatch(/^http:\/\/127\.0\.0\.1:\d+$/);
  expect(kxLoopback.url).toMatch(/^http:\/\/127\.0\.0\.1:\d+$/);
  expect(kxLoopback.url).not.toBe(kx.url);
  expect(kxLoopback.home).toBe(kx.home);
  expect((await rawRequest(kx, '/healthz')).status).toBe(200);
  expect((await rawRequest(kxLoopback, '/healthz')).status).toBe(200);

  // The token file holds digests only, and only its owner may read it.
  expect(fs.statSync(kx.tokenFile).mode & 0o777).toBe(0o600);
  const file = fs.readFileSync(kx.tokenFile, 'utf8');
  expect(Object.keys(kx.tokens).sort()).toEqual(Object.keys(clients).sort());
  for (const [name, token] of Object.entries(kx.tokens)) {
    expect(token.length).toBeGreaterThanOrEqual(32);
    expect(file).not.toContain(token);
    expect(file).toContain(`${name} ${sha256Hex(token)} ${clients[name]}\n`);
  }
  expect(new Set(Object.values(kx.tokens)).size).toBe(3);
  expect(fs.readFileSync(path.join(kx.home, 'Config.ini'), 'utf8'))
    .toContain(process.env.KX_ENGINE === 'pg' ? 'PROVIDER=PostgreSQL' : 'PROVIDER=SQLite');
});

test('api: the clerk adds a type profile, the reader reads it and may not add one', async ({ kx, kxLoopback }) => {
  const profile = await addTypeProfile(kx, kx.tokens.clerk, { name: 'Harness <&> "quoted"' });
  expect(profile.code).toMatch(/^TP[0-9A-Z]{18}$/);

  const read = await api(kx, kx.tokens.reader, 'C_JBTypeProfile', 'getElementByXML', [profile.code]);
  expect(xmlAttribute(read.result, 'JBTypeProfile', 'Code')).toBe(profile.code);
  expect(xmlAttribute(read.result, 'JBTypeProfile', 'JBTypeName')).toBe('Harness <&> "quoted"');
  expect(read.status).toBe(200);

  // A refusal throws with its status and body...
  const refused = await api(kx, kx.tokens.reader, 'C_JBTypeProfile', 'add',
    [`<JBTypeProfile Code="${uniqueCode('TP', 20)}" JBTypeName="x" JBTypeCategory="TR"/>`]).catch((e) => e);
  expect(refused).toBeInstanceOf(ApiError);
  expect(refused.status).toBe(403);
  expect(refused.body.error).toBeDefined();
  expect(refused.message).toContain('403');
  // ...or comes back when asked to.
  const unknown = await api(kx, null, 'C_JBTypeProfile', 'getElementByXML', [profile.code], { allowError: true });
  expect(unknown.status).toBe(401);
  expect(unknown.error.source).toBe('kx serve');
  const missing = await api(kx, kx.tokens.clerk, 'C_JBTypeProfile', 'getElementByXML', [uniqueCode('TP', 20)],
    { allowError: true });
  expect(missing.status).toBe(422);

  // The loopback service needs no token and sees the same database.
  const open = await api(kxLoopback, null, 'C_JBTypeProfile', 'getElementByXML', { key: profile.code });
  expect(xmlAttribute(open.result, 'JBTypeProfile', 'Code')).toBe(profile.code);
});

test('api: a job order with its container lines, found by its booking', async ({ kx }) => {
  const order = await addJobOrder(kx, kx.tokens.clerk, { lines: 3 });
  expect(order.id).toMatch(/^\d+$/);
  expect(order.jbNo).toMatch(/^KXHKG\d+$/);
  expect(xmlAttribute(order.xml, 'JBOrder', 'Id')).toBe(order.id);
  expect(xmlAttribute(order.xml, 'JBOrder', 'VendorCode')).toBe(order.vendorCode);
  expect(xmlCount(order.xml, 'JBContainerDetail')).toBe(3);
  for (const c of order.containers) expect(order.xml).toContain(`ContainerNo="${c.no}"`);

  const found = await api(kx, kx.tokens.reader, 'C_JBOrder', 'queryOwnedElementsByXML', {
    CountPerPage: 20, PageNumber: 1,
    AccessKey: `<AccessKeys><AccessKey Field="BKNo" SearchCondition="=" Key="${order.bkNo}"/></AccessKeys>`,
  });
  expect(found.out.ResultCount).toBe(1);
  expect(xmlAttribute(found.result, 'JBOrder', 'Id')).toBe(order.id);

  const none = await addJobOrder(kx, kx.tokens.clerk, { lines: 0, order: { CostRemark: 'no lines' } });
  expect(xmlCount(none.xml, 'JBContainerDetail')).toBe(0);
  expect(xmlAttribute(none.xml, 'JBOrder', 'CostRemark')).toBe('no lines');
  expect(none.id).not.toBe(order.id);
});

test('api: a container retrieving work file with its lines', async ({ kx }) => {
  const file = await addWorkFile(kx, kx.tokens.clerk, { lines: 4, handled: 1 });
  expect(file.id).toMatch(/^\d+$/);
  expect(xmlAttribute(file.xml, 'JBContainerRetrievingTempFile', 'BKNo')).toBe(file.bkNo);
  expect(xmlCount(file.xml, 'JBContainerRetrievingTempDetail')).toBe(4);
  expect((file.xml.match(/HandledFlag="1"/g) || []).length).toBe(1);
  for (const c of file.containers) expect(file.xml).toContain(`ContainerNo="${c.no}"`);

  const read = await api(kx, kx.tokens.reader, 'C_JBContainerRetrievingTempFile', 'getElementByXML', [file.id]);
  expect(read.result).toBe(file.xml);
});

test('uniqueCode: distinct codes of the asked width', () => {
  const codes = Array.from({ length: 500 }, () => uniqueCode('UC', 10));
  expect(new Set(codes).size).toBe(codes.length);
  for (const code of codes) expect(code).toMatch(/^UC[0-9A-Z]{8}$/);
  expect(uniqueCode()).toMatch(/^T[0-9A-Z]{15}$/);
  expect(() => uniqueCode('TOOLONG', 12)).toThrow();
});

test('signIn: the token is stored before the page runs, once per tab', async ({ page, kx }) => {
  await signIn(page, kx, kx.tokens.clerk);
  // The script of the page reads it as it starts.
  await page.addInitScript(() => { window.tokenAtStart = window.sessionStorage.getItem('kx.token'); });
  await page.goto('/healthz');
  expect(await page.evaluate(() => window.tokenAtStart)).toBe(kx.tokens.clerk);

  // Signed out, a reload stays signed out.
  await page.evaluate(() => window.sessionStorage.removeItem('kx.token'));
  await page.reload();
  expect(await page.evaluate(() => window.sessionStorage.getItem('kx.token'))).toBeNull();
});

test('accessibilityViolations: finds what breaks the rules and nothing else', async ({ page }) => {
  const image = 'data:image/gif;base64,R0lGODlhAQABAAAAACw=';
  await page.setContent(`<!doctype html><html lang="en"><head><title>t</title></head><body><main>
    <h1>Page</h1><img src="${image}"><button></button></main></body></html>`);
  const found = (await accessibilityViolations(page)).map((v) => v.id).sort();
  expect(found).toEqual(['button-name', 'image-alt']);

  await page.setContent(`<!doctype html><html lang="en"><head><title>t</title></head><body><main>
    <h1>Page</h1><img src="${image}" alt="dot"><button>Go</button></main></body></html>`);
  expect(await accessibilityViolations(page)).toEqual([]);
});
