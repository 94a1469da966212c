-- KX insert procedures for Microsoft SQL Server.
-- Run after tables.sql; safe to run again: a procedure is created only when it is missing,
-- and one that exists is left as it is.
-- Each procedure inserts one row from its parameters, in the order the component passes
-- them, and returns the key the database assigned as its integer return value, which the
-- component reads through its return value parameter ("{? = CALL name(?, ...)}").
-- CREATE PROCEDURE must begin a batch of its own, so each one is created through EXEC:
-- its body is quoted text, and `kx init`, which cuts the script at each ";" outside quotes
-- and comments, sends the guard and its EXEC as one statement.
-- Searches compare numbers and dates with LIKE through their text form; SQL Server does
-- that itself, so there is nothing to add for them here.

-- Inserts one job order and returns its new JB_NO_ID.
IF OBJECT_ID(N'JB_ORDERInsProc', N'P') IS NULL
EXEC (N'CREATE PROCEDURE JB_ORDERInsProc
    @JB_NO                   nvarchar(20),
    @JB_CREATE_DATE          datetime2(0),
    @LAST_UPDATE_DATE        datetime2(0),
    @LAST_UPDATE_TIME        numeric(4,0),
    @LAST_UPDATE_USER        nvarchar(16),
    @JB_TYPE_CATEGORY        nvarchar(2),
    @JB_TYPE_CODE            nvarchar(20),
    @OFFICE_CODE             nvarchar(10),
    @ISSUE_USER              nvarchar(16),
    @ISSUE_FAX_NO            nvarchar(20),
    @ISSUE_EMAIL_ADDRESS     nvarchar(20),
    @ISSUE_DATE              datetime2(0),
    @JB_STATE                smallint,
    @JB_STATE_DATE           datetime2(0),
    @JB_STATE_REMARK         nvarchar(256),
    @VENDOR_CODE             nvarchar(8),
    @VENDOR_NAME             nvarchar(50),
    @VENDOR_CONTRACT_NO      nvarchar(20),
    @IT_NUMBER               nvarchar(10),
    @IT_TYPE                 nvarchar(2),
    @BOUND_DIRECT            nvarchar(1),
    @TRANSPORT_MODE          nvarchar(5),
    @QUANTITY                int,
    @FROM_PLACE              nvarchar(5),
    @FROM_DEPOT              nvarchar(5),
    @ESTIMATED_START_DATE    datetime2(0),
    @ACTUAL_START_DATE       datetime2(0),
    @TO_PLACE                nvarchar(5),
    @TO_DEPOT                nvarchar(5),
    @ESTIMATED_END_DATE      datetime2(0),
    @ACTUAL_END_DATE         datetime2(0),
    @TOTAL_ACTUAL_CURRENCY   nvarchar(3),
    @TOTAL_ACTUAL_AMOUNT     numeric(9,3),
    @TOTAL_INVOICE_CURRENCY  nvarchar(3),
    @TOTAL_INVOICE_AMOUNT    numeric(9,3),
    @COST_REMARK             nvarchar(256)
AS
BEGIN
    SET NOCOUNT ON;
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
        @JB_NO, @JB_CREATE_DATE, @LAST_UPDATE_DATE, @LAST_UPDATE_TIME,
        @LAST_UPDATE_USER, @JB_TYPE_CATEGORY, @JB_TYPE_CODE, @OFFICE_CODE,
        @ISSUE_USER, @ISSUE_FAX_NO, @ISSUE_EMAIL_ADDRESS, @ISSUE_DATE,
        @JB_STATE, @JB_STATE_DATE, @JB_STATE_REMARK, @VENDOR_CODE,
        @VENDOR_NAME, @VENDOR_CONTRACT_NO, @IT_NUMBER, @IT_TYPE,
        @BOUND_DIRECT, @TRANSPORT_MODE, @QUANTITY, @FROM_PLACE,
        @FROM_DEPOT, @ESTIMATED_START_DATE, @ACTUAL_START_DATE, @TO_PLACE,
        @TO_DEPOT, @ESTIMATED_END_DATE, @ACTUAL_END_DATE, @TOTAL_ACTUAL_CURRENCY,
        @TOTAL_ACTUAL_AMOUNT, @TOTAL_INVOICE_CURRENCY, @TOTAL_INVOICE_AMOUNT, @COST_REMARK
    );
    RETURN CAST(SCOPE_IDENTITY() AS int);
END');

-- Inserts one container retrieving work file and returns its new
-- JB_IMPORT_CONTAINER_WORK_FILE_ID.
IF OBJECT_ID(N'JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc', N'P') IS NULL
EXEC (N'CREATE PROCEDURE JB_CONTAINER_RETRIEVING_TEMP_FILEInsProc
    @SOURCE_CATEGORY   nvarchar(10),
    @OFFICE            nvarchar(10),
    @VESSEL_CODE       nvarchar(6),
    @VOYAGE_NO         nvarchar(6),
    @VOYAGE_LEG        nvarchar(1),
    @BK_NO             nvarchar(17),
    @BL_NO             nvarchar(17),
    @ER_NO             nvarchar(20),
    @PROCESS_STATE     smallint,
    @LAST_UPDATE_DATE  datetime2(0),
    @LAST_UPDATE_TIME  numeric(4,0),
    @LAST_UPDATE_USER  nvarchar(16)
AS
BEGIN
    SET NOCOUNT ON;
    INSERT INTO JB_CONTAINER_RETRIEVING_TEMP_FILE (
        SOURCE_CATEGORY, OFFICE, VESSEL_CODE, VOYAGE_NO,
        VOYAGE_LEG, BK_NO, BL_NO, ER_NO,
        PROCESS_STATE, LAST_UPDATE_DATE, LAST_UPDATE_TIME, LAST_UPDATE_USER
    ) VALUES (
        @SOURCE_CATEGORY, @OFFICE, @VESSEL_CODE, @VOYAGE_NO,
        @VOYAGE_LEG, @BK_NO, @BL_NO, @ER_NO,
        @PROCESS_STATE, @LAST_UPDATE_DATE, @LAST_UPDATE_TIME, @LAST_UPDATE_USER
    );
    RETURN CAST(SCOPE_IDENTITY() AS int);
END');
