// The console with the keyboard alone: an order is made with Tab, Shift+Tab, typing, Space and
// Enter; a dialog opened from the keyboard is used and closed with it and gives the focus back.
import {
  addJobOrder, api, expect, formOrder, openScreen, screenReady, signIn, tabTo, test, xmlAttribute, xmlCount,
} from '../support/kx.mjs';

test('an order is made with the keyboard alone, and Enter saves it', async ({ page, kx }) => {
  const values = formOrder({ lines: 2, order: { 'Vendor name': 'Kwai Chung Depot Services' } });
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, '#/orders/new');
  await expect(page.getByRole('heading', { level: 1, name: 'New job order' })).toBeFocused();

  const order = page.getByRole('group', { name: 'Order', exact: true });
  const typeInto = async (scope, label, text, options) => {
    const input = scope.getByLabel(label, { exact: true });
    await tabTo(page, input, options);
    await page.keyboard.type(text);
    await expect(input).toHaveValue(text);
  };
  for (const label of ['Type category', 'Type code', 'Office']) await typeInto(order, label, values.order[label]);
  // The vendor's name first, then back to its code with Shift+Tab.
  await typeInto(order, 'Vendor name', values.order['Vendor name']);
  await typeInto(order, 'Vendor code', values.order['Vendor code'], { back: true });
  for (const label of ['Vendor contract no.', 'IT number', 'IT type', 'Bound', 'Transport mode', 'Quantity',
    'From place', 'From depot', 'To place', 'To depot', 'Cost remark']) {
    await typeInto(order, label, values.order[label]);
  }
  await typeInto(page, 'Your company code', values.company);
  await typeInto(page, 'Your office code', values.office);

  // "Add line" with Space, then with Enter: each new line takes the focus.
  const addLine = page.getByRole('button', { name: 'Add line', exact: true });
  for (const [i, key] of [[0, 'Space'], [1, 'Enter']]) {
    await tabTo(page, addLine);
    await page.keyboard.press(key);
    const box = page.getByRole('group', { name: `Line ${i + 1}`, exact: true });
    await expect(box.getByLabel('Prefix', { exact: true })).toBeFocused();
    await page.keyboard.type(values.lines[i].Prefix);
    for (const label of ['Container no.', 'Type', 'Empty/full', 'SOC', 'Booking no.', 'B/L no.', 'From', 'To', 'Service mode',
      'Reefer', 'Hazard', 'Cargo']) {
      await typeInto(box, label, values.lines[i][label]);
    }
  }
  await expect(page.getByRole('group', { name: /^Line \d+$/ })).toHaveCount(2);

  // Enter in a field saves the form.
  await page.keyboard.press('Enter');
  await expect(page).toHaveURL(/#\/orders\/\d+$/);
  await screenReady(page);
  await expect(page.getByRole('heading', { name: 'Container lines (2)' })).toBeVisible();
  const id = /#\/orders\/(\d+)$/.exec(page.url())[1];
  const xml = (await api(kx, kx.tokens.clerk, 'C_JBOrder', 'getElementByXML', { key: id })).result;
  expect(xmlAttribute(xml, 'JBOrder', 'VendorCode')).toBe(values.order['Vendor code']);
  expect(xmlAttribute(xml, 'JBOrder', 'VendorName')).toBe('Kwai Chung Depot Services');
  expect(xmlAttribute(xml, 'JBOrder', 'CostRemark')).toBe(values.order['Cost remark']);
  expect(xmlAttribute(xml, 'JBOrder', 'JBNo')).toMatch(/^KXHKG\d+$/);
  expect(xmlCount(xml, 'JBContainerDetail')).toBe(2);
  for (const line of values.lines) {
    expect(xml).toContain(`ContainerNo="${line['Container no.']}"`);
    expect(xml).toContain(`CargoDescription="${line.Cargo}"`);
  }
});

test('a dialog opened with the keyboard closes with Escape, adds nothing and gives the focus back', async ({ page, kx }) => {
  const order = await addJobOrder(kx, kx.tokens.clerk, { lines: 1 });
  const diaryCount = async () => (await api(kx, kx.tokens.clerk, 'C_JBOrder', 'QueryJBDiary', { JBNoId: order.id }))
    .result.match(/<JBDiary\s/g).length;
  await signIn(page, kx, kx.tokens.clerk);
  await openScreen(page, `#/orders/${order.id}`);
  const diary = page.locator('#diary > li');
  await expect(diary).toHaveCount(1);

  const addNote = page.getByRole('button', { name: 'Add note' });
  const dialog = page.getByRole('dialog', { name: 'Add a note to the diary' });
  await tabTo(page, addNote);
  await page.keyboard.press('Enter');
  await expect(dialog).toBeVisible();
  await expect(dialog.getByLabel('Note')).toBeFocused();
  await page.keyboard.type('Not to be kept');
  await page.keyboard.press('Escape');
  await expect(dialog).toHaveCount(0);
  await expect(addNote).toBeFocused();
  await expect(diary).toHaveCount(1);
  expect(await diaryCount()).toBe(1);

  // Opened again with Space, the note is typed and its button pressed with Enter.
  await page.keyboard.press('Space');
  await expect(dialog.getByLabel('Note')).toBeFocused();
  await expect(dialog.getByLabel('Note')).toHaveValue('');
  await page.keyboard.type('Gate pass collected at the terminal.');
  await tabTo(page, dialog.getByRole('button', { name: 'Add note' }));
  await page.keyboard.press('Enter');
  await expect(dialog).toHaveCount(0);
  await expect(diary).toHaveCount(2);
  await expect(diary.first()).toContainText('Gate pass collected at the terminal.');
  expect(await diaryCount()).toBe(2);
});
