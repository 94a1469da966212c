// What the console must not do: offer a reader what its token may not call (and the service refuses
// such a call anyway), or run what the database holds: markup in a record is shown as text.
import {
  addDoorAppointment, addJobOrder, addTypeProfile, addWorkFile, api, expect, fact, openScreen, signIn, test, windowDialogs, xmlAttribute,
} from '../support/kx.mjs';

test('a reader sees no button that changes an order, and a call made anyway is refused with 403', async ({ page, kx }) => {
  const order = await addJobOrder(kx, kx.tokens.clerk, { lines: 2 });
  await addDoorAppointment(kx, kx.tokens.clerk, order);
  await signIn(page, kx, kx.tokens.reader);

  await openScreen(page, `#/orders/${order.id}`);
  await expect(page.getByRole('heading', { level: 1 })).toHaveText(`Job order ${order.jbNo}`);
  await expect(page.getByRole('banner')).toContainText('Signed in as reader');
  // What the reader may read is shown...
  await expect(page.locator('#lines tbody tr')).toHaveCount(2);
  await expect(page.locator('#diary > li')).toHaveCount(1);
  await expect(page.locator('#doors tbody tr')).toHaveCount(1);
  // ...and nothing that changes the order is offered.
  await expect(page.getByRole('link', { name: 'Edit', exact: true })).toHaveCount(0);
  for (const name of ['Issue', 'Cancel order', 'Stop delivery', 'Add note', 'Remove order', 'Book appointment', 'Move', 'Remove']) {
    await expect(page.getByRole('button', { name, exact: true }), `button ${name}`).toHaveCount(0);
  }

  // The search offers no new order, neither on the screen nor in the navigation.
  await openScreen(page, `#/orders?BKNo=${order.bkNo}`);
  await expect(page.locator('#results tbody tr')).toHaveCount(1);
  await expect.soft(page.getByRole('link', { name: 'New order' }), 'a "New order" link').toHaveCount(0);

  // The type profiles and work files offer no change either.
  const profile = await addTypeProfile(kx, kx.tokens.clerk, { name: 'Cross-border trucking' });
  await openScreen(page, `#/type-profiles?Code=${profile.code}`);
  await expect(page.locator('#results tbody tr')).toHaveCount(1);
  for (const name of ['Add type profile', `Change ${profile.code}`, `Remove ${profile.code}`]) {
    await expect(page.getByRole('button', { name, exact: true }), `button ${name}`).toHaveCount(0);
  }
  const file = await addWorkFile(kx, kx.tokens.clerk, { lines: 2 });
  await openScreen(page, `#/work-files/${file.id}`);
  await expect(page.getByRole('checkbox')).toHaveCount(2);
  for (const box of await page.getByRole('checkbox').all()) await expect(box).toBeDisabled();
  for (const name of ['Save handled flags', 'Finish']) {
    await expect(page.getByRole('button', { name, exact: true }), `button ${name}`).toHaveCount(0);
  }

  // A call the page makes anyway, with the reader's token, is refused by the service.
  const answer = await page.evaluate(async ({ id }) => {
    const response = await fetch('/v1/C_JBOrder/Cancel', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json', Authorization: `Bearer ${sessionStorage.getItem('kx.token')}` },
      body: JSON.stringify({ args: { JBNoId: id, strUserCode: 'reader' } }),
    });
    return { status: response.status, body: await response.json() };
  }, { id: order.id });
  expect(answer.status).toBe(403);
  expect(answer.body.error.description).toBe('client reader may not call C_JBOrder.Cancel');
  const xml = (await api(kx, kx.tokens.clerk, 'C_JBOrder', 'getElementByXML', { key: order.id })).result;
  expect(xmlAttribute(xml, 'JBOrder', 'JBState')).toBe('0');
});

test('markup in a record is shown as text on the search and the order, and nothing of it runs', async ({ page, kx }) => {
  const vendorName = '<img src=x onerror=alert(1)>';
  const costRemark = '"><script>alert(2)</script>';
  const note = '<b onmouseover="alert(3)">urgent</b><svg onload=alert(4)>';
  const cargo = '<iframe src="javascript:alert(5)"></iframe>';
  const customer = '<a href="javascript:alert(6)">Wing On</a>';
  const order = await addJobOrder(kx, kx.tokens.clerk, {
    lines: 1, order: { VendorName: vendorName, CostRemark: costRemark }, line: { CargoDescription: cargo },
  });
  await api(kx, kx.tokens.clerk, 'C_JBOrder', 'AddUserDiary', { JBNoId: order.id, strUserCode: 'clerk', strDiaryText: note });
  await addDoorAppointment(kx, kx.tokens.clerk, order, { CustomerName: customer });

  const dialogs = windowDialogs(page);
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(String(e)));
  await signIn(page, kx, kx.tokens.clerk);
  // Nothing but what the console itself builds: no image, script, frame, SVG, bold text or link
  // to a script, and no handler attribute.
  const foreign = page.locator('main').locator(
    'img, script, iframe, svg, b, [onerror], [onload], [onmouseover], a[href^="javascript:"]');

  await openScreen(page, `#/orders?VendorCode=${order.vendorCode}`);
  const row = page.locator('#results tbody tr');
  await expect(row).toHaveCount(1);
  await expect(row.getByRole('cell', { name: vendorName, exact: true })).toBeVisible();
  await expect(row.getByRole('cell', { name: costRemark, exact: true })).toBeVisible();
  await expect(foreign).toHaveCount(0);
  expect(await page.title()).toBe('Job orders · KX console');

  await row.getByRole('link', { name: order.jbNo }).click();
  await expect(page.getByRole('heading', { level: 1 })).toHaveText(`Job order ${order.jbNo}`);
  await expect(fact(page, 'Vendor name')).toHaveText(vendorName);
  await expect(fact(page, 'Cost remark')).toHaveText(costRemark);
  await expect(page.locator('#diary > li').first()).toContainText(note);
  await expect(page.locator('#lines').getByRole('cell', { name: cargo, exact: true })).toBeVisible();
  await expect(page.locator('#doors').getByRole('cell', { name: customer, exact: true })).toBeVisible();
  await expect(foreign).toHaveCount(0);
  expect(await page.title()).toBe(`Job order ${order.jbNo} · KX console`);

  // The edit form holds the text as the inputs' values.
  await openScreen(page, `#/orders/${order.id}/edit`);
  await expect(page.getByLabel('Vendor name', { exact: true })).toHaveValue(vendorName);
  await expect(page.getByLabel('Cost remark', { exact: true })).toHaveValue(costRemark);
  await expect(page.getByLabel('Cargo', { exact: true })).toHaveValue(cargo);
  await expect(foreign).toHaveCount(0);

  await page.waitForLoadState('networkidle');
  expect(dialogs).toEqual([]);
  expect(pageErrors).toEqual([]);
});
