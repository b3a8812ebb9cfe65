#include "table_members.h"

#include "control/talvenorctl.h"

std::vector<TableMember> TableMembers() {
  std::vector<TableMember> out;
  for (int32_t i = 0; i < tv_member_count(); ++i) {
    tv_member_info m{};
    if (tv_member_at(i, &m) != TV_OK) break;
    TableMember t{m.kind == TV_KIND_EVENT      ? TableMember::kEvent
                  : m.kind == TV_KIND_PROPERTY ? TableMember::kProperty
                                               : TableMember::kMethod,
                  m.dispid,
                  m.name,
                  m.type,
                  {},
                  (m.flags & TV_MEMBER_READ_ONLY) != 0};
    t.params.assign(m.param_types, m.param_types + m.param_count);
    out.push_back(t);
  }
  return out;
}
