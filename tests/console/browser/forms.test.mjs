// The order form: a save the service refuses leaves everything typed in place and marks the field
// the reason names; once it is fixed the same form saves. The edit form removes a line.
import {
  addJobOrder, api, expect, expectOrderForm, fillOrderForm, formOrder, openScreen, screenReady, signIn, test,
  xmlAttribute, xmlCount,
} from '../support/kx.mjs';

test('a save the schema refuses keeps the form as typed and marks the field; fixed, it saves', async ({ page, kx }) => {
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, '#/orders');
  await page.getByRole('main').getByRole('link', { name: 'New order' }).click();
  await screenReady(page);
  const values = formOrder({ lines: 2, order: { Quantity: '2x', 'Vendor name': 'Lantau Freight Services' } });
  await fillOrderForm(page, values);
  await page.getByRole('button', { name: 'Save order' }).click();

  const alert = page.getByRole('alert');
  await expect(alert).toContainText('The order was not saved');
  await expect(alert).toContainText("attribute 'Quantity'");
  const quantity = page.getByRole('group', { name: 'Order', exact: true }).getByLabel('Quantity', { exact: true });
  await expect(quantity).toHaveAttribute('aria-invalid', 'true');
  await expect(quantity).toBeFocused();
  // Its error message is the alert.
  const alertId = await alert.getAttribute('id');
  expect(alertId).toBeTruthy();
  await expect(quantity).toHaveAttribute('aria-errormessage', alertId);
  // Only the field the reason names is marked.
  await expect(page.locator('main [aria-invalid="true"]')).toHaveCount(1);
  await expect(page).toHaveURL(/#\/orders\/new$/);
  await expectOrderForm(page, values);
  await expect(page.getByLabel('Your company code', { exact: true })).toHaveValue('KX');
  await expect(page.getByLabel('Your office code', { exact: true })).toHaveValue('HKG');

  // Fixed, the same form saves what was typed.
  await quantity.fill('2');
  await page.getByRole('button', { name: 'Save order' }).click();
  await expect(page).toHaveURL(/#\/orders\/\d+$/);
  await screenReady(page);
  await expect(page.getByRole('heading', { level: 1 })).toHaveText(/^Job order KXHKG\d+$/);
  const id = /#\/orders\/(\d+)$/.exec(page.url())[1];
  const xml = (await api(kx, kx.tokens.clerk, 'C_JBOrder', 'getElementByXML', { key: id })).result;
  expect(xmlAttribute(xml, 'JBOrder', 'Quantity')).toBe('2');
  expect(xmlAttribute(xml, 'JBOrder', 'VendorName')).toBe('Lantau Freight Services');
  expect(xmlAttribute(xml, 'JBOrder', 'VendorCode')).toBe(values.order['Vendor code']);
  expect(xmlAttribute(xml, 'JBOrder', 'CostRemark')).toBe(values.order['Cost remark']);
  expect(xmlCount(xml, 'JBContainerDetail')).toBe(2);
  for (const line of values.lines) expect(xml).toContain(`ContainerNo="${line['Container no.']}"`);

  // The save replaced the form in the history: back leads to the search it was opened from.
  await page.goBack();
  await expect(page).toHaveURL(/#\/orders$/);
  await screenReady(page);
  await expect(page.getByRole('heading', { level: 1 })).toHaveText('Job orders');
});

test('the edit form shows the order with its lines; a removed line is gone once saved', async ({ page, kx }) => {
  const order = await addJobOrder(kx, kx.tokens.clerk, { lines: 3, order: { VendorName: 'Sai Kung Transport Co' } });
  const [kept1, removed, kept2] = order.containers.map((c) => c.no);
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, `#/orders/${order.id}/edit`);
  await expect(page.getByRole('heading', { level: 1 })).toHaveText(`Edit job order ${order.jbNo}`);
  await expect(page.getByLabel('Vendor name', { exact: true })).toHaveValue('Sai Kung Transport Co');
  // An order that exists keeps its number: no company or office codes to number it.
  await expect(page.getByLabel('Your company code', { exact: true })).toHaveCount(0);

  const lines = page.getByRole('group', { name: /^Line \d+$/ });
  await expect(lines).toHaveCount(3);
  const line = (n) => page.getByRole('group', { name: `Line ${n}`, exact: true });
  await expect(line(2).getByLabel('Container no.', { exact: true })).toHaveValue(removed);

  await line(2).getByRole('button', { name: 'Remove line 2' }).click();
  await expect(lines).toHaveCount(2);
  // The lines after it are numbered again.
  await expect(line(1).getByLabel('Container no.', { exact: true })).toHaveValue(kept1);
  await expect(line(2).getByLabel('Container no.', { exact: true })).toHaveValue(kept2);
  await expect(line(2).getByRole('button', { name: 'Remove line 2' })).toBeVisible();

  await page.getByRole('button', { name: 'Save order' }).click();
  await expect(page).toHaveURL(new RegExp(`#/orders/${order.id}$`));
  await screenReady(page);
  await expect(page.getByRole('heading', { name: 'Container lines (2)' })).toBeVisible();
  await expect(page.locator('#lines tbody tr')).toHaveCount(2);

  const xml = (await api(kx, kx.tokens.clerk, 'C_JBOrder', 'getElementByXML', { key: order.id })).result;
  expect(xmlCount(xml, 'JBContainerDetail')).toBe(2);
  expect(xml).toContain(`ContainerNo="${kept1}"`);
  expect(xml).toContain(`ContainerNo="${kept2}"`);
  expect(xml).not.toContain(`ContainerNo="${removed}"`);
  expect(xmlAttribute(xml, 'JBOrder', 'JBNo')).toBe(order.jbNo);
});
