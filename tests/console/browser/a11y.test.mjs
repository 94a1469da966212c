// Every screen of the console, with its data shown, checked with axe-core against WCAG 2.1 A and
// AA: no serious or critical violation.
import {
  accessibilityViolations, addDoorAppointment, addJobOrder, addTypeProfile, addWorkFile, api, expect, openScreen,
  signIn, test,
} from '../support/kx.mjs';

/** Expects no serious or critical violation on `page` (or within `include`). */
async function expectAccessible(page, what, options) {
  const found = (await accessibilityViolations(page, options)).filter((v) => ['serious', 'critical'].includes(v.impact));
  expect(found, `${what}: ${JSON.stringify(found, null, 1)}`).toEqual([]);
}

/** An order with two lines, two diary entries and an appointment. */
async function fullOrder(kx) {
  const order = await addJobOrder(kx, kx.tokens.clerk, { lines: 2, order: { VendorName: 'Tai Po Cold Chain Ltd' } });
  await api(kx, kx.tokens.clerk, 'C_JBOrder', 'AddUserDiary',
    { JBNoId: order.id, strUserCode: 'clerk', strDiaryText: 'Reefer plugs booked at the depot.' });
  await addDoorAppointment(kx, kx.tokens.clerk, order);
  return order;
}

test('the sign-in screen, also with a refused token', async ({ page }) => {
  await openScreen(page, '#/sign-in');
  await expect(page.getByLabel('Access token')).toBeVisible();
  await expectAccessible(page, 'sign-in');
  await page.getByLabel('Access token').fill('not-a-token');
  await page.getByRole('button', { name: 'Sign in' }).click();
  await expect(page.getByRole('alert')).toContainText('The token was not accepted');
  await expectAccessible(page, 'sign-in refused');
});

test('the job order search with results, and an order with lines, diary and appointments', async ({ page, kx }) => {
  const order = await fullOrder(kx);
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, `#/orders?BKNo=${order.bkNo}`);
  await expect(page.locator('#results tbody tr')).toHaveCount(1);
  await expectAccessible(page, 'order search');

  await openScreen(page, `#/orders/${order.id}`);
  await expect(page.locator('#lines tbody tr')).toHaveCount(2);
  await expect(page.locator('#diary > li')).toHaveCount(2);
  await expect(page.locator('#doors tbody tr')).toHaveCount(1);
  await expectAccessible(page, 'order');
});

test('the dialogs of an order, open', async ({ page, kx }) => {
  const order = await fullOrder(kx);
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, `#/orders/${order.id}`);
  for (const [button, title] of [['Issue', 'Issue to the vendor'], ['Add note', 'Add a note to the diary'],
    ['Book appointment', 'Book a door appointment'], ['Cancel order', 'Cancel order']]) {
    await page.getByRole('button', { name: button, exact: true }).click();
    const dialog = page.getByRole('dialog', { name: title });
    await expect(dialog).toBeVisible();
    await expectAccessible(page, `dialog ${title}`);
    await dialog.getByRole('button', { name: 'Close' }).click();
    await expect(dialog).toHaveCount(0);
  }
});

test('the new order form, after a refused save, and the edit form', async ({ page, kx }) => {
  const order = await fullOrder(kx);
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, '#/orders/new');
  await page.getByRole('button', { name: 'Add line' }).click();
  await expect(page.getByRole('group', { name: 'Line 1' })).toBeVisible();
  await expectAccessible(page, 'new order');
  await page.getByLabel('Quantity', { exact: true }).fill('many');
  await page.getByRole('button', { name: 'Save order' }).click();
  await expect(page.getByLabel('Quantity', { exact: true })).toHaveAttribute('aria-invalid', 'true');
  await expectAccessible(page, 'refused save');

  await openScreen(page, `#/orders/${order.id}/edit`);
  await expect(page.getByRole('group', { name: /^Line \d+$/ })).toHaveCount(2);
  await expectAccessible(page, 'edit order');
});

test('type profiles, work files and a work file', async ({ page, kx }) => {
  const profile = await addTypeProfile(kx, kx.tokens.clerk, { name: 'Cross-border trucking' });
  const file = await addWorkFile(kx, kx.tokens.clerk, { lines: 3, handled: 1 });
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, `#/type-profiles?Code=${profile.code}`);
  await expect(page.locator('#results tbody tr')).toHaveCount(1);
  await expectAccessible(page, 'type profiles');

  await openScreen(page, `#/work-files?BKNo=${file.bkNo}`);
  await expect(page.locator('#results tbody tr')).toHaveCount(1);
  await expectAccessible(page, 'work files');

  await openScreen(page, `#/work-files/${file.id}`);
  await expect(page.getByRole('checkbox')).toHaveCount(3);
  await expectAccessible(page, 'work file');
});
