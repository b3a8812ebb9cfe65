// A first C++ client: connect to a robot's sections, ask for standard sensor packets, print a few
// readings as they arrive, and drive a motor for a moment.
//
//   build/examples/sensor_reader ROBOT
#include <cstdio>

#include "control/control.h"
#include "control/headless_host.h"

int main(int argc, char** argv) {
  const char* robot = argc > 1 ? argv[1] : "";
  control::CHeadlessHost host;
  control::CZembrinSDKControlCtrl ctl;
  ctl.AttachHost(&host);
  int readings = 0;
  ctl.SetEventSink([&](int event) {
    if (event != control::kStandardSensorEvent) return;
    ++readings;
    std::printf("sonar 1: %d cm, tilt x: %d, temperature: %.1f C\n", ctl.GetSensorSonar1(),
                ctl.GetSensorTiltingX(), ctl.GetSensorTemperature() / 10.0);
  });
  ctl.connectRobot(robot);
  ctl.EnableStandardSensorSending();
  if (!host.RunUntil([&] { return readings >= 5; }, 10000)) {
    std::fprintf(stderr, "no readings: is trevask running for robot '%s'?\n", robot);
    return 1;
  }
  ctl.DcMotorPwmNonTimeCtr(0, 200);
  host.RunFor(1000);
  ctl.DcMotorPwmNonTimeCtr(0, 0);
  ctl.DisableStandardSensorSending();
  host.RunFor(100);
  return 0;
}
