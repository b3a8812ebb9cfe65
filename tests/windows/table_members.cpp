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
                  {},
                  {},
                  {},
                  {},
                  (m.flags & TV_MEMBER_READ_ONLY) != 0};
    t.params.assign(m.param_types, m.param_types + m.param_count);
    for (int32_t k = 0; k < m.param_count; ++k) {
      const int32_t role = m.param_roles[k];
      t.param_names.emplace_back(m.param_names[k]);
      t.selects.push_back(role == TV_ROLE_MOTOR_CHANNEL || role == TV_ROLE_SERVO_CHANNEL ||
                          role == TV_ROLE_READ_CHANNEL);
      t.min.push_back(m.param_min[k]);
      t.max.push_back(m.param_max[k]);
    }
    out.push_back(t);
  }
  return out;
}

const uint8_t* ModuleImage() {
  return tv_image(nullptr, nullptr);
}
