// The clerk's other screens: type profiles added, changed and removed; a work file that cannot be
// finished until its lines are handled; an order's door appointments booked, moved and removed.
import fs from 'node:fs';

import {
  addJobOrder, addWorkFile, api, expect, openScreen, signIn, test, uniqueCode, xmlAttribute, xmlCount,
} from '../support/kx.mjs';

test('a type profile is added, changed and removed on its screen', async ({ page, kx }) => {
  const code = uniqueCode('TP', 20);
  const stored = async () => api(kx, kx.tokens.clerk, 'C_JBTypeProfile', 'getElementByXML', [code], { allowError: true });
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, `#/type-profiles?Code=${code}`);
  const main = page.getByRole('main');
  await expect(main.getByText('No type profiles match.')).toBeVisible();

  await page.getByRole('button', { name: 'Add type profile' }).click();
  const add = page.getByRole('dialog', { name: 'Add a type profile' });
  await add.getByLabel('Code').fill(code);
  await add.getByLabel('Name').fill('Kwun Tong warehouse shuttle');
  await add.getByLabel('Category').fill('WH');
  await add.getByRole('button', { name: 'Add profile' }).click();
  await expect(add).toHaveCount(0);
  const row = page.locator('#results tbody tr');
  await expect(row).toHaveCount(1);
  await expect(row).toContainText('Kwun Tong warehouse shuttle');
  let answer = await stored();
  expect(xmlAttribute(answer.result, 'JBTypeProfile', 'JBTypeName')).toBe('Kwun Tong warehouse shuttle');
  expect(xmlAttribute(answer.result, 'JBTypeProfile', 'JBTypeCategory')).toBe('WH');

  // The same code once more is refused: the dialog says so and keeps what was typed.
  await page.getByRole('button', { name: 'Add type profile' }).click();
  await add.getByLabel('Code').fill(code);
  await add.getByLabel('Name').fill('A second one');
  await add.getByRole('button', { name: 'Add profile' }).click();
  await expect(add.getByRole('alert')).toBeVisible();
  await expect(add.getByLabel('Name')).toHaveValue('A second one');
  await add.getByRole('button', { name: 'Close' }).click();
  await expect(add).toHaveCount(0);
  await expect(row).toContainText('Kwun Tong warehouse shuttle');

  await page.getByRole('button', { name: `Change ${code}` }).click();
  const change = page.getByRole('dialog', { name: `Change type profile ${code}` });
  await expect(change.getByLabel('Code')).toHaveValue(code);
  await expect(change.getByLabel('Code')).not.toBeEditable();
  await change.getByLabel('Name').fill('Kwun Tong shuttle, night runs');
  await change.getByRole('button', { name: 'Save profile' }).click();
  await expect(change).toHaveCount(0);
  await expect(row).toContainText('Kwun Tong shuttle, night runs');
  answer = await stored();
  expect(xmlAttribute(answer.result, 'JBTypeProfile', 'JBTypeName')).toBe('Kwun Tong shuttle, night runs');
  expect(xmlAttribute(answer.result, 'JBTypeProfile', 'JBTypeCategory')).toBe('WH');

  // The list as CSV: the profile as shown, and no column for the buttons.
  const [download] = await Promise.all([
    page.waitForEvent('download'),
    page.getByRole('button', { name: 'Download CSV' }).click(),
  ]);
  expect(download.suggestedFilename()).toBe('type-profiles.csv');
  const csv = fs.readFileSync(await download.path(), 'utf8').split('\r\n');
  expect(csv).toHaveLength(3);
  expect(csv[1]).toMatch(new RegExp(`^${code},"Kwun Tong shuttle, night runs",WH`));
  expect.soft(csv.slice(0, 2), 'the CSV of the type profiles')
    .toEqual(['Code,Name,Category', `${code},"Kwun Tong shuttle, night runs",WH`]);

  await page.getByRole('button', { name: `Remove ${code}` }).click();
  const remove = page.getByRole('dialog', { name: 'Remove the type profile' });
  await expect(remove).toContainText(`Type profile ${code} (Kwun Tong shuttle, night runs) is removed.`);
  await remove.getByRole('button', { name: 'Remove profile' }).click();
  await expect(remove).toHaveCount(0);
  await expect(main.getByText('No type profiles match.')).toBeVisible();
  answer = await stored();
  expect(answer.status).toBe(422);
});

test('a work file is finished only once its lines are handled', async ({ page, kx }) => {
  const file = await addWorkFile(kx, kx.tokens.clerk, { lines: 2, handled: 0 });
  const stored = async () => (await api(kx, kx.tokens.clerk, 'C_JBContainerRetrievingTempFile', 'getElementByXML', [file.id])).result;
  const [one, two] = file.containers.map((c) => page.getByRole('checkbox', { name: `Line ${c.prefix}${c.no} handled` }));
  const main = page.getByRole('main');
  const state = (name) => main.getByText(name, { exact: true });
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, `#/work-files/${file.id}`);
  await expect(state('New')).toBeVisible();
  await expect(one).not.toBeChecked();
  await expect(two).not.toBeChecked();

  const finish = page.getByRole('button', { name: 'Finish' });
  const save = page.getByRole('button', { name: 'Save handled flags' });
  await finish.click();
  await expect(page.getByRole('alert')).toContainText('Some Containers Detail have not been handled.');
  await expect(page.getByRole('alert')).toBeFocused();
  expect(xmlAttribute(await stored(), 'JBContainerRetrievingTempFile', 'ProcessState')).toBe('0');

  // One line handled: the file is in progress, and still cannot be finished.
  await one.check();
  await save.click();
  await expect(state('In progress')).toBeVisible();
  await expect(one).toBeChecked();
  await expect(two).not.toBeChecked();
  await finish.click();
  await expect(page.getByRole('alert')).toContainText('Some Containers Detail have not been handled.');

  // Both handled: once saved the file is finished by the lines, and Finish is accepted.
  await two.check();
  await save.click();
  await expect(state('Finished')).toBeVisible();
  await expect(two).toBeChecked();
  const [finished] = await Promise.all([
    page.waitForResponse((r) => r.url().endsWith('/v1/C_JBContainerRetrievingTempFile/Finish')),
    finish.click(),
  ]);
  expect(finished.status()).toBe(200);
  await expect(state('Finished')).toBeVisible();
  await expect(page.getByRole('alert')).toHaveCount(0);
  const xml = await stored();
  expect(xmlAttribute(xml, 'JBContainerRetrievingTempFile', 'ProcessState')).toBe('2');
  expect((xml.match(/HandledFlag="1"/g) || []).length).toBe(2);
  await page.reload();
  await expect(state('Finished')).toBeVisible();
  await expect(one).toBeChecked();
  await expect(two).toBeChecked();
});

test("an order's door appointment is booked, moved and removed", async ({ page, kx }) => {
  const order = await addJobOrder(kx, kx.tokens.clerk, { lines: 1 });
  const stored = async () => (await api(kx, kx.tokens.clerk, 'C_JBOrder', 'GetDoorAppointments', { JBNoId: order.id })).result;
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, `#/orders/${order.id}`);
  const main = page.getByRole('main');
  await expect(main.getByText('No door appointments.')).toBeVisible();

  await page.getByRole('button', { name: 'Book appointment' }).click();
  const book = page.getByRole('dialog', { name: 'Book a door appointment' });
  const values = {
    Date: '2026-12-16', Time: '09:30', Customer: 'Wing On Furniture', Contact: 'Mr Chan Tai Man', Phone: '+852 2612 4455',
    Address: '12 Kwai Fung Crescent, Kwai Chung', 'Booking no.': order.bkNo, 'B/L no.': `BL${order.bkNo.slice(2)}`,
    'Container remarks': 'Tail-lift truck', Remarks: 'Loading bay 3',
  };
  for (const [label, value] of Object.entries(values)) await book.getByLabel(label, { exact: true }).fill(value);
  await book.getByRole('button', { name: 'Book appointment' }).click();
  await expect(book).toHaveCount(0);
  const row = page.locator('#doors tbody tr');
  await expect(row).toHaveCount(1);
  for (const text of ['2026-12-16', '09:30', 'Wing On Furniture', 'Mr Chan Tai Man', 'Loading bay 3']) {
    await expect(row.getByRole('cell', { name: text, exact: true })).toBeVisible();
  }
  let xml = await stored();
  expect(xmlCount(xml, 'JBDoorAppointment')).toBe(1);
  expect(xmlAttribute(xml, 'JBDoorAppointment', 'AppointmentTime')).toBe('930');
  expect(xmlAttribute(xml, 'JBDoorAppointment', 'CustomerName')).toBe('Wing On Furniture');

  // Moved to the afternoon: the dialog holds the appointment as booked.
  await row.getByRole('button', { name: /^Move appointment \d+$/ }).click();
  const move = page.getByRole('dialog', { name: 'Move the door appointment' });
  await expect(move.getByLabel('Time', { exact: true })).toHaveValue('09:30');
  await expect(move.getByLabel('Customer', { exact: true })).toHaveValue('Wing On Furniture');
  await move.getByLabel('Time', { exact: true }).fill('14:15');
  await move.getByRole('button', { name: 'Save appointment' }).click();
  await expect(move).toHaveCount(0);
  await expect(row).toHaveCount(1);
  await expect(row.getByRole('cell', { name: '14:15', exact: true })).toBeVisible();
  xml = await stored();
  expect(xmlCount(xml, 'JBDoorAppointment')).toBe(1);
  expect(xmlAttribute(xml, 'JBDoorAppointment', 'AppointmentTime')).toBe('1415');
  expect(xmlAttribute(xml, 'JBDoorAppointment', 'AppointmentDate')).toBe('2026-12-16');

  await row.getByRole('button', { name: /^Remove appointment \d+$/ }).click();
  const remove = page.getByRole('dialog', { name: 'Remove the door appointment' });
  await expect(remove).toContainText('The appointment with Wing On Furniture on 2026-12-16 is removed.');
  await remove.getByRole('button', { name: 'Remove appointment' }).click();
  await expect(remove).toHaveCount(0);
  await expect(main.getByText('No door appointments.')).toBeVisible();
  expect(xmlCount(await stored(), 'JBDoorAppointment')).toBe(0);
});
