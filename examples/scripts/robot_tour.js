// A tour of the robot from JScript: sensors, a motor, the camera and the microphone, through the
// relay (trevask) that serves the robot named on the command line. The control must be registered
// (regsvr32 talvenorctl.dll).
//
//     cscript robot_tour.js ROBOT OUTPUT_FOLDER
var robot = WScript.Arguments(0);
var folder = WScript.Arguments(1);
var counts = { readings: 0, speeds: 0, images: 0, segments: 0 };
var ctl = WScript.CreateObject("ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1", "ctl_");

function ctl_StandardSensorEvent() {
  counts.readings++;
  if (counts.readings <= 5)
    WScript.Echo("sonar 1: " + ctl.GetSensorSonar1() + " cm  sonar 2: " + ctl.GetSensorSonar2() +
                 " cm  temperature: " + ctl.GetSensorTemperature() / 10 + " C  battery: " + ctl.GetSensorBatteryAD1());
}
function ctl_MotorSensorEvent() { counts.speeds++; }
function ctl_ImageEvent() { counts.images++; }
function ctl_VoiceSegmentEvent() { counts.segments++; }

// Sleeps (the control's events run meanwhile) until counts[name] reaches target, at most ten
// seconds; true when it did.
function waitFor(name, target) {
  for (var waited = 0; counts[name] < target && waited < 10000; waited += 50) WScript.Sleep(50);
  return counts[name] >= target;
}

ctl.connectRobot(robot);
WScript.Echo("connected to the sections of robot " + robot);

ctl.SetSysAllSensorPeriod(200);
ctl.EnableStandardSensorSending();
ctl.EnableMotorSensorSending();
if (!waitFor("readings", 5)) {
  WScript.Echo("no sensor readings arrived: is the relay running for robot " + robot + "?");
  WScript.Quit(1);
}

WScript.Echo("driving DC motor 0 at PWM 300");
ctl.EnableDcMotor(0);
ctl.DcMotorPwmNonTimeCtr(0, 300);
waitFor("speeds", counts.speeds + 3);
WScript.Echo("encoder 1 speed: " + ctl.GetEncoderSpeed1() + ", motor 1 current: " + ctl.GetMotorCurrent1() + " mA");
ctl.DcMotorPwmNonTimeCtr(0, 0);

ctl.TakePhoto();
if (waitFor("images", 1) && ctl.SavePhotoAsBMP(folder + "\\photo.bmp"))
  WScript.Echo("photo saved as " + folder + "\\photo.bmp");

ctl.StartRecord(2);
if (waitFor("segments", 1)) WScript.Echo("a voice segment of " + ctl.VoiceSegmentLength + " bytes");
ctl.StopRecord();

ctl.DisableAllSensorSending();
WScript.Sleep(500);
WScript.Echo("done");
