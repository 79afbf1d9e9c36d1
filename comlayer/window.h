// Window and dialog classes with message maps, in the manner of ATL/WTL.
//
//   class CHiddenWindow : public win::WindowImpl<CHiddenWindow> {
//    public:
//     BEGIN_MSG_MAP(CHiddenWindow)
//       MESSAGE_HANDLER(WM_TIMER, OnTimer)
//     END_MSG_MAP()
//     LRESULT OnTimer(UINT msg, WPARAM wp, LPARAM lp, BOOL& handled);
//   };
//
// The object finds its window procedure through GWLP_USERDATA (no thunks).
// A handler that clears `handled` lets the message go on to the default
// procedure. The object must outlive its window, or destroy it first.
#pragma once
#include <windows.h>
#include <commctrl.h>

#define BEGIN_MSG_MAP(cls)                                                                  \
 public:                                                                                    \
  BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,             \
                            LRESULT& lResult) {                                             \
    BOOL bHandled = TRUE;                                                                   \
    (void)hWnd;                                                                             \
    (void)bHandled;

#define MESSAGE_HANDLER(msg, func)                                                          \
    if (uMsg == (msg)) {                                                                    \
      bHandled = TRUE;                                                                      \
      lResult = func(uMsg, wParam, lParam, bHandled);                                       \
      if (bHandled) return TRUE;                                                            \
    }

#define COMMAND_ID_HANDLER(id, func)                                                        \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id)) {                                     \
      bHandled = TRUE;                                                                      \
      lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled); \
      if (bHandled) return TRUE;                                                            \
    }

#define COMMAND_HANDLER(id, code, func)                                                     \
    if (uMsg == WM_COMMAND && LOWORD(wParam) == (id) && HIWORD(wParam) == (code)) {         \
      bHandled = TRUE;                                                                      \
      lResult = func(HIWORD(wParam), LOWORD(wParam), reinterpret_cast<HWND>(lParam), bHandled); \
      if (bHandled) return TRUE;                                                            \
    }

#define NOTIFY_HANDLER(id, notifyCode, func)                                                \
    if (uMsg == WM_NOTIFY && reinterpret_cast<LPNMHDR>(lParam)->idFrom == UINT_PTR(id) &&   \
        reinterpret_cast<LPNMHDR>(lParam)->code == UINT(notifyCode)) {                      \
      bHandled = TRUE;                                                                      \
      lResult = func(int(id), reinterpret_cast<LPNMHDR>(lParam), bHandled);                 \
      if (bHandled) return TRUE;                                                            \
    }

// Hands the message to a base class's map.
#define CHAIN_MSG_MAP(base)                                                                 \
    if (base::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult)) return TRUE;

// Sends WM_COMMAND and WM_NOTIFY back to the child control they came from,
// as win::kReflectBase + message, so that a subclassed control can handle its
// own notifications. Put it last in a map.
#define REFLECT_NOTIFICATIONS()                                                             \
    if (win::ReflectNotification(uMsg, wParam, lParam, lResult)) return TRUE;

#define END_MSG_MAP()                                                                       \
    return FALSE;                                                                           \
  }

namespace win {

// Reflected notifications arrive at the control as kReflectBase + message
// (the value the OLE control headers call OCM__BASE).
inline constexpr UINT kReflectBase = WM_USER + 0x1C00;
inline constexpr UINT kReflectedCommand = kReflectBase + WM_COMMAND;
inline constexpr UINT kReflectedNotify = kReflectBase + WM_NOTIFY;

// The child that sent a WM_COMMAND or WM_NOTIFY, or null.
inline HWND NotificationSource(UINT msg, WPARAM, LPARAM lp) {
  if (msg == WM_COMMAND) return reinterpret_cast<HWND>(lp);
  if (msg == WM_NOTIFY && lp) return reinterpret_cast<const NMHDR*>(lp)->hwndFrom;
  return nullptr;
}

inline bool ReflectNotification(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) {
  HWND child = NotificationSource(msg, wp, lp);
  if (!child || !::IsWindow(child)) return false;
  result = ::SendMessageW(child, kReflectBase + msg, wp, lp);
  return true;
}

// Common window-handle operations.
class Window {
 public:
  HWND m_hWnd = nullptr;

  bool IsWindow() const { return m_hWnd && ::IsWindow(m_hWnd); }
  BOOL DestroyWindow() {
    if (!m_hWnd) return FALSE;
    BOOL ok = ::DestroyWindow(m_hWnd);
    m_hWnd = nullptr;
    return ok;
  }
  UINT_PTR SetTimer(UINT_PTR id, UINT ms) { return ::SetTimer(m_hWnd, id, ms, nullptr); }
  BOOL KillTimer(UINT_PTR id) { return ::KillTimer(m_hWnd, id); }
  HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
  BOOL ShowWindow(int cmd) { return ::ShowWindow(m_hWnd, cmd); }
  LRESULT SendMessage(UINT msg, WPARAM wp = 0, LPARAM lp = 0) { return ::SendMessageW(m_hWnd, msg, wp, lp); }
  BOOL PostMessage(UINT msg, WPARAM wp = 0, LPARAM lp = 0) { return ::PostMessageW(m_hWnd, msg, wp, lp); }
};

// A window of a class registered for T (class name T::ClassName() when T
// defines it, else one made from the type).
template <class T>
class WindowImpl : public Window {
 public:
  WindowImpl() = default;
  WindowImpl(const WindowImpl&) = delete;
  WindowImpl& operator=(const WindowImpl&) = delete;

  HWND Create(HWND parent, const RECT& rect, const wchar_t* title, DWORD style, DWORD exStyle = 0,
              HINSTANCE instance = nullptr) {
    if (!instance) instance = ModuleOfThisCode();
    if (!RegisterClassOnce(instance)) return nullptr;
    return ::CreateWindowExW(exStyle, T::ClassName(), title, style, rect.left, rect.top, rect.right - rect.left,
                             rect.bottom - rect.top, parent, nullptr, instance, static_cast<T*>(this));
  }

  // Called after WM_NCDESTROY; the window handle is already cleared.
  virtual void OnFinalMessage(HWND) {}

 protected:
  ~WindowImpl() = default;

 private:
  static HINSTANCE ModuleOfThisCode() {
    HMODULE m = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&WindowImpl::WindowProc), &m);
    return m;
  }
  static bool RegisterClassOnce(HINSTANCE instance) {
    WNDCLASSEXW wc{sizeof wc};
    if (GetClassInfoExW(instance, T::ClassName(), &wc)) return true;
    wc = WNDCLASSEXW{sizeof wc};
    wc.lpfnWndProc = &WindowImpl::WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = T::ClassName();
    return RegisterClassExW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    T* self = reinterpret_cast<T*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (msg == WM_NCCREATE) {
      self = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
      self->m_hWnd = hwnd;
    }
    if (!self) return DefWindowProcW(hwnd, msg, wp, lp);
    LRESULT result = 0;
    if (!self->ProcessWindowMessage(hwnd, msg, wp, lp, result)) result = DefWindowProcW(hwnd, msg, wp, lp);
    // The last message: the object lets go of the handle whoever handled it,
    // so that nothing later acts on a handle Windows may hand out again.
    if (msg == WM_NCDESTROY) {
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      self->m_hWnd = nullptr;
      self->OnFinalMessage(hwnd);
    }
    return result;
  }
};

// A dialog from a template resource T::IDD, modeless (Create) or modal (DoModal).
template <class T>
class DialogImpl : public Window {
 public:
  DialogImpl() = default;
  DialogImpl(const DialogImpl&) = delete;
  DialogImpl& operator=(const DialogImpl&) = delete;

  HWND Create(HWND parent, HINSTANCE instance) {
    return ::CreateDialogParamW(instance, MAKEINTRESOURCEW(T::IDD), parent, &DialogImpl::DialogProc,
                                reinterpret_cast<LPARAM>(static_cast<T*>(this)));
  }
  INT_PTR DoModal(HWND parent, HINSTANCE instance) {
    return ::DialogBoxParamW(instance, MAKEINTRESOURCEW(T::IDD), parent, &DialogImpl::DialogProc,
                             reinterpret_cast<LPARAM>(static_cast<T*>(this)));
  }
  // A modeless dialog from the template `templateId` (for classes that
  // serve several templates).
  HWND CreateFromTemplate(HWND parent, HINSTANCE instance, UINT templateId) {
    return ::CreateDialogParamW(instance, MAKEINTRESOURCEW(templateId), parent, &DialogImpl::DialogProc,
                                reinterpret_cast<LPARAM>(static_cast<T*>(this)));
  }
  BOOL EndDialog(INT_PTR result) { return ::EndDialog(m_hWnd, result); }

  virtual void OnFinalMessage(HWND) {}

 protected:
  ~DialogImpl() = default;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    T* self = reinterpret_cast<T*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (msg == WM_INITDIALOG) {
      self = reinterpret_cast<T*>(lp);
      SetWindowLongPtrW(hwnd, DWLP_USER, lp);
      self->m_hWnd = hwnd;
    }
    if (!self) return FALSE;
    LRESULT result = 0;
    BOOL handled = self->ProcessWindowMessage(hwnd, msg, wp, lp, result);
    if (msg == WM_NCDESTROY) {
      SetWindowLongPtrW(hwnd, DWLP_USER, 0);
      self->m_hWnd = nullptr;
      self->OnFinalMessage(hwnd);
      return FALSE;
    }
    if (!handled) return FALSE;
    if (msg == WM_INITDIALOG) return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
  }
};

// An existing window (a dialog's control) whose messages go through T's map
// first; what the map leaves goes on to the control's own procedure.
// UnsubclassWindow, the window's destruction or the object's destruction
// ends the subclassing.
template <class T>
class SubclassedWindow : public Window {
 public:
  SubclassedWindow() = default;
  SubclassedWindow(const SubclassedWindow&) = delete;
  SubclassedWindow& operator=(const SubclassedWindow&) = delete;

  bool SubclassWindow(HWND hwnd) {
    if (m_hWnd || !hwnd) return false;
    if (!::SetWindowSubclass(hwnd, &SubclassedWindow::Proc, Id(), reinterpret_cast<DWORD_PTR>(this))) return false;
    m_hWnd = hwnd;
    return true;
  }
  HWND UnsubclassWindow() {
    HWND hwnd = m_hWnd;
    if (hwnd) ::RemoveWindowSubclass(hwnd, &SubclassedWindow::Proc, Id());
    m_hWnd = nullptr;
    return hwnd;
  }
  // The control's own handling of a message.
  LRESULT DefWindowProc(UINT msg, WPARAM wp, LPARAM lp) { return ::DefSubclassProc(m_hWnd, msg, wp, lp); }

 protected:
  ~SubclassedWindow() { UnsubclassWindow(); }

 private:
  UINT_PTR Id() const { return reinterpret_cast<UINT_PTR>(this); }
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR data) {
    auto* self = reinterpret_cast<SubclassedWindow*>(data);
    LRESULT result = 0;
    if (!static_cast<T*>(self)->ProcessWindowMessage(hwnd, msg, wp, lp, result))
      result = ::DefSubclassProc(hwnd, msg, wp, lp);
    if (msg == WM_NCDESTROY) self->UnsubclassWindow();
    return result;
  }
};

}  // namespace win
