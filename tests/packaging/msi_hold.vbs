' Holds the control as a client script does while it runs: creates it by its ProgID (so the module
' stays loaded), writes "created ..." or "failed <error>" into the first file named on the command
' line, waits until the second file exists, then reads robotName again and writes "still working
' ..." or "failed <error>" into the third: the script host's own exit status does not tell.
Option Explicit
Dim fso, shell, ctl, result, out
Set fso = CreateObject("Scripting.FileSystemObject")
On Error Resume Next
Set ctl = CreateObject("ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1")
If Err.Number = 0 Then
  result = "created " & TypeName(ctl) & ", robotName """ & ctl.robotName & """"
Else
  result = "failed " & Hex(Err.Number) & " " & Err.Description
End If
On Error GoTo 0
Set out = fso.CreateTextFile(WScript.Arguments(0), True)
out.WriteLine result
out.Close
If Left(result, 7) <> "created" Then WScript.Quit 1
' wine's script host has no WScript.Sleep: each pass waits for a console that ends at once instead
' (a tenth of a second or so).
Set shell = CreateObject("WScript.Shell")
Do While Not fso.FileExists(WScript.Arguments(1))
  shell.Run "cmd /c exit", 0, True
Loop
On Error Resume Next
result = "still working, robotName """ & ctl.robotName & """"
If Err.Number <> 0 Then result = "failed " & Hex(Err.Number) & " " & Err.Description
Set ctl = Nothing
On Error GoTo 0
Set out = fso.CreateTextFile(WScript.Arguments(2), True)
out.WriteLine result
out.Close
