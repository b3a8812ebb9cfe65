#include <string>

#include "sim/robot.h"

namespace sim {

std::string SimRobot::CommandName(uint8_t destination, uint8_t type, const uint8_t* payload, std::size_t n) {
  const uint8_t p0 = n > 0 ? payload[0] : 0;
  const bool timed = n == 6 || n == 14;
  switch (type) {
    case 0x01:
      return "Acknowledgement";
    case 0x03:
      return timed ? "DcMotorPositionTimeCtr" : "DcMotorPositionNonTimeCtr";
    case 0x04:
      return timed ? "DcMotorPositionTimeCtrAll" : "DcMotorPositionNonTimeCtrAll";
    case 0x05:
      return timed ? "DcMotorPwmTimeCtr" : "DcMotorPwmNonTimeCtr";
    case 0x06:
      return timed ? "DcMotorPwmTimeCtrAll" : "DcMotorPwmNonTimeCtrAll";
    case 0x07:
      switch (p0) {
        case 0x06:
          return "SetMotorPolarity";
        case 0x07:
          return "SetDcMotorPositionControlPID";
        case 0x08:
          return "SetDcMotorVelocityControlPID";
        case 0x0A:
          return n > 1 && payload[1] >= 6 ? "SetServoTrajectoryPlan" : "SetDcMotorTrajectoryPlan";
        case 0x0C:
          return "SetDcMotorSensorFilter";
        case 0x0D:
          return "SetDcMotorSensorUsage";
        case 0x0E:
          return "SetDcMotorControlMode";
        case 0x12: {
          static const char* const kKinds[] = {"SetSysMotorSensorPeriod", "SetSysStandardSensorPeriod",
                                               "SetSysCustomSensorPeriod", "SetSysAllSensorPeriod"};
          return n > 2 && payload[2] < 4 ? kKinds[payload[2]] : "SetSysSensorPeriod";
        }
        case 0x13:
          return n > 1 && payload[1] ? "EnableBumperProtection" : "DisableBumperProtection";
        default:
          return "Parameter setting";
      }
    case 0x0A:
      return "Voice packet";
    case 0x0B:
      return "StartRecord";
    case 0x0C:
      return "StopRecord";
    case 0x0D:
      return "Audio announcement";
    case 0x0E:
      return "StopAudioPlay";
    case 0x11:
      return "Firmware upload start";
    case 0x16:
      return "SetCustomDOUT";
    case 0x17:
      return destination == 1 ? "LcdDisplayVCS" : "LcdDisplayVCB";
    case 0x19:
      return "SetInfraredControlOutput";
    case 0x1A:
      return timed ? "DcMotorVelocityTimeCtr" : "DcMotorVelocityNonTimeCtr";
    case 0x1B:
      return timed ? "DcMotorVelocityTimeCtrAll" : "DcMotorVelocityNonTimeCtrAll";
    case 0x1C:
      return timed ? "ServoTimeCtr" : "servoNonTimeCtr";
    case 0x1D:
      return timed ? "ServoTimeCtrAll" : "ServoNoTimeCtrAll";
    case 0x1E: {
      const bool servo = n > 1 && payload[1] >= 6;
      if (p0 == 1) return servo ? "EnableServo" : "ResumeDcMotor";
      return servo ? "DisableServo" : "SuspendDcMotor";
    }
    case 0x20:
      return "TakePhoto";
    case 0x50:
      return "SetGPSID";
    case 0x51:
      return "ChgCtrl";
    case 0x7B:
    case 0x7C:
    case 0x7D:
    case 0x7F: {
      const char* kind = type == 0x7B ? "Motor" : type == 0x7C ? "Custom" : type == 0x7D ? "Standard" : "All";
      if (p0 == 0xFF) return std::string("Enable") + kind + "SensorSending";
      if (p0 == 0x00) return std::string("Disable") + kind + "SensorSending";
      return std::string("System") + kind + "SensorRequest";
    }
    case 0xFF:
      return p0 == 0 ? "Keep-alive" : "Link status";
    default: {
      char text[24];
      std::snprintf(text, sizeof text, "data type 0x%02X", type);
      return text;
    }
  }
}

}  // namespace sim
