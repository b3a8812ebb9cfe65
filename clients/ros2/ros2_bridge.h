// The bridge between one robot's sections and ROS 2. One thread does everything: it takes the
// control's records as they arrive and publishes them, and takes the commands ROS 2 nodes send, in
// the order they came, into the command ring. It waits on the robot's doorbells (heard by a watch
// thread) and on the DDS readers (whose listeners only wake it), so control events and commands
// never run at the same time.
//
// Topics, under the namespace (ROS names; on the wire "rt/<namespace>/<name>"):
//   sonar_1 .. sonar_6                sensor_msgs/Range, metres (ULTRASOUND)
//   ir_range                          sensor_msgs/Range, metres (INFRARED), only with infrared_scale
//   temperature                       sensor_msgs/Temperature, degrees Celsius
//   battery_1 .. battery_3            sensor_msgs/BatteryState, volts
//   joint_states                      sensor_msgs/JointState: wheel_left, wheel_right, rad and rad/s
//   raw/standard, raw/motor, raw/custom   std_msgs/Float64MultiArray: every field of the record as
//                                     the robot sends it, in the record table's order (the one
//                                     dimension's label lists the field names)
//   camera/image_raw/compressed       sensor_msgs/CompressedImage, JPEG
//   camera/image_raw                  sensor_msgs/Image rgb8 (with raw_image)
//   /diagnostics                      diagnostic_msgs/DiagnosticArray: the link's state
// Taken:
//   cmd_vel                           geometry_msgs/Twist: linear.x m/s and angular.z rad/s
//   motor_1/target .. motor_6/target  std_msgs/Float64: the motor's speed in rad/s
//   servo_1/target .. servo_6/target  std_msgs/Float64: the servo's command word, as the robot takes it
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "clients/mqtt_bridge/doorbell_watch.h"
#include "clients/ros2/bridge_options.h"
#include "clients/ros2/conversions.h"
#include "clients/ros2/instance_claim.h"
#include "clients/ros2/interop/ros_interop.h"
#include "control/control.h"
#include "control/headless_host.h"
#include "sensor_msgs.h"

namespace ros2_bridge {

inline constexpr int kMotors = 6;
inline constexpr int kServos = 6;
inline constexpr int kSonars = 6;
inline constexpr int kBatteries = 3;

class CRos2Bridge {
 public:
  explicit CRos2Bridge(BridgeOptions options);
  ~CRos2Bridge();
  CRos2Bridge(const CRos2Bridge&) = delete;
  CRos2Bridge& operator=(const CRos2Bridge&) = delete;

  // Claims the robot, connects the control to its sections and makes the DDS endpoints. A failure
  // with a reason when it cannot: kBusy when another bridge serves the robot already.
  platform::Result Start();
  // Serves until `stop` is raised, then stops the wheels it drove.
  void Run(const std::atomic<bool>& stop);

  struct Counts {
    uint64_t readings = 0, pictures = 0, commands = 0, commands_not_stored = 0, refused = 0;
  };

 private:
  void OnControlEvent(int dispid);
  void PublishStandard(const uint8_t* record, std::size_t size);
  void PublishMotor(const uint8_t* record, std::size_t size);
  void PublishRaw(exchange::SensorRecord which, const uint8_t* record, std::size_t size);
  void PublishPicture();
  void PublishDiagnostics();
  void TakeCommands();
  void LookAtLink();
  // Sends one command through the control; false (logged) when the command ring did not take it.
  template <class Call>
  bool Send(const std::string& what, Call call);
  void DriveWheels(int16_t left, int16_t right, const std::string& why);
  uint32_t MillisecondsToNextDuty() const;
  void Log(const std::string& line) const;

  BridgeOptions options_;
  CInstanceClaim claim_;
  control::CHeadlessHost host_;
  control::CZembrinSDKControlCtrl control_;
  mqtt_bridge::CDoorbellWatch watch_;
  std::vector<platform::Doorbell> bells_;

  ros2::Entity participant_;
  dds_listener_t* listener_ = nullptr;
  // The Humble layout of Range, under Range's name (the name outlives the topics: it is a literal).
  const dds_topic_descriptor_t humble_range_ = ros2::RenamedDescriptor(
      sensor_msgs_msg_dds__RangeWithoutVariance__desc, sensor_msgs_msg_dds__Range__desc.m_typename);
  struct Writers {
    ros2::Entity sonar[kSonars], ir_range, temperature, battery[kBatteries], joint_states, raw[3], compressed,
        image, diagnostics;
  } writers_;
  struct Readers {
    ros2::Entity cmd_vel, motor[kMotors], servo[kServos];
  } readers_;
  // The node trevask_ros2 in the namespace, for `ros2 node list`; goes before the participant.
  ros2::CNodeAnnouncer announcer_;
  std::string frame_prefix_;  // the namespace as a frame id prefix: "robot1/"

  EncoderCount encoders_[2];
  exchange::RelayState relay_ = exchange::RelayState::kNoRelay;
  uint32_t next_picture_ = 0;      // tick of the next picture asked for
  uint32_t next_diagnostics_ = 0;  // tick of the next diagnostics
  bool wheels_driven_ = false;     // cmd_vel set the wheels moving, and the time-out has not stopped them
  uint32_t last_cmd_vel_ = 0;      // tick of the last cmd_vel taken
  Counts counts_;
};

}  // namespace ros2_bridge
