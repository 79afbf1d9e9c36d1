// The per-item rules of a job.
#include "item_filter.h"

#include "folder_object.h"

bool iIA(CMAPIFolderObject*, IRdoMessage*, CMAPIFolderObject*) { return true; }
bool iIA(CMAPIFolderObject* folder, IRdoMessage* message) { return iIA(folder, message, folder); }
bool IsRequestItem(CMAPIFolderObject*, IRdoMessage*) { return false; }
bool Cat2Item(CMAPIFolderObject*, IRdoUtils*, IRdoMessage* message, const wchar_t* category) {
  return message && category && *category;
}
std::vector<std::wstring>& GetItemCategories(CMAPIFolderObject*, std::vector<std::wstring>& list, IRdoUtils*,
                                             IRdoMessage*) {
  list.clear();
  return list;
}
void GetCategoriesFilter(CSyncEngine*, std::vector<std::wstring>& list, const wchar_t*) { list.clear(); }
