#include "addin_module.h"

#include "connect.h"
#include "main_prop_page.h"
#include "res/pages_resource.h"
#include "standard_prop_page.h"
#include "tallowby_prop_page.h"
#include "res/resource.h"
#include "tallowby.h"

HINSTANCE g_hInstance = nullptr;

namespace {
const com::ObjectEntry kObjectMap[] = {
    {&CLSID_Connect, &com::Creator<CConnect>, IDR_CONNECT},
    {&CLSID_MainPropPage, &com::Creator<CMainPropPage>, IDR_MAINPROPPAGE},
    {&CLSID_TallowbyPropPage, &com::Creator<CTallowbyPropPage>, IDR_TALLOWBYPROPPAGE},
    {&CLSID_StandardPropPage, &com::Creator<CStandardPropPage>, IDR_STANDARDPROPPAGE},
};
}  // namespace

CAddInModule::CAddInModule() : com::DllModule(kObjectMap, &LIBID_TallowbyLib) {}

CAddInModule g_addInModule;
