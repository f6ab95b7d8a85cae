#pragma once
// The wait cursor the main window shows while the device's first answer is awaited: shown once
// at most, gone again with End or with its owner. The toolkit says how it is put up and taken
// down.

#include <functional>
#include <utility>

namespace quillon {

class WaitCursor {
 public:
  WaitCursor(std::function<void()> put_up, std::function<void()> take_down)
      : put_up_(std::move(put_up)), take_down_(std::move(take_down)) {}
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
  ~WaitCursor() { End(); }

  void Show() {
    if (shown_) return;
    put_up_();
    shown_ = true;
  }
  void End() {
    if (!shown_) return;
    take_down_();
    shown_ = false;
  }
  bool shown() const { return shown_; }

 private:
  std::function<void()> put_up_, take_down_;
  bool shown_ = false;
};

}  // namespace quillon
