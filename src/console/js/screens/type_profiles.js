// #/type-profiles: the catalogue of job order types: list, add, change, remove.
import { renderSearch } from '../search.js';
import { call, may, buildXml } from '../api.js';
import { h, field, dialog } from '../dom.js';

const FIELDS = [['Code', 'Code'], ['JBTypeName', 'Name'], ['JBTypeCategory', 'Category']];

function edit(ctx, profile) {
  const code = field('Code', { value: profile ? profile.Code : '', maxlength: 20, readonly: !!profile, required: true });
  const name = field('Name', { value: profile ? profile.JBTypeName : '', maxlength: 50 });
  const category = field('Category', { value: profile ? profile.JBTypeCategory : '', maxlength: 2 });
  return dialog(profile ? `Change type profile ${profile.Code}` : 'Add a type profile', h('div', null, code.row, name.row, category.row), {
    action: profile ? 'Save profile' : 'Add profile',
    submit: () => call('C_JBTypeProfile', profile ? 'modify' : 'add', {
      ElementXml: buildXml('JBTypeProfile', { Code: code.input.value, JBTypeName: name.input.value, JBTypeCategory: category.input.value }),
    }),
  }).then((done) => done && ctx.go(location.hash));
}

function remove(ctx, profile) {
  return dialog('Remove the type profile', h('p', null, `Type profile ${profile.Code} (${profile.JBTypeName}) is removed.`), {
    action: 'Remove profile', danger: true, submit: () => call('C_JBTypeProfile', 'remove', { ElementId: profile.Code }),
  }).then((done) => done && ctx.go(location.hash));
}

export function render(view, ctx) {
  const columns = [['Code', 'Code'], ['JBTypeName', 'Name'], ['JBTypeCategory', 'Category']];
  if (may('C_JBTypeProfile', 'modify') || may('C_JBTypeProfile', 'remove')) {
    columns.push(['', 'Change', (p) => h('span', { class: 'row-actions' },
      may('C_JBTypeProfile', 'modify') ? h('button', { type: 'button', 'aria-label': `Change ${p.Code}`, onclick: () => edit(ctx, p) }, 'Change') : null,
      may('C_JBTypeProfile', 'remove') ? h('button', { type: 'button', 'aria-label': `Remove ${p.Code}`, onclick: () => remove(ctx, p) }, 'Remove') : null)]);
  }
  return renderSearch(view, ctx, {
    title: 'Type profiles', base: '/type-profiles', cls: 'C_JBTypeProfile', element: 'JBTypeProfile', fields: FIELDS,
    columns, noun: 'type profile', csvName: 'type-profiles.csv',
    actions: may('C_JBTypeProfile', 'add') ? h('button', { type: 'button', onclick: () => edit(ctx, null) }, 'Add type profile') : null,
  });
}
