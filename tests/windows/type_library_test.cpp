// The control module's resources as Windows reads them: the type library that automation clients
// bind to (every member's DISPID, parameters and types, against the member table), the type names,
// the property page and the version.
#include <gtest/gtest.h>
#include <oaidl.h>
#include <oleauto.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "control/resources/resource_texts.h"
#include "table_members.h"

namespace {

std::wstring Wide(const char* s) {
  return std::wstring(s, s + std::strlen(s));
}

std::string Narrow(BSTR s) {
  std::string out;
  for (UINT i = 0; s != nullptr && i < SysStringLen(s); ++i) out += static_cast<char>(s[i]);
  return out;
}

GUID Guid(const char* text) {
  GUID g{};
  EXPECT_EQ(IIDFromString(Wide(text).c_str(), &g), S_OK) << text;
  return g;
}

HMODULE Module() {
  return GetModuleHandleW(L"talvenorctl.dll");
}

// Owns an interface pointer for the test's scope.
template <typename T>
struct Ref {
  T* p = nullptr;
  ~Ref() {
    if (p != nullptr) p->Release();
  }
  T* operator->() const { return p; }
};

// What automation clients see for each type of the member table.
VARTYPE Expected(int32_t type) {
  switch (type) {
    case 0:
      return VT_VOID;
    case 37:  // an address: a double on both widths, which every script engine reads
      return VT_R8;
    case 65:  // a caller's variant (or byte array), by reference
      return VT_PTR;
    default:
      return static_cast<VARTYPE>(type);  // short, long, BSTR and VARIANT_BOOL keep their numbers
  }
}

class TypeLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t path[MAX_PATH];
    ASSERT_NE(Module(), nullptr);
    ASSERT_GT(GetModuleFileNameW(Module(), path, MAX_PATH), 0u);
    ASSERT_EQ(LoadTypeLibEx(path, REGKIND_NONE, &lib_.p), S_OK) << "the module holds TYPELIB 1";
  }
  Ref<ITypeLib> lib_;
};

TEST_F(TypeLibrary, IdentityAndEveryMemberAsTheTableHasThem) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib_->GetLibAttr(&attr), S_OK);
  EXPECT_TRUE(IsEqualGUID(attr->guid, Guid("{98FCFC5C-1F70-4640-8B7B-A53A1B88AA8A}")));
  EXPECT_EQ(attr->wMajorVerNum, 1);
  EXPECT_EQ(attr->wMinorVerNum, 0);
  EXPECT_EQ(attr->lcid, 1033u);
  lib_->ReleaseTLibAttr(attr);
  BSTR name = nullptr, doc = nullptr;
  ASSERT_EQ(lib_->GetDocumentation(-1, &name, &doc, nullptr, nullptr), S_OK);
  EXPECT_EQ(Narrow(name), "ZEMBRINTalvenorCONTROLLib");
  EXPECT_EQ(Narrow(doc), "Zembrin Talvenor ActiveX module");
  SysFreeString(name);
  SysFreeString(doc);

  Ref<ITypeInfo> dispatch, events, coclass;
  ASSERT_EQ(lib_->GetTypeInfoOfGuid(Guid("{4344A992-02A4-406C-8466-7CFF8C489813}"), &dispatch.p), S_OK);
  ASSERT_EQ(lib_->GetTypeInfoOfGuid(Guid("{9C1124A3-2E3D-4CDA-A9F3-33B92BB5491D}"), &events.p), S_OK);
  ASSERT_EQ(lib_->GetTypeInfoOfGuid(Guid("{C3F1E5A4-1541-4456-9AB0-8BD4CE11A513}"), &coclass.p), S_OK);

  struct Kind {
    ITypeInfo* info;
    TYPEKIND kind;
    WORD flags;
  };
  for (const Kind& k : {Kind{dispatch.p, TKIND_DISPATCH, TYPEFLAG_FHIDDEN | TYPEFLAG_FDISPATCHABLE},
                        Kind{events.p, TKIND_DISPATCH, TYPEFLAG_FDISPATCHABLE},
                        Kind{coclass.p, TKIND_COCLASS, TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL}}) {
    TYPEATTR* t = nullptr;
    ASSERT_EQ(k.info->GetTypeAttr(&t), S_OK);
    EXPECT_EQ(t->typekind, k.kind);
    EXPECT_EQ(t->wTypeFlags & k.flags, k.flags);
    k.info->ReleaseTypeAttr(t);
  }
  INT impl_flags[2] = {};
  ASSERT_EQ(coclass->GetImplTypeFlags(0, &impl_flags[0]), S_OK);
  ASSERT_EQ(coclass->GetImplTypeFlags(1, &impl_flags[1]), S_OK);
  EXPECT_EQ(impl_flags[0], IMPLTYPEFLAG_FDEFAULT);
  EXPECT_EQ(impl_flags[1], IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);

  // Every member by name, with its DISPID, parameter count and types.
  int checked = 0;
  for (const TableMember& m : TableMembers()) {
    ITypeInfo* info = m.kind == TableMember::kEvent ? events.p : dispatch.p;
    std::wstring wide = Wide(m.name.c_str());
    LPOLESTR names[1] = {wide.data()};
    MEMBERID id = 0;
    ASSERT_EQ(info->GetIDsOfNames(names, 1, &id), S_OK) << m.name;
    EXPECT_EQ(id, m.dispid) << m.name;
    TYPEATTR* t = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&t), S_OK);
    const WORD count = t->cVars, functions = t->cFuncs;
    info->ReleaseTypeAttr(t);
    if (m.kind == TableMember::kProperty) {
      bool found = false;
      for (WORD v = 0; v < count; ++v) {
        VARDESC* var = nullptr;
        ASSERT_EQ(info->GetVarDesc(v, &var), S_OK);
        if (var->memid == m.dispid) {
          found = true;
          EXPECT_EQ(var->elemdescVar.tdesc.vt, Expected(m.type)) << m.name;
          EXPECT_EQ((var->wVarFlags & VARFLAG_FREADONLY) != 0, m.read_only) << m.name;
        }
        info->ReleaseVarDesc(var);
      }
      EXPECT_TRUE(found) << m.name;
      ++checked;
      continue;
    }
    FUNCDESC* f = nullptr;
    for (WORD n = 0; n < functions && f == nullptr; ++n) {
      ASSERT_EQ(info->GetFuncDesc(n, &f), S_OK);
      if (f->memid != m.dispid) {
        info->ReleaseFuncDesc(f);
        f = nullptr;
      }
    }
    ASSERT_NE(f, nullptr) << m.name;
    EXPECT_EQ(f->funckind, FUNC_DISPATCH) << m.name;
    EXPECT_EQ(f->elemdescFunc.tdesc.vt, Expected(m.kind == TableMember::kEvent ? 0 : m.type)) << m.name;
    EXPECT_EQ(f->cParams, static_cast<SHORT>(m.params.size())) << m.name;
    for (std::size_t p = 0; p < m.params.size() && p < static_cast<std::size_t>(f->cParams); ++p) {
      const TYPEDESC& d = f->lprgelemdescParam[p].tdesc;
      EXPECT_EQ(d.vt, Expected(m.params[p])) << m.name << " parameter " << p;
      if (d.vt == VT_PTR) {
        EXPECT_EQ(d.lptdesc->vt, VT_VARIANT) << m.name << ": a variant the call fills";
        EXPECT_EQ(f->lprgelemdescParam[p].paramdesc.wParamFlags & (PARAMFLAG_FIN | PARAMFLAG_FOUT),
                  PARAMFLAG_FIN | PARAMFLAG_FOUT)
            << m.name;
      }
    }
    info->ReleaseFuncDesc(f);
    ++checked;
  }
  EXPECT_EQ(checked, 151 + 5 + 5) << "the 4 properties and RelayState";
}

TEST(ModuleResources, TypeNamesPageToolboxPictureAndVersion) {
  HMODULE module = Module();
  ASSERT_NE(module, nullptr);
  struct Text {
    UINT id;
    const char* text;
  };
  for (const Text& t : {Text{TV_IDS_CONTROL_TYPE_NAME, TV_TEXT_CONTROL_TYPE_NAME},
                        Text{TV_IDS_PAGE_TYPE_NAME, TV_TEXT_PAGE_TYPE_NAME},
                        Text{TV_IDS_PAGE_CAPTION, TV_TEXT_PAGE_CAPTION}}) {
    char buffer[128] = {};
    ASSERT_GT(LoadStringA(module, t.id, buffer, sizeof buffer), 0) << t.id;
    EXPECT_STREQ(buffer, t.text);
  }
  EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(TV_IDD_PAGE), MAKEINTRESOURCEA(5)), nullptr)
      << "dialog 200";
  HBITMAP picture =
      static_cast<HBITMAP>(LoadImageA(module, MAKEINTRESOURCEA(TV_IDB_TOOLBOX), IMAGE_BITMAP, 0, 0, 0));
  ASSERT_NE(picture, nullptr);
  BITMAP b{};
  GetObjectA(picture, sizeof b, &b);
  EXPECT_EQ(b.bmWidth, 16);
  EXPECT_EQ(b.bmHeight, 16);
  DeleteObject(picture);

  HRSRC version = FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));
  ASSERT_NE(version, nullptr);
  const auto* block = static_cast<const BYTE*>(LockResource(LoadResource(module, version)));
  // VS_VERSIONINFO: the fixed part follows its key "VS_VERSION_INFO" (wide) at a 32-bit boundary.
  const std::size_t fixed_at = (6 + sizeof(L"VS_VERSION_INFO") + 3) & ~std::size_t{3};
  VS_FIXEDFILEINFO fixed{};
  std::memcpy(&fixed, block + fixed_at, sizeof fixed);
  EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed.dwFileVersionMS, 0x00010003u);
  EXPECT_EQ(fixed.dwFileVersionLS, 0x00000002u);

  // Installers and containers take a module that says "OLESelfRegister" for one that registers
  // itself.
  wchar_t path[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(module, path, MAX_PATH), 0u);
  DWORD ignored = 0;
  std::vector<BYTE> info(GetFileVersionInfoSizeW(path, &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoW(path, 0, static_cast<DWORD>(info.size()), info.data()));
  void* value = nullptr;
  UINT size = 0;
  EXPECT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\OLESelfRegister", &value, &size));
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\FileDescription", &value, &size));
  EXPECT_STREQ(static_cast<const wchar_t*>(value), L"" TV_TEXT_CONTROL_TYPE_NAME);
}

}  // namespace
