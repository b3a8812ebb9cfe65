// A first C++ client, on the library's public C interface alone (talvenorctl.h and the library):
// connect to a robot's sections, ask for standard sensor packets, print a few readings as they
// arrive, and drive a motor for a moment.
//
//   sensor_reader ROBOT
//
// Built beside the library, or against an installed copy: on Linux
//   c++ sensor_reader.cpp $(pkg-config --cflags --libs talvenorctl)
// and from the Windows zip (with its include\ and lib\, the DLL in bin\ beside the program)
//   g++ examples\cpp\sensor_reader.cpp -I include lib\talvenorctl.dll.a -static
#include <cstdio>
#include <initializer_list>

#include "talvenorctl.h"

namespace {

struct Client {
  tv_control* ctl = nullptr;
  int32_t standard_event = -1;
  int readings = 0;
};

// A method of the control by its name, with number arguments; its result as a number.
long long Call(tv_control* ctl, const char* name, std::initializer_list<long long> numbers = {}) {
  int32_t id = -1;
  if (tv_get_dispid(name, &id) != TV_OK) return 0;
  tv_variant args[TV_MAX_PARAMS] = {};
  int32_t count = 0;
  for (long long n : numbers) {
    args[count].type = TV_LONG;
    args[count].i = n;
    ++count;
  }
  tv_variant result = {};
  return tv_invoke(ctl, id, args, count, &result) == TV_OK ? static_cast<long long>(result.i) : 0;
}

void OnEvent(void* user, int32_t dispid, const char* /*name*/) {
  auto* client = static_cast<Client*>(user);
  if (dispid != client->standard_event) return;
  ++client->readings;
  std::printf("sonar 1: %lld cm, tilt x: %lld, temperature: %.1f C\n", Call(client->ctl, "GetSensorSonar1"),
              Call(client->ctl, "GetSensorTiltingX"),
              static_cast<double>(Call(client->ctl, "GetSensorTemperature")) / 10.0);
}

}  // namespace

int main(int argc, char** argv) {
  const char* robot = argc > 1 ? argv[1] : "";
  Client client;
  if (tv_create(&client.ctl) != TV_OK) {
    std::fprintf(stderr, "the control cannot be created\n");
    return 1;
  }
  tv_host* host = tv_host_create();
  tv_host_attach(host, client.ctl);
  tv_get_event_dispid("StandardSensorEvent", &client.standard_event);
  tv_set_event_callback(client.ctl, &OnEvent, &client);

  tv_variant name = {};
  name.type = TV_STRING;
  name.s = robot;
  int32_t connect = -1;
  tv_get_dispid("connectRobot", &connect);
  tv_invoke(client.ctl, connect, &name, 1, nullptr);
  if (*tv_last_error(client.ctl) != '\0') {
    std::fprintf(stderr, "robot '%s': %s\n", robot, tv_last_error(client.ctl));
    return 1;
  }
  Call(client.ctl, "EnableStandardSensorSending");
  // Readings are handed over as they arrive, while the host waits (at most 10 seconds here).
  for (int waits = 0; client.readings < 5 && waits < 100; ++waits)
    if (tv_host_wait(host, 100) < 0) break;  // Ctrl-C
  int status = 0;
  if (client.readings < 5) {
    std::fprintf(stderr, "no readings: is trevask running for robot '%s'?\n", robot);
    status = 1;
  } else {
    Call(client.ctl, "DcMotorPwmNonTimeCtr", {0, 200});
    tv_host_run_for(host, 1000);
    Call(client.ctl, "DcMotorPwmNonTimeCtr", {0, 0});
  }
  Call(client.ctl, "DisableStandardSensorSending");
  tv_host_run_for(host, 100);
  tv_host_destroy(host);
  tv_destroy(client.ctl);
  return status;
}
