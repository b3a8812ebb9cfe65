#include <string>

#include "exchange/protocol.h"
#include "sim/robot.h"

namespace sim {

// A frame the control sends is named after the control's method that sends it (the operation, for
// aliases); any other by its data type.
std::string SimRobot::CommandName(uint8_t destination, uint8_t type, const uint8_t* payload, std::size_t n) {
  const uint8_t p0 = n > 0 ? payload[0] : 0;
  const bool timed = n == 6 || n == 14;
  switch (type) {
    case exchange::kTypeDcMotorPosition:
      return timed ? "DcMotorPositionTimeCtr" : "DcMotorPositionNonTimeCtr";
    case exchange::kTypeDcMotorPositionAll:
      return timed ? "DcMotorPositionTimeCtrAll" : "DcMotorPositionNonTimeCtrAll";
    case exchange::kTypeDcMotorPwm:
      return timed ? "DcMotorPwmTimeCtr" : "DcMotorPwmNonTimeCtr";
    case exchange::kTypeDcMotorPwmAll:
      return timed ? "DcMotorPwmTimeCtrAll" : "DcMotorPwmNonTimeCtrAll";
    case exchange::kTypeParameter:
      switch (p0) {
        case exchange::kParamPolarity:
          return "SetMotorPolarity";
        case exchange::kParamPositionGains:
          return "SetDcMotorPositionControlPID";
        case exchange::kParamVelocityGains:
          return "SetDcMotorVelocityControlPID";
        case exchange::kParamTrajectoryPlan:
          return n > 1 && payload[1] >= 6 ? "SetServoTrajectoryPlan" : "SetDcMotorTrajectoryPlan";
        case exchange::kParamSensorFilter:
          return "SetDcMotorSensorFilter";
        case exchange::kParamSensorUsage:
          return "SetDcMotorSensorUsage";
        case exchange::kParamControlMode:
          return "SetDcMotorControlMode";
        case exchange::kParamSensorPeriod: {
          static const char* const kKinds[] = {"SetSysMotorSensorPeriod", "SetSysStandardSensorPeriod",
                                               "SetSysCustomSensorPeriod", "SetSysAllSensorPeriod"};
          return n > 2 && payload[2] < 4 ? kKinds[payload[2]] : "SetSysSensorPeriod";
        }
        case exchange::kParamBumperProtection:
          return n > 1 && payload[1] ? "EnableBumperProtection" : "DisableBumperProtection";
        default:
          return "Parameter setting";
      }
    case exchange::kTypeRecordStart:
      return "StartRecord";
    case exchange::kTypeRecordStop:
      return "StopRecord";
    case exchange::kTypeAudioStop:
      return "StopAudioPlay";
    case exchange::kTypeCustomOutput:
      return "SetCustomDOUT";
    case exchange::kTypeLcdPicture:
      return destination == exchange::kDestMotionBoard ? "LcdDisplayVCS" : "LcdDisplayVCB";
    case exchange::kTypeInfraredOutput:
      return "SetInfraredControlOutput";
    case exchange::kTypeDcMotorVelocity:
      return timed ? "DcMotorVelocityTimeCtr" : "DcMotorVelocityNonTimeCtr";
    case exchange::kTypeDcMotorVelocityAll:
      return timed ? "DcMotorVelocityTimeCtrAll" : "DcMotorVelocityNonTimeCtrAll";
    case exchange::kTypeServo:
      return timed ? "ServoTimeCtr" : "servoNonTimeCtr";
    case exchange::kTypeServoAll:
      return timed ? "ServoTimeCtrAll" : "ServoNoTimeCtrAll";
    case exchange::kTypeMotorEnable: {
      const bool servo = n > 1 && payload[1] >= 6;
      if (p0 == 1) return servo ? "EnableServo" : "ResumeDcMotor";
      return servo ? "DisableServo" : "SuspendDcMotor";
    }
    case exchange::kTypeTakePhoto:
      return "TakePhoto";
    case exchange::kTypeGpsId:
      return "SetGPSID";
    case exchange::kTypeChargeControl:
      return "ChgCtrl";
    case exchange::kTypeMotorSensor:
    case exchange::kTypeCustomSensor:
    case exchange::kTypeStandardSensor:
    case exchange::kTypeAllSensor: {
      const char* kind = type == exchange::kTypeMotorSensor      ? "Motor"
                         : type == exchange::kTypeCustomSensor   ? "Custom"
                         : type == exchange::kTypeStandardSensor ? "Standard"
                                                                 : "All";
      if (p0 == 0xFF) return std::string("Enable") + kind + "SensorSending";
      if (p0 == 0x00) return std::string("Disable") + kind + "SensorSending";
      return std::string("System") + kind + "SensorRequest";
    }
    case exchange::kTypeLinkStatus:
      return p0 == exchange::kLinkStatusKeepAlive ? "Keep-alive" : "Link status";
    default: {
      if (const char* name = exchange::DataTypeNameOf(type)) return name;
      char text[24];
      std::snprintf(text, sizeof text, "data type 0x%02X", type);
      return text;
    }
  }
}

}  // namespace sim
