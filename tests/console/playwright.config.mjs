// The browser tests of the operator console: Debian's Chromium, headless, one worker (the tests of
// one run share a database, and the PostgreSQL one with other test suites), no retries. Each worker
// starts its own `kx serve` (support/kx.mjs). Screenshots of failed tests, and everything else the
// runner writes, go to KX_CONSOLE_OUT (default tests/console/out, which git ignores); ctest points
// it into the build tree.
import path from 'node:path';
import { fileURLToPath } from 'node:url';

import { defineConfig } from '@playwright/test';

const here = path.dirname(fileURLToPath(import.meta.url));
const out = path.resolve(process.env.KX_CONSOLE_OUT || path.join(here, 'out'));

export default defineConfig({
  testDir: path.join(here, 'browser'),
  testMatch: '**/*.test.mjs',
  outputDir: path.join(out, 'results'),
  workers: 1,
  retries: 0,
  fullyParallel: false,
  forbidOnly: Boolean(process.env.CI),
  timeout: 60_000,
  expect: { timeout: 10_000 },
  reporter: 'list',
  use: {
    browserName: 'chromium',
    headless: true,
    viewport: { width: 1280, height: 800 },
    screenshot: 'only-on-failure',
    trace: 'off',
    video: 'off',
    launchOptions: {
      executablePath: '/usr/bin/chromium',
      // Chromium's sandbox cannot start as root (CI and the developers' machines run as root).
      args: process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : [],
    },
  },
});
