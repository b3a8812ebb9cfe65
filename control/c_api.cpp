// The C ABI over the control, its dispatch table and the headless host; and the exported entry
// points of a self-registering control server.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "control/control.h"
#include "control/dispatch.h"
#include "control/headless_host.h"
#include "control/media/lcd_bitmap.h"
#include "control/registry.h"
#include "control/talvenorctl.h"
#include "exchange/sensor_records.h"
#include "exchange/wave_file.h"
#include "platform/clock.h"
#include "platform/doorbell.h"
#include "platform/library.h"

// An event kept for a caller that takes events instead of being called: what came with it is copied
// at the event, so a later event cannot change it.
struct QueuedEvent {
  int32_t dispid = 0;
  std::vector<uint8_t> data;
  double taken_at = 0;
};

struct tv_control {
  control::CZembrinSDKControlCtrl ctl;
  std::string result_text;  // backs string results until the next call
  tv_host* host = nullptr;
  tv_event_callback callback = nullptr;
  void* callback_user = nullptr;
  std::deque<QueuedEvent> events;
  QueuedEvent taken;  // the event tv_next_event handed out last, whose data the caller reads
  uint64_t events_dropped = 0;
};

struct tv_host {
  control::CHeadlessHost host;
  std::vector<tv_control*> controls;
  tv_message_callback callback = nullptr;
  void* callback_user = nullptr;
  bool queue_messages = false;
  std::deque<std::string> messages;
  std::string taken_message;
};

// The C face repeats the codes of the dispatch table for C callers; they are the same numbers.
static_assert(TV_MAX_PARAMS == control::kMaxParams);
static_assert(TV_EMPTY == static_cast<int>(control::VarType::kEmpty) &&
              TV_SHORT == static_cast<int>(control::VarType::kShort) &&
              TV_LONG == static_cast<int>(control::VarType::kLong) &&
              TV_STRING == static_cast<int>(control::VarType::kString) &&
              TV_BOOL == static_cast<int>(control::VarType::kBool) &&
              TV_ADDRESS == static_cast<int>(control::VarType::kAddress) &&
              TV_BUFFER == static_cast<int>(control::VarType::kBuffer));
static_assert(TV_OK == control::kStatusOk && TV_E_MEMBERNOTFOUND == control::kStatusMemberNotFound &&
              TV_E_TYPEMISMATCH == control::kStatusTypeMismatch &&
              TV_E_UNKNOWNNAME == control::kStatusUnknownName && TV_E_OVERFLOW == control::kStatusOverflow &&
              TV_E_BADPARAMCOUNT == control::kStatusBadParamCount &&
              TV_E_INVALIDARG == control::kStatusInvalidArg);
static_assert(TV_KIND_METHOD == static_cast<int>(control::MemberKind::kMethod) &&
              TV_KIND_PROPERTY == static_cast<int>(control::MemberKind::kProperty) &&
              TV_KIND_EVENT == static_cast<int>(control::MemberKind::kEvent));
static_assert(TV_MEMBER_NEEDS_ROBOT == control::kNeedsRobot && TV_MEMBER_READS_FILE == control::kReadsFile &&
              TV_MEMBER_WRITES_FILE == control::kWritesFile &&
              TV_MEMBER_HANDS_OUT_ADDRESS == control::kHandsOutAddress &&
              TV_MEMBER_FILLS_BUFFER == control::kFillsBuffer && TV_MEMBER_READ_ONLY == control::kReadOnly);
static_assert(TV_RELAY_NONE == static_cast<int>(exchange::RelayState::kNoRelay) &&
              TV_RELAY_NOT_FORWARDING == static_cast<int>(exchange::RelayState::kNotForwarding) &&
              TV_RELAY_FORWARDING == static_cast<int>(exchange::RelayState::kForwarding) &&
              TV_RELAY_LINK_UP == static_cast<int>(exchange::RelayState::kLinkUp));
static_assert(TV_SECTION_STANDARD == static_cast<int>(exchange::SectionId::kStandardSensor) &&
              TV_SECTION_MOTOR == static_cast<int>(exchange::SectionId::kMotorSensor) &&
              TV_SECTION_CUSTOM == static_cast<int>(exchange::SectionId::kCustomSensor) &&
              TV_SECTION_IMAGE == static_cast<int>(exchange::SectionId::kImage) &&
              TV_SECTION_AUDIO == static_cast<int>(exchange::SectionId::kAudio));
static_assert(TV_RECORD_STANDARD == static_cast<int>(exchange::SensorRecord::kStandard) &&
              TV_RECORD_MOTOR == static_cast<int>(exchange::SensorRecord::kMotor) &&
              TV_RECORD_CUSTOM == static_cast<int>(exchange::SensorRecord::kCustom) &&
              TV_FIELD_BYTE == static_cast<int>(exchange::FieldKind::kByte) &&
              TV_FIELD_WORD == static_cast<int>(exchange::FieldKind::kWord) &&
              TV_FIELD_ALIAS == static_cast<int>(exchange::FieldKind::kAlias) &&
              TV_FIELD_LOW_BYTE == static_cast<int>(exchange::FieldKind::kLowByte) &&
              TV_FIELD_DIRECTION == static_cast<int>(exchange::FieldKind::kDirection));
static_assert(TV_ROLE_VALUE == static_cast<int>(control::ParamRole::kValue) &&
              TV_ROLE_MOTOR_CHANNEL == static_cast<int>(control::ParamRole::kMotorChannel) &&
              TV_ROLE_SERVO_CHANNEL == static_cast<int>(control::ParamRole::kServoChannel) &&
              TV_ROLE_READ_CHANNEL == static_cast<int>(control::ParamRole::kReadChannel) &&
              TV_ROLE_BYTE == static_cast<int>(control::ParamRole::kByte) &&
              TV_ROLE_FILE_TO_READ == static_cast<int>(control::ParamRole::kFileToRead) &&
              TV_ROLE_FILE_TO_WRITE == static_cast<int>(control::ParamRole::kFileToWrite) &&
              TV_ROLE_BUFFER == static_cast<int>(control::ParamRole::kBuffer) &&
              TV_ROLE_FILE_FOR_RELAY == static_cast<int>(control::ParamRole::kFileForRelay) &&
              TV_ROLE_ROBOT_NAME == static_cast<int>(control::ParamRole::kRobotName));

namespace {

// The section a caller numbers `which` (TV_SECTION_*, as the control's events do); false for a
// number no section has.
bool SectionNumbered(int32_t which, exchange::SectionId& section) {
  for (const exchange::SectionSpec& s : exchange::kSections) {
    if (static_cast<int32_t>(s.id) == which) {
      section = s.id;
      return true;
    }
  }
  return false;
}

// Live controls and server locks, for DllCanUnloadNow. Touched by any thread that creates or
// destroys a control; relaxed suffices, the counts guard no other data.
std::atomic<int> g_objects{0};
std::atomic<int> g_locks{0};

bool ToVariant(const tv_variant& in, control::Variant& out) {
  out = control::Variant{};
  out.type = static_cast<control::VarType>(in.type);
  switch (out.type) {
    case control::VarType::kEmpty:
      return true;
    case control::VarType::kShort:
    case control::VarType::kLong:
    case control::VarType::kBool:
    case control::VarType::kAddress:
      out.i = in.i;
      return true;
    case control::VarType::kString:
      if (in.s == nullptr) return false;
      out.s = in.s;
      return true;
    case control::VarType::kBuffer:
      out.data = in.data;
      out.size = in.data != nullptr ? in.size : 0;
      return true;
  }
  return false;
}

void FromVariant(tv_control* c, const control::Variant& in, tv_variant* out) {
  if (out == nullptr) return;
  *out = tv_variant{};
  out->type = static_cast<int32_t>(in.type);
  out->i = in.i;
  if (in.type == control::VarType::kString) {
    c->result_text = in.s;
    out->s = c->result_text.c_str();
  }
}

void CopyMember(const control::MemberInfo& m, tv_member_info* out) {
  *out = tv_member_info{};
  out->kind = static_cast<int32_t>(m.kind);
  out->dispid = m.dispid;
  out->name = m.name.c_str();
  out->type = static_cast<int32_t>(m.type);
  out->param_count = static_cast<int32_t>(m.params.size());
  for (std::size_t i = 0; i < m.params.size() && i < TV_MAX_PARAMS; ++i) {
    const control::ParamInfo& p = m.params[i];
    out->param_names[i] = p.name.c_str();
    out->param_types[i] = static_cast<int32_t>(p.type);
    out->param_roles[i] = static_cast<int32_t>(p.role);
    out->param_min[i] = p.min;
    out->param_max[i] = p.max;
    out->param_meanings[i] = p.meaning.c_str();
  }
  out->help = m.help.c_str();
  out->implementation = m.implementation.c_str();
  out->flags = m.flags;
  out->field = m.field;
  out->section = m.section;
}

// The record table's strings, NUL-terminated once for C callers.
struct FieldTexts {
  std::string name, getter, of;
};
const std::vector<FieldTexts>& SensorFieldTexts() {
  static const std::vector<FieldTexts> texts = [] {
    std::vector<FieldTexts> out;
    for (const exchange::SensorField& f : exchange::kSensorFields)
      out.push_back({std::string(f.name), std::string(f.getter), std::string(f.of)});
    return out;
  }();
  return texts;
}

}  // namespace

std::string control::LibraryPath() {
  return platform::LibraryPathOf(reinterpret_cast<const void*>(&tv_member_count));
}

namespace {

int32_t CreateControl(tv_class_factory*, void** out) {
  if (out == nullptr) return TV_E_INVALIDARG;
  tv_control* c = nullptr;
  int32_t st = tv_create(&c);
  *out = c;
  return st;
}

int32_t CreatePropertyPage(tv_class_factory*, void** out) {
  static const tv_property_page page = {TV_TEXT_PAGE_CAPTION,
                                        TV_PAGE_WIDTH,
                                        TV_PAGE_HEIGHT,
                                        TV_TEXT_PAGE_TEXT,
                                        "Names to appear in the control",
                                        "ZembrinTalvenorControl.hlp",
                                        0};
  if (out == nullptr) return TV_E_INVALIDARG;
  *out = const_cast<tv_property_page*>(&page);
  return TV_OK;
}

int32_t LockServer(tv_class_factory*, int32_t lock) {
  g_locks.fetch_add(lock ? 1 : -1, std::memory_order_relaxed);
  return TV_OK;
}

tv_class_factory g_control_factory = {&CreateControl, &LockServer};
tv_class_factory g_page_factory = {&CreatePropertyPage, &LockServer};

void CopyText(const std::string& text, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) return;
  const std::size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

bool SameGuid(const tv_guid& a, const tv_guid& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" {

int32_t tv_member_count(void) {
  return static_cast<int32_t>(control::Members().size());
}

int32_t tv_member_at(int32_t index, tv_member_info* out) {
  if (out == nullptr || index < 0 || index >= tv_member_count()) return TV_E_INVALIDARG;
  CopyMember(control::Members()[static_cast<std::size_t>(index)], out);
  return TV_OK;
}

int32_t tv_sensor_field_count(void) {
  return static_cast<int32_t>(exchange::kSensorFieldCount);
}

int32_t tv_sensor_field_at(int32_t index, tv_sensor_field* out) {
  if (out == nullptr || index < 0 || index >= tv_sensor_field_count()) return TV_E_INVALIDARG;
  const auto i = static_cast<std::size_t>(index);
  const exchange::SensorField& f = exchange::kSensorFields[i];
  const FieldTexts& t = SensorFieldTexts()[i];
  *out = tv_sensor_field{static_cast<int32_t>(f.record),
                         static_cast<int32_t>(f.kind),
                         f.offset,
                         f.bit,
                         t.name.c_str(),
                         t.getter.c_str(),
                         t.of.c_str()};
  return TV_OK;
}

const char* tv_sensor_record_name(int32_t record) {
  static const std::string names[exchange::kSensorRecordCount] = {
      std::string(exchange::kSensorRecords[0].name), std::string(exchange::kSensorRecords[1].name),
      std::string(exchange::kSensorRecords[2].name)};
  return record >= 0 && record < exchange::kSensorRecordCount ? names[record].c_str() : "";
}

int32_t tv_sensor_record_size(int32_t record) {
  return record >= 0 && record < exchange::kSensorRecordCount ? exchange::kSensorRecords[record].size : 0;
}

int32_t tv_get_dispid(const char* name, int32_t* dispid) {
  if (name == nullptr || dispid == nullptr) return TV_E_INVALIDARG;
  const control::MemberInfo* m = control::FindMember(name);
  if (m == nullptr) return TV_E_UNKNOWNNAME;
  *dispid = m->dispid;
  return TV_OK;
}

int32_t tv_get_event_dispid(const char* name, int32_t* dispid) {
  if (name == nullptr || dispid == nullptr) return TV_E_INVALIDARG;
  const control::MemberInfo* m = control::FindEvent(name);
  if (m == nullptr) return TV_E_UNKNOWNNAME;
  *dispid = m->dispid;
  return TV_OK;
}

const char* tv_status_text(int32_t status) {
  if (status == TV_E_CLASSNOTREG) return "class not registered";
  if (status == TV_E_CLASSNOTAVAILABLE)
    return "the registered control is another copy of the library than the one loaded";
  if (status == SELFREG_E_TYPELIB) return "the type library cannot be registered";
  if (status == SELFREG_E_CLASS) return "the class cannot be registered";
  return control::StatusText(status);
}

const char* tv_type_library(void) {
  static const std::string text = control::TypeLibraryText();
  return text.c_str();
}

size_t tv_struct_size(const char* name) {
  struct Sized {
    const char* name;
    size_t size;
  };
  static constexpr Sized kSizes[] = {{"tv_variant", sizeof(tv_variant)},
                                     {"tv_member_info", sizeof(tv_member_info)},
                                     {"tv_sensor_field", sizeof(tv_sensor_field)},
                                     {"tv_event", sizeof(tv_event)},
                                     {"tv_guid", sizeof(tv_guid)},
                                     {"tv_property_page", sizeof(tv_property_page)},
                                     {"tv_class_factory", sizeof(tv_class_factory)}};
  if (name == nullptr) return 0;
  for (const Sized& s : kSizes)
    if (std::strcmp(s.name, name) == 0) return s.size;
  return 0;
}

int32_t tv_create(tv_control** out) {
  if (out == nullptr) return TV_E_INVALIDARG;
  *out = new tv_control;
  g_objects.fetch_add(1, std::memory_order_relaxed);
  return TV_OK;
}

int32_t tv_create_from_registry(const char* progid_or_clsid, tv_control** out) {
  if (progid_or_clsid == nullptr || out == nullptr) return TV_E_INVALIDARG;
  *out = nullptr;
  std::string clsid;
  const std::string library = control::LookUpServer(progid_or_clsid, clsid);
  if (library.empty()) return TV_E_CLASSNOTREG;
  // Controls made by another copy would decode into that copy's module-wide picture memory, which
  // this caller never reads: refused rather than handing out pictures that stay black.
  const std::string resolved = platform::ResolvedPath(library);
  if (resolved.empty() || control::LibraryPath() != resolved) return TV_E_CLASSNOTAVAILABLE;
  // The registered library is this one: its factory is at hand.
  tv_guid id{}, factory_iid{};
  if (tv_parse_guid(clsid.c_str(), &id) != TV_OK ||
      tv_parse_guid("{00000001-0000-0000-C000-000000000046}", &factory_iid) != TV_OK)
    return TV_E_CLASSNOTREG;
  void* factory = nullptr;
  int32_t st = control::ClassFactory(&id, &factory_iid, &factory);
  if (st != TV_OK) return st;
  tv_guid control_id{};
  tv_parse_guid(control::Identity::kControlClsid, &control_id);
  if (!SameGuid(id, control_id)) return TV_E_CLASSNOTREG;  // the property page is no control
  auto* f = static_cast<tv_class_factory*>(factory);
  void* instance = nullptr;
  st = f->create_instance(f, &instance);
  *out = static_cast<tv_control*>(instance);
  return st;
}

void tv_destroy(tv_control* c) {
  if (c == nullptr) return;
  tv_host_detach(c);
  delete c;
  g_objects.fetch_sub(1, std::memory_order_relaxed);
}

int32_t tv_invoke(tv_control* c, int32_t dispid, const tv_variant* args, int32_t argc, tv_variant* result) {
  if (c == nullptr || argc < 0 || argc > control::kMaxParams || (argc > 0 && args == nullptr))
    return TV_E_INVALIDARG;
  control::Variant converted[control::kMaxParams];
  for (int32_t i = 0; i < argc; ++i)
    if (!ToVariant(args[i], converted[i])) return TV_E_TYPEMISMATCH;
  control::Variant out;
  int32_t st = control::Invoke(c->ctl, dispid, converted, argc, out);
  if (st == TV_OK) FromVariant(c, out, result);
  return st;
}

int32_t tv_get_property(tv_control* c, int32_t dispid, tv_variant* value) {
  if (c == nullptr || value == nullptr) return TV_E_INVALIDARG;
  control::Variant out;
  int32_t st = control::GetProperty(c->ctl, dispid, out);
  if (st == TV_OK) FromVariant(c, out, value);
  return st;
}

int32_t tv_put_property(tv_control* c, int32_t dispid, const tv_variant* value) {
  if (c == nullptr || value == nullptr) return TV_E_INVALIDARG;
  control::Variant v;
  if (!ToVariant(*value, v)) return TV_E_TYPEMISMATCH;
  return control::PutProperty(c->ctl, dispid, v);
}

}  // extern "C"

namespace {

// The events' names by dispid, found once in the member table: a waiting client's callback runs for
// every record, and the table is searched by name and kind.
const char* EventName(int dispid) {
  static const std::vector<const char*> names = [] {
    std::vector<const char*> by_dispid;
    for (const control::MemberInfo& m : control::Members()) {
      if (m.kind != control::MemberKind::kEvent || m.dispid < 0) continue;
      if (static_cast<std::size_t>(m.dispid) >= by_dispid.size()) by_dispid.resize(m.dispid + 1, "");
      by_dispid[static_cast<std::size_t>(m.dispid)] = m.name.c_str();
    }
    return by_dispid;
  }();
  return dispid >= 0 && static_cast<std::size_t>(dispid) < names.size()
             ? names[static_cast<std::size_t>(dispid)]
             : "";
}

}  // namespace

extern "C" {

void tv_set_event_callback(tv_control* c, tv_event_callback callback, void* user) {
  if (c == nullptr) return;
  c->callback = callback;
  c->callback_user = user;
  if (callback == nullptr) {
    c->ctl.SetEventSink({});
    return;
  }
  c->ctl.SetEventSink([c](int dispid) {
    if (c->callback != nullptr) c->callback(c->callback_user, dispid, EventName(dispid));
  });
}

void tv_queue_events(tv_control* c, int32_t enabled) {
  if (c == nullptr) return;
  c->callback = nullptr;
  c->events.clear();
  if (!enabled) {
    c->ctl.SetEventSink({});
    return;
  }
  c->ctl.SetEventSink([c](int dispid) {
    QueuedEvent e;
    e.dispid = dispid;
    e.taken_at = platform::MonotonicSeconds();
    const uint8_t* data = nullptr;
    std::size_t size = 0;
    if (exchange::SectionId section{}; SectionNumbered(control::SectionOf(dispid), section))
      data = c->ctl.LatestRecord(section, size);
    switch (dispid) {
      case control::kImageEvent:
        data = control::ModuleImageBuffer();
        size = control::kImageBytes;
        break;
      case control::kVoiceSegmentEvent:
        data = c->ctl.GetVoiceSegment();
        size = c->ctl.VoiceBytesAvailable();
        break;
      default:
        break;
    }
    if (data != nullptr) e.data.assign(data, data + size);
    if (c->events.size() >= TV_EVENT_QUEUE_MAX) {
      c->events.pop_front();
      ++c->events_dropped;
    }
    c->events.push_back(std::move(e));
  });
}

int32_t tv_next_event(tv_control* c, tv_event* out) {
  if (c == nullptr || out == nullptr || c->events.empty()) return 0;
  c->taken = std::move(c->events.front());
  c->events.pop_front();
  out->dispid = c->taken.dispid;
  out->data = c->taken.data.data();
  out->size = c->taken.data.size();
  out->taken_at = c->taken.taken_at;
  return 1;
}

void tv_use_event(tv_control* c, const tv_event* e) {
  if (c == nullptr || e == nullptr || (e->size > 0 && e->data == nullptr)) return;
  if (exchange::SectionId section{}; SectionNumbered(control::SectionOf(e->dispid), section))
    c->ctl.UseRecord(section, e->data, e->size);
}

uint64_t tv_events_dropped(tv_control* c) {
  return c != nullptr ? c->events_dropped : 0;
}

int32_t tv_modified(tv_control* c) {
  return c != nullptr && c->ctl.modified() ? 1 : 0;
}

const uint8_t* tv_record(tv_control* c, int32_t which, size_t* size) {
  std::size_t n = 0;
  exchange::SectionId section{};
  const uint8_t* p =
      c != nullptr && SectionNumbered(which, section) ? c->ctl.LatestRecord(section, n) : nullptr;
  if (size != nullptr) *size = n;
  return p;
}

uint64_t tv_lapped(tv_control* c, int32_t which) {
  exchange::SectionId section{};
  return c != nullptr && SectionNumbered(which, section) ? c->ctl.Lapped(section) : 0;
}

uint64_t tv_commands_not_stored(tv_control* c) {
  return c != nullptr ? c->ctl.CommandsNotStored() : 0;
}

const char* tv_last_error(tv_control* c) {
  return c != nullptr ? c->ctl.last_error().c_str() : "";
}

int64_t tv_section_owner(tv_control* c) {
  return c != nullptr ? c->ctl.SectionOwner() : -1;
}

int32_t tv_relay_state(tv_control* c) {
  return c != nullptr ? static_cast<int32_t>(c->ctl.relay_state()) : TV_RELAY_NONE;
}

const char* tv_relay_state_name(int32_t state) {
  using State = exchange::RelayState;
  const bool known = state >= TV_RELAY_NONE && state <= TV_RELAY_LINK_UP;
  return exchange::RelayStateName(known ? static_cast<State>(state) : State::kNoRelay);
}

const uint8_t* tv_image(tv_control*, size_t* size) {
  if (size != nullptr) *size = control::kImageBytes;
  return control::ModuleImageBuffer();
}

const uint8_t* tv_luma(tv_control*, size_t* size) {
  if (size != nullptr) *size = control::kLumaAreaBytes;
  return control::ModuleLumaArea();
}

const uint8_t* tv_voice(tv_control* c, size_t* size) {
  if (size != nullptr) *size = c != nullptr ? c->ctl.VoiceBytesAvailable() : 0;
  return c != nullptr ? c->ctl.GetVoiceSegment() : nullptr;
}

int32_t tv_check_sound_file(const char* path, char* reason, size_t size) {
  exchange::WaveSamples wave;
  const platform::Result read = path != nullptr ? exchange::ReadPlayableSound(path, wave)
                                                : platform::Fail(platform::Status::kMissing, "no path");
  const bool ok = read.ok();
  CopyText(read.message, reason, size);
  return ok ? 0 : 1;
}

int32_t tv_check_lcd_file(const char* path, char* reason, size_t size) {
  media::LcdPicture picture;
  const platform::Result read = path != nullptr ? media::ReadLcdBmp(path, picture)
                                                : platform::Fail(platform::Status::kMissing, "no path");
  std::string why = read.message;
  bool ok = read.ok();
  if (ok) {
    for (const std::string& warning : media::BmpWarnings(picture.header))
      why += (why.empty() ? "" : " ") + warning;
    ok = why.empty();
  }
  CopyText(ok ? "" : (path == nullptr ? "no path" : why), reason, size);
  return ok ? 0 : 1;
}

void tv_stop_motors(tv_control* c) {
  if (c != nullptr) c->ctl.StopMotors();
}

int32_t tv_wait(tv_control* c, uint32_t timeout_ms) {
  return c != nullptr ? c->ctl.Wait(timeout_ms) : 0;
}

int32_t tv_served_robots(char* buffer, size_t size) {
  const std::vector<std::string> robots = exchange::ServedRobots();
  std::string text;
  for (const std::string& r : robots) text += r + "\n";
  CopyText(text, buffer, size);
  return static_cast<int32_t>(robots.size());
}

tv_host* tv_host_create(void) {
  auto* h = new tv_host;
  h->host.SetMessageHandler([h](const std::string& text) {
    if (h->queue_messages) {
      if (h->messages.size() >= TV_EVENT_QUEUE_MAX) h->messages.pop_front();
      h->messages.push_back(text);
    } else if (h->callback != nullptr) {
      h->callback(h->callback_user, text.c_str());
    } else {
      std::fprintf(stderr, "message: %s\n", text.c_str());
    }
  });
  return h;
}

void tv_host_destroy(tv_host* h) {
  if (h == nullptr) return;
  for (tv_control* c : std::vector<tv_control*>(h->controls)) tv_host_detach(c);
  delete h;
}

void tv_host_attach(tv_host* h, tv_control* c) {
  if (h == nullptr || c == nullptr) return;
  tv_host_detach(c);
  c->host = h;
  h->controls.push_back(c);
  c->ctl.AttachHost(&h->host);
}

void tv_host_detach(tv_control* c) {
  if (c == nullptr || c->host == nullptr) return;
  auto& list = c->host->controls;
  for (auto it = list.begin(); it != list.end(); ++it)
    if (*it == c) {
      list.erase(it);
      break;
    }
  c->ctl.AttachHost(nullptr);
  c->host = nullptr;
}

int32_t tv_host_process_due(tv_host* h) {
  return h != nullptr ? h->host.ProcessDue() : 0;
}
int64_t tv_host_ms_until_due(tv_host* h) {
  return h != nullptr ? h->host.MillisecondsUntilDue() : -1;
}
int64_t tv_host_ms_until_look(tv_host* h) {
  return h != nullptr ? h->host.MillisecondsUntilLook() : -1;
}
void tv_host_note_wait(tv_host* h, int32_t rang, int32_t done) {
  if (h != nullptr)
    h->host.NoteWait(rang != 0 ? platform::DoorbellWait::kRung : platform::DoorbellWait::kTimedOut, done);
}
void tv_host_run_for(tv_host* h, uint32_t ms) {
  if (h != nullptr) h->host.RunFor(ms);
}
void tv_host_set_ticking(tv_host* h, int32_t ticking) {
  if (h != nullptr) h->host.SetTicking(ticking != 0);
}
int32_t tv_host_wait(tv_host* h, uint32_t ms) {
  if (h == nullptr) return 0;
  return h->host.Wait(ms);
}

struct tv_doorbells {
  std::vector<platform::Doorbell> bells;
  platform::DoorbellPacer pacer;  // the host's, as it stood when armed: the wait runs on another thread
};
tv_doorbells* tv_host_arm(tv_host* h) {
  if (h == nullptr) return nullptr;
  auto* armed = new tv_doorbells;
  armed->pacer = h->host.pacer();
  if (h->host.Arm(armed->bells)) return armed;
  delete armed;
  return nullptr;
}
int32_t tv_doorbells_wait(tv_doorbells* armed, uint32_t ms) {
  if (armed == nullptr) return 1;
  return armed->pacer.Wait(armed->bells.data(), armed->bells.size(), ms) == platform::DoorbellWait::kRung ? 1
                                                                                                          : 0;
}
void tv_doorbells_free(tv_doorbells* armed) {
  delete armed;
}

void tv_host_queue_messages(tv_host* h, int32_t enabled) {
  if (h == nullptr) return;
  h->queue_messages = enabled != 0;
  h->messages.clear();
}

int32_t tv_host_next_message(tv_host* h, const char** text) {
  if (h == nullptr || text == nullptr || h->messages.empty()) return 0;
  h->taken_message = std::move(h->messages.front());
  h->messages.pop_front();
  *text = h->taken_message.c_str();
  return 1;
}

void tv_host_set_message_callback(tv_host* h, tv_message_callback callback, void* user) {
  if (h == nullptr) return;
  h->callback = callback;
  h->callback_user = user;
}

int32_t tv_parse_guid(const char* text, tv_guid* out) {
  if (text == nullptr || out == nullptr) return TV_E_INVALIDARG;
  unsigned int d[11];
  char tail = 0;
  if (std::sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%c", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5],
                  &d[6], &d[7], &d[8], &d[9], &d[10], &tail) != 11 ||
      std::strlen(text) != 38)
    return TV_E_INVALIDARG;
  out->data1 = d[0];
  out->data2 = static_cast<uint16_t>(d[1]);
  out->data3 = static_cast<uint16_t>(d[2]);
  for (int i = 0; i < 8; ++i) out->data4[i] = static_cast<uint8_t>(d[3 + i]);
  return TV_OK;
}

const char* tv_registry_path(void) {
  static thread_local std::string path;
  path = control::RegistryPath();
  return path.c_str();
}

}  // extern "C"

namespace control {

int32_t CanUnloadNow() {
  return g_objects.load(std::memory_order_relaxed) == 0 && g_locks.load(std::memory_order_relaxed) == 0
             ? TV_OK
             : TV_S_FALSE;
}

int32_t ClassFactory(const tv_guid* clsid, const tv_guid* iid, void** out) {
  if (clsid == nullptr || iid == nullptr || out == nullptr) return TV_E_INVALIDARG;
  *out = nullptr;
  tv_guid unknown{}, factory{};
  tv_parse_guid("{00000000-0000-0000-C000-000000000046}", &unknown);
  tv_parse_guid("{00000001-0000-0000-C000-000000000046}", &factory);
  if (!SameGuid(*iid, unknown) && !SameGuid(*iid, factory))
    return static_cast<int32_t>(0x80004002u);  // no interface
  tv_guid control_id{}, page_id{};
  tv_parse_guid(Identity::kControlClsid, &control_id);
  tv_parse_guid(Identity::kPropPageClsid, &page_id);
  if (SameGuid(*clsid, control_id)) {
    *out = &g_control_factory;
    return TV_OK;
  }
  if (SameGuid(*clsid, page_id)) {
    *out = &g_page_factory;
    return TV_OK;
  }
  return static_cast<int32_t>(0x80040111u);  // class not available
}

}  // namespace control
