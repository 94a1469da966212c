// #/work-files and #/work-files/{Id}: container retrieving work files, their lines and whether
// each is handled, and finishing a file once every line is.
import { renderSearch } from '../search.js';
import { call, may, parseXml, attributes, records, serialize, userCode } from '../api.js';
import { h, table, facts, errorBox } from '../dom.js';

const FIELDS = [
  ['VesselCode', 'Vessel'], ['VoyageNo', 'Voyage no.'], ['VoyageLeg', 'Voyage leg'], ['Office', 'Office'],
  ['SourceCategory', 'Source category'], ['BKNo', 'Booking no.'], ['BLNo', 'B/L no.'], ['ERNo', 'ER no.'],
  ['ProcessState', 'State (0 new, 1 in progress, 2 finished)'],
];
const STATES = { 0: 'New', 1: 'In progress', 2: 'Finished' };
const stateName = (v) => STATES[v] || v;
const handled = (v) => !['', '0', 'false', 'no'].includes(String(v).trim().toLowerCase());

export function renderList(view, ctx) {
  return renderSearch(view, ctx, {
    title: 'Work files', base: '/work-files', cls: 'C_JBContainerRetrievingTempFile', element: 'JBContainerRetrievingTempFile',
    fields: FIELDS, noun: 'work file', csvName: 'work-files.csv', link: (r) => `#/work-files/${encodeURIComponent(r.Id)}`,
    columns: [['Id', 'Id'], ['VesselCode', 'Vessel'], ['VoyageNo', 'Voyage'], ['VoyageLeg', 'Leg'], ['Office', 'Office'],
      ['SourceCategory', 'Source'], ['BKNo', 'Booking no.'], ['BLNo', 'B/L no.'], ['ProcessState', 'State', (r) => stateName(r.ProcessState)],
      ['LastUpdateDate', 'Updated'], ['LastUpdateUser', 'By']],
  });
}

export async function renderFile(view, ctx) {
  const [id] = ctx.params;
  const answer = await call('C_JBContainerRetrievingTempFile', 'getElementByXML', { key: id });
  const doc = parseXml(answer.result);
  const element = doc.getElementsByTagName('JBContainerRetrievingTempFile')[0];
  const file = attributes(element);
  const lines = records(doc, 'JBContainerRetrievingTempDetail');
  const lineElements = Array.from(doc.getElementsByTagName('JBContainerRetrievingTempDetail'));
  const canSave = may('C_JBContainerRetrievingTempFile', 'modify');
  const problems = h('div', { 'aria-live': 'assertive' });
  // Whether each line is handled, as ticked on the screen (a page of lines at a time).
  const flags = lines.map((l) => handled(l.HandledFlag));
  lines.forEach((l, i) => { l.index = i; });
  const columns = [
    ['HandledFlag', 'Handled', (l) => h('input', {
      type: 'checkbox', checked: flags[l.index], disabled: !canSave, 'aria-label': `Line ${l.ContainerPrefix}${l.ContainerNo} handled`,
      onchange: (e) => { flags[l.index] = e.target.checked; },
    })],
    ['ContainerPrefix', 'Prefix'], ['ContainerNo', 'Container no.'], ['ContainerType', 'Type'], ['EmptyFullFlag', 'Empty/full'],
    ['MovementMode', 'Movement'], ['FromPlace', 'From'], ['ToPlace', 'To'], ['BKNo', 'Booking no.'], ['BLNo', 'B/L no.'],
    ['POL', 'POL'], ['POD', 'POD'], ['CargoDescription', 'Cargo'],
  ];
  const save = async () => {
    problems.replaceChildren();
    lineElements.forEach((el, i) => el.setAttribute('HandledFlag', flags[i] ? '1' : '0'));
    element.setAttribute('LastUpdateUser', userCode());
    try {
      await call('C_JBContainerRetrievingTempFile', 'modify', { ElementXml: serialize(doc) });
      ctx.go(`#/work-files/${id}`);
    } catch (e) {
      problems.append(errorBox(e, 'The handled flags were not saved'));
    }
  };
  const finish = async () => {
    problems.replaceChildren();
    try {
      await call('C_JBContainerRetrievingTempFile', 'Finish', { ElementId: id });
      ctx.go(`#/work-files/${id}`);
    } catch (e) {
      problems.append(errorBox(e, 'The work file was not finished'));
      const box = problems.querySelector('[role=alert]');
      box.tabIndex = -1;
      box.focus();
    }
  };
  view.append(
    h('div', { class: 'title-row' }, h('h1', { tabindex: '-1' }, `Work file ${file.Id}`),
      h('span', { class: `state wf-${file.ProcessState}` }, stateName(file.ProcessState))),
    facts([['Vessel', file.VesselCode], ['Voyage', `${file.VoyageNo} ${file.VoyageLeg}`], ['Office', file.Office],
      ['Source category', file.SourceCategory], ['Booking no.', file.BKNo], ['B/L no.', file.BLNo], ['ER no.', file.ERNo],
      ['Last updated', `${file.LastUpdateDate} by ${file.LastUpdateUser}`]]),
    h('section', { 'aria-labelledby': 'h-wf-lines' }, h('h2', { id: 'h-wf-lines' }, `Lines (${lines.length})`),
      table(columns, lines, { id: 'wf-lines', label: 'List of lines', empty: 'This work file has no lines.' })),
    problems,
    h('div', { class: 'actions' },
      canSave && lines.length ? h('button', { type: 'button', class: 'primary', onclick: save }, 'Save handled flags') : null,
      may('C_JBContainerRetrievingTempFile', 'Finish') ? h('button', { type: 'button', onclick: finish }, 'Finish') : null,
      h('a', { class: 'button', href: '#/work-files' }, 'Back')));
}
