// The type library and the reference page, written from the dispatch table.
#include <cstdio>
#include <string>

#include "control/dispatch.h"

namespace control {
namespace {

std::string Signature(const MemberInfo& m) {
  std::string s;
  for (std::size_t i = 0; i < m.params.size(); ++i) {
    if (i > 0) s += ", ";
    // A buffer is the caller's variant, which the call fills: in and out.
    if (m.params[i].type == VarType::kBuffer) s += "[in, out] ";
    s += std::string(VarTypeName(m.params[i].type)) + " " + m.params[i].name;
  }
  return s;
}

}  // namespace

std::string TypeLibraryText() {
  std::string out;
  char line[512];
  out += "// Type library of the talvenor control, generated from its dispatch table (talvenor-typelib);\n";
  out += "// do not edit. Addresses are doubles (exact: addresses stay below 2^53); a VARIANT* parameter\n";
  out += "// is the caller's variant, filled with a byte array (or a byte array of the caller's, filled in\n";
  out += "// place within its size).\n";
  out += "import \"oaidl.idl\";\n\n";
  std::snprintf(line, sizeof line,
                "[uuid(%.36s), version(%s), lcid(%d), helpstring(\"%s\"), helpfile(\"%s\")]\n",
                Identity::kTypeLibId + 1, Identity::kTypeLibVersion, Identity::kTypeLibLocale,
                Identity::kTypeLibHelp, Identity::kHelpFile);
  out += line;
  out += std::string("library ") + Identity::kTypeLibName + " {\n";
  out += "  importlib(\"stdole2.tlb\");\n\n";
  std::snprintf(line, sizeof line, "  [uuid(%.36s), helpstring(\"%s\"), hidden]\n  dispinterface %s {\n",
                Identity::kDispatchId + 1, Identity::kDispatchHelp, Identity::kDispatchName);
  out += line;
  out += "    properties:\n";
  for (const MemberInfo& m : Members()) {
    if (m.kind != MemberKind::kProperty) continue;
    std::snprintf(line, sizeof line, "      [id(%d)%s] %s %s;\n", m.dispid,
                  (m.flags & kReadOnly) != 0 ? ", readonly" : "", VarTypeName(m.type), m.name.c_str());
    out += line;
  }
  out += "    methods:\n";
  for (const MemberInfo& m : Members()) {
    if (m.kind != MemberKind::kMethod) continue;
    std::snprintf(line, sizeof line, "      [id(%d)] %s %s(%s);\n", m.dispid, VarTypeName(m.type),
                  m.name.c_str(), Signature(m).c_str());
    out += line;
  }
  out += "  };\n";
  std::snprintf(line, sizeof line,
                "  [uuid(%.36s), helpstring(\"%s\")]\n  dispinterface %s {\n    properties:\n    methods:\n",
                Identity::kEventsId + 1, Identity::kEventsHelp, Identity::kEventsName);
  out += line;
  for (const MemberInfo& m : Members()) {
    if (m.kind != MemberKind::kEvent) continue;
    std::snprintf(line, sizeof line, "      [id(%d)] void %s();\n", m.dispid, m.name.c_str());
    out += line;
  }
  out += "  };\n";
  std::snprintf(
      line, sizeof line,
      "  [uuid(%.36s), helpstring(\"%s\"), control]\n  coclass %s {\n    [default] dispinterface %s;\n"
      "    [default, source] dispinterface %s;\n  };\n};\n",
      Identity::kControlClsid + 1, Identity::kCoclassHelp, Identity::kCoclassName, Identity::kDispatchName,
      Identity::kEventsName);
  out += line;
  return out;
}

std::string ReferenceMarkdown() {
  std::string out;
  char line[640];
  out += "# The control's automation interface\n\n";
  out +=
      "Generated from the control's dispatch table (`talvenor-typelib --markdown`); do not edit by hand.\n\n";
  std::snprintf(line, sizeof line,
                "Type library `%s` %s, version %s. Dispatch interface `%s` %s, event interface `%s` %s, "
                "control class `%s` %s, ProgID `%s` (without its version: `%s`).\n\n",
                Identity::kTypeLibName, Identity::kTypeLibId, Identity::kTypeLibVersion,
                Identity::kDispatchName, Identity::kDispatchId, Identity::kEventsName, Identity::kEventsId,
                Identity::kCoclassName, Identity::kControlClsid, Identity::kControlProgId,
                Identity::kControlVersionIndependentProgId);
  out += line;
  out +=
      "Types: short = 16-bit signed, long = 32-bit signed, BSTR = text, VARIANT_BOOL = boolean.\n\n"
      "The address getters (`GetImageAddress`, `GetImageYDataAddress`, `GetVoiceSegment`) return a\n"
      "`double` (VT_R8) on both bit widths: the address of memory the control owns (read it, never write\n"
      "it) as a whole number, exact because addresses stay below 2^53. VBScript and JScript both read a\n"
      "double; neither takes the 64-bit integer a 64-bit address would otherwise need.\n\n"
      "`[in, out] VARIANT*` (`GetVoiceData`): pass a variable by reference and it becomes a byte array\n"
      "(VT_ARRAY | VT_UI1) of the copied bytes, as a script does (`n = ctl.GetVoiceData(v)` in VBScript;\n"
      "JScript passes nothing by reference, so it reads the length only through `GetVoiceSegLength`). A\n"
      "byte array of the caller's, passed by value or by reference, is filled in place within its size.\n\n"
      "Arguments may be named, by the parameter names below, as automation clients name them.\n\n";
  out +=
      "Errors: a call the control refuses, or does only in part, fails with an automation error whose\n"
      "description says why (through `IDispatch`: `DISP_E_EXCEPTION` with the exception information,\n"
      "and the thread's `IErrorInfo`). Its number is DISP_E_OVERFLOW (0x8002000A) for a channel argument\n"
      "outside its range (DC motors and servos 0..5; `GetSensorSonar` and `GetMotorCurrent` 0..5,\n"
      "`GetCustomAD` 0..7, `GetSensorPot` 1..6): nothing is sent, as the robot would act on another motor\n"
      "or servo. It is 0x80070057 (E_INVALIDARG) for an argument the control will not take: a robot name\n"
      "over 29 bytes or of two lines; a sound file for `PlayAudioFile` the relay could not play, or a path\n"
      "longer than 80 bytes once made absolute (a path is relative to the caller's current folder and is\n"
      "sent absolute; a trailing \"EOF\" asks the relay to go on from the previous sound; an empty name\n"
      "ends the sound being played). It is 0x80004005 for what the control could not do: sections it\n"
      "cannot open, a robot name no relay serves (the control stays connected; `RelayState` tells when\n"
      "one does), an LCD picture that cannot be read (nothing is sent) or whose header warns (sent as it\n"
      "is) while no container shows the control (one that does shows those messages in boxes).\n\n";
  out += "## Properties\n\n| DISPID | Name | Type | Description |\n|---|---|---|---|\n";
  for (const MemberInfo& m : Members()) {
    if (m.kind != MemberKind::kProperty) continue;
    std::snprintf(line, sizeof line, "| %d | `%s` | %s | %s%s |\n", m.dispid, m.name.c_str(),
                  VarTypeName(m.type), (m.flags & kReadOnly) != 0 ? "read-only: " : "", m.help.c_str());
    out += line;
  }
  out += "\n## Methods\n\n| DISPID | Name | Parameters | Returns | Description |\n|---|---|---|---|---|\n";
  for (const MemberInfo& m : Members()) {
    if (m.kind != MemberKind::kMethod) continue;
    std::string sig = Signature(m);
    std::snprintf(line, sizeof line, "| %d | `%s` | %s | %s | %s |\n", m.dispid, m.name.c_str(),
                  sig.empty() ? "-" : sig.c_str(), m.type == VarType::kEmpty ? "-" : VarTypeName(m.type),
                  m.help.c_str());
    out += line;
  }
  out +=
      "\n## Events\n\nFired by the polling tick, at most once each per tick, in this order. A host that "
      "waits on the\n"
      "sections' doorbells instead (the headless host: C, Python, the MQTT bridge) fires one event per\n"
      "record, every record in turn, in rounds of this order.\n\n"
      "| DISPID | Name | Fired when |\n|---|---|---|\n";
  for (const MemberInfo& m : Members()) {
    if (m.kind != MemberKind::kEvent) continue;
    std::snprintf(line, sizeof line, "| %d | `%s` | %s |\n", m.dispid, m.name.c_str(), m.help.c_str());
    out += line;
  }
  return out;
}

}  // namespace control
