' What a script sees of each refusal of the control: Err.Number, Err.Source and Err.Description,
' one line each into OUTPUT, and the relay state. FOLDER holds the files the calls name.
'
'     cscript refusals.vbs OUTPUT FOLDER ROBOT
Option Explicit
Dim out, folder, robot, ctl
Set out = CreateObject("Scripting.FileSystemObject").CreateTextFile(WScript.Arguments(0), True)
folder = WScript.Arguments(1)
robot = WScript.Arguments(2)

Sub Report(what)
  out.WriteLine what & ": " & Hex(Err.Number) & " " & Err.Source & ": " & Err.Description
  Err.Clear
End Sub

On Error Resume Next
Set ctl = CreateObject("ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl")
Report "create"
ctl.connectRobot String(30, "r")
Report "long name"
ctl.connectRobot robot
Report "no relay"
out.WriteLine "relay state: " & ctl.RelayState
ctl.RelayState = 3
Report "relay state written"
ctl.PlayAudioFile folder & "\missing.wav"
Report "missing sound"
ctl.PlayAudioFile folder & "\not-a-sound.wav"
Report "unplayable sound"
ctl.PlayAudioFile folder & "\tone.wav"
Report "sound"
ctl.LcdDisplayVCS folder & "\missing.bmp"
Report "missing picture"
ctl.LcdDisplayVCB folder & "\photo.bmp"
Report "colour picture"
ctl.LcdDisplayVCS folder & "\mono.bmp"
Report "picture"
out.WriteLine "done"
out.Close
