// Self-registration and the C ABI, against a registry file in a temporary folder.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "control/talvenorctl_server.h"
#include "exchange/sections.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/talvenor-reg-XXXXXX";
    dir_ = mkdtemp(pattern);
    registry_ = dir_ + "/registry";
    setenv("TALVENOR_REGISTRY", registry_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TALVENOR_REGISTRY");
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }
  std::string dir_, registry_;
};

TEST_F(Registration, RegisterCreateByProgIdAndUnregister) {
  ASSERT_EQ(DllRegisterServer(), 0);
  EXPECT_EQ(std::string(tv_registry_path()), registry_);
  std::string reg = ReadFile(registry_);
  EXPECT_NE(reg.find("[CLSID\\{C3F1E5A4-1541-4456-9AB0-8BD4CE11A513}]"), std::string::npos);
  EXPECT_NE(reg.find("[CLSID\\{5307B30C-C252-450A-9AC4-2187A2492C94}]"), std::string::npos);
  EXPECT_NE(reg.find("[ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1]"), std::string::npos);
  EXPECT_NE(reg.find("[ZEMBRINSDKCONTROL.ZembrinSDKControlPropPage.1]"), std::string::npos);
  EXPECT_NE(reg.find("MiscStatus=131473"), std::string::npos);
  EXPECT_NE(reg.find("InprocServer32=/"), std::string::npos);
  const std::string tlb = dir_ + "/typelib/{98FCFC5C-1F70-4640-8B7B-A53A1B88AA8A}-1.0.tlb";
  EXPECT_NE(ReadFile(tlb).find("[id(145)] short GetBat1Vol();"), std::string::npos);

  tv_control* ctl = nullptr;
  ASSERT_EQ(tv_create_from_registry("ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1", &ctl), TV_OK);
  ASSERT_NE(ctl, nullptr);
  EXPECT_EQ(DllCanUnloadNow(), TV_S_FALSE) << "a control is alive";
  tv_destroy(ctl);
  ASSERT_EQ(tv_create_from_registry("{c3f1e5a4-1541-4456-9ab0-8bd4ce11a513}", &ctl), TV_OK);
  tv_destroy(ctl);
  // Without its version, the ProgID names the current one.
  EXPECT_NE(reg.find("CurVer=ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1"), std::string::npos);
  ASSERT_EQ(tv_create_from_registry("ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl", &ctl), TV_OK);
  tv_destroy(ctl);
  EXPECT_EQ(DllCanUnloadNow(), TV_OK);
  EXPECT_EQ(tv_create_from_registry("ZEMBRINSDKCONTROL.ZembrinSDKControlPropPage.1", &ctl), TV_E_CLASSNOTREG)
      << "the property page is not a control";

  tv_guid page_id{}, factory_iid{};
  ASSERT_EQ(tv_parse_guid("{5307B30C-C252-450A-9AC4-2187A2492C94}", &page_id), TV_OK);
  ASSERT_EQ(tv_parse_guid("{00000001-0000-0000-C000-000000000046}", &factory_iid), TV_OK);
  void* factory = nullptr;
  ASSERT_EQ(DllGetClassObject(&page_id, &factory_iid, &factory), TV_OK);
  void* page = nullptr;
  auto* f = static_cast<tv_class_factory*>(factory);
  ASSERT_EQ(f->create_instance(f, &page), TV_OK);
  EXPECT_STREQ(static_cast<tv_property_page*>(page)->caption, "General");
  EXPECT_EQ(f->lock_server(f, 1), TV_OK);
  EXPECT_EQ(DllCanUnloadNow(), TV_S_FALSE) << "a locked server stays loaded";
  f->lock_server(f, 0);

  ASSERT_EQ(DllUnregisterServer(), 0);
  reg = ReadFile(registry_);
  EXPECT_EQ(reg.find("C3F1E5A4"), std::string::npos);
  EXPECT_EQ(reg.find("5307B30C"), std::string::npos);
  EXPECT_EQ(reg.find("ZEMBRINSDKCONTROL"), std::string::npos);
  EXPECT_EQ(reg.find("TypeLib"), std::string::npos);
  struct stat st {};
  EXPECT_NE(stat(tlb.c_str(), &st), 0) << "the type library is gone";
  EXPECT_EQ(tv_create_from_registry("ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1", &ctl), TV_E_CLASSNOTREG);
}

TEST_F(Registration, TypeLibraryFailureRegistersNoClass) {
  std::ofstream(dir_ + "/typelib") << "a file where the folder should be";
  EXPECT_EQ(DllRegisterServer(), SELFREG_E_TYPELIB);
  EXPECT_EQ(ReadFile(registry_).find("CLSID"), std::string::npos);
}

TEST_F(Registration, ARegistryThatCannotBeWrittenFailsAtTheTypeLibrary) {
  mkdir(registry_.c_str(), 0700);  // the registry file cannot be written over a folder
  EXPECT_EQ(DllRegisterServer(), SELFREG_E_TYPELIB) << "the type library's entries are written first";
}

TEST_F(Registration, AServerRegisteredFromAnotherCopyIsRefused) {
  ASSERT_EQ(DllRegisterServer(), 0);
  // The same registry naming another copy of the library, as a second build tree would.
  std::string reg = ReadFile(registry_);
  const std::string key = "InprocServer32=";
  const std::size_t at = reg.find(key);
  ASSERT_NE(at, std::string::npos);
  const std::size_t end = reg.find('\n', at);
  const std::string original = reg.substr(at + key.size(), end - at - key.size());
  const std::string copy = dir_ + "/copy-of-talvenorctl.so";
  ASSERT_EQ(system(("cp '" + original + "' '" + copy + "'").c_str()), 0);
  std::size_t pos = 0;
  while ((pos = reg.find(original, pos)) != std::string::npos) {
    reg.replace(pos, original.size(), copy);
    pos += copy.size();
  }
  std::ofstream(registry_) << reg;
  tv_control* ctl = nullptr;
  EXPECT_EQ(tv_create_from_registry("ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1", &ctl),
            TV_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(ctl, nullptr);
  EXPECT_NE(std::string(tv_status_text(TV_E_CLASSNOTAVAILABLE)).find("another copy"), std::string::npos);
}

struct Events {
  std::vector<std::string> names;
  static void Callback(void* user, int32_t, const char* name) {
    static_cast<Events*>(user)->names.push_back(name);
  }
};

TEST(CAbi, TableInvokePropertiesEventsAndBuffers) {
  EXPECT_EQ(tv_member_count(), 161);
  tv_member_info info{};
  int methods = 0;
  for (int32_t i = 0; i < tv_member_count(); ++i) {
    ASSERT_EQ(tv_member_at(i, &info), TV_OK);
    if (info.kind == TV_KIND_METHOD) ++methods;
  }
  EXPECT_EQ(methods, 151);
  EXPECT_EQ(tv_member_at(161, &info), TV_E_INVALIDARG);
  const std::pair<const char*, size_t> sizes[] = {{"tv_variant", sizeof(tv_variant)},
                                                  {"tv_member_info", sizeof(tv_member_info)},
                                                  {"tv_sensor_field", sizeof(tv_sensor_field)},
                                                  {"tv_event", sizeof(tv_event)},
                                                  {"tv_guid", sizeof(tv_guid)},
                                                  {"tv_property_page", sizeof(tv_property_page)},
                                                  {"tv_class_factory", sizeof(tv_class_factory)},
                                                  {"tv_control", 0},
                                                  {"TV_VARIANT", 0},
                                                  {nullptr, 0}};
  for (const auto& [name, size] : sizes) EXPECT_EQ(tv_struct_size(name), size) << (name ? name : "NULL");
  int32_t id = 0;
  ASSERT_EQ(tv_get_dispid("GetBat1Vol", &id), TV_OK);
  EXPECT_EQ(id, 145);
  EXPECT_EQ(tv_get_dispid("nothing", &id), TV_E_UNKNOWNNAME);
  ASSERT_EQ(tv_get_event_dispid("VoiceSegmentEvent", &id), TV_OK);
  EXPECT_EQ(id, 5);

  tv_control* ctl = nullptr;
  ASSERT_EQ(tv_create(&ctl), TV_OK);
  tv_host* host = tv_host_create();
  tv_host_attach(host, ctl);
  Events events;
  tv_set_event_callback(ctl, &Events::Callback, &events);

  const std::string robot = "A" + std::to_string(getpid());
  exchange::CRingProducer producer;
  ASSERT_EQ(producer.Open(robot, exchange::SectionId::kMotorSensor), platform::Status::kOk);
  tv_variant name{};
  name.type = TV_STRING;
  name.s = robot.c_str();
  ASSERT_EQ(tv_get_dispid("connectRobot", &id), TV_OK);
  ASSERT_EQ(tv_invoke(ctl, id, &name, 1, nullptr), TV_OK);
  std::vector<uint8_t> record(33, 0);
  record[12] = 0x18;
  record[13] = 0xFC;
  producer.Put(record.data(), 33);
  for (int i = 0; i < 200 && events.names.empty(); ++i) tv_host_run_for(host, 10);
  ASSERT_EQ(events.names, std::vector<std::string>{"MotorSensorEvent"});
  ASSERT_EQ(tv_get_dispid("GetMotorCurrent1", &id), TV_OK);
  tv_variant result{};
  ASSERT_EQ(tv_invoke(ctl, id, nullptr, 0, &result), TV_OK);
  EXPECT_EQ(result.type, TV_SHORT);
  EXPECT_EQ(result.i, -1000);

  tv_variant text{};
  text.type = TV_STRING;
  text.s = "hello";
  ASSERT_EQ(tv_put_property(ctl, 4, &text), TV_OK);
  EXPECT_EQ(tv_modified(ctl), 1);
  ASSERT_EQ(tv_get_property(ctl, 4, &result), TV_OK);
  EXPECT_STREQ(result.s, "hello");
  EXPECT_EQ(tv_get_property(ctl, 50, &result), TV_E_MEMBERNOTFOUND);

  ASSERT_EQ(tv_get_dispid("GetImageAddress", &id), TV_OK);
  ASSERT_EQ(tv_invoke(ctl, id, nullptr, 0, &result), TV_OK);
  std::size_t size = 0;
  EXPECT_EQ(result.type, TV_ADDRESS);
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(static_cast<intptr_t>(result.i)), tv_image(ctl, &size));
  EXPECT_EQ(size, 76032u);
  tv_luma(ctl, &size);
  EXPECT_EQ(size, 50000u);
  tv_voice(ctl, &size);
  EXPECT_EQ(size, 0u);

  tv_variant bad{};
  bad.type = 99;
  ASSERT_EQ(tv_get_dispid("EnableServo", &id), TV_OK);
  EXPECT_EQ(tv_invoke(ctl, id, &bad, 1, nullptr), TV_E_TYPEMISMATCH);
  EXPECT_EQ(tv_invoke(ctl, id, nullptr, 1, nullptr), TV_E_INVALIDARG);

  tv_destroy(ctl);  // detaches from the host first
  EXPECT_EQ(tv_host_ms_until_due(host), -1);
  tv_host_destroy(host);
}

}  // namespace
