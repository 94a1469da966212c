// Building the page: elements are made with the DOM only and every value goes in as text, never
// as markup, so that whatever the database holds is shown and nothing of it runs.

let nextId = 0;
export const uid = (prefix) => `${prefix}-${++nextId}`;

// h('button', {type: 'button', onclick: f}, 'Save'): attributes, on* handlers, children (text,
// numbers, nodes, arrays; null and false are left out).
export function h(tag, props, ...children) {
  const el = document.createElement(tag);
  for (const [k, v] of Object.entries(props || {})) {
    if (v == null || v === false) continue;
    if (k.startsWith('on') && typeof v === 'function') el.addEventListener(k.slice(2), v);
    else if (k === 'value') el.value = v;
    else if (k === 'checked') el.checked = !!v;
    else el.setAttribute(k, v === true ? '' : String(v));
  }
  append(el, children);
  return el;
}

function append(el, children) {
  for (const c of children) {
    if (c == null || c === false) continue;
    if (Array.isArray(c)) append(el, c);
    else el.appendChild(c instanceof Node ? c : document.createTextNode(String(c)));
  }
}

// A labelled input: returns {row, input}. `input` is an element or the props of an <input>.
export function field(label, input, hint) {
  const control = input instanceof Node ? input : h('input', { type: 'text', ...input });
  const id = control.id || uid('f');
  control.id = id;
  const hintId = hint ? `${id}-hint` : null;
  if (hintId) control.setAttribute('aria-describedby', hintId);
  const row = h('div', { class: 'field' }, h('label', { for: id }, label), control,
    hint ? h('small', { id: hintId }, hint) : null);
  return { row, input: control };
}

export function select(props, options, chosen) {
  return h('select', props, options.map(([value, text]) => h('option', { value, selected: value === chosen }, text)));
}

// An error of a call, with the chain of procedure texts as the component gave it.
export function errorBox(error, title = 'The call was refused') {
  const detail = error && error.description ? error.description : String(error);
  return h('div', { class: 'error', role: 'alert' }, h('strong', null, title), h('p', null, detail),
    error && error.status ? h('small', null, `status ${error.status}${error.number ? `, error 0x${(error.number >>> 0).toString(16).toUpperCase()}` : ''}`) : null);
}

// A table of `rows` (objects) with `columns` [key, title, render?]; `link(row)` makes the first
// cell a link. More rows than `pageSize` are shown a page at a time.
export function table(columns, rows, { caption, link, id, label = 'Table', empty = 'Nothing to show.', pageSize = 50 } = {}) {
  if (!rows.length) return h('p', { class: 'empty', id }, empty);
  const line = (row) => h('tr', {
    class: link ? 'linked' : null,
    // A click anywhere on a row opens it, as its link does; buttons and links in it keep their own.
    onclick: link ? (e) => { if (!e.target.closest('a, button, input, select, textarea')) location.hash = link(row); } : null,
  }, columns.map(([key, , render], i) => {
    const value = render ? render(row) : row[key];
    return h('td', null, i === 0 && link ? h('a', { href: link(row) }, value === '' ? '(none)' : value) : value);
  }));
  const body = h('tbody');
  // The wrapper scrolls sideways on a narrow screen, so it takes the focus for the keyboard.
  const wrap = h('div', { class: 'table-wrap', tabindex: '0', role: 'region', 'aria-label': caption || label }, h('table', { id },
    caption ? h('caption', null, caption) : null,
    h('thead', null, h('tr', null, columns.map(([, title]) => h('th', { scope: 'col' }, title)))), body));
  if (rows.length <= pageSize) {
    body.append(...rows.map(line));
    return wrap;
  }
  const status = h('span', { role: 'status' });
  const previous = h('button', { type: 'button' }, 'Previous rows');
  const next = h('button', { type: 'button' }, 'Next rows');
  let first = 0;
  const show = (from) => {
    first = Math.max(0, Math.min(from, rows.length - 1));
    const last = Math.min(rows.length, first + pageSize);
    body.replaceChildren(...rows.slice(first, last).map(line));
    status.textContent = `Rows ${first + 1} to ${last} of ${rows.length}`;
    previous.disabled = first === 0;
    next.disabled = last >= rows.length;
  };
  previous.addEventListener('click', () => show(first - pageSize));
  next.addEventListener('click', () => show(first + pageSize));
  show(0);
  return h('div', null, wrap, h('div', { class: 'pager' }, previous, status, next));
}

// A definition list of label/value pairs.
export function facts(pairs) {
  return h('dl', { class: 'facts' }, pairs.map(([label, value]) => h('div', null, h('dt', null, label), h('dd', null, value === '' ? '—' : value))));
}

// A modal dialog; resolves with what `submit` returns, or null when it is closed (Escape, Close).
// `submit` may throw: its error is shown in the dialog and the dialog stays open with what was typed.
export function dialog(title, body, { action = 'OK', submit = async () => true, danger = false } = {}) {
  return new Promise((resolve) => {
    const titleId = uid('dlg');
    const problems = h('div', { class: 'dialog-errors' });
    const form = h('form', { method: 'dialog' }, h('h2', { id: titleId }, title), body, problems,
      h('div', { class: 'buttons' },
        h('button', { type: 'submit', class: danger ? 'danger' : 'primary' }, action),
        h('button', { type: 'button', onclick: () => dlg.close() }, 'Close')));
    const dlg = h('dialog', { 'aria-labelledby': titleId }, form);
    let result = null;
    form.addEventListener('submit', async (event) => {
      event.preventDefault();
      problems.replaceChildren();
      try {
        result = await submit();
        dlg.close();
      } catch (e) {
        problems.appendChild(errorBox(e));
      }
    });
    dlg.addEventListener('close', () => { dlg.remove(); resolve(result); });
    document.body.appendChild(dlg);
    dlg.showModal();
  });
}

export function confirm(title, text, action) {
  return dialog(title, h('p', null, text), { action, danger: true });
}

// Offers `text` as a file to download.
export function download(name, text, type = 'text/csv') {
  const url = URL.createObjectURL(new Blob([text], { type }));
  const a = h('a', { href: url, download: name });
  document.body.appendChild(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 1000);
}

// A CSV text (RFC 4180) of `rows` with `columns`; a cell that a spreadsheet would read as a
// formula is prefixed with an apostrophe.
export function csv(columns, rows) {
  const cell = (v) => {
    let s = v == null ? '' : String(v);
    if (/^[=+@\t\r]/.test(s) || (s.startsWith('-') && Number.isNaN(Number(s)))) s = `'${s}`;
    return /[",\r\n]/.test(s) ? `"${s.replace(/"/g, '""')}"` : s;
  };
  // The file holds what the table shows; a column of buttons (no key) is left out.
  const shown = columns.filter(([key]) => key !== '');
  const text = (value) => (value instanceof Node ? value.textContent : value);
  return [shown.map(([, title]) => cell(title)).join(','),
    ...rows.map((r) => shown.map(([key, , render]) => cell(text(render ? render(r) : r[key]))).join(','))].join('\r\n') + '\r\n';
}
