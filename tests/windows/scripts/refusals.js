// What a script sees of each refusal of the control: the error's number and description, one line
// each into OUTPUT, and the relay state. FOLDER holds the files the calls name.
//
//     cscript refusals.js OUTPUT FOLDER ROBOT
var out = new ActiveXObject("Scripting.FileSystemObject").CreateTextFile(WScript.Arguments(0), true);
var folder = WScript.Arguments(1);
var robot = WScript.Arguments(2);
var ctl = new ActiveXObject("ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl");

function attempt(what, call) {
  try {
    call();
    out.WriteLine(what + ": 0 : ");
  } catch (e) {
    out.WriteLine(what + ": " + (e.number >>> 0).toString(16).toUpperCase() + " : " + e.description);
  }
}

attempt("long name", function () { ctl.connectRobot(new Array(31).join("r")); });
attempt("no relay", function () { ctl.connectRobot(robot); });
out.WriteLine("relay state: " + ctl.RelayState);
attempt("missing sound", function () { ctl.PlayAudioFile(folder + "\\missing.wav"); });
attempt("unplayable sound", function () { ctl.PlayAudioFile(folder + "\\not-a-sound.wav"); });
attempt("sound", function () { ctl.PlayAudioFile(folder + "\\tone.wav"); });
attempt("missing picture", function () { ctl.LcdDisplayVCS(folder + "\\missing.bmp"); });
attempt("colour picture", function () { ctl.LcdDisplayVCB(folder + "\\photo.bmp"); });
attempt("picture", function () { ctl.LcdDisplayVCS(folder + "\\mono.bmp"); });
out.WriteLine("done");
out.Close();
