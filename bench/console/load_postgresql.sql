-- Fills a PostgreSQL database made by `kx init` with the console benchmark's job orders (the rows
-- are load_rows.sql's), in one transaction:
--   psql -v ON_ERROR_STOP=1 -v orders=1000000 -f load_postgresql.sql
SET synchronous_commit = off;
SET maintenance_work_mem = '256MB';

BEGIN;

CREATE TEMP TABLE bench_day ON COMMIT DROP AS
  SELECT d, date '2023-01-01' + d AS day, date '2023-01-01' + d + 1 AS day1, date '2023-01-01' + d + 2 AS day2,
    date '2023-01-01' + d + 3 AS day3, date '2023-01-01' + d + 4 AS day4, date '1899-12-30' AS no_day
  FROM generate_series(0, 1100) AS d;
ALTER TABLE bench_day ADD PRIMARY KEY (d);

\ir load_rows.sql

-- The keys of orders and lines were given: the identity columns continue after them.
SELECT setval(pg_get_serial_sequence('jb_order', 'jb_no_id'), (SELECT max(jb_no_id) FROM jb_order));
SELECT setval(pg_get_serial_sequence('jb_container_detail', 'jb_container_detail_id'),
              (SELECT max(jb_container_detail_id) FROM jb_container_detail));

COMMIT;

-- What autovacuum would have done by the time such tables are searched: statistics for the
-- planner and a visibility map for index-only scans.
VACUUM (ANALYZE) jb_order, jb_container_detail, jb_diary, jb_door_appointment, jb_type_profile;
