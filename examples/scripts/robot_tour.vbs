' A tour of the robot from VBScript: sensors, a motor, the camera and the microphone, through the
' relay (trevask) that serves the robot named on the command line. The control must be registered
' (regsvr32 talvenorctl.dll).
'
'     cscript robot_tour.vbs ROBOT OUTPUT_FOLDER
Option Explicit
Dim ctl, robot, folder, readings, speeds, images, segments

Sub ctl_StandardSensorEvent()
  readings = readings + 1
  If readings <= 5 Then
    WScript.Echo "sonar 1: " & ctl.GetSensorSonar1() & " cm  sonar 2: " & ctl.GetSensorSonar2() & _
      " cm  temperature: " & (ctl.GetSensorTemperature() / 10) & " C  battery: " & ctl.GetSensorBatteryAD1()
  End If
End Sub

Sub ctl_MotorSensorEvent()
  speeds = speeds + 1
End Sub

Sub ctl_ImageEvent()
  images = images + 1
End Sub

Sub ctl_VoiceSegmentEvent()
  segments = segments + 1
End Sub

Function Count(name)
  Select Case name
    Case "readings": Count = readings
    Case "speeds": Count = speeds
    Case "images": Count = images
    Case "segments": Count = segments
  End Select
End Function

' Sleeps (the control's events run meanwhile) until the counter named reaches its target, at most
' ten seconds; True when it did.
Function WaitFor(name, target)
  Dim waited
  waited = 0
  Do While Count(name) < target And waited < 10000
    WScript.Sleep 50
    waited = waited + 50
  Loop
  WaitFor = Count(name) >= target
End Function

robot = WScript.Arguments(0)
folder = WScript.Arguments(1)
readings = 0 : speeds = 0 : images = 0 : segments = 0
Set ctl = CreateObject("ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1")
WScript.ConnectObject ctl, "ctl_"
ctl.connectRobot robot
WScript.Echo "connected to the sections of robot " & robot

ctl.SetSysAllSensorPeriod 200
ctl.EnableStandardSensorSending
ctl.EnableMotorSensorSending
If Not WaitFor("readings", 5) Then
  WScript.Echo "no sensor readings arrived: is the relay running for robot " & robot & "?"
  WScript.Quit 1
End If

WScript.Echo "driving DC motor 0 at PWM 300"
ctl.EnableDcMotor 0
ctl.DcMotorPwmNonTimeCtr 0, 300
WaitFor "speeds", speeds + 3
WScript.Echo "encoder 1 speed: " & ctl.GetEncoderSpeed1() & ", motor 1 current: " & ctl.GetMotorCurrent1() & " mA"
ctl.DcMotorPwmNonTimeCtr 0, 0

ctl.TakePhoto
If WaitFor("images", 1) Then
  If ctl.SavePhotoAsBMP(folder & "\photo.bmp") Then WScript.Echo "photo saved as " & folder & "\photo.bmp"
End If

ctl.StartRecord 2
If WaitFor("segments", 1) Then WScript.Echo "a voice segment of " & ctl.VoiceSegmentLength & " bytes"
ctl.StopRecord

ctl.DisableAllSensorSending
WScript.Sleep 500
WScript.Echo "done"
