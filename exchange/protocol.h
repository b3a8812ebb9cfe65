// The robot protocol's vocabulary, written once: the data types of frames (byte 4), the parameter
// codes of the parameter frame, and the layout of the image record the relay hands to clients. The
// relay, the control, the simulated robot and the tools all use these names; the byte values are
// what the robot's two boards understand and must not change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "exchange/frame.h"

namespace exchange {

// Data types, both directions.
inline constexpr uint8_t kTypeAcknowledgement = 0x01;  // computer -> multimedia board, payload 1
inline constexpr uint8_t kTypeLinkStatus = 0xFF;       // one payload byte: a LinkStatusCode below
// Robot -> computer.
inline constexpr uint8_t kTypeImage = 0x09;  // one packet of a camera frame
inline constexpr uint8_t kTypeVoice = 0x0A;  // 4-bit ADPCM voice (also computer -> robot: loudspeaker)
inline constexpr uint8_t kTypeVoiceFlowControl = 0x10;  // the loudspeaker asks the upload to pause
inline constexpr uint8_t kTypeVoiceDecoderReset = 0x33;
inline constexpr uint8_t kTypeMotorSensor = 0x7B;  // also the request for that stream
inline constexpr uint8_t kTypeCustomSensor = 0x7C;
inline constexpr uint8_t kTypeStandardSensor = 0x7D;
inline constexpr uint8_t kTypeAllSensor = 0x7F;
// Computer -> sensing and motion board.
inline constexpr uint8_t kTypeDcMotorPosition = 0x03;
inline constexpr uint8_t kTypeDcMotorPositionAll = 0x04;
inline constexpr uint8_t kTypeDcMotorPwm = 0x05;
inline constexpr uint8_t kTypeDcMotorPwmAll = 0x06;
inline constexpr uint8_t kTypeParameter = 0x07;  // first payload byte: a parameter code below
inline constexpr uint8_t kTypeCustomOutput = 0x16;
inline constexpr uint8_t kTypeInfraredOutput = 0x19;
inline constexpr uint8_t kTypeDcMotorVelocity = 0x1A;
inline constexpr uint8_t kTypeDcMotorVelocityAll = 0x1B;
inline constexpr uint8_t kTypeServo = 0x1C;
inline constexpr uint8_t kTypeServoAll = 0x1D;
inline constexpr uint8_t kTypeMotorEnable = 0x1E;  // payload: 1 enable / 0 disable, channel
inline constexpr uint8_t kTypeGpsId = 0x50;
inline constexpr uint8_t kTypeChargeControl = 0x51;
// Computer -> multimedia board.
inline constexpr uint8_t kTypeRecordStart = 0x0B;  // payload: voice segment length in 4096-byte units
inline constexpr uint8_t kTypeRecordStop = 0x0C;
inline constexpr uint8_t kTypeAudioAnnouncement = 0x0D;  // payload: the sound's size class
inline constexpr uint8_t kTypeAudioStop = 0x0E;
inline constexpr uint8_t kTypeFirmwareStart = 0x11;
inline constexpr uint8_t kTypeLcdPicture = 0x17;  // also to the motion board's LCD
inline constexpr uint8_t kTypeTakePhoto = 0x20;

// Every data type by name, as logs, statistics, the simulated robot and the capture dissector show it
// (tools/wireshark/trevask.lua holds the same pairs; a test keeps them in step).
struct DataTypeName {
  uint8_t value;
  const char* name;
};
inline constexpr DataTypeName kDataTypeNames[] = {
    {kTypeAcknowledgement, "Acknowledgement"},
    {kTypeLinkStatus, "LinkStatus"},
    {kTypeImage, "Image"},
    {kTypeVoice, "Voice"},
    {kTypeVoiceFlowControl, "VoiceFlowControl"},
    {kTypeVoiceDecoderReset, "VoiceDecoderReset"},
    {kTypeMotorSensor, "MotorSensor"},
    {kTypeCustomSensor, "CustomSensor"},
    {kTypeStandardSensor, "StandardSensor"},
    {kTypeAllSensor, "AllSensor"},
    {kTypeDcMotorPosition, "DcMotorPosition"},
    {kTypeDcMotorPositionAll, "DcMotorPositionAll"},
    {kTypeDcMotorPwm, "DcMotorPwm"},
    {kTypeDcMotorPwmAll, "DcMotorPwmAll"},
    {kTypeParameter, "Parameter"},
    {kTypeCustomOutput, "CustomOutput"},
    {kTypeInfraredOutput, "InfraredOutput"},
    {kTypeDcMotorVelocity, "DcMotorVelocity"},
    {kTypeDcMotorVelocityAll, "DcMotorVelocityAll"},
    {kTypeServo, "Servo"},
    {kTypeServoAll, "ServoAll"},
    {kTypeMotorEnable, "MotorEnable"},
    {kTypeGpsId, "GpsId"},
    {kTypeChargeControl, "ChargeControl"},
    {kTypeRecordStart, "RecordStart"},
    {kTypeRecordStop, "RecordStop"},
    {kTypeAudioAnnouncement, "AudioAnnouncement"},
    {kTypeAudioStop, "AudioStop"},
    {kTypeFirmwareStart, "FirmwareStart"},
    {kTypeLcdPicture, "LcdPicture"},
    {kTypeTakePhoto, "TakePhoto"},
};

// The name of a data type, nullptr for one the system does not know.
constexpr const char* DataTypeNameOf(uint8_t type) {
  for (const DataTypeName& t : kDataTypeNames)
    if (t.value == type) return t.name;
  return nullptr;
}

// The codes of a link-status frame: its one payload byte, read as a signed byte.
enum LinkStatusCode : int8_t {
  kLinkStatusKeepAlive = 0,  // the computer's keep-alive; from the robot, a status to acknowledge
  kLinkStatusAnswer = 1,     // the robot's answer to a keep-alive
  kLinkStatusReport2 = 2,    // statuses of the robot's own (their meaning is the robot's), acknowledged
  kLinkStatusReport3 = 3,
};
// Whether the computer acknowledges a status code at once (the answer is acknowledged by the
// keep-alive's own rules; any other code is ignored).
constexpr bool AcknowledgedAtOnce(int8_t code) {
  return code == kLinkStatusKeepAlive || code == kLinkStatusReport2 || code == kLinkStatusReport3;
}

// Parameter codes (first payload byte of kTypeParameter).
inline constexpr uint8_t kParamPolarity = 0x06;
inline constexpr uint8_t kParamPositionGains = 0x07;
inline constexpr uint8_t kParamVelocityGains = 0x08;
inline constexpr uint8_t kParamTrajectoryPlan = 0x0A;
inline constexpr uint8_t kParamSensorFilter = 0x0C;
inline constexpr uint8_t kParamSensorUsage = 0x0D;
inline constexpr uint8_t kParamControlMode = 0x0E;
inline constexpr uint8_t kParamSensorPeriod = 0x12;
inline constexpr uint8_t kParamBumperProtection = 0x13;

// The byte between value and time in the single-channel timed motion frames.
inline constexpr uint8_t kTimeMarker = 0x1C;
// Servos follow the six DC motors in the enable and trajectory-plan frames.
inline constexpr int kServoChannelOffset = 6;

// The image record: 1, the two bytes of the closing packet, the JPEG length (little-endian), the JPEG.
inline constexpr std::size_t kImageRecordHeader = 7;

inline void WriteImageRecordHeader(uint8_t* out, uint8_t closing0, uint8_t closing1, uint32_t jpeg_bytes) {
  out[0] = 1;
  out[1] = closing0;
  out[2] = closing1;
  std::memcpy(out + 3, &jpeg_bytes, 4);
}

// The JPEG data of an image record of `size` bytes (what lies in the slot after the header).
inline const uint8_t* ImageRecordJpeg(const uint8_t* record, std::size_t size, std::size_t& jpeg_bytes) {
  jpeg_bytes = size >= kImageRecordHeader ? size - kImageRecordHeader : 0;
  return record + kImageRecordHeader;
}

}  // namespace exchange
