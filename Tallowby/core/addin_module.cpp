#include "addin_module.h"

#include "connect.h"
#include "res/resource.h"
#include "tallowby.h"

HINSTANCE g_hInstance = nullptr;

namespace {
const com::ObjectEntry kObjectMap[] = {
    {&CLSID_Connect, &com::Creator<CConnect>, IDR_CONNECT},
};
}  // namespace

CAddInModule::CAddInModule() : com::DllModule(kObjectMap, &LIBID_TallowbyLib) {}

CAddInModule g_addInModule;
