// Parses what KX sends to SQL Server with a T-SQL parser (node-sql-parser, dialect transactsql):
//
//   (a) every statement of statements.sql beside this file (the statements of a client's calls, as
//       tests/sqlserver_text_test.cpp writes them), each "?" given a text literal;
//   (b) every statement of database/sqlserver/tables.sql and procedures.sql, cut as `kx init` cuts
//       them (at each ";" outside quotes and comments, comments left out). The parser reads the
//       guards (IF ...) and the EXEC that creates a procedure, but not CREATE PROCEDURE itself nor a
//       RETURN with an expression: of each procedure it parses the parameter list as a DECLARE, each
//       statement of the body on its own, and the expression of the RETURN as a SELECT.
//
// Prints what it parsed and every failure, and exits 1 when any statement does not parse.
//
//     node check.mjs [STATEMENTS_FILE]
import { readFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';
import parser from 'node-sql-parser';

const here = dirname(fileURLToPath(import.meta.url));
const source = join(here, '..', '..');
const statementsFile = process.argv[2] ?? join(here, 'statements.sql');
const sql = new parser.Parser();
const options = { database: 'transactsql' };

// Statements KX sends that are T-SQL but that the parser does not read, each with the reason: they
// are checked by their golden text alone. The check names them on every run and fails once one of
// them parses or is no longer sent, so that an entry does not outlive its reason.
const notTSql = new Map([
  [
    'MERGE KX_SERIAL_COUNTER WITH (HOLDLOCK) AS c USING (SELECT ? AS COUNTER_KEY) AS s ON c.COUNTER_KEY = ' +
      's.COUNTER_KEY WHEN MATCHED THEN UPDATE SET LAST_VALUE = c.LAST_VALUE + 1 WHEN NOT MATCHED THEN INSERT ' +
      '(COUNTER_KEY, LAST_VALUE) VALUES (s.COUNTER_KEY, 1) OUTPUT inserted.LAST_VALUE;',
    'the serial number counter: MERGE (SQL Server 2008 and later) is not in the parser\'s T-SQL grammar',
  ],
]);

const failures = [];
let parsed = 0;

// Parses `text`; a failure is noted under `name`, with the parser's reason.
function parse(name, text) {
  try {
    sql.astify(text, options);
    parsed++;
    return true;
  } catch (e) {
    failures.push(`${name}: ${e.message.split('\n')[0].slice(0, 300)}\n    ${oneLine(text).slice(0, 400)}`);
    return false;
  }
}

function oneLine(text) {
  return text.replace(/\s+/g, ' ').trim();
}

// The end of the quoted text, quoted name or comment that begins at `i` (T-SQL's rules: a doubled
// quote stands for itself, block comments do not nest), or `i` when none begins there.
function skip(text, i) {
  const c = text[i];
  const next = text[i + 1];
  if (c === '-' && next === '-') {
    const end = text.indexOf('\n', i);
    return end < 0 ? text.length : end;
  }
  if (c === '/' && next === '*') {
    const end = text.indexOf('*/', i + 2);
    return end < 0 ? text.length : end + 2;
  }
  const close = { "'": "'", '"': '"', '[': ']' }[c];
  if (!close) return i;
  for (let j = i + 1; j < text.length; j++) {
    if (text[j] !== close) continue;
    if (close !== ']' && text[j + 1] === close) {
      j++;
      continue;
    }
    return j + 1;
  }
  return text.length;
}

// The statements of a script: cut at each ";" outside quotes and comments, comments left out.
function statementsOf(text) {
  const out = [];
  let current = '';
  for (let i = 0; i < text.length; ) {
    const end = skip(text, i);
    if (end !== i) {
      current += text[i] === '-' || text[i] === '/' ? ' ' : text.slice(i, end);
      i = end;
    } else if (text[i] === ';') {
      if (current.trim()) out.push(current.trim());
      current = '';
      i++;
    } else {
      current += text[i++];
    }
  }
  if (current.trim()) out.push(current.trim());
  return out;
}

// `text` with each "?" outside quotes and comments replaced by a text literal.
function withLiterals(text) {
  let out = '';
  for (let i = 0; i < text.length; ) {
    const end = skip(text, i);
    if (end !== i) {
      out += text.slice(i, end);
      i = end;
    } else {
      out += text[i] === '?' ? "'0'" : text[i];
      i++;
    }
  }
  return out;
}

// (a) The statements of the calls: entries ended by a line "GO", each under a comment naming its call.
const entries = [];
let call = '';
let lines = [];
for (const line of readFileSync(statementsFile, 'utf8').split('\n')) {
  if (line === 'GO') {
    entries.push({ call, text: lines.join('\n') });
    lines = [];
  } else if (lines.length === 0 && line.startsWith('-- ')) {
    call = line.slice(3);
  } else if (line !== '' || lines.length > 0) {
    lines.push(line);
  }
}
if (entries.length === 0) failures.push(`${statementsFile}: no statements`);
const stillSent = new Set();
entries.forEach(({ call: name, text }, index) => {
  const label = `${statementsFile} #${index + 1} (${name})`;
  const reason = notTSql.get(text);
  if (reason === undefined) {
    // T-SQL's DELETE takes FROM or leaves it out; the parser reads only the first form.
    parse(label, withLiterals(text).replace(/^Delete (\w+) /, 'DELETE FROM $1 '));
    return;
  }
  try {
    sql.astify(withLiterals(text), options);
    failures.push(`${label} parses now: take it out of the list of statements the parser does not read`);
  } catch {
    if (!stillSent.has(text)) console.log(`NOT READ BY THE PARSER (known): ${label}\n    ${text}\n    ${reason}`);
  }
  stillSent.add(text);
});
for (const text of notTSql.keys())
  if (!stillSent.has(text)) failures.push(`no longer sent, take it out of the list of statements the parser does not read: ${text}`);
console.log(`${entries.length} statements of the calls read from ${statementsFile}`);

// (b) The scripts.
const tables = statementsOf(readFileSync(join(source, 'database/sqlserver/tables.sql'), 'utf8'));
tables.forEach((text, index) => parse(`tables.sql statement ${index + 1}`, text));
if (tables.length < 10) failures.push(`tables.sql: ${tables.length} statements, expected the tables and indexes`);

const procedures = statementsOf(readFileSync(join(source, 'database/sqlserver/procedures.sql'), 'utf8'));
if (procedures.length === 0) failures.push('procedures.sql: no statements');
procedures.forEach((text, index) => {
  const label = `procedures.sql statement ${index + 1}`;
  parse(label, text);
  const exec = /EXEC\s*\(\s*N'((?:[^']|'')*)'\s*\)\s*$/.exec(text);
  if (!exec) {
    failures.push(`${label}: no EXEC (N'CREATE PROCEDURE ...') at its end`);
    return;
  }
  const created = exec[1].replace(/''/g, "'");
  const shape = /^\s*CREATE\s+PROCEDURE\s+(\w+)\s+([\s\S]*?)\s+AS\s+BEGIN\s+([\s\S]*?)\s*END\s*$/i.exec(created);
  if (!shape) {
    failures.push(`${label}: the EXEC does not hold CREATE PROCEDURE name parameters AS BEGIN ... END`);
    return;
  }
  const [, name, parameters, body] = shape;
  parse(`${name} parameters`, `DECLARE ${parameters}`);
  statementsOf(body).forEach((statement, n) => {
    const returned = /^RETURN\s+([\s\S]+)$/i.exec(statement);
    parse(`${name} body statement ${n + 1}`, returned ? `SELECT ${returned[1]}` : statement);
  });
});
console.log(`${tables.length} statements of tables.sql and ${procedures.length} of procedures.sql read`);
console.log('Not parsed by the parser, read by their parts instead: CREATE PROCEDURE and BEGIN ... END ' +
  '(parameters as DECLARE, body statement by statement), RETURN (its expression as SELECT).');

for (const failure of failures) console.log(`FAILED ${failure}`);
console.log(`${parsed} statements parsed, ${failures.length} failures`);
process.exit(failures.length ? 1 : 0);
