// Folders, their item collections, contents tables and the incremental
// synchronizer.
#include <algorithm>

#include "rdo_common.h"
#include "world/variant_value.h"

namespace sim {
namespace {

// The ordered items of a folder as a table or collection shows them; the
// order is made again only after the folder changed (or the caller forgot
// it), not on every read.
class FolderView {
 public:
  const std::vector<ObjId>& Get(ObjId folder, const PropKey* key, bool descending) {
    if (!valid_ || TheWorld().FolderVersion(folder) != version_) {
      ids_ = TheWorld().SortedItems(folder, key, descending, &version_);
      valid_ = true;
    }
    return ids_;
  }
  void Forget() { valid_ = false; }

 private:
  std::vector<ObjId> ids_;
  uint64_t version_ = 0;
  bool valid_ = false;
};

bool ArgTruth(const VARIANT& v) {
  long n = 0;
  return ArgLong(v, &n) && n != 0;
}

class ChangeObject : public IRdoChange {
 public:
  explicit ChangeObject(IcsChange c) : c_(std::move(c)) {}
  BEGIN_COM_MAP(ChangeObject)
    COM_INTERFACE_ENTRY(IRdoChange)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoChange)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_SourceKey(BSTR* v) override {
    if (HRESULT hr = Injected(L"Change.SourceKey"); FAILED(hr)) return hr;
    return ReturnString(c_.sourceKey, v);
  }
  STDMETHODIMP get_Kind(long* v) override {
    if (!v) return E_POINTER;
    if (HRESULT hr = Injected(L"Change.Kind"); FAILED(hr)) return hr;
    *v = c_.kind;
    return S_OK;
  }
  STDMETHODIMP get_ChangeKey(BSTR* v) override {
    if (HRESULT hr = Injected(L"Change.ChangeKey"); FAILED(hr)) return hr;
    return ReturnString(c_.changeKey, v);
  }
  STDMETHODIMP get_IsNew(VARIANT_BOOL* v) override {
    if (!v) return E_POINTER;
    *v = c_.isNew ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  STDMETHODIMP get_EntryID(BSTR* v) override {
    if (HRESULT hr = Injected(L"Change.EntryID"); FAILED(hr)) return hr;
    return ReturnString(c_.entryId, v);
  }

 private:
  IcsChange c_;
};

class ChangesObject : public IRdoChanges {
 public:
  explicit ChangesObject(IcsResult r) : r_(std::move(r)) {}
  BEGIN_COM_MAP(ChangesObject)
    COM_INTERFACE_ENTRY(IRdoChanges)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoChanges)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_Count(long* v) override { if (!v) return E_POINTER; *v = long(r_.changes.size()); return S_OK; }
  STDMETHODIMP Item(long index, IRdoChange** v) override {
    if (v) *v = nullptr;
    if (HRESULT hr = Injected(L"Changes.Item"); FAILED(hr)) return hr;
    if (index < 1 || size_t(index) > r_.changes.size()) return E_INVALIDARG;
    return MakeObject<ChangeObject>(v, r_.changes[size_t(index) - 1]);
  }
  STDMETHODIMP get_NewState(BSTR* v) override { return ReturnString(r_.newState, v); }

 private:
  IcsResult r_;
};

class SynchronizerObject : public IRdoSynchronizer {
 public:
  explicit SynchronizerObject(ObjId folder) : folder_(folder) {}
  BEGIN_COM_MAP(SynchronizerObject)
    COM_INTERFACE_ENTRY(IRdoSynchronizer)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoSynchronizer)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP GetChanges(BSTR state, VARIANT restriction, IRdoChanges** v) override {
    if (!v) return E_POINTER;
    *v = nullptr;
    std::optional<std::wstring> filter;
    std::wstring text;
    if (ArgString(restriction, &text)) filter = text;
    else if (!IsMissing(restriction)) return E_INVALIDARG;
    std::wstring stateText = state ? std::wstring(state, SysStringLen(state)) : L"";
    TheWorld().Record(L"Sync.GetChanges", L"state=" + stateText + L" restriction=" + (filter ? *filter : L"(none)"));
    if (HRESULT hr = Injected(L"Sync.GetChanges"); FAILED(hr)) return hr;
    IcsResult result;
    HRESULT hr = TheWorld().GetChanges(folder_, stateText, filter, &result);
    if (FAILED(hr) || result.noCollection) return hr;
    return MakeObject<ChangesObject>(v, std::move(result));
  }

 private:
  ObjId folder_;
};

class TableObject : public IRdoTable {
 public:
  explicit TableObject(ObjId folder = 0) : folder_(folder) {}
  BEGIN_COM_MAP(TableObject)
    COM_INTERFACE_ENTRY(IRdoTable)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoTable)
  END_COM_MAP()
  SIM_NO_DISPATCH()

  STDMETHODIMP SetColumns(VARIANT tags) override {
    if (HRESULT hr = Injected(L"Table.SetColumns"); FAILED(hr)) return hr;
    const VARIANT& v = tags.vt == (VT_BYREF | VT_VARIANT) && tags.pvarVal ? *tags.pvarVal : tags;
    if (!(v.vt & VT_ARRAY) || !v.parray) return E_INVALIDARG;
    VARTYPE elem = VARTYPE(v.vt & ~VT_ARRAY);
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(v.parray, 1, &lo);
    SafeArrayGetUBound(v.parray, 1, &hi);
    std::vector<uint32_t> columns;
    for (LONG i = lo; i <= hi; ++i) {
      long tag = 0;
      if (elem == VT_VARIANT) {
        VARIANT e;
        VariantInit(&e);
        SafeArrayGetElement(v.parray, &i, &e);
        bool ok = ArgLong(e, &tag);
        VariantClear(&e);
        if (!ok) return E_INVALIDARG;
      } else if (elem == VT_I4 || elem == VT_UI4) {
        SafeArrayGetElement(v.parray, &i, &tag);
      } else {
        return E_INVALIDARG;
      }
      columns.push_back(static_cast<uint32_t>(tag));
    }
    columns_ = std::move(columns);
    return S_OK;
  }
  STDMETHODIMP get_RowCount(long* v) override {
    if (!v) return E_POINTER;
    if (HRESULT hr = Injected(L"Table.RowCount"); FAILED(hr)) return hr;
    *v = static_cast<long>(Rows().size());
    return S_OK;
  }
  STDMETHODIMP Sort(long tag, VARIANT descending) override {
    if (HRESULT hr = Injected(L"Table.Sort"); FAILED(hr)) return hr;
    auto folder = TheWorld().GetFolder(folder_);
    if (!folder || !TheWorld().KeyForTag(folder->store, static_cast<uint32_t>(tag), &sortKey_)) return E_INVALIDARG;
    sorted_ = true;
    descending_ = ArgTruth(descending);
    view_.Forget();
    return S_OK;
  }
  STDMETHODIMP GetRows(long count, VARIANT* rows) override {
    if (!rows) return E_POINTER;
    VariantInit(rows);
    if (HRESULT hr = Injected(L"Table.GetRows"); FAILED(hr)) return hr;
    if (FAILED(Injected(L"Table.EmptyBatch"))) return S_OK;  // an empty batch, as a server may give
    if (count < 0) return E_INVALIDARG;
    auto folder = TheWorld().GetFolder(folder_);
    if (!folder) return MAPI_E_OBJECT_DELETED;
    const std::vector<ObjId>& ids = Rows();
    if (cursor_ >= ids.size() || count == 0) return S_OK;
    size_t n = std::min(ids.size() - cursor_, size_t(count));
    SAFEARRAY* outer = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(n));
    for (LONG r = 0; r < LONG(n); ++r) {
      VARIANT row;
      VariantInit(&row);
      MakeRow(folder->store, ids[cursor_ + size_t(r)], &row);
      SafeArrayPutElement(outer, &r, &row);
      VariantClear(&row);
    }
    cursor_ += n;
    rows->vt = VT_ARRAY | VT_VARIANT;
    rows->parray = outer;
    return S_OK;
  }
  STDMETHODIMP SeekRow(long row) override {
    if (HRESULT hr = Injected(L"Table.SeekRow"); FAILED(hr)) return hr;
    if (row < 0) return E_INVALIDARG;
    cursor_ = size_t(row);
    return S_OK;
  }
  STDMETHODIMP Attach(IRdoFolder* folder) override {
    Resolved r;
    if (!ResolveObject(folder, &r) || r.kind != SimKind::Folder) return E_INVALIDARG;
    folder_ = r.id;
    cursor_ = 0;
    view_.Forget();
    return S_OK;
  }

 private:
  const std::vector<ObjId>& Rows() { return view_.Get(folder_, sorted_ ? &sortKey_ : nullptr, descending_); }
  void MakeRow(ObjId store, ObjId id, VARIANT* row) {
    SAFEARRAY* cells = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(columns_.size()));
    TheWorld().ReadItemColumns(store, id, columns_, &cells_);
    for (LONG c = 0; c < LONG(columns_.size()); ++c) {
      VARIANT cell;
      VariantInit(&cell);
      ValueToVariant(cells_[size_t(c)], &cell);
      SafeArrayPutElement(cells, &c, &cell);
      VariantClear(&cell);
    }
    row->vt = VT_ARRAY | VT_VARIANT;
    row->parray = cells;
  }

  ObjId folder_;
  std::vector<uint32_t> columns_;
  std::vector<Value> cells_;
  size_t cursor_ = 0;
  bool sorted_ = false, descending_ = false;
  PropKey sortKey_;
  FolderView view_;
};

class ItemsObject : public IRdoItems {
 public:
  explicit ItemsObject(ObjId folder) : folder_(folder) {}
  BEGIN_COM_MAP(ItemsObject)
    COM_INTERFACE_ENTRY(IRdoItems)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoItems)
  END_COM_MAP()
  SIM_NO_DISPATCH()

  STDMETHODIMP get_Count(long* v) override {
    if (!v) return E_POINTER;
    *v = static_cast<long>(TheWorld().ItemCount(folder_));
    return S_OK;
  }
  STDMETHODIMP Find(BSTR filter, IRdoMessage** v) override {
    if (!v) return E_POINTER;
    *v = nullptr;
    std::wstring text = filter ? std::wstring(filter, SysStringLen(filter)) : L"";
    TheWorld().Record(L"Items.Find", text);
    if (HRESULT hr = Injected(L"Items.Find"); FAILED(hr)) return hr;
    found_.clear();
    next_ = 0;
    HRESULT hr = TheWorld().Query(folder_, text, sorted_ ? Order() : std::vector<ObjId>(), &found_);
    if (FAILED(hr)) return hr;
    return FindNextHit(v);
  }
  STDMETHODIMP FindNext(IRdoMessage** v) override {
    if (!v) return E_POINTER;
    *v = nullptr;
    if (HRESULT hr = Injected(L"Items.FindNext"); FAILED(hr)) return hr;
    return FindNextHit(v);
  }
  STDMETHODIMP GetFirst(IRdoMessage** v) override {
    if (!v) return E_POINTER;
    *v = nullptr;
    if (HRESULT hr = Injected(L"Items.GetFirst"); FAILED(hr)) return hr;
    walk_ = Order();
    walkNext_ = 0;
    return WalkNext(v);
  }
  STDMETHODIMP GetNext(IRdoMessage** v) override {
    if (!v) return E_POINTER;
    *v = nullptr;
    if (HRESULT hr = Injected(L"Items.GetNext"); FAILED(hr)) return hr;
    return WalkNext(v);
  }
  STDMETHODIMP Sort(BSTR property, VARIANT descending) override {
    auto folder = TheWorld().GetFolder(folder_);
    if (!folder || !TheWorld().ResolveDasl(folder->store, property ? property : L"", false, &sortKey_)) return E_INVALIDARG;
    sorted_ = true;
    descending_ = ArgTruth(descending);
    view_.Forget();
    return S_OK;
  }
  STDMETHODIMP Add(VARIANT messageClass, IRdoMessage** v) override {
    if (HRESULT hr = Injected(L"Items.Add"); FAILED(hr)) return hr;
    std::wstring cls;
    ArgString(messageClass, &cls);
    return NewUnsavedMessage(folder_, cls, v);
  }
  STDMETHODIMP get_Table(IRdoTable** v) override {
    if (HRESULT hr = Injected(L"Items.Table"); FAILED(hr)) return hr;
    return NewTable(folder_, v);
  }
  STDMETHODIMP Item(long index, IRdoMessage** v) override {
    const std::vector<ObjId>& ids = Order();
    if (index < 1 || size_t(index) > ids.size()) return E_INVALIDARG;
    return NewMessage(ids[size_t(index) - 1], v);
  }

 private:
  const std::vector<ObjId>& Order() { return view_.Get(folder_, sorted_ ? &sortKey_ : nullptr, descending_); }
  // Hits deleted since the search are passed over.
  HRESULT FindNextHit(IRdoMessage** v) {
    while (next_ < found_.size()) {
      if (SUCCEEDED(NewMessage(found_[next_++], v))) return S_OK;
    }
    return S_OK;
  }
  HRESULT WalkNext(IRdoMessage** v) {
    while (walkNext_ < walk_.size()) {
      if (SUCCEEDED(NewMessage(walk_[walkNext_++], v))) return S_OK;
    }
    return S_OK;
  }

  ObjId folder_;
  std::vector<ObjId> found_, walk_;
  size_t next_ = 0, walkNext_ = 0;
  bool sorted_ = false, descending_ = false;
  PropKey sortKey_;
  FolderView view_;
};

class FoldersObject : public IRdoFolders {
 public:
  explicit FoldersObject(ObjId parent) : parent_(parent) {}
  BEGIN_COM_MAP(FoldersObject)
    COM_INTERFACE_ENTRY(IRdoFolders)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoFolders)
  END_COM_MAP()
  SIM_NO_DISPATCH()
  STDMETHODIMP get_Count(long* v) override {
    if (!v) return E_POINTER;
    *v = static_cast<long>(TheWorld().Subfolders(parent_).size());
    return S_OK;
  }
  STDMETHODIMP Item(VARIANT index, IRdoFolder** v) override {
    if (v) *v = nullptr;
    std::vector<ObjId> children = TheWorld().Subfolders(parent_);
    long i = 0;
    std::wstring name;
    if (ArgLong(index, &i)) {
      if (i < 1 || size_t(i) > children.size()) return E_INVALIDARG;
      return NewFolder(children[size_t(i) - 1], v);
    }
    if (!ArgString(index, &name)) return E_INVALIDARG;
    for (ObjId c : children) {
      auto f = TheWorld().GetFolder(c);
      if (f && Upper(f->name) == Upper(name)) return NewFolder(c, v);
    }
    return MAPI_E_NOT_FOUND;
  }
  STDMETHODIMP GetFirst(IRdoFolder** v) override {
    next_ = 0;
    return GetNext(v);
  }
  STDMETHODIMP GetNext(IRdoFolder** v) override {
    if (!v) return E_POINTER;
    *v = nullptr;
    std::vector<ObjId> children = TheWorld().Subfolders(parent_);
    return next_ < children.size() ? NewFolder(children[next_++], v) : S_OK;
  }
  STDMETHODIMP Add(BSTR name, VARIANT type, IRdoFolder** v) override {
    if (v) *v = nullptr;
    if (HRESULT hr = Injected(L"Folders.Add"); FAILED(hr)) return hr;
    long itemType = -1;
    if (!IsMissing(type) && !ArgLong(type, &itemType)) return E_INVALIDARG;
    HRESULT hr = S_OK;
    ObjId id = TheWorld().AddFolder(parent_, name ? name : L"", itemType < 0 ? -1 : ItemTypeOfFolderNumber(itemType), &hr);
    TheWorld().Record(L"Folders.Add", std::wstring(name ? name : L"") + L" type=" + std::to_wstring(itemType));
    if (!id) return hr;
    return NewFolder(id, v);
  }

 private:
  ObjId parent_;
  size_t next_ = 0;
};

class FolderObject : public IRdoFolder2, public ISimObject {
 public:
  explicit FolderObject(ObjId folder) : folder_(folder) {}
  BEGIN_COM_MAP(FolderObject)
    COM_INTERFACE_ENTRY(IRdoFolder)
    COM_INTERFACE_ENTRY(IRdoFolder2)
    COM_INTERFACE_ENTRY2(IDispatch, IRdoFolder2)
    COM_INTERFACE_ENTRY_IID(IID_ISimObject, ISimObject)
  END_COM_MAP()
  SIM_NO_DISPATCH()

  SimKind STDMETHODCALLTYPE SimObjectKind() override { return SimKind::Folder; }
  ObjId STDMETHODCALLTYPE SimObjectId() override { return folder_; }

  STDMETHODIMP get_Name(BSTR* v) override { return Text(&FolderInfo::name, v); }
  STDMETHODIMP get_EntryID(BSTR* v) override { return Text(&FolderInfo::entryId, v); }
  STDMETHODIMP get_StoreID(BSTR* v) override { return Text(&FolderInfo::storeId, v); }
  STDMETHODIMP get_DefaultItemType(long* v) override {
    if (!v) return E_POINTER;
    auto f = TheWorld().GetFolder(folder_);
    if (!f) return MAPI_E_OBJECT_DELETED;
    *v = f->itemType;
    return S_OK;
  }
  STDMETHODIMP get_DefaultMessageClass(BSTR* v) override { return Text(&FolderInfo::messageClass, v); }
  STDMETHODIMP get_Items(IRdoItems** v) override { return Live() ? MakeObject<ItemsObject>(v, folder_) : MAPI_E_OBJECT_DELETED; }
  STDMETHODIMP get_Folders(IRdoFolders** v) override { return Live() ? MakeObject<FoldersObject>(v, folder_) : MAPI_E_OBJECT_DELETED; }
  STDMETHODIMP get_Store(IRdoStore** v) override {
    auto f = TheWorld().GetFolder(folder_);
    return f ? NewStore(f->store, v) : MAPI_E_OBJECT_DELETED;
  }
  STDMETHODIMP get_Description(BSTR* v) override { return Text(&FolderInfo::description, v); }
  STDMETHODIMP put_Description(BSTR v) override {
    if (!Live()) return MAPI_E_OBJECT_DELETED;
    TheWorld().SetFolderDescription(folder_, v ? v : L"");
    return S_OK;
  }
  STDMETHODIMP get_Synchronizer(IRdoSynchronizer** v) override {
    if (v) *v = nullptr;
    if (HRESULT hr = Injected(L"Folder.Synchronizer"); FAILED(hr)) return hr;
    return Live() ? MakeObject<SynchronizerObject>(v, folder_) : MAPI_E_OBJECT_DELETED;
  }
  STDMETHODIMP Delete() override { return TheWorld().DeleteFolder(folder_, true) ? S_OK : MAPI_E_NOT_FOUND; }
  STDMETHODIMP get_FolderPath(BSTR* v) override {
    std::wstring path;
    for (auto f = TheWorld().GetFolder(folder_); f && f->parent; f = TheWorld().GetFolder(f->parent)) {
      path = L"\\" + f->name + path;
    }
    return ReturnString(path, v);
  }

 private:
  bool Live() const { return TheWorld().GetFolder(folder_).has_value(); }
  HRESULT Text(std::wstring FolderInfo::*field, BSTR* v) {
    auto f = TheWorld().GetFolder(folder_);
    if (!f) return MAPI_E_OBJECT_DELETED;
    return ReturnString((*f).*field, v);
  }
  ObjId folder_;
};

}  // namespace

HRESULT NewFolder(ObjId folder, IRdoFolder** out) {
  if (out) *out = nullptr;
  if (!TheWorld().GetFolder(folder)) return MAPI_E_NOT_FOUND;
  return MakeObject<FolderObject>(out, folder);
}

HRESULT NewTable(ObjId folder, IRdoTable** out) { return MakeObject<TableObject>(out, folder); }

HRESULT CreateTable(REFIID iid, void** ppv) {
  if (HRESULT hr = Injected(L"Create.OLMAPITable"); FAILED(hr)) return hr;
  return com::ComObject<TableObject>::CreateInstance(iid, ppv, ObjId(0));
}

}  // namespace sim
