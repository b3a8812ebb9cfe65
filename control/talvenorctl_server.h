/* The library's four entry points as control servers export them, where the system has no COM of
 * its own (talvenor-regsvr registers with them, the C interface's tv_create_from_registry creates
 * through the factories). On Windows the library is an in-process COM server and these are COM's,
 * declared by the system's headers (objbase.h) with its own types: this header is not shipped there. */
#ifndef TALVENORCTL_SERVER_H
#define TALVENORCTL_SERVER_H

#include "talvenorctl.h"

#ifdef __cplusplus
extern "C" {
#endif

int32_t DllRegisterServer(void);
int32_t DllUnregisterServer(void);
int32_t DllCanUnloadNow(void);
/* *out is a tv_class_factory for the control's or the property page's class. */
int32_t DllGetClassObject(const tv_guid* clsid, const tv_guid* iid, void** out);

#ifdef __cplusplus
}
#endif

#endif
