#include "picture_wnd.h"

#include <process.h>

#include <cstdio>
#include <cstring>

#include "addin_module.h"

namespace gif {
namespace {

constexpr BYTE kExtension = 0x21, kImage = 0x2C, kTrailer = 0x3B;
constexpr BYTE kControlLabel = 0xF9, kApplicationLabel = 0xFF, kCommentLabel = 0xFE, kPlainTextLabel = 0x01;
constexpr size_t kControlLength = 8, kApplicationFixed = 14, kCommentFixed = 2, kPlainTextFixed = 15,
                 kImageFixed = 11, kScreenEnd = 13;

enum class Kind { kUnknown, kControl, kApplication, kComment, kPlainText, kImage, kTrailer };

Kind KindAt(const BYTE* data, size_t size, size_t at) {
  if (at >= size) return Kind::kUnknown;
  if (data[at] == kImage) return Kind::kImage;
  if (data[at] == kTrailer) return Kind::kTrailer;
  if (data[at] != kExtension || at + 1 >= size) return Kind::kUnknown;
  switch (data[at + 1]) {
    case kControlLabel: return Kind::kControl;
    case kApplicationLabel: return Kind::kApplication;
    case kCommentLabel: return Kind::kComment;
    case kPlainTextLabel: return Kind::kPlainText;
    default: return Kind::kUnknown;
  }
}

// Length of the sub-blocks from `at` through their zero terminator; 0 when
// they run past the data.
size_t SubBlocks(const BYTE* data, size_t size, size_t at) {
  size_t n = 0;
  while (at + n < size) {
    const size_t len = data[at + n];
    n += 1 + len;
    if (len == 0) return n;
  }
  return 0;
}

int Word(const BYTE* p) { return p[0] | (p[1] << 8); }

size_t ColourTableBytes(BYTE packed) { return (packed & 0x80) ? 3u * (2u << (packed & 7)) : 0; }

bool IsGraphic(Kind k) { return k == Kind::kImage || k == Kind::kPlainText; }

// Passes one graphic block (with its control extension and what lies between
// them) from `at`, skipping application and comment extensions before it.
// The end of the block, or 0 when none can be passed.
size_t PassGraphic(const BYTE* data, size_t size, size_t at) {
  for (;;) {
    const Kind kind = KindAt(data, size, at);
    const size_t len = BlockLength(data, size, at);
    if (!len) return 0;
    if (kind == Kind::kApplication || kind == Kind::kComment) {
      at += len;
      continue;
    }
    if (IsGraphic(kind)) return at + len;
    if (kind != Kind::kControl) return 0;
    // A control extension goes with every extension up to its image.
    for (at += len;;) {
      const Kind next = KindAt(data, size, at);
      const size_t l = BlockLength(data, size, at);
      if (!l || next == Kind::kTrailer) return 0;
      at += l;
      if (IsGraphic(next)) return at;
    }
  }
}

}  // namespace

bool ReadScreen(const BYTE* data, size_t size, Screen* screen) {
  if (!data || size < kScreenEnd) return false;
  if (std::memcmp(data, "GIF87a", 6) != 0 && std::memcmp(data, "GIF89a", 6) != 0) return false;
  screen->width = Word(data + 6);
  screen->height = Word(data + 8);
  screen->headerBytes = kScreenEnd + ColourTableBytes(data[10]);
  return screen->headerBytes <= size;
}

size_t BlockLength(const BYTE* data, size_t size, size_t at) {
  size_t fixed = 0;
  switch (KindAt(data, size, at)) {
    case Kind::kControl: return at + kControlLength <= size ? kControlLength : 0;
    case Kind::kApplication: fixed = kApplicationFixed; break;
    case Kind::kComment: fixed = kCommentFixed; break;
    case Kind::kPlainText: fixed = kPlainTextFixed; break;
    case Kind::kImage:
      if (at + kImageFixed > size) return 0;
      fixed = kImageFixed + ColourTableBytes(data[at + 9]);
      break;
    default: return 0;  // unknown, or the trailer: nothing to pass
  }
  if (at + fixed > size) return 0;
  const size_t sub = SubBlocks(data, size, at + fixed);
  return sub ? fixed + sub : 0;
}

int CountGraphicBlocks(const BYTE* data, size_t size, const Screen& screen) {
  int count = 0;
  for (size_t at = screen.headerBytes; (at = PassGraphic(data, size, at)) != 0;) ++count;
  return count;
}

std::vector<FrameSpan> SplitFrames(const BYTE* data, size_t size, const Screen& screen) {
  std::vector<FrameSpan> frames;
  size_t at = screen.headerBytes;
  for (;;) {
    while (KindAt(data, size, at) == Kind::kApplication || KindAt(data, size, at) == Kind::kComment) {
      const size_t len = BlockLength(data, size, at);
      if (!len) return frames;
      at += len;
    }
    FrameSpan f;
    f.begin = at;
    if (KindAt(data, size, at) == Kind::kControl && at + kControlLength <= size) {
      f.delay = Word(data + at + 4);
      f.disposal = (data[at + 3] >> 2) & 7;
    }
    const size_t end = PassGraphic(data, size, at);
    if (!end) return frames;
    // The image descriptor is the last graphic block of the frame.
    for (size_t p = at; p < end;) {
      if (KindAt(data, size, p) == Kind::kImage) {
        f.left = Word(data + p + 1);
        f.top = Word(data + p + 3);
        f.width = Word(data + p + 5);
        f.height = Word(data + p + 7);
      }
      p += BlockLength(data, size, p);
    }
    f.end = end;
    frames.push_back(f);
    at = end;
  }
}

DWORD FrameWaitMs(int delay) {
  // A frame without a control extension shows as long as a short one.
  if (delay < 0) return 100;
  return unsigned(delay) >= 5 ? DWORD(delay) * 10 : 100;
}

}  // namespace gif

namespace {

com::ComPtr<IPicture> LoadPicture(HGLOBAL memory, bool streamFreesMemory) {
  com::ComPtr<IStream> stream;
  com::ComPtr<IPicture> picture;
  if (FAILED(CreateStreamOnHGlobal(memory, streamFreesMemory, stream.Put()))) {
    if (streamFreesMemory) GlobalFree(memory);
    return picture;
  }
  if (FAILED(OleLoadPicture(stream.Get(), 0, FALSE, IID_IPicture, picture.PutVoid()))) picture.Reset();
  return picture;
}

// Renders a picture at (x, y) with the given pixel size.
bool RenderPicture(IPicture* picture, HDC dc, int x, int y, int cx, int cy) {
  OLE_XSIZE_HIMETRIC w = 0;
  OLE_YSIZE_HIMETRIC h = 0;
  if (!picture || FAILED(picture->get_Width(&w)) || FAILED(picture->get_Height(&h))) return false;
  return SUCCEEDED(picture->Render(dc, x, y, cx, cy, 0, h, w, -h, nullptr));
}

// A copy of `size` bytes in movable global memory; null on failure.
HGLOBAL CopyToGlobal(const void* data, size_t size) {
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_NODISCARD, size);
  void* p = memory ? GlobalLock(memory) : nullptr;
  if (!p) {
    if (memory) GlobalFree(memory);
    return nullptr;
  }
  std::memcpy(p, data, size);
  GlobalUnlock(memory);
  return memory;
}

}  // namespace

CPictureExWnd::CPictureExWnd() { m_hExitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }

CPictureExWnd::~CPictureExWnd() {
  ReleasePicture();
  UnsubclassWindow();
  if (m_hExitEvent) CloseHandle(m_hExitEvent);
}

bool CPictureExWnd::LoadFromResource(const wchar_t* name, const wchar_t* type) {
  HRSRC found = FindResourceW(g_hInstance, name, type);
  HGLOBAL loaded = found ? LoadResource(g_hInstance, found) : nullptr;
  const void* data = loaded ? LockResource(loaded) : nullptr;
  const DWORD size = found ? SizeofResource(g_hInstance, found) : 0;
  if (!data || !size) return false;
  HGLOBAL memory = CopyToGlobal(data, size);
  if (!memory) return false;
  const bool ok = LoadFromMemory(memory, size);
  GlobalFree(memory);
  return ok;
}

bool CPictureExWnd::LoadFromFile(const wchar_t* path) {
  FILE* file = _wfopen(path, L"rb");
  if (!file) return false;
  std::vector<BYTE> bytes;
  BYTE chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
  fclose(file);
  if (bytes.empty()) return false;
  HGLOBAL memory = CopyToGlobal(bytes.data(), bytes.size());
  if (!memory) return false;
  const bool ok = LoadFromMemory(memory, DWORD(bytes.size()));
  GlobalFree(memory);
  return ok;
}

bool CPictureExWnd::LoadFromMemory(HGLOBAL memory, DWORD size) {
  ReleasePicture();
  const auto* data = memory ? static_cast<const BYTE*>(GlobalLock(memory)) : nullptr;
  if (!data) return false;
  gif::Screen screen;
  if (gif::ReadScreen(data, size, &screen)) {
    m_bIsGIF = true;
    m_nWidth = screen.width;
    m_nHeight = screen.height;
    const int blocks = gif::CountGraphicBlocks(data, size, screen);
    bool ok = blocks > 1 ? LoadGif(data, size) : blocks == 1;
    GlobalUnlock(memory);
    if (ok && blocks == 1) ok = (m_pPicture = LoadPicture(memory, false)) != nullptr;
    return ok && PrepareSurface();
  }
  GlobalUnlock(memory);
  m_pPicture = LoadPicture(memory, false);
  if (!m_pPicture) return false;
  OLE_XSIZE_HIMETRIC w = 0;
  OLE_YSIZE_HIMETRIC h = 0;
  m_pPicture->get_Width(&w);
  m_pPicture->get_Height(&h);
  HDC dc = GetDC(m_hWnd);
  m_nWidth = MulDiv(w, GetDeviceCaps(dc, LOGPIXELSX), 2540);
  m_nHeight = MulDiv(h, GetDeviceCaps(dc, LOGPIXELSY), 2540);
  ReleaseDC(m_hWnd, dc);
  return PrepareSurface();
}

// Each frame becomes a GIF of its own: the data's header, screen and global
// colour table, the frame's blocks and a trailer.
bool CPictureExWnd::LoadGif(const BYTE* data, size_t size) {
  gif::Screen screen;
  gif::ReadScreen(data, size, &screen);
  for (const gif::FrameSpan& span : gif::SplitFrames(data, size, screen)) {
    const size_t length = screen.headerBytes + (span.end - span.begin) + 1;
    HGLOBAL memory = GlobalAlloc(GMEM_FIXED, length);
    if (!memory) continue;
    auto* out = static_cast<BYTE*>(memory);
    std::memcpy(out, data, screen.headerBytes);
    std::memcpy(out + screen.headerBytes, data + span.begin, span.end - span.begin);
    out[length - 1] = 0x3B;
    Frame frame;
    frame.picture = LoadPicture(memory, true);
    if (!frame.picture) continue;
    frame.width = span.width;
    frame.height = span.height;
    frame.left = span.left;
    frame.top = span.top;
    frame.delay = span.delay;
    frame.disposal = span.disposal;
    m_arrFrames.push_back(std::move(frame));
  }
  return !m_arrFrames.empty();
}

bool CPictureExWnd::PrepareSurface() {
  if (m_nWidth <= 0 || m_nHeight <= 0) return false;
  if (m_hWnd) SetWindowPos(m_hWnd, nullptr, 0, 0, m_nWidth, m_nHeight, SWP_NOMOVE | SWP_NOZORDER);
  HDC windowDc = GetDC(m_hWnd);
  if (!windowDc) return false;
  m_hMemDC = CreateCompatibleDC(windowDc);
  m_hBitmap = m_hMemDC ? CreateCompatibleBitmap(windowDc, m_nWidth, m_nHeight) : nullptr;
  ReleaseDC(m_hWnd, windowDc);
  if (!m_hBitmap) {
    FreeSurface();
    return false;
  }
  m_hOldBitmap = SelectObject(m_hMemDC, m_hBitmap);
  m_clrBackground = GetSysColor(COLOR_BTNFACE);
  RECT all{0, 0, m_nWidth, m_nHeight};
  FillRect(m_hMemDC, &all, reinterpret_cast<HBRUSH>(COLOR_MENU + 1));
  m_bIsInitialized = true;
  return true;
}

bool CPictureExWnd::ShowPicture() {
  if (!m_bIsInitialized) return false;
  if (IsAnimation()) {
    if (m_hThread) return false;
    m_hThread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, &CPictureExWnd::AnimationThreadProc, this, CREATE_SUSPENDED, nullptr));
    if (m_hThread) ResumeThread(m_hThread);
    return false;
  }
  bool drawn;
  {
    std::lock_guard<std::mutex> lock(m_surfaceLock);
    drawn = RenderPicture(m_pPicture.Get(), m_hMemDC, 0, 0, m_nWidth, m_nHeight);
  }
  if (drawn && m_hWnd) InvalidateRect(m_hWnd, nullptr, FALSE);
  return drawn;
}

unsigned __stdcall CPictureExWnd::AnimationThreadProc(void* self) {
  auto* window = static_cast<CPictureExWnd*>(self);
  window->m_bIsPlaying = true;
  window->AnimateFrames();
  window->m_bIsPlaying = false;
  return 0;
}

void CPictureExWnd::AnimateFrames() {
  DisposeFrame(m_arrFrames[m_nCurrFrame]);
  while (!m_bExitThread) {
    const Frame& frame = m_arrFrames[m_nCurrFrame];
    if (frame.picture) DrawFrame(frame);
    if (m_bExitThread) break;
    WaitForSingleObject(m_hExitEvent, gif::FrameWaitMs(frame.delay));
    if (m_bExitThread) break;
    DisposeFrame(frame);
    if (++m_nCurrFrame >= m_arrFrames.size()) {
      m_nCurrFrame = 0;
      FillSurface(RECT{0, 0, m_nWidth, m_nHeight}, m_clrBackground);
    }
  }
}

void CPictureExWnd::DrawFrame(const Frame& frame) {
  bool drawn;
  {
    std::lock_guard<std::mutex> lock(m_surfaceLock);
    if (frame.disposal == 3 && !m_hDispMemDC) {
      m_hDispMemDC = CreateCompatibleDC(m_hMemDC);
      m_hDispMemBM = CreateCompatibleBitmap(m_hMemDC, frame.width, frame.height);
      m_hDispOldBM = SelectObject(m_hDispMemDC, m_hDispMemBM);
      BitBlt(m_hDispMemDC, 0, 0, frame.width, frame.height, m_hMemDC, frame.left, frame.top, SRCCOPY);
    }
    drawn = RenderPicture(frame.picture.Get(), m_hMemDC, frame.left, frame.top, frame.width, frame.height);
  }
  if (drawn && m_hWnd) InvalidateRect(m_hWnd, nullptr, FALSE);
}

void CPictureExWnd::DisposeFrame(const Frame& frame) {
  if (frame.disposal == 2) {
    FillSurface(RECT{frame.left, frame.top, frame.left + frame.width, frame.top + frame.height}, m_clrBackground);
  } else if (frame.disposal == 3 && m_hDispMemDC) {
    std::lock_guard<std::mutex> lock(m_surfaceLock);
    BitBlt(m_hMemDC, frame.left, frame.top, frame.width, frame.height, m_hDispMemDC, 0, 0, SRCCOPY);
    SelectObject(m_hDispMemDC, m_hDispOldBM);
    DeleteObject(m_hDispMemBM);
    DeleteDC(m_hDispMemDC);
    m_hDispMemDC = nullptr;
    m_hDispMemBM = nullptr;
    m_hDispOldBM = nullptr;
  }
}

void CPictureExWnd::FillSurface(const RECT& r, COLORREF color) {
  std::lock_guard<std::mutex> lock(m_surfaceLock);
  if (!m_hMemDC) return;
  HBRUSH brush = CreateSolidBrush(color);
  FillRect(m_hMemDC, &r, brush);
  DeleteObject(brush);
}

void CPictureExWnd::SetBkColor(COLORREF color) {
  m_clrBackground = color;
  FillSurface(RECT{0, 0, m_nWidth, m_nHeight}, color);
}

void CPictureExWnd::StopAnimation() {
  m_bIsPlaying = false;
  m_bExitThread = true;
  if (m_hExitEvent) SetEvent(m_hExitEvent);
  if (m_hThread) {
    // The thread only waits on the event just set or renders one frame, so
    // it ends soon; it must be gone before the surface it draws on goes.
    WaitForSingleObject(m_hThread, INFINITE);
    CloseHandle(m_hThread);
    m_hThread = nullptr;
  }
  if (m_hExitEvent) ResetEvent(m_hExitEvent);
  m_bExitThread = false;
}

void CPictureExWnd::FreeSurface() {
  std::lock_guard<std::mutex> lock(m_surfaceLock);
  if (m_hDispMemDC) {
    SelectObject(m_hDispMemDC, m_hDispOldBM);
    DeleteDC(m_hDispMemDC);
  }
  if (m_hDispMemBM) DeleteObject(m_hDispMemBM);
  if (m_hMemDC) {
    if (m_hOldBitmap) SelectObject(m_hMemDC, m_hOldBitmap);
    DeleteDC(m_hMemDC);
  }
  if (m_hBitmap) DeleteObject(m_hBitmap);
  m_hMemDC = m_hDispMemDC = nullptr;
  m_hBitmap = m_hDispMemBM = nullptr;
  m_hOldBitmap = m_hDispOldBM = nullptr;
}

void CPictureExWnd::ReleasePicture() {
  StopAnimation();
  m_pPicture.Reset();
  m_arrFrames.clear();
  FreeSurface();
  m_PaintRect = RECT{};
  m_bIsGIF = m_bIsInitialized = false;
  m_bIsPlaying = false;
  m_nWidth = m_nHeight = 0;
  m_nCurrFrame = 0;
  m_clrBackground = 0xFFFFFF;
}

LRESULT CPictureExWnd::OnDestroy(UINT, WPARAM, LPARAM, BOOL&) {
  StopAnimation();
  return 0;
}

LRESULT CPictureExWnd::OnPaint(UINT, WPARAM, LPARAM, BOOL& handled) {
  // Without a surface the control paints itself as it would unattached.
  if (!m_bIsInitialized) {
    handled = FALSE;
    return 0;
  }
  if (!GetUpdateRect(m_hWnd, nullptr, FALSE)) return 0;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(m_hWnd, &ps);
  if (!dc) return E_FAIL;
  {
    std::lock_guard<std::mutex> lock(m_surfaceLock);
    if (m_PaintRect.right - m_PaintRect.left > 0)
      BitBlt(dc, 0, 0, m_PaintRect.right - m_PaintRect.left, m_PaintRect.bottom - m_PaintRect.top, m_hMemDC,
             m_PaintRect.left, m_PaintRect.top, SRCCOPY);
    else
      BitBlt(dc, 0, 0, m_nWidth, m_nHeight, m_hMemDC, 0, 0, SRCCOPY);
  }
  EndPaint(m_hWnd, &ps);
  return 0;
}
