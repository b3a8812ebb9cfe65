' What a VBScript can take from the control: a voice segment into a variable (a byte array, as a
' script saves a recording), an address as a number, and a refused channel as an error.
'
'     script_host voice_into_variable.vbs ROBOT        (a voice segment must come for ROBOT)
Option Explicit
Dim ctl, segments, waited, voice, length, address

Sub ctl_VoiceSegmentEvent()
  segments = segments + 1
End Sub

Sub Check(ok, what)
  WScript.Echo what
  If Not ok Then
    WScript.Echo "wrong: " & what
    WScript.Quit 1
  End If
End Sub

segments = 0
Set ctl = CreateObject("ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1")
WScript.ConnectObject ctl, "ctl_"
ctl.connectRobot WScript.Arguments(0)
waited = 0
Do While segments = 0 And waited < 20000
  WScript.Sleep 20
  waited = waited + 20
Loop
Check segments > 0, "a voice segment came"

' A byte array (vbArray + vbByte: 8209), which a script saves as it is (an ADODB.Stream's Write takes
' it). Wine's engine can tell its type but not its bounds; the bytes are checked from C++.
voice = "something else first"
length = ctl.GetVoiceData(voice)
Check length = 4096, "GetVoiceData copied " & length & " bytes"
Check VarType(voice) = 8209 And IsArray(voice), "into a variable of type " & VarType(voice)
length = ctl.GetVoiceData(voice)
Check length = 4096 And VarType(voice) = 8209, "and again into the same variable"

address = ctl.GetImageAddress()
Check TypeName(address) = "Double" And address > 0, "GetImageAddress is a " & TypeName(address)

On Error Resume Next
ctl.EnableDcMotor 6
Check Err.Number = &H8002000A And InStr(Err.Description, "outside 0..5") > 0, _
  "EnableDcMotor 6 is refused with error " & Hex(Err.Number) & " (overflow): " & Err.Description
On Error GoTo 0
WScript.Quit 0
