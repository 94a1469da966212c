// The rows load_rows.sql puts in place (for load_sqlite.sql and load_postgresql.sql), as functions of an
// order's key, so that the benchmark knows what each search must answer. Keep them in step with
// the scripts.

const OFFICES = 'HKGSZXYTNSHANGBTAOXMNCANSINPUSTYOOSAKHHTPEBKKSGNMNLJKTPKGDXB';

// The vendors that hold the most orders: V0001..V0020.
export const LARGE_VENDORS = 20;

const pad = (n, width) => String(n).padStart(width, '0');

export function vendorOf(order) {
  const h = (order * 7919 + 13) % 1000;
  return `V${pad(h < 500 ? (h % 20) + 1 : h - 499, 4)}`;
}

export function jbNoOf(order) {
  const k = Math.floor(order / 7) % 20;
  return `KX${OFFICES.slice(k * 3, k * 3 + 3)}${pad(order, 8)}`;
}

// Order `order` has the container lines 2 * order - 1 and 2 * order.
export function containerNoOf(line) {
  return pad((line * 3571) % 10000000, 7);
}

// Container numbers stay distinct while the line keys stay below 10^7.
export const MAX_ORDERS = 5000000;
