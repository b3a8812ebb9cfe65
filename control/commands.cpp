// The motion and I/O commands: every method builds exactly one frame for the sensing and motion
// board (destination 1, sequence 0). Byte fields take the low 8 bits of their argument, word fields
// the argument's 16 bits, low byte first; nothing is range-checked or clamped.

#include "control/control.h"
#include "exchange/protocol.h"

namespace control {
namespace {

constexpr uint8_t kMotionBoard = exchange::kDestMotionBoard;
using exchange::kServoChannelOffset;
using exchange::kTimeMarker;

uint8_t Lo(int v) {
  return static_cast<uint8_t>(v & 0xFF);
}
uint8_t Hi(int v) {
  return static_cast<uint8_t>((v >> 8) & 0xFF);
}

}  // namespace

void CZembrinSDKControlCtrl::PutMotion(uint8_t type, std::initializer_list<int> bytes) {
  uint8_t payload[16];
  std::size_t n = 0;
  for (int b : bytes) payload[n++] = Lo(b);
  PutFrame(kMotionBoard, type, payload, n);
}

void CZembrinSDKControlCtrl::PutWordsAll(uint8_t type, std::initializer_list<int16_t> words) {
  uint8_t payload[16];
  std::size_t n = 0;
  for (int16_t w : words) {
    payload[n++] = Lo(w);
    payload[n++] = Hi(w);
  }
  PutFrame(kMotionBoard, type, payload, n);
}

void CZembrinSDKControlCtrl::PutChannelValue(uint8_t type, int16_t channel, int16_t value) {
  PutMotion(type, {channel, Lo(value), Hi(value)});
}

void CZembrinSDKControlCtrl::PutChannelValueTime(uint8_t type, int16_t channel, int16_t value, int16_t time) {
  PutMotion(type, {channel, Lo(value), Hi(value), kTimeMarker, Lo(time), Hi(time)});
}

void CZembrinSDKControlCtrl::ResumeDcMotor(int16_t channel) {
  PutMotion(exchange::kTypeMotorEnable, {0x01, channel});
}
void CZembrinSDKControlCtrl::SuspendDcMotor(int16_t channel) {
  PutMotion(exchange::kTypeMotorEnable, {0x00, channel});
}
void CZembrinSDKControlCtrl::EnableServo(int16_t channel) {
  PutMotion(exchange::kTypeMotorEnable, {0x01, channel + kServoChannelOffset});
}
void CZembrinSDKControlCtrl::DisableServo(int16_t channel) {
  PutMotion(exchange::kTypeMotorEnable, {0x00, channel + kServoChannelOffset});
}

void CZembrinSDKControlCtrl::DcMotorPositionNonTimeCtr(int16_t channel, int16_t cmdValue) {
  PutChannelValue(exchange::kTypeDcMotorPosition, channel, cmdValue);
}
void CZembrinSDKControlCtrl::DcMotorPositionTimeCtr(int16_t channel, int16_t cmdValue, int16_t timePeriod) {
  PutChannelValueTime(exchange::kTypeDcMotorPosition, channel, cmdValue, timePeriod);
}
void CZembrinSDKControlCtrl::DcMotorPwmNonTimeCtr(int16_t channel, int16_t cmdValue) {
  PutChannelValue(exchange::kTypeDcMotorPwm, channel, cmdValue);
}
void CZembrinSDKControlCtrl::DcMotorPwmTimeCtr(int16_t channel, int16_t cmdValue, int16_t timePeriod) {
  PutChannelValueTime(exchange::kTypeDcMotorPwm, channel, cmdValue, timePeriod);
}
// Velocity words go out unchanged: no operation of the control marks a channel's polarity as
// reversed, so the direction bit the robot would read for such a channel is never added.
void CZembrinSDKControlCtrl::DcMotorVelocityNonTimeCtr(int16_t channel, int16_t cmdValue) {
  PutChannelValue(exchange::kTypeDcMotorVelocity, channel, cmdValue);
}
void CZembrinSDKControlCtrl::DcMotorVelocityTimeCtr(int16_t channel, int16_t cmdValue, int16_t timePeriods) {
  PutChannelValueTime(exchange::kTypeDcMotorVelocity, channel, cmdValue, timePeriods);
}
void CZembrinSDKControlCtrl::servoNonTimeCtr(int16_t channel, int16_t cmdValue) {
  PutChannelValue(exchange::kTypeServo, channel, cmdValue);
}
void CZembrinSDKControlCtrl::ServoTimeCtr(int16_t channel, int16_t cmdValue, int16_t timePeriods) {
  PutChannelValueTime(exchange::kTypeServo, channel, cmdValue, timePeriods);
}

void CZembrinSDKControlCtrl::DcMotorPositionNonTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4,
                                                          int16_t c5, int16_t c6) {
  PutWordsAll(exchange::kTypeDcMotorPositionAll, {c1, c2, c3, c4, c5, c6});
}
void CZembrinSDKControlCtrl::DcMotorPositionTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4,
                                                       int16_t c5, int16_t c6, int16_t t) {
  PutWordsAll(exchange::kTypeDcMotorPositionAll, {c1, c2, c3, c4, c5, c6, t});
}
void CZembrinSDKControlCtrl::DcMotorPwmNonTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4,
                                                     int16_t c5, int16_t c6) {
  PutWordsAll(exchange::kTypeDcMotorPwmAll, {c1, c2, c3, c4, c5, c6});
}
void CZembrinSDKControlCtrl::DcMotorPwmTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4, int16_t c5,
                                                  int16_t c6, int16_t t) {
  PutWordsAll(exchange::kTypeDcMotorPwmAll, {c1, c2, c3, c4, c5, c6, t});
}
void CZembrinSDKControlCtrl::DcMotorVelocityNonTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4,
                                                          int16_t c5, int16_t c6) {
  PutWordsAll(exchange::kTypeDcMotorVelocityAll, {c1, c2, c3, c4, c5, c6});
}
void CZembrinSDKControlCtrl::DcMotorVelocityTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4,
                                                       int16_t c5, int16_t c6, int16_t t) {
  PutWordsAll(exchange::kTypeDcMotorVelocityAll, {c1, c2, c3, c4, c5, c6, t});
}
void CZembrinSDKControlCtrl::ServoNoTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4, int16_t c5,
                                               int16_t c6) {
  PutWordsAll(exchange::kTypeServoAll, {c1, c2, c3, c4, c5, c6});
}
void CZembrinSDKControlCtrl::ServoTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4, int16_t c5,
                                             int16_t c6, int16_t t) {
  PutWordsAll(exchange::kTypeServoAll, {c1, c2, c3, c4, c5, c6, t});
}

void CZembrinSDKControlCtrl::StopMotors() {
  DcMotorPwmNonTimeCtrAll(0, 0, 0, 0, 0, 0);
  DcMotorVelocityNonTimeCtrAll(0, 0, 0, 0, 0, 0);
  for (int16_t channel = 0; channel < 6; ++channel) DisableDcMotor(channel);
  for (int16_t channel = 0; channel < 6; ++channel) DisableServo(channel);
}

void CZembrinSDKControlCtrl::SetMotorPolarity(int16_t channel, int16_t Polarity) {
  PutMotion(exchange::kTypeParameter, {exchange::kParamPolarity, channel, Polarity});
}

void CZembrinSDKControlCtrl::SetDcMotorPositionControlPID(int16_t channel, int16_t Kp, int16_t Kd,
                                                          int16_t Ki) {
  PutMotion(exchange::kTypeParameter, {exchange::kParamPositionGains, channel, 0x01, Lo(Kp), Hi(Kp), 0x02,
                                       Lo(Kd), Hi(Kd), 0x03, Lo(Ki), Hi(Ki)});
}
void CZembrinSDKControlCtrl::SetDcMotorVelocityControlPID(int16_t channel, int16_t Kp, int16_t Kd,
                                                          int16_t Ki) {
  PutMotion(exchange::kTypeParameter, {exchange::kParamVelocityGains, channel, 0x01, Lo(Kp), Hi(Kp), 0x02,
                                       Lo(Kd), Hi(Kd), 0x03, Lo(Ki), Hi(Ki)});
}
void CZembrinSDKControlCtrl::SetDcMotorTrajectoryPlan(int16_t channel, int16_t tranPlanMethod) {
  PutMotion(exchange::kTypeParameter, {exchange::kParamTrajectoryPlan, channel, tranPlanMethod});
}
void CZembrinSDKControlCtrl::SetServoTrajectoryPlan(int16_t channel, int16_t tranPlanMethod) {
  PutMotion(exchange::kTypeParameter,
            {exchange::kParamTrajectoryPlan, channel + kServoChannelOffset, tranPlanMethod});
}
void CZembrinSDKControlCtrl::SetDcMotorSensorFilter(int16_t channel, int16_t filterMethod) {
  PutMotion(exchange::kTypeParameter, {exchange::kParamSensorFilter, channel, filterMethod});
}
void CZembrinSDKControlCtrl::SetDcMotorSensorUsage(int16_t channel, int16_t sensorType) {
  PutMotion(exchange::kTypeParameter, {exchange::kParamSensorUsage, channel, sensorType});
}
void CZembrinSDKControlCtrl::SetDcMotorControlMode(int16_t channel, int16_t controlMode) {
  PutMotion(exchange::kTypeParameter, {exchange::kParamControlMode, channel, controlMode});
}
void CZembrinSDKControlCtrl::SensorPeriod(int kind, int16_t period) {
  PutMotion(exchange::kTypeParameter, {exchange::kParamSensorPeriod, 0x01, kind, Lo(period), Hi(period)});
}
void CZembrinSDKControlCtrl::EnableBumperProtection() {
  PutMotion(exchange::kTypeParameter, {exchange::kParamBumperProtection, 0x01});
}
void CZembrinSDKControlCtrl::DisableBumperProtection() {
  PutMotion(exchange::kTypeParameter, {exchange::kParamBumperProtection, 0x00});
}

void CZembrinSDKControlCtrl::SensorRequest(uint8_t type, int16_t packets) {
  PutMotion(type, {packets});
}

void CZembrinSDKControlCtrl::SetCustomDOUT(int16_t dout) {
  PutMotion(exchange::kTypeCustomOutput, {dout});
}
void CZembrinSDKControlCtrl::SetInfraredControlOutput(int16_t low, int16_t high) {
  PutMotion(exchange::kTypeInfraredOutput, {Lo(low), Hi(low), Lo(high), Hi(high)});
}
void CZembrinSDKControlCtrl::SetGPSID(int16_t ID1, int16_t ID2, int16_t ID3, int16_t ID4) {
  PutMotion(exchange::kTypeGpsId, {ID1, ID2, ID3, ID4});
}
void CZembrinSDKControlCtrl::ChgCtrl(int16_t currentCtrl) {
  PutMotion(exchange::kTypeChargeControl, {currentCtrl});
}

}  // namespace control
