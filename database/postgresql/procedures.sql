-- KX insert procedures for PostgreSQL.
-- Run after tables.sql; safe to run again.
-- Each function inserts one row from its parameters, in the order the component
-- passes them, and returns the key the database assigned. The component calls
-- them as SELECT jb_orderinsproc($1, ..., $n) with untyped text (or NULL)
-- arguments, so every name must stay unique: one function per name, no overloads.

-- Inserts one job order and returns its new JB_NO_ID.
CREATE OR REPLACE FUNCTION JB_ORDERInsProc(
    p_jb_no                   varchar(20),
    p_jb_create_date          timestamp,
    p_last_update_date        timestamp,
    p_last_update_time        numeric(4,0),
    p_last_update_user        varchar(16),
    p_jb_type_category        varchar(2),
    p_jb_type_code            varchar(20),
    p_office_code             varchar(10),
    p_issue_user              varchar(16),
    p_issue_fax_no            varchar(20),
    p_issue_email_address     varchar(20),
    p_issue_date              timestamp,
    p_jb_state                smallint,
    p_jb_state_date           timestamp,
    p_jb_state_remark         varchar(256),
    p_vendor_code             varchar(8),
    p_vendor_name             varchar(50),
    p_vendor_contract_no      varchar(20),
    p_it_number               varchar(10),
    p_it_type                 varchar(2),
    p_bound_direct            varchar(1),
    p_transport_mode          varchar(5),
    p_quantity                integer,
    p_from_place              varchar(5),
    p_from_depot              varchar(5),
    p_estimated_start_date    timestamp,
    p_actual_start_date       timestamp,
    p_to_place                varchar(5),
    p_to_depot                varchar(5),
    p_estimated_end_date      timestamp,
    p_actual_end_date         timestamp,
    p_total_actual_currency   varchar(3),
    p_total_actual_amount     numeric(9,3),
    p_total_invoice_currency  varchar(3),
    p_total_invoice_amount    numeric(9,3),
    p_cost_remark             varchar(256)
) RETURNS integer
LANGUAGE sql
AS $$
    INSERT INTO JB_ORDER (
        JB_NO, JB_CREATE_DATE, LAST_UPDATE_DATE, LAST_UPDATE_TIME,
        LAST_UPDATE_USER, JB_TYPE_CATEGORY, JB_TYPE_CODE, OFFICE_CODE,
        ISSUE_USER, ISSUE_FAX_NO, ISSUE_EMAIL_ADDRESS, ISSUE_DATE,
        JB_STATE, JB_STATE_DATE, JB_STATE_REMARK, VENDOR_CODE,
        VENDOR_NAME, VENDOR_CONTRACT_NO, IT_NUMBER, IT_TYPE,
        BOUND_DIRECT, TRANSPORT_MODE, QUANTITY, FROM_PLACE,
        FROM_DEPOT, ESTIMATED_START_DATE, ACTUAL_START_DATE, TO_PLACE,
        TO_DEPOT, ESTIMATED_END_DATE, ACTUAL_END_DATE, TOTAL_ACTUAL_CURRENCY,
        TOTAL_ACTUAL_AMOUNT, TOTAL_INVOICE_CURRENCY, TOTAL_INVOICE_AMOUNT, COST_REMARK
    ) VALUES (
        p_jb_no, p_jb_create_date, p_last_update_date, p_last_update_time,
        p_last_update_user, p_jb_type_category, p_jb_type_code, p_office_code,
        p_issue_user, p_issue_fax_no, p_issue_email_address, p_issue_date,
        p_jb_state, p_jb_state_date, p_jb_state_remark, p_vendor_code,
        p_vendor_name, p_vendor_contract_no, p_it_number, p_it_type,
        p_bound_direct, p_transport_mode, p_quantity, p_from_place,
        p_from_depot, p_estimated_start_date, p_actual_start_date, p_to_place,
        p_to_depot, p_estimated_end_date, p_actual_end_date, p_total_actual_currency,
        p_total_actual_amount, p_total_invoice_currency, p_total_invoice_amount, p_cost_remark
    )
    RETURNING JB_NO_ID
$$;

-- Remove any other jb_orderinsproc left by an earlier parameter list,
-- so that a call with untyped arguments resolves to the one function above.
DO $$
DECLARE
    stale regprocedure;
BEGIN
    FOR stale IN
        SELECT p.oid::regprocedure
          FROM pg_proc p
         WHERE p.proname = 'jb_orderinsproc'
           AND p.pronamespace = (SELECT n.oid FROM pg_namespace n WHERE n.nspname = current_schema())
           AND p.oid <> 'jb_orderinsproc(varchar,timestamp,timestamp,numeric,varchar,varchar,varchar,varchar,varchar,varchar,varchar,timestamp,smallint,timestamp,varchar,varchar,varchar,varchar,varchar,varchar,varchar,varchar,integer,varchar,varchar,timestamp,timestamp,varchar,varchar,timestamp,timestamp,varchar,numeric,varchar,numeric,varchar)'::regprocedure
    LOOP
        EXECUTE 'DROP FUNCTION ' || stale::text;
    END LOOP;
END
$$;

-- Inserts one container retrieving work file and returns its new
-- JB_IMPORT_CONTAINER_WORK_FILE_ID.
CREATE OR REPLACE FUNCTION JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc(
    p_source_category   varchar(10),
    p_office            varchar(10),
    p_vessel_code       varchar(6),
    p_voyage_no         varchar(6),
    p_voyage_leg        varchar(1),
    p_bk_no             varchar(17),
    p_bl_no             varchar(17),
    p_er_no             varchar(20),
    p_process_state     smallint,
    p_last_update_date  timestamp,
    p_last_update_time  numeric(4,0),
    p_last_update_user  varchar(16)
) RETURNS integer
LANGUAGE sql
AS $$
    INSERT INTO JB_CONTAINER_RETRIEVING_TEMP_FILE (
        SOURCE_CATEGORY, OFFICE, VESSEL_CODE, VOYAGE_NO,
        VOYAGE_LEG, BK_NO, BL_NO, ER_NO,
        PROCESS_STATE, LAST_UPDATE_DATE, LAST_UPDATE_TIME, LAST_UPDATE_USER
    ) VALUES (
        p_source_category, p_office, p_vessel_code, p_voyage_no,
        p_voyage_leg, p_bk_no, p_bl_no, p_er_no,
        p_process_state, p_last_update_date, p_last_update_time, p_last_update_user
    )
    RETURNING JB_IMPORT_CONTAINER_WORK_FILE_ID
$$;

-- Remove any other jb_container_retrieving_temp_fileinsproc left by an earlier parameter list,
-- so that a call with untyped arguments resolves to the one function above.
DO $$
DECLARE
    stale regprocedure;
BEGIN
    FOR stale IN
        SELECT p.oid::regprocedure
          FROM pg_proc p
         WHERE p.proname = 'jb_container_retrieving_temp_fileinsproc'
           AND p.pronamespace = (SELECT n.oid FROM pg_namespace n WHERE n.nspname = current_schema())
           AND p.oid <> 'jb_container_retrieving_temp_fileinsproc(varchar,varchar,varchar,varchar,varchar,varchar,varchar,varchar,smallint,timestamp,numeric,varchar)'::regprocedure
    LOOP
        EXECUTE 'DROP FUNCTION ' || stale::text;
    END LOOP;
END
$$;

-- Searches compare numbers and dates with LIKE the way SQL Server does, through their text form:
-- "JB_STATE like '%1%'" reads the state as text. These operators give PostgreSQL the same reading.
CREATE OR REPLACE FUNCTION KX_NUMERIC_LIKE(numeric, text) RETURNS boolean
    LANGUAGE sql IMMUTABLE AS $$ SELECT $1::text LIKE $2 $$;
CREATE OR REPLACE FUNCTION KX_TIMESTAMP_LIKE(timestamp, text) RETURNS boolean
    LANGUAGE sql IMMUTABLE AS $$ SELECT $1::text LIKE $2 $$;
DO $$
BEGIN
    IF NOT EXISTS (SELECT 1 FROM pg_operator
                   WHERE oprname = '~~' AND oprleft = 'numeric'::regtype AND oprright = 'text'::regtype) THEN
        CREATE OPERATOR ~~ (LEFTARG = numeric, RIGHTARG = text, FUNCTION = KX_NUMERIC_LIKE);
    END IF;
    IF NOT EXISTS (SELECT 1 FROM pg_operator
                   WHERE oprname = '~~' AND oprleft = 'timestamp'::regtype AND oprright = 'text'::regtype) THEN
        CREATE OPERATOR ~~ (LEFTARG = timestamp, RIGHTARG = text, FUNCTION = KX_TIMESTAMP_LIKE);
    END IF;
END
$$;
