// The console's frame: the address (hash) decides the screen, so that the back button, reload and
// a pasted link all work; sign-in comes first when the service asks for a token.
import { me, may, onProgress, token, ApiError } from './api.js';
import { h, errorBox } from './dom.js';
import * as signIn from './screens/sign_in.js';
import * as orders from './screens/orders.js';
import * as order from './screens/order.js';
import * as orderForm from './screens/order_form.js';
import * as typeProfiles from './screens/type_profiles.js';
import * as workFiles from './screens/work_files.js';

const routes = [
  [/^\/sign-in$/, signIn.render, { open: true }],
  [/^\/orders$/, orders.render],
  [/^\/orders\/new$/, orderForm.render],
  [/^\/orders\/(\d+)$/, order.render],
  [/^\/orders\/(\d+)\/edit$/, orderForm.render],
  [/^\/type-profiles$/, typeProfiles.render],
  [/^\/work-files$/, workFiles.renderList],
  [/^\/work-files\/(\d+)$/, workFiles.renderFile],
];

const navItems = [
  ['#/orders', 'Job orders', /^\/orders(\?|$|\/\d)/],
  ['#/orders/new', 'New order', /^\/orders\/new/],
  ['#/type-profiles', 'Type profiles', /^\/type-profiles/],
  ['#/work-files', 'Work files', /^\/work-files/],
];

const main = document.getElementById('main');
let generation = 0;

// Shows the screen at `hash`; with `replace` the current entry of the history is replaced (after a
// save, so that the back button does not lead to the form again).
export function go(hash, { replace = false } = {}) {
  if (location.hash === hash) route();
  else if (replace) {
    history.replaceState(null, '', hash);
    route();
  } else location.hash = hash;
}

function parseHash() {
  const raw = location.hash.replace(/^#/, '') || '/orders';
  const q = raw.indexOf('?');
  const path = q < 0 ? raw : raw.slice(0, q);
  const query = new URLSearchParams(q < 0 ? '' : raw.slice(q + 1));
  return { path, query, raw };
}

function drawNav(path, identity) {
  const offered = navItems.filter(([href]) => href !== '#/orders/new' || may('C_JBOrder', 'add'));
  document.getElementById('nav').replaceChildren(...offered.map(([href, text, active]) =>
    h('a', { href, 'aria-current': active.test(path) ? 'page' : null }, text)));
  const who = document.getElementById('who');
  if (!identity) return who.replaceChildren();
  if (!identity.signIn) return who.replaceChildren(h('span', null, 'Local access: no sign-in needed'));
  who.replaceChildren(h('span', null, 'Signed in as ', h('strong', null, identity.client)),
    h('button', { type: 'button', class: 'link', onclick: () => { token.clear(); go('#/sign-in'); } }, 'Sign out'));
}

async function route() {
  const mine = ++generation;
  const { path, query, raw } = parseHash();
  const found = routes.find(([re]) => re.test(path));
  main.setAttribute('aria-busy', 'true');
  let identity = null;
  const view = h('div', { class: 'screen' });
  const ctx = {
    params: found ? path.match(found[0]).slice(1) : [], query, path, go,
    current: () => mine === generation,
  };
  try {
    try {
      identity = await me(true);
    } catch (e) {
      if (!(e instanceof ApiError && e.status === 401)) throw e;
      if (!(found && found[2] && found[2].open)) {
        sessionStorage.setItem('kx.next', `#${raw}`);
        return go('#/sign-in');
      }
    }
    if (mine !== generation) return;
    drawNav(path, identity);
    if (!found) {
      view.append(h('h1', { tabindex: '-1' }, 'Not found'), h('p', null, 'There is no screen at this address. '),
        h('a', { href: '#/orders' }, 'Go to the job orders'));
    } else {
      await found[1](view, ctx);
    }
  } catch (e) {
    view.append(h('h1', { tabindex: '-1' }, 'Something went wrong'), errorBox(e, 'The screen cannot be shown'));
  }
  if (mine !== generation) return;
  main.replaceChildren(view);
  const heading = view.querySelector('h1');
  if (heading && ctx.focusHeading !== false) heading.focus({ preventScroll: true });
  document.title = heading ? `${heading.textContent} · KX console` : 'KX console';
  main.setAttribute('aria-busy', 'false');
}

onProgress((busy) => {
  document.getElementById('progress').replaceChildren(busy ? h('span', { class: 'spinner' }, 'Working…') : '');
});
window.addEventListener('kx-signed-out', () => {
  if (!location.hash.startsWith('#/sign-in')) {
    sessionStorage.setItem('kx.next', location.hash);
    go('#/sign-in');
  }
});
window.addEventListener('hashchange', route);
route();
