// #/sign-in: the bearer token, kept in this tab's sessionStorage only.
import { token, me, ApiError } from '../api.js';
import { h, field, errorBox } from '../dom.js';

export async function render(view, ctx) {
  let identity = null;
  try { identity = await me(true); } catch (e) { if (!(e instanceof ApiError && e.status === 401)) throw e; }
  const next = sessionStorage.getItem('kx.next') || '#/orders';
  if (identity && !identity.signIn) {
    view.append(h('h1', { tabindex: '-1' }, 'No sign-in needed'),
      h('p', null, 'This service has no token file: it answers local callers only, and they need no sign-in.'),
      h('a', { class: 'button', href: next }, 'Continue'));
    return;
  }
  const input = field('Access token', { type: 'password', name: 'token', autocomplete: 'current-password', required: true },
    'The token your administrator gave you. It is kept in this browser tab only.');
  const problems = h('div');
  const form = h('form', { class: 'sign-in', 'aria-labelledby': 'sign-in-title' }, input.row, problems,
    h('button', { type: 'submit', class: 'primary' }, 'Sign in'));
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    problems.replaceChildren();
    token.set(input.input.value.trim());
    try {
      await me(true);
      sessionStorage.removeItem('kx.next');
      ctx.go(next);
    } catch (e) {
      token.clear();
      problems.append(errorBox(e, 'The token was not accepted'));
      input.input.focus();
    }
  });
  view.append(h('h1', { tabindex: '-1', id: 'sign-in-title' }, 'Sign in'), form);
  if (identity) form.before(h('p', null, `Signed in as ${identity.client}. Sign in again to change the token.`));
  ctx.focusHeading = false;
  setTimeout(() => input.input.focus(), 0);
}
