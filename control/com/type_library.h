// The module's type library (its own resource "TYPELIB" 1), loaded once, the first time a client
// asks for type information, and kept until the module may be unloaded: automation clients and
// containers ask for it on every object they bind.
#pragma once

#include <oaidl.h>
#include <objbase.h>

namespace control::com {

// The type information of `guid` (an interface or the class) from the module's type library.
HRESULT ModuleTypeInfo(REFGUID guid, ITypeInfo** out);

// Lets the kept type library go; the next ModuleTypeInfo loads it again. For DllCanUnloadNow, once
// no object of the module is left.
void ReleaseModuleTypeLibrary();

}  // namespace control::com
