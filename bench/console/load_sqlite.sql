-- Fills an SQLite database made by `kx init` with the console benchmark's job orders (the rows are
-- load_rows.sql's), in one transaction; run from this folder:
--   sqlite3 -bail DB -cmd '.parameter set :orders 1000000' < load_sqlite.sql
-- AUTOINCREMENT moves sqlite_sequence past the keys given by itself.
PRAGMA journal_mode=OFF;
PRAGMA synchronous=OFF;
PRAGMA cache_size=-1000000;

BEGIN;

-- Dates are kept as 'YYYY-MM-DD' text.
CREATE TEMP TABLE bench_day AS
  WITH RECURSIVE n(d) AS (SELECT 0 UNION ALL SELECT d + 1 FROM n WHERE d < 1100)
  SELECT d, date('2023-01-01', '+' || d || ' days') AS day, date('2023-01-01', '+' || (d + 1) || ' days') AS day1,
    date('2023-01-01', '+' || (d + 2) || ' days') AS day2, date('2023-01-01', '+' || (d + 3) || ' days') AS day3,
    date('2023-01-01', '+' || (d + 4) || ' days') AS day4, '1899-12-30' AS no_day
  FROM n;
CREATE UNIQUE INDEX temp.bench_day_d ON bench_day (d);

.read load_rows.sql

COMMIT;
PRAGMA journal_mode=WAL;
