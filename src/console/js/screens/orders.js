// #/orders: the job order search, over the order's own fields and the fields of its container lines.
import { renderSearch } from '../search.js';
import { stateName, dateShown } from '../labels.js';
import { h } from '../dom.js';
import { may } from '../api.js';

const FIELDS = [
  ['JBNo', 'Job order no.'], ['VendorCode', 'Vendor code'], ['VendorName', 'Vendor name'], ['JBState', 'State (0 new, 1 issued, 3 completed, 4 cancelled)'],
  ['OfficeCode', 'Office'], ['IssueDate', 'Issue date'], ['IssueUser', 'Issued by'], ['JBTypeCategory', 'Type category'],
  ['JBTypeCode', 'Type code'], ['BoundDirect', 'Bound'], ['TransportMode', 'Transport mode'], ['FromPlace', 'From place'],
  ['FromDepot', 'From depot'], ['ToPlace', 'To place'], ['ToDepot', 'To depot'],
  ['ContainerNo', 'Container no. (any line)'], ['ContainerPrefix', 'Container prefix (any line)'],
  ['ContainerType', 'Container type (any line)'], ['BKNo', 'Booking no. (any line)'], ['BLNo', 'B/L no. (any line)'],
  ['ERNo', 'ER no. (any line)'], ['Reefer', 'Reefer (any line)'], ['Hazard', 'Hazard (any line)'],
];

const COLUMNS = [
  ['JBNo', 'Job order no.'], ['Id', 'Id'], ['JBState', 'State', (r) => stateName(r.JBState)], ['VendorCode', 'Vendor'],
  ['VendorName', 'Vendor name'], ['OfficeCode', 'Office'], ['JBTypeCode', 'Type'],
  ['IssueDate', 'Issued', (r) => dateShown(r.IssueDate)],
  ['TotalActualAmount', 'Actual amount'], ['TotalInvoiceAmount', 'Invoice amount'], ['CostRemark', 'Cost remark'],
];

export function render(view, ctx) {
  return renderSearch(view, ctx, {
    title: 'Job orders', base: '/orders', cls: 'C_JBOrder', element: 'JBOrder', fields: FIELDS, columns: COLUMNS,
    noun: 'order', csvName: 'job-orders.csv', link: (r) => `#/orders/${encodeURIComponent(r.Id)}`,
    actions: may('C_JBOrder', 'add') ? h('a', { class: 'button', href: '#/orders/new' }, 'New order') : null,
  });
}
