' Creates the control by its ProgID, as a client script does, and writes the outcome into the file
' named on the command line ("created ..." or "failed <error>"): the script host's own exit status
' does not tell.
Option Explicit
Dim ctl, result, out
On Error Resume Next
Set ctl = CreateObject("ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1")
If Err.Number = 0 Then
  result = "created " & TypeName(ctl) & ", robotName """ & ctl.robotName & """"
  If Err.Number <> 0 Then result = "failed to read robotName: " & Hex(Err.Number)
Else
  result = "failed " & Hex(Err.Number) & " " & Err.Description
End If
On Error GoTo 0
Set out = CreateObject("Scripting.FileSystemObject").CreateTextFile(WScript.Arguments(0), True)
out.WriteLine result
out.Close
