// Addresses: every screen opens from its address typed or pasted, shows the same after a reload,
// and the back button returns from an order to the search it was opened from, conditions and all.
import {
  addJobOrder, addTypeProfile, addWorkFile, expect, fact, openScreen, screenReady, signIn, test,
} from '../support/kx.mjs';

test('each screen opens from its address and shows the same data after a reload', async ({ page, kx }) => {
  const order = await addJobOrder(kx, kx.tokens.clerk, { lines: 2, order: { VendorName: 'Shek O Marine Cargo' } });
  const profile = await addTypeProfile(kx, kx.tokens.clerk, { name: 'Barge to Yantian' });
  const file = await addWorkFile(kx, kx.tokens.clerk, { lines: 2, file: { VesselCode: 'MSKAL' } });
  const main = page.getByRole('main');
  const h1 = page.getByRole('heading', { level: 1 });
  const results = page.locator('#results tbody tr');
  const screens = [
    [`#/orders?BKNo=${order.bkNo}&size=10`, async () => {
      await expect(h1).toHaveText('Job orders');
      await expect(page.getByLabel('Field', { exact: true })).toHaveValue('BKNo');
      await expect(page.getByLabel('Value', { exact: true })).toHaveValue(order.bkNo);
      await expect(page.getByLabel('Rows per page')).toHaveValue('10');
      await expect(results).toHaveCount(1);
      await expect(results.getByRole('link', { name: order.jbNo })).toHaveAttribute('href', `#/orders/${order.id}`);
    }],
    [`#/orders/${order.id}`, async () => {
      await expect(h1).toHaveText(`Job order ${order.jbNo}`);
      await expect(fact(page, 'Vendor name')).toHaveText('Shek O Marine Cargo');
      await expect(page.locator('#lines tbody tr')).toHaveCount(2);
    }],
    [`#/orders/${order.id}/edit`, async () => {
      await expect(h1).toHaveText(`Edit job order ${order.jbNo}`);
      await expect(page.getByLabel('Vendor name', { exact: true })).toHaveValue('Shek O Marine Cargo');
      await expect(page.getByRole('group', { name: /^Line \d+$/ })).toHaveCount(2);
    }],
    ['#/orders/new', async () => {
      await expect(h1).toHaveText('New job order');
      await expect(page.getByRole('button', { name: 'Save order' })).toBeVisible();
    }],
    [`#/type-profiles?Code=${profile.code}`, async () => {
      await expect(h1).toHaveText('Type profiles');
      await expect(results).toHaveCount(1);
      await expect(results).toContainText('Barge to Yantian');
    }],
    [`#/work-files?BKNo=${file.bkNo}`, async () => {
      await expect(h1).toHaveText('Work files');
      await expect(results).toHaveCount(1);
      await expect(results.getByRole('link', { name: file.id, exact: true })).toHaveAttribute('href', `#/work-files/${file.id}`);
    }],
    [`#/work-files/${file.id}`, async () => {
      await expect(h1).toHaveText(`Work file ${file.id}`);
      await expect(fact(page, 'Vessel')).toHaveText('MSKAL');
      await expect(fact(page, 'Booking no.')).toHaveText(file.bkNo);
      await expect(page.getByRole('checkbox')).toHaveCount(2);
    }],
    ['#/sign-in', async () => {
      await expect(h1).toHaveText('Sign in');
      await expect(main).toContainText('Signed in as clerk');
    }],
    ['#/no-such-screen', async () => {
      await expect(h1).toHaveText('Not found');
      await expect(main.getByRole('link', { name: 'Go to the job orders' })).toBeVisible();
    }],
  ];
  await signIn(page, kx, kx.tokens.clerk);
  for (const [hash, expectData] of screens) {
    await test.step(hash, async () => {
      await openScreen(page, hash);
      await expectData();
      expect(await page.title()).toBe(`${await h1.textContent()} · KX console`);
      await page.reload();
      await screenReady(page);
      expect(new URL(page.url()).hash).toBe(hash);
      await expectData();
    });
  }
});

test('an address opened before signing in leads to the sign-in and then to that screen', async ({ page, kx }) => {
  const order = await addJobOrder(kx, kx.tokens.clerk, { lines: 1, order: { VendorName: 'Ap Lei Chau Shipping' } });
  await page.goto(`/#/orders/${order.id}`);
  await expect(page).toHaveURL(/#\/sign-in$/);
  await screenReady(page);
  await page.getByLabel('Access token').fill(kx.tokens.clerk);
  await page.getByRole('button', { name: 'Sign in' }).click();
  await expect(page).toHaveURL(new RegExp(`#/orders/${order.id}$`));
  await screenReady(page);
  await expect(fact(page, 'Vendor name')).toHaveText('Ap Lei Chau Shipping');
});

test('back from an order returns to the search with its conditions and results', async ({ page, kx }) => {
  const order = await addJobOrder(kx, kx.tokens.clerk, { lines: 2, order: { VendorName: 'Chai Wan Logistics' } });
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, '#/orders');

  // Two conditions typed into the search form.
  const search = page.getByRole('search');
  await search.getByLabel('Field', { exact: true }).selectOption({ label: 'Booking no. (any line)' });
  await search.getByLabel('Value', { exact: true }).fill(order.bkNo);
  await search.getByRole('button', { name: 'Add condition' }).click();
  const second = search.locator('.condition').nth(1);
  await second.getByLabel('Field', { exact: true }).selectOption({ label: 'Vendor name' });
  await second.getByLabel('Comparison', { exact: true }).selectOption({ label: 'begins with' });
  await second.getByLabel('Value', { exact: true }).fill('Chai Wan');
  await search.getByRole('button', { name: 'Search' }).click();
  await expect(page).toHaveURL(new RegExp(`#/orders\\?BKNo=${order.bkNo}&VendorName\\.begins=Chai\\+Wan$`));
  await screenReady(page);
  const searchUrl = page.url();
  const results = page.locator('#results tbody tr');
  await expect(results).toHaveCount(1);

  await results.getByRole('link', { name: order.jbNo }).click();
  await expect(page).toHaveURL(new RegExp(`#/orders/${order.id}$`));
  await screenReady(page);
  await expect(page.getByRole('heading', { level: 1 })).toHaveText(`Job order ${order.jbNo}`);

  await page.goBack();
  await screenReady(page);
  expect(page.url()).toBe(searchUrl);
  await expect(search.locator('.condition')).toHaveCount(2);
  const first = search.locator('.condition').nth(0);
  await expect(first.getByLabel('Field', { exact: true })).toHaveValue('BKNo');
  await expect(first.getByLabel('Value', { exact: true })).toHaveValue(order.bkNo);
  await expect(second.getByLabel('Field', { exact: true })).toHaveValue('VendorName');
  await expect(second.getByLabel('Comparison', { exact: true })).toHaveValue('begins');
  await expect(second.getByLabel('Value', { exact: true })).toHaveValue('Chai Wan');
  await expect(results).toHaveCount(1);
  await expect(results.getByRole('link', { name: order.jbNo })).toBeVisible();

  // Back once more: the search as it was before the conditions; forward again: the order.
  await page.goBack();
  await screenReady(page);
  await expect(page).toHaveURL(/#\/orders$/);
  await expect(search.getByLabel('Value', { exact: true })).toHaveValue('');
  await page.goForward();
  await page.goForward();
  await screenReady(page);
  await expect(page).toHaveURL(new RegExp(`#/orders/${order.id}$`));
  await expect(page.getByRole('heading', { level: 1 })).toHaveText(`Job order ${order.jbNo}`);
});
