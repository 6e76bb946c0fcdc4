#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <vector>

#include "host/x11/VLVirtualDisplay.h"
#include "host/x11/X11Clipboard.h"
#include "protocol/ClipboardExchange.h"
#include "x11_test_support.h"

namespace veltra {
namespace {

using test::Program;
constexpr size_t kLimit = ClipboardExchange::kMaximumBytes;

// Copies and pastes in the display with xclip, as its programs would.
class X11ClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!xvfbInstalled() || test::onPath("xclip").empty()) {
      GTEST_SKIP() << "Xvfb or xclip is not installed";
    }
    display_ = VLVirtualDisplay::create({320, 240, 60.0});
    environment_ = {"DISPLAY=" + display_->displayName(),
                    "XAUTHORITY=" + display_->authorityFile()};
  }

  // An owner of CLIPBOARD serving `text` until the next copy or the end of the test.
  void copy(const std::string& text) {
    const std::string file = (folder_.path() / std::to_string(copiers_.size())).string();
    std::ofstream(file, std::ios::binary) << text;
    copiers_.push_back(std::make_unique<Program>(
        test::onPath("xclip"), std::vector<std::string>{"-quiet", "-selection", "clipboard", file},
        "", environment_));
  }
  std::string paste(const std::string& selection) {
    Program xclip("/bin/sh", {"-c", "xclip -o -selection " + selection + " && echo"}, "",
                  environment_);
    xclip.waitForExit();
    return xclip.lines().empty() ? "" : xclip.lines().front();
  }

  std::unique_ptr<VLVirtualDisplay> display_;
  std::vector<std::string> environment_;
  test::TempDirectory folder_;
  std::vector<std::unique_ptr<Program>> copiers_;
};

struct Reported {
  std::mutex mutex;
  std::vector<HostClipboard::Copy> copies;

  void add(HostClipboard::Copy copy) {
    std::lock_guard lock(mutex);
    copies.push_back(std::move(copy));
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return copies.size();
  }
};

// Both ways across the display's clipboard: our text pasted from CLIPBOARD and PRIMARY (in one
// property, and in INCR pieces when longer than one carries) and never reported back; copies of
// its programs reported once each, read in INCR pieces up to the limit and refused beyond it.
TEST_F(X11ClipboardTest, OffersTextAndReportsCopiesOfTheDisplay) {
  Reported reported;
  auto clipboard = std::make_unique<X11Clipboard>(X11ClipboardOptions{.largestProperty = 65536});
  clipboard->onCopy = [&](HostClipboard::Copy copy) { reported.add(std::move(copy)); };
  clipboard->start(display_->displayID());

  const std::string ours = "Zwölf Boxkämpfer 🥊";
  clipboard->setText(ours);
  // start() and setText() are asynchronous: the first paste may come before them.
  EXPECT_TRUE(test::waitUntil([&] { return paste("clipboard") == ours; }));
  EXPECT_TRUE(paste("primary") == ours);
  std::string longer;
  while (longer.size() < 300'000)
    longer += "Fünf Boxkämpfer jagen Eva quer über den Sylter Deich. ";
  clipboard->setText(longer);
  EXPECT_TRUE(test::waitUntil([&] { return paste("clipboard") == longer; }));

  const std::string theirs = "Grüße, 世界 ✓";
  copy(theirs);
  ASSERT_TRUE(test::waitUntil([&] { return reported.count() == 1; }));
  // A middle-click paste still gets our text: the copy took CLIPBOARD only.
  EXPECT_TRUE(paste("primary") == longer);
  copy(std::string(kLimit + 1, 'x'));
  ASSERT_TRUE(test::waitUntil([&] { return reported.count() == 2; }));
  std::string atLimit;
  while (atLimit.size() < kLimit) atLimit += "ä";
  copy(atLimit);
  ASSERT_TRUE(test::waitUntil([&] { return reported.count() == 3; }));

  // The server going first, as when it dies, ends the session quietly; the destructor joins the
  // thread that reports.
  copiers_.clear();
  display_.reset();
  clipboard.reset();
  ASSERT_EQ(reported.copies.size(), 3u);
  EXPECT_EQ(reported.copies[0].text, theirs);
  EXPECT_FALSE(reported.copies[0].tooLarge);
  EXPECT_TRUE(reported.copies[1].tooLarge);
  EXPECT_TRUE(reported.copies[1].text.empty());
  EXPECT_EQ(reported.copies[2].text.size(), kLimit);
  EXPECT_TRUE(reported.copies[2].text == atLimit);
  EXPECT_FALSE(reported.copies[2].tooLarge);
}

// A display that cannot be reached leaves a clipboard that does nothing and ends at once.
TEST(X11ClipboardAloneTest, WithoutItsDisplayDoesNothing) {
  const auto began = test::Clock::now();
  {
    X11Clipboard clipboard;
    clipboard.onCopy = [](HostClipboard::Copy) { ADD_FAILURE() << "reported a copy"; };
    clipboard.start(4'000'000);  // no server of ours
    clipboard.setText("nowhere");
  }
  EXPECT_LT(test::Clock::now() - began, std::chrono::seconds(1));
}

}  // namespace
}  // namespace veltra
