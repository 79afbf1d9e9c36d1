// CPictureExWnd: a picture in a static control of a dialog. Any format that
// OleLoadPicture reads is shown still; GIF data with several frames plays as
// an animation on a thread of its own.
//
// The window keeps its own drawing surface (a memory DC the size of the
// picture) and paints from it; the animation thread renders into the same
// surface under a lock, so a frame is never copied half drawn.
#pragma once
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "com_ptr.h"
#include "window.h"

namespace gif {

// The screen that every frame of a GIF is drawn on.
struct Screen {
  int width = 0, height = 0;
  size_t headerBytes = 0;  // header, screen descriptor and global colour table
};

// Where one frame lies in the data, and how long and how it shows.
struct FrameSpan {
  size_t begin = 0, end = 0;  // from its control extension (or image) through its image
  int left = 0, top = 0, width = 0, height = 0;
  int delay = -1;  // hundredths of a second; -1 without a control extension
  int disposal = 0;
};

// Reads the header and screen descriptor; false unless the data is a GIF
// whose header and global colour table lie within `size`.
bool ReadScreen(const BYTE* data, size_t size, Screen* screen);
// The length of the block at `at`, or 0 when it is unknown, the trailer, or
// does not end within `size`.
size_t BlockLength(const BYTE* data, size_t size, size_t at);
// How many graphic blocks follow one another from the first block.
int CountGraphicBlocks(const BYTE* data, size_t size, const Screen& screen);
// The frames, taken one after another until one cannot be taken.
std::vector<FrameSpan> SplitFrames(const BYTE* data, size_t size, const Screen& screen);
// How long a frame with `delay` stays, in milliseconds.
DWORD FrameWaitMs(int delay);

}  // namespace gif

class CPictureExWnd : public win::SubclassedWindow<CPictureExWnd> {
 public:
  struct Frame {
    com::ComPtr<IPicture> picture;
    int width = 0, height = 0, left = 0, top = 0;
    int delay = -1;
    int disposal = 0;
  };

  CPictureExWnd();
  virtual ~CPictureExWnd();
  CPictureExWnd(const CPictureExWnd&) = delete;
  CPictureExWnd& operator=(const CPictureExWnd&) = delete;

  // Attaches to a control of a dialog (subclassing it).
  bool Attach(HWND control) { return SubclassWindow(control); }

  // Loads the picture; the caller keeps `memory` and frees it afterwards.
  bool LoadFromMemory(HGLOBAL memory, DWORD size);
  bool LoadFromResource(const wchar_t* name, const wchar_t* type);
  bool LoadFromFile(const wchar_t* path);
  // Starts the animation (false) or draws the still picture (true when drawn).
  bool ShowPicture();
  void StopAnimation();
  void ReleasePicture();

  BEGIN_MSG_MAP(CPictureExWnd)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
  END_MSG_MAP()

  COLORREF GetBkColor() const { return m_clrBackground; }
  void SetBkColor(COLORREF color);
  RECT GetPaintRect() const { return m_PaintRect; }
  void SetPaintRect(const RECT& rect) { m_PaintRect = rect; }
  size_t GetFrameCount() const { return m_arrFrames.size(); }
  const Frame& GetFrame(size_t i) const { return m_arrFrames[i]; }
  SIZE GetSize() const { return SIZE{m_nWidth, m_nHeight}; }
  bool IsGIF() const { return m_bIsGIF; }
  bool IsPlaying() const { return m_bIsPlaying; }
  bool IsAnimation() const { return m_bIsGIF && m_arrFrames.size() > 1; }
  // The drawing surface (for looking at what the window shows).
  HDC SurfaceDC() const { return m_hMemDC; }

 private:
  LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL& handled);

  bool LoadGif(const BYTE* data, size_t size);
  bool PrepareSurface();
  void FillSurface(const RECT& r, COLORREF color);
  static unsigned __stdcall AnimationThreadProc(void* self);
  void AnimateFrames();
  void DrawFrame(const Frame& frame);
  void DisposeFrame(const Frame& frame);
  void FreeSurface();

  RECT m_PaintRect{};
  int m_nWidth = 0, m_nHeight = 0;
  COLORREF m_clrBackground = 0xFFFFFF;
  size_t m_nCurrFrame = 0;
  bool m_bIsGIF = false;
  std::atomic<bool> m_bIsPlaying{false};
  std::atomic<bool> m_bExitThread{false};
  bool m_bIsInitialized = false;
  HDC m_hMemDC = nullptr;
  HBITMAP m_hBitmap = nullptr;
  HGDIOBJ m_hOldBitmap = nullptr;
  HDC m_hDispMemDC = nullptr;
  HBITMAP m_hDispMemBM = nullptr;
  HGDIOBJ m_hDispOldBM = nullptr;
  HANDLE m_hThread = nullptr;
  HANDLE m_hExitEvent = nullptr;
  com::ComPtr<IPicture> m_pPicture;
  std::vector<Frame> m_arrFrames;
  // Held while the surface is drawn into or copied from.
  std::mutex m_surfaceLock;
};
