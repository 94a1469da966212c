// #/orders/{Id}: one job order with its container lines, diary and door appointments, and what a
// clerk does with it (issue, cancel, stop delivery, note, edit, remove, appointments).
import { call, may, parseXml, records, attributes, buildXml, userCode } from '../api.js';
import { h, field, facts, table, dialog, confirm, errorBox } from '../dom.js';
import { ORDER_FIELDS, LINE_FIELDS, DOOR_FIELDS, stateName, NO_DATES } from '../labels.js';

const shown = (name, value) => (name === 'JBState' ? stateName(value) : NO_DATES.has(value) ? '' : value);

// An appointment's time is kept as the number HHMM.
export const timeText = (value) => {
  const n = Number(value);
  if (value === '' || !Number.isFinite(n)) return value;
  return `${String(Math.floor(n / 100)).padStart(2, '0')}:${String(n % 100).padStart(2, '0')}`;
};
const timeNumber = (text) => (/^\d{1,2}:\d{2}/.test(text) ? String(Number(text.slice(0, text.indexOf(':'))) * 100 + Number(text.slice(text.indexOf(':') + 1, text.indexOf(':') + 3))) : text);

async function load(id) {
  const [order, diary, doors] = await Promise.all([
    call('C_JBOrder', 'getElementByXML', { key: id }),
    may('C_JBOrder', 'QueryJBDiary') ? call('C_JBOrder', 'QueryJBDiary', { JBNoId: id }) : null,
    may('C_JBOrder', 'GetDoorAppointments') ? call('C_JBOrder', 'GetDoorAppointments', { JBNoId: id }) : null,
  ]);
  const doc = parseXml(order.result);
  const element = doc.getElementsByTagName('JBOrder')[0];
  if (!element) throw new Error(`there is no job order ${id}`);
  return {
    order: attributes(element),
    lines: records(doc, 'JBContainerDetail'),
    diary: diary ? records(parseXml(diary.result), 'JBDiary') : null,
    doors: doors ? records(parseXml(doors.result), 'JBDoorAppointment') : null,
  };
}

function diaryList(entries) {
  if (!entries.length) return h('p', { class: 'empty' }, 'No diary entries.');
  const key = (e) => `${e.JBDiaryDate} ${String(e.JBDiaryTime).padStart(4, '0')} ${String(e.Id).padStart(12, '0')}`;
  const newest = [...entries].sort((a, b) => (key(a) < key(b) ? 1 : -1));
  return h('ol', { class: 'timeline', id: 'diary' }, newest.map((e) => h('li', null,
    h('div', { class: 'when' }, `${e.JBDiaryDate} ${timeText(e.JBDiaryTime)}`),
    h('span', { class: `badge ${String(e.JBDiaryTypeInd).toLowerCase()}` }, e.JBDiaryTypeInd),
    h('span', { class: 'by' }, e.LastUpdateUser), h('p', null, e.JBDiaryText))));
}

function doorForm(values) {
  const inputs = {};
  const rows = DOOR_FIELDS.map(([name, label, width, type]) => {
    let value = values[name] || '';
    if (type === 'time') value = timeText(value);
    const long = width > 100;
    const f = field(label, long ? h('textarea', { name, maxlength: width, rows: 2 }, value)
      : { name, value, maxlength: width, type: type || 'text' });
    inputs[name] = f.input;
    return f.row;
  });
  const read = () => {
    const out = {};
    for (const [name, , , type] of DOOR_FIELDS) out[name] = type === 'time' ? timeNumber(inputs[name].value) : inputs[name].value;
    return out;
  };
  return { body: h('div', { class: 'grid' }, rows), read };
}

export async function render(view, ctx) {
  const [id] = ctx.params;
  let data;
  try {
    data = await load(id);
  } catch (e) {
    view.append(h('h1', { tabindex: '-1' }, `Job order ${id}`), errorBox(e, 'The order cannot be shown'));
    return;
  }
  const { order, lines, diary, doors } = data;
  const again = () => ctx.go(`#/orders/${id}`);
  const user = userCode();
  const button = (member, text, onclick, cls) => (may('C_JBOrder', member) ? h('button', { type: 'button', class: cls, onclick }, text) : null);

  const issue = () => {
    const by = field('Issued by', { value: user, maxlength: 16, required: true });
    const fax = field('Fax number', { value: order.IssueFaxNo, maxlength: 20, type: 'tel' });
    const mail = field('E-mail address', { value: order.IssueEmailAddress, maxlength: 20, type: 'email' });
    return dialog('Issue to the vendor', h('div', null, by.row, fax.row, mail.row), {
      action: 'Issue',
      submit: () => call('C_JBOrder', 'Issue', { JBNoId: id, strIssueUser: by.input.value, IssueFaxNo: fax.input.value, IssueEMail: mail.input.value }),
    }).then((done) => done && again());
  };
  const end = (member, title, text) => dialog(title, h('p', null, text), {
    action: title, danger: true, submit: () => call('C_JBOrder', member, { JBNoId: id, strUserCode: user }),
  }).then((done) => done && again());
  const note = () => {
    const text = field('Note', h('textarea', { rows: 4, maxlength: 2000, required: true }));
    return dialog('Add a note to the diary', text.row, {
      action: 'Add note', submit: () => call('C_JBOrder', 'AddUserDiary', { JBNoId: id, strUserCode: user, strDiaryText: text.input.value }),
    }).then((done) => done && again());
  };
  const remove = () => dialog('Remove this order', h('p', null, `Job order ${order.JBNo} is removed with its container lines, door appointments and diary. This cannot be undone.`), {
    action: 'Remove order', danger: true, submit: () => call('C_JBOrder', 'remove', { ElementId: id }),
  }).then((done) => done && ctx.go('#/orders'));
  const book = (appointment) => {
    const form = doorForm(appointment || {});
    const member = appointment ? 'ModifyDoorAppointment' : 'AddDoorAppointment';
    return dialog(appointment ? 'Move the door appointment' : 'Book a door appointment', form.body, {
      action: appointment ? 'Save appointment' : 'Book appointment',
      submit: () => call('C_JBOrder', member, { JBNoId: id, ElementXml: buildXml('JBDoorAppointment', appointment ? { Id: appointment.Id, ...form.read() } : form.read()) }),
    }).then((done) => done && again());
  };
  const unbook = (a) => confirm('Remove the door appointment', `The appointment with ${a.CustomerName} on ${a.AppointmentDate} is removed.`, 'Remove appointment')
    .then((yes) => yes && call('C_JBOrder', 'RemoveAppointment', { JBNoId: id, JBDoorAppointmentId: a.Id }).then(again, (e) => view.prepend(errorBox(e))));

  const shownFields = ORDER_FIELDS.filter(([name]) => !['Id', 'JBNo', 'LastUpdateTime'].includes(name));
  view.append(
    h('div', { class: 'title-row' }, h('h1', { tabindex: '-1' }, `Job order ${order.JBNo}`),
      h('span', { class: `state state-${order.JBState}` }, stateName(order.JBState))),
    h('div', { class: 'actions', role: 'group', 'aria-label': 'Order actions' },
      may('C_JBOrder', 'modify') ? h('a', { class: 'button', href: `#/orders/${id}/edit` }, 'Edit') : null,
      button('Issue', 'Issue', issue, 'primary'),
      button('AddUserDiary', 'Add note', note),
      button('Cancel', 'Cancel order', () => end('Cancel', 'Cancel order', `Job order ${order.JBNo} is cancelled.`)),
      button('StopDelivery', 'Stop delivery', () => end('StopDelivery', 'Stop delivery', `The delivery of job order ${order.JBNo} is stopped.`)),
      button('remove', 'Remove order', remove, 'danger')),
    h('section', { 'aria-labelledby': 'h-order' }, h('h2', { id: 'h-order' }, 'Order'),
      facts(shownFields.map(([name, label]) => [label, shown(name, order[name])]))),
    h('section', { 'aria-labelledby': 'h-lines' }, h('h2', { id: 'h-lines' }, `Container lines (${lines.length})`),
      table(LINE_FIELDS.map(([name, label]) => [name, label]), lines, { id: 'lines', label: 'List of container lines', empty: 'No container lines.' })),
    h('section', { 'aria-labelledby': 'h-diary' }, h('h2', { id: 'h-diary' }, 'Diary'),
      diary ? diaryList(diary) : h('p', { class: 'empty' }, 'You may not read the diary.')),
    h('section', { 'aria-labelledby': 'h-doors' }, h('div', { class: 'title-row' }, h('h2', { id: 'h-doors' }, 'Door appointments'),
      may('C_JBOrder', 'AddDoorAppointment') ? h('button', { type: 'button', onclick: () => book(null) }, 'Book appointment') : null),
    doors ? table([
      ['AppointmentDate', 'Date', (a) => shown('', a.AppointmentDate)], ['AppointmentTime', 'Time', (a) => timeText(a.AppointmentTime)],
      ['CustomerName', 'Customer'], ['CustomerContactor', 'Contact'], ['AppointmentPhone', 'Phone'], ['AppointmentAddress', 'Address'],
      ['AppointmentRemarks', 'Remarks'],
      ['Id', 'Change', (a) => h('span', { class: 'row-actions' },
        may('C_JBOrder', 'ModifyDoorAppointment') ? h('button', { type: 'button', onclick: () => book(a), 'aria-label': `Move appointment ${a.Id}` }, 'Move') : null,
        may('C_JBOrder', 'RemoveAppointment') ? h('button', { type: 'button', onclick: () => unbook(a), 'aria-label': `Remove appointment ${a.Id}` }, 'Remove') : null)],
    ], doors, { id: 'doors', label: 'List of door appointments', empty: 'No door appointments.' }) : h('p', { class: 'empty' }, 'You may not read the door appointments.')));
}
