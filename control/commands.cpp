// The motion and I/O commands: every method builds exactly one frame for the sensing and motion
// board (destination 1, sequence 0). Byte fields take the low 8 bits of their argument, word fields
// the argument's 16 bits, low byte first; nothing is range-checked or clamped.

#include "control/control.h"

namespace control {
namespace {

constexpr uint8_t kMotionBoard = 0x01;
constexpr uint8_t kTimeMarker = 0x1C;
constexpr int kServoChannelOffset = 6;

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
  PutMotion(0x1E, {0x01, channel});
}
void CZembrinSDKControlCtrl::SuspendDcMotor(int16_t channel) {
  PutMotion(0x1E, {0x00, channel});
}
void CZembrinSDKControlCtrl::EnableServo(int16_t channel) {
  PutMotion(0x1E, {0x01, channel + kServoChannelOffset});
}
void CZembrinSDKControlCtrl::DisableServo(int16_t channel) {
  PutMotion(0x1E, {0x00, channel + kServoChannelOffset});
}

void CZembrinSDKControlCtrl::DcMotorPositionNonTimeCtr(int16_t channel, int16_t cmdValue) {
  PutChannelValue(0x03, channel, cmdValue);
}
void CZembrinSDKControlCtrl::DcMotorPositionTimeCtr(int16_t channel, int16_t cmdValue, int16_t timePeriod) {
  PutChannelValueTime(0x03, channel, cmdValue, timePeriod);
}
void CZembrinSDKControlCtrl::DcMotorPwmNonTimeCtr(int16_t channel, int16_t cmdValue) {
  PutChannelValue(0x05, channel, cmdValue);
}
void CZembrinSDKControlCtrl::DcMotorPwmTimeCtr(int16_t channel, int16_t cmdValue, int16_t timePeriod) {
  PutChannelValueTime(0x05, channel, cmdValue, timePeriod);
}
// Velocity words go out unchanged: no operation of the control marks a channel's polarity as
// reversed, so the direction bit the robot would read for such a channel is never added.
void CZembrinSDKControlCtrl::DcMotorVelocityNonTimeCtr(int16_t channel, int16_t cmdValue) {
  PutChannelValue(0x1A, channel, cmdValue);
}
void CZembrinSDKControlCtrl::DcMotorVelocityTimeCtr(int16_t channel, int16_t cmdValue, int16_t timePeriods) {
  PutChannelValueTime(0x1A, channel, cmdValue, timePeriods);
}
void CZembrinSDKControlCtrl::servoNonTimeCtr(int16_t channel, int16_t cmdValue) {
  PutChannelValue(0x1C, channel, cmdValue);
}
void CZembrinSDKControlCtrl::ServoTimeCtr(int16_t channel, int16_t cmdValue, int16_t timePeriods) {
  PutChannelValueTime(0x1C, channel, cmdValue, timePeriods);
}

void CZembrinSDKControlCtrl::DcMotorPositionNonTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4,
                                                          int16_t c5, int16_t c6) {
  PutWordsAll(0x04, {c1, c2, c3, c4, c5, c6});
}
void CZembrinSDKControlCtrl::DcMotorPositionTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4,
                                                       int16_t c5, int16_t c6, int16_t t) {
  PutWordsAll(0x04, {c1, c2, c3, c4, c5, c6, t});
}
void CZembrinSDKControlCtrl::DcMotorPwmNonTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4,
                                                     int16_t c5, int16_t c6) {
  PutWordsAll(0x06, {c1, c2, c3, c4, c5, c6});
}
void CZembrinSDKControlCtrl::DcMotorPwmTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4, int16_t c5,
                                                  int16_t c6, int16_t t) {
  PutWordsAll(0x06, {c1, c2, c3, c4, c5, c6, t});
}
void CZembrinSDKControlCtrl::DcMotorVelocityNonTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4,
                                                          int16_t c5, int16_t c6) {
  PutWordsAll(0x1B, {c1, c2, c3, c4, c5, c6});
}
void CZembrinSDKControlCtrl::DcMotorVelocityTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4,
                                                       int16_t c5, int16_t c6, int16_t t) {
  PutWordsAll(0x1B, {c1, c2, c3, c4, c5, c6, t});
}
void CZembrinSDKControlCtrl::ServoNoTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4, int16_t c5,
                                               int16_t c6) {
  PutWordsAll(0x1D, {c1, c2, c3, c4, c5, c6});
}
void CZembrinSDKControlCtrl::ServoTimeCtrAll(int16_t c1, int16_t c2, int16_t c3, int16_t c4, int16_t c5,
                                             int16_t c6, int16_t t) {
  PutWordsAll(0x1D, {c1, c2, c3, c4, c5, c6, t});
}

void CZembrinSDKControlCtrl::SetMotorPolarity(int16_t channel, int16_t Polarity) {
  PutMotion(0x07, {0x06, channel, Polarity});
}

void CZembrinSDKControlCtrl::SetDcMotorPositionControlPID(int16_t channel, int16_t Kp, int16_t Kd,
                                                          int16_t Ki) {
  PutMotion(0x07, {0x07, channel, 0x01, Lo(Kp), Hi(Kp), 0x02, Lo(Kd), Hi(Kd), 0x03, Lo(Ki), Hi(Ki)});
}
void CZembrinSDKControlCtrl::SetDcMotorVelocityControlPID(int16_t channel, int16_t Kp, int16_t Kd,
                                                          int16_t Ki) {
  PutMotion(0x07, {0x08, channel, 0x01, Lo(Kp), Hi(Kp), 0x02, Lo(Kd), Hi(Kd), 0x03, Lo(Ki), Hi(Ki)});
}
void CZembrinSDKControlCtrl::SetDcMotorTrajectoryPlan(int16_t channel, int16_t tranPlanMethod) {
  PutMotion(0x07, {0x0A, channel, tranPlanMethod});
}
void CZembrinSDKControlCtrl::SetServoTrajectoryPlan(int16_t channel, int16_t tranPlanMethod) {
  PutMotion(0x07, {0x0A, channel + kServoChannelOffset, tranPlanMethod});
}
void CZembrinSDKControlCtrl::SetDcMotorSensorFilter(int16_t channel, int16_t filterMethod) {
  PutMotion(0x07, {0x0C, channel, filterMethod});
}
void CZembrinSDKControlCtrl::SetDcMotorSensorUsage(int16_t channel, int16_t sensorType) {
  PutMotion(0x07, {0x0D, channel, sensorType});
}
void CZembrinSDKControlCtrl::SetDcMotorControlMode(int16_t channel, int16_t controlMode) {
  PutMotion(0x07, {0x0E, channel, controlMode});
}
void CZembrinSDKControlCtrl::SensorPeriod(int kind, int16_t period) {
  PutMotion(0x07, {0x12, 0x01, kind, Lo(period), Hi(period)});
}
void CZembrinSDKControlCtrl::EnableBumperProtection() {
  PutMotion(0x07, {0x13, 0x01});
}
void CZembrinSDKControlCtrl::DisableBumperProtection() {
  PutMotion(0x07, {0x13, 0x00});
}

void CZembrinSDKControlCtrl::SensorRequest(uint8_t type, int16_t packets) {
  PutMotion(type, {packets});
}

void CZembrinSDKControlCtrl::SetCustomDOUT(int16_t dout) {
  PutMotion(0x16, {dout});
}
void CZembrinSDKControlCtrl::SetInfraredControlOutput(int16_t low, int16_t high) {
  PutMotion(0x19, {Lo(low), Hi(low), Lo(high), Hi(high)});
}
void CZembrinSDKControlCtrl::SetGPSID(int16_t ID1, int16_t ID2, int16_t ID3, int16_t ID4) {
  PutMotion(0x50, {ID1, ID2, ID3, ID4});
}
void CZembrinSDKControlCtrl::ChgCtrl(int16_t currentCtrl) {
  PutMotion(0x51, {currentCtrl});
}

}  // namespace control
