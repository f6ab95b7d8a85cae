#pragma once
// The main window's model over a fake line and a settings file in a folder of its own.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "testing/fake_comm_driver.h"
#include "testing/fakes.h"
#include "testing/temp_dir.h"
#include "ui/main_window_model.h"

namespace quillon {

class MainWindowModelTest : public ::testing::Test {
 protected:
  MainWindowModel& Init(const std::string& ini = "", PortLister lister = {}) {
    if (!ini.empty()) dir_.Write("quillon.ini", ini);
    auto driver = std::make_unique<testing::FakeCommDriver>();
    driver_ = driver.get();
    model_ = std::make_unique<MainWindowModel>(std::move(driver), std::make_unique<testing::FakePause>());
    model_->ListPortsWith(std::move(lister));
    model_->OnInitDialog((dir_ / "quillon").string());
    return *model_;
  }
  testing::TempDir dir_;
  testing::FakeCommDriver* driver_ = nullptr;
  std::unique_ptr<MainWindowModel> model_;
};

}  // namespace quillon
