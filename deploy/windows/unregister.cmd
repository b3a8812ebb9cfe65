@echo off
rem Removes the control's registration (see register.cmd). Run it as administrator; /s silently.
regsvr32 /u %* "%~dp0bin\talvenorctl.dll"
