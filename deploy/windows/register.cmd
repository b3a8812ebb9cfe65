@echo off
rem Registers the control (bin\talvenorctl.dll beside this script) so that programs and scripts
rem create it by its ProgID, ZEMBRINSDKCONTROL.ZembrinSDKControlCtrl.1. Run it as administrator;
rem /s registers silently. unregister.cmd removes the registration.
regsvr32 %* "%~dp0bin\talvenorctl.dll"
