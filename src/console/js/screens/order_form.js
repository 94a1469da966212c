// #/orders/new and #/orders/{Id}/edit: the order and its container lines in one form. A refused
// save leaves everything typed in place, shows the component's reason next to the form and marks
// the fields the reason names.
import { call, may, parseXml, attributes, records, userCode } from '../api.js';
import { h, field, errorBox } from '../dom.js';
import { LINE_FIELDS, orderLabel, dateShown } from '../labels.js';

// The attributes a save takes, with their widths; dates as date inputs.
const ORDER_INPUTS = [
  ['JBNo', 20, 'Left empty, the number is generated'], ['JBCreateDate', 0, null, 'date'],
  ['JBTypeCategory', 2], ['JBTypeCode', 20], ['OfficeCode', 10], ['VendorCode', 8], ['VendorName', 50],
  ['VendorContractNo', 20], ['ITNumber', 10], ['ITType', 2], ['BoundDirect', 1, 'I inbound, O outbound'],
  ['TransportMode', 5], ['Quantity', 12, null, 'number'], ['FromPlace', 5], ['FromDepot', 5],
  ['EstimatedStartDate', 0, null, 'date'], ['ToPlace', 5], ['ToDepot', 5], ['EstimatedEndDate', 0, null, 'date'],
  ['CostRemark', 256],
];
const today = () => new Date().toISOString().slice(0, 10);

function input(name, width, hint, kind, value) {
  const props = { name, value: kind === 'date' ? dateShown(value) : value || '', autocomplete: 'off' };
  if (kind === 'date') props.type = 'date';
  else if (kind === 'number') props.inputmode = 'numeric';
  if (width && kind !== 'number') props.maxlength = width;
  return field(orderLabel(name), props, hint);
}

function lineBox(values, onRemove) {
  const box = h('fieldset', { class: 'line' });
  const legend = h('legend');
  const remove = h('button', { type: 'button', class: 'link', onclick: () => { box.remove(); onRemove(); } }, 'Remove line');
  box.append(legend, h('div', { class: 'grid' }, LINE_FIELDS.map(([name, label, width]) =>
    field(label, { name, value: values[name] || '', maxlength: width, autocomplete: 'off' }).row)), remove);
  box.kept = values;  // what the stored line holds beyond the inputs
  return box;
}

// Marks the inputs a refusal names ("attribute 'Quantity'", a duplicate number) and says so.
function markFields(form, description, box) {
  form.querySelectorAll('[aria-invalid]').forEach((el) => { el.removeAttribute('aria-invalid'); el.removeAttribute('aria-errormessage'); });
  const names = new Set();
  for (const m of description.matchAll(/attribute '([A-Za-z]+)'/g)) names.add(m[1]);
  if (/job order no/i.test(description)) names.add('JBNo');
  const marked = [];
  for (const name of names) {
    for (const el of form.querySelectorAll(`[name="${name}"]`)) {
      el.setAttribute('aria-invalid', 'true');
      el.setAttribute('aria-errormessage', box.id);
      marked.push(el);
    }
  }
  if (marked.length) marked[0].focus();
  return marked.length;
}

export async function render(view, ctx) {
  const [id] = ctx.params;
  if (!may('C_JBOrder', id ? 'modify' : 'add')) {
    view.append(h('h1', { tabindex: '-1' }, id ? 'Edit job order' : 'New job order'),
      h('p', null, `Your sign-in may not ${id ? 'change' : 'add'} job orders.`),
      h('a', { href: id ? `#/orders/${id}` : '#/orders' }, 'Back'));
    return;
  }
  let order = {};
  let lines = [];
  if (id) {
    const doc = parseXml((await call('C_JBOrder', 'getElementByXML', { key: id })).result);
    order = attributes(doc.getElementsByTagName('JBOrder')[0]);
    lines = records(doc, 'JBContainerDetail');
  } else {
    order = { JBCreateDate: today() };
  }
  const title = id ? `Edit job order ${order.JBNo}` : 'New job order';
  const orderInputs = ORDER_INPUTS.map(([name, width, hint, kind]) => input(name, width, hint, kind, order[name]));
  const company = field('Your company code', { name: 'astrCompanyCode', value: localStorage.getItem('kx.company') || '', maxlength: 10 },
    'Used with your office code to number the order');
  const office = field('Your office code', { name: 'astrOfficeCode', value: localStorage.getItem('kx.office') || '', maxlength: 10 });

  const lineList = h('div', { class: 'lines' });
  const renumber = () => lineList.querySelectorAll('fieldset.line').forEach((box, i) => {
    box.querySelector('legend').textContent = `Line ${i + 1}`;
    box.querySelector('button').textContent = `Remove line ${i + 1}`;
  });
  const addLine = (values) => { lineList.appendChild(lineBox(values, renumber)); renumber(); };
  lines.forEach(addLine);

  const problems = h('div', { class: 'form-errors', 'aria-live': 'assertive' });
  const save = h('button', { type: 'submit', class: 'primary' }, 'Save order');
  const form = h('form', { class: 'order-form', novalidate: true, 'aria-labelledby': 'form-title' },
    h('fieldset', null, h('legend', null, 'Order'), h('div', { class: 'grid' }, orderInputs.map((f) => f.row),
      id ? null : [company.row, office.row])),
    h('fieldset', null, h('legend', null, 'Container lines'), lineList,
      h('button', { type: 'button', onclick: () => { addLine({}); lineList.lastChild.querySelector('input').focus(); } }, 'Add line')),
    problems,
    h('div', { class: 'buttons' }, save, h('a', { class: 'button', href: id ? `#/orders/${id}` : '#/orders' }, 'Back')));

  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    problems.replaceChildren();
    const doc = document.implementation.createDocument(null, 'JBOrder', null);
    const root = doc.documentElement;
    if (id) root.setAttribute('Id', id);
    for (const f of orderInputs) root.setAttribute(f.input.name, f.input.value);
    root.setAttribute('LastUpdateUser', userCode());
    const details = doc.createElement('JBContainerDetails');
    for (const box of lineList.querySelectorAll('fieldset.line')) {
      const line = doc.createElement('JBContainerDetail');
      for (const [k, v] of Object.entries(box.kept)) line.setAttribute(k, v);
      for (const el of box.querySelectorAll('input')) line.setAttribute(el.name, el.value);
      details.appendChild(line);
    }
    root.appendChild(details);
    const xml = new XMLSerializer().serializeToString(doc);
    save.disabled = true;
    try {
      let key = id;
      if (id) {
        await call('C_JBOrder', 'modify', { ElementXml: xml });
      } else {
        localStorage.setItem('kx.company', company.input.value);
        localStorage.setItem('kx.office', office.input.value);
        key = (await call('C_JBOrder', 'add', { ElementXml: xml, astrCompanyCode: company.input.value, astrOfficeCode: office.input.value })).result;
      }
      ctx.go(`#/orders/${key}`, { replace: true });
    } catch (e) {
      const box = errorBox(e, 'The order was not saved');
      box.id = 'save-error';
      box.tabIndex = -1;
      problems.append(box);
      if (!markFields(form, e.description || '', box)) box.focus();
    } finally {
      save.disabled = false;
    }
  });
  view.append(h('h1', { tabindex: '-1', id: 'form-title' }, title), form);
}
