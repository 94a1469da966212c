// `kx serve` serving the console: its page with the security and caching headers, conditional
// requests, who the caller is (/v1/_me), no file outside the console folder, and a page that talks
// to its own service alone without an error or a violation of its content security policy.
import fs from 'node:fs';
import path from 'node:path';

import {
  clients, expect, rawRequest, screenReady, signIn, sourceDir, startService, test,
} from '../support/kx.mjs';

/** The directives of a Content-Security-Policy header: {name: [sources]}. */
function policy(header) {
  const directives = {};
  for (const part of (header || '').split(';')) {
    const [name, ...sources] = part.trim().split(/\s+/);
    if (name) directives[name.toLowerCase()] = sources;
  }
  return directives;
}

function expectStaticHeaders(answer, what) {
  expect(answer.status, what).toBe(200);
  const csp = policy(answer.headers['content-security-policy']);
  expect(csp['default-src'], `${what}: default-src`).toEqual(["'self'"]);
  // Scripts come from the service's files only.
  const scripts = csp['script-src'] ?? csp['default-src'];
  for (const weak of ["'unsafe-inline'", "'unsafe-eval'", '*', 'data:', 'http:', 'https:']) {
    expect(scripts, `${what}: script sources`).not.toContain(weak);
  }
  expect(answer.headers['x-content-type-options'], what).toBe('nosniff');
  expect(answer.headers['referrer-policy'], what).toBe('no-referrer');
  expect(answer.headers.etag, what).toMatch(/^(W\/)?"[^"]+"$/);
  expect(answer.headers['cache-control'], what).toMatch(/(^|,)\s*no-cache\s*(,|$)/);
}

/** The files index.html names with src= or href= (not links to screens or other sites). */
function referencedFiles(html) {
  const found = new Set();
  for (const m of html.matchAll(/\b(?:src|href)="([^"#?]+)(?:\?[^"]*)?"/g)) {
    if (!/^[a-z]+:|^\/\//i.test(m[1])) found.add(new URL(m[1], 'http://x/').pathname);
  }
  return [...found];
}

const types = { '.js': /^(text|application)\/javascript\b/, '.mjs': /^(text|application)\/javascript\b/,
  '.css': /^text\/css\b/, '.svg': /^image\/svg\+xml\b/, '.html': /^text\/html\b/, '.png': /^image\/png$/ };

test('GET / answers the page with its security and caching headers', async ({ kx }) => {
  const page = await rawRequest(kx, '/');
  expectStaticHeaders(page, 'GET /');
  expect(page.headers['content-type']).toMatch(/^text\/html\b/);
  expect(page.body).toMatch(/<main\b[^>]*\bid="main"/);
  // So does every file the page names.
  const files = referencedFiles(page.body);
  expect(files.length).toBeGreaterThan(0);
  for (const file of files) {
    const answer = await rawRequest(kx, file);
    expectStaticHeaders(answer, `GET ${file}`);
    const type = types[path.extname(file)];
    if (type) expect(answer.headers['content-type'], `GET ${file}`).toMatch(type);
  }
});

test('a second GET with the ETag answers 304 without a body', async ({ kx }) => {
  const first = await rawRequest(kx, '/');
  expect(first.status).toBe(200);
  const again = await rawRequest(kx, '/', { headers: { 'If-None-Match': first.headers.etag } });
  expect(again.status).toBe(304);
  expect(again.body).toBe('');
  if (again.headers.etag) expect(again.headers.etag).toBe(first.headers.etag);
  // Another tag is no match.
  const other = await rawRequest(kx, '/', { headers: { 'If-None-Match': '"not-this-one"' } });
  expect(other.status).toBe(200);
  expect(other.body).toBe(first.body);
});

test('GET /v1/_me names the client and what it may call', async ({ kx, kxLoopback }) => {
  const me = async (service, token) => {
    const answer = await rawRequest(service, '/v1/_me', { headers: token ? { Authorization: `Bearer ${token}` } : {} });
    return { status: answer.status, body: answer.status === 200 ? JSON.parse(answer.body) : answer.body };
  };

  const clerk = await me(kx, kx.tokens.clerk);
  expect(clerk.status).toBe(200);
  expect(clerk.body).toMatchObject({ client: 'clerk', signIn: true, may: ['C_*.*'] });
  expect(clerk.body.allowed).toEqual(expect.arrayContaining(['C_JBOrder.add', 'C_JBOrder.Issue',
    'C_JBTypeProfile.getElementByXML', 'C_JBContainerRetrievingTempFile.Finish']));
  for (const member of clerk.body.allowed) expect(member).toMatch(/^C_\w+\.\w+$/);

  // The reader's patterns name members one by one: it is allowed exactly those.
  const reader = await me(kx, kx.tokens.reader);
  expect(reader.status).toBe(200);
  expect(reader.body.client).toBe('reader');
  expect(reader.body.signIn).toBe(true);
  expect(reader.body.may).toEqual(clients.reader.split(','));
  expect([...reader.body.allowed].sort()).toEqual(clients.reader.split(',').sort());

  expect((await me(kx, null)).status).toBe(401);
  expect((await me(kx, 'not-a-token-of-this-service')).status).toBe(401);

  const open = await me(kxLoopback, null);
  expect(open.status).toBe(200);
  expect(open.body).toMatchObject({ client: null, signIn: false, may: ['*.*'] });
  expect([...open.body.allowed].sort()).toEqual([...clerk.body.allowed].sort());
});

test('no path answers a file outside the console folder', async ({ kxHome }) => {
  // A copy of the console inside the component folder: its parent holds Config.ini, so a path
  // that climbs out of the console folder would find a file there.
  const folder = path.join(kxHome, `console-${test.info().workerIndex}-${Date.now()}`);
  fs.cpSync(path.join(sourceDir, 'src', 'console'), folder, { recursive: true });
  fs.writeFileSync(path.join(kxHome, 'outside.txt'), 'not part of the console\n');
  const service = await startService(kxHome, { name: 'console-copy', args: ['--console', folder] });
  try {
    const index = await rawRequest(service, '/');
    expect(index.status).toBe(200);
    expect(index.body).toBe(fs.readFileSync(path.join(folder, 'index.html'), 'utf8'));

    const targets = [
      '/../Config.ini', '/%2e%2e/Config.ini', '/%2E%2E/Config.ini', '/js/../../Config.ini',
      '/js/%2e%2e/%2e%2e/Config.ini', '/..%2fConfig.ini', '/%2e%2e%2fConfig.ini', '/js/..%2f..%2fConfig.ini',
      '/..%5cConfig.ini', '/.%2e/Config.ini', '/%2e./outside.txt', '/../outside.txt',
      '/js/../../outside.txt', `/${kxHome}/Config.ini`, `/%2f${encodeURIComponent(kxHome.slice(1))}%2fConfig.ini`,
      '/../../../../../../../../etc/passwd', '/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc/passwd',
      '/index.html/../../Config.ini',
    ];
    for (const target of targets) {
      const answer = await rawRequest(service, target);
      expect(answer.status, `GET ${target}`).toBe(404);
      expect(answer.body, `GET ${target}`).not.toMatch(/\[DATABASE\]|not part of the console|root:/);
    }
  } finally {
    await service.stop();
  }
});

/** Opens `url` in `page` and answers what it did: requests, console errors, CSP violations. */
async function loadAndWatch(page, url) {
  const requests = [];
  const errors = [];
  page.on('request', (r) => requests.push(r.url()));
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  page.on('pageerror', (e) => errors.push(String(e)));
  await page.addInitScript(() => {
    window.cspViolations = [];
    document.addEventListener('securitypolicyviolation',
      (e) => window.cspViolations.push(`${e.violatedDirective} ${e.blockedURI}`));
  });
  await page.goto(url);
  await screenReady(page);
  await page.waitForLoadState('networkidle');
  return { requests, errors, violations: await page.evaluate(() => window.cspViolations) };
}

function expectOwnOrigin(requests, origin) {
  expect(requests.length).toBeGreaterThan(0);
  // data: and blob: URLs are no requests to anyone.
  const elsewhere = requests.filter((u) => !u.startsWith(`${origin}/`) && !/^(data|blob):/.test(u));
  expect(elsewhere).toEqual([]);
}

test('the signed-in page asks its own service alone, with no error or CSP violation', async ({ page, kx }) => {
  await signIn(page, kx, kx.tokens.clerk);
  const seen = await loadAndWatch(page, '/');
  expectOwnOrigin(seen.requests, kx.origin);
  expect(seen.errors).toEqual([]);
  expect(seen.violations).toEqual([]);
});

test('the page of the loopback service asks its own service alone, with no error or CSP violation', async ({ page, kxLoopback }) => {
  const seen = await loadAndWatch(page, `${kxLoopback.url}/`);
  expectOwnOrigin(seen.requests, kxLoopback.origin);
  expect(seen.errors).toEqual([]);
  expect(seen.violations).toEqual([]);
});
