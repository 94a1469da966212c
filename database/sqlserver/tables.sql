-- KX tables for Microsoft SQL Server.
-- Safe to run again: every object is created only when it is missing, and nothing that
-- exists is changed.
-- `kx init` runs this script one statement at a time, cut at each ";" outside quotes and
-- comments (there are no GO lines): each statement below is one guard with the one CREATE
-- it guards.
-- Integer keys are identity columns assigned by the database; JB_TYPE_CODE is given by
-- the client.
-- Dates are datetime2(0): the component sends every date as the text "YYYY-MM-DD" or
-- "YYYY-MM-DD hh:mm:ss", which datetime2 reads as year, month, day whatever the language
-- and DATEFORMAT of the session (datetime would read "2024-03-05" as 3 May under a
-- day-month setting), and whose text form in a LIKE search is that same ISO text, as on
-- the other engines. Times of day are kept apart as HHMM numbers.
-- Texts are nvarchar of the widths the component declares: values arrive as Unicode text
-- and are kept whole, whatever the code page of the database's collation.
-- Names are unquoted; the database's collation is expected to be case-insensitive (SQL
-- Server's default), so that the component's mixed-case statements resolve to them.
-- Parent keys are plain indexed columns: the component removes children before
-- their parent itself, so there are no foreign key constraints.

-- One job order type: its code, name and category.
IF OBJECT_ID(N'JB_TYPE_PROFILE', N'U') IS NULL
CREATE TABLE JB_TYPE_PROFILE (
    JB_TYPE_CODE            nvarchar(20)    NOT NULL PRIMARY KEY,
    JB_TYPE_NAME            nvarchar(100),
    JB_TYPE_CATEGORY        nvarchar(2)
);

-- One transport job order issued to a vendor.
IF OBJECT_ID(N'JB_ORDER', N'U') IS NULL
CREATE TABLE JB_ORDER (
    JB_NO_ID int IDENTITY(1,1) NOT NULL PRIMARY KEY,
    JB_NO                   nvarchar(20),
    JB_CREATE_DATE          datetime2(0),
    LAST_UPDATE_DATE        datetime2(0),
    LAST_UPDATE_TIME        numeric(4,0),
    LAST_UPDATE_USER        nvarchar(16),
    JB_TYPE_CATEGORY        nvarchar(2),
    JB_TYPE_CODE            nvarchar(20),
    OFFICE_CODE             nvarchar(10),
    ISSUE_USER              nvarchar(16),
    ISSUE_FAX_NO            nvarchar(20),
    ISSUE_EMAIL_ADDRESS     nvarchar(20),
    ISSUE_DATE              datetime2(0),
    JB_STATE                smallint,
    JB_STATE_DATE           datetime2(0),
    JB_STATE_REMARK         nvarchar(256),
    VENDOR_CODE             nvarchar(8),
    VENDOR_NAME             nvarchar(50),
    VENDOR_CONTRACT_NO      nvarchar(20),
    IT_NUMBER               nvarchar(10),
    IT_TYPE                 nvarchar(2),
    BOUND_DIRECT            nvarchar(1),
    TRANSPORT_MODE          nvarchar(5),
    QUANTITY                int,
    FROM_PLACE              nvarchar(5),
    FROM_DEPOT              nvarchar(5),
    ESTIMATED_START_DATE    datetime2(0),
    ACTUAL_START_DATE       datetime2(0),
    TO_PLACE                nvarchar(5),
    TO_DEPOT                nvarchar(5),
    ESTIMATED_END_DATE      datetime2(0),
    ACTUAL_END_DATE         datetime2(0),
    TOTAL_ACTUAL_CURRENCY   nvarchar(3),
    TOTAL_ACTUAL_AMOUNT     numeric(9,3),
    TOTAL_INVOICE_CURRENCY  nvarchar(3),
    TOTAL_INVOICE_AMOUNT    numeric(9,3),
    COST_REMARK             nvarchar(256)
);

-- The job order number that users see is unique. (A unique index of SQL Server admits one
-- NULL only; the component's insert always passes the number as text, never NULL.)
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'JB_ORDER') AND name = N'UX_JB_ORDER_JB_NO')
CREATE UNIQUE INDEX UX_JB_ORDER_JB_NO ON JB_ORDER (JB_NO);
-- Orders are also looked up by their IT number, and searched by vendor.
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'JB_ORDER') AND name = N'IX_JB_ORDER_IT_NUMBER')
CREATE INDEX IX_JB_ORDER_IT_NUMBER ON JB_ORDER (IT_NUMBER);
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'JB_ORDER') AND name = N'IX_JB_ORDER_VENDOR_CODE')
CREATE INDEX IX_JB_ORDER_VENDOR_CODE ON JB_ORDER (VENDOR_CODE);

-- One container line of a job order: the container, its references, route,
-- cargo, handling progress, charges and invoice figures.
IF OBJECT_ID(N'JB_CONTAINER_DETAIL', N'U') IS NULL
CREATE TABLE JB_CONTAINER_DETAIL (
    JB_CONTAINER_DETAIL_ID int IDENTITY(1,1) NOT NULL PRIMARY KEY,
    JB_NO_ID                int,
    CONTAINER_PREFIX        nvarchar(10),
    CONTAINER_NO            nvarchar(20),
    EMPTY_FULL_FLAG         nvarchar(10),
    SOC_FLAG                nvarchar(10),
    BK_NO                   nvarchar(17),
    BL_NO                   nvarchar(17),
    ER_NO                   nvarchar(20),
    FROM_PLACE              nvarchar(5),
    TO_PLACE                nvarchar(5),
    SERVICE_MODE            nvarchar(10),
    CONTAINER_TYPE          nvarchar(10),
    CARGO_DESCRIPTION       nvarchar(2000),
    REEFER                  nvarchar(10),
    HAZARD                  nvarchar(10),
    PROCESS_STATE           smallint,
    PROCESS_DATE            datetime2(0),
    PROCESS_REMARKS         nvarchar(2000),
    LAST_ACTIVITY_CODE      nvarchar(10),
    LAST_ACTIVITY_DATE      datetime2(0),
    LAST_ACTIVITY_TIME      numeric(4,0),
    LAST_ACTIVITY_PLACE     nvarchar(10),
    CHARGE_CODE             nvarchar(10),
    CHARGE_QUANTITY         int,
    CHARGE_CURRENCY         nvarchar(3),
    CHARGE_TARIFF_RATE      numeric(9,3),
    CHARGE_TARIFF_AMOUNT    numeric(9,3),
    CHARGE_ACTUAL_RATE      nvarchar(20),
    CHARGE_ACTUAL_AMOUNT    numeric(9,3),
    INVOICE_CURRENCY        nvarchar(3),
    INVOICE_AMOUNT          numeric(9,3),
    INVOICE_NO              nvarchar(20)
);

IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'JB_CONTAINER_DETAIL') AND name = N'IX_JB_CONTAINER_DETAIL_JB_NO_ID')
CREATE INDEX IX_JB_CONTAINER_DETAIL_JB_NO_ID ON JB_CONTAINER_DETAIL (JB_NO_ID);

-- One diary entry of a job order: a user's note or a record of an edit or action.
IF OBJECT_ID(N'JB_DIARY', N'U') IS NULL
CREATE TABLE JB_DIARY (
    JB_DIARY_NO_ID int IDENTITY(1,1) NOT NULL PRIMARY KEY,
    JB_NO_ID                int,
    LAST_UPDATE_USER        nvarchar(16),
    LAST_UPDATE_DATE        datetime2(0),
    LAST_UPDATE_TIME        numeric(4,0),
    JB_DIARY_TEXT           nvarchar(4000),
    JB_DIARY_TYPE_IND       nvarchar(10),
    JB_DIARY_DATE           datetime2(0),
    JB_DIARY_TIME           numeric(4,0)
);

IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'JB_DIARY') AND name = N'IX_JB_DIARY_JB_NO_ID')
CREATE INDEX IX_JB_DIARY_JB_NO_ID ON JB_DIARY (JB_NO_ID);

-- One door appointment of a job order: when and where the vendor meets the customer.
IF OBJECT_ID(N'JB_DOOR_APPOINTMENT', N'U') IS NULL
CREATE TABLE JB_DOOR_APPOINTMENT (
    JB_DOOR_APPOINTMENT_ID int IDENTITY(1,1) NOT NULL PRIMARY KEY,
    BK_NO                   nvarchar(17),
    BL_NO                   nvarchar(17),
    CONTAINER_REMARKS       nvarchar(2000),
    CUSTOMER_NAME           nvarchar(100),
    APPOINTMENT_ADDRESS     nvarchar(500),
    CUSTOMER_CONTACTOR      nvarchar(50),
    APPOINTMENT_PHONE       nvarchar(30),
    APPOINTMENT_DATE        datetime2(0),
    APPOINTMENT_TIME        numeric(4,0),
    APPOINTMENT_REMARKS     nvarchar(2000),
    JB_NO_ID                int
);

IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'JB_DOOR_APPOINTMENT') AND name = N'IX_JB_DOOR_APPOINTMENT_JB_NO_ID')
CREATE INDEX IX_JB_DOOR_APPOINTMENT_JB_NO_ID ON JB_DOOR_APPOINTMENT (JB_NO_ID);

-- How a partner (a vendor) wants to be told about job orders: its fax number and e-mail
-- address per notification purpose (for example IJ, issued job orders) and method (FAX, EMAIL).
IF OBJECT_ID(N'PARTNER_NOTIFY_SETTING', N'U') IS NULL
CREATE TABLE PARTNER_NOTIFY_SETTING (
    VENDOR_CODE             nvarchar(8)     NOT NULL,
    NOTIFY_PURPOSE_IND      nvarchar(10)    NOT NULL,
    NOTIFY_METHOD_IND       nvarchar(10)    NOT NULL,
    FAX_NO                  nvarchar(20),
    EMAIL_ADDRESS           nvarchar(100),
    PRIMARY KEY (VENDOR_CODE, NOTIFY_PURPOSE_IND, NOTIFY_METHOD_IND)
);

-- The last serial number handed out per counter (usage, company, office and month); the
-- serial number generator raises it in one statement, so no two clients get the same number.
IF OBJECT_ID(N'KX_SERIAL_COUNTER', N'U') IS NULL
CREATE TABLE KX_SERIAL_COUNTER (
    COUNTER_KEY             nvarchar(100)   NOT NULL PRIMARY KEY,
    LAST_VALUE              int             NOT NULL
);

-- Container look-ups by booking, bill of lading, container and equipment receipt number: a search
-- of the orders by any of them finds the lines without reading them all.
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'JB_CONTAINER_DETAIL') AND name = N'IX_JB_CONTAINER_DETAIL_BK_NO')
CREATE INDEX IX_JB_CONTAINER_DETAIL_BK_NO ON JB_CONTAINER_DETAIL (BK_NO);
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'JB_CONTAINER_DETAIL') AND name = N'IX_JB_CONTAINER_DETAIL_BL_NO')
CREATE INDEX IX_JB_CONTAINER_DETAIL_BL_NO ON JB_CONTAINER_DETAIL (BL_NO);
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'JB_CONTAINER_DETAIL') AND name = N'IX_JB_CONTAINER_DETAIL_CONTAINER_NO')
CREATE INDEX IX_JB_CONTAINER_DETAIL_CONTAINER_NO ON JB_CONTAINER_DETAIL (CONTAINER_NO);
IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'JB_CONTAINER_DETAIL') AND name = N'IX_JB_CONTAINER_DETAIL_ER_NO')
CREATE INDEX IX_JB_CONTAINER_DETAIL_ER_NO ON JB_CONTAINER_DETAIL (ER_NO);

-- One container retrieving work file: the containers to retrieve for one source,
-- office, vessel and voyage, with its processing state.
IF OBJECT_ID(N'JB_CONTAINER_RETRIEVING_TEMP_FILE', N'U') IS NULL
CREATE TABLE JB_CONTAINER_RETRIEVING_TEMP_FILE (
    JB_IMPORT_CONTAINER_WORK_FILE_ID int IDENTITY(1,1) NOT NULL PRIMARY KEY,
    SOURCE_CATEGORY         nvarchar(10),
    OFFICE                  nvarchar(10),
    VESSEL_CODE             nvarchar(6),
    VOYAGE_NO               nvarchar(6),
    VOYAGE_LEG              nvarchar(1),
    BK_NO                   nvarchar(17),
    BL_NO                   nvarchar(17),
    ER_NO                   nvarchar(20),
    PROCESS_STATE           smallint,
    LAST_UPDATE_DATE        datetime2(0),
    LAST_UPDATE_TIME        numeric(4,0),
    LAST_UPDATE_USER        nvarchar(16)
);

-- One container line of a retrieving work file; HANDLED_FLAG is '1' once handled, else '0'.
IF OBJECT_ID(N'JB_CONTAINER_RETRIEVING_TEMP_DETAIL', N'U') IS NULL
CREATE TABLE JB_CONTAINER_RETRIEVING_TEMP_DETAIL (
    JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID int IDENTITY(1,1) NOT NULL PRIMARY KEY,
    FROM_PLACE              nvarchar(5),
    TO_PLACE                nvarchar(5),
    MOVEMENT_MODE           nvarchar(10),
    CONTAINER_PREFIX        nvarchar(10),
    CONTAINER_NO            nvarchar(20),
    CONTAINER_TYPE          nvarchar(10),
    EMPTY_FULL_FLAG         nvarchar(10),
    SOC_FLAG                nvarchar(10),
    BK_NO                   nvarchar(17),
    BL_NO                   nvarchar(17),
    ER_NO                   nvarchar(20),
    CARGO_DESCRIPTION       nvarchar(2000),
    REEFER                  nvarchar(10),
    HAZARD                  nvarchar(10),
    PLACE_ACCEPTANCE        nvarchar(5),
    POL                     nvarchar(5),
    POD                     nvarchar(5),
    PLACE_DELIVERY          nvarchar(5),
    HANDLED_FLAG            nvarchar(1),
    JB_IMPORT_CONTAINER_WORK_FILE_ID int
);

IF NOT EXISTS (SELECT 1 FROM sys.indexes WHERE object_id = OBJECT_ID(N'JB_CONTAINER_RETRIEVING_TEMP_DETAIL') AND name = N'IX_JB_CONTAINER_RETRIEVING_TEMP_DETAIL_FILE_ID')
CREATE INDEX IX_JB_CONTAINER_RETRIEVING_TEMP_DETAIL_FILE_ID ON JB_CONTAINER_RETRIEVING_TEMP_DETAIL (JB_IMPORT_CONTAINER_WORK_FILE_ID);
