PRAGMA journal_mode=WAL;

-- KX tables for SQLite.
-- Safe to run again: every object is created only when it is missing.
-- Integer keys are assigned by the database; JB_TYPE_CODE is given by the client.
-- Dates are DATETIME; times of day are kept apart as HHMM numbers.
-- Parent keys are plain indexed columns: the component removes children before
-- their parent itself, so there are no foreign key constraints.

-- One job order type: its code, name and category.
CREATE TABLE IF NOT EXISTS JB_TYPE_PROFILE (
    JB_TYPE_CODE            VARCHAR(20)     NOT NULL PRIMARY KEY,
    JB_TYPE_NAME            VARCHAR(100),
    JB_TYPE_CATEGORY        VARCHAR(2)
);

-- One transport job order issued to a vendor.
CREATE TABLE IF NOT EXISTS JB_ORDER (
    JB_NO_ID                INTEGER PRIMARY KEY AUTOINCREMENT,
    JB_NO                   VARCHAR(20),
    JB_CREATE_DATE          DATETIME,
    LAST_UPDATE_DATE        DATETIME,
    LAST_UPDATE_TIME        NUMERIC(4,0),
    LAST_UPDATE_USER        VARCHAR(16),
    JB_TYPE_CATEGORY        VARCHAR(2),
    JB_TYPE_CODE            VARCHAR(20),
    OFFICE_CODE             VARCHAR(10),
    ISSUE_USER              VARCHAR(16),
    ISSUE_FAX_NO            VARCHAR(20),
    ISSUE_EMAIL_ADDRESS     VARCHAR(20),
    ISSUE_DATE              DATETIME,
    JB_STATE                INTEGER,
    JB_STATE_DATE           DATETIME,
    JB_STATE_REMARK         VARCHAR(256),
    VENDOR_CODE             VARCHAR(8),
    VENDOR_NAME             VARCHAR(50),
    VENDOR_CONTRACT_NO      VARCHAR(20),
    IT_NUMBER               VARCHAR(10),
    IT_TYPE                 VARCHAR(2),
    BOUND_DIRECT            VARCHAR(1),
    TRANSPORT_MODE          VARCHAR(5),
    QUANTITY                INTEGER,
    FROM_PLACE              VARCHAR(5),
    FROM_DEPOT              VARCHAR(5),
    ESTIMATED_START_DATE    DATETIME,
    ACTUAL_START_DATE       DATETIME,
    TO_PLACE                VARCHAR(5),
    TO_DEPOT                VARCHAR(5),
    ESTIMATED_END_DATE      DATETIME,
    ACTUAL_END_DATE         DATETIME,
    TOTAL_ACTUAL_CURRENCY   VARCHAR(3),
    TOTAL_ACTUAL_AMOUNT     NUMERIC(9,3),
    TOTAL_INVOICE_CURRENCY  VARCHAR(3),
    TOTAL_INVOICE_AMOUNT    NUMERIC(9,3),
    COST_REMARK             VARCHAR(256)
);

-- The job order number that users see is unique.
CREATE UNIQUE INDEX IF NOT EXISTS UX_JB_ORDER_JB_NO ON JB_ORDER (JB_NO);
-- Orders are also looked up by their IT number, and searched by vendor.
CREATE INDEX IF NOT EXISTS IX_JB_ORDER_IT_NUMBER ON JB_ORDER (IT_NUMBER);
CREATE INDEX IF NOT EXISTS IX_JB_ORDER_VENDOR_CODE ON JB_ORDER (VENDOR_CODE);

-- One container line of a job order: the container, its references, route,
-- cargo, handling progress, charges and invoice figures.
CREATE TABLE IF NOT EXISTS JB_CONTAINER_DETAIL (
    JB_CONTAINER_DETAIL_ID  INTEGER PRIMARY KEY AUTOINCREMENT,
    JB_NO_ID                INTEGER,
    CONTAINER_PREFIX        VARCHAR(10),
    CONTAINER_NO            VARCHAR(20),
    EMPTY_FULL_FLAG         VARCHAR(10),
    SOC_FLAG                VARCHAR(10),
    BK_NO                   VARCHAR(17),
    BL_NO                   VARCHAR(17),
    ER_NO                   VARCHAR(20),
    FROM_PLACE              VARCHAR(5),
    TO_PLACE                VARCHAR(5),
    SERVICE_MODE            VARCHAR(10),
    CONTAINER_TYPE          VARCHAR(10),
    CARGO_DESCRIPTION       VARCHAR(2000),
    REEFER                  VARCHAR(10),
    HAZARD                  VARCHAR(10),
    PROCESS_STATE           INTEGER,
    PROCESS_DATE            DATETIME,
    PROCESS_REMARKS         VARCHAR(2000),
    LAST_ACTIVITY_CODE      VARCHAR(10),
    LAST_ACTIVITY_DATE      DATETIME,
    LAST_ACTIVITY_TIME      NUMERIC(4,0),
    LAST_ACTIVITY_PLACE     VARCHAR(10),
    CHARGE_CODE             VARCHAR(10),
    CHARGE_QUANTITY         INTEGER,
    CHARGE_CURRENCY         VARCHAR(3),
    CHARGE_TARIFF_RATE      NUMERIC(9,3),
    CHARGE_TARIFF_AMOUNT    NUMERIC(9,3),
    CHARGE_ACTUAL_RATE      VARCHAR(20),
    CHARGE_ACTUAL_AMOUNT    NUMERIC(9,3),
    INVOICE_CURRENCY        VARCHAR(3),
    INVOICE_AMOUNT          NUMERIC(9,3),
    INVOICE_NO              VARCHAR(20)
);

CREATE INDEX IF NOT EXISTS IX_JB_CONTAINER_DETAIL_JB_NO_ID ON JB_CONTAINER_DETAIL (JB_NO_ID);

-- One diary entry of a job order: a user's note or a record of an edit or action.
CREATE TABLE IF NOT EXISTS JB_DIARY (
    JB_DIARY_NO_ID          INTEGER PRIMARY KEY AUTOINCREMENT,
    JB_NO_ID                INTEGER,
    LAST_UPDATE_USER        VARCHAR(16),
    LAST_UPDATE_DATE        DATETIME,
    LAST_UPDATE_TIME        NUMERIC(4,0),
    JB_DIARY_TEXT           VARCHAR(4000),
    JB_DIARY_TYPE_IND       VARCHAR(10),
    JB_DIARY_DATE           DATETIME,
    JB_DIARY_TIME           NUMERIC(4,0)
);

CREATE INDEX IF NOT EXISTS IX_JB_DIARY_JB_NO_ID ON JB_DIARY (JB_NO_ID);

-- One door appointment of a job order: when and where the vendor meets the customer.
CREATE TABLE IF NOT EXISTS JB_DOOR_APPOINTMENT (
    JB_DOOR_APPOINTMENT_ID  INTEGER PRIMARY KEY AUTOINCREMENT,
    BK_NO                   VARCHAR(17),
    BL_NO                   VARCHAR(17),
    CONTAINER_REMARKS       VARCHAR(2000),
    CUSTOMER_NAME           VARCHAR(100),
    APPOINTMENT_ADDRESS     VARCHAR(500),
    CUSTOMER_CONTACTOR      VARCHAR(50),
    APPOINTMENT_PHONE       VARCHAR(30),
    APPOINTMENT_DATE        DATETIME,
    APPOINTMENT_TIME        NUMERIC(4,0),
    APPOINTMENT_REMARKS     VARCHAR(2000),
    JB_NO_ID                INTEGER
);

CREATE INDEX IF NOT EXISTS IX_JB_DOOR_APPOINTMENT_JB_NO_ID ON JB_DOOR_APPOINTMENT (JB_NO_ID);

-- How a partner (a vendor) wants to be told about job orders: its fax number and e-mail
-- address per notification purpose (for example IJ, issued job orders) and method (FAX, EMAIL).
CREATE TABLE IF NOT EXISTS PARTNER_NOTIFY_SETTING (
    VENDOR_CODE             VARCHAR(8)      NOT NULL,
    NOTIFY_PURPOSE_IND      VARCHAR(10)     NOT NULL,
    NOTIFY_METHOD_IND       VARCHAR(10)     NOT NULL,
    FAX_NO                  VARCHAR(20),
    EMAIL_ADDRESS           VARCHAR(100),
    PRIMARY KEY (VENDOR_CODE, NOTIFY_PURPOSE_IND, NOTIFY_METHOD_IND)
);

-- The last serial number handed out per counter (usage, company, office and month); the
-- serial number generator raises it in one statement, so no two clients get the same number.
CREATE TABLE IF NOT EXISTS KX_SERIAL_COUNTER (
    COUNTER_KEY             VARCHAR(100)    NOT NULL PRIMARY KEY,
    LAST_VALUE              INTEGER       NOT NULL
);

-- Container look-ups by booking, bill of lading, container and equipment receipt number: a search
-- of the orders by any of them finds the lines without reading them all.
CREATE INDEX IF NOT EXISTS IX_JB_CONTAINER_DETAIL_BK_NO ON JB_CONTAINER_DETAIL (BK_NO);
CREATE INDEX IF NOT EXISTS IX_JB_CONTAINER_DETAIL_BL_NO ON JB_CONTAINER_DETAIL (BL_NO);
CREATE INDEX IF NOT EXISTS IX_JB_CONTAINER_DETAIL_CONTAINER_NO ON JB_CONTAINER_DETAIL (CONTAINER_NO);
CREATE INDEX IF NOT EXISTS IX_JB_CONTAINER_DETAIL_ER_NO ON JB_CONTAINER_DETAIL (ER_NO);

-- One container retrieving work file: the containers to retrieve for one source,
-- office, vessel and voyage, with its processing state.
CREATE TABLE IF NOT EXISTS JB_CONTAINER_RETRIEVING_TEMP_FILE (
    JB_IMPORT_CONTAINER_WORK_FILE_ID INTEGER PRIMARY KEY AUTOINCREMENT,
    SOURCE_CATEGORY         VARCHAR(10),
    OFFICE                  VARCHAR(10),
    VESSEL_CODE             VARCHAR(6),
    VOYAGE_NO               VARCHAR(6),
    VOYAGE_LEG              VARCHAR(1),
    BK_NO                   VARCHAR(17),
    BL_NO                   VARCHAR(17),
    ER_NO                   VARCHAR(20),
    PROCESS_STATE           INTEGER,
    LAST_UPDATE_DATE        DATETIME,
    LAST_UPDATE_TIME        NUMERIC(4,0),
    LAST_UPDATE_USER        VARCHAR(16)
);

-- One container line of a retrieving work file; HANDLED_FLAG is '1' once handled, else '0'.
CREATE TABLE IF NOT EXISTS JB_CONTAINER_RETRIEVING_TEMP_DETAIL (
    JB_CONTAINER_RETRIEVING_TEMP_DETAIL_ID INTEGER PRIMARY KEY AUTOINCREMENT,
    FROM_PLACE              VARCHAR(5),
    TO_PLACE                VARCHAR(5),
    MOVEMENT_MODE           VARCHAR(10),
    CONTAINER_PREFIX        VARCHAR(10),
    CONTAINER_NO            VARCHAR(20),
    CONTAINER_TYPE          VARCHAR(10),
    EMPTY_FULL_FLAG         VARCHAR(10),
    SOC_FLAG                VARCHAR(10),
    BK_NO                   VARCHAR(17),
    BL_NO                   VARCHAR(17),
    ER_NO                   VARCHAR(20),
    CARGO_DESCRIPTION       VARCHAR(2000),
    REEFER                  VARCHAR(10),
    HAZARD                  VARCHAR(10),
    PLACE_ACCEPTANCE        VARCHAR(5),
    POL                     VARCHAR(5),
    POD                     VARCHAR(5),
    PLACE_DELIVERY          VARCHAR(5),
    HANDLED_FLAG            VARCHAR(1),
    JB_IMPORT_CONTAINER_WORK_FILE_ID INTEGER
);

CREATE INDEX IF NOT EXISTS IX_JB_CONTAINER_RETRIEVING_TEMP_DETAIL_FILE_ID
    ON JB_CONTAINER_RETRIEVING_TEMP_DETAIL (JB_IMPORT_CONTAINER_WORK_FILE_ID);
