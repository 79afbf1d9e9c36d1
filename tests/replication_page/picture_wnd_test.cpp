// The picture window: GIF data split into frames (with their delays and
// disposal), truncated data refused cleanly, still pictures at their size,
// the page's bitmap resource, painting from the surface, and an animation
// that restores the area under a frame and stops at once.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "addin_module.h"
#include "picture_wnd.h"
#include "res/pages_resource.h"
#include "sandbox.h"

namespace {

using Bytes = std::vector<BYTE>;

// A GIF of `w` x `h` with the colours red (0) and blue (1); frames follow.
Bytes Header(int w, int h) {
  Bytes b = {'G', 'I', 'F', '8', '9', 'a', BYTE(w), 0, BYTE(h), 0, 0x80, 0, 0};
  b.insert(b.end(), {0xFF, 0, 0, 0, 0, 0xFF});
  return b;
}

// A control extension and a 1 x 1 image of colour `index` at (x, y).
void AddFrame(Bytes& b, int delay, int disposal, int x, int y, int index, bool control = true) {
  if (control) b.insert(b.end(), {0x21, 0xF9, 4, BYTE(disposal << 2), BYTE(delay), BYTE(delay >> 8), 0, 0});
  b.insert(b.end(), {0x2C, BYTE(x), 0, BYTE(y), 0, 1, 0, 1, 0, 0});
  b.insert(b.end(), {2, 2, BYTE(index ? 0x4C : 0x44), 1, 0});
}

void AddComment(Bytes& b) { b.insert(b.end(), {0x21, 0xFE, 3, 'h', 'i', '!', 0}); }

HGLOBAL ToGlobal(const Bytes& b) {
  HGLOBAL m = GlobalAlloc(GMEM_MOVEABLE, b.size());
  std::memcpy(GlobalLock(m), b.data(), b.size());
  GlobalUnlock(m);
  return m;
}

bool Load(CPictureExWnd& w, const Bytes& b) {
  HGLOBAL m = ToGlobal(b);
  bool ok = w.LoadFromMemory(m, DWORD(b.size()));
  GlobalFree(m);
  return ok;
}

class Com {
 public:
  Com() { OleInitialize(nullptr); }
  ~Com() { OleUninitialize(); }
};

// A visible window holding one static control to attach to.
class Host {
 public:
  Host() {
    frame = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 300, nullptr, nullptr,
                            nullptr, nullptr);
    control = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, 5, 5, 88, 81, frame, nullptr, nullptr, nullptr);
  }
  ~Host() { DestroyWindow(frame); }
  HWND frame, control;
};

void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

TEST(PictureWindow, GifFramesDelaysAndDisposal) {
  Bytes b = Header(2, 1);
  b.insert(b.end(), {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0});
  AddFrame(b, 0, 1, 0, 0, 0);
  AddComment(b);
  AddFrame(b, 4, 3, 1, 0, 1);
  AddFrame(b, 5, 2, 0, 0, 1);
  AddFrame(b, 0, 0, 1, 0, 0, false);  // no control extension
  b.push_back(0x3B);

  gif::Screen screen;
  ASSERT_TRUE(gif::ReadScreen(b.data(), b.size(), &screen));
  EXPECT_EQ(screen.width, 2);
  EXPECT_EQ(screen.headerBytes, 19u);
  EXPECT_EQ(gif::CountGraphicBlocks(b.data(), b.size(), screen), 4);
  std::vector<gif::FrameSpan> frames = gif::SplitFrames(b.data(), b.size(), screen);
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[1].delay, 4);
  EXPECT_EQ(frames[1].disposal, 3);
  EXPECT_EQ(frames[1].left, 1);
  EXPECT_EQ(frames[2].disposal, 2);
  EXPECT_EQ(frames[3].delay, -1);
  EXPECT_EQ(gif::FrameWaitMs(frames[0].delay), 100u);
  EXPECT_EQ(gif::FrameWaitMs(frames[1].delay), 100u);
  EXPECT_EQ(gif::FrameWaitMs(frames[2].delay), 50u);
  EXPECT_EQ(gif::FrameWaitMs(frames[3].delay), 100u) << "no extension: not a wait of 49 days";

  Com com;
  CPictureExWnd window;
  ASSERT_TRUE(Load(window, b));
  EXPECT_TRUE(window.IsAnimation());
  EXPECT_EQ(window.GetFrameCount(), 4u);
  EXPECT_EQ(window.GetSize().cx, 2);
}

TEST(PictureWindow, TruncatedOrForeignDataFailsCleanly) {
  Com com;
  Bytes b = Header(2, 1);
  AddFrame(b, 10, 0, 0, 0, 0);
  AddFrame(b, 10, 0, 1, 0, 1);
  b.push_back(0x3B);
  CPictureExWnd window;
  gif::Screen screen;
  for (size_t n = 0; n + 1 < b.size(); ++n) {
    Bytes part(b.begin(), b.begin() + ptrdiff_t(n));
    if (gif::ReadScreen(part.data(), part.size(), &screen)) {
      EXPECT_LE(gif::CountGraphicBlocks(part.data(), part.size(), screen), 2) << n;
      for (const gif::FrameSpan& f : gif::SplitFrames(part.data(), part.size(), screen)) EXPECT_LE(f.end, n);
    }
    if (n > 0) Load(window, part);  // refused or shown, never read beyond the data
  }
  EXPECT_FALSE(Load(window, Bytes(40, 0x5A))) << "not a picture at all";
  EXPECT_FALSE(window.ShowPicture()) << "nothing loaded: nothing shown";
  Bytes unknownBlock = Header(2, 1);
  unknownBlock.insert(unknownBlock.end(), {0x21, 0x77, 0, 0x3B});
  EXPECT_FALSE(Load(window, unknownBlock));
}

TEST(PictureWindow, StillPicturesAtTheirSizeAndThePagesBitmap) {
  Com com;
  testing_support::Sandbox box;
  HMODULE addIn = testing_support::LoadAddInModule();
  ASSERT_NE(addIn, nullptr);
  Host host;
  CPictureExWnd window;
  Bytes one = Header(4, 3);
  AddFrame(one, 0, 0, 0, 0, 1);
  one.push_back(0x3B);
  ASSERT_TRUE(Load(window, one));
  EXPECT_FALSE(window.IsAnimation());
  EXPECT_EQ(window.GetFrameCount(), 0u);
  EXPECT_EQ(window.GetSize().cx, 4) << "a single image takes the logical screen's size";
  EXPECT_EQ(window.GetSize().cy, 3);

  ASSERT_TRUE(window.Attach(host.control));
  ASSERT_TRUE(window.LoadFromResource(MAKEINTRESOURCEW(IDR_PAGE_PICTURE), L"BMP"));
  EXPECT_EQ(window.GetSize().cx, 128);
  EXPECT_EQ(window.GetSize().cy, 128);
  RECT r{};
  GetWindowRect(host.control, &r);
  EXPECT_EQ(r.right - r.left, 128) << "the control takes the picture's size";
  EXPECT_EQ(r.bottom - r.top, 128);
  EXPECT_TRUE(window.ShowPicture());

  // The window shows what the surface holds.
  RedrawWindow(host.control, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  Pump();
  HDC dc = GetDC(host.control);
  int same = 0;
  for (int p = 8; p < 128; p += 24)
    same += GetPixel(dc, p, p) == GetPixel(window.SurfaceDC(), p, p);
  ReleaseDC(host.control, dc);
  EXPECT_EQ(same, 5);
  EXPECT_FALSE(window.LoadFromResource(MAKEINTRESOURCEW(9999), L"BMP"));
}

TEST(PictureWindow, AnimationRestoresTheAreaUnderAFrameAndStopsAtOnce) {
  Com com;
  Host host;
  CPictureExWnd window;
  ASSERT_TRUE(window.Attach(host.control));
  Bytes b = Header(2, 1);
  AddFrame(b, 5, 1, 0, 0, 0);     // red on the left, kept
  AddFrame(b, 20, 3, 0, 0, 1);    // blue over it for 200 ms, then what was under it
  AddFrame(b, 1000, 1, 1, 0, 1);  // blue on the right, for 10 s
  b.push_back(0x3B);
  ASSERT_TRUE(Load(window, b));
  EXPECT_FALSE(window.ShowPicture()) << "an animation plays; no still picture is drawn";

  const COLORREF red = RGB(255, 0, 0), blue = RGB(0, 0, 255);
  const DWORD start = GetTickCount();
  while (GetPixel(window.SurfaceDC(), 1, 0) != blue && GetTickCount() - start < 5000) {
    Pump();
    Sleep(10);
  }
  ASSERT_EQ(GetPixel(window.SurfaceDC(), 1, 0), blue) << "the third frame was never drawn";
  EXPECT_TRUE(window.IsPlaying());
  EXPECT_EQ(GetPixel(window.SurfaceDC(), 0, 0), red) << "the blue frame's area shows what it showed before";

  const DWORD before = GetTickCount();
  window.StopAnimation();
  EXPECT_LT(GetTickCount() - before, 1000u) << "the 10 s wait ends at once";
  EXPECT_FALSE(window.IsPlaying());
  DestroyWindow(host.control);  // the window's end stops nothing twice
}

}  // namespace
