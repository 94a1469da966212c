// What the records' attributes are called on the screens.

export const STATES = { 0: 'New', 1: 'Issued', 3: 'Completed', 4: 'Cancelled / stopped' };
export const stateName = (value) => STATES[value] || (value === '' || value == null ? '' : `State ${value}`);

// The job order's attributes in the order the component writes them, with their labels.
export const ORDER_FIELDS = [
  ['Id', 'Id'], ['JBNo', 'Job order no.'], ['JBCreateDate', 'Created'], ['LastUpdateDate', 'Last updated'],
  ['LastUpdateTime', 'Last update time'], ['LastUpdateUser', 'Last updated by'], ['JBTypeCategory', 'Type category'],
  ['JBTypeCode', 'Type code'], ['OfficeCode', 'Office'], ['IssueUser', 'Issued by'], ['IssueFaxNo', 'Issue fax no.'],
  ['IssueEmailAddress', 'Issue e-mail'], ['IssueDate', 'Issue date'], ['JBState', 'State'], ['JBStateDate', 'State date'],
  ['JBStateRemark', 'State remark'], ['VendorCode', 'Vendor code'], ['VendorName', 'Vendor name'],
  ['VendorContractNo', 'Vendor contract no.'], ['ITNumber', 'IT number'], ['ITType', 'IT type'],
  ['BoundDirect', 'Bound'], ['TransportMode', 'Transport mode'], ['Quantity', 'Quantity'], ['FromPlace', 'From place'],
  ['FromDepot', 'From depot'], ['EstimatedStartDate', 'Estimated start'], ['ActualStartDate', 'Actual start'],
  ['ToPlace', 'To place'], ['ToDepot', 'To depot'], ['EstimatedEndDate', 'Estimated end'], ['ActualEndDate', 'Actual end'],
  ['TotalActualCurrency', 'Actual currency'], ['TotalActualAmount', 'Actual amount'],
  ['TotalInvoiceCurrency', 'Invoice currency'], ['TotalInvoiceAmount', 'Invoice amount'], ['CostRemark', 'Cost remark'],
];
export const orderLabel = (name) => (ORDER_FIELDS.find(([n]) => n === name) || [name, name])[1];

// The container line's attributes a clerk types, with their labels and widths.
export const LINE_FIELDS = [
  ['ContainerPrefix', 'Prefix', 10], ['ContainerNo', 'Container no.', 20], ['ContainerType', 'Type', 10],
  ['EmptyFullFlag', 'Empty/full', 10], ['SOCFlag', 'SOC', 10], ['BKNo', 'Booking no.', 17], ['BLNo', 'B/L no.', 17],
  ['ERNo', 'ER no.', 20], ['FromPlace', 'From', 5], ['ToPlace', 'To', 5], ['ServiceMode', 'Service mode', 10],
  ['Reefer', 'Reefer', 10], ['Hazard', 'Hazard', 10], ['CargoDescription', 'Cargo', 2000],
];

export const DOOR_FIELDS = [
  ['AppointmentDate', 'Date', 30, 'date'], ['AppointmentTime', 'Time', 30, 'time'], ['CustomerName', 'Customer', 100],
  ['CustomerContactor', 'Contact', 50], ['AppointmentPhone', 'Phone', 30], ['AppointmentAddress', 'Address', 500],
  ['BKNo', 'Booking no.', 17], ['BLNo', 'B/L no.', 17], ['ContainerRemarks', 'Container remarks', 2000],
  ['AppointmentRemarks', 'Remarks', 2000],
];

// The dates the component stores for "no date": the zero date, and what an empty date text becomes.
export const NO_DATES = new Set(['1899-12-30', '1900-01-01']);
export const dateShown = (value) => (NO_DATES.has(value) ? '' : value || '');
