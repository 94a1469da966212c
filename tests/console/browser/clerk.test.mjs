// A clerk's day at the console: signing in with the token, a new order with two container lines,
// finding it again by a container number, issuing it, a note, the diary, cancelling it; and a
// completed order, which can be neither cancelled nor stopped.
import {
  addJobOrder, api, expect, fact, fillOrderForm, formOrder, openScreen, screenReady, setOrderState, signIn, test,
  xmlAttribute, xmlCount,
} from '../support/kx.mjs';

/** The state and the number of diary entries of an order, as the service has them. */
async function stored(kx, id) {
  const order = await api(kx, kx.tokens.clerk, 'C_JBOrder', 'getElementByXML', { key: id });
  const diary = await api(kx, kx.tokens.clerk, 'C_JBOrder', 'QueryJBDiary', { JBNoId: id });
  return { state: xmlAttribute(order.result, 'JBOrder', 'JBState'), diary: xmlCount(diary.result, 'JBDiary'), xml: order.result };
}

test('a clerk signs in, adds an order with two lines, finds it, issues it, adds a note and cancels it', async ({ page, kx }) => {
  // Signing in: the token is typed on the sign-in screen.
  await openScreen(page, '#/sign-in');
  await expect(page.getByRole('heading', { level: 1, name: 'Sign in' })).toBeVisible();
  await page.getByLabel('Access token').fill(kx.tokens.clerk);
  await page.getByRole('button', { name: 'Sign in' }).click();
  await expect(page).toHaveURL(/#\/orders$/);
  await screenReady(page);
  await expect(page.getByRole('heading', { level: 1, name: 'Job orders' })).toBeVisible();
  await expect(page.getByRole('banner')).toContainText('Signed in as clerk');

  // A new order with two container lines.
  await page.getByRole('main').getByRole('link', { name: 'New order' }).click();
  await screenReady(page);
  await expect(page.getByRole('heading', { level: 1, name: 'New job order' })).toBeVisible();
  const values = formOrder({ lines: 2, order: { 'Vendor name': 'Tsuen Wan Container Haulage' } });
  await fillOrderForm(page, values);
  await page.getByRole('button', { name: 'Save order' }).click();
  await expect(page).toHaveURL(/#\/orders\/\d+$/);
  await screenReady(page);
  const id = /#\/orders\/(\d+)$/.exec(page.url())[1];
  const heading = page.getByRole('heading', { level: 1 });
  await expect(heading).toHaveText(/^Job order KXHKG\d+$/);
  const jbNo = (await heading.textContent()).replace('Job order ', '');
  await expect(fact(page, 'Vendor name')).toHaveText('Tsuen Wan Container Haulage');
  await expect(fact(page, 'Vendor code')).toHaveText(values.order['Vendor code']);
  await expect(fact(page, 'State')).toHaveText('New');
  await expect(page.getByRole('heading', { name: 'Container lines (2)' })).toBeVisible();
  const [first, second] = values.lines.map((l) => l['Container no.']);
  for (const no of [first, second]) await expect(page.locator('#lines').getByRole('cell', { name: no, exact: true })).toBeVisible();

  // Found by a container number through the search form...
  await page.getByRole('navigation', { name: 'Screens' }).getByRole('link', { name: 'Job orders' }).click();
  await screenReady(page);
  const search = page.getByRole('search');
  await search.getByLabel('Field', { exact: true }).selectOption({ label: 'Container no. (any line)' });
  await search.getByLabel('Value', { exact: true }).fill(second);
  await search.getByRole('button', { name: 'Search' }).click();
  await expect(page).toHaveURL(new RegExp(`#/orders\\?ContainerNo=${second}$`));
  await screenReady(page);
  // (Another test's order may have a line with the same random number: the count is not asserted.)
  await expect(page.getByRole('main').getByRole('status').first()).toHaveText(/^\d+ orders?, page 1 of 1$/);
  const row = page.locator('#results tbody tr').filter({ has: page.getByRole('link', { name: jbNo, exact: true }) });
  await expect(row).toHaveCount(1);
  await expect(row).toContainText('Tsuen Wan Container Haulage');

  // ...and by the address of that search.
  await openScreen(page, `#/orders?ContainerNo=${first}`);
  await expect(row).toHaveCount(1);
  const link = row.getByRole('link', { name: jbNo, exact: true });
  await expect(link).toHaveAttribute('href', `#/orders/${id}`);
  await link.click();
  await expect(page).toHaveURL(new RegExp(`#/orders/${id}$`));
  await screenReady(page);
  await expect(heading).toHaveText(`Job order ${jbNo}`);

  // Issued to the vendor.
  await page.getByRole('button', { name: 'Issue', exact: true }).click();
  const issue = page.getByRole('dialog', { name: 'Issue to the vendor' });
  await expect(issue.getByLabel('Issued by')).toHaveValue('clerk');
  await issue.getByLabel('Fax number').fill('+852 2412 7730');
  await issue.getByLabel('E-mail address').fill('ops@twhaulage.hk');
  await issue.getByRole('button', { name: 'Issue', exact: true }).click();
  await expect(issue).toHaveCount(0);
  await expect(fact(page, 'State')).toHaveText('Issued');
  await expect(fact(page, 'Issued by')).toHaveText('clerk');
  await expect(fact(page, 'Issue fax no.')).toHaveText('+852 2412 7730');
  await expect(fact(page, 'Issue e-mail')).toHaveText('ops@twhaulage.hk');

  // A note, shown in the diary above the issue.
  const note = 'Driver to call the consignee 30 minutes before arrival.';
  await page.getByRole('button', { name: 'Add note' }).click();
  const noteDialog = page.getByRole('dialog', { name: 'Add a note to the diary' });
  await noteDialog.getByLabel('Note').fill(note);
  await noteDialog.getByRole('button', { name: 'Add note' }).click();
  await expect(noteDialog).toHaveCount(0);
  const diary = page.locator('#diary > li');
  await expect(diary.first()).toContainText(note);
  await expect(diary.nth(0).locator('.badge')).toHaveText('MEMO');
  await expect(diary.nth(1).locator('.badge')).toHaveText('ACTION');
  await expect(diary.nth(1)).toContainText(`Issue JBOrder JBNoId = ${id}`);
  // The oldest entry is the one the add wrote.
  await expect(diary.last()).toContainText(`Add JBOrder JBNoId =${id}`);

  // Cancelled, after the confirmation.
  await page.getByRole('button', { name: 'Cancel order' }).click();
  const cancel = page.getByRole('dialog', { name: 'Cancel order' });
  await expect(cancel).toContainText(`Job order ${jbNo} is cancelled.`);
  await cancel.getByRole('button', { name: 'Cancel order' }).click();
  await expect(cancel).toHaveCount(0);
  await expect(fact(page, 'State')).toHaveText('Cancelled / stopped');
  await expect(diary.first()).toContainText(`Cancel JBOrder JBNoId = ${id}`);

  // What the service holds.
  const now = await stored(kx, id);
  expect(now.state).toBe('4');
  expect(xmlAttribute(now.xml, 'JBOrder', 'IssueFaxNo')).toBe('+852 2412 7730');
  expect(xmlCount(now.xml, 'JBContainerDetail')).toBe(2);
  expect(now.diary).toBe(4);
});

test('a completed order can be neither cancelled nor stopped: the dialog says why, the order stays as it was', async ({ page, kx }) => {
  const order = await addJobOrder(kx, kx.tokens.clerk, { lines: 2, order: { VendorName: 'Pearl River Logistics' } });
  await setOrderState(kx, kx.tokens.supervisor, order.id, 3);
  const before = await stored(kx, order.id);
  expect(before.state).toBe('3');

  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, `#/orders/${order.id}`);
  await expect(fact(page, 'State')).toHaveText('Completed');

  for (const [button, refusal] of [
    ['Cancel order', 'The Job Order has been completed, can not be canceled.'],
    ['Stop delivery', 'The Job Order has been completed, can not be stoped.'],
  ]) {
    await page.getByRole('button', { name: button }).click();
    const dialog = page.getByRole('dialog', { name: button });
    await dialog.getByRole('button', { name: button }).click();
    await expect(dialog.getByRole('alert')).toContainText(refusal);
    // The dialog stays open with the reason until it is closed.
    await expect(dialog).toBeVisible();
    await dialog.getByRole('button', { name: 'Close' }).click();
    await expect(dialog).toHaveCount(0);
    await expect(fact(page, 'State')).toHaveText('Completed');
  }

  const after = await stored(kx, order.id);
  expect(after.state).toBe('3');
  expect(after.diary).toBe(before.diary);
  await page.reload();
  await screenReady(page);
  await expect(fact(page, 'State')).toHaveText('Completed');
});
