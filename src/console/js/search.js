// The search screens' common part: conditions (field, comparison, value; several at once) kept in
// the address as Field=value (equality) or Field.op=value, a page of results as a table with the
// count and the pages, paging, and the whole result as CSV fetched page by page.
import { searchPage } from './api.js';
import { h, field, select, table, errorBox, csv, download, uid } from './dom.js';

export const comparisons = [
  ['', '=', 'equals'], ['include', 'Include', 'contains'], ['begins', 'BeginWith', 'begins with'],
  ['gt', '>', 'after / above'], ['ge', '>=', 'from'], ['lt', '<', 'before / below'], ['le', '<=', 'up to'],
];
const SIZES = [10, 20, 50, 100];

// The conditions, page size and page the address holds, for the given searchable fields.
export function readQuery(query, fields) {
  const names = new Set(fields.map(([name]) => name));
  const conditions = [];
  let size = 20;
  let page = 1;
  for (const [key, value] of query) {
    if (key === 'size') size = SIZES.includes(Number(value)) ? Number(value) : 20;
    else if (key === 'page') page = Math.max(1, Math.floor(Number(value)) || 1);
    else {
      const [name, op = ''] = key.split('.');
      const comparison = comparisons.find(([code]) => code === op);
      if (names.has(name) && comparison) conditions.push({ field: name, op, condition: comparison[1], key: value });
    }
  }
  return { conditions, size, page };
}

export function writeQuery(base, { conditions, size, page }) {
  const q = new URLSearchParams();
  for (const c of conditions) if (c.key.trim() !== '') q.append(c.op ? `${c.field}.${c.op}` : c.field, c.key);
  if (size !== 20) q.set('size', size);
  if (page !== 1) q.set('page', page);
  const text = q.toString();
  return `#${base}${text ? `?${text}` : ''}`;
}

function conditionRow(fields, condition, onRemove) {
  const fieldSelect = field('Field', select({ name: 'field' }, fields, condition.field));
  const opSelect = field('Comparison', select({ name: 'op' }, comparisons.map(([code, , text]) => [code, text]), condition.op));
  const value = field('Value', { name: 'key', value: condition.key, autocomplete: 'off' });
  const row = h('div', { class: 'condition' }, fieldSelect.row, opSelect.row, value.row,
    h('button', { type: 'button', class: 'link', onclick: () => { row.remove(); onRemove(); } }, 'Remove condition'));
  return row;
}

// Draws the search screen into `view`: screen = {title, base, cls, element, fields, columns, link,
// noun, csvName, actions}.
export async function renderSearch(view, ctx, screen) {
  const state = readQuery(ctx.query, screen.fields);
  const rows = h('div', { class: 'conditions' });
  const addRow = (c) => rows.appendChild(conditionRow(screen.fields, c, () => {}));
  (state.conditions.length ? state.conditions : [{ field: screen.fields[0][0], op: '', key: '' }]).forEach(addRow);
  const sizeSelect = field('Rows per page', select({ name: 'size' }, SIZES.map((n) => [String(n), String(n)]), String(state.size)));
  const read = () => ({
    conditions: Array.from(rows.querySelectorAll('.condition'), (r) => {
      const op = r.querySelector('[name=op]').value;
      return { field: r.querySelector('[name=field]').value, op, condition: comparisons.find(([c]) => c === op)[1], key: r.querySelector('[name=key]').value };
    }),
    size: Number(sizeSelect.input.value),
    page: 1,
  });
  const form = h('form', { class: 'search', role: 'search', 'aria-label': `${screen.title} search` },
    h('fieldset', null, h('legend', null, 'Conditions (all must hold)'), rows,
      h('button', { type: 'button', onclick: () => { addRow({ field: screen.fields[0][0], op: '', key: '' }); rows.lastChild.querySelector('select').focus(); } }, 'Add condition')),
    h('div', { class: 'row' }, sizeSelect.row, h('button', { type: 'submit', class: 'primary' }, 'Search')));
  form.addEventListener('submit', (e) => { e.preventDefault(); ctx.go(writeQuery(screen.base, read())); });

  view.append(h('div', { class: 'title-row' }, h('h1', { tabindex: '-1' }, screen.title), screen.actions || null), form);
  const results = h('section', { 'aria-label': 'Results' });
  view.append(results);
  let page;
  try {
    page = await searchPage(screen.cls, screen.element, state.conditions, state.size, state.page);
  } catch (e) {
    results.append(errorBox(e, 'The search was refused'));
    return;
  }
  const summary = `${page.count} ${screen.noun}${page.count === 1 ? '' : 's'}, page ${page.count ? state.page : 0} of ${page.pages}`;
  const goTo = (n) => ctx.go(writeQuery(screen.base, { ...state, page: n }));
  const pageInput = field('Page', { type: 'number', min: 1, max: Math.max(1, page.pages), value: String(state.page), inputmode: 'numeric' });
  const pager = h('form', { class: 'pager', 'aria-label': 'Pages' },
    h('button', { type: 'button', disabled: state.page <= 1, onclick: () => goTo(state.page - 1) }, 'Previous page'),
    pageInput.row, h('button', { type: 'submit' }, 'Go'),
    h('button', { type: 'button', disabled: state.page >= page.pages, onclick: () => goTo(state.page + 1) }, 'Next page'));
  pager.addEventListener('submit', (e) => { e.preventDefault(); goTo(Math.min(Math.max(1, Number(pageInput.input.value) || 1), Math.max(1, page.pages))); });
  const csvStatus = h('span', { role: 'status', id: uid('csv') });
  const csvButton = h('button', { type: 'button', disabled: !page.count }, 'Download CSV');
  csvButton.addEventListener('click', () => downloadAll(screen, state.conditions, page.pages && page.count, csvButton, csvStatus));
  results.append(...[h('p', { class: 'summary', role: 'status' }, summary),
    table(screen.columns, page.rows, { id: 'results', caption: `${screen.title}: ${summary}`, link: screen.link, empty: `No ${screen.noun}s match.`, pageSize: Infinity }),
    page.count ? pager : null, h('div', { class: 'row' }, csvButton, csvStatus)].filter(Boolean));
}

// Every page of the result, fetched in turn, as one CSV file.
async function downloadAll(screen, conditions, count, button, status) {
  const size = 500;
  const all = [];
  button.disabled = true;
  try {
    for (let n = 1, pages = Math.ceil(count / size); n <= pages; n++) {
      status.textContent = `Fetching page ${n} of ${pages}…`;
      const page = await searchPage(screen.cls, screen.element, conditions, size, n);
      all.push(...page.rows);
      pages = page.pages;
    }
    download(screen.csvName, csv(screen.columns, all));
    status.textContent = `${all.length} rows saved as ${screen.csvName}.`;
  } catch (e) {
    status.replaceChildren(errorBox(e, 'The download stopped'));
  } finally {
    button.disabled = false;
  }
}
