// What a JScript can take from the control: addresses as numbers, and a refused channel as an error.
//
//     script_host addresses.js ROBOT
function check(ok, what) {
  WScript.Echo(what);
  if (!ok) {
    WScript.Echo("wrong: " + what);
    WScript.Quit(1);
  }
}

var ctl = WScript.CreateObject("ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1");
ctl.connectRobot(WScript.Arguments(0));
var names = ["GetImageAddress", "GetImageYDataAddress"];
for (var i = 0; i < names.length; ++i) {
  var address = names[i] == "GetImageAddress" ? ctl.GetImageAddress() : ctl.GetImageYDataAddress();
  check(typeof address == "number" && address > 0 && address == Math.floor(address),
        names[i] + " is a " + typeof address);
}
var refused = 0;
try {
  ctl.SetMotorPolarity(-1, 1);
} catch (e) {
  refused = e.number >>> 0;
}
check(refused == 0x8002000A, "SetMotorPolarity -1 is refused with " + refused.toString(16));
WScript.Quit(0);
