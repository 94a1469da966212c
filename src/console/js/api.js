// Every call of the console goes through this module: the bearer token, the JSON and XML forms of
// a call, errors, the progress indication and what the signed-in client may call.

const TOKEN_KEY = 'kx.token';
const listeners = new Set();
let inFlight = 0;
let progressTimer = null;
let identity = null;

export class ApiError extends Error {
  constructor(status, error) {
    super(error && error.description ? error.description : `the service answered ${status}`);
    this.status = status;
    this.number = error ? error.number : 0;
    this.source = error ? error.source : '';
    this.description = this.message;
  }
}

export const token = {
  get: () => sessionStorage.getItem(TOKEN_KEY) || '',
  set: (value) => sessionStorage.setItem(TOKEN_KEY, value),
  clear: () => { sessionStorage.removeItem(TOKEN_KEY); identity = null; },
};

// Called with true while any call has run longer than 300 ms, false once none has.
export function onProgress(listener) { listeners.add(listener); }

function begin() {
  if (inFlight++ === 0) progressTimer = setTimeout(() => listeners.forEach((l) => l(true)), 300);
}

function end() {
  if (--inFlight === 0) {
    clearTimeout(progressTimer);
    listeners.forEach((l) => l(false));
  }
}

async function request(method, path, body, contentType) {
  const headers = { Accept: 'application/json' };
  const bearer = token.get();
  if (bearer) headers.Authorization = `Bearer ${bearer}`;
  if (contentType) headers['Content-Type'] = contentType;
  begin();
  try {
    let response;
    try {
      response = await fetch(path, { method, headers, body, cache: 'no-store', credentials: 'omit' });
    } catch (e) {
      throw new ApiError(0, { number: 0, source: 'console', description: 'the service cannot be reached' });
    }
    let answer = null;
    try { answer = await response.json(); } catch (e) { answer = null; }
    if (!response.ok) {
      if (response.status === 401) {
        token.clear();
        window.dispatchEvent(new CustomEvent('kx-signed-out'));
      }
      throw new ApiError(response.status, answer && answer.error);
    }
    return answer;
  } finally {
    end();
  }
}

// Calls Class.Member with arguments by name; answers {result, out}.
export function call(cls, member, args = {}) {
  return request('POST', `/v1/${cls}/${member}`, JSON.stringify({ args }), 'application/json');
}

// Calls Class.Member with an XML document; the other arguments go in the query string.
export function callXml(cls, member, xml, query = {}) {
  const q = new URLSearchParams(query).toString();
  return request('POST', `/v1/${cls}/${member}${q ? `?${q}` : ''}`, xml, 'application/xml');
}

// Who is signed in: {client, signIn, may, allowed}; cached until the token changes.
export async function me(refresh = false) {
  if (!identity || refresh) {
    const answer = await request('GET', '/v1/_me');
    identity = { ...answer, allowedSet: new Set(answer.allowed.map((m) => m.toLowerCase())) };
  }
  return identity;
}

// Whether the signed-in client may call Class.Member (false before me() has answered).
export function may(cls, member) {
  return !!identity && identity.allowedSet.has(`${cls}.${member}`.toLowerCase());
}

// The user code the console writes into the records it changes (16 letters at most).
export function userCode() {
  const name = identity && identity.client ? identity.client : 'console';
  return name.slice(0, 16);
}

// ---- XML documents, built and read through the DOM so that every value is escaped by it.

export function parseXml(text) {
  const doc = new DOMParser().parseFromString(text || '<Root/>', 'application/xml');
  if (doc.getElementsByTagName('parsererror').length) throw new Error('the service answered a document that cannot be read');
  return doc;
}

export function attributes(element) {
  const out = {};
  for (const a of element.attributes) out[a.name] = a.value;
  return out;
}

// The attributes of every element called `name`, in document order.
export function records(doc, name) {
  return Array.from(doc.getElementsByTagName(name), attributes);
}

export function serialize(doc) { return new XMLSerializer().serializeToString(doc); }

// A document whose root is `name` with `attrs`; `children` are [name, attrs, children] triples.
export function buildXml(name, attrs, children = []) {
  const doc = document.implementation.createDocument(null, name, null);
  const fill = (element, values, kids) => {
    for (const [k, v] of Object.entries(values)) element.setAttribute(k, v == null ? '' : String(v));
    for (const [childName, childAttrs, grandChildren] of kids) {
      const child = doc.createElement(childName);
      fill(child, childAttrs, grandChildren || []);
      element.appendChild(child);
    }
  };
  fill(doc.documentElement, attrs, children);
  return serialize(doc);
}

// The AccessKeys document of a search: [{field, condition, key}].
export function accessKeys(conditions) {
  return buildXml('AccessKeys', {}, conditions.map((c) => ['AccessKey', { Field: c.field, SearchCondition: c.condition, Key: c.key }]));
}

// One page of a controller's search: {rows, count, pages}.
export async function searchPage(cls, element, conditions, size, page) {
  const answer = await call(cls, 'queryOwnedElementsByXML', {
    ResultCount: 0, ResultPages: 0, CountPerPage: size, PageNumber: page, AccessKey: accessKeys(conditions),
  });
  return {
    rows: records(parseXml(answer.result), element),
    count: Number(answer.out.ResultCount) || 0,
    pages: Number(answer.out.ResultPages) || 0,
  };
}
