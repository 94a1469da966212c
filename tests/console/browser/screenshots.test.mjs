// The screenshots of the console in docs/, taken from a service with realistic data. They are
// written only with KX_CONSOLE_SCREENSHOTS=1 (so that an ordinary run leaves docs/ alone):
//
//     KX_CONSOLE_SCREENSHOTS=1 tests/console/run.sh sqlite browser/screenshots.test.mjs
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';

import {
  addDoorAppointment, addJobOrder, addWorkFile, api, digits, expect, fillOrderForm, formOrder, openScreen, signIn,
  sourceDir, test,
} from '../support/kx.mjs';

const docs = path.join(sourceDir, 'docs');

test.skip(process.env.KX_CONSOLE_SCREENSHOTS !== '1', 'KX_CONSOLE_SCREENSHOTS=1 writes the screenshots in docs/');

/** A container number with its check digit (ISO 6346), as {prefix, no}: 'MSCU' and '123456' + digit. */
function container(prefix) {
  const serial = digits(6);
  const value = (c) => {
    if (/\d/.test(c)) return Number(c);
    let v = 10;
    for (let x = 'A'.charCodeAt(0); x < c.charCodeAt(0); x++) v += (v + 1) % 11 === 0 ? 2 : 1;
    return v;
  };
  const sum = [...`${prefix}${serial}`].reduce((s, c, i) => s + value(c) * 2 ** i, 0);
  return { prefix, no: `${serial}${(sum % 11) % 10}` };
}

const CARGO = ['Furniture parts, 38 pallets', 'Cotton garments, 412 cartons', 'LED panels, 96 cartons', 'Toys, 620 cartons'];

async function settle(page) {
  await page.waitForLoadState('networkidle');
  await expect(page.locator('#progress')).toBeEmpty();
}

test('the screenshots of the console in docs/', async ({ page, kx }) => {
  fs.mkdirSync(docs, { recursive: true });
  const booking = `HKGB${crypto.randomInt(1e8, 1e9)}`;
  const vendors = [
    ['KWH', 'Kowloon Haulage Ltd', 'Door delivery to Yantian, tail-lift needed'],
    ['TWCH', 'Tsuen Wan Container Haulage', 'Night delivery, gate closes 22:00'],
    ['PRL', 'Pearl River Logistics', 'Barge to Shekou, then truck'],
    ['LFS', 'Lantau Freight Services', 'Empty return to Kwai Chung CT9'],
    ['SKT', 'Sai Kung Transport Co', 'Two drivers, hazardous cargo class 9'],
    ['TMLP', 'Tuen Mun Lorry Pool', 'Weekend delivery'],
  ];
  const prefixes = ['MSCU', 'TGHU', 'CAIU', 'SEGU', 'TCLU', 'MEDU'];
  const orders = [];
  for (const [i, [code, vendor, remark]] of vendors.entries()) {
    orders.push(await addJobOrder(kx, kx.tokens.clerk, {
      containers: [container(prefixes[i]), container(prefixes[(i + 1) % 6])],
      order: {
        VendorCode: code, VendorName: vendor, CostRemark: remark, LastUpdateUser: 'clerk', ITNumber: `IT${digits(8)}`,
        VendorContractNo: `${code}-2026-${100 + i * 7}`,
      },
      line: (n) => ({ BKNo: booking, BLNo: `MEDU${booking.slice(4)}`, CargoDescription: CARGO[(i + n) % CARGO.length] }),
    }));
  }
  for (const o of [orders[0], orders[1], orders[3]]) {
    await api(kx, kx.tokens.clerk, 'C_JBOrder', 'Issue',
      { JBNoId: o.id, strIssueUser: 'clerk', IssueFaxNo: '+852 2412 7730', IssueEMail: 'ops@kwh.com.hk' });
  }
  await api(kx, kx.tokens.clerk, 'C_JBOrder', 'Cancel', { JBNoId: orders[4].id, strUserCode: 'clerk' });
  const shown = orders[0];
  await api(kx, kx.tokens.clerk, 'C_JBOrder', 'AddUserDiary', {
    JBNoId: shown.id, strUserCode: 'clerk', strDiaryText: 'Consignee asks for a call 30 minutes before arrival.',
  });
  await addDoorAppointment(kx, kx.tokens.clerk, shown, {
    CustomerName: 'Wing On Furniture', CustomerContactor: 'Mr Chan Tai Man', AppointmentDate: '2026-12-16',
    AppointmentTime: '930', AppointmentRemarks: 'Loading bay 3', ContainerRemarks: 'Tail-lift truck',
  });

  await signIn(page, kx, kx.tokens.clerk);
  await page.setViewportSize({ width: 1280, height: 800 });

  await openScreen(page, `#/orders?BKNo=${booking}`);
  await expect(page.locator('#results tbody tr')).toHaveCount(6);
  await settle(page);
  await page.screenshot({ path: path.join(docs, 'console-orders.png') });

  await openScreen(page, `#/orders/${shown.id}`);
  await expect(page.locator('#lines tbody tr')).toHaveCount(2);
  await expect(page.locator('#diary > li')).toHaveCount(3);
  await expect(page.locator('#doors tbody tr')).toHaveCount(1);
  await settle(page);
  await page.screenshot({ path: path.join(docs, 'console-order.png'), fullPage: true });

  await openScreen(page, '#/orders/new');
  const values = formOrder({ lines: 2, order: { Quantity: '2 boxes', 'Vendor code': 'KWH' } });
  values.lines.forEach((line, i) => {
    const c = container(['MSCU', 'TGHU'][i]);
    Object.assign(line, { Prefix: c.prefix, 'Container no.': c.no });
  });
  await fillOrderForm(page, values);
  await page.getByRole('button', { name: 'Save order' }).click();
  await expect(page.getByLabel('Quantity', { exact: true })).toHaveAttribute('aria-invalid', 'true');
  await settle(page);
  await page.screenshot({ path: path.join(docs, 'console-order-form.png'), fullPage: true });

  const fileBooking = `HKGB${crypto.randomInt(1e8, 1e9)}`;
  const file = await addWorkFile(kx, kx.tokens.clerk, {
    containers: ['MSCU', 'TGHU', 'CAIU', 'SEGU'].map(container), handled: 2,
    file: {
      VesselCode: 'MSCANA', VoyageNo: '251E', VoyageLeg: 'E', Office: 'HKG', SourceCategory: 'BK', LastUpdateUser: 'clerk',
      BKNo: fileBooking, BLNo: `MEDU${fileBooking.slice(4)}`, ERNo: `ER${fileBooking.slice(4)}`,
    },
    line: (n) => ({ CargoDescription: CARGO[n], ContainerType: n % 2 ? '20GP' : '40HC', FromPlace: 'HKHKG', ToPlace: 'CNYTN',
      BLNo: `MEDU${fileBooking.slice(4)}`, ERNo: `ER${fileBooking.slice(4)}`,
      POL: 'HKHKG', POD: 'USLAX', PlaceAcceptance: 'HKHKG', PlaceDelivery: 'USLAX' }),
  });
  await openScreen(page, `#/work-files/${file.id}`);
  await expect(page.getByRole('checkbox')).toHaveCount(4);
  await settle(page);
  await page.screenshot({ path: path.join(docs, 'console-work-file.png'), fullPage: true });

  await page.setViewportSize({ width: 390, height: 844 });
  await openScreen(page, `#/orders/${shown.id}`);
  await settle(page);
  await page.screenshot({ path: path.join(docs, 'console-phone.png') });

  for (const name of ['console-orders', 'console-order', 'console-order-form', 'console-work-file', 'console-phone']) {
    const png = fs.readFileSync(path.join(docs, `${name}.png`));
    expect(png.subarray(1, 4).toString(), name).toBe('PNG');
    // The width in the PNG header: 1280, or 390 on the phone.
    expect(png.readUInt32BE(16), name).toBe(name === 'console-phone' ? 390 : 1280);
  }
});
