#include "clients/mqtt_bridge/call_handler.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "control/dispatch.h"
#include "exchange/sections.h"

namespace mqtt_bridge {
namespace {

using nlohmann::json;

CallReply Error(CallReply reply, int32_t code, const std::string& message) {
  reply.body["error"] = {{"code", code}, {"message", message}};
  return reply;
}

bool UsableId(const std::string& id) {
  return !id.empty() && id.size() <= 64 && id.find_first_of("/+#") == std::string::npos;
}

// One JSON argument as the dispatch takes it; false when its JSON type has no such variant.
bool ToVariant(const json& value, control::Variant& out) {
  if (value.is_boolean()) {
    out = control::Variant::Bool(value.get<bool>());
  } else if (value.is_number_integer()) {
    // Anything beyond a 32-bit long is out of range for every parameter; the dispatch says so.
    const int64_t v = value.is_number_unsigned() && value.get<uint64_t>() > uint64_t(INT64_MAX)
                          ? INT64_MAX
                          : value.get<int64_t>();
    out = control::Variant::Long(v);
  } else if (value.is_string()) {
    out = control::Variant::String(value.get<std::string>());
  } else {
    return false;
  }
  return true;
}

json FromVariant(const control::Variant& v) {
  switch (v.type) {
    case control::VarType::kShort:
    case control::VarType::kLong:
      return v.i;
    case control::VarType::kBool:
      return v.i != 0;
    case control::VarType::kString:
      return v.s;
    default:
      return nullptr;
  }
}

// The call's id as it may end a reply topic, or "" when it has none that can.
std::string UsableIdOf(const json& call) {
  if (!call.is_object() || !call.contains("id")) return {};
  const json& id = call["id"];
  if (id.is_string() && UsableId(id.get<std::string>())) return id.get<std::string>();
  if (id.is_number_integer()) return id.dump();
  return {};
}

}  // namespace

CallReply RefuseCall(const std::string& payload, int32_t code, const std::string& message) {
  CallReply reply;
  reply.body = json::object();
  if (payload.size() <= kMaxCallBytes) {
    const json call = json::parse(payload, nullptr, false);
    reply.id = UsableIdOf(call);
    if (!reply.id.empty()) reply.body["id"] = call["id"];
  }
  return Error(reply, code, message);
}

bool OpenInFilesFolder(const std::string& folder, const std::string& name, platform::UniqueFd& file,
                       std::string& path, std::string& why) {
  if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos) {
    why = "takes the name of a file in the bridge's files folder, without '/'";
    return false;
  }
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) {
      why = "a file name holds no control characters (line feeds would split the relay's log lines)";
      return false;
    }
  }
  if (name.size() >= 3 && name.compare(name.size() - 3, 3, "EOF") == 0) {
    why = "a file name ending in \"EOF\" would go on with the last sound instead of starting this one";
    return false;
  }
  char real[PATH_MAX];
  if (realpath(folder.c_str(), real) == nullptr) {
    why = "the files folder cannot be reached";
    return false;
  }
  path = std::string(real) + "/" + name;
  if (path.size() > exchange::kCommandRecordMax) {
    why = "the path " + path + " is longer than the " + std::to_string(exchange::kCommandRecordMax) +
          " bytes a request to the relay holds";
    return false;
  }
  // No link is followed and nothing waits: a pipe, a device, a folder or a link to anything, inside
  // the folder or out of it, is refused.
  platform::UniqueFd dir(::open(real, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir)
    file = platform::UniqueFd(
        ::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (!file) {
    why = errno == ELOOP ? "'" + name + "' is a link; only regular files in the folder are taken"
                         : "'" + name + "' cannot be opened in the files folder: " + std::strerror(errno);
    return false;
  }
  if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "'" + name + "' is not a regular file";
    file.Reset();
    return false;
  }
  return true;
}

CallReply HandleCall(control::CZembrinSDKControlCtrl& control, const std::string& payload,
                     const CallPolicy& policy) {
  CallReply reply;
  reply.body = json::object();
  if (payload.size() > kMaxCallBytes)
    return Error(reply, control::kStatusInvalidArg,
                 "the call has " + std::to_string(payload.size()) + " bytes; at most " +
                     std::to_string(kMaxCallBytes) + " are taken");
  const json call = json::parse(payload, nullptr, false);
  if (call.is_discarded() || !call.is_object())
    return Error(reply, control::kStatusInvalidArg, "the call is not a JSON object");
  reply.id = UsableIdOf(call);
  if (reply.id.empty())
    return Error(reply, control::kStatusInvalidArg,
                 "the call needs an \"id\": a number, or text of 1 to 64 characters without / + #");
  reply.body["id"] = call["id"];
  if (!call.contains("method") || !call["method"].is_string())
    return Error(reply, control::kStatusInvalidArg, "the call needs a \"method\" name");
  const std::string method = call["method"].get<std::string>();
  json args = json::array();
  if (call.contains("args")) {
    if (!call["args"].is_array()) return Error(reply, control::kStatusInvalidArg, "\"args\" must be a list");
    args = call["args"];
  }
  const control::MemberInfo* member = control::FindMember(method);
  if (member == nullptr)
    return Error(reply, control::kStatusUnknownName, "no method or property is named '" + method + "'");
  for (const control::ParamInfo& p : member->params)
    if (p.role == control::ParamRole::kRobotName)
      return Error(reply, control::kStatusInvalidArg,
                   "this bridge serves robot '" + control.get_robotName() + "' only");

  if (member->flags & control::kWritesFile)
    return Error(
        reply, control::kStatusInvalidArg,
        member->name + " writes a file on the bridge's computer; subscribe to the camera topic instead");
  const bool names_file = (member->flags & control::kReadsFile) != 0;
  platform::UniqueFd file;  // held open until the call is over: the control reads it by descriptor
  if (names_file && args.size() == 1 && args[0].is_string()) {
    if (policy.files_dir.empty())
      return Error(reply, control::kStatusInvalidArg,
                   member->name +
                       " names a file on the bridge's computer; the bridge takes none unless started "
                       "with --files-dir");
    std::string path, why;
    if (!OpenInFilesFolder(policy.files_dir, args[0].get<std::string>(), file, path, why))
      return Error(reply, control::kStatusInvalidArg, member->name + ": " + why);
    // The relay opens its files by their path; a file the control reads is read here, from the very
    // file just checked.
    args[0] = member->params[0].role == control::ParamRole::kFileForRelay
                  ? path
                  : "/proc/self/fd/" + std::to_string(file.get());
  }

  std::vector<control::Variant> values;
  for (std::size_t i = 0; i < args.size(); ++i) {
    control::Variant v;
    if (!ToVariant(args[i], v))
      return Error(reply, control::kStatusTypeMismatch,
                   "argument " + std::to_string(i + 1) + " must be a whole number, true/false or text");
    values.push_back(std::move(v));
  }

  control::Variant result;
  int32_t status = control::kStatusOk;
  if (member->kind == control::MemberKind::kProperty) {
    if (values.empty()) {
      status = control::GetProperty(control, member->dispid, result);
    } else if (values.size() == 1) {
      status = control::PutProperty(control, member->dispid, values[0]);
    } else {
      return Error(reply, control::kStatusBadParamCount,
                   member->name + " is a property: no argument reads it, one sets it");
    }
  } else {
    if (values.size() != member->params.size())
      return Error(reply, control::kStatusBadParamCount,
                   member->name + " takes " + std::to_string(member->params.size()) + " argument(s), not " +
                       std::to_string(values.size()));
    if (member->flags & control::kFillsBuffer)
      return Error(reply, control::kStatusTypeMismatch,
                   member->name + " fills a buffer of the caller's; subscribe to the voice topic instead");
    if (member->flags & control::kHandsOutAddress)
      return Error(reply, control::kStatusTypeMismatch,
                   member->name +
                       " returns an address in the bridge's memory; subscribe to the camera or voice "
                       "topic instead");
    std::string why;
    if (!control::CheckArguments(*member, values.data(), static_cast<int>(values.size()), why))
      return Error(reply, control::kStatusOverflow, why);
    status = control::Invoke(control, member->dispid, values.data(), static_cast<int>(values.size()), result);
  }
  if (status != control::kStatusOk) return Error(reply, status, control::StatusText(status));
  reply.body["result"] = FromVariant(result);
  return reply;
}

}  // namespace mqtt_bridge
