// A search with more orders than a page: the count and the pages, paging through the address, and
// the whole result as one CSV file.
import fs from 'node:fs';

import { addJobOrder, expect, openScreen, screenReady, signIn, test, uniqueCode } from '../support/kx.mjs';

test('25 orders of one vendor: three pages of 10, paged through, and all 25 in the CSV', async ({ page, kx }) => {
  const vendorCode = uniqueCode('V', 8);
  const ids = [];
  for (let i = 0; i < 25; i++) {
    const order = await addJobOrder(kx, kx.tokens.clerk, {
      lines: 0, order: { VendorCode: vendorCode, VendorName: 'Tuen Mun Lorry Pool', CostRemark: `run ${i + 1}` },
    });
    ids.push(order.id);
  }
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, `#/orders?VendorCode=${vendorCode}&size=10`);
  const summary = page.getByRole('main').getByRole('status').first();
  const rows = page.locator('#results tbody tr');
  const shownIds = async () => page.locator('#results tbody tr td:nth-child(2)').allTextContents();
  await expect(summary).toHaveText('25 orders, page 1 of 3');
  await expect(rows).toHaveCount(10);
  await expect(page.getByRole('button', { name: 'Previous page' })).toBeDisabled();
  const seen = new Set(await shownIds());

  await page.getByRole('button', { name: 'Next page' }).click();
  await expect(page).toHaveURL(new RegExp(`#/orders\\?VendorCode=${vendorCode}&size=10&page=2$`));
  await screenReady(page);
  await expect(summary).toHaveText('25 orders, page 2 of 3');
  await expect(rows).toHaveCount(10);
  for (const id of await shownIds()) seen.add(id);

  await page.getByRole('button', { name: 'Next page' }).click();
  await expect(page).toHaveURL(/&page=3$/);
  await screenReady(page);
  await expect(summary).toHaveText('25 orders, page 3 of 3');
  await expect(rows).toHaveCount(5);
  await expect(page.getByRole('button', { name: 'Next page' })).toBeDisabled();
  for (const id of await shownIds()) seen.add(id);
  // The three pages together hold each order once.
  expect([...seen].sort()).toEqual([...ids].sort());

  // Back to page 2 through the pager's page field.
  await page.getByRole('form', { name: 'Pages' }).getByLabel('Page', { exact: true }).fill('2');
  await page.getByRole('button', { name: 'Go', exact: true }).click();
  await expect(page).toHaveURL(/&page=2$/);
  await screenReady(page);
  await expect(summary).toHaveText('25 orders, page 2 of 3');

  // The CSV holds the whole result, not the page shown.
  const [download] = await Promise.all([
    page.waitForEvent('download'),
    page.getByRole('button', { name: 'Download CSV' }).click(),
  ]);
  expect(download.suggestedFilename()).toBe('job-orders.csv');
  const text = fs.readFileSync(await download.path(), 'utf8');
  const lines = text.split('\r\n');
  expect(lines.pop()).toBe('');
  expect(lines).toHaveLength(26);
  expect(lines[0]).toBe('Job order no.,Id,State,Vendor,Vendor name,Office,Type,Issued,Actual amount,Invoice amount,Cost remark');
  const csvIds = lines.slice(1).map((line) => line.split(',')[1]);
  expect(csvIds.sort()).toEqual([...ids].sort());
  // Each line holds what the table shows for that order (the state by its name, no date as none).
  const shown = await rows.evaluateAll((trs) => trs.map((tr) => Array.from(tr.cells, (td) => td.textContent).join(',')));
  expect(shown).toHaveLength(10);
  for (const row of shown) expect(row).toContain(`,New,${vendorCode},Tuen Mun Lorry Pool,HKG,TRUCK,,`);
  const csvById = new Map(lines.slice(1).map((line) => [line.split(',')[1], line]));
  expect.soft(shown.map((row) => csvById.get(row.split(',')[1])), 'the CSV lines of the orders on the page').toEqual(shown);
  await expect(page.getByRole('main')).toContainText('25 rows saved as job-orders.csv.');
});
