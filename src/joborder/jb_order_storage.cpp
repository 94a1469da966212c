// The storage of job orders: the look-ups by number and IT number, and the search, which tests an
// order's container lines through one sub-query.
#include "joborder/jb_order.h"

#include "shared/mod_kx_common.h"

namespace kx {

bool S_JBOrder::ContainsBy(const char* proc, const std::string& column, const std::string& value,
                           std::string& JBNoId) {
  return Guard(proc, [&] {
    auto rs = Read(db::Statement("select JB_No_Id  from JB_ORDER where " + column + " = ").Value(value));
    if (rs->EOF_()) return false;
    JBNoId = CStr(rs->Field("JB_No_Id"));
    return true;
  });
}

bool S_JBOrder::containsJBNo(const std::string& JBNo, std::string& JBNoId) {
  return ContainsBy("containsJBNo Function ", "JB_NO", JBNo, JBNoId);
}

bool S_JBOrder::containsITNumber(const std::string& ITNumber, std::string& JBNoId) {
  return ContainsBy("containsITNumber Function ", "IT_Number", ITNumber, JBNoId);
}

SearchPlan S_JBOrder::Search() const {
  SearchPlan plan = SearchPlan::FromRecord(def(), "a");
  // Order conditions go to the first clause, container line conditions to the second; a field
  // of neither kind is passed over.
  plan.clauseStarts = {" WHERE 1 = 1 ", " 1=1 "};
  plan.skipUnknownFields = true;
  for (const auto& [field, column] : {std::pair{"BKNo", "BK_NO"},
                                      {"BLNo", "BL_NO"},
                                      {"ERNo", "ER_NO"},
                                      {"ContainerPrefix", "CONTAINER_PREFIX"},
                                      {"ContainerNo", "CONTAINER_NO"},
                                      {"ContainerType", "CONTAINER_TYPE"},
                                      {"Reefer", "REEFER"},
                                      {"Hazard", "HAZARD"}})
    plan.fields.push_back({field, std::string(" And b.") + column, 1, ""});
  return plan;
}

db::Statement S_JBOrder::QueryStatement(const std::string&, const SearchClauses& clauses) const {
  db::Statement statement = clauses.at(0).text.Around("select a.* from  JB_ORDER a ", "");
  // Every container condition holds for one and the same line; each order is selected once.
  if (clauses.at(1).conditions > 0)
    statement.Append(clauses[1].text.Around(
        " and exists (select * from JB_Container_Detail b where a.jb_no_Id = b.jb_no_id and ", ")"));
  return statement;
}

db::Statement S_JBOrder::PageSource(const std::string&, const SearchClauses& clauses) const {
  db::Statement statement = clauses.at(0).text.Around("select a.* from  JB_ORDER a ", "");
  if (clauses.at(1).conditions > 0)
    statement.Append(
        clauses[1].text.Around(" and a.JB_NO_ID in (select b.JB_NO_ID from JB_Container_Detail b where ", ")"));
  return statement;
}

}  // namespace kx
