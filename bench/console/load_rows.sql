-- The rows of the console benchmark, in SQL that SQLite and PostgreSQL both run. It is read by
-- load_sqlite.sql and load_postgresql.sql, which open the transaction, bind :orders (the number of
-- orders) and make the temporary table bench_day: d (0..1100), day (2023-01-01 plus d days), day1
-- to day4 (one to four days later) and no_day (1899-12-30, the component's "no date"), in the
-- engine's own date type.
--
-- Every value is a function of the order's key, so that the benchmark knows what each search must
-- find (bench/console/data.mjs holds the same rules; change both together):
--   order i (1..:orders): JB_NO 'KX' || office || i in 8 digits; office one of 20, by (i / 7) % 20;
--     vendor by h = (i * 7919 + 13) % 1000: h < 500 gives one of the 20 large vendors V0001..V0020
--     (h % 20 + 1), else V(h - 499); so each large vendor holds about 2.6% of the orders and each
--     of V0021..V0500 about 0.1%; state by i % 20: 0..2 new (0), 3..17 issued (1), 18..19
--     cancelled (4); created over three years in key order;
--   container lines 2i-1 and 2i of order i: container number (line * 3571) mod 10^7 in 7 digits,
--     distinct for up to 5,000,000 orders; booking and bill of lading 'BK'/'BL' || i in 9 digits;
--   every 50th order has three diary entries, every 200th a door appointment.
-- Orders and lines get their keys here; diary entries and appointments take the next ones.

INSERT INTO JB_TYPE_PROFILE (JB_TYPE_CODE, JB_TYPE_NAME, JB_TYPE_CATEGORY) VALUES
  ('TRUCK', 'Truck haulage', 'TR'), ('BARGE', 'Barge transfer', 'BG'), ('RAIL', 'Rail transfer', 'RL')
ON CONFLICT DO NOTHING;

WITH RECURSIVE n(i) AS (SELECT CAST(1 AS BIGINT) UNION ALL SELECT i + 1 FROM n WHERE i < :orders),
o AS (
  SELECT i,
    substr('HKGSZXYTNSHANGBTAOXMNCANSINPUSTYOOSAKHHTPEBKKSGNMNLJKTPKGDXB', CAST((i / 7) % 20 * 3 + 1 AS INTEGER), 3) AS office,
    (i * 7919 + 13) % 1000 AS h,
    CASE WHEN i % 20 < 3 THEN 0 WHEN i % 20 < 18 THEN 1 ELSE 4 END AS state,
    CASE WHEN i % 10 < 7 THEN 0 WHEN i % 10 < 9 THEN 1 ELSE 2 END AS kind,
    substr('HKHKGCNSZXCNYTNCNSHACNNGBCNTAOCNXMNCNCAN', CAST(i % 8 * 5 + 1 AS INTEGER), 5) AS origin,
    substr('USLAXUSLGBUSNYCNLRTMDEHAMGBFXTSGSINAUSYD', CAST((i / 3) % 8 * 5 + 1 AS INTEGER), 5) AS destination
  FROM n
),
v AS (
  SELECT o.*, c.*, 'V' || substr(CAST(10000 + CASE WHEN h < 500 THEN h % 20 + 1 ELSE h - 499 END AS TEXT), 2) AS vendor
  FROM o JOIN bench_day c ON c.d = (i - 1) * 1095 / :orders
)
INSERT INTO JB_ORDER (
  JB_NO_ID, JB_NO, JB_CREATE_DATE, LAST_UPDATE_DATE, LAST_UPDATE_TIME, LAST_UPDATE_USER,
  JB_TYPE_CATEGORY, JB_TYPE_CODE, OFFICE_CODE, ISSUE_USER, ISSUE_FAX_NO, ISSUE_EMAIL_ADDRESS,
  ISSUE_DATE, JB_STATE, JB_STATE_DATE, JB_STATE_REMARK, VENDOR_CODE, VENDOR_NAME, VENDOR_CONTRACT_NO,
  IT_NUMBER, IT_TYPE, BOUND_DIRECT, TRANSPORT_MODE, QUANTITY, FROM_PLACE, FROM_DEPOT,
  ESTIMATED_START_DATE, ACTUAL_START_DATE, TO_PLACE, TO_DEPOT, ESTIMATED_END_DATE, ACTUAL_END_DATE,
  TOTAL_ACTUAL_CURRENCY, TOTAL_ACTUAL_AMOUNT, TOTAL_INVOICE_CURRENCY, TOTAL_INVOICE_AMOUNT, COST_REMARK)
SELECT i, 'KX' || office || substr(CAST(100000000 + i AS TEXT), 2), day, day, 800 + i % 10 * 100 + i % 60,
  'clerk' || (i % 40), substr('TRBGRL', kind * 2 + 1, 2),
  CASE kind WHEN 0 THEN 'TRUCK' WHEN 1 THEN 'BARGE' ELSE 'RAIL' END, office,
  CASE WHEN state = 0 THEN '' ELSE 'clerk' || (i % 40) END,
  CASE WHEN state = 0 THEN ''
    ELSE '852-' || substr(CAST(10000 + i % 9973 AS TEXT), 2) || '-' || substr(CAST(10000 + i % 7919 AS TEXT), 2) END,
  CASE WHEN state = 0 THEN '' ELSE lower(vendor) || '@vendor.test' END,
  CASE WHEN state = 0 THEN no_day ELSE day1 END, state, CASE WHEN state = 0 THEN day ELSE day1 END,
  CASE WHEN state = 4 THEN 'cancelled by the customer' ELSE '' END,
  vendor, 'Vendor ' || vendor || ' Trucking Ltd', 'C-' || vendor || '-2023',
  'IT' || substr(CAST(100000000 + i AS TEXT), 2), CASE WHEN i % 2 = 0 THEN 'IM' ELSE 'EX' END,
  CASE WHEN i % 2 = 0 THEN 'I' ELSE 'O' END, CASE kind WHEN 0 THEN 'TRK' WHEN 1 THEN 'BRG' ELSE 'RAL' END, 2,
  origin, 'D' || (i % 40), day2, no_day, destination, 'D' || (i % 37), day3, no_day,
  'USD', 150 + i % 850 + 0.25, 'USD', 180 + i % 900 + 0.5,
  CASE WHEN i % 5 = 0 THEN 'door delivery' ELSE '' END
FROM v;

WITH RECURSIVE n(k) AS (SELECT CAST(1 AS BIGINT) UNION ALL SELECT k + 1 FROM n WHERE k < 2 * :orders),
l AS (SELECT k, (k + 1) / 2 AS i, CAST(k % 6 AS INTEGER) AS t FROM n)
INSERT INTO JB_CONTAINER_DETAIL (
  JB_CONTAINER_DETAIL_ID, JB_NO_ID, CONTAINER_PREFIX, CONTAINER_NO, EMPTY_FULL_FLAG, SOC_FLAG, BK_NO, BL_NO,
  ER_NO, FROM_PLACE, TO_PLACE, SERVICE_MODE, CONTAINER_TYPE, CARGO_DESCRIPTION, REEFER, HAZARD,
  PROCESS_STATE, PROCESS_DATE, PROCESS_REMARKS, LAST_ACTIVITY_CODE, LAST_ACTIVITY_DATE, LAST_ACTIVITY_TIME,
  LAST_ACTIVITY_PLACE, CHARGE_CODE, CHARGE_QUANTITY, CHARGE_CURRENCY, CHARGE_TARIFF_RATE,
  CHARGE_TARIFF_AMOUNT, CHARGE_ACTUAL_RATE, CHARGE_ACTUAL_AMOUNT, INVOICE_CURRENCY, INVOICE_AMOUNT, INVOICE_NO)
SELECT k, i, substr('KXDUTGHUMSKUCMAUOOLUTCNUSEGUFCIU', CAST(k * 31 % 8 * 4 + 1 AS INTEGER), 4),
  substr(CAST(10000000 + k * 3571 % 10000000 AS TEXT), 2),
  CASE WHEN k % 9 = 0 THEN 'E' ELSE 'F' END, 'N',
  'BK' || substr(CAST(1000000000 + i AS TEXT), 2), 'BL' || substr(CAST(1000000000 + i AS TEXT), 2), '',
  substr('HKHKGCNSZXCNYTNCNSHACNNGBCNTAOCNXMNCNCAN', CAST(i % 8 * 5 + 1 AS INTEGER), 5),
  substr('USLAXUSLGBUSNYCNLRTMDEHAMGBFXTSGSINAUSYD', CAST((i / 3) % 8 * 5 + 1 AS INTEGER), 5), 'CY',
  substr('20GP40GP40HC45HC20RF40RF', t * 4 + 1, 4),
  CASE t WHEN 0 THEN 'garments' WHEN 1 THEN 'furniture' WHEN 2 THEN 'electronics' WHEN 3 THEN 'toys'
    ELSE 'frozen fish' END,
  CASE WHEN t >= 4 THEN 'Y' ELSE 'N' END, CASE WHEN k % 97 = 0 THEN 'Y' ELSE 'N' END,
  0, c.no_day, '', '', c.no_day, 0, '', '', 0, '', 0, 0, '', 0, '', 0, ''
FROM l JOIN bench_day c ON c.d = 0;

WITH RECURSIVE n(i) AS (SELECT CAST(50 AS BIGINT) UNION ALL SELECT i + 50 FROM n WHERE i + 50 <= :orders),
e(j, kind, words) AS (VALUES (0, 'EDIT', 'Add JBOrder JBNoId ='), (1, 'ACTION', 'Issue JBOrder JBNoId = '),
                             (2, 'MEMO', 'Driver to call the consignee an hour ahead, order '))
INSERT INTO JB_DIARY (JB_NO_ID, LAST_UPDATE_USER, LAST_UPDATE_DATE, LAST_UPDATE_TIME, JB_DIARY_TEXT,
  JB_DIARY_TYPE_IND, JB_DIARY_DATE, JB_DIARY_TIME)
SELECT i, 'clerk' || (i % 40), c.day, 900 + j * 100, e.words || i, e.kind, c.day, 900 + j * 100
FROM n CROSS JOIN e JOIN bench_day c ON c.d = (i - 1) * 1095 / :orders + j
ORDER BY i, j;

WITH RECURSIVE n(i) AS (SELECT CAST(200 AS BIGINT) UNION ALL SELECT i + 200 FROM n WHERE i + 200 <= :orders)
INSERT INTO JB_DOOR_APPOINTMENT (BK_NO, BL_NO, CONTAINER_REMARKS, CUSTOMER_NAME, APPOINTMENT_ADDRESS,
  CUSTOMER_CONTACTOR, APPOINTMENT_PHONE, APPOINTMENT_DATE, APPOINTMENT_TIME, APPOINTMENT_REMARKS, JB_NO_ID)
SELECT 'BK' || substr(CAST(1000000000 + i AS TEXT), 2), 'BL' || substr(CAST(1000000000 + i AS TEXT), 2),
  'both containers', 'Customer ' || (i % 997), (i % 300) || ' Harbour Road', 'Contact ' || (i % 50),
  '852-' || substr(CAST(10000 + i % 9973 AS TEXT), 2) || '-' || substr(CAST(10000 + i % 7919 AS TEXT), 2),
  c.day4, 1000 + i % 8 * 100, 'call ahead', i
FROM n JOIN bench_day c ON c.d = (i - 1) * 1095 / :orders;
