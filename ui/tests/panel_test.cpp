// The painters on an off-screen picture of the window's client area.
#include "ui/panel.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

#include "core/burn_state.h"

namespace {

const COLORREF kStale = RGB(0, 200, 0);  // a colour the panel never paints

class Canvas {
 public:
  Canvas() {
    BITMAPINFO info;
    std::memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kWidth;
    info.bmiHeader.biHeight = -kHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    dc_ = CreateCompatibleDC(nullptr);
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bits_ = static_cast<uint32_t*>(bits);
    old_ = SelectObject(dc_, bitmap_);
    Fill(kStale);
  }
  ~Canvas() {
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  HDC dc() const { return dc_; }
  void Fill(COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    RECT all = {0, 0, kWidth, kHeight};
    FillRect(dc_, &all, brush);
    DeleteObject(brush);
  }
  COLORREF At(int x, int y) const {
    GdiFlush();
    uint32_t p = bits_[y * kWidth + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }
  int Count(const RECT& r, COLORREF colour) const {
    int n = 0;
    for (int y = r.top; y < r.bottom; ++y)
      for (int x = r.left; x < r.right; ++x) n += At(x, y) == colour;
    return n;
  }
  bool SameAs(const Canvas& other) const {
    GdiFlush();
    return std::memcmp(bits_, other.bits_, sizeof(uint32_t) * kWidth * kHeight) == 0;
  }

  static constexpr int kWidth = 544, kHeight = 205;

 private:
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
  uint32_t* bits_;
};

int Area(const RECT& r) {
  return (r.right - r.left) * (r.bottom - r.top);
}

// A rectangle grown by one pixel on each side, clipped to the canvas.
RECT Around(const RECT& r) {
  return {r.left > 0 ? r.left - 1 : 0, r.top - 1, r.right < Canvas::kWidth ? r.right + 1 : r.right,
          r.bottom + 1};
}

class Panel : public ::testing::Test {
 protected:
  void SetUp() override { ResetBurnCounters(); }
  void TearDown() override { ResetBurnCounters(); }
};

TEST_F(Panel, RedPartOfTheBarFollowsTheProgressAtTheEdges) {
  const struct {
    int percent, redRight;
  } cases[] = {{0, 10}, {1, 15}, {33, 178}, {50, 265}, {99, 514}, {100, 520}, {-4, 10}, {250, 520}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.percent);
    Canvas canvas;
    progress = c.percent;
    DisplayProgressBar(nullptr, canvas.dc());
    for (int y : {105, 115, 124}) {
      for (int x = 10; x < 520; ++x) {
        ASSERT_EQ(canvas.At(x, y), x < c.redRight ? RGB(255, 0, 0) : RGB(255, 255, 255)) << x;
      }
    }
    EXPECT_EQ(canvas.At(9, 115), kStale);
    EXPECT_EQ(canvas.At(520, 115), kStale);
    EXPECT_EQ(canvas.At(100, 104), kStale);
    EXPECT_EQ(canvas.At(100, 125), kStale);
  }
}

TEST_F(Panel, EachPainterClearsExactlyItsOwnArea) {
  const struct {
    void (*paint)(HWND, HDC);
    RECT area;
  } painters[] = {{DisplayElapsedTime, panel::kElapsedArea},
                  {DisplayProgressBar, panel::kProgressArea},
                  {DisplayStatus, panel::kStatusArea},
                  {DisplayErrCounter, panel::kCounterArea}};
  for (const auto& p : painters) {
    Canvas canvas;
    p.paint(nullptr, canvas.dc());
    EXPECT_EQ(canvas.Count(p.area, kStale), 0);
    // Text drawn on the background; the clearing stops at the area's edge (a text may not).
    COLORREF background = GetSysColor(COLOR_SCROLLBAR);
    EXPECT_GT(canvas.Count(p.area, background), 0);
    EXPECT_LT(canvas.Count(p.area, background), Area(p.area));
    EXPECT_EQ(canvas.Count(Around(p.area), background), canvas.Count(p.area, background));
  }
}

TEST_F(Panel, ShorterValuesLeaveNoStaleDigits) {
  Canvas over, fresh;
  elapsedTime = 1234;
  errCounter = 123;
  totalErrCounter = 45678;
  progress = 100;
  DisplayElapsedTime(nullptr, over.dc());
  DisplayErrCounter(nullptr, over.dc());
  DisplayProgressBar(nullptr, over.dc());
  elapsedTime = 7;
  errCounter = 0;
  totalErrCounter = 0;
  progress = 5;
  for (Canvas* c : {&over, &fresh}) {
    DisplayElapsedTime(nullptr, c->dc());
    DisplayErrCounter(nullptr, c->dc());
    DisplayProgressBar(nullptr, c->dc());
  }
  EXPECT_TRUE(over.SameAs(fresh));
}

TEST_F(Panel, EveryPhaseButTheThreeKnownOnesLeavesThePhaseWordEmpty) {
  RECT word = {209, 140, 300, 160};
  COLORREF background = GetSysColor(COLOR_SCROLLBAR);
  for (int phase : {0, 1, 2, 3, -1}) {
    SCOPED_TRACE(phase);
    Canvas canvas;
    flashStatus = phase;
    DisplayStatus(nullptr, canvas.dc());
    bool known = phase >= 0 && phase <= 2;
    EXPECT_EQ(canvas.Count(word, background) == Area(word), !known);
  }
}

TEST_F(Panel, DateAndLogoDrawWithoutClearing) {
  Canvas canvas;
  DisplayDate(nullptr, canvas.dc());
  DisplayLogo(nullptr, canvas.dc());
  RECT date = {300, 25, 400, 40};
  RECT logo = {435, 15, 435 + 87, 15 + 28};
  EXPECT_GT(canvas.Count(date, kStale), 0);  // text on the old background
  EXPECT_LT(canvas.Count(date, kStale), Area(date));
  EXPECT_LT(canvas.Count(logo, kStale), Area(logo) / 2);  // the logo covers its box
  RECT aroundLogo = Around(logo);
  EXPECT_EQ(canvas.Count(aroundLogo, kStale), Area(aroundLogo) - Area(logo));
}

}  // namespace
